// pyframe/runtime/core.hpp: the core the modules share, and the dict
// watcher of their namespaces.
//
// The core: the modules of the package recognise each other's functions
// (a class of one module inherits methods of another's, and keeps their
// direct slots and fast paths), so the function and generator types are
// one per interpreter, not one per module. The first module loaded in an
// interpreter makes them and publishes them in a capsule in the
// interpreter's state dictionary, under a key that names the framework and
// the version of the layouts the modules share (runtime/abi.hpp); the
// others find it there. A module built with another version refuses to
// load. The capsule's record is freed when the interpreter clears its state
// dictionary. No module links against another: the shared objects only meet
// through the capsule, and none is ever unloaded, so the code of a type or a
// slot stays where the first module put it.
#pragma once

#include "generator_type.hpp"
#include "../api/function.hpp"

#include <memory>

namespace pf {
namespace rt {

using namespace detail;  // the api's internals


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
    std::copy(std::begin(layout_description), std::end(layout_description), core->layout);
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

// Refuses a core of this version whose records are laid out otherwise: a
// change to runtime/abi.hpp that did not raise PF_CORE_VERSION.
[[nodiscard]] inline Failure refuse_layout(const char* full_name, PyObject* found_key, const FieldLayout* published) {
    int i = layout_mismatch(published);
    return raise(PyExc_ImportError,
                 "%s was built with another layout of version %d of the pyframe core than the module loaded earlier "
                 "in this interpreter that published '%U' (%s: offset %u, size %u here; offset %u, size %u there): "
                 "the modules of vornal.datastructures must all come from one build",
                 full_name, PF_CORE_VERSION, found_key, layout_names[i], unsigned(layout_description[i].offset),
                 unsigned(layout_description[i].size), unsigned(published[i].offset), unsigned(published[i].size));
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
        if (!core || core->version != PF_CORE_VERSION) return refuse_core(full_name, key.ptr());
        // The description first: where the interpreter lies depends on it.
        if (layout_mismatch(core->layout) >= 0) return refuse_layout(full_name, key.ptr(), core->layout);
        if (core->interpreter != interpreter) return refuse_core(full_name, key.ptr());
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

}  // namespace rt
}  // namespace pf
