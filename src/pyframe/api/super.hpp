// pyframe/api/super.hpp: super() and methods looked up on the type, both
// memoised per type version tag.
#pragma once

#include "args.hpp"
#include "memos.hpp"

namespace pf {

// ---------------------------------------------------------------------------
// super(): the class after `cls` in type(self).__mro__ that defines a name.
// ---------------------------------------------------------------------------

// What super() found: the attribute as it stands in the providing class's
// dictionary (null when no class after `cls` defines the name) and that
// class.
struct SuperFound {
    Ref attr;
    PyTypeObject* provider = nullptr;
};

inline Result<SuperFound> super_lookup_uncached(PyObject* cls, PyObject* self, PyObject* name) {
    PyObject* mro = Py_TYPE(self)->tp_mro;
    if (!mro) return raise(PyExc_SystemError, "type without __mro__");
    Ref keep = Ref::borrow(mro);
    Py_ssize_t n = PyTuple_GET_SIZE(mro), i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != cls) ++i;
    if (i == n) return raise(PyExc_TypeError, "super(type, obj): obj must be an instance or subtype of type");
    for (++i; i < n; ++i) {
        PyTypeObject* t = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i));
        Ref d = Ref::steal(PyType_GetDict(t));
        PyObject* found = nullptr;
        TRY_LET(bool defined, truth(PyDict_GetItemRef(d.ptr(), name, &found)));
        if (defined) return SuperFound{Ref::steal(found), t};
    }
    return SuperFound{};
}

// Results of super_lookup, keyed by the version tag of the instance's type.
// While the tag is current, neither that type nor any class of its MRO has
// changed, so the attribute found is still in the provider's dictionary,
// which keeps it alive; the entry itself holds no reference. A tag that no
// longer matches any type is simply never hit again. `cls` is a class of
// this module and `name` an interned name of pf::id, both kept as long as the
// module, so comparing their addresses is enough. The table is emptied with
// the module's state (forget_super_cache()): a later interpreter gives out
// the same version tags again.
struct SuperCacheEntry {
    unsigned int tag = 0;  // 0: empty
    PyObject* cls = nullptr;
    PyObject* name = nullptr;
    PyObject* found = nullptr;  // borrowed from provider's dictionary; may be null
    PyTypeObject* provider = nullptr;
};
inline SuperCacheEntry super_cache[256];
inline void forget_super_cache() {
    for (SuperCacheEntry& e : super_cache) e = SuperCacheEntry{};
}

inline Result<SuperFound> super_lookup(PyObject* cls, PyObject* self, PyObject* name) {
    PyTypeObject* type = Py_TYPE(self);
    unsigned int tag = assign_type_tag(type);
    if (tag == 0) return super_lookup_uncached(cls, self, name);
    auto h = (std::uintptr_t)tag * 0x9E3779B1u ^ (reinterpret_cast<std::uintptr_t>(name) >> 4) ^
             (reinterpret_cast<std::uintptr_t>(cls) >> 6);
    SuperCacheEntry& e = super_cache[h & 255];
    if (e.tag == tag && e.cls == cls && e.name == name) return SuperFound{Ref::borrow(e.found), e.provider};
    TRY_LET(SuperFound found, super_lookup_uncached(cls, self, name));
    if (type_tag(type) == tag) e = SuperCacheEntry{tag, cls, name, found.attr.ptr(), found.provider};
    return found;
}

// super().name as Python takes it in `super().name(args)`: before the
// arguments are evaluated, so that code they run (a conversion, a lookup on
// self) cannot change which method is called. A method descriptor is kept
// as found and called with self later, without a bound object; anything
// else is bound at once, its __get__ running then.
struct SuperMethod {
    Ref found;
    bool bound = false;

    template <class... A>
    Ref operator()(Handle self, const A&... args) const {
        if (bound) return found(args...);
        return call_unbound(found, self, args...);
    }
};

// The zero-argument super() of a method defined in `cls`, for calls on self.
// Where the providing class is a built-in type (dict, list), its slot is
// called directly; otherwise the attribute is bound and called as Python
// would. Names are interned names (pf::id).
class Super {
public:
    Super(PyObject* cls, PyObject* self) : cls_(cls), self_(self) {}

