// pyframe/function.hpp: signatures, argument binding and `Function`, the
// function type of every module-level function and method.
//
// A function is declared with its Python parameter list as text and a C++
// implementation F whose parameters are, in order: an optional Ctx, one
// Handle per named parameter, Args for *args and const Kwargs& for
// **kwargs. F returns Ref (an object; null: failed), Status (None) or
// Result<bool> (True/False). A call that does not fit the parameters gets
// exactly the TypeError the interpreter gives for a Python function with the
// same signature and qualified name.
#pragma once

#include "calls.hpp"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

namespace pf {

// ---------------------------------------------------------------------------
// Signatures and argument binding
// ---------------------------------------------------------------------------

// A parameter list in Python syntax, e.g. "self, key, default=None" or
// "cls, value, *, section, key" or "self, *args, **kwargs". Its shape is
// read once for the process; the names (interned) and the defaults
// (evaluated as Python expressions) are objects of an interpreter, made for
// the running module each time its body describes the function: the module
// record owns them, `names` and `defaults` are borrowed copies, emptied with
// the record.
struct Signature {
    Py_ssize_t npositional = 0;  // positional-or-keyword (and positional-only)
    Py_ssize_t nposonly = 0;
    bool varargs = false;
    bool varkw = false;
    std::vector<std::string> name_texts;     // positional, then keyword-only
    std::vector<std::string> default_texts;  // per name: the default's expression
    std::vector<bool> has_default;
    std::vector<PyObject*> names;            // per name: the interned name
    std::vector<PyObject*> defaults;         // per name: the default or nullptr

    static Signature parse(const char* params);
    // Makes names and defaults for the running module.
    Status make_objects();
    void forget_objects() {
        std::fill(names.begin(), names.end(), nullptr);
        std::fill(defaults.begin(), defaults.end(), nullptr);
    }
};

inline Signature Signature::parse(const char* params) {
    Signature s;
    std::string_view rest(params);
    bool kwonly = false;
    while (!rest.empty()) {
        size_t comma = rest.find(',');
        std::string_view part = rest.substr(0, comma);
        rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        while (!part.empty() && part.front() == ' ') part.remove_prefix(1);
        while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        if (part == "/") { s.nposonly = s.npositional; continue; }
        if (part == "*") { kwonly = true; continue; }
        if (part.starts_with("**")) { s.varkw = true; continue; }
        if (part.starts_with("*")) { s.varargs = true; kwonly = true; continue; }
        std::string dflt;
        bool given = false;
        if (size_t eq = part.find('='); eq != std::string_view::npos) {
            dflt = std::string(part.substr(eq + 1));
            given = true;
            part = part.substr(0, eq);
            while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        }
        size_t at = kwonly ? s.name_texts.size() : (size_t)s.npositional;
        s.name_texts.insert(s.name_texts.begin() + (std::ptrdiff_t)at, std::string(part));
        s.default_texts.insert(s.default_texts.begin() + (std::ptrdiff_t)at, std::move(dflt));
        s.has_default.insert(s.has_default.begin() + (std::ptrdiff_t)at, given);
        if (!kwonly) ++s.npositional;
    }
    s.names.assign(s.name_texts.size(), nullptr);
    s.defaults.assign(s.name_texts.size(), nullptr);
    return s;
}

inline Status Signature::make_objects() {
    ModuleRecord* record = module_state.record;
    if (!record) return raise(PyExc_SystemError, "a function described while no module runs");
    for (size_t i = 0; i < name_texts.size(); ++i) {
        TRY_LET(Ref name, Ref::steal(PyUnicode_InternFromString(name_texts[i].c_str())));
        Ref value;
        if (has_default[i]) {
            TRY_LET(Ref globals, dict());
            TRY_LET(value, Ref::steal(PyRun_String(default_texts[i].c_str(), Py_eval_input, globals.ptr(), globals.ptr())));
        }
        names[i] = name.ptr();
        defaults[i] = value.ptr();
        record->constants.push_back(std::move(name));
        if (value) record->constants.push_back(std::move(value));
    }
    return ok;
}

// The arguments of one call, bound to a signature.
struct Bound {
    static constexpr Py_ssize_t max_named = 12;
    PyObject* named[max_named] = {};
    Args args;
    Kwargs kwargs;
};

// Binds vectorcall arguments the way the interpreter binds a call of a
// Python function. Returns false when the call does not fit the signature;
// the caller then reports the interpreter's own message (see Function).
inline Result<bool> bind(const Signature& sig, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames, Bound& b) {
    Py_ssize_t nnamed = (Py_ssize_t)sig.names.size();
    Py_ssize_t npos = sig.npositional;
    if (nargs > npos) {
        if (!sig.varargs) return false;
        b.args.items = argv + npos;
        b.args.size = nargs - npos;
    }
    Py_ssize_t take = nargs < npos ? nargs : npos;
    for (Py_ssize_t i = 0; i < take; ++i) b.named[i] = argv[i];
    if (kwnames) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        PyObject* const* kwvalues = argv + nargs;
        bool all_to_varkw = true;
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            Py_ssize_t j = sig.nposonly;
            for (; j < nnamed; ++j)
                if (sig.names[(size_t)j] == key) break;
            if (j == nnamed)
                for (j = sig.nposonly; j < nnamed; ++j)
                    if (PyUnicode_Compare(sig.names[(size_t)j], key) == 0) break;
            if (j < nnamed) {
                if (b.named[j]) return false;
                b.named[j] = kwvalues[k];
                all_to_varkw = false;
            } else if (!sig.varkw) {
                return false;
            }
        }
        if (sig.varkw) {
            if (all_to_varkw) {
                b.kwargs.names = kwnames;
                b.kwargs.values = kwvalues;
            } else {
                TRY_LET(b.kwargs.dict, dict());
                for (Py_ssize_t k = 0; k < nkw; ++k) {
                    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
                    bool is_named = false;
                    for (Py_ssize_t j = sig.nposonly; j < nnamed; ++j)
                        if (PyUnicode_Compare(sig.names[(size_t)j], key) == 0) is_named = true;
                    if (!is_named) TRY(status(PyDict_SetItem(b.kwargs.dict.ptr(), key, kwvalues[k])));
                }
            }
        }
    }
    for (Py_ssize_t j = 0; j < nnamed; ++j) {
        if (b.named[j]) continue;
        if (!sig.defaults[(size_t)j]) return false;
        b.named[j] = sig.defaults[(size_t)j];
    }
    return true;
}

