// pyframe/runtime/slots.hpp: direct C slots for the special methods of our classes.
//
// A class statement gives a class that defines __getitem__ in Python terms
// the interpreter's generic slot, which looks the method up on every call
// and calls it with a vector of arguments that is then bound to the
// parameters. For the classes this framework builds, the slot of a special
// method implemented here is set to an adaptor that runs the C++
// implementation at once. Nothing else changes: the method is still the
// ordinary function object in the class dictionary, and the interpreter
// gives any subclass its generic slot again (the descriptor it finds is a
// function, not a slot wrapper), so a subclass that overrides the method, or
// a later assignment to it, is dispatched as always.
#pragma once

#include "../api/function.hpp"

#include <cstring>

namespace pf {
namespace rt {

using namespace detail;  // the api's internals

template <class T> constexpr bool is_ctx = std::is_same_v<T, Ctx>;
template <class Sig> struct takes_ctx;
template <class R, class... P> struct takes_ctx<R (*)(P...)> : std::bool_constant<(false || ... || is_ctx<P>)> {};

// Runs an adaptor body at the interpreter's recursion limit, as a call of
// the method would.
template <class R, class Body>
R run_slot(R failure_value, Body&& body) noexcept {
    return guard_or(failure_value, [&]() -> R {
        RecursionGuard depth(" while calling a Python object");
        if (!depth.entered().succeeded()) return failure_value;
        return body();
    });
}

// The generic slot's call: type(self).<name> bound to self and called with
// the tuple and dict of a tp_init/tp_call slot.
inline PyObject* call_special(PyObject* self, PyObject* name, PyObject* args, PyObject* kwds) {
    Ref f = type_lookup(Py_TYPE(self), name);
    if (!f) {
        PyErr_SetObject(PyExc_AttributeError, name);
        return nullptr;
    }
    Ref bound = bind_to(f, self);
    if (!bound) return nullptr;
    return PyObject_Call(bound.ptr(), args, kwds);
}

// F called with the items of a tuple as positional arguments after self,
// bound to its signature; falls back to the generic call when keywords are
// given or the arguments do not fit, so that every error is the usual one.
template <auto F>
PyObject* call_with_tuple(PyObject* self, PyObject* name, PyObject* args, PyObject* kwds) {
    FuncDef* def = def_of<F>;
    Py_ssize_t n = PyTuple_GET_SIZE(args);
    if (kwds && PyDict_GET_SIZE(kwds)) return call_special(self, name, args, kwds);
    PyObject* small[8];
    std::vector<PyObject*> large;
    PyObject** argv = small;
    if ((size_t)n + 1 > std::size(small)) {
        large.resize((size_t)n + 1);
        argv = large.data();
    }
    argv[0] = self;
    for (Py_ssize_t i = 0; i < n; ++i) argv[i + 1] = PyTuple_GET_ITEM(args, i);
    Bound b;
    Result<bool> fits = bind(def->sig, argv, n + 1, nullptr, b);
    if (!fits.succeeded()) return nullptr;
    if (!fits.value()) return call_special(self, name, args, kwds);
    if (b.args.size == n) b.args.tuple = args;  // *args received them all: the tuple itself
    return invoke<F>(nullptr, b);
}

template <auto F> PyObject* slot_subscript(PyObject* self, PyObject* key) {
    return run_slot<PyObject*>(nullptr, [&] { return to_python(F(Handle(self), Handle(key))); });
}
template <auto F> PyObject* slot_unary(PyObject* self) {
    return run_slot<PyObject*>(nullptr, [&] { return to_python(F(Handle(self))); });
}
template <auto F> int slot_contains(PyObject* self, PyObject* key) {
    return run_slot(-1, [&] {
        Result<bool> r = F(Handle(self), Handle(key));
        return r.succeeded() ? (int)r.value() : -1;
    });
}
// The mark of a __delitem__ implemented here in its DirectSlot: no slot of
// its own (deletion shares mp_ass_subscript with __setitem__), so no class
// gets it installed; slot_ass_subscript calls it directly when
// type(self).__delitem__ is that function.
inline constexpr int delitem_mark = -1;
using DeleteFunction = int (*)(PyObject* self, PyObject* key);
template <auto F> int direct_delete(PyObject* self, PyObject* key) { return F(Handle(self), Handle(key)).succeeded() ? 0 : -1; }

// __setitem__ directly; a deletion (value NULL) goes to type(self).__delitem__
// as the generic slot sends it, run at once when it is one of ours.
template <auto F> int slot_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
    return run_slot(-1, [&] {
        if (value) return F(Handle(self), Handle(key), Handle(value)).succeeded() ? 0 : -1;
        Ref f = type_lookup<"__delitem__">(Py_TYPE(self));
        if (!f) {
            PyErr_SetObject(PyExc_AttributeError, id<"__delitem__">());
            return -1;
        }
        if (is_function(f.ptr())) {
            const DirectSlot& d = reinterpret_cast<FunctionObject*>(f.ptr())->def->direct;
            if (d.slot == delitem_mark) return reinterpret_cast<DeleteFunction>(d.function)(self, key);
        }
        return call_unbound(f, self, Handle(key)) ? 0 : -1;
    });
}
template <auto F> PyObject* slot_descr_get(PyObject* self, PyObject* obj, PyObject* type) {
    return run_slot<PyObject*>(nullptr, [&] {
        return to_python(F(Handle(self), Handle(obj ? obj : Py_None), Handle(type ? type : Py_None)));
    });
}
template <auto F> int slot_init(PyObject* self, PyObject* args, PyObject* kwds) {
    return run_slot(-1, [&] {
        Ref r = Ref::steal(call_with_tuple<F>(self, id<"__init__">(), args, kwds));
        if (!r) return -1;
        if (!r.is_none()) {
            PyErr_Format(PyExc_TypeError, "__init__() should return None, not '%.200s'", r.type()->tp_name);
            return -1;
        }
        return 0;
    });
}

// `cls(*args, **kwargs)` as the vectorcall of a class whose instances are
// made by object.__new__ and initialised by F, its direct __init__ slot:
// the instance is allocated as object.__new__ allocates it and F runs on
// the caller's argument vector, without the tuple and dict the generic call
// of the metaclass builds. A class that no longer fits (__new__ or __init__
// replaced, or abstract, which object.__new__ refuses) gets the metaclass's
// ordinary call. The interpreter never gives a class's vectorcall to its
// subclasses, so they take the ordinary call too.
template <auto F>
PyObject* construct(PyObject* cls, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    return guard_or<PyObject*>(nullptr, [&]() -> PyObject* {
        if (type->tp_init != &slot_init<F> || type->tp_new != PyBaseObject_Type.tp_new ||
            PyType_HasFeature(type, Py_TPFLAGS_IS_ABSTRACT)) {
            ternaryfunc call = Py_TYPE(cls)->tp_call;
            if (!call) return PyErr_Format(PyExc_TypeError, "'%.200s' object is not callable", Py_TYPE(cls)->tp_name);
            Ref tuple = Args{args, nargs}.to_tuple();
            if (!tuple) return nullptr;
            Ref dict;
            if (kwnames && PyTuple_GET_SIZE(kwnames)) {
                dict = Kwargs{kwnames, args + nargs, Ref()}.to_dict();
                if (!dict) return nullptr;
            }
            RecursionGuard depth(" while calling a Python object");
            if (!depth.entered().succeeded()) return nullptr;
            return call(cls, tuple.ptr(), dict.ptr());
        }
        Ref self = Ref::steal(type->tp_alloc(type, 0));
        if (!self) return nullptr;
        Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        PyObject* small[8];
        std::vector<PyObject*> large;
        PyObject** argv = small;
        if ((size_t)(nargs + nkw + 1) > std::size(small)) {
            large.resize((size_t)(nargs + nkw + 1));
            argv = large.data();
        }
        argv[0] = self.ptr();
        for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[i + 1] = args[i];
        Bound b;
        Result<bool> fits = bind(def_of<F>->sig, argv, nargs + 1, kwnames, b);
        if (!fits.succeeded()) return nullptr;
        RecursionGuard depth(" while calling a Python object");
        if (!depth.entered().succeeded()) return nullptr;
        if (!fits.value()) {
            // The interpreter's own message, from the function itself.
            Ref init = type_lookup<"__init__">(type);
            if (!init) return PyErr_Format(PyExc_AttributeError, "__init__");
            if (!call_as_method(init, self, args, nargs, kwnames)) return nullptr;
            return self.release();
        }
        if (!Ref::steal(invoke<F>(nullptr, b))) return nullptr;
        return self.release();
    });
}

template <auto F> PyObject* slot_call(PyObject* self, PyObject* args, PyObject* kwds) {
    return run_slot<PyObject*>(nullptr, [&] { return call_with_tuple<F>(self, id<"__call__">(), args, kwds); });
}

template <auto F>
DirectSlot direct_slot_for(const char* name, const Signature&) {
    using T = traits<decltype(F)>;
    using R = typename T::result;
    using P = typename T::params;
    if constexpr (takes_ctx<decltype(F)>::value) {
        return {};
    } else {
        auto is = [&](const char* n) { return std::strcmp(name, n) == 0; };
        auto direct = [](int slot, auto* fn) { return DirectSlot{slot, reinterpret_cast<void*>(fn)}; };
        constexpr bool self_key = std::is_same_v<P, std::tuple<Handle, Handle>>;
        constexpr bool self_only = std::is_same_v<P, std::tuple<Handle>>;
        constexpr bool three = std::is_same_v<P, std::tuple<Handle, Handle, Handle>>;
        if constexpr (self_key && std::is_same_v<R, Ref>)
            if (is("__getitem__")) return direct(Py_mp_subscript, &slot_subscript<F>);
        if constexpr (self_key && std::is_same_v<R, Result<bool>>)
            if (is("__contains__")) return direct(Py_sq_contains, &slot_contains<F>);
        if constexpr (three && std::is_same_v<R, Status>)
            if (is("__setitem__")) return direct(Py_mp_ass_subscript, &slot_ass_subscript<F>);
        if constexpr (self_key && std::is_same_v<R, Status>)
            if (is("__delitem__")) return direct(delitem_mark, &direct_delete<F>);
        if constexpr (three && std::is_same_v<R, Ref>)
            if (is("__get__")) return direct(Py_tp_descr_get, &slot_descr_get<F>);
        if constexpr (self_only && std::is_same_v<R, Ref>) {
            if (is("__repr__")) return direct(Py_tp_repr, &slot_unary<F>);
            if (is("__str__")) return direct(Py_tp_str, &slot_unary<F>);
            if (is("__iter__")) return direct(Py_tp_iter, &slot_unary<F>);
        }
        if constexpr (std::tuple_size_v<P> >= 1) {
            if constexpr (std::is_same_v<std::tuple_element_t<0, P>, Handle>) {
                if (is("__init__") && std::is_same_v<R, Status>)
                    return DirectSlot{Py_tp_init, reinterpret_cast<void*>(&slot_init<F>), &construct<F>};
                if (is("__call__")) return direct(Py_tp_call, &slot_call<F>);
            }
        }
        return {};
    }
}

// Where each slot lives in a heap type, by the special method it serves.
struct SlotPlace {
    const char* method;
    int slot;
    void** (*place)(PyTypeObject*);
};
inline const SlotPlace slot_places[] = {
    {"__getitem__", Py_mp_subscript, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_as_mapping->mp_subscript); }},
    {"__setitem__", Py_mp_ass_subscript, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_as_mapping->mp_ass_subscript); }},
    {"__contains__", Py_sq_contains, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_as_sequence->sq_contains); }},
    {"__repr__", Py_tp_repr, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_repr); }},
    {"__str__", Py_tp_str, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_str); }},
    {"__iter__", Py_tp_iter, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_iter); }},
    {"__get__", Py_tp_descr_get, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_descr_get); }},
    {"__init__", Py_tp_init, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_init); }},
    {"__call__", Py_tp_call, [](PyTypeObject* t) { return reinterpret_cast<void**>(&t->tp_call); }},
};


// Gives a class this framework built the direct slots of the special
// methods it defines or inherits from our functions.
inline Status install_direct_slots(Handle cls) {
    if (!PyType_Check(cls.ptr()) || !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls.ptr()), Py_TPFLAGS_HEAPTYPE))
        return ok;
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    bool changed = false;
    for (const SlotPlace& p : slot_places) {
        TRY_LET(Ref name, Ref::steal(PyUnicode_InternFromString(p.method)));
        Ref f = type_lookup(type, name.ptr());
        if (!is_function(f.ptr())) continue;
        const DirectSlot& d = reinterpret_cast<FunctionObject*>(f.ptr())->def->direct;
        if (d.slot != p.slot) continue;
        *p.place(type) = d.function;
        changed = true;
        if (d.construct && type->tp_new == PyBaseObject_Type.tp_new && !type->tp_vectorcall)
            type->tp_vectorcall = d.construct;
    }
    if (changed) PyType_Modified(type);
    return ok;
}

}  // namespace rt
}  // namespace pf
