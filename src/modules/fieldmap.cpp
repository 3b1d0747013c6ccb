// vornal.datastructures.fieldmap: dictionaries whose entries are also
// attributes.
//
//     import itertools
//     from collections.abc import Mapping, MutableMapping
//
//     class FieldMap(dict):
//         def __init__(self, *args, **kwargs): ...
//         def __repr__(self): ...
//
//     class NestedFieldMap(FieldMap, MutableMapping):
//         def __init__(self, *args, **kwargs): ...
//         def __getitem__(self, key): ...
//         def __setitem__(self, key, value): ...
//         def __contains__(self, key): ...
//         def __delitem__(self, key): ...
//         get = MutableMapping.get
//         pop = MutableMapping.pop
//         setdefault = MutableMapping.setdefault
//         def update(self, *args, **kwargs): ...
#include "pyframe.hpp"

namespace {
using namespace pf;

// What a class of maps still does the way this module defines it.
struct Plan {
    bool dict_get = false;       // super().__getitem__ is dict's, and no __missing__
    bool dict_set = false;       // super().__setitem__ is dict's
    bool dict_contains = false;  // super().__contains__ is dict's
    bool own_get = false;        // type(m).__getitem__ is NestedFieldMap's (and dict_get)
    bool own_set = false;        // type(m).__setitem__ is NestedFieldMap's (and dict_set)
    bool own_contains = false;   // type(m).__contains__ is NestedFieldMap's (and dict_get, dict_contains)
    bool own_update = false;     // type(m).update is NestedFieldMap's
    bool generic_setdefault = false;  // type(m).setdefault is MutableMapping's, from the class body
    bool plain_init = false;     // super().__init__() is FieldMap's, whose super().__init__ is dict's
    bool plain_new = false;      // type(m)() is dict.__new__ plus the __init__ chain of this module
    unsigned int tag = 0;        // the class's version tag the plan was made for (0: none)
};

// An entry of the table of split dotted keys (State::dotted_table).
struct DottedEntry {
    Ref key, parts;  // parts: None for a key without a dot
};

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Held FieldMap;
    Held NestedFieldMap;
    // copyreg.__newobj__, the constructor the default protocol names too (so the
    // pickle stream is the ordinary NEWOBJ + BUILD); not bound in the module.
    Held newobj;
    // MutableMapping.setdefault as bound in the class body; isinstance() against
    // the Mapping ABC the module body imported.
    Held generic_setdefault;
    AbcCheck mapping_check;
    TypeMemo<Plan> plans;
    // The segments of recently used exact-str keys: 'a.b.c' gives
    // ('a', 'b', 'c'); a null Ref for a key without a dot. Keys written in code
    // are constants, the same str object on every call, so such a key is
    // searched for dots and split (and its segments hashed) once instead of on
    // every access. The table is small and bounded and holds nothing but exact
    // str objects and tuples of them; an entry holds its key, so no other key
    // can take its address while it is in the table. It is never freed, but it
    // is emptied at every full collection, so keys read from data (INI options,
    // YAML keys) stay alive no longer than that, and with the module's state, so
    // no key outlives its interpreter.
    DottedEntry* dotted_table = new DottedEntry[64];  // never freed: its Refs must not outlive the interpreter
};
PF_STATE(State, st);

// ---------------------------------------------------------------------------
// class FieldMap(dict)
// ---------------------------------------------------------------------------

constexpr const char* FieldMap_doc =
    "Dictionary with the additional capability of accessing its content as\n"
    "object attributes.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> settings = FieldMap({'host': 'localhost', 'port': 8080})\n"
    "    >>> settings.host\n"
    "    'localhost'\n"
    "    >>> settings['port']\n"
    "    8080\n"
    "\n"
    "Known limitation: attributes follow the language's identifier rules, so\n"
    "keys with special characters (dot, comma, brackets, dash/hyphen, quotes,\n"
    "slashes, etc.) cannot be accessed with attribute syntax; use subscription\n"
    "for them.";

constexpr const char* FieldMap_init_doc =
    "Every object keeps its attributes in a dictionary named __dict__, and that\n"
    "dictionary may be any dict subclass. The instance being initialised is\n"
    "therefore assigned as its own __dict__, so its entries are its attributes;\n"
    "the base __init__ call makes it behave exactly like a dictionary.";

// def __init__(self, *args, **kwargs):
//     super().__init__(*args, **kwargs)
//     self.__dict__ = self
Status FieldMap_init(Handle self, Args args, const Kwargs& kwargs) {
    TRY(super(st.FieldMap, self).init(args, kwargs));
    return self.setattr<"__dict__">(self);
}

constexpr const char* FieldMap_repr_doc =
    "Return the class name around the dictionary form, e.g. FieldMap({'a': 1}).\n"
    "Levels and other maps inside print the same way.";

// def __repr__(self):
//     return self.__class__.__name__ + "(" + super(FieldMap, self).__repr__() + ")"
Ref FieldMap_repr(Handle self) {
    TRY_LET(Ref cls, self.attr<"__class__">());
    TRY_LET(Ref name, cls.attr<"__name__">());
    TRY_LET(Ref entries, super(st.FieldMap, self).repr());
    return concat(name, "(", entries, ")");
}

// Copies and pickles. The interpreter's default protocol would make the new
// object with __new__ alone, so its __dict__ would be a dictionary of its
// own instead of the object, and it would store every entry through
// __setitem__ (splitting dotted keys, converting values). Here the entries
// travel as a plain dict of state that __setstate__ puts into the storage
// as they are, and the object becomes its own namespace again. The object
// is made before the state is copied, so a map that contains itself
// deep-copies and pickles to one that contains its copy.

