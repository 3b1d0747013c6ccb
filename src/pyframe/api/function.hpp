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
//
// The function type itself (its slots, made once per interpreter) is
// runtime/function_type.hpp.
#pragma once

#include "guards.hpp"
#include "super.hpp"
#include "../runtime/abi.hpp"

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
    ModuleRecord* record = rt::module_state.record;
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

// What the C++ code of a function may ask about the running call.
struct Ctx {
    rt::FunctionObject* function;
    Handle closure() const;  // the object a call-time function was made with
};

// The description with the signature it binds, which only the shared object
// that made it reads. One is made per function for the process (def<F>());
// it holds no object of an interpreter but the borrowed copies of its
// signature (see Signature).
struct FuncDef : rt::FuncInfo {
    Signature sig;
};

namespace rt {
// The direct slot of F's special method, if it has one (runtime/slots.hpp).
template <auto F> DirectSlot direct_slot_for(const char* name, const Signature& sig);
}  // namespace rt

namespace detail {

// Every description the shared object made, for forget_signatures().
inline std::vector<FuncDef*>& descriptions() {
    static std::vector<FuncDef*> made;
    return made;
}
inline void forget_signatures() {
    for (FuncDef* d : descriptions()) d->sig.forget_objects();
}
}  // namespace detail

inline Handle Ctx::closure() const { return Handle(function->closure); }

// Reports a call that does not fit the function's parameters with exactly
// the message the interpreter gives for a Python function of the same
// signature and qualified name: such a function is compiled once and called
// with the same arguments.
inline Ref argument_error(rt::FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
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
    rt::FunctionObject* f;
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
PyObject* invoke(rt::FunctionObject* f, Bound& b) {
    using T = traits<decltype(F)>;
    ArgSource src{f, b};
    return std::apply(
        [](auto&&... a) -> PyObject* { return to_python(F(std::forward<decltype(a)>(a)...)); },
        [&]<class... P>(std::tuple<P...>*) { return std::tuple<P...>{src.template get<P>()...}; }(
            static_cast<typename T::params*>(nullptr)));
}

template <auto F>
PyObject* trampoline(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<rt::FunctionObject*>(callable);
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
        rt::DirectSlot direct = rt::direct_slot_for<F>(name, s);
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

// Whether `o` is a function object of this package (of any of its modules).
inline bool is_function(PyObject* o) {
    return o && rt::module_state.function_type && Py_IS_TYPE(o, rt::module_state.function_type);
}

template <auto F>
bool is_impl(PyObject* o) {
    return is_function(o) && reinterpret_cast<rt::FunctionObject*>(o)->def->call == &detail::trampoline<F>;
}

// Makes a function object of the running module. `module_name` is its
// __module__; `qualname` defaults to the name; `closure` is handed to the
// implementation through Ctx. A null `def` (a def() that failed) passes its
// failure on.
inline Ref make_function(FuncDef* def, PyObject* module_name, const char* qualname = nullptr,
                         Handle closure = Handle()) {
    if (!def) return failure;
    ModuleRecord* record = rt::module_state.record;
    if (!record || !rt::module_state.function_type)
        return raise(PyExc_SystemError, "function %s made while its module is not loaded", def->name);
    auto* f = PyObject_GC_New(rt::FunctionObject, rt::module_state.function_type);
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
