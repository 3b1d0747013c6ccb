// pyframe/module.hpp: the module frame. PF_MODULE(name, body) defines
// PyInit_<name> for multi-phase initialisation: the module is created once
// per process under its full name (one interpreter only), its body runs
// once, and a second module object is refused. The body imports names
// package-first, binds module globals, and methods look globals up when
// they run.
#pragma once

#include "generator.hpp"

#include <string>

namespace pf {

// The module this extension executed into (one per process).
struct ModuleState {
    const char* short_name = nullptr;
    PyObject* module = nullptr;   // the created module (kept once made)
    PyObject* globals = nullptr;  // its namespace
    PyObject* full_name = nullptr;
    int64_t interpreter = -1;
    bool executed = false;
    // Advanced by a dict watcher on every change of the namespace; 0 while
    // the namespace is not watched (then nothing is kept, see global()).
    uint64_t generation = 0;
};
inline ModuleState module_state;

inline PyObject* module_name() { return module_state.full_name; }

// ---------------------------------------------------------------------------
// Watching the module namespace
// ---------------------------------------------------------------------------
//
// The interpreter has few dict watcher ids, so the extension modules of
// this package share one: the first module that loads adds it and leaves
// the table below in the interpreter's state dictionary; every module
// enters its namespace and generation counter there.

namespace detail {
struct WatchedNamespaces {
    int watcher_id;
    int count;
    struct {
        PyObject* dict;
        uint64_t* generation;
    } entries[32];
};
inline constexpr const char watch_key[] = "vornal.datastructures.pyframe.watched-namespaces.1";

inline int namespace_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) {
    PyObject* table_capsule = nullptr;
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) return 0;
    PyObject* exc = PyErr_GetRaisedException();  // a lookup here must not disturb a pending error
    if (PyDict_GetItemStringRef(state, watch_key, &table_capsule) > 0) {
        auto* table = static_cast<WatchedNamespaces*>(PyCapsule_GetPointer(table_capsule, watch_key));
        if (table)
            for (int i = 0; i < table->count; ++i)
                if (table->entries[i].dict == dict) ++*table->entries[i].generation;
        Py_DECREF(table_capsule);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return 0;
}
}  // namespace detail

// Starts watching the module namespace; without a watcher id (all taken)
// global() simply looks every name up.
inline Status watch_namespace() {
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) return ok;
    PyObject* found = nullptr;
    TRY(truth(PyDict_GetItemStringRef(state, detail::watch_key, &found)));
    Ref capsule = Ref::steal(found);
    detail::WatchedNamespaces* table;
    if (capsule) {
        table = static_cast<detail::WatchedNamespaces*>(PyCapsule_GetPointer(capsule.ptr(), detail::watch_key));
        if (!table) return failure;
    } else {
        table = new detail::WatchedNamespaces{};  // kept for the process, as the modules are
        table->watcher_id = PyDict_AddWatcher(detail::namespace_changed);
        if (table->watcher_id < 0) {
            PyErr_Clear();
            table->count = -1;  // no watcher: no module keeps lookups
        }
        TRY_LET(capsule, Ref::steal(PyCapsule_New(table, detail::watch_key, nullptr)));
        TRY(status(PyDict_SetItemString(state, detail::watch_key, capsule.ptr())));
    }
    if (table->count < 0 || table->count == (int)std::size(table->entries)) return ok;
    table->entries[table->count++] = {module_state.globals, &module_state.generation};
    module_state.generation = 1;
    return status(PyDict_Watch(table->watcher_id, module_state.globals));
}

// ---------------------------------------------------------------------------
// Module globals
// ---------------------------------------------------------------------------

// A module-level name, looked up when the code runs (then the builtins).
inline Ref global(PyObject* name) {
    PyObject* v = nullptr;
    TRY_LET(bool in_globals, truth(PyDict_GetItemRef(module_state.globals, name, &v)));
    if (in_globals) return Ref::steal(v);
    TRY_LET(bool in_builtins, truth(PyDict_GetItemRef(PyEval_GetBuiltins(), name, &v)));
    if (in_builtins) return Ref::steal(v);
    return raise(PyExc_NameError, "name '%U' is not defined", name);
}