constexpr const char* FieldMap_reduce_doc =
    "Copy and pickle support: the entries are restored as they are stored,\n"
    "and the restored object is its own attribute namespace again.";

// def __reduce__(self):
//     return copyreg.__newobj__, (type(self),), dict(self)
Ref FieldMap_reduce(Handle self) {
    TRY_LET(Ref args, tuple(type_of(self)));
    TRY_LET(Ref state, Ref::steal(PyDict_Copy(self.ptr())));
    return tuple(st.newobj, args, state);
}

// def __setstate__(self, state):
//     state, slots = state if isinstance(state, tuple) else (state, None)
//     self.__dict__ = self
//     if state: dict.update(self, state)
//     for name, value in (slots or {}).items(): setattr(self, name, value)
//
// `state` is what __reduce__ gave, or what the default protocol wrote for
// the same class written in Python (the object itself, already filled).
Status FieldMap_setstate(Handle self, Handle state) {
    Ref entries = Ref::borrow(state), slots;
    if (PyTuple_Check(state.ptr()) && PyTuple_GET_SIZE(state.ptr()) == 2) {
        entries = Ref::borrow(PyTuple_GET_ITEM(state.ptr(), 0));
        slots = Ref::borrow(PyTuple_GET_ITEM(state.ptr(), 1));
    }
    TRY(self.setattr<"__dict__">(self));
    if (!entries.is_none()) {
        if (!PyDict_Check(entries.ptr()))
            return raise(PyExc_TypeError, "%.200s state must be a dict, not %.200s", self.type()->tp_name,
                         entries.type()->tp_name);
        TRY(status(PyDict_Update(self.ptr(), entries.ptr())));
    }
    if (slots && !slots.is_none()) {
        TRY_LET(Ref items, slots.call_method<"items">());
        TRY_LET(Ref it, items.iter());
        for (Ref item;;) {
            TRY_NEXT(it, item);
            TRY_LET(auto pair, unpack_pair(item));
            auto& [name, value] = pair;
            TRY(self.setattr(name.ptr(), value));
        }
    }
    return ok;
}

// ---------------------------------------------------------------------------
// class NestedFieldMap(FieldMap, MutableMapping)
// ---------------------------------------------------------------------------
//
// A tree of FieldMaps addressed by dotted keys: m['a.b'] is m['a']['b'].
// Levels are instances of type(self), made on demand by dotted writes and by
// the merge of nested mappings in update().
//
// Methods that the class calls on itself (update, setdefault, and items()
// on a mapping being merged) are looked up on the object's type: a map is
// its own attribute namespace, so an entry such as m['update'] would
// otherwise hide the method and break every later merge.
//
// Speed: dotted keys are the hot path of everything built on this class.
// While a class still uses the methods below unchanged (see Plan), a dotted
// key is walked level by level in one loop, heads are looked up in the
// dictionary storage directly, the generic setdefault runs without raising
// and catching KeyError, and type(self)() makes the level without the
// general call machinery. Any override in a subclass takes the ordinary
// path through the interpreter instead.

constexpr const char* NestedFieldMap_doc =
    "A FieldMap addressed by dotted keys, whose nested mappings are levels.\n"
    "\n"
    "A level is a value that is an instance of the map's own class; the map\n"
    "creates every level it needs as type(self)(), so attribute access works\n"
    "throughout (m.a.b.c) and a subclass's levels are of the subclass. A dotted\n"
    "key is a str holding a \".\": it is split at its first dot into the head and\n"
    "the rest, and the rest is looked up in the value stored under the head.\n"
    "Keys that are not str, and str keys without a dot, are plain keys.\n"
    "\n"
    "- m['a.b.c'] reads, m['a.b.c'] = v writes (creating the levels a and a.b\n"
    "  when they are missing), 'a.b.c' in m tests and del m['a.b.c'] deletes;\n"
    "  get, pop and setdefault are dotted too.\n"
    "- update() merges: a mapping value is merged into the level of its key,\n"
    "  key by key; any other value replaces what the key held.\n"
    "- keys(), items(), len() and iteration see the first level only, and\n"
    "  copy() is a shallow plain dict, as for any dict.\n"
    "- Attribute writes (m.x = v) store the value as it is: no dots, no\n"
    "  levels, no merging.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> m = NestedFieldMap({'db': {'host': 'db1'}})\n"
    "    >>> m['db.port'] = 5432\n"
    "    >>> m.update({'db': {'host': 'db2'}, 'cache.size': 10})\n"
    "    >>> m\n"
    "    NestedFieldMap({'db': NestedFieldMap({'host': 'db2', 'port': 5432}), 'cache': NestedFieldMap({'size': 10})})\n"
    "    >>> m.db.port, 'cache.size' in m\n"
    "    (5432, True)";

Ref NestedFieldMap_getitem(Handle self, Handle key);
Status NestedFieldMap_setitem(Handle self, Handle key, Handle value);
Result<bool> NestedFieldMap_contains(Handle self, Handle key);
Status NestedFieldMap_init(Handle self, Args args, const Kwargs& kwargs);
Status NestedFieldMap_update(Handle self, Args args, const Kwargs& kwargs);
Status merge_items(Handle self, Args args, const Kwargs& kwargs, int calls);