// ---------------------------------------------------------------------------
// Function: the function type of module-level functions and methods
// ---------------------------------------------------------------------------

struct FunctionObject;

// What the C++ code of a function may ask about the running call.
struct Ctx {
    FunctionObject* function;
    Handle closure() const;  // the object a call-time function was made with
};

// A C slot that runs the implementation directly (see slots.hpp): which
// slot, and the adaptor to put there; for __init__ also the vectorcall of
// the class itself.
struct DirectSlot {
    int slot = 0;  // a Py_* slot id of typeslots.h; 0: none
    void* function = nullptr;
    vectorcallfunc construct = nullptr;
};

// The static description of one function: name, parameters, docstring, the
// trampoline that binds arguments and calls the C++ implementation, and the
// direct slot. The modules of the package read each other's (a class of one
// module inherits methods of another's), so this part is plain data with a
// fixed layout, guarded by the core's version (module.hpp).
struct FuncInfo {
    const char* name;
    const char* params;
    const char* doc;
    vectorcallfunc call;
    DirectSlot direct;
};

// The description with the signature it binds, which only the shared object
// that made it reads. One is made per function for the process (def<F>());
// it holds no object of an interpreter but the borrowed copies of its
// signature (see Signature).
struct FuncDef : FuncInfo {
    Signature sig;
};

namespace detail {
template <auto F> DirectSlot direct_slot_for(const char* name, const Signature& sig);

// Every description the shared object made, for forget_signatures().
inline std::vector<FuncDef*>& descriptions() {
    static std::vector<FuncDef*> made;
    return made;
}
inline void forget_signatures() {
    for (FuncDef* d : descriptions()) d->sig.forget_objects();
}
}  // namespace detail

// A function object. Its layout is read by the code of every module of the
// package (the type is the core's), and guarded by the core's version.
struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;       // __module__
    PyObject* closure;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* arg_checker;  // a Python function with the same parameters, made on demand
    // The module object whose code this is: its state (names, classes,
    // signatures) lives as long as the module does, and the function's code
    // uses it whenever it runs.
    PyObject* owner;
};

inline Handle Ctx::closure() const { return Handle(function->closure); }

