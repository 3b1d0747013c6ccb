// pyframe/calls.hpp: the variadic arguments of a call, super(), methods
// looked up on the type, and the per-class memos that keep those lookups
// cheap.
//
// No cache here keeps an object alive: entries are keyed by type version
// tags, which the interpreter never reuses and changes whenever a class or
// one of its bases changes, and their values are only used while the tag
// matches (the interpreter's own method cache works the same way).
#pragma once

#include "state.hpp"

namespace pf {

// ---------------------------------------------------------------------------
// Type version tags
// ---------------------------------------------------------------------------

// The version tag of `type` as it stands; 0: none yet. The interpreter gives
// a class a tag when it caches a lookup on it and a new one whenever the
// class or one of its bases changes, and never gives a tag out twice; its
// own method cache is keyed by it, and so are the memos here.
//
// The tag is the field PyTypeObject.tp_version_tag, which the documentation
// reserves for internal use; every read of it goes through these two
// functions. No public function returns it: PyUnstable_Type_AssignVersionTag
// only says whether there is one. The public way to hear of changes to a
// class, a type watcher, takes one of the few watcher ids an interpreter has
// for all extensions together and a watch on every class asked about, where
// the tag is one comparison.
inline unsigned int type_tag(PyTypeObject* type) noexcept { return type->tp_version_tag; }

// The tag of `type`, given to it first when it has none; 0 when the
// interpreter gives it none (then nothing about the class may be memoised).
inline unsigned int assign_type_tag(PyTypeObject* type) noexcept {
    if (type->tp_version_tag == 0 && !PyUnstable_Type_AssignVersionTag(type)) return 0;
    return type->tp_version_tag;
}

// ---------------------------------------------------------------------------
// Variadic arguments of a call
// ---------------------------------------------------------------------------

// Variadic positional arguments (*args) as a view on the caller's vector.
struct Args {
    PyObject* const* items = nullptr;
    Py_ssize_t size = 0;
    PyObject* tuple = nullptr;  // a tuple of exactly these items, when the caller had one
    Handle operator[](Py_ssize_t i) const { return Handle(items[i]); }
    Ref to_tuple() const {
        if (tuple) return Ref::borrow(tuple);
        PyObject* t = PyTuple_New(size);
        if (!t) return failure;
        for (Py_ssize_t i = 0; i < size; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(items[i]));
        return Ref::steal(t);
    }
};

// Variadic keyword arguments (**kwargs): the caller's names and values when
// every keyword lands here, or a dict when some were bound by name.
struct Kwargs {
    PyObject* names = nullptr;          // tuple of str, or nullptr
    PyObject* const* values = nullptr;  // values for names
    Ref dict;                           // used instead of names/values when set
    Py_ssize_t size() const {
        if (dict) return PyDict_GET_SIZE(dict.ptr());
        return names ? PyTuple_GET_SIZE(names) : 0;
    }
    Ref to_dict() const {
        if (dict) return Ref::steal(PyDict_Copy(dict.ptr()));
        TRY_LET(Ref d, pf::dict());
        for (Py_ssize_t i = 0; i < size(); ++i) TRY(status(PyDict_SetItem(d.ptr(), PyTuple_GET_ITEM(names, i), values[i])));
        return d;
    }
    // Calls `f(first, *args, **this)` (no `first` when it is null).
    Ref call(Handle f, Handle first, const Args& args) const {
        if (dict) {
            Ref t = Ref::steal(PyTuple_New(args.size + (first ? 1 : 0)));
            if (!t) return failure;
            Py_ssize_t o = 0;
            if (first) PyTuple_SET_ITEM(t.ptr(), o++, Py_NewRef(first.ptr()));
            for (Py_ssize_t i = 0; i < args.size; ++i) PyTuple_SET_ITEM(t.ptr(), o++, Py_NewRef(args.items[i]));
            return Ref::steal(PyObject_Call(f.ptr(), t.ptr(), dict.ptr()));
        }
        Py_ssize_t nkw = size();
        std::vector<PyObject*> argv((size_t)(1 + args.size + nkw + 1));
        size_t o = 1;
        if (first) argv[o++] = first.ptr();
        for (Py_ssize_t i = 0; i < args.size; ++i) argv[o++] = args.items[i];
        for (Py_ssize_t i = 0; i < nkw; ++i) argv[o++] = values[i];
        size_t nargs = (size_t)args.size + (first ? 1 : 0);
        return vectorcall(f, argv.data() + 1, nargs | PY_VECTORCALL_ARGUMENTS_OFFSET, names);
    }
};

// ---------------------------------------------------------------------------
// Calling attributes found in class dictionaries
// ---------------------------------------------------------------------------

// `f`, an attribute found in a class dictionary, as read through `obj`:
// descriptors are bound (a function gives a bound method), plain values are
// returned as they are.
inline Ref bind_to(Handle f, Handle obj) {
    descrgetfunc get = Py_TYPE(f.ptr())->tp_descr_get;
    if (!get) return Ref::borrow(f);
    return Ref::steal(get(f.ptr(), obj.ptr(), reinterpret_cast<PyObject*>(Py_TYPE(obj.ptr()))));
}

// Calls `f`, an attribute found in a class dictionary, as a method of `obj`
// with vectorcall arguments: method descriptors (our functions, built-in
// methods) get obj prepended, as the interpreter calls methods, without a
// bound object; anything else is bound first.
inline Ref call_as_method(Handle f, Handle obj, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (!PyType_HasFeature(Py_TYPE(f.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR)) {
        TRY_LET(Ref bound, bind_to(f, obj));
        return vectorcall(bound, args, (size_t)nargs, kwnames);
    }
    Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* small[8];
    std::vector<PyObject*> large;
    size_t total = (size_t)(nargs + nkw + 1);
    PyObject** argv = small;
    if (total > std::size(small)) {
        large.resize(total);
        argv = large.data();
    }
    argv[0] = obj.ptr();
    for (Py_ssize_t i = 0; i < nargs + nkw; ++i) argv[(size_t)i + 1] = args[i];
    return vectorcall(f, argv, (size_t)nargs + 1, kwnames);
}

// Calls `f`, an attribute found on type(obj), as a method of obj.
template <class... A>
Ref call_unbound(Handle f, Handle obj, const A&... args) {
    PyObject* argv[sizeof...(A) + 1] = {as_ptr(args)...};
    return call_as_method(f, obj, argv, (Py_ssize_t)sizeof...(A), nullptr);
}
inline Ref call_unbound(Handle f, Handle obj, const Args& args, const Kwargs& kwargs) {
    if (PyType_HasFeature(Py_TYPE(f.ptr()), Py_TPFLAGS_METHOD_DESCRIPTOR)) return kwargs.call(f, obj, args);
    TRY_LET(Ref bound, bind_to(f, obj));
    return kwargs.call(bound, Handle(), args);
}

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

// ---------------------------------------------------------------------------
// Per-class memos
// ---------------------------------------------------------------------------

// Facts about a class that hold until the class or one of its bases
// changes, memoised per version tag. For a class that gets no tag the facts
// are worked out on every call. Entries hold no reference. Memos live at
// namespace scope and are emptied with the module's state.
template <class T, std::size_t N = 4>
class TypeMemo {
public:
    TypeMemo() {
        detail::on_clear([](void* self) { static_cast<TypeMemo*>(self)->forget(); }, this);
    }
    TypeMemo(const TypeMemo&) = delete;
    TypeMemo& operator=(const TypeMemo&) = delete;

    // The facts found last, when they are those of `type` as it is now: one
    // comparison for the common case of asking about one class repeatedly.
    PF_ALWAYS_INLINE const T* last(PyTypeObject* type) const {
        const Entry& e = entries_[last_];
        return e.tag != 0 && type_tag(type) == e.tag ? &e.value : nullptr;
    }

    // `compute()` returns Result<T>.
    template <class F>
    Result<T> get(PyTypeObject* type, F&& compute) {
        unsigned int tag = assign_type_tag(type);
        if (tag == 0) return compute();
        for (std::size_t i = 0; i < N; ++i)
            if (entries_[i].tag == tag) {
                last_ = i;
                return entries_[i].value;
            }
        TRY_LET(T value, compute());
        if (type_tag(type) == tag) {
            last_ = next_++ % N;
            entries_[last_] = Entry{tag, value};
        }
        return value;
    }

private:
    void forget() {
        for (Entry& e : entries_) e = Entry{};
        next_ = last_ = 0;
    }

    struct Entry {
        unsigned int tag = 0;  // 0: empty
        T value{};
    };
    Entry entries_[N];
    std::size_t next_ = 0, last_ = 0;
};

// The position of `t` among the exact built-in value types, or -1. Their
// instances report their own type as __class__ and they cannot be changed,
// so isinstance() against a plain class is a type check and an ABC's answer
// for them changes only through registration.
inline int builtin_value_slot(PyTypeObject* t) {
    // The commonest values first: str and int settle it in one comparison.
    if (t == &PyUnicode_Type) return 4;
    if (t == &PyLong_Type) return 0;
    if (PyType_HasFeature(t, Py_TPFLAGS_HEAPTYPE)) return -1;  // none of them is a heap type
    static PyTypeObject* const types[] = {
        &PyLong_Type,  &PyBool_Type,      &PyFloat_Type,    &PyComplex_Type, &PyUnicode_Type,
        &PyBytes_Type, &PyByteArray_Type, Py_TYPE(Py_None), &PyList_Type,    &PyTuple_Type,
        &PySet_Type,   &PyFrozenSet_Type, &PyDict_Type};
    for (int i = 0; i < (int)std::size(types); ++i)
        if (types[i] == t) return i;
    return -1;
}

// isinstance(obj, abc) for an abstract base class (collections.abc.Mapping
// and the like), memoised for objects of exact built-in types. For such a
// type the ABC machinery's answer changes only when a class is registered
// with some ABC (the abc module's cache token changes) or when the ABC or
// its metaclass is modified (their version tags change); the memo is
// dropped on either. Objects of other types, and a `cls` other than the ABC
// given to set(), take the ordinary isinstance. Checks live at namespace
// scope and are emptied with the module's state.
class AbcCheck {
public:
    AbcCheck() {
        detail::on_clear([](void* self) { static_cast<AbcCheck*>(self)->forget(); }, this);
    }
    AbcCheck(const AbcCheck&) = delete;
    AbcCheck& operator=(const AbcCheck&) = delete;

    // The ABC as the module imported it.
    Status set(Handle abc) {
        abc_.set(Ref::borrow(abc));
        // abc.get_cache_token is the C accelerator's function (_abc's), or
        // a Python function where there is no accelerator.
        Ref mod = Ref::steal(PyImport_ImportModule("abc"));
        Ref get_token = mod ? Ref::steal(PyObject_GetAttrString(mod.ptr(), "get_cache_token")) : Ref();
        if (get_token && PyCFunction_Check(get_token.ptr()) && PyCFunction_GET_FLAGS(get_token.ptr()) == METH_NOARGS) {
            // Called through its C function: it is asked on every check.
            token_fn_ = PyCFunction_GET_FUNCTION(get_token.ptr());
            token_self_ = PyCFunction_GET_SELF(get_token.ptr());
            get_token_.set(std::move(get_token));
        }
        PyErr_Clear();  // without the C accelerator there is no memo, only isinstance
        return ok;
    }
    // Whether `cls` is the ABC given to set().
    bool is(Handle cls) const { return cls.is(abc_); }

    // isinstance(obj, cls); `cls` is what the module's name holds now.
    Result<bool> isinstance(Handle obj, Handle cls) {
        int slot = builtin_value_slot(obj.type());
        if (slot < 0 || !cls.is(abc_)) return obj.isinstance(cls);
        TRY_LET(bool memo_holds, current());
        if (!memo_holds) return obj.isinstance(cls);
        uint32_t bit = 1u << slot;
        if (known_ & bit) return (positive_ & bit) != 0;
        TRY_LET(bool result, obj.isinstance(cls));
        TRY_LET(bool unchanged, current());
        if (unchanged) {  // nothing was registered meanwhile
            known_ |= bit;
            if (result) positive_ |= bit;
        }
        return result;
    }

private:
    void forget() {
        token_fn_ = nullptr;
        token_self_ = nullptr;
        token_ = -1;
        abc_tag_ = meta_tag_ = 0;
        known_ = positive_ = 0;
    }

    // Whether the memo still holds; clears it when something changed.
    Result<bool> current() {
        if (!get_token_.ptr()) return false;
        PyTypeObject* abc = abc_.type_ptr();
        PyTypeObject* meta = Py_TYPE(abc_.ptr());
        if (assign_type_tag(abc) == 0 || assign_type_tag(meta) == 0) return false;
        TRY_LET(Ref value, Ref::steal(token_fn_(token_self_, nullptr)));
        long long token;
        if (PyLong_CheckExact(value.ptr()) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(value.ptr()))) {
            token = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(value.ptr()));
        } else {
            token = PyLong_AsLongLong(value.ptr());
            if (token == -1 && PyErr_Occurred()) return failure;
        }
        if (token != token_ || type_tag(abc) != abc_tag_ || type_tag(meta) != meta_tag_) {
            token_ = token;
            abc_tag_ = type_tag(abc);
            meta_tag_ = type_tag(meta);
            known_ = positive_ = 0;
        }
        return true;
    }