Result<Plan> make_plan(Handle m) {
    PyTypeObject* t = m.type();
    Plan p;
    auto next_is_dict = [&](const Held& cls, PyObject* name) -> Result<bool> {
        TRY_LET(PyTypeObject* provider, super(cls, m).provider(name));
        return provider == &PyDict_Type;
    };
    TRY_LET(bool next_get_is_dict, next_is_dict(st.NestedFieldMap, id<"__getitem__">()));
    p.dict_get = next_get_is_dict && !type_lookup<"__missing__">(t);
    TRY_LET(p.dict_set, next_is_dict(st.NestedFieldMap, id<"__setitem__">()));
    TRY_LET(p.dict_contains, next_is_dict(st.NestedFieldMap, id<"__contains__">()));
    p.own_get = p.dict_get && is_impl<NestedFieldMap_getitem>(type_lookup<"__getitem__">(t).ptr());
    p.own_set = p.dict_set && is_impl<NestedFieldMap_setitem>(type_lookup<"__setitem__">(t).ptr());
    p.own_contains = p.dict_get && p.dict_contains && is_impl<NestedFieldMap_contains>(type_lookup<"__contains__">(t).ptr());
    p.own_update = is_impl<NestedFieldMap_update>(type_lookup<"update">(t).ptr());
    p.generic_setdefault = type_lookup<"setdefault">(t).is(st.generic_setdefault);
    TRY_LET(SuperFound next_init, super(st.NestedFieldMap, m).find(id<"__init__">()));
    // `self.__dict__ = self` stays what it is for every class with an
    // attribute dictionary: the generic setattr and the class's own
    // __dict__ getset descriptor.
    Ref dict_descr = type_lookup<"__dict__">(t);
    bool plain_dict_attr = t->tp_setattro == PyObject_GenericSetAttr && dict_descr &&
                           Py_IS_TYPE(dict_descr.ptr(), &PyGetSetDescr_Type);
    p.plain_init = plain_dict_attr && is_impl<FieldMap_init>(next_init.attr.ptr());
    if (p.plain_init) { TRY_LET(p.plain_init, next_is_dict(st.FieldMap, id<"__init__">())); }
    p.plain_new = p.plain_init && p.own_update && t->tp_new == PyDict_Type.tp_new &&
                  is_impl<NestedFieldMap_init>(type_lookup<"__init__">(t).ptr());
    return p;
}

bool is_map(Handle o) { return PyObject_TypeCheck(o.ptr(), st.NestedFieldMap.type_ptr()); }

// The plan of m's class. An object that is no NestedFieldMap (a method called
// through the class with another `self`) gets no fast path at all. A walk
// down a dotted key asks for the plan of every level, and the levels are
// nearly always of one class: the memo answers that first.

Result<Plan> plan_of(Handle m) {
    PyTypeObject* t = m.type();
    if (const Plan* p = st.plans.last(t)) return *p;
    if (!is_map(m)) return Plan{};
    return st.plans.get(t, [&]() -> Result<Plan> {
        unsigned int tag = type_tag(t);
        TRY_LET(Plan p, make_plan(m));
        p.tag = type_tag(t) == tag ? tag : 0;
        return p;
    });
}


void clear_dotted_table() {
    for (int i = 0; i < 64; ++i) st.dotted_table[i] = DottedEntry{};
}

Result<Ref> dotted_parts(PyObject* key) {
    DottedEntry& e = st.dotted_table[(reinterpret_cast<std::uintptr_t>(key) >> 4) & 63];
    if (e.key.ptr() == key) return e.parts.is_none() ? Ref() : e.parts;
    Py_ssize_t dot = PyUnicode_FindChar(key, '.', 0, PyUnicode_GET_LENGTH(key), 1);
    if (dot == -2) return failure;
    Ref parts = none();
    if (dot >= 0) {
        // (Not interned: the interpreter would keep every segment for good.)
        TRY_LET(Ref segments, Ref::steal(PyUnicode_Split(key, id<".">(), -1)));
        TRY_LET(parts, Ref::steal(PyList_AsTuple(segments.ptr())));
    }
    e.key = Ref::borrow(key);
    e.parts = parts;
    return parts.is_none() ? Ref() : parts;
}

// The depth of a dotted walk, counted against the recursion limit as the
// Python code's calls count: one call of the method per level, the first
// being the call made from outside (counted with the first level, so that a
// plain key costs nothing).
class WalkDepth {
public:
    Status level() {
        if (!started_) {
            started_ = true;
            TRY(depth_.enter());
        }
        return depth_.enter();
    }
    // Calls the Python code makes at this level and returns from.
    Status room(int calls) const { return depth_.room(calls); }
    // The rest goes to a value that is not walked here: its own method
    // counts its own call, so the next level entered for this method is
    // given back.
    void hand_off() { depth_.leave(); }

private:
    CallDepth depth_;
    bool started_ = false;
};

// Whether a key is dotted: a str (subclasses included) that contains ".".
Result<bool> is_dotted(Handle key) {
    PyObject* k = key.ptr();
    if (PyUnicode_CheckExact(k)) {
        TRY_LET(Ref parts, dotted_parts(k));
        return bool(parts);
    }
    if (!PyUnicode_Check(k)) return false;
    return key.contains(id<".">());  // a str subclass answers with its own `in`
}

// A key taken apart level by level: each split() is key.split('.', 1) on
// what is left of the key. An exact str is walked along its segments, so
// the rest is not copied at every level; other str keys split in their own
// way.
class DottedKey {
public:
    explicit DottedKey(Handle key) : key_(Ref::borrow(key)) {}

    // Takes the head off the remaining key; false when that key is plain.
    // `plain_head`: the head is known to hold no dot.
    PF_ALWAYS_INLINE Result<bool> split(Ref& head, bool& plain_head) {
        if (parts_) {  // walking the segments of an exact str
            quiet_ = true;
            if (index_ + 1 >= PyTuple_GET_SIZE(parts_.ptr())) return false;
            head = Ref::borrow(PyTuple_GET_ITEM(parts_.ptr(), index_++));
            plain_head = true;
            return true;
        }
        return split_first(head, plain_head);
    }
    Result<bool> split(Ref& head) {
        bool plain_head;
        return split(head, plain_head);
    }