// Reports a call that does not fit the function's parameters with exactly
// the message the interpreter gives for a Python function of the same
// signature and qualified name: such a function is compiled once and called
// with the same arguments.
inline Ref argument_error(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (!f->arg_checker) {
        std::string src = std::string("def _f(") + f->def->params + "): pass\n";
        TRY_LET(Ref ns, dict());
        TRY_LET(Ref code, Ref::steal(Py_CompileString(src.c_str(), "<signature>", Py_file_input)));
        TRY(Ref::steal(PyEval_EvalCode(code.ptr(), ns.ptr(), ns.ptr())));
        TRY_LET(Ref fn, ns.item(id<"_f">()));
        TRY(fn.setattr<"__qualname__">(Handle(f->qualname)));
        TRY(fn.setattr<"__name__">(Handle(f->name)));
        f->arg_checker = fn.release();
    }
    TRY(vectorcall(f->arg_checker, args, nargsf, kwnames));
    return raise(PyExc_SystemError, "%U(): arguments rejected but accepted by the signature", f->qualname);
}

namespace detail {

struct ArgSource {
    FunctionObject* f;
    Bound& b;
    Py_ssize_t next = 0;
    template <class T> T get() {
        if constexpr (std::is_same_v<T, Ctx>) return Ctx{f};
        else if constexpr (std::is_same_v<T, Handle>) return Handle(b.named[next++]);
        else if constexpr (std::is_same_v<T, Args>) return b.args;
        else if constexpr (std::is_same_v<T, const Kwargs&>) return b.kwargs;
        else static_assert(sizeof(T) == 0, "parameter types are Ctx, Handle, Args and const Kwargs&");
    }
};

template <class T> constexpr int named_count = std::is_same_v<T, Handle> ? 1 : 0;
template <class T> constexpr bool is_args = std::is_same_v<T, Args>;
template <class T> constexpr bool is_kwargs = std::is_same_v<T, const Kwargs&>;

template <class Sig> struct traits;
template <class R, class... P> struct traits<R (*)(P...)> {
    using result = R;
    using params = std::tuple<P...>;
    static constexpr int named = (0 + ... + named_count<P>);
    static constexpr bool varargs = (false || ... || is_args<P>);
    static constexpr bool varkw = (false || ... || is_kwargs<P>);
};

// What an implementation returned, as the interpreter wants it.
inline PyObject* to_python(Ref&& r) { return r.release(); }
inline PyObject* to_python(Status s) { return s.succeeded() ? Py_NewRef(Py_None) : nullptr; }
inline PyObject* to_python(Result<bool>&& r) {
    if (!r.succeeded()) return nullptr;
    return Py_NewRef(r.value() ? Py_True : Py_False);
}

// F called with bound arguments; `f` is the function object of the call
// (null for a direct slot, whose F takes no Ctx).
template <auto F>
PyObject* invoke(FunctionObject* f, Bound& b) {
    using T = traits<decltype(F)>;
    ArgSource src{f, b};
    return std::apply(
        [](auto&&... a) -> PyObject* { return to_python(F(std::forward<decltype(a)>(a)...)); },
        [&]<class... P>(std::tuple<P...>*) { return std::tuple<P...>{src.template get<P>()...}; }(
            static_cast<typename T::params*>(nullptr)));
}

template <auto F>
PyObject* trampoline(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return guard_or<PyObject*>(nullptr, [&]() -> PyObject* {
        Bound b;
        Result<bool> fits = bind(f->def->sig, args, nargs, kwnames, b);
        if (!fits.succeeded()) return nullptr;
        if (!fits.value()) return argument_error(f, args, nargsf, kwnames).release();
        RecursionGuard depth(" while calling a Python object");
        if (!depth.entered().succeeded()) return nullptr;
        return invoke<F>(f, b);
    });
}

// The FuncDef made for F, for the direct slots that need its signature.
template <auto F> inline FuncDef* def_of = nullptr;

}  // namespace detail

namespace detail {
inline bool same_text(const char* a, const char* b) { return a == b || (a && b && std::strcmp(a, b) == 0); }
}  // namespace detail

