// pyframe/api/state.hpp: what a module keeps for the interpreter it runs in.
//
// A module keeps objects per interpreter: its name, the interned names of
// id<>(), the classes and imported objects its code refers to (Held), the
// parameter names and defaults of its functions. All of them are owned by
// one ModuleRecord, which the module object owns: the create step makes it,
// the interpreter reports its references to the cycle collector
// (m_traverse), drops them (m_clear) and frees it (m_free) as it does for
// any module state (runtime/lifecycle.hpp). When the interpreter is finalised its
// modules go, and with them everything they kept; a new interpreter loads
// the module afresh.
//
// The code of a shared object reaches that record through one pointer,
// module_state.record, and reads what it owns through borrowed caches at
// namespace scope: the interned names behind id<>(), the object of each
// Held, the values global<>() found. A hot path reads one of them as it
// read the process-wide static it replaces. Each cache registers itself when
// the shared object is loaded (or when it is made, for objects at namespace
// scope) and is emptied when the record's references are dropped, so that
// nothing of one interpreter is seen in the next. The same holds for the
// memos keyed by type version tags (TypeMemo, AbcCheck, the super() cache,
// Value<T>): an interpreter starts its version tags again from the same
// numbers, so a memo of the last one would match classes it never saw.
//
// One interpreter at a time: module_state belongs to the interpreter that
// created the module (module_state.owner, taken by compare-and-swap in the
// create step); a second interpreter alive at the same time is refused
// there, before it touches anything else here, even when it runs on another
// thread under its own GIL.
#pragma once

#include "refs.hpp"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace pf {

namespace rt {
struct Core;  // the framework's objects one interpreter shares among the modules (runtime/abi.hpp)
}

// The state of a module in the interpreter that imported it, owned by the
// module object (see above and runtime/lifecycle.hpp).
struct ModuleRecord {
    PyInterpreterState* interpreter = nullptr;
    PyObject* module = nullptr;  // borrowed: the module object owns this record
    Ref full_name;               // "vornal.datastructures.<name>", interned
    bool executed = false;       // the module body ran to its end
    bool watched = false;        // the namespace is in the dict watcher's table (runtime/core.hpp)
    bool gc_callback = false;    // gc.callbacks has this module's entry (clear_on_full_collection)
    std::vector<Ref> names;      // the names of id<>(), by registration
    std::vector<Ref> objects;    // what the Held holders hold, by registration
    std::vector<Ref> constants;  // parameter names and defaults of the module's functions
};

namespace rt {
// What the code of one shared object reads of its module's state.
struct ModuleState {
    // The interpreter whose module this shared object serves; null while
    // none does.
    std::atomic<PyInterpreterState*> owner{nullptr};
    ModuleRecord* record = nullptr;
    PyObject* globals = nullptr;  // the module namespace, borrowed from the module
    // Advanced by a dict watcher on every change of the namespace; 0 while
    // the namespace is not watched (then nothing is kept, see global()).
    uint64_t generation = 0;
    Core* core = nullptr;                     // the interpreter's core, borrowed
    PyTypeObject* function_type = nullptr;    // the core's function type
    PyTypeObject* generator_type = nullptr;   // the core's generator type
};
inline ModuleState module_state;
}  // namespace rt

// The full name of the running module ("vornal.datastructures.<name>").
inline PyObject* module_name() { return rt::module_state.record ? rt::module_state.record->full_name.ptr() : nullptr; }

namespace detail {

// The caches of the shared object that hold what a module record owns, or
// facts about objects of its interpreter: each is emptied by its function
// when the record's references are dropped.
struct Clearing {
    void (*clear)(void*);
    void* object;
};
inline std::vector<Clearing>& clearings() {
    static std::vector<Clearing> registered;
    return registered;
}
inline void on_clear(void (*clear)(void*), void* object) { clearings().push_back({clear, object}); }

}  // namespace detail

