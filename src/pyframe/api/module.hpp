// pyframe/api/module.hpp: what a module body does: imports, module globals,
// module-level functions, caches emptied at full collections.
//
// The body imports names package-first and binds module globals; methods
// look globals up when they run. The module's life (create, exec, traverse,
// clear, free; PF_MODULE) is runtime/lifecycle.hpp, the core
// runtime/core.hpp.
#pragma once

#include "function.hpp"

#include <string>

namespace pf {

// ---------------------------------------------------------------------------
// Module globals
// ---------------------------------------------------------------------------

namespace detail {
// Code of a module whose state is gone (its function outlived the module in a
// cycle the collector is taking apart, or the interpreter's finalisation)
// gets an error rather than a namespace that no longer exists.
[[nodiscard]] inline Failure module_gone() {
    return raise(PyExc_RuntimeError, "a function of a vornal.datastructures module ran after its module was freed");
}
}  // namespace detail

// A module-level name, looked up when the code runs (then the builtins).
inline Ref global(PyObject* name) {
    if (!rt::module_state.globals) return detail::module_gone();
    PyObject* v = nullptr;
    TRY_LET(bool in_globals, truth(PyDict_GetItemRef(rt::module_state.globals, name, &v)));
    if (in_globals) return Ref::steal(v);
    TRY_LET(bool in_builtins, truth(PyDict_GetItemRef(PyEval_GetBuiltins(), name, &v)));
    if (in_builtins) return Ref::steal(v);
    return raise(PyExc_NameError, "name '%U' is not defined", name);
}

namespace detail {
// What global<S>() found last, with the namespace's generation then; emptied
// with the module's state.
template <name_literal S>
struct GlobalCache {
    static inline uint64_t generation = 0;
    static inline PyObject* value = nullptr;  // borrowed from the namespace
    static void forget(void*) {
        generation = 0;
        value = nullptr;
    }
    static inline const bool registered = (on_clear(forget, nullptr), true);
};
}  // namespace detail

// The same for a name known when the module is compiled. What the
// namespace held is kept with the namespace's generation and used again
// while no change has been made to the namespace since; the watcher runs
// before any change, so the namespace still holds the kept value whenever
// it is used. Names found only among the builtins are looked up each time.
template <name_literal S> Ref global() {
    using Cache = detail::GlobalCache<S>;
    (void)&Cache::registered;
    if (Cache::generation == rt::module_state.generation && Cache::generation != 0) return Ref::borrow(Cache::value);
    if (!rt::module_state.globals) return detail::module_gone();
    PyObject* v = nullptr;
    TRY_LET(bool in_globals, truth(PyDict_GetItemRef(rt::module_state.globals, id<S>(), &v)));
    if (in_globals) {
        Cache::generation = rt::module_state.generation;
        Cache::value = v;
        return Ref::steal(v);
    }
    return global(id<S>());
}

// `import name` following the package convention: first relative to the
// package (vornal.datastructures.name), then top-level. Returns the module.
inline Ref import_module(const char* name) {
    TRY_LET(Ref modname, str(name));
    TRY_LET(Ref fromlist, tuple(id<"__name__">()));  // any attribute every module has: returns the leaf module
    PyObject* m = PyImport_ImportModuleLevelObject(modname.ptr(), rt::module_state.globals, nullptr, fromlist.ptr(), 1);
    if (m) return Ref::steal(m);
    if (!error_matches(PyExc_ImportError)) return failure;
    PyErr_Clear();
    return Ref::steal(PyImport_ImportModuleLevelObject(modname.ptr(), rt::module_state.globals, nullptr, fromlist.ptr(), 0));
}
// The module namespace (globals()); null once the module's state is gone.
inline Handle module_globals() { return Handle(rt::module_state.globals); }

// Binds `name = value` in the module namespace.
inline Status bind_global(const char* name, Handle value) {
    if (!value) return failure;
    return status(PyDict_SetItemString(rt::module_state.globals, name, value.ptr()));
}
// `import name`, binding the top-level package name in the module namespace.
inline Ref import(const char* name) {
    TRY_LET(Ref mod, import_module(name));
    std::string_view n(name);
    std::string top(n.substr(0, n.find('.')));
    Ref bound;
    if (n.find('.') == std::string_view::npos) bound = mod;
    else { TRY_LET(bound, import_module(top.c_str())); }
    TRY(bind_global(top.c_str(), bound));
    return mod;
}
// Binds `name` from `mod` in the module namespace (the `from ... import`).
inline Status bind_from(Handle mod, const char* name) {
    TRY_LET(Ref attr_name, str(name));
    PyObject* v = nullptr;
    TRY_LET(bool found, truth(PyObject_GetOptionalAttr(mod.ptr(), attr_name.ptr(), &v)));
    if (!found) {
        TRY_LET(Ref mod_name, mod.attr<"__name__">());
        return raise(PyExc_ImportError, "cannot import name '%s' from '%U'", name, mod_name.ptr());
    }
    Ref value = Ref::steal(v);
    return status(PyDict_SetItem(rt::module_state.globals, attr_name.ptr(), value.ptr()));
}
// `from module import a, b`, binding each name in the module namespace.
inline Status import_from(const char* module, std::initializer_list<const char*> names) {
    TRY_LET(Ref mod, import_module(module));
    for (const char* name : names) TRY(bind_from(mod, name));
    return ok;
}
// `from .module import a, b` (explicitly relative to the package).
inline Status import_relative(const char* module, std::initializer_list<const char*> names) {
    TRY_LET(Ref modname, str(module));
    TRY_LET(Ref fromlist, tuple(id<"__name__">()));
    TRY_LET(Ref mod, Ref::steal(PyImport_ImportModuleLevelObject(modname.ptr(), rt::module_state.globals, nullptr, fromlist.ptr(), 1)));
    for (const char* name : names) TRY(bind_from(mod, name));
    return ok;
}

// A module-level function of this module.
inline Ref function(FuncDef* def) { return make_function(def, module_name()); }

// ---------------------------------------------------------------------------
// Caches that own objects
// ---------------------------------------------------------------------------
//
// A small table of recently seen objects (keys already split, and the like)
// lets go of what it holds at every full collection: gc.collect(), or the
// collector's own runs over the oldest generation. Nothing such a cache holds
// outlives the next full collection, and a leak check that collects before it
// counts sees no table filling up. It is emptied with the module's state as
// well. `clear` must only drop references (no calls into Python code); it
// runs from a gc.callbacks entry of the module's interpreter.
using CacheClear = void (*)();

namespace detail {
struct CacheClears {
    CacheClear fns[8] = {};
    int count = 0;
};
inline CacheClears cache_clears;  // of this shared object: code only

inline void run_cache_clears() {
    for (int i = 0; i < cache_clears.count; ++i) cache_clears.fns[i]();
}

inline PyObject* clear_caches_on_full_collection(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    // gc.callbacks entries are called as f(phase, info) before and after each
    // collection. The entry stays in the list when the module goes: then (or
    // when another interpreter runs the module by now) it does nothing.
    if (rt::module_state.owner.load() != PyInterpreterState_Get() || !rt::module_state.record) Py_RETURN_NONE;
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyUnicode_EqualToUTF8(args[0], "start") || !PyDict_Check(args[1]))
        Py_RETURN_NONE;
    PyObject* generation = nullptr;
    if (PyDict_GetItemStringRef(args[1], "generation", &generation) < 0) return nullptr;
    Ref keep = Ref::steal(generation);
    if (generation && PyLong_Check(generation) && PyLong_AsLong(generation) == 2) run_cache_clears();
    Py_RETURN_NONE;
}
}  // namespace detail