    Held abc_;
    Held get_token_;  // abc.get_cache_token, kept alive for the two below
    PyCFunction token_fn_ = nullptr;
    PyObject* token_self_ = nullptr;
    long long token_ = -1;
    unsigned int abc_tag_ = 0, meta_tag_ = 0;
    uint32_t known_ = 0, positive_ = 0;  // bits by builtin_value_slot
};

// ---------------------------------------------------------------------------
// Recursion and the handled exception
// ---------------------------------------------------------------------------

// A C++ recursion that does not pass through the interpreter's calls raises
// RecursionError where the interpreter would instead of exhausting the
// stack:
//     RecursionGuard guard(" while merging");
//     TRY(guard.entered());
class RecursionGuard {
public:
    explicit RecursionGuard(const char* where) : entered_(Py_EnterRecursiveCall(where) == 0) {}
    ~RecursionGuard() {
        if (entered_) Py_LeaveRecursiveCall();
    }
    RecursionGuard(const RecursionGuard&) = delete;
    RecursionGuard& operator=(const RecursionGuard&) = delete;
    Status entered() const { return entered_ ? ok : Status(failure); }

private:
    bool entered_;
};

// The levels of a walk that C++ code takes in a loop (or in a recursion of
// its own) where the same class written in Python makes one call of a
// Python function per level, counted against the interpreter's recursion
// limit the way it counts those calls: a walk that never ends raises
// RecursionError where the Python code would, and code that runs meanwhile
// sees the depth it would see there. (RecursionGuard measures the C stack,
// which a loop does not grow.)
//     CallDepth depth;
//     for (;;) { TRY(depth.enter()); ... }
// The levels entered are given back when it goes.
//
// The count is PyThreadState.py_recursion_remaining, the interpreter's own
// count of Python calls left, which no public function enters; this is its
// one place of use.
class CallDepth {
public:
    CallDepth() : tstate_(PyThreadState_Get()) {}
    ~CallDepth() { tstate_->py_recursion_remaining += entered_; }
    CallDepth(const CallDepth&) = delete;
    CallDepth& operator=(const CallDepth&) = delete;