// The same for a name known when the module is compiled. What the
// namespace held is kept with the namespace's generation and used again
// while no change has been made to the namespace since; the watcher runs
// before any change, so the namespace still holds the kept value whenever
// it is used. Names found only among the builtins are looked up each time.
template <name_literal S> Ref global() {
    static uint64_t generation = 0;
    static PyObject* value = nullptr;  // borrowed from the namespace
    if (generation == module_state.generation && generation != 0) return Ref::borrow(value);
    PyObject* v = nullptr;
    TRY_LET(bool in_globals, truth(PyDict_GetItemRef(module_state.globals, id<S>(), &v)));
    if (in_globals) {
        generation = module_state.generation;
        value = v;
        return Ref::steal(v);
    }
    return global(id<S>());
}

// `import name` following the package convention: first relative to the
// package (vornal.datastructures.name), then top-level. Returns the module.
inline Ref import_module(const char* name) {
    TRY_LET(Ref modname, str(name));
    TRY_LET(Ref fromlist, tuple(id<"__name__">()));  // any attribute every module has: returns the leaf module
    PyObject* m = PyImport_ImportModuleLevelObject(modname.ptr(), module_state.globals, nullptr, fromlist.ptr(), 1);
    if (m) return Ref::steal(m);
    if (!error_matches(PyExc_ImportError)) return failure;
    PyErr_Clear();
    return Ref::steal(PyImport_ImportModuleLevelObject(modname.ptr(), module_state.globals, nullptr, fromlist.ptr(), 0));
}
// Binds `name = value` in the module namespace.
inline Status bind_global(const char* name, Handle value) {
    if (!value) return failure;
    return status(PyDict_SetItemString(module_state.globals, name, value.ptr()));
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
    return status(PyDict_SetItem(module_state.globals, attr_name.ptr(), value.ptr()));
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
    TRY_LET(Ref mod, Ref::steal(PyImport_ImportModuleLevelObject(modname.ptr(), module_state.globals, nullptr, fromlist.ptr(), 1)));
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
// counts sees no table filling up. `clear` must only drop references (no
// calls into Python code); it runs from a gc.callbacks entry.
using CacheClear = void (*)();
struct CacheClears {
    CacheClear fns[8] = {};
    int count = 0;
};
inline CacheClears cache_clears;

inline PyObject* clear_caches_on_full_collection(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    // gc.callbacks entries are called as f(phase, info) before and after each collection.
    if (nargs != 2 || !PyUnicode_Check(args[0]) || !PyUnicode_EqualToUTF8(args[0], "start") || !PyDict_Check(args[1]))
        Py_RETURN_NONE;
    PyObject* generation = nullptr;
    if (PyDict_GetItemStringRef(args[1], "generation", &generation) < 0) return nullptr;
    Ref keep = Ref::steal(generation);
    if (generation && PyLong_Check(generation) && PyLong_AsLong(generation) == 2)
        for (int i = 0; i < cache_clears.count; ++i) cache_clears.fns[i]();
    Py_RETURN_NONE;
}

// Has `clear` run at every full collection (see above).
// Registering the same function again (the module executed once more) is a no-op.
inline Status clear_on_full_collection(CacheClear clear) {
    for (int i = 0; i < cache_clears.count; ++i)
        if (cache_clears.fns[i] == clear) return ok;
    if (cache_clears.count == int(std::size(cache_clears.fns)))
        return raise(PyExc_SystemError, "too many caches registered for clearing");
    if (cache_clears.count == 0) {
        static PyMethodDef def = {"_clear_caches",
                                  reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(clear_caches_on_full_collection)),
                                  METH_FASTCALL, nullptr};
        TRY_LET(Ref fn, Ref::steal(PyCFunction_NewEx(&def, nullptr, module_name())));
        TRY_LET(Ref gc, Ref::steal(PyImport_ImportModule("gc")));
        TRY_LET(Ref callbacks, Ref::steal(PyObject_GetAttrString(gc.ptr(), "callbacks")));
        TRY(status(PyList_Append(callbacks.ptr(), fn.ptr())));
    }
    cache_clears.fns[cache_clears.count++] = clear;
    return ok;
}