    // Whether the last split() ran no code of anyone's: the key is an exact
    // str (a str subclass answers `in` and split() with its own methods).
    bool quiet() const { return quiet_; }

    // What is left of the key.
    Ref rest() const {
        if (!parts_ || index_ == 0) return key_;
        Py_ssize_t n = PyTuple_GET_SIZE(parts_.ptr());
        if (index_ == n - 1) return Ref::borrow(PyTuple_GET_ITEM(parts_.ptr(), index_));
        Py_ssize_t start = 0;
        for (Py_ssize_t i = 0; i < index_; ++i) start += PyUnicode_GET_LENGTH(PyTuple_GET_ITEM(parts_.ptr(), i)) + 1;
        return Ref::steal(PyUnicode_Substring(key_.ptr(), start, PyUnicode_GET_LENGTH(key_.ptr())));
    }

private:
    // split() of a key not yet known to be walked by its segments.
    Result<bool> split_first(Ref& head, bool& plain_head) {
        PyObject* k = key_.ptr();
        if (PyUnicode_CheckExact(k)) {
            quiet_ = true;
            TRY_LET(Ref parts, dotted_parts(k));
            if (!parts) return false;
            parts_ = std::move(parts);
            return split(head, plain_head);
        }
        quiet_ = !PyUnicode_Check(k);
        plain_head = false;
        TRY_LET(bool dotted, is_dotted(key_));
        if (!dotted) return false;
        TRY_LET(Ref one, integer(1));
        TRY_LET(Ref halves, key_.call_method<"split">(id<".">(), one));
        TRY_LET(auto pair, unpack_pair(halves));
        auto& [first, rest] = pair;
        head = std::move(first);
        key_ = std::move(rest);
        parts_ = Ref();
        index_ = 0;
        return true;
    }

    Ref key_;
    Ref parts_;  // the segments of key_, once it is known to be an exact str with a dot
    Py_ssize_t index_ = 0;
    bool quiet_ = true;
};

// Whether `p`, m's plan, still holds: m's class and its bases are as they
// were when it was made.
PF_ALWAYS_INLINE inline bool plan_holds(Handle m, const Plan& p) { return p.tag != 0 && type_tag(m.type()) == p.tag; }

// What dict.__getitem__ does after a miss in an instance of a subclass:
// type(m).__missing__(m, key) when the class has one, else KeyError(key).
// Under a plan that still holds the class has none; otherwise the lookup
// that missed ran code (a key's __eq__ or __hash__) that may have given the
// class one, or switched m to a class that has one.
Ref after_miss(Handle m, const Plan& p, Handle key) {
    if (!plan_holds(m, p)) {
        if (Ref missing = type_lookup<"__missing__">(m.type())) return call_unbound(missing, m, key);
    }
    return raise_key_error(key.ptr());
}

// super().__getitem__(key) inside NestedFieldMap's methods. Under dict_get a
// miss raises dict's own KeyError directly.
PF_ALWAYS_INLINE inline Ref own_lookup(Handle m, const Plan& p, Handle key) {
    if (p.dict_get) {
        PyObject* v = nullptr;
        TRY_LET(bool found, truth(PyDict_GetItemRef(m.ptr(), key.ptr(), &v)));
        if (found) return Ref::steal(v);
        return after_miss(m, p, key);
    }
    return super(st.NestedFieldMap, m).getitem(key);
}

// super().__setitem__(key, value) inside NestedFieldMap's methods.
Status own_store(Handle m, const Plan& p, Handle key, Handle value) {
    if (p.dict_set) return status(PyDict_SetItem(m.ptr(), key.ptr(), value.ptr()));
    return super(st.NestedFieldMap, m).setitem(key, value);
}

// type(m)() made by this module's own code: true when the class makes its
// instances with dict.__new__ and the __init__ chain of this module, so that
// no code of the user's runs while a level is made.
bool plain_new(Handle m, const Plan& p) { return p.plain_new && Py_TYPE(m.type())->tp_call == PyType_Type.tp_call; }

// The two steps of type(m)() under plain_new: dict.__new__, then what the
// __init__ chain does without arguments, making the instance its own
// attribute namespace.
Ref made_level(PyTypeObject* t) {
    TRY_LET(Ref empty, tuple());
    return Ref::steal(PyDict_Type.tp_new(t, empty.ptr(), nullptr));
}
Status finish_level(Handle level) { return status(PyObject_GenericSetDict(level.ptr(), level.ptr(), nullptr)); }
Ref plain_level(PyTypeObject* t) {
    TRY_LET(Ref level, made_level(t));
    TRY(finish_level(level));
    return level;
}

// type(m)(): a new, empty level.
Ref new_level(Handle m, const Plan& p) {
    if (!plain_new(m, p)) return type_of(m)();
    return plain_level(m.type());
}

// m's plan, made anew when code that ran since it was taken (a key's
// __hash__ or __eq__, a split() of a str subclass, a class's constructor)
// may have changed the class.
Status refresh(Handle m, Plan& p) {
    if (plan_holds(m, p)) return ok;
    TRY_LET(p, plan_of(m));
    return ok;
}

