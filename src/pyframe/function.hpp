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

#include <string>
#include <tuple>

namespace pf {

// ---------------------------------------------------------------------------
// Signatures and argument binding
// ---------------------------------------------------------------------------

// A parameter list in Python syntax, e.g. "self, key, default=None" or
// "cls, value, *, section, key" or "self, *args, **kwargs".
struct Signature {
    std::vector<PyObject*> names;     // positional, then keyword-only (interned)
    std::vector<PyObject*> defaults;  // per name: default or nullptr
    Py_ssize_t npositional = 0;       // positional-or-keyword (and positional-only)
    Py_ssize_t nposonly = 0;
    bool varargs = false;
    bool varkw = false;
    std::string text;                 // "(...)" for __text_signature__

    // Defaults are evaluated as Python expressions.
    static Result<Signature> parse(const char* params);
};

inline Result<Signature> Signature::parse(const char* params) {
    Signature s;
    s.text = std::string("(") + params + ")";
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
        PyObject* dflt = nullptr;
        if (size_t eq = part.find('='); eq != std::string_view::npos) {
            std::string expr(part.substr(eq + 1));
            TRY_LET(Ref globals, dict());
            TRY_LET(Ref value, Ref::steal(PyRun_String(expr.c_str(), Py_eval_input, globals.ptr(), globals.ptr())));
            dflt = value.release();
            part = part.substr(0, eq);
            while (!part.empty() && part.back() == ' ') part.remove_suffix(1);
        }
        std::string name(part);
        TRY_LET(Ref interned, Ref::steal(PyUnicode_InternFromString(name.c_str())));
        PyObject* n = interned.release();
        if (kwonly) {
            s.names.push_back(n);
            s.defaults.push_back(dflt);
        } else {
            s.names.insert(s.names.begin() + s.npositional, n);
            s.defaults.insert(s.defaults.begin() + s.npositional, dflt);
            ++s.npositional;
        }
    }
    return s;
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

// The static description of one function: name, parameters, docstring and
// the trampoline that binds arguments and calls the C++ implementation.
// A C slot that runs the implementation directly (see slots.hpp): which
// slot, and the adaptor to put there; for __init__ also the vectorcall of
// the class itself.
struct DirectSlot {
    int slot = 0;  // a Py_* slot id of typeslots.h; 0: none
    void* function = nullptr;
    vectorcallfunc construct = nullptr;
};

struct FuncDef {
    const char* name;
    const char* params;
    const char* doc;
    vectorcallfunc call;
    Signature sig;
    DirectSlot direct;
};

namespace detail {
template <auto F> DirectSlot direct_slot_for(const char* name, const Signature& sig);
}

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FuncDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* doc;
    PyObject* module;
    PyObject* closure;
    PyObject* dict;
    PyObject* weaklist;
    PyObject* arg_checker;  // a Python function with the same parameters, made on demand
};

inline Handle Ctx::closure() const { return Handle(function->closure); }

// Reports a call that does not fit the function's parameters with exactly
// the message the interpreter gives for a Python function of the same
// signature and qualified name: such a function is compiled once and called
// with the same arguments.
inline Ref argument_error(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (!f->arg_checker) {
        std::string src = "def _f" + f->def->sig.text + ": pass\n";
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

// Describes a function implemented by F with the given Python parameters
// (see the top of this file); null when the parameter list does not parse
// or does not match F.
template <auto F>
FuncDef* def(const char* name, const char* params, const char* doc = nullptr) {
    using T = detail::traits<decltype(F)>;
    static_assert(std::is_same_v<typename T::result, Ref> || std::is_same_v<typename T::result, Status> ||
                      std::is_same_v<typename T::result, Result<bool>>,
                  "an implementation returns Ref, Status or Result<bool>");
    Result<Signature> sig = Signature::parse(params);
    if (!sig.succeeded()) return nullptr;
    const Signature& s = sig.value();
    if ((Py_ssize_t)s.names.size() != T::named || s.varargs != T::varargs || s.varkw != T::varkw ||
        T::named > Bound::max_named) {
        PyErr_Format(PyExc_SystemError, "%s(%s): parameters do not match the C++ implementation", name, params);
        return nullptr;
    }
    DirectSlot direct = detail::direct_slot_for<F>(name, s);
    auto* made = new FuncDef{name, params, doc, &detail::trampoline<F>, std::move(sig).value(), direct};
    detail::def_of<F> = made;
    return made;
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
    Py_VISIT(f->closure);
    Py_VISIT(f->dict);
    Py_VISIT(f->module);
    Py_VISIT(f->doc);
    Py_VISIT(f->arg_checker);
    return 0;
}
inline int function_clear(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    Py_CLEAR(f->closure);
    Py_CLEAR(f->dict);
    Py_CLEAR(f->arg_checker);
    return 0;
}
inline void function_dealloc(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    PyObject_GC_UnTrack(o);
    if (f->weaklist) PyObject_ClearWeakRefs(o);
    function_clear(o);
    Py_XDECREF(f->name);
    Py_XDECREF(f->qualname);
    Py_XDECREF(f->doc);
    Py_XDECREF(f->module);
    PyObject_GC_Del(o);
}
inline PyObject* function_repr(PyObject* o) {
    auto* f = reinterpret_cast<FunctionObject*>(o);
    return PyUnicode_FromFormat("<function %U at %p>", f->qualname, o);
}
inline PyObject* function_reduce(PyObject* o, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(o)->qualname);
}
inline PyObject* function_text_signature(PyObject* o, void*) {
    const std::string& text = reinterpret_cast<FunctionObject*>(o)->def->sig.text;
    return PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
}
inline PyMemberDef function_members[] = {
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), 0, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module), 0, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};
inline PyGetSetDef function_getset[] = {
    name_attr<FunctionObject, &FunctionObject::name>("__name__"),
    name_attr<FunctionObject, &FunctionObject::qualname>("__qualname__"),
    {"__text_signature__", function_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};
inline PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The member tables below leave their unused fields zero on purpose.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

inline PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vornal.datastructures.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = PyObject_GenericSetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    .tp_doc = "A function of vornal.datastructures, implemented in C++.",
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weaklist),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
    .tp_descr_get = function_get,
    .tp_dictoffset = offsetof(FunctionObject, dict),
};

#pragma GCC diagnostic pop

template <auto F>
bool is_impl(PyObject* o) {
    return o && Py_IS_TYPE(o, &FunctionType) &&
           reinterpret_cast<FunctionObject*>(o)->def->call == &detail::trampoline<F>;
}

// Makes a function object. `qualname` defaults to the name; `closure` is
// handed to the implementation through Ctx. A null `def` (a def() that
// failed) passes its failure on.
inline Ref make_function(FuncDef* def, PyObject* module_name, const char* qualname = nullptr,
                         Handle closure = Handle()) {
    if (!def) return failure;
    auto* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) return failure;
    f->vectorcall = def->call;
    f->def = def;
    f->name = f->qualname = f->doc = f->closure = f->dict = f->weaklist = f->arg_checker = nullptr;
    f->module = Py_XNewRef(module_name);
    f->closure = Py_XNewRef(closure.ptr());
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