// ---------------------------------------------------------------------------
// Module definition (PF_MODULE)
// ---------------------------------------------------------------------------

inline int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) {
    PyObject* value = nullptr;
    int rc = PyObject_GetOptionalAttrString(spec, from, &value);
    if (rc <= 0) return rc;
    Ref keep = Ref::steal(value);
    if (value == Py_None && !allow_none) return 0;
    return PyObject_SetAttrString(module, to, value);
}

// Py_mod_create: one interpreter per process; the module made once.
inline PyObject* module_create(PyObject* spec, PyModuleDef*) {
    int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (module_state.interpreter == -1) {
        module_state.interpreter = current;
    } else if (current != module_state.interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (module_state.module) {
        // The interpreter takes what this returns for a new module: it sets the
        // module's state pointer to null, and the first exec then allocates a new
        // (empty) one as its "executed" marker. The marker of the earlier exec
        // would be lost, one block for every create_module() or reload().
        if (void* marker = PyModule_GetState(module_state.module)) PyMem_Free(marker);
        return Py_NewRef(module_state.module);
    }
    Ref module = Ref::steal(PyModule_NewObject(module_state.full_name));
    if (!module || copy_spec_attr(spec, module.ptr(), "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, module.ptr(), "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, module.ptr(), "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, module.ptr(), "submodule_search_locations", "__path__", false) < 0)
        return nullptr;
    module_state.module = Py_NewRef(module.ptr());
    return module.release();
}

// The framework's own types, ready and known to the abc machinery.
inline Status ready_framework_types() {
    TRY(status(PyType_Ready(&FunctionType)));
    TRY(status(PyType_Ready(&GeneratorType)));
    TRY_LET(Ref abc, Ref::steal(PyImport_ImportModule("collections.abc")));
    TRY_LET(Ref generator, abc.attr<"Generator">());
    TRY(generator.call_method<"register">(Handle(&GeneratorType)));
    return ok;
}

// Py_mod_exec: runs the module body once, for the module made above.
inline int module_exec(PyObject* module, Status (*body)()) {
    if (module_state.executed) {
        if (module == module_state.module) return 0;
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     module_state.short_name);
        return -1;
    }
    unsigned long runtime = Py_Version;
    int major = (int)((runtime >> 24) & 0xff), minor = (int)((runtime >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char msg[200];
        PyOS_snprintf(msg, sizeof msg, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, PyUnicode_AsUTF8(module_state.full_name), "does not match",
                      major, minor);
        if (PyErr_WarnEx(nullptr, msg, 1) < 0) return -1;
    }
    module_state.globals = PyModule_GetDict(module);
    return guard_or(-1, [&] {
        if (!intern_names().succeeded() || !ready_framework_types().succeeded() || !watch_namespace().succeeded() ||
            !body().succeeded())
            return -1;
        module_state.executed = true;
        return 0;
    });
}

}  // namespace pf

// Defines PyInit_<name> for a module whose body is `body` (a pf::Status()).
#define PF_MODULE(NAME, BODY)                                                                        \
    static int pf_exec_##NAME(PyObject* m) { return pf::module_exec(m, BODY); }                      \
    static PyModuleDef_Slot pf_slots_##NAME[] = {                                                     \
        {Py_mod_create, reinterpret_cast<void*>(pf::module_create)},                                  \
        {Py_mod_exec, reinterpret_cast<void*>(pf_exec_##NAME)},                                       \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                         \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                                \
        {0, nullptr}};                                                                                \
    static PyModuleDef pf_def_##NAME = {                                                              \
        PyModuleDef_HEAD_INIT, "vornal.datastructures." #NAME, nullptr, 0, nullptr, pf_slots_##NAME,  \
        nullptr, nullptr, nullptr};                                                                   \
    PyMODINIT_FUNC PyInit_##NAME() {                                                                  \
        pf::module_state.short_name = #NAME;                                                          \
        if (!pf::module_state.full_name)                                                              \
            pf::module_state.full_name = PyUnicode_InternFromString("vornal.datastructures." #NAME);  \
        if (!pf::module_state.full_name) return nullptr;                                              \
        return PyModuleDef_Init(&pf_def_##NAME);                                                      \
    }