    // super().name (the bound attribute).
    Ref attr(PyObject* name) const {
        TRY_LET(SuperFound f, super_lookup(cls_, self_, name));
        if (!f.attr) return missing(name);
        return bind_to(f.attr, Handle(self_));
    }
    template <name_literal S> Ref attr() const { return attr(id<S>()); }

    // super().name, taken now and called later (SuperMethod).
    Result<SuperMethod> method(PyObject* name) const {
        TRY_LET(SuperFound f, super_lookup(cls_, self_, name));
        if (!f.attr) return missing(name);
        if (PyType_HasFeature(Py_TYPE(f.attr.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return SuperMethod{std::move(f.attr), false};
        TRY_LET(Ref bound, bind_to(f.attr, Handle(self_)));
        return SuperMethod{std::move(bound), true};
    }

    // super().name as it stands in the providing class's dictionary
    // (unbound) with the class that provides it.
    Result<SuperFound> find(PyObject* name) const { return super_lookup(cls_, self_, name); }
    // The class that provides super().name (nullptr: none).
    Result<PyTypeObject*> provider(PyObject* name) const {
        TRY_LET(SuperFound f, super_lookup(cls_, self_, name));
        return f.provider;
    }
    template <name_literal S> Result<PyTypeObject*> provider() const { return provider(id<S>()); }

    // super().name(*args, **kw) with vectorcall arguments (self excluded).
    Ref call(PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
        TRY_LET(SuperFound f, super_lookup(cls_, self_, name));
        if (!f.attr) return missing(name);
        return call_as_method(f.attr, Handle(self_), args, nargs, kwnames);
    }
    template <name_literal S, class... A>
    Ref call(const A&... args) const {
        PyObject* argv[sizeof...(A) + 1] = {as_ptr(args)...};
        return call(id<S>(), argv, (Py_ssize_t)sizeof...(A), nullptr);
    }

    // super().name(*args, **kwargs) forwarding a call's variadic arguments.
    Ref call(PyObject* name, const Args& args, const Kwargs& kwargs) const {
        if (kwargs.dict) {
            TRY_LET(Ref bound, attr(name));
            return kwargs.call(bound, Handle(), args);
        }
        Py_ssize_t nkw = kwargs.size();
        std::vector<PyObject*> argv((size_t)(args.size + nkw));
        for (Py_ssize_t i = 0; i < args.size; ++i) argv[(size_t)i] = args.items[i];
        for (Py_ssize_t i = 0; i < nkw; ++i) argv[(size_t)(args.size + i)] = kwargs.values[i];
        return call(name, argv.data(), args.size, kwargs.names);
    }

    // super().__init__(*args, **kwargs)
    Status init(const Args& args, const Kwargs& kwargs) const {
        TRY_LET(SuperFound f, found(id<"__init__">()));
        if (PyTypeObject* t = builtin(f); t && t->tp_init) {
            // The built-in initialiser itself, as its slot wrapper would call it.
            TRY_LET(Ref a, args.to_tuple());
            Ref kw;
            if (kwargs.size()) { TRY_LET(kw, kwargs.to_dict()); }
            return status(t->tp_init(self_, a.ptr(), kw.ptr()));
        }
        if (kwargs.dict) {
            TRY_LET(Ref bound, bind_to(f.attr, Handle(self_)));
            TRY(kwargs.call(bound, Handle(), args));
            return ok;
        }
        TRY(call_found(f, args, kwargs));
        return ok;
    }

    // The container slots, direct where a built-in type provides them. One
    // lookup each: the slot of a built-in provider, or the attribute found.
    Ref getitem(Handle key) const {
        TRY_LET(SuperFound f, found(id<"__getitem__">()));
        if (PyTypeObject* t = builtin(f); t && t->tp_as_mapping && t->tp_as_mapping->mp_subscript)
            return Ref::steal(t->tp_as_mapping->mp_subscript(self_, key.ptr()));
        return call_unbound(f.attr, Handle(self_), key);
    }
    Status setitem(Handle key, Handle value) const {
        TRY_LET(SuperFound f, found(id<"__setitem__">()));
        if (PyTypeObject* t = builtin(f); t && t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript)
            return status(t->tp_as_mapping->mp_ass_subscript(self_, key.ptr(), value.ptr()));
        TRY(call_unbound(f.attr, Handle(self_), key, value));
        return ok;
    }
    Status delitem(Handle key) const {
        TRY_LET(SuperFound f, found(id<"__delitem__">()));
        if (PyTypeObject* t = builtin(f); t && t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript)
            return status(t->tp_as_mapping->mp_ass_subscript(self_, key.ptr(), nullptr));
        TRY(call_unbound(f.attr, Handle(self_), key));
        return ok;
    }
    Result<bool> contains(Handle key) const {
        TRY_LET(SuperFound f, found(id<"__contains__">()));
        if (PyTypeObject* t = builtin(f); t && t->tp_as_sequence && t->tp_as_sequence->sq_contains)
            return truth(t->tp_as_sequence->sq_contains(self_, key.ptr()));
        TRY_LET(Ref r, call_unbound(f.attr, Handle(self_), key));
        return r.truthy();
    }
    Ref repr() const {
        TRY_LET(SuperFound f, found(id<"__repr__">()));
        if (PyTypeObject* t = builtin(f); t && t->tp_repr) return Ref::steal(t->tp_repr(self_));
        return call_unbound(f.attr, Handle(self_));
    }

private:
    static Failure missing(PyObject* name) { return raise(PyExc_AttributeError, "'super' object has no attribute '%U'", name); }

    // super().name as found, failing as super() does when no class has it.
    Result<SuperFound> found(PyObject* name) const {
        TRY_LET(SuperFound f, super_lookup(cls_, self_, name));
        if (!f.attr) return missing(name);
        return f;
    }
    // The provider when it is a built-in (static) type, whose slot may be
    // called directly; nullptr for a class made in Python or by a module of ours.
    static PyTypeObject* builtin(const SuperFound& f) {
        return (f.provider->tp_flags & Py_TPFLAGS_HEAPTYPE) ? nullptr : f.provider;
    }
    Ref call_found(const SuperFound& f, const Args& args, const Kwargs& kwargs) const {
        Py_ssize_t nkw = kwargs.size();
        std::vector<PyObject*> argv((size_t)(args.size + nkw));
        for (Py_ssize_t i = 0; i < args.size; ++i) argv[(size_t)i] = args.items[i];
        for (Py_ssize_t i = 0; i < nkw; ++i) argv[(size_t)(args.size + i)] = kwargs.values[i];
        return call_as_method(f.attr, Handle(self_), argv.data(), args.size, kwargs.names);
    }

    PyObject* cls_;
    PyObject* self_;
};

inline Super super(const Held& cls, Handle self) { return Super(cls.ptr(), self.ptr()); }

// ---------------------------------------------------------------------------
// Methods looked up on the type
// ---------------------------------------------------------------------------

// The attribute `name` as the class `type` and its bases define it (the
// instance is not consulted), or a null Ref; never fails. Uses the
// interpreter's method cache.
//
// _PyType_LookupRef is private: the public API has no lookup on a class
// alone. PyObject_GetAttr on the class consults the metaclass too and binds
// what it finds (a classmethod comes back bound, a property of the
// metaclass runs), and walking __mro__ with PyType_GetDict gives the same
// answer without the method cache, one dictionary lookup per class in the
// MRO on every call. This is its one place of use.
inline Ref type_lookup(PyTypeObject* type, PyObject* name) { return Ref::steal(_PyType_LookupRef(type, name)); }
template <name_literal S> Ref type_lookup(PyTypeObject* type) { return type_lookup(type, id<S>()); }

// obj.name(...) with `name` looked up on type(obj), the way the interpreter
// looks up special methods: nothing stored in the instance's own namespace
// (for a dict that is its own namespace: any key) can hide the method, while
// overrides in subclasses still apply. When the type has no such attribute,
// the ordinary lookup is used, which finds instance-only callables or raises
// the interpreter's own AttributeError.
template <name_literal S, class... A>
Ref call_type_method(Handle obj, const A&... args) {
    Ref f = type_lookup<S>(obj.type());
    if (!f) return obj.template call_method<S>(args...);
    return call_unbound(f, obj, args...);
}
template <name_literal S>
Ref call_type_method(Handle obj, const Args& args, const Kwargs& kwargs) {
    if (Ref f = type_lookup<S>(obj.type())) return call_unbound(f, obj, args, kwargs);
    TRY_LET(Ref bound, obj.attr<S>());
    return kwargs.call(bound, Handle(), args);
}

}  // namespace pf