// type(m).setdefault(m, key, type(m)()): the level under `key`, made and
// stored when the key is absent; `p` is kept m's plan. With the generic
// setdefault
//     try: return self[key]
//     except KeyError: self[key] = default
//     return default
// and a plain key, the lookup is done without raising KeyError, and the
// store as self[key] = default does it once the lookup is over (which may
// have run code that changed the class). The default level is made on
// every call as written, except when nothing of the user's can see it
// being made (plain_new): then it is made only when it is stored, since a
// level made and dropped at once is not observable, and of the class m had
// before the lookup, as type(self)() made it then.
Ref setdefault_level(Handle m, Plan& p, Handle key, bool plain_key) {
    if (!(plain_key && p.generic_setdefault && p.own_get)) {
        Ref setdefault = type_lookup<"setdefault">(m.type());  // looked up before the level is made
        TRY_LET(Ref fresh, new_level(m, p));
        if (!setdefault) return m.call_method<"setdefault">(key, fresh);
        return call_unbound(setdefault, m, key, fresh);
    }
    Ref fresh, cls;
    bool deferred = plain_new(m, p);
    if (deferred) {
        cls = Ref::borrow(reinterpret_cast<PyObject*>(m.type()));
    } else {
        TRY_LET(fresh, new_level(m, p));
        TRY(refresh(m, p));
    }
    Ref v;  // self[key]
    if (p.own_get) {  // the dictionary's own lookup of a plain key
        PyObject* found_value = nullptr;
        TRY_LET(bool found, truth(PyDict_GetItemRef(m.ptr(), key.ptr(), &found_value)));
        if (found) return Ref::steal(found_value);
        if (!plan_holds(m, p)) v = after_miss(m, p, key);
    } else {
        v = m.item(key);
    }
    if (v) return v;
    if (PyErr_Occurred()) {
        if (!error_matches(PyExc_KeyError)) return failure;
        PyErr_Clear();
    }
    if (deferred) { TRY_LET(fresh, plain_level(reinterpret_cast<PyTypeObject*>(cls.ptr()))); }
    TRY(refresh(m, p));
    if (p.own_set)
        TRY(status(PyDict_SetItem(m.ptr(), key.ptr(), fresh.ptr())));
    else
        TRY(m.set_item(key, fresh));
    return fresh;
}

constexpr const char* NestedFieldMap_init_doc =
    "Make the map its own attribute namespace, then merge the arguments into it\n"
    "as update() does: at most one mapping or iterable of key/value pairs, then\n"
    "the keyword entries. Nested mappings become levels and dotted keys are\n"
    "expanded, so NestedFieldMap({'a.b': 1}) == {'a': {'b': 1}}.\n"
    "\n"
    "Raises TypeError \"expected at most 1 arguments, got N\" for more than one\n"
    "positional argument, and the errors of update() for unusable items.";

// def __init__(self, *args, **kwargs):
//     super().__init__()
//     type(self).update(self, *args, **kwargs)
Status NestedFieldMap_init(Handle self, Args args, const Kwargs& kwargs) {
    TRY_LET(Plan p, plan_of(self));
    if (p.plain_init)
        TRY(finish_level(self));  // FieldMap.__init__() and dict.__init__() without arguments
    else
        TRY(super(st.NestedFieldMap, self).init(Args{}, Kwargs{}));
    if (p.own_update) {
        if (args.size == 0 && kwargs.size() == 0) return ok;  // nothing to merge
        return merge_items(self, args, kwargs, 2);            // __init__() and update()
    }
    TRY(call_type_method<"update">(self, args, kwargs));
    return ok;
}

// Whether `value` is of map's class, unchanged since `p`, map's plan, was made.
inline bool same_class(Handle value, Handle map, const Plan& p) {
    PyTypeObject* t = map.type();
    return value.type() == t && p.tag != 0 && type_tag(t) == p.tag;
}

// One step down a dotted key in __getitem__ and __contains__: whether
// value[rest] (`rest in value`) would run this same method again, `own` of
// the level's plan; then the walk goes on in the level, whose map and plan
// `map` and `p` become.
PF_ALWAYS_INLINE inline Result<bool> walk_into(Ref& map, Plan& p, Ref& value, bool Plan::*own) {
    if (p.*own && same_class(value, map, p)) {  // a level of the same class: the same plan
        map = std::move(value);
        return true;
    }
    if (!is_map(value)) return false;
    TRY_LET(Plan q, plan_of(value));
    if (!(q.*own)) return false;
    map = std::move(value);
    p = q;
    return true;
}

constexpr const char* NestedFieldMap_getitem_doc =
    "Return self[key]. A dotted key returns the value under its head\n"
    "subscripted with the rest, m['a.b.c'] == m['a']['b.c']: a level resolves\n"
    "the rest by the same rule, a plain dict takes it as one key, any other\n"
    "value answers with its own subscription.\n"
    "\n"
    "Raises KeyError with the key that is missing where the walk stops (the\n"
    "head, or what is left of the key in the level that lacks it), not the\n"
    "whole dotted key.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> m = NestedFieldMap({'a': {'b': 1}})\n"
    "    >>> m['a.b']\n"
    "    1\n"
    "    >>> m['a.x']\n"
    "    Traceback (most recent call last):\n"
    "      ...\n"
    "    KeyError: 'x'";

// def __getitem__(self, key):
//     if dotted: return super().__getitem__(head)[rest]
//     return super().__getitem__(key)
Ref NestedFieldMap_getitem(Handle self, Handle key) {
    Ref map = Ref::borrow(self), head;
    TRY_LET(Plan p, plan_of(self));
    DottedKey k(key);
    WalkDepth depth;  // value[rest] is one more call of this method
    for (;;) {
        TRY_LET(bool dotted, k.split(head));
        if (!k.quiet()) TRY(refresh(map, p));
        if (!dotted) {
            TRY_LET(Ref rest, k.rest());
            return own_lookup(map, p, rest);
        }
        TRY(depth.level());
        TRY_LET(Ref value, own_lookup(map, p, head));
        TRY_LET(bool deeper, walk_into(map, p, value, &Plan::own_get));
        if (deeper) continue;
        TRY_LET(Ref rest, k.rest());
        depth.hand_off();
        return value.item(rest);
    }
}

