// pyframe/runtime/generator_type.hpp: the generator type, with the whole
// generator protocol (send, throw, close, gi_* attributes), made once per
// interpreter like the function type and registered as a
// collections.abc.Generator.
#pragma once

#include "function_type.hpp"

#include <memory>

namespace pf {
namespace rt {

using namespace detail;  // the api's internals

inline void generator_finish(GeneratorObject* g) {
    delete std::exchange(g->body, nullptr);
}

// A StopIteration escaping the body would look like the generator's end to
// whoever iterates it. As in a Python generator (PEP 479) it becomes a
// RuntimeError whose cause and context are the StopIteration.
inline void generator_stop_to_runtime_error() {
    PyObject* stop = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError, "generator raised StopIteration");
    PyObject* exc = PyErr_GetRaisedException();
    PyException_SetCause(exc, Py_NewRef(stop));
    PyException_SetContext(exc, stop);
    PyErr_SetRaisedException(exc);
}

inline PyObject* generator_next(PyObject* o) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (!g->body) return nullptr;
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    g->started = g->running = true;
    PyObject* item = g->body->resume();
    g->running = false;
    if (!item) {
        generator_finish(g);  // exhausted or failed: a finished generator stays finished
        if (error_matches(PyExc_StopIteration)) generator_stop_to_runtime_error();
    }
    return item;
}
inline PyObject* generator_send(PyObject* o, PyObject* value) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (!g->started && g->body && value != Py_None) {
        PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started generator");
        return nullptr;
    }
    PyObject* item = generator_next(o);
    if (!item && !PyErr_Occurred()) PyErr_SetNone(PyExc_StopIteration);
    return item;
}
// throw(value) or the deprecated throw(type[, value[, traceback]]): the
// exception is raised where the generator is suspended; nothing in a C++
// generator handles it, so the generator finishes and the exception
// propagates.
inline PyObject* generator_throw(PyObject* o, PyObject* const* args, Py_ssize_t nargs) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        if (nargs > 3) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "throw expected at most 3 arguments, got %zd", nargs);
        }
        return nullptr;
    }
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    if (nargs > 1 && PyErr_WarnEx(PyExc_DeprecationWarning,
                                  "the (type, exc, tb) signature of throw() is deprecated, "
                                  "use the single-arg signature instead.", 1) < 0)
        return nullptr;
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    if (PyExceptionClass_Check(typ)) {
        PyErr_SetObject(typ, val);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(typ)), typ);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(typ)->tp_name);
        return nullptr;
    }
    if (tb != Py_None) {
        PyObject* exc = PyErr_GetRaisedException();
        PyException_SetTraceback(exc, tb);
        PyErr_SetRaisedException(exc);
    }
    generator_finish(g);
    return nullptr;
}
inline PyObject* generator_close(PyObject* o, PyObject*) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (g->running) {
        PyErr_SetString(PyExc_ValueError, "generator already executing");
        return nullptr;
    }
    generator_finish(g);
    Py_RETURN_NONE;
}
inline int generator_traverse(PyObject* o, visitproc visit, void* arg) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    Py_VISIT(Py_TYPE(o));
    Py_VISIT(g->owner);
    return g->body ? g->body->visit(visit, arg) : 0;
}
inline int generator_clear(PyObject* o) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    if (!g->running) {
        generator_finish(g);
        Py_CLEAR(g->owner);
    }
    return 0;
}
inline void generator_dealloc(PyObject* o) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    PyTypeObject* type = Py_TYPE(o);
    PyObject_GC_UnTrack(o);
    if (g->weaklist) PyObject_ClearWeakRefs(o);
    generator_finish(g);
    Py_XDECREF(g->name);
    Py_XDECREF(g->qualname);
    Py_XDECREF(g->owner);
    PyObject_GC_Del(o);
    Py_DECREF(type);
}
inline PyObject* generator_repr(PyObject* o) {
    return PyUnicode_FromFormat("<generator object %U at %p>", reinterpret_cast<GeneratorObject*>(o)->qualname, o);
}
inline PyObject* generator_running(PyObject* o, void*) {
    return PyBool_FromLong(reinterpret_cast<GeneratorObject*>(o)->running);
}
inline PyObject* generator_suspended(PyObject* o, void*) {
    auto* g = reinterpret_cast<GeneratorObject*>(o);
    return PyBool_FromLong(g->started && g->body && !g->running);
}
inline PyObject* generator_none(PyObject*, void*) { Py_RETURN_NONE; }

inline PyMethodDef generator_methods[] = {
    {"send", generator_send, METH_O, "send(value) -> send 'value' into generator,\nreturn next yielded value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(generator_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,tb]])\n\nRaise exception in generator, return next yielded value or raise\nStopIteration."},
    {"close", generator_close, METH_NOARGS, "close() -> raise GeneratorExit inside generator."},
    {nullptr, nullptr, 0, nullptr},
};
inline PyGetSetDef generator_getset[] = {
    name_attr<GeneratorObject, &GeneratorObject::name>("__name__"),
    name_attr<GeneratorObject, &GeneratorObject::qualname>("__qualname__"),
    {"gi_running", generator_running, nullptr, nullptr, nullptr},
    {"gi_suspended", generator_suspended, nullptr, nullptr, nullptr},
    {"gi_frame", generator_none, nullptr, nullptr, nullptr},
    {"gi_yieldfrom", generator_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

inline PyMemberDef generator_members[] = {
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(GeneratorObject, weaklist), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// The generator type, made once per interpreter like the function type
// (runtime/function_type.hpp).
inline PyTypeObject* make_generator_type() {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(generator_dealloc)},
        {Py_tp_repr, reinterpret_cast<void*>(generator_repr)},
        {Py_tp_getattro, reinterpret_cast<void*>(PyObject_GenericGetAttr)},
        {Py_tp_doc, const_cast<char*>("A generator of vornal.datastructures, implemented in C++.")},
        {Py_tp_traverse, reinterpret_cast<void*>(generator_traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(generator_clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(generator_next)},
        {Py_tp_methods, generator_methods},
        {Py_tp_members, generator_members},
        {Py_tp_getset, generator_getset},
        {0, nullptr},
    };
    PyType_Spec spec = {"vornal.datastructures.generator", (int)sizeof(GeneratorObject), 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
                            Py_TPFLAGS_IMMUTABLETYPE,
                        slots};
    return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
}

}  // namespace rt
}  // namespace pf
