// pyframe/module.hpp: the module frame and the core the modules share.
//
// PF_MODULE(name, body) defines PyInit_<name> for multi-phase
// initialisation. The create step makes the module object and its record
// (state.hpp), which the module object owns; the exec step runs the body
// once for that module object. Within one interpreter the same module
// object is returned when asked again, and a second module object is
// refused; a second interpreter alive at the same time is refused in the
// create step; once the interpreter is finalised (its modules freed), the
// next one loads the module afresh. The body imports names package-first
// and binds module globals; methods look globals up when they run.
//
// The core: the modules of the package recognise each other's functions
// (a class of one module inherits methods of another's, and keeps their
// direct slots and fast paths), so the function and generator types are
// one per interpreter, not one per module. The first module loaded in an
// interpreter makes them and publishes them in a capsule in the
// interpreter's state dictionary, under a key that names the framework and
// the version of the layouts the modules share (Core, FunctionObject,
// FuncInfo, DirectSlot, GeneratorObject, GenBody's virtual functions); the
// others find it there. A module built with another version refuses to
// load. The capsule's record is freed when the interpreter clears its state
// dictionary. No module links against another: the shared objects only meet
// through the capsule, and none is ever unloaded, so the code of a type or a
// slot stays where the first module put it.
#pragma once

#include "generator.hpp"

#include <memory>
#include <string>