// The KeyError of a dotted write under a head that holds no level.
Failure raise_target_key(Handle self, Handle head) {
    TRY_LET(Ref name, type_of(self).attr<"__name__">());
    TRY_LET(Ref head_text, head.str());
    TRY_LET(Ref name_text, name.str());
    TRY_LET(Ref message,
            concat("target key \"", head_text, "\" is a value, cannot update value against another ", name_text));
    return raise_value(PyExc_KeyError, message.ptr());
}

constexpr const char* NestedFieldMap_setitem_doc =
    "Set self[key] to value. A dotted key stores value under the rest inside\n"
    "the level of its head, which is created as type(self)() when the head is\n"
    "missing; so m['a.b.c'] = 1 on an empty map creates the levels a and a.b.\n"
    "A plain key stores value as it is: a dict assigned this way stays a plain\n"
    "dict, not a level.\n"
    "\n"
    "Raises KeyError 'target key \"HEAD\" is a value, cannot update value against\n"
    "another CLASS' when the head holds anything but a level (a number, text, a\n"
    "plain dict); the value there is left as it was.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> m = NestedFieldMap()\n"
    "    >>> m['a.b.c'] = 1\n"
    "    >>> m\n"
    "    NestedFieldMap({'a': NestedFieldMap({'b': NestedFieldMap({'c': 1})})})\n"
    "    >>> m['a.b.c.d'] = 2\n"
    "    Traceback (most recent call last):\n"
    "      ...\n"
    "    KeyError: 'target key \"c\" is a value, cannot update value against another NestedFieldMap'";

// def __setitem__(self, key, value):
//     if dotted:
//         level = type(self).setdefault(self, head, type(self)())
//         if not isinstance(level, type(self)): raise KeyError(<target key>)
//         level[rest] = value
//     else:
//         super().__setitem__(key, value)
Status NestedFieldMap_setitem(Handle self, Handle key, Handle value) {
    Ref map = Ref::borrow(self), head;
    TRY_LET(Plan p, plan_of(self));
    DottedKey k(key);
    WalkDepth depth;  // level[rest] = value is one more call of this method
    for (;;) {
        bool plain_head;
        TRY_LET(bool dotted, k.split(head, plain_head));
        if (!k.quiet()) TRY(refresh(map, p));
        if (!dotted) {
            TRY_LET(Ref rest, k.rest());
            return own_store(map, p, rest, value);
        }
        TRY(depth.level());
        TRY(depth.room(2));  // the calls of setdefault(head, ...) and of its self[head]
        TRY_LET(Ref level, setdefault_level(map, p, head, plain_head));
        TRY_LET(bool is_level, level.isinstance(type_of(map)));
        if (!is_level) return raise_target_key(map, head);
        // (isinstance may also accept a registered virtual subclass: no plan for that)
        if (!(p.own_set && same_class(level, map, p))) {
            bool walk_on = is_map(level);
            if (walk_on) {
                TRY_LET(p, plan_of(level));
                walk_on = p.own_set;
            }
            if (!walk_on) {
                TRY_LET(Ref rest, k.rest());
                depth.hand_off();
                return level.set_item(rest, value);
            }
        }
        map = std::move(level);  // level[rest] = value would run this method again
    }
}

constexpr const char* NestedFieldMap_contains_doc =
    "Return key in self. A dotted key is in the map when its head is and the\n"
    "rest is in the value stored there, as that value answers \"rest in value\"\n"
    "(a level by this rule, a plain dict by key, a str by substring); False\n"
    "when the head is missing.";

// def __contains__(self, key):
//     if dotted: return super().__contains__(head) and rest in super().__getitem__(head)
//     return super().__contains__(key)
//
// The head is looked up twice, as written: a lookup may run code (the
// __hash__ or __eq__ of a key that is no exact str, the head's or a stored
// key's), which then runs as often as in Python.
Result<bool> NestedFieldMap_contains(Handle self, Handle key) {
    Ref map = Ref::borrow(self), head;
    TRY_LET(Plan p, plan_of(self));
    DottedKey k(key);
    WalkDepth depth;  // rest in value is one more call of this method
    for (;;) {
        TRY_LET(bool dotted, k.split(head));
        if (!k.quiet()) TRY(refresh(map, p));
        if (!dotted) {
            TRY_LET(Ref last, k.rest());
            if (p.dict_contains) return truth(PyDict_Contains(map.ptr(), last.ptr()));
            return super(st.NestedFieldMap, map).contains(last);
        }
        TRY(depth.level());
        bool found;
        if (p.dict_contains) {
            TRY_LET(found, truth(PyDict_Contains(map.ptr(), head.ptr())));
        } else {
            TRY_LET(found, super(st.NestedFieldMap, map).contains(head));
        }
        if (!found) return false;
        TRY(refresh(map, p));
        TRY_LET(Ref value, own_lookup(map, p, head));
        TRY_LET(bool deeper, walk_into(map, p, value, &Plan::own_contains));
        if (deeper) continue;
        TRY_LET(Ref rest, k.rest());
        depth.hand_off();
        return value.contains(rest);
    }
}

constexpr const char* NestedFieldMap_delitem_doc =
    "Delete self[key]. A dotted key deletes the rest from the value under its\n"
    "head; levels left empty remain.\n"
    "\n"
    "Raises KeyError with the missing key, as reading does.";

