// pyframe/runtime/function_type.hpp: the function type of module-level
// functions and methods, made once per interpreter by the first module of
// the package loaded there (runtime/core.hpp) and used by all of them.
#pragma once

#include "../api/function.hpp"

namespace pf {
namespace rt {

using namespace detail;  // the api's internals

// __name__ and __qualname__ of functions and generators: writable, str only.
template <class T, PyObject* T::*Field>
PyObject* get_name_attr(PyObject* o, void*) {
    return Py_NewRef(reinterpret_cast<T*>(o)->*Field);
}
template <class T, PyObject* T::*Field>
int set_name_attr(PyObject* o, PyObject* v, void* attr) {
    if (!v || !PyUnicode_Check(v)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(attr));
        return -1;
    }
    Py_SETREF(reinterpret_cast<T*>(o)->*Field, Py_NewRef(v));
    return 0;
}
template <class T, PyObject* T::*Field>
constexpr PyGetSetDef name_attr(const char* name) {
    return {name, get_name_attr<T, Field>, set_name_attr<T, Field>, nullptr, const_cast<char*>(name)};
}

inline PyObject* function_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->arg_checker);
    Py_VISIT(f->owner);
    return 0;
}
inline int function_clear(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->arg_checker);
    Py_CLEAR(f->owner);
    return 0;
}
inline void function_dealloc(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    if (f->weaklist) PyObject_ClearWeakRefs(o);
    function_clear(o);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->module);
    PyObject_GC_Del(o);
    Py_DECREF(type);
}
inline PyObject* function_repr(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, o);
}
inline PyObject* function_reduce(PyObject* o, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(o)->qualname);
}
inline PyObject* function_text_signature(PyObject* o, void*) {
    return PyUnicode_FromFormat("(%s)", reinterpret_cast<FunctionObject*>(o)->def->params);
}
inline PyMemberDef function_members[] = {
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, weaklist), Py_READONLY, nullptr},
    {"__dictoffset__", Py_T_PYSSIZET, offsetof(FunctionObject, dict), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
inline PyGetSetDef function_getset[] = {
    name_attr<FunctionObject, &FunctionObject::name>("__name__"),
    name_attr<FunctionObject, &FunctionObject::qualname>("__qualname__"),
    {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
// A function's __module__ is its own, read and set here rather than through a
// member: the type's __module__ ("vornal.datastructures", as for any heap
// type, kept in the type's dictionary) must stay a string for the type's
// repr and pickling, and a member of the same name would stand in its place.
inline bool is_module_attr(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) == 10 && PyUnicode_EqualToUTF8(name, "__module__");
}
inline PyObject* function_getattro(PyObject* o, PyObject* name) {
    if (!is_module_attr(name)) return PyObject_GenericGetAttr(o, name);
    if (PyObject* m = reinterpret_cast<FunctionObject*>(o)->module) return Py_NewRef(m);
    PyErr_SetObject(PyExc_AttributeError, name);
    return nullptr;
}
inline int function_setattro(PyObject* o, PyObject* name, PyObject* value) {
    if (!is_module_attr(name)) return PyObject_GenericSetAttr(o, name, value);
    auto* f = reinterpret_cast<FunctionObject*>(o);
    if (!value && !f->module) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return -1;
    }
    Py_XSETREF(f->module, Py_XNewRef(value));
    return 0;
}
inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The function type, made once per interpreter by the first module of the
// package that loads there (runtime/core.hpp) and used by all of them. Its code
// touches nothing but the function object, so it serves the functions of
// every module alike. (No tp_doc: the class's __doc__ is the member that
// gives each function its own docstring.)
inline PyTypeObject* make_function_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
        {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
        {Py_tp_getattro, reinterpret_cast<void*>(function_getattro)},
        {Py_tp_setattro, reinterpret_cast<void*>(function_setattro)},
        {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
        {Py_tp_methods, function_methods},
        {Py_tp_members, function_members},
        {Py_tp_getset, function_getset},
        {Py_tp_descr_get, reinterpret_cast<void*>(function_get)},
        {0, nullptr},
    };
    PyType_Spec spec = {"vornal.datastructures.function", (int)sizeof(FunctionObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                            Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                            Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace rt
}  // namespace pf