// Has `clear` run at every full collection (see above).
// Registering the same function again (the module executed once more) is a no-op.
inline Status clear_on_full_collection(CacheClear clear) {
    detail::CacheClears& clears = detail::cache_clears;
    bool known = false;
    for (int i = 0; i < clears.count; ++i) known = known || clears.fns[i] == clear;
    if (!known) {
        if (clears.count == int(std::size(clears.fns)))
            return raise(PyExc_SystemError, "too many caches registered for clearing");
        clears.fns[clears.count++] = clear;
    }
    ModuleRecord* record = rt::module_state.record;
    if (!record) return raise(PyExc_SystemError, "a cache registered while no module runs");
    if (record->gc_callback) return ok;
    static PyMethodDef def = {"_clear_caches",
                              reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(detail::clear_caches_on_full_collection)),
                              METH_FASTCALL, nullptr};
    TRY_LET(Ref fn, Ref::steal(PyCFunction_NewEx(&def, nullptr, module_name())));
    TRY_LET(Ref gc, Ref::steal(PyImport_ImportModule("gc")));
    TRY_LET(Ref callbacks, Ref::steal(PyObject_GetAttrString(gc.ptr(), "callbacks")));
    TRY(status(PyList_Append(callbacks.ptr(), fn.ptr())));
    record->gc_callback = true;
    return ok;
}

}  // namespace pf