// def __delitem__(self, key):
//     if dotted: del super().__getitem__(head)[rest]
//     else: super().__delitem__(key)
//
// A level whose class still deletes with this method is walked in the same
// loop instead of being asked to delete the rest (which would run this
// method again on a rest copied and split anew): deleting a deep key costs
// what reading it costs.
Status NestedFieldMap_delitem(Handle self, Handle key) {
    Ref map = Ref::borrow(self), head;
    DottedKey k(key);
    TRY_LET(bool dotted, k.split(head));
    if (!dotted) return super(st.NestedFieldMap, self).delitem(key);
    WalkDepth depth;  // del level[rest] is one more call of this method
    for (;;) {
        TRY(depth.level());
        TRY_LET(Plan p, plan_of(map));
        TRY_LET(Ref level, own_lookup(map, p, head));
        if (!is_map(level) || !is_impl<NestedFieldMap_delitem>(type_lookup<"__delitem__">(level.type()).ptr())) {
            TRY_LET(Ref rest, k.rest());
            depth.hand_off();
            return level.del_item(rest);
        }
        // del level[rest], run here
        TRY_LET(bool deeper, k.split(head));
        if (!deeper) {
            TRY_LET(Ref rest, k.rest());
            return super(st.NestedFieldMap, level).delitem(rest);
        }
        map = std::move(level);
    }
}

// The state of one update() call.
class Merge {
public:
    explicit Merge(Handle self) : self_(self) {}

    // The calls of the Python code that lead into this merge (update(), and
    // _merge() or __init__() before it), counted against the recursion limit.
    Status enter(int calls) {
        for (int i = 0; i < calls; ++i) TRY(depth_.enter());
        TRY_LET(mapping_, global<"Mapping">());
        abc_ = st.mapping_check.is(mapping_);
        return ok;
    }

    // One item: a mapping value is merged into the level under `key` (made
    // when absent), anything else is stored with self[key] = value. The
    // plan is taken per item, after the isinstance() check: merging and
    // checking run code that may change the class. A key is known to be
    // plain only when that runs no code (no str, or an exact str without a
    // dot); a str subclass answers for itself inside __getitem__ and
    // __setitem__, which then run as written.
    Status item(Handle key, Handle value) {
        TRY_LET(bool mapping, is_mapping(value));
        // setdefault(key, ...) with its self[key], or self[key] = value: calls
        // the Python code makes and returns from
        TRY(depth_.room(mapping ? 2 : 1));
        TRY_LET(Plan plan, plan_of(self_));
        bool plain_key = false;
        if (!PyUnicode_Check(key.ptr()) || PyUnicode_CheckExact(key.ptr())) {
            TRY_LET(bool dotted, is_dotted(key));
            plain_key = !dotted;
        }
        if (mapping) {
            TRY_LET(Ref level, setdefault_level(self_, plan, key, plain_key));
            return merge_into(level, value);
        }
        if (plain_key && plan.own_set) return status(PyDict_SetItem(self_.ptr(), key.ptr(), value.ptr()));
        return self_.set_item(key, value);
    }

    // isinstance(value, Mapping), with the module's name as it was when the
    // call began: reading it for every item, as the Python code does, costs
    // a measurable part of a merge of plain data (see docs/differences.rst).
    // Every dict is one while the name is the ABC.
    Result<bool> is_mapping(Handle value) const {
        if (abc_ && PyDict_Check(value.ptr())) return true;
        return st.mapping_check.isinstance(value, mapping_);
    }

private:
    // _merge(level, value): type(level).update(level, value). Each is a
    // call of the Python code, so a level of a merge costs two levels of
    // the recursion limit; the guard keeps the C stack within its bounds
    // where the limit is set high.
    static Status merge_into(Handle level, Handle value) {
        if (is_map(level)) {
            TRY_LET(Plan plan, plan_of(level));
            if (plan.own_update) {
                RecursionGuard guard(" while merging nested mappings");
                TRY(guard.entered());
                PyObject* argv[] = {value.ptr()};
                return merge_items(level, Args{argv, 1}, Kwargs{}, 2);
            }
        }
        CallDepth depth;  // _merge()
        TRY(depth.enter());
        TRY(call_type_method<"update">(level, value));
        return ok;
    }

    Handle self_;
    CallDepth depth_;
    Ref mapping_;
    bool abc_ = false;
};

// type(source).items(source): a class without items() fails as the
// attribute lookup on the class does.
Ref items_of(Handle source) {
    if (Ref f = type_lookup<"items">(source.type())) return call_unbound(f, source);
    TRY_LET(Ref f, type_of(source).attr<"items">());
    return f(source);
}

constexpr const char* NestedFieldMap_update_doc =
    "Merge a mapping or an iterable of key/value pairs, then the keyword\n"
    "arguments, into the map, in that order.\n"
    "\n"
    "For each key and value: when the value is a mapping, it is merged into\n"
    "self.setdefault(key, type(self)()), so an existing level keeps the\n"
    "entries the value does not mention, and a missing key gets a new level\n"
    "filled from it (the mapping given is copied, never stored). Any other\n"
    "value is stored with self[key] = value, replacing what the key held, a\n"
    "whole level included; dotted keys are followed as in m[key] = value.\n"
    "Items merged before a failure stay merged.\n"
    "\n"
    "Raises TypeError \"expected at most 1 arguments, got N\" for more than one\n"
    "positional argument, TypeError \"cannot convert dictionary update sequence\n"
    "element #I to a sequence\" for an item whose length is not 2 (and the\n"
    "TypeError of len() for an item that has none), the KeyError of\n"
    "m[key] = value for a dotted key under a value, and AttributeError when a\n"
    "mapping meets a stored value that has no update() (a number, text).\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> m = NestedFieldMap({'db': {'host': 'db1', 'port': 5432}})\n"
    "    >>> m.update({'db': {'host': 'db2'}}, debug=True)\n"
    "    >>> m\n"
    "    NestedFieldMap({'db': NestedFieldMap({'host': 'db2', 'port': 5432}), 'debug': True})\n"
    "    >>> m.update({'db': 'sqlite://'})\n"
    "    >>> m.db\n"
    "    'sqlite://'";

