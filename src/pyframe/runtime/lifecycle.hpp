// pyframe/runtime/lifecycle.hpp: the module's life. The create step makes
// the module object and its record (api/state.hpp), which the module object
// owns; the exec step runs the body once for that module object; traverse,
// clear and free walk the record. PF_MODULE(name, body) puts them into a
// PyModuleDef for multi-phase initialisation.
//
// Within one interpreter the same module object is returned when asked
// again, and a second module object is refused; a second interpreter alive
// at the same time is refused in the create step; once the interpreter is
// finalised (its modules freed), the next one loads the module afresh.
#pragma once

#include "core.hpp"
#include "../api/module.hpp"

namespace pf {
namespace rt {

using namespace detail;  // the api's internals

// ---------------------------------------------------------------------------
// The module record's life
// ---------------------------------------------------------------------------


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


// m_traverse, m_clear and m_free of every module: the record is the
// module's state.
inline int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleRecord* record = record_of(module);
    if (!record) return 0;
    for (const Ref& o : record->objects) Py_VISIT(o.ptr());
    for (const Ref& o : record->constants) Py_VISIT(o.ptr());
    return 0;
}
inline int module_clear(PyObject* module) {
    if (ModuleRecord* record = record_of(module)) clear_record(*record);
    return 0;
}
inline void module_free(void* module) {
    if (ModuleRecord* record = record_of(static_cast<PyObject*>(module))) free_record(record);
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
    PyObject* module = guard_or<PyObject*>(nullptr, [&] { return new_module(spec, def).release(); });
    if (!module) {
        module_state.core = nullptr;
        module_state.function_type = module_state.generator_type = nullptr;
        module_state.owner.store(nullptr);
    }
    return module;
}

// Py_mod_exec: runs the module body once, for the module made above.
inline int module_exec(PyObject* module, const char* short_name, Status (*body)()) {
    ModuleRecord* record = record_of(module);
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
        if (!intern_names(*record).succeeded() || !watch_namespace(*record).succeeded() ||
            !body().succeeded())
            return -1;
        record->executed = true;
        return 0;
    });
}

}  // namespace rt
}  // namespace pf

// Defines PyInit_<name> for a module whose body is `body` (a pf::Status()).
#define PF_MODULE(NAME, BODY)                                                                        \
    static int pf_exec_##NAME(PyObject* m) { return pf::rt::module_exec(m, #NAME, BODY); }               \
    static PyModuleDef_Slot pf_slots_##NAME[] = {                                                     \
        {Py_mod_create, reinterpret_cast<void*>(pf::rt::module_create)},                                  \
        {Py_mod_exec, reinterpret_cast<void*>(pf_exec_##NAME)},                                       \
        {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                         \
        {Py_mod_gil, Py_MOD_GIL_USED},                                                                \
        {0, nullptr}};                                                                                \
    static PyModuleDef pf_def_##NAME = {                                                              \
        PyModuleDef_HEAD_INIT, "vornal.datastructures." #NAME, nullptr, 0, nullptr, pf_slots_##NAME,  \
        pf::rt::module_traverse, pf::rt::module_clear, pf::rt::module_free};                                      \
    PyMODINIT_FUNC PyInit_##NAME() { return PyModuleDef_Init(&pf_def_##NAME); }