    // One level deeper; RecursionError as a call of a Python function raises it
    // at the limit (while an overflow is being handled, with the interpreter's
    // headroom of 50).
    Status enter() {
        int left = tstate_->py_recursion_remaining;
        if (left <= 0 && (!tstate_->recursion_headroom || left <= -50))
            return raise(PyExc_RecursionError, "maximum recursion depth exceeded");
        --tstate_->py_recursion_remaining;
        ++entered_;
        return ok;
    }

private:
    PyThreadState* tstate_;
    int entered_ = 0;
};

// While alive, makes `exc` the exception being handled, as inside an
// `except` block: sys.exception() (and so logging's exception()) reports it
// and exceptions raised meanwhile get it as their __context__. The
// previously handled exception is put back at the end.
class Handling {
public:
    explicit Handling(Handle exc) : previous_(Ref::steal(PyErr_GetHandledException())) {
        PyErr_SetHandledException(exc.ptr());
    }
    ~Handling() { PyErr_SetHandledException(previous_.ptr()); }
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    Ref previous_;
};

// The object a weak reference refers to, or a null Ref (no error) once it is
// gone: PyWeakref_GetRef() without the call, for the interpreter's own weak
// reference types.
inline Ref weak_referent(PyObject* ref) noexcept {
    assert(PyWeakref_Check(ref));
#ifdef Py_GIL_DISABLED
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) PyErr_Clear();
    return Ref::steal(obj);
