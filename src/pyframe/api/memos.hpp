// pyframe/api/memos.hpp: type version tags and the per-class memos keyed by
// them (TypeMemo, AbcCheck).
//
// No memo here keeps an object alive: entries are keyed by type version
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

// A held class together with the version tag it had when the module last
// saw it the way the module relies on (as it made or imported it):
// unchanged() is one comparison while nobody has modified the class or a
// base since, and false from the first modification on, until the module
// checks again and calls seal(). A class that gets no tag is never
// unchanged. This is the one way a module asks "still the object we made,
// unchanged"; a plan worked out per class (what a class still does the way
// the module defines it) goes into a TypeMemo instead.
class Pristine : public Held {
public:
    // Notes the held class as it stands now as the unchanged one.
    void seal() { tag_ = ptr() && PyType_Check(ptr()) ? assign_type_tag(type_ptr()) : 0u; }
    PF_ALWAYS_INLINE bool unchanged() const {
        unsigned int tag = tag_;
        return tag != 0 && type_tag(type_ptr()) == tag;
    }

private:
    Value<unsigned int> tag_;
};

// The position of `t` among the exact built-in value types, or -1. Their
// instances report their own type as __class__ and they cannot be changed,
// so isinstance() against a plain class is a type check and an ABC's answer
// for them changes only through registration. The scalars come first: from
// builtin_first_container on, releasing an instance may release others.
inline constexpr int builtin_first_container = 8;
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

}  // namespace pf