namespace pf {

// ---------------------------------------------------------------------------
// The core
// ---------------------------------------------------------------------------

// The version of the layouts shared between the modules (see above): to be
// raised with every change to one of them.
#define PF_CORE_VERSION 1
#define PF_CORE_KEY_PREFIX "vornal.datastructures.pyframe.core."
#define PF_CORE_STRINGIZE_(x) #x
#define PF_CORE_STRINGIZE(x) PF_CORE_STRINGIZE_(x)
// The key of the capsule in the interpreter's state dictionary, and its name.
inline constexpr char core_key[] = PF_CORE_KEY_PREFIX "v" PF_CORE_STRINGIZE(PF_CORE_VERSION);

struct Core {
    unsigned version;
    std::size_t layout[6];  // see core_layout; a second check beside the version
    PyInterpreterState* interpreter;
    PyTypeObject* function_type;   // owned
    PyTypeObject* generator_type;  // owned
    // The dict watcher of the modules' namespaces (an interpreter has few
    // watcher ids, so the modules share one): each watched namespace with
    // the generation counter it advances. -1: no watcher.
    int watcher_id;
    int watched;
    struct {
        PyObject* dict;
        uint64_t* generation;
    } namespaces[32];
    // Called when the capsule is freed, one function per shared object that
    // used the core: each forgets what it kept of this interpreter.
    int forgets;
    void (*forget[32])(Core*);
};

// The sizes the modules must agree on.
inline constexpr std::size_t core_layout[6] = {sizeof(Core),        sizeof(FunctionObject), sizeof(FuncInfo),
                                               sizeof(DirectSlot),  sizeof(GeneratorObject), sizeof(PyObject)};

namespace detail {

// The dict watcher: advances the generation of a watched namespace before
// it changes. The namespaces are found in the core of the interpreter at
// hand (the watcher may be called for any interpreter the shared object
// that added it served).
inline int namespace_changed(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
    if (event == PyDict_EVENT_DEALLOCATED) return 0;  // unwatched before: nothing to advance
    PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (!state) return 0;
    PyObject* exc = PyErr_GetRaisedException();  // a lookup here must not disturb a pending error
    PyObject* found = nullptr;
    if (PyDict_GetItemStringRef(state, core_key, &found) > 0) {
        if (auto* core = static_cast<Core*>(PyCapsule_GetPointer(found, core_key)))
            for (int i = 0; i < core->watched; ++i)
                if (core->namespaces[i].dict == dict) ++*core->namespaces[i].generation;
        Py_DECREF(found);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    return 0;
}

// Frees the core: the shared objects forget it first (a module whose object
// outlived its interpreter's state dictionary lets go of its record then),
// the watcher goes, then the types.
inline void free_core(Core* core) {
    PyObject* exc = PyErr_GetRaisedException();
    if (core->watcher_id >= 0 && PyDict_ClearWatcher(core->watcher_id) < 0) PyErr_Clear();
    core->watcher_id = -1;
    core->watched = 0;
    for (int i = 0; i < core->forgets; ++i) core->forget[i](core);
    Py_XDECREF(reinterpret_cast<PyObject*>(core->function_type));
    Py_XDECREF(reinterpret_cast<PyObject*>(core->generator_type));
    delete core;
    PyErr_SetRaisedException(exc);
}
inline void destroy_core_capsule(PyObject* capsule) {
    auto* core = static_cast<Core*>(PyCapsule_GetPointer(capsule, core_key));
    if (core) free_core(core);
    else PyErr_Clear();
}

// The core for this interpreter: its types, registered as the abc machinery
// knows generators, and a dict watcher when one is free.
inline Result<Core*> make_core(PyInterpreterState* interpreter) {
    auto* core = new Core{};
    core->version = PF_CORE_VERSION;
    std::copy(std::begin(core_layout), std::end(core_layout), core->layout);
    core->interpreter = interpreter;
    core->watcher_id = -1;
    std::unique_ptr<Core, void (*)(Core*)> made(core, free_core);
    core->function_type = make_function_type();
    if (!core->function_type) return failure;
    core->generator_type = make_generator_type();
    if (!core->generator_type) return failure;
    TRY_LET(Ref abc, Ref::steal(PyImport_ImportModule("collections.abc")));
    TRY_LET(Ref generator, Ref::steal(PyObject_GetAttrString(abc.ptr(), "Generator")));
    TRY(Ref::steal(PyObject_CallMethod(generator.ptr(), "register", "O", core->generator_type)));
    core->watcher_id = PyDict_AddWatcher(namespace_changed);
    if (core->watcher_id < 0) PyErr_Clear();  // all taken: no module keeps lookups
    return made.release();
}

// Refuses a core of another version: built from another framework, the
// modules would read each other's objects wrongly.
[[nodiscard]] inline Failure refuse_core(const char* full_name, PyObject* found_key) {
    return raise(PyExc_ImportError,
                 "%s was built with version %d of the pyframe core, but a module loaded earlier in this interpreter "
                 "published '%U': the modules of vornal.datastructures must all come from one build",
                 full_name, PF_CORE_VERSION, found_key);
}

inline void forget_core(Core* core);

// Finds the core of this interpreter, or makes and publishes it, and notes
// it for this shared object.
inline Status attach_core(const char* full_name) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    PyObject* state = PyInterpreterState_GetDict(interpreter);
    if (!state) return raise(PyExc_ImportError, "%s: the interpreter has no state dictionary", full_name);
    TRY_LET(Ref key, str(core_key));
    PyObject* found = nullptr;
    TRY_LET(bool published, truth(PyDict_GetItemRef(state, key.ptr(), &found)));
    Ref capsule = Ref::steal(found);
    Core* core = nullptr;
    if (published) {
        if (PyCapsule_IsValid(capsule.ptr(), core_key))
            core = static_cast<Core*>(PyCapsule_GetPointer(capsule.ptr(), core_key));
        if (!core || core->version != PF_CORE_VERSION || core->interpreter != interpreter ||
            !std::equal(std::begin(core_layout), std::end(core_layout), core->layout))
            return refuse_core(full_name, key.ptr());
    } else {
        // A core under another version's key: a module of another build.
        TRY_LET(Ref prefix, str(PF_CORE_KEY_PREFIX));
        PyObject *other, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(state, &pos, &other, &value);) {
            if (!PyUnicode_Check(other)) continue;
            Py_ssize_t starts = PyUnicode_Tailmatch(other, prefix.ptr(), 0, PY_SSIZE_T_MAX, -1);
            if (starts < 0) return failure;
            if (starts) return refuse_core(full_name, other);
        }
        TRY_LET(core, make_core(interpreter));
        capsule = Ref::steal(PyCapsule_New(core, core_key, destroy_core_capsule));
        if (!capsule) {
            free_core(core);
            return failure;
        }
        TRY(status(PyDict_SetItem(state, key.ptr(), capsule.ptr())));
    }
    bool known = false;
    for (int i = 0; i < core->forgets; ++i) known = known || core->forget[i] == forget_core;
    if (!known) {
        if (core->forgets == (int)std::size(core->forget))
            return raise(PyExc_SystemError, "%s: too many shared objects use the pyframe core", full_name);
        core->forget[core->forgets++] = forget_core;
    }
    module_state.core = core;
    module_state.function_type = core->function_type;
    module_state.generator_type = core->generator_type;
    return ok;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Watching the module namespace
// ---------------------------------------------------------------------------

// Enters the module namespace in the core's watcher table; without a
// watcher (all ids taken) or room, global() simply looks every name up.
inline Status watch_namespace(ModuleRecord& record) {
    Core* core = module_state.core;
    if (record.watched || !core || core->watcher_id < 0 || core->watched == (int)std::size(core->namespaces))
        return ok;
    TRY(status(PyDict_Watch(core->watcher_id, module_state.globals)));
    core->namespaces[core->watched++] = {module_state.globals, &module_state.generation};
    module_state.generation = 1;
    record.watched = true;
    return ok;
}

inline void unwatch_namespace(ModuleRecord& record) {
    if (!record.watched) return;
    record.watched = false;
    module_state.generation = 0;
    Core* core = module_state.core;
    if (!core || core->watcher_id < 0) return;
    for (int i = 0; i < core->watched; ++i) {
        if (core->namespaces[i].generation != &module_state.generation) continue;
        PyObject* dict = core->namespaces[i].dict;
        core->namespaces[i] = core->namespaces[--core->watched];
        if (PyDict_Unwatch(core->watcher_id, dict) < 0) PyErr_Clear();
        return;
    }
}

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
    if (!module_state.globals) return detail::module_gone();
    PyObject* v = nullptr;
    TRY_LET(bool in_globals, truth(PyDict_GetItemRef(module_state.globals, name, &v)));
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
    if (Cache::generation == module_state.generation && Cache::generation != 0) return Ref::borrow(Cache::value);
    if (!module_state.globals) return detail::module_gone();
    PyObject* v = nullptr;
    TRY_LET(bool in_globals, truth(PyDict_GetItemRef(module_state.globals, id<S>(), &v)));
    if (in_globals) {
        Cache::generation = module_state.generation;
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
    if (module_state.owner.load() != PyInterpreterState_Get() || !module_state.record) Py_RETURN_NONE;
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
    ModuleRecord* record = module_state.record;
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

// ---------------------------------------------------------------------------
// The module record's life
// ---------------------------------------------------------------------------

namespace detail {

// The record of `module` when it is the module this shared object serves in
// the running interpreter, else null.
inline ModuleRecord* record_of(PyObject* module) {
    if (module_state.owner.load() != PyInterpreterState_Get()) return nullptr;
    ModuleRecord* record = module_state.record;
    return record && record->module == module ? record : nullptr;
}

// Drops the references that may take part in cycles (the module's classes,
// imported objects, cached tables) and empties every cache of them; the
// interned names and signatures stay until the record is freed, so that
// code that still runs while the collector takes the module apart finds
// them.
inline void clear_record(ModuleRecord& record) {
    PyObject* exc = PyErr_GetRaisedException();
    unwatch_namespace(record);
    for (const Clearing& c : clearings()) c.clear(c.object);
    Held::forget_all();
    forget_super_cache();
    run_cache_clears();
    module_state.globals = nullptr;  // the module drops its namespace after this
    std::vector<Ref> objects = std::move(record.objects);
    record.objects.clear();
    objects.clear();
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(exc);
}

// Frees the record: the module object goes (or its interpreter does), and
// with it everything the shared object kept for that interpreter.
inline void free_record(ModuleRecord* record) {
    // First: what is dropped below may free the module object, whose m_free
    // must then find nothing to do.
    module_state.record = nullptr;
    clear_record(*record);
    PyObject* exc = PyErr_GetRaisedException();
    forget_names();
    forget_signatures();
    module_state.globals = nullptr;  // borrowed from the module, which may go now
    module_state.core = nullptr;
    module_state.function_type = module_state.generator_type = nullptr;
    delete record;  // the names and signature objects with it
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(exc);
    module_state.owner.store(nullptr);  // another interpreter may load the module now
}

// The core's forget function of this shared object: the interpreter clears
// its state dictionary after its modules have gone. A module object still
// alive then (kept by something that never let go of it) loses its record
// here, since its interpreter's objects go now; the next interpreter loads
// the module afresh.
inline void forget_core(Core* core) {
    if (module_state.owner.load() != core->interpreter) return;  // not this interpreter's any more
    if (module_state.record) {
        free_record(module_state.record);
        return;
    }
    module_state.core = nullptr;
    module_state.function_type = module_state.generator_type = nullptr;
    module_state.owner.store(nullptr);
}

inline int copy_spec_attr(PyObject* spec, PyObject* module, const char* from, const char* to, bool allow_none) {
    PyObject* value = nullptr;
    int rc = PyObject_GetOptionalAttrString(spec, from, &value);
    if (rc <= 0) return rc;
    Ref keep = Ref::steal(value);
    if (value == Py_None && !allow_none) return 0;
    return PyObject_SetAttrString(module, to, value);
}

// A new module object for `spec`, and its record.
inline Ref new_module(PyObject* spec, PyModuleDef* def) {
    TRY(check_state_record(def->m_name));
    TRY(attach_core(def->m_name));
    TRY_LET(Ref full_name, Ref::steal(PyUnicode_InternFromString(def->m_name)));
    TRY_LET(Ref module, Ref::steal(PyModule_NewObject(full_name.ptr())));
    if (copy_spec_attr(spec, module.ptr(), "loader", "__loader__", true) < 0 ||
        copy_spec_attr(spec, module.ptr(), "origin", "__file__", true) < 0 ||
        copy_spec_attr(spec, module.ptr(), "parent", "__package__", true) < 0 ||
        copy_spec_attr(spec, module.ptr(), "submodule_search_locations", "__path__", false) < 0)
        return failure;
    auto* record = new ModuleRecord{};
    record->interpreter = PyInterpreterState_Get();
    record->module = module.ptr();
    record->full_name = std::move(full_name);
    record->objects.resize(Held::registered().size());
    module_state.record = record;
    return module;
}

}  // namespace detail

// m_traverse, m_clear and m_free of every module: the record is the
// module's state.
inline int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleRecord* record = detail::record_of(module);
    if (!record) return 0;
    for (const Ref& o : record->objects) Py_VISIT(o.ptr());
    for (const Ref& o : record->constants) Py_VISIT(o.ptr());
    return 0;
}
inline int module_clear(PyObject* module) {
    if (ModuleRecord* record = detail::record_of(module)) detail::clear_record(*record);
    return 0;
}
inline void module_free(void* module) {
    if (ModuleRecord* record = detail::record_of(static_cast<PyObject*>(module))) detail::free_record(record);
}

// ---------------------------------------------------------------------------
// Module definition (PF_MODULE)
// ---------------------------------------------------------------------------

// Py_mod_create: the module of this interpreter, made once.
inline PyObject* module_create(PyObject* spec, PyModuleDef* def) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    PyInterpreterState* owner = nullptr;
    // Taken first and atomically: a second interpreter may run on another
    // thread, under its own GIL, and must not touch module_state at all.
    if (!module_state.owner.compare_exchange_strong(owner, interpreter) && owner != interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (ModuleRecord* record = module_state.record) {
        // The interpreter takes what this returns for a new module: it sets the
        // module's state pointer to null, and the first exec then allocates a new
        // (empty) one as its "executed" marker. The marker of the earlier exec
        // would be lost, one block for every create_module() or reload().
        if (void* marker = PyModule_GetState(record->module)) PyMem_Free(marker);
        return Py_NewRef(record->module);
    }
    PyObject* module = guard_or<PyObject*>(nullptr, [&] { return detail::new_module(spec, def).release(); });
    if (!module) {
        module_state.core = nullptr;
        module_state.function_type = module_state.generator_type = nullptr;
        module_state.owner.store(nullptr);
    }
    return module;
}

// Py_mod_exec: runs the module body once, for the module made above.
inline int module_exec(PyObject* module, const char* short_name, Status (*body)()) {
    ModuleRecord* record = detail::record_of(module);
    if (!record) {
        PyErr_Format(PyExc_RuntimeError, "Module '%s' has already been imported. Re-initialisation is not supported.",
                     short_name);
        return -1;
    }
    if (record->executed) return 0;
    unsigned long runtime = Py_Version;
    int major = (int)((runtime >> 24) & 0xff), minor = (int)((runtime >> 16) & 0xff);
    if (major != PY_MAJOR_VERSION || minor != PY_MINOR_VERSION) {
        char msg[200];
        PyOS_snprintf(msg, sizeof msg, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                      PY_MAJOR_VERSION, PY_MINOR_VERSION, PyUnicode_AsUTF8(record->full_name.ptr()), "does not match",
                      major, minor);
        if (PyErr_WarnEx(nullptr, msg, 1) < 0) return -1;
    }
    module_state.globals = PyModule_GetDict(module);
    return guard_or(-1, [&] {
        if (!detail::intern_names(*record).succeeded() || !watch_namespace(*record).succeeded() ||
            !body().succeeded())
            return -1;
        record->executed = true;
        return 0;
    });
}

}  // namespace pf

// Defines PyInit_<name> for a module whose body is `body` (a pf::Status()).
#define PF_MODULE(NAME, BODY)                                                                        \
    static int pf_exec_##NAME(PyObject* m) { return pf::module_exec(m, #NAME, BODY); }               \
    static PyModuleDef_Slot pf_slots_##NAME[] = {                                                     \
        {Py_mod_create, reinterpret_cast<void*>(pf::module_create)},                                  \
        {Py_mod_exec, reinterpret_cast<void*>(pf_exec_##NAME)},                                       \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                         \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                                \
        {0, nullptr}};                                                                                \
    static PyModuleDef pf_def_##NAME = {                                                              \
        PyModuleDef_HEAD_INIT, "vornal.datastructures." #NAME, nullptr, 0, nullptr, pf_slots_##NAME,  \
        pf::module_traverse, pf::module_clear, pf::module_free};                                      \
    PyMODINIT_FUNC PyInit_##NAME() { return PyModuleDef_Init(&pf_def_##NAME); }