// A held object: one of the module's interpreter that the code refers to (a
// class, an imported module's attribute, a constant), set by the module body.
// The module record owns the reference; the holder keeps a borrowed copy for
// the code to read, emptied with the record. Holders are fields of the
// module's state record (PF_STATE below).
class Held {
public:
    Held() : index_(registered().size()) { registered().push_back(this); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    PyObject* ptr() const { return p_; }
    PyTypeObject* type_ptr() const { return reinterpret_cast<PyTypeObject*>(p_); }
    operator Handle() const { return Handle(p_); }
    // Holds `r` for the running module.
    void set(Ref r) {
        ModuleRecord* record = rt::module_state.record;
        if (!record) return;  // no module runs: nothing may be held
        if (record->objects.size() <= index_) record->objects.resize(registered().size());
        p_ = r.ptr();
        record->objects[index_] = std::move(r);
    }

    // The holders of this shared object, in the order of their indices.
    static std::vector<Held*>& registered() {
        static std::vector<Held*> holders;
        return holders;
    }
    static void forget_all() {
        for (Held* c : registered()) c->p_ = nullptr;
    }

private:
    PyObject* p_ = nullptr;
    std::size_t index_;
};
inline PyObject* as_ptr(const Held& c) { return c.ptr(); }

// A plain value the module works out for its interpreter (a version tag, a
// slot function of one of its classes): T{} until the module body sets it,
// and again once the module record's references are dropped. Values are
// fields of the module's state record.
template <class T>
class Value {
public:
    Value() {
        detail::on_clear([](void* self) { static_cast<Value*>(self)->value_ = T{}; }, this);
    }
    Value(const Value&) = delete;
    Value& operator=(const Value&) = delete;
    Value& operator=(T value) {
        value_ = value;
        return *this;
    }
    operator T() const { return value_; }

private:
    T value_{};
};

// ---------------------------------------------------------------------------
// The module's state record
// ---------------------------------------------------------------------------
//
// Each module file opens with one struct of everything it keeps for its
// interpreter (Held objects, Value<T>s, TypeMemos, AbcChecks, tables of
// them), followed by one PF_STATE(Type, name) that defines its one instance
// and registers where it lies:
//
//     struct State {
//         Held FieldMap, NestedFieldMap;
//         TypeMemo<Plan> plans;
//     };
//     PF_STATE(State, st);
//
// The instance is an object of the shared object with a fixed address, so a
// hot path reads `st.FieldMap` as directly as a namespace-scope holder. Its
// fields register themselves when they are constructed, in declaration
// order: the record's references are traversed and dropped in that order
// (runtime/lifecycle.hpp). When the module is created, every registered holder must lie
// inside the registered struct: one declared anywhere else refuses the
// import (check_state_record), so nothing of an interpreter is kept where
// the record does not see it.

namespace detail {
struct StateExtent {
    std::uintptr_t begin = 0, end = 0;
    bool holds(const void* p) const {
        auto a = reinterpret_cast<std::uintptr_t>(p);
        return a >= begin && a < end;
    }
};
inline StateExtent state_extent;  // of this shared object's state record; empty without one
}  // namespace detail

template <class S>
struct StateRegistration {
    explicit StateRegistration(S& record) {
        auto begin = reinterpret_cast<std::uintptr_t>(&record);
        detail::state_extent = {begin, begin + sizeof(S)};
    }
};

// Defines the module's state record NAME of type TYPE and registers it.
#define PF_STATE(TYPE, NAME) \
    TYPE NAME;               \
    [[maybe_unused]] const ::pf::StateRegistration<TYPE> pf_state_registration(NAME)

namespace detail {

// Refuses a module whose holders do not all lie in its state record: it
// would keep something of its interpreter that no record walk reaches.
inline Status check_state_record(const char* full_name) {
    bool inside = true;
    for (const Held* h : Held::registered()) inside = inside && state_extent.holds(h);
    for (const Clearing& c : clearings()) inside = inside && (!c.object || state_extent.holds(c.object));
    if (!inside)
        return raise(PyExc_SystemError, "%s keeps per-interpreter state outside its state record (PF_STATE)",
                     full_name);
    return ok;
}

// Makes every name id<>() may hand out, for the running module.
inline Status intern_names(ModuleRecord& record) {
    std::vector<NameSlot>& slots = name_slots();
    record.names.resize(slots.size());
    for (std::size_t i = 0; i < slots.size(); ++i) {
        if (record.names[i]) continue;
        TRY_LET(record.names[i], Ref::steal(PyUnicode_InternFromString(slots[i].text)));
        *slots[i].slot = record.names[i].ptr();
    }
    return ok;
}
inline void forget_names() {
    for (const NameSlot& n : name_slots()) *n.slot = nullptr;
}

}  // namespace detail
}  // namespace pf