#else
    PyObject* obj = reinterpret_cast<PyWeakReference*>(ref)->wr_object;
    // A cleared reference points to None; an object whose count went to 0
    // may still wait for its references to be cleared.
    if (obj == Py_None || Py_REFCNT(obj) == 0) return Ref();
    return Ref::borrow(obj);
#endif
}

// v <op> w by the full comparison protocol, as PyObject_RichCompare(), with
// the common case (both of one type) taken directly: the type's comparison,
// then the reflected one, then identity for == and !=.
inline Ref rich_compare(Handle v, Handle w, int op) {
    PyTypeObject* t = v.type();
    richcmpfunc f = t->tp_richcompare;
    if (t != w.type() || !f) return Ref::steal(PyObject_RichCompare(v.ptr(), w.ptr(), op));
    static constexpr int swapped[] = {Py_GT, Py_GE, Py_EQ, Py_NE, Py_LT, Py_LE};
    Ref r = Ref::steal(f(v.ptr(), w.ptr(), op));
    if (!r || r.ptr() != Py_NotImplemented) return r;
    r = Ref::steal(f(w.ptr(), v.ptr(), swapped[op]));
    if (!r || r.ptr() != Py_NotImplemented) return r;
    if (op == Py_EQ) return Ref::borrow(v.is(w) ? Py_True : Py_False);
    if (op == Py_NE) return Ref::borrow(v.is(w) ? Py_False : Py_True);
    static constexpr const char* names[] = {"<", "<=", "==", "!=", ">", ">="};
    PyErr_Format(PyExc_TypeError, "'%s' not supported between instances of '%.100s' and '%.100s'", names[op],
                 t->tp_name, t->tp_name);
    return Ref();
}

// bool(obj), answered at once for True and False.
inline Result<bool> is_true(Handle obj) {
    if (obj.ptr() == Py_True) return true;
    if (obj.ptr() == Py_False) return false;
    return truth(PyObject_IsTrue(obj.ptr()));
}

}  // namespace pf