// Describes a function implemented by F with the given Python parameters
// (see the top of this file); null when the parameters do not match F or
// their names and defaults cannot be made. The description is made once
// for the process (one per name, parameters and docstring: an
// implementation may serve several methods); each call makes its
// signature's objects for the running module.
template <auto F>
FuncDef* def(const char* name, const char* params, const char* doc = nullptr) {
    using T = detail::traits<decltype(F)>;
    static_assert(std::is_same_v<typename T::result, Ref> || std::is_same_v<typename T::result, Status> ||
                      std::is_same_v<typename T::result, Result<bool>>,
                  "an implementation returns Ref, Status or Result<bool>");
    static std::vector<std::unique_ptr<FuncDef>> made;
    FuncDef* d = nullptr;
    for (const std::unique_ptr<FuncDef>& m : made)
        if (detail::same_text(m->name, name) && detail::same_text(m->params, params) && detail::same_text(m->doc, doc))
            d = m.get();
    if (!d) {
        Signature s = Signature::parse(params);
        if ((Py_ssize_t)s.name_texts.size() != T::named || s.varargs != T::varargs || s.varkw != T::varkw ||
            T::named > Bound::max_named) {
            PyErr_Format(PyExc_SystemError, "%s(%s): parameters do not match the C++ implementation", name, params);
            return nullptr;
        }
        DirectSlot direct = detail::direct_slot_for<F>(name, s);
        made.push_back(std::make_unique<FuncDef>(FuncDef{{name, params, doc, &detail::trampoline<F>, direct}, std::move(s)}));
        d = made.back().get();
        detail::descriptions().push_back(d);
    }
    if (!d->sig.make_objects().succeeded()) return nullptr;
    detail::def_of<F> = d;
    return d;
}

// True when `o` is a function object of this module implemented by F. Module
// code uses it to call F directly while a class still uses its own method,
// and to take the ordinary call when a subclass overrides it.
template <auto F>
bool is_impl(PyObject* o);

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
// package that loads there (module.hpp) and used by all of them. Its code
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

// Whether `o` is a function object of this package (of any of its modules).
inline bool is_function(PyObject* o) {
    return o && module_state.function_type && Py_IS_TYPE(o, module_state.function_type);
}

template <auto F>
bool is_impl(PyObject* o) {
    return is_function(o) && reinterpret_cast<FunctionObject*>(o)->def->call == &detail::trampoline<F>;
}

// Makes a function object of the running module. `module_name` is its
// __module__; `qualname` defaults to the name; `closure` is handed to the
// implementation through Ctx. A null `def` (a def() that failed) passes its
// failure on.
inline Ref make_function(FuncDef* def, PyObject* module_name, const char* qualname = nullptr,
                         Handle closure = Handle()) {
    if (!def) return failure;
    ModuleRecord* record = module_state.record;
    if (!record || !module_state.function_type)
        return raise(PyExc_SystemError, "function %s made while its module is not loaded", def->name);
    auto* f = PyObject_GC_New(FunctionObject, module_state.function_type);
    if (!f) return failure;
    f->vectorcall = def->call;
    f->def = def;
    f->name = f->qualname = f->doc = f->closure = f->dict = f->weaklist = f->arg_checker = nullptr;
    f->module = Py_XNewRef(module_name);
    f->closure = Py_XNewRef(closure.ptr());
    f->owner = Py_NewRef(record->module);
    Ref fn = Ref::steal(reinterpret_cast<PyObject*>(f));
    f->name = PyUnicode_FromString(def->name);
    f->qualname = PyUnicode_FromString(qualname ? qualname : def->name);
    f->doc = def->doc ? PyUnicode_FromString(def->doc) : Py_NewRef(Py_None);
    if (!f->name || !f->qualname || !f->doc) return failure;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    return fn;
}

}  // namespace pf

namespace pf {

// A callable of one positional argument for C code that only calls it (a
// sort key handed to list.sort): a builtin function whose call runs
// F(bound, arg) with the least overhead the interpreter has (METH_O), where
// `bound` is the object given here (may be null). Code that can see the
// callable gets a function made by make_function instead.
template <Ref (*F)(Handle, Handle)>
Ref callable_of_one(Handle bound = Handle()) {
    static PyMethodDef def = {"<lambda>", [](PyObject* self, PyObject* arg) { return F(Handle(self), Handle(arg)).release(); },
                              METH_O, nullptr};
    return Ref::steal(PyCFunction_NewEx(&def, bound.ptr(), nullptr));
}

}  // namespace pf