// def update(self, *args, **kwargs):
//     if len(args) > 1: raise TypeError(...)
//     iterable = args[0] if args else ()
//     if isinstance(iterable, Mapping): iterable = type(iterable).items(iterable)
//     for position, item in enumerate(itertools.chain(iterable, kwargs.items())):
//         if len(item) != 2: raise TypeError(... % position)
//         key, value = item
//         <Merge.item(key, value)>
//
// The position in the error is the element's place in the iteration, so it
// is right for every kind of source (generators, sets and views included).
//
// `calls`: the calls of the Python code this one stands for.
Status merge_items(Handle self, Args args, const Kwargs& kwargs, int calls) {
    if (args.size > 1) return raise(PyExc_TypeError, "expected at most 1 arguments, got %zd", args.size);
    Merge merge(self);
    TRY(merge.enter(calls));
    if (args.size == 1) {
        Ref source = Ref::borrow(args[0]);
        TRY_LET(bool mapping, merge.is_mapping(source));
        if (mapping) { TRY_LET(source, items_of(source)); }
        TRY_LET(Ref it, source.iter());
        Py_ssize_t position = 0;
        for (Ref item;; ++position) {
            TRY_NEXT(it, item);
            if (PyTuple_CheckExact(item.ptr()) && PyTuple_GET_SIZE(item.ptr()) == 2) {  // what items() yields
                TRY(merge.item(PyTuple_GET_ITEM(item.ptr(), 0), PyTuple_GET_ITEM(item.ptr(), 1)));
                continue;
            }
            TRY_LET(Py_ssize_t length, item.len());
            if (length != 2)
                return raise(PyExc_TypeError, "cannot convert dictionary update sequence element #%zd to a sequence",
                             position);
            TRY_LET(auto pair, unpack_pair(item));
            auto& [key, value] = pair;
            TRY(merge.item(key, value));
        }
    }
    if (kwargs.dict) {
        PyObject *key, *value;
        for (Py_ssize_t pos = 0; PyDict_Next(kwargs.dict.ptr(), &pos, &key, &value);)
            TRY(merge.item(Ref::borrow(key), Ref::borrow(value)));
    } else {
        for (Py_ssize_t i = 0; i < kwargs.size(); ++i) TRY(merge.item(PyTuple_GET_ITEM(kwargs.names, i), kwargs.values[i]));
    }
    return ok;
}

// def update(self, *args, **kwargs):
//     <merge_items above, for the one call of update()>
Status NestedFieldMap_update(Handle self, Args args, const Kwargs& kwargs) { return merge_items(self, args, kwargs, 1); }

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(import("itertools"));
    TRY(import_from("collections.abc", {"Mapping", "MutableMapping"}));
    {
        TRY_LET(Ref copyreg, Ref::steal(PyImport_ImportModule("copyreg")));
        TRY_LET(Ref newobj_function, copyreg.attr<"__newobj__">());
        st.newobj.set(std::move(newobj_function));
    }

    TRY(define_class(st.FieldMap, "FieldMap",
                     ClassDef("FieldMap", FieldMap_doc)
                         .bases({&PyDict_Type})
                         .method(def<FieldMap_init>("__init__", "self, *args, **kwargs", FieldMap_init_doc))
                         .method(def<FieldMap_repr>("__repr__", "self", FieldMap_repr_doc))
                         .method(def<FieldMap_reduce>("__reduce__", "self", FieldMap_reduce_doc))
                         .method(def<FieldMap_setstate>("__setstate__", "self, state", FieldMap_reduce_doc))));

    TRY_LET(Ref mutable_mapping, global<"MutableMapping">());
    TRY(define_class(st.NestedFieldMap, "NestedFieldMap",
                     ClassDef("NestedFieldMap", NestedFieldMap_doc)
                         .bases({st.FieldMap, mutable_mapping})
                         .method(def<NestedFieldMap_init>("__init__", "self, *args, **kwargs", NestedFieldMap_init_doc))
                         .method(def<NestedFieldMap_getitem>("__getitem__", "self, key", NestedFieldMap_getitem_doc))
                         .method(def<NestedFieldMap_setitem>("__setitem__", "self, key, value",
                                                             NestedFieldMap_setitem_doc))
                         .method(def<NestedFieldMap_contains>("__contains__", "self, key", NestedFieldMap_contains_doc))
                         .method(def<NestedFieldMap_delitem>("__delitem__", "self, key", NestedFieldMap_delitem_doc))
                         .attr("get", mutable_mapping.attr<"get">())
                         .attr("pop", mutable_mapping.attr<"pop">())
                         .attr("setdefault", mutable_mapping.attr<"setdefault">())
                         .method(def<NestedFieldMap_update>("update", "self, *args, **kwargs",
                                                            NestedFieldMap_update_doc))));
    TRY_LET(Ref setdefault, mutable_mapping.attr<"setdefault">());
    st.generic_setdefault.set(std::move(setdefault));
    TRY_LET(Ref mapping, global<"Mapping">());
    TRY(clear_on_full_collection(clear_dotted_table));
    return st.mapping_check.set(mapping);
}

}  // namespace

PF_MODULE(fieldmap, body)
