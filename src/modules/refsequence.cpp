// vornal.datastructures.refsequence: a list that holds its objects by weak
// reference and forgets each one once it is collected.
//
//     import weakref
//     import collections
//
//     class RefSequence(collections.UserList):
//         def __init__(self, items=()): ...
//         def __contains__(self, item): ...
//         def __getitem__(self, index): ...
//         def __setitem__(self, index, item): ...
//         def __iter__(self): ...
//         def __eq__(self, other): ...
//         def __reversed__(self): ...
//         def remove(self, item): ...
//         def append(self, item): ...
//         def index(self, item): ...
//         def count(self, item): ...
//         def pop(self, item): ...
//         def insert(self, index, item): ...
//         def extend(self, items): ...
//         def sort(self, key=None, reverse=False): ...
//         def __add__(self, item): ...
//         def __iadd__(self, items): ...
//         def __repr__(self): ...
//         def __str__(self): ...
//         (and the list operations that UserList would apply to the weak
//          references themselves: __radd__, __mul__, __rmul__, __imul__,
//          __lt__, __le__, __gt__, __ge__, __copy__, __deepcopy__)
//
// `data` holds one entry per stored object, weakref.ref(obj, self.remove):
// when the object is finalised the interpreter calls the instance's remove
// with the dead entry, which deletes exactly that entry. Module-level names
// (weakref, RefSequence) are looked up when a method runs, self.remove for
// each entry made. A method of the base class reached by
// super() is bound before its arguments are made, as Python evaluates
// `super().name(args)`.
//
// Entries die at finalisation, which can happen in the middle of any
// operation (the cycle collector runs on allocation). Two rules follow:
//   * code here holds its own reference to every entry, list and object it
//     uses across a call that may run Python code or allocate;
//   * an operation that builds entries or reorders them keeps the objects
//     involved alive until it is done, so no object dies while its entry is
//     not (or not yet) where its callback looks for it. Objects that die
//     once it is done remove their entries as always, so the sequence never
//     keeps a dead entry.
//
// Speed: while super() still reaches UserList's own methods, their bodies
// (`self.data.append(item)` and the like) are run here directly instead of
// through a call of the Python function.
#include "pyframe.hpp"

namespace {
using namespace pf;

// A method of collections.UserList as the module body found it, with its
// code object (kept, so that a replaced __code__ is noticed).
struct Original {
    PyObject* name = nullptr;
    Held func;
    Held code;
    unsigned bit = 0;
};

// What a class of sequences still does the way UserList does it, kept per
// type version tag (so it holds until the class or a base changes).
struct Plan {
    unsigned base = 0;          // bits: super(RefSequence, self).<name> is the Original's function
    unsigned own = 0;           // bits: type(self).<name> is the Original's function
    bool data_in_dict = false;  // self.data is the instance dictionary's entry (generic
                                // attribute access, no class attribute named data)
};

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Held RefSequence;
    Original UL_getitem, UL_setitem, UL_delitem, UL_contains, UL_append, UL_insert, UL_remove, UL_index, UL_count,
        UL_sort, UL_len;
    Original* const originals[11] = {&UL_getitem, &UL_setitem, &UL_delitem, &UL_contains, &UL_append, &UL_insert,
                                     &UL_remove,  &UL_index,   &UL_count,   &UL_sort,     &UL_len};
    TypeMemo<Plan> plans;
    // The interpreter's own weakref.ref: the type of the references that
    // PyWeakref_NewRef makes, taken from one made by the module body. (The
    // type object has no public name; PyWeakref_CheckRefExact only tests an
    // instance.)
    Held weakref_ref_type;
    Held genexpr_name, genexpr_qualname;
};
PF_STATE(State, st);

// ---------------------------------------------------------------------------
// The base class's own methods
// ---------------------------------------------------------------------------

Status capture(Original& o, Handle userlist, PyObject* name, unsigned bit) {
    o.name = name;
    o.bit = bit;
    Ref f = type_lookup(reinterpret_cast<PyTypeObject*>(userlist.ptr()), name);
    if (f && PyFunction_Check(f.ptr())) {
        o.code.set(Ref::borrow(PyFunction_GET_CODE(f.ptr())));
        o.func.set(std::move(f));
    }
    return ok;
}

Result<Plan> make_plan(Handle self) {
    Plan p;
    for (const Original* o : st.originals) {
        if (!o->func.ptr()) continue;
        TRY_LET(SuperFound f, super(st.RefSequence, self).find(o->name));
        if (f.attr && f.attr.is(o->func)) p.base |= o->bit;
        Ref own = type_lookup(self.type(), o->name);
        if (own && own.is(o->func)) p.own |= o->bit;
    }
    PyTypeObject* t = self.type();
    p.data_in_dict = t->tp_getattro == PyObject_GenericGetAttr && !type_lookup<"data">(t) &&
                     (PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT) || t->tp_dictoffset != 0);
    return p;
}

// The plan of self's class; nothing is planned for an object that is no
// RefSequence (a method called through the class), whose super() fails.
Result<Plan> plan_of(Handle self) {
    PyTypeObject* t = self.type();
    if (const Plan* p = st.plans.last(t)) return *p;
    if (!PyObject_TypeCheck(self.ptr(), st.RefSequence.type_ptr())) return Plan{};
    return st.plans.get(t, [&] { return make_plan(self); });
}

// Whether super(RefSequence, self).<name> is that method, unchanged; its
// body, `self.data.<operation>`, may then run here.
bool plain(const Plan& p, const Original& o) { return (p.base & o.bit) && PyFunction_GET_CODE(o.func.ptr()) == o.code.ptr(); }
Result<bool> plain_base(Handle self, const Original& o) {
    TRY_LET(Plan p, plan_of(self));
    return plain(p, o);
}

// super().<name> as Python takes it in `super().name(args)` (SuperMethod),
// or UserList's own method, whose body may then run here.
struct BaseMethod {
    const Original* original = nullptr;  // UserList's own method, which the module state holds
    SuperMethod found;                   // otherwise

    // Whether this is UserList's own method o, its code unchanged now: its
    // body may run here.
    bool is(const Original& o) const { return original == &o && PyFunction_GET_CODE(o.func.ptr()) == o.code.ptr(); }
    template <class... A>
    Ref operator()(Handle self, const A&... args) const {
        if (original) return call_unbound(Handle(original->func), self, args...);
        return found(self, args...);
    }
};

Result<BaseMethod> base_method(Handle self, PyObject* name) {
    TRY_LET(SuperMethod found, super(st.RefSequence, self).method(name));
    return BaseMethod{nullptr, std::move(found)};
}
// The same for a method of UserList that self's class plans for.
Result<BaseMethod> base_method(Handle self, const Original& o) {
    TRY_LET(Plan p, plan_of(self));
    if (p.base & o.bit) return BaseMethod{&o, {}};
    return base_method(self, o.name);
}

// self.data
Ref data_of(Handle self, const Plan& p) {
    if (p.data_in_dict) {
        TRY_LET(Ref ns, Ref::steal(PyObject_GenericGetDict(self.ptr(), nullptr)));
        PyObject* data = nullptr;
        TRY_LET(bool found, truth(PyDict_GetItemRef(ns.ptr(), id<"data">(), &data)));
        if (found) return Ref::steal(data);
    }
    return self.attr<"data">();  // also the AttributeError of an instance without data
}
Ref data_of(Handle self) {
    TRY_LET(Plan p, plan_of(self));
    return data_of(self, p);
}

// self.data borrowed from the instance dictionary, for a class planned so;
// nullptr (no error) when it is not there. Valid until code runs.
Result<PyObject*> data_in_dict(Handle self) {
    PyObject* ns = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!ns) return failure;
    PyObject* data = PyDict_GetItemWithError(ns, id<"data">());
    Py_DECREF(ns);  // the instance keeps its dictionary
    if (!data && PyErr_Occurred()) return failure;
    return data;
}

// The position an exact int `index` stands for in an exact list, as list
// indexing finds it (negative ones count from the end); -1 when out of
// range, where the list's own indexing reports the error.
Py_ssize_t position_in(PyObject* list, PyObject* index) {
    Py_ssize_t i = PyLong_AsSsize_t(index), n = PyList_GET_SIZE(list);
    if (i == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return -1;
    }
    if (i < 0) i += n;
    return i >= 0 && i < n ? i : -1;
}

// data[index]
Ref item_at(Handle data, Handle index) {
    if (PyList_CheckExact(data.ptr()) && PyLong_CheckExact(index.ptr()))
        if (Py_ssize_t i = position_in(data.ptr(), index.ptr()); i >= 0) return Ref::borrow(PyList_GET_ITEM(data.ptr(), i));
    return data.item(index);
}

// super().__getitem__(index) for an index that is no slice: self.data[index]
Ref base_getitem(Handle self, Handle index) {
    TRY_LET(Plan p, plan_of(self));
    if (plain(p, st.UL_getitem)) {
        TRY_LET(Ref data, data_of(self, p));
        return item_at(data, index);
    }
    return super(st.RefSequence, self).call<"__getitem__">(index);
}
// super().__setitem__(index, value): self.data[index] = value
Status base_setitem(Handle self, Handle index, Handle value) {
    TRY_LET(Plan p, plan_of(self));
    if (plain(p, st.UL_setitem)) {
        TRY_LET(Ref data, data_of(self, p));
        return data.set_item(index, value);
    }
    TRY(super(st.RefSequence, self).call<"__setitem__">(index, value));
    return ok;
}
// super().__delitem__(index): del self.data[index]
Status base_delitem(Handle self, Handle index) {
    TRY_LET(Plan p, plan_of(self));
    if (plain(p, st.UL_delitem)) {
        TRY_LET(Ref data, data_of(self, p));
        return data.del_item(index);
    }
    TRY(super(st.RefSequence, self).call<"__delitem__">(index));
    return ok;
}
// The referent of `ref` is `obj`, and `ref` is a weak reference of the
// interpreter's own type.
bool refers_to(PyObject* ref, PyObject* obj) {
    if (!PyWeakref_CheckRefExact(ref)) return false;
    PyObject* referent = nullptr;
    if (PyWeakref_GetRef(ref, &referent) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(referent);  // alive: others hold it
    return referent == obj;
}

// The first position from `start` on where the exact list `data` holds an
// entry equal to `probe`, a reference to `obj` that the caller holds; -1
// when there is none: what list.index does, one level of calls shorter.
// The list compares each entry with the probe (entry == probe); for a weak
// reference of the interpreter's own type that is the identity of the two,
// or, while both objects live, entry() == obj by the full protocol (no
// identity shortcut). Other entries compare as the list compares them. The
// list is read by position on each step, as it may change while an
// object's __eq__ runs.
Result<Py_ssize_t> find_referent(Handle data, Handle probe, Handle obj, Py_ssize_t start = 0) {
    for (Py_ssize_t i = start; i < PyList_GET_SIZE(data.ptr()); ++i) {
        Ref entry = Ref::borrow(PyList_GET_ITEM(data.ptr(), i));
        if (entry.is(probe)) return i;
        if (!PyWeakref_CheckRefExact(entry.ptr())) {
            TRY_LET(bool equal, truth(PyObject_RichCompareBool(entry.ptr(), probe.ptr(), Py_EQ)));
            if (equal) return i;
            continue;
        }
        Ref referent = weak_referent(entry.ptr());
        if (!referent) continue;  // a dead reference equals only itself
        TRY_LET(Ref result, rich_compare(referent, obj, Py_EQ));
        referent = Ref();
        TRY_LET(bool equal, is_true(result));
        if (equal) return i;
    }
    return -1;
}

// Whether a lookup of `probe`, made for `obj`, in `data` may take
// find_referent: an exact list, the probe a reference of the interpreter's
// own type to obj.
bool findable(Handle data, Handle probe, Handle obj) {
    return PyList_CheckExact(data.ptr()) && refers_to(probe.ptr(), obj.ptr());
}

// contains(probe), bound as super().__contains__: probe in self.data
Result<bool> base_contains(Handle self, const BaseMethod& contains, Handle probe, Handle obj) {
    if (!contains.is(st.UL_contains)) {
        TRY_LET(Ref r, contains(self, probe));
        return r.truthy();
    }
    TRY_LET(Ref data, data_of(self));
    if (!findable(data, probe, obj)) return data.contains(probe);
    TRY_LET(Py_ssize_t i, find_referent(data, probe, obj));
    return i >= 0;
}
// append(entry), bound as super().append before the entry was made: UserList's
// body, self.data.append(entry), runs here.
Status base_append(Handle self, const BaseMethod& append, Handle entry) {
    if (append.is(st.UL_append)) {
        TRY_LET(Ref data, data_of(self));
        if (PyList_CheckExact(data.ptr())) return status(PyList_Append(data.ptr(), entry.ptr()));
        TRY(data.call_method<"append">(entry));
        return ok;
    }
    TRY(append(self, entry));
    return ok;
}
// insert(index, entry), bound as super().insert: self.data.insert(index, entry)
Status base_insert(Handle self, const BaseMethod& insert, Handle index, Handle entry) {
    if (insert.is(st.UL_insert)) {
        TRY_LET(Ref data, data_of(self));
        TRY(data.call_method<"insert">(index, entry));
    } else {
        TRY(insert(self, index, entry));
    }
    return ok;
}
// Where list.remove(dead) would find `dead`, a weak reference whose object
// is gone, in the exact list `data`: a dead reference equals only itself,
// and another weak reference compares with it by identity without running
// any code, so a scan of pointers gives the list's answer. -1 when the scan
// meets an entry of another type (whose comparison may run code) before
// finding it, or does not find it: list.remove then decides, and comparing
// the entries before that one again changes nothing.
// Blocks of entries are tested without a branch per entry, and the block
// where the scan stops is walked again one entry at a time.
Py_ssize_t dead_entry_position(PyObject* data, PyObject* dead) {
    PyObject** items = reinterpret_cast<PyListObject*>(data)->ob_item;
    Py_ssize_t n = PyList_GET_SIZE(data), i = 0;
    constexpr Py_ssize_t block = 8;
    for (; i + block <= n; i += block) {
        bool stop = false;
        for (Py_ssize_t k = i; k < i + block; ++k) stop |= (items[k] == dead) | !PyWeakref_CheckRefExact(items[k]);
        if (stop) break;
    }
    for (; i < n; ++i) {
        if (items[i] == dead) return i;
        if (!PyWeakref_CheckRefExact(items[i])) return -1;
    }
    return -1;
}

// Whether `ref` is a weak reference of the interpreter's own type whose
// object is gone.
bool is_dead_reference(PyObject* ref) {
    if (!PyWeakref_CheckRefExact(ref)) return false;
    PyObject* obj = nullptr;
    if (PyWeakref_GetRef(ref, &obj) < 0) {
        PyErr_Clear();
        return false;
    }
    Py_XDECREF(obj);  // alive: others hold it, so this is not the last reference
    return obj == nullptr;
}

// remove(target), bound as super().remove: self.data.remove(target)
Status base_remove(Handle self, const BaseMethod& remove, Handle target) {
    if (remove.is(st.UL_remove)) {
        TRY_LET(Ref data, data_of(self));
        if (PyList_CheckExact(data.ptr()) && is_dead_reference(target.ptr()))
            if (Py_ssize_t i = dead_entry_position(data.ptr(), target.ptr()); i >= 0)
                return status(PyList_SetSlice(data.ptr(), i, i + 1, nullptr));
        TRY(data.call_method<"remove">(target));
    } else {
        TRY(remove(self, target));
    }
    return ok;
}
// index(probe), bound as super().index: self.data.index(probe)
Ref base_index(Handle self, const BaseMethod& index, Handle probe, Handle obj) {
    if (!index.is(st.UL_index)) return index(self, probe);
    TRY_LET(Ref data, data_of(self));
    if (!findable(data, probe, obj)) return data.call_method<"index">(probe);
    TRY_LET(Py_ssize_t i, find_referent(data, probe, obj));
    if (i < 0) return raise(PyExc_ValueError, "list.index(x): x not in list");
    return Ref::steal(PyLong_FromSsize_t(i));
}
// count(probe), bound as super().count: self.data.count(probe)
Ref base_count(Handle self, const BaseMethod& count, Handle probe, Handle obj) {
    if (!count.is(st.UL_count)) return count(self, probe);
    TRY_LET(Ref data, data_of(self));
    if (!findable(data, probe, obj)) return data.call_method<"count">(probe);
    Py_ssize_t n = 0;
    for (Py_ssize_t i = 0;; ++n, ++i) {
        TRY_LET(i, find_referent(data, probe, obj, i));
        if (i < 0) break;
    }
    return Ref::steal(PyLong_FromSsize_t(n));
}

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

// entry(): the referent of a weak reference (None once it is gone), or
// whatever calling another object stored in `data` gives. The caller holds
// `entry`.
Ref referent(Handle entry) {
    if (PyWeakref_CheckRefExact(entry.ptr())) {
        Ref obj = weak_referent(entry.ptr());
        return obj ? obj : none();
    }
    return Ref::steal(PyObject_CallNoArgs(entry.ptr()));
}

// Whether `obj` has `name` in its instance dictionary.
Result<bool> in_instance_dict(Handle obj, PyObject* name) {
    PyTypeObject* t = obj.type();
    if (!PyType_HasFeature(t, Py_TPFLAGS_MANAGED_DICT) && t->tp_dictoffset == 0) return false;
    TRY_LET(Ref ns, Ref::steal(PyObject_GenericGetDict(obj.ptr(), nullptr)));
    return truth(PyDict_Contains(ns.ptr(), name));
}

// The entries of one operation: weakref.ref, looked up when the first entry
// is made, and self.remove, looked up for each entry.
class Wrapper {
public:
    explicit Wrapper(Handle self) : self_(self) {}

    // weakref.ref(obj, self.remove): an entry to store.
    Ref entry(Handle obj) {
        TRY(start());
        TRY_LET(Ref callback, remove());
        if (plain_) return Ref::steal(PyWeakref_NewRef(obj.ptr(), callback.ptr()));
        return ref_(obj, callback);
    }
    // weakref.ref(obj): a reference to look an object up with.
    Ref probe(Handle obj) {
        TRY(start());
        if (plain_) return Ref::steal(PyWeakref_NewRef(obj.ptr(), nullptr));
        return ref_(obj);
    }

private:
    // weakref.ref, read for the first entry of the operation: reading it
    // for each entry, as Python does, would add a thirteenth to the cost of
    // a plain entry (the name alone) or a quarter (with the module's ref).
    Status start() {
        if (ref_) return ok;
        TRY_LET(Ref weakref, global<"weakref">());
        TRY_LET(ref_, weakref.attr<"ref">());
        plain_ = ref_.is(st.weakref_ref_type);
        return ok;
    }

    // self.remove. While the lookup resolves to the same function of the
    // same class bound to self (the class unchanged, no instance attribute
    // named remove), it gives an equal bound method each time, and the
    // entries of the operation share the first: one object fewer per entry
    // to allocate and for the cycle collector to free.
    Ref remove() {
        PyTypeObject* t = self_.type();
        if (bound_ && t == bound_type_ && type_tag(t) == bound_tag_) {
            TRY_LET(bool shadowed, in_instance_dict(self_, id<"remove">()));
            if (!shadowed) return bound_;
        }
        TRY_LET(Ref callback, self_.attr<"remove">());
        if (type_tag(t) != 0 && t->tp_getattro == PyObject_GenericGetAttr && PyMethod_Check(callback.ptr()) &&
            PyMethod_GET_SELF(callback.ptr()) == self_.ptr()) {
            PyObject* f = PyMethod_GET_FUNCTION(callback.ptr());
            Ref found = type_lookup<"remove">(t);
            if (found.ptr() == f && (PyFunction_Check(f) || is_function(f))) {
                TRY_LET(bool shadowed, in_instance_dict(self_, id<"remove">()));
                if (!shadowed) {
                    bound_ = callback;
                    bound_type_ = t;
                    bound_tag_ = type_tag(t);
                }
            }
        }
        return callback;
    }

    Handle self_;
    Ref ref_;
    bool plain_ = false;
    Ref bound_;
    PyTypeObject* bound_type_ = nullptr;
    unsigned int bound_tag_ = 0;
};

Ref probe_for(Handle self, Handle item) { return Wrapper(self).probe(item); }

// Whether iterating `obj` runs RefSequence.__iter__ (type(obj) does not
// override it); `with_len`: and len(obj), which list(obj) asks first for a
// size hint, is UserList's.
Result<bool> iterates_as_ours(Handle obj, bool with_len);

// [entry() for entry in entries]. A list is indexed on each step: calling an
// entry that is no weak reference runs code that may change the list.
Ref referents_of(Handle entries) {
    TRY_LET(Ref out, list());
    TRY(walk_items(entries, [&](Handle entry) -> Result<bool> {
        TRY_LET(Ref obj, referent(entry));
        TRY(status(PyList_Append(out.ptr(), obj.ptr())));
        return false;
    }));
    return out;
}

// The objects of a sequence that iterates as ours, read from its `data` in
// one pass: [entry() for entry in obj.data]. The list holds them, so none
// can die while an operation works on them (the generator, read while
// other objects die, would skip live entries that move into its place).
Ref snapshot(Handle seq) {
    TRY_LET(Ref data, data_of(seq));
    return referents_of(data);
}

// list(seq): the objects in iteration order. list() asks len(seq) for a
// size hint before it iterates; UserList's __len__ reads len(self.data),
// which runs no code for a list stored in the instance dictionary and is
// left out then.
Ref objects_of(Handle seq) {
    TRY_LET(bool ours, iterates_as_ours(seq, true));
    if (!ours) return Ref::steal(PySequence_List(seq.ptr()));
    TRY_LET(Plan p, plan_of(seq));
    PyObject* data = nullptr;
    if (p.data_in_dict) { TRY_LET(data, data_in_dict(seq)); }
    if (!data || !PyList_CheckExact(data))
        if (PyObject_LengthHint(seq.ptr(), 8) < 0) return failure;
    return snapshot(seq);
}

// for obj in items: f(obj). A sequence that iterates as ours is walked as
// its __iter__ walks it, without the generator: self.data read once, a
// list by position, each object held until the next one is read, as a loop
// variable holds it (an object released by f while its entry is in place
// leaves the sequence only then).
template <class F>
Status for_each(Handle items, F&& f) {
    TRY_LET(bool ours, iterates_as_ours(items, false));
    Ref it, obj;
    if (ours) {
        TRY_LET(Ref data, data_of(items));
        if (PyList_CheckExact(data.ptr())) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i) {
                Ref entry = Ref::borrow(PyList_GET_ITEM(data.ptr(), i));
                TRY_LET(obj, referent(entry));
                TRY(f(Handle(obj)));
            }
            return ok;
        }
        TRY_LET(it, data.iter());
        for (Ref entry;;) {
            TRY_NEXT(it, entry);
            TRY_LET(obj, referent(entry));
            TRY(f(Handle(obj)));
        }
        return ok;
    }
    TRY_LET(it, items.iter());
    for (;;) {
        TRY_NEXT(it, obj);
        TRY(f(Handle(obj)));
    }
    return ok;
}

// [weakref.ref(i, self.remove) for i in items], with the objects held
// until the caller has stored the entries and drops this.
struct Wrapped {
    Ref entries;
    std::vector<Ref> objects;
};

Status wrap_all(Handle self, Handle items, Wrapped& out) {
    Wrapper wrapper(self);
    TRY_LET(out.entries, list());
    return for_each(items, [&](Handle obj) -> Status {
        TRY_LET(Ref entry, wrapper.entry(obj));
        TRY(status(PyList_Append(out.entries.ptr(), entry.ptr())));
        out.objects.push_back(Ref::borrow(obj));
        return ok;
    });
}

// The referents of `data`'s weak references, to keep them alive while the
// entries are reordered. Calls no code.
std::vector<Ref> hold_referents(Handle data) {
    std::vector<Ref> held;
    if (!PyList_CheckExact(data.ptr())) return held;
    held.reserve((size_t)PyList_GET_SIZE(data.ptr()));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i) {
        PyObject* entry = PyList_GET_ITEM(data.ptr(), i);
        if (!PyWeakref_CheckRefExact(entry)) continue;
        if (Ref obj = weak_referent(entry)) held.push_back(std::move(obj));
    }
    return held;
}

// isinstance(index, slice); an int is no slice.
Result<bool> is_slice(Handle index) {
    if (PySlice_Check(index.ptr())) return true;
    if (PyLong_CheckExact(index.ptr())) return false;
    return index.isinstance(Handle(&PySlice_Type));
}

// ---------------------------------------------------------------------------
// Generators: __iter__, and the one a slice hands to the new sequence
// ---------------------------------------------------------------------------

// The body of __iter__ (below). The list is walked by position: an entry removed behind the current one
// moves the later ones down, and the one that takes the current place is
// skipped, as a list iterator does.
struct IterBody final : GenBody {
    Ref self, data, it;  // it: an iterator over a `data` that is no list
    Py_ssize_t index = 0;
    bool started = false;

    explicit IterBody(Handle s) : self(Ref::borrow(s)) {}

    Ref next() override {
        if (!started) {
            started = true;
            TRY_LET(data, data_of(self));
            if (!PyList_CheckExact(data.ptr())) { TRY_LET(it, data.iter()); }
        }
        Ref entry;
        if (it) {
            TRY_LET(bool more, pf::next(it, entry));
            if (!more) return Ref();
        } else {
            if (index >= PyList_GET_SIZE(data.ptr())) return Ref();
            entry = Ref::borrow(PyList_GET_ITEM(data.ptr(), index++));
        }
        return referent(entry);
    }
    int visit(visitproc visit, void* arg) override {
        Py_VISIT(self.ptr());
        Py_VISIT(data.ptr());
        Py_VISIT(it.ptr());
        return 0;
    }
};

constexpr const char* RefSequence_iter_doc =
    "Yield the objects in order.";

// def __iter__(self):
//     data = self.data
//     for entry in data:
//         yield entry()
Ref RefSequence_iter(Ctx ctx, Handle self) { return make_generator(std::make_unique<IterBody>(self), ctx); }

// (entry() for entry in entries): the objects of a slice, read when the
// slice is taken (see slice_objects) and held until the generator is done,
// so that none dies before the new sequence has wrapped it.
struct SliceBody final : GenBody {
    Ref objects;
    Py_ssize_t index = 0;

    explicit SliceBody(Ref o) : objects(std::move(o)) {}

    Ref next() override {
        if (!objects) return Ref();
        if (index >= PyList_GET_SIZE(objects.ptr())) {
            objects = Ref();
            return Ref();
        }
        return Ref::borrow(PyList_GET_ITEM(objects.ptr(), index++));
    }
    int visit(visitproc visit, void* arg) override {
        Py_VISIT(objects.ptr());
        return 0;
    }
};

// [entry() for entry in data[index]], read at once: no code runs between
// taking the entries and holding their objects, so an object that dies
// while the slice is made (in code that the new sequence's class runs
// before it reads the generator, or on another thread meanwhile) has
// either left `data` before its entry was taken or stays alive until the
// new sequence has wrapped it. Otherwise its entry, dead by then, would
// read as None. A dead entry still stored in `data` reads as None, as
// always.
Ref slice_objects(Handle data, Handle index) {
    TRY_LET(Ref entries, data.item(index));
    return referents_of(entries);
}

// ---------------------------------------------------------------------------
// class RefSequence(collections.UserList)
// ---------------------------------------------------------------------------

constexpr const char* RefSequence_doc =
    "RefSequence Class\n"
    "\n"
    "A special implementation of the native list whose stored items are weak\n"
    "references to the objects put into it:\n"
    "\n"
    "- an item is removed automatically once its object is finalised (garbage\n"
    "  collected), without any call on the sequence;\n"
    "- reads return the actual object, never the reference;\n"
    "- writes take actual objects and store weak references to them;\n"
    "- all reference handling is invisible to the user.\n"
    "\n"
    "Because every stored item is a weak reference, mind the context and the\n"
    "garbage collection: holding an object in a RefSequence never keeps it\n"
    "alive, and an object that nothing else refers to leaves the sequence at\n"
    "once.";

constexpr const char* RefSequence_init_doc =
    "Hold every object of the iterable items by weak reference, in order.\n"
    "items may be another RefSequence (its objects are taken).\n"
    "\n"
    "Raises TypeError \"cannot create weak reference to 'T' object\" for an\n"
    "object that cannot be weakly referenced (int, str, tuple, list, dict,\n"
    "None); nothing is stored then.";

// def __init__(self, items=()):
//     super().__init__([weakref.ref(i, self.remove) for i in items])
Status RefSequence_init(Handle self, Handle items) {
    TRY_LET(BaseMethod init, base_method(self, id<"__init__">()));
    Wrapped w;
    TRY(wrap_all(self, items, w));
    TRY(init(self, w.entries));
    return ok;
}

constexpr const char* RefSequence_contains_doc =
    "Return whether an object of the sequence equals item (item in self).\n"
    "\n"
    "Raises TypeError \"cannot create weak reference to 'T' object\" when item\n"
    "cannot be weakly referenced (an int, a str, None): the sequence cannot\n"
    "hold such an object.";

// def __contains__(self, item):
//     return super().__contains__(weakref.ref(item))
Result<bool> RefSequence_contains(Handle self, Handle item) {
    TRY_LET(BaseMethod contains, base_method(self, st.UL_contains));
    TRY_LET(Ref probe, probe_for(self, item));
    return base_contains(self, contains, probe, item);
}

constexpr const char* RefSequence_getitem_doc =
    "Return the object at index, or for a slice a new sequence of the same\n"
    "class holding the objects of the slice with entries of its own.\n"
    "\n"
    "Raises IndexError as list does.";

// def __getitem__(self, index):
//     if isinstance(index, slice):
//         return self.__class__(entry() for entry in self.data[index])
//     return super().__getitem__(index)()
Ref RefSequence_getitem(Handle self, Handle index) {
    TRY_LET(bool slice, is_slice(index));
    if (slice) {
        TRY_LET(Ref cls, self.attr<"__class__">());
        TRY_LET(Ref data, data_of(self));
        TRY_LET(Ref objects, slice_objects(data, index));
        TRY_LET(Ref gen, make_generator(std::make_unique<SliceBody>(std::move(objects)), st.genexpr_name, st.genexpr_qualname));
        return cls(gen);
    }
    // An exact list read at an int position: nothing runs code between
    // reading the entry and calling it, so nothing needs holding.
    if (PyLong_CheckExact(index.ptr())) {
        TRY_LET(Plan p, plan_of(self));
        PyObject* data = nullptr;
        if (p.data_in_dict && plain(p, st.UL_getitem)) { TRY_LET(data, data_in_dict(self)); }
        Py_ssize_t i = data && PyList_CheckExact(data) ? position_in(data, index.ptr()) : -1;
        if (i >= 0 && PyWeakref_CheckRefExact(PyList_GET_ITEM(data, i))) return referent(PyList_GET_ITEM(data, i));
    }
    TRY_LET(Ref entry, base_getitem(self, index));
    return referent(entry);
}

constexpr const char* RefSequence_setitem_doc =
    "Hold item at index by weak reference; for a slice, item is an iterable of\n"
    "objects and the slice follows list rules.\n"
    "\n"
    "Raises TypeError for an object that cannot be weakly referenced, IndexError\n"
    "and ValueError as list does.";

// def __setitem__(self, index, item):
//     if isinstance(index, slice):
//         item = [weakref.ref(i, self.remove) for i in item]
//     else:
//         item = weakref.ref(item, self.remove)
//     super().__setitem__(index, item)
Status RefSequence_setitem(Handle self, Handle index, Handle item) {
    TRY_LET(bool slice, is_slice(index));
    if (slice) {
        Wrapped w;
        TRY(wrap_all(self, item, w));
        return base_setitem(self, index, w.entries);
    }
    TRY_LET(Ref entry, Wrapper(self).entry(item));
    return base_setitem(self, index, entry);
}

Result<bool> iterates_as_ours(Handle obj, bool with_len) {
    if (!is_impl<RefSequence_iter>(type_lookup<"__iter__">(obj.type()).ptr())) return false;
    if (!with_len) return true;
    TRY_LET(Plan p, plan_of(obj));
    return (p.own & st.UL_len.bit) && PyFunction_GET_CODE(st.UL_len.func.ptr()) == st.UL_len.code.ptr();
}

// list(self) <op> other: the objects compared by the full comparison
// protocol. Against another RefSequence the list declines and the reflected
// operation of `other` compares its own objects.
Ref compare(Handle self, Handle other, int op) {
    TRY_LET(Ref objs, objects_of(self));
    return Ref::steal(PyObject_RichCompare(objs.ptr(), other.ptr(), op));
}

// list(self) <op> cast(other): the ordering compares the two object lists
// in the written order, another UserList cast to its objects as UserList
// casts it, so that the objects of self are always the left operands.
Ref order(Handle self, Handle other, int op) {
    TRY_LET(Ref objs, objects_of(self));
    TRY_LET(Ref collections, global<"collections">());
    TRY_LET(Ref userlist, collections.attr<"UserList">());
    TRY_LET(bool cast, other.isinstance(userlist));
    Ref rhs = Ref::borrow(other);
    if (cast) { TRY_LET(rhs, objects_of(other)); }
    return Ref::steal(PyObject_RichCompare(objs.ptr(), rhs.ptr(), op));
}

constexpr const char* RefSequence_eq_doc =
    "Return list(self) == other: the objects in order compared with a list, or\n"
    "with the objects of another RefSequence.";

// def __eq__(self, other):
//     return list(self) == other
Ref RefSequence_eq(Handle self, Handle other) { return compare(self, other, Py_EQ); }

constexpr const char* RefSequence_order_doc =
    "Compare the objects in order with those of other (a list, or another\n"
    "UserList such as a RefSequence), as list comparison does.";

// def __lt__(self, other):
//     return list(self) < (list(other) if isinstance(other, UserList) else other)
Ref RefSequence_lt(Handle self, Handle other) { return order(self, other, Py_LT); }
// def __le__(self, other): the same with <=
Ref RefSequence_le(Handle self, Handle other) { return order(self, other, Py_LE); }
// def __gt__(self, other): the same with >
Ref RefSequence_gt(Handle self, Handle other) { return order(self, other, Py_GT); }
// def __ge__(self, other): the same with >=
Ref RefSequence_ge(Handle self, Handle other) { return order(self, other, Py_GE); }

constexpr const char* RefSequence_reversed_doc =
    "Return a new sequence of the same class with the objects in reverse order\n"
    "(self[::-1]); it is iterable, not an iterator.";

// def __reversed__(self):
//     return self[::-1]
Ref RefSequence_reversed(Handle self) {
    TRY_LET(Ref step, integer(-1));
    TRY_LET(Ref backwards, Ref::steal(PySlice_New(nullptr, nullptr, step.ptr())));
    return self.item(backwards);
}

constexpr const char* RefSequence_remove_doc =
    "Remove the first entry whose object equals item. Given a weak reference,\n"
    "remove the first entry equal to it instead: this is how the entry of a\n"
    "collected object removes itself, and what a subclass that overrides\n"
    "remove() receives then.\n"
    "\n"
    "Raises ValueError \"list.remove(x): x not in list\" when there is no such\n"
    "entry, and TypeError \"cannot create weak reference to 'T' object\" for an\n"
    "item that cannot be weakly referenced.";

// def remove(self, item):
//     if isinstance(item, weakref.ReferenceType):
//         super().remove(item)
//     else:
//         super().remove(weakref.ref(item))
//
// Called with the dead entry when a stored object is finalised: a dead
// reference equals only itself, so exactly that entry goes.
Status RefSequence_remove(Handle self, Handle item) {
    TRY_LET(Ref weakref, global<"weakref">());
    TRY_LET(Ref reference_type, weakref.attr<"ReferenceType">());
    TRY_LET(bool is_reference, item.isinstance(reference_type));
    TRY_LET(BaseMethod remove, base_method(self, st.UL_remove));
    if (is_reference) return base_remove(self, remove, item);
    TRY_LET(Ref probe, probe_for(self, item));
    return base_remove(self, remove, probe);
}

constexpr const char* RefSequence_append_doc =
    "Hold item at the end, by weak reference: its entry leaves the sequence by\n"
    "itself when item is collected.\n"
    "\n"
    "Raises TypeError \"cannot create weak reference to 'T' object\" for an\n"
    "object that cannot be weakly referenced.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> class Job: pass\n"
    "    >>> jobs, job = RefSequence(), Job()\n"
    "    >>> jobs.append(job)\n"
    "    >>> len(jobs)\n"
    "    1\n"
    "    >>> del job\n"
    "    >>> len(jobs)\n"
    "    0";

// def append(self, item):
//     super().append(weakref.ref(item, self.remove))
Status RefSequence_append(Handle self, Handle item) {
    TRY_LET(BaseMethod append, base_method(self, st.UL_append));
    TRY_LET(Ref entry, Wrapper(self).entry(item));
    return base_append(self, append, entry);
}

constexpr const char* RefSequence_index_doc =
    "Return the position of the first object equal to item. There are no\n"
    "start and stop arguments.\n"
    "\n"
    "Raises ValueError \"list.index(x): x not in list\" when there is none, and\n"
    "TypeError for an item that cannot be weakly referenced.";

// def index(self, item):
//     return super().index(weakref.ref(item))
Ref RefSequence_index(Handle self, Handle item) {
    TRY_LET(BaseMethod index, base_method(self, st.UL_index));
    TRY_LET(Ref probe, probe_for(self, item));
    return base_index(self, index, probe, item);
}

constexpr const char* RefSequence_count_doc =
    "Return the number of objects equal to item.\n"
    "\n"
    "Raises TypeError for an item that cannot be weakly referenced.";

// def count(self, item):
//     return super().count(weakref.ref(item))
Ref RefSequence_count(Handle self, Handle item) {
    TRY_LET(BaseMethod count, base_method(self, st.UL_count));
    TRY_LET(Ref probe, probe_for(self, item));
    return base_count(self, count, probe, item);
}

constexpr const char* RefSequence_pop_doc =
    "Remove the first entry whose object equals item, and return that object.\n"
    "Unlike list.pop, the argument is an object, not a position, and it is\n"
    "required.\n"
    "\n"
    "Raises ValueError \"list.index(x): x not in list\" when there is none, and\n"
    "TypeError for an item that cannot be weakly referenced.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> class Job: pass\n"
    "    >>> a, b = Job(), Job()\n"
    "    >>> jobs = RefSequence([a, b])\n"
    "    >>> jobs.pop(a) is a, jobs == [b]\n"
    "    (True, True)";

// def pop(self, item):
//     position = super().index(weakref.ref(item))
//     obj = super().__getitem__(position)()
//     super().__delitem__(position)
//     return obj
Ref RefSequence_pop(Handle self, Handle item) {
    TRY_LET(BaseMethod index, base_method(self, st.UL_index));
    TRY_LET(Ref probe, probe_for(self, item));
    TRY_LET(Ref position, base_index(self, index, probe, item));
    TRY_LET(Ref entry, base_getitem(self, position));
    TRY_LET(Ref obj, referent(entry));
    TRY(base_delitem(self, position));
    return obj;
}

constexpr const char* RefSequence_insert_doc =
    "Hold item before index, by weak reference; the index follows list.insert\n"
    "(clamped to the ends).\n"
    "\n"
    "Raises TypeError for an object that cannot be weakly referenced.";

// def insert(self, index, item):
//     super().insert(index, weakref.ref(item, self.remove))
Status RefSequence_insert(Handle self, Handle index, Handle item) {
    TRY_LET(BaseMethod insert, base_method(self, st.UL_insert));
    TRY_LET(Ref entry, Wrapper(self).entry(item));
    return base_insert(self, insert, index, entry);
}

constexpr const char* RefSequence_extend_doc =
    "Hold every object of the iterable items at the end, in order, by weak\n"
    "reference. All are wrapped first: an object that cannot be weakly\n"
    "referenced raises TypeError and adds nothing.";

// def extend(self, items):
//     super().extend([weakref.ref(i, self.remove) for i in items])
Status RefSequence_extend(Handle self, Handle items) {
    TRY_LET(BaseMethod extend, base_method(self, id<"extend">()));
    Wrapped w;
    TRY(wrap_all(self, items, w));
    TRY(extend(self, w.entries));
    return ok;
}

// The sort keys, made on each call.
FuncDef* key_of_referent_def;
FuncDef* key_applied_def;
constexpr const char* sort_key_qualname = "RefSequence.sort.<locals>.<lambda>";

// lambda x: x()
Ref key_of_referent(Handle x) { return referent(x); }
// lambda x: key(x())
Ref key_applied(Ctx ctx, Handle x) {
    TRY_LET(Ref obj, referent(x));
    return ctx.closure()(obj);
}
// The same keys for list.sort alone, which only calls them.
Ref quick_key_of_referent(Handle, Handle x) { return referent(x); }
Ref quick_key_applied(Handle key, Handle x) {
    TRY_LET(Ref obj, referent(x));
    return key(obj);
}

constexpr const char* RefSequence_sort_doc =
    "Sort the sequence in place by its objects, stably; key, when given, is\n"
    "applied to each object. The objects are kept alive until the sort ends;\n"
    "one released meanwhile leaves the sequence after it.\n"
    "\n"
    "Raises what the comparisons or key raise (TypeError for objects that\n"
    "cannot be ordered).";

// def sort(self, key=None, reverse=False):
//     if key is None:
//         k = lambda x: x()
//     else:
//         k = lambda x: key(x())
//     held = [e() for e in self.data if type(e) is weakref.ref]
//     return super().sort(key=k, reverse=reverse)
//
// While the list sorts it looks empty, so an object that died then could
// not find its entry and would leave it behind, dead: the objects are held
// until the sort is over, and one released meanwhile leaves the sequence
// after it. The keys of the first form are the objects themselves, but the
// list's sort lets go of its keys before it puts the entries back, so an
// object whose last other reference went while it sorted (dropped by a
// comparison, or by another thread) would die with its entry out of the
// list: they are held here too.
Ref RefSequence_sort(Handle self, Handle key, Handle reverse) {
    TRY_LET(Ref data, data_of(self));
    std::vector<Ref> held = hold_referents(data);
    TRY_LET(bool direct, plain_base(self, st.UL_sort));
    Ref k, sort;
    if (direct) {
        // UserList.sort's body, self.data.sort(key=k, reverse=reverse), with
        // self.data read again.
        TRY_LET(data, data_of(self));
        TRY_LET(sort, data.attr<"sort">());
        if (PyList_CheckExact(data.ptr())) {
            // k reaches list.sort only, which calls it once per entry.
            if (key.is_none()) {
                TRY_LET(k, callable_of_one<quick_key_of_referent>());
            } else {
                TRY_LET(k, callable_of_one<quick_key_applied>(key));
            }
            return call_kw(sort, {}, {{id<"key">(), k}, {id<"reverse">(), reverse}});
        }
    } else {
        TRY_LET(sort, super(st.RefSequence, self).attr<"sort">());
    }
    if (key.is_none()) {
        TRY_LET(k, make_function(key_of_referent_def, module_name(), sort_key_qualname));
    } else {
        TRY_LET(k, make_function(key_applied_def, module_name(), sort_key_qualname, key));
    }
    return call_kw(sort, {}, {{id<"key">(), k}, {id<"reverse">(), reverse}});
}

// TypeError('can only concatenante RefSequence (not "{value_type}") to RefSequence'
//           .format(value_type=type(item).__name__))
Failure refuse_concatenation(Handle item) {
    TRY_LET(Ref name, type_of(item).attr<"__name__">());
    TRY_LET(Ref text, Ref::steal(PyObject_Format(name.ptr(), nullptr)));
    TRY_LET(Ref message, concat("can only concatenante RefSequence (not \"", text, "\") to RefSequence"));
    return raise_value(PyExc_TypeError, message.ptr());
}

// r = RefSequence(); r.extend(first); r.extend(second); return r
Ref joined(Handle cls, Handle first, Handle second) {
    TRY_LET(Ref r, cls());
    TRY(r.call_method<"extend">(first));
    TRY(r.call_method<"extend">(second));
    return r;
}

constexpr const char* RefSequence_add_doc =
    "Return a new RefSequence with the objects of self, then those of item.\n"
    "The result is always a plain RefSequence, with entries of its own.\n"
    "\n"
    "Raises TypeError 'can only concatenante RefSequence (not \"T\") to\n"
    "RefSequence' when item is not a RefSequence; use += to add the objects of\n"
    "any iterable.";

// def __add__(self, item):
//     if not isinstance(item, RefSequence): raise TypeError(...)
//     r = RefSequence()
//     r.extend(self)
//     r.extend(item)
//     return r
Ref RefSequence_add(Handle self, Handle item) {
    TRY_LET(Ref cls, global<"RefSequence">());
    TRY_LET(bool sequence, item.isinstance(cls));
    if (!sequence) return refuse_concatenation(item);
    return joined(cls, self, item);
}

constexpr const char* RefSequence_radd_doc =
    "Return other + self for another RefSequence other, as __add__ does.\n"
    "\n"
    "Raises TypeError 'can only concatenante RefSequence (not \"T\") to\n"
    "RefSequence' for anything else.";

// def __radd__(self, other):
//     if not isinstance(other, RefSequence): raise TypeError(...)
//     return <a RefSequence of other's objects, then self's>
// (the same refusal as self + other)
Ref RefSequence_radd(Handle self, Handle other) {
    TRY_LET(Ref cls, global<"RefSequence">());
    TRY_LET(bool sequence, other.isinstance(cls));
    if (!sequence) return refuse_concatenation(other);
    return joined(cls, other, self);
}

constexpr const char* RefSequence_iadd_doc =
    "Hold every object of the iterable items at the end (self += items) and\n"
    "return self. Unlike +, any iterable of objects is accepted; an object that\n"
    "cannot be weakly referenced raises TypeError and adds nothing.";

// def __iadd__(self, items):
//     return super().__iadd__([weakref.ref(i, self.remove) for i in items])
Ref RefSequence_iadd(Handle self, Handle items) {
    TRY_LET(BaseMethod iadd, base_method(self, id<"__iadd__">()));
    Wrapped w;
    TRY(wrap_all(self, items, w));
    return iadd(self, w.entries);
}

constexpr const char* RefSequence_mul_doc =
    "Return a new sequence of the same class holding the objects n times over\n"
    "(self * n), each with an entry of its own.";

constexpr const char* RefSequence_rmul_doc =
    "Return n * self, as self * n.";

// def __mul__(self, n):
//     return self.__class__(list(self) * n)
// __rmul__ = __mul__
Ref RefSequence_mul(Handle self, Handle n) {
    TRY_LET(Ref cls, self.attr<"__class__">());
    TRY_LET(Ref objs, objects_of(self));
    TRY_LET(Ref repeated, Ref::steal(PyNumber_Multiply(objs.ptr(), n.ptr())));
    return cls(repeated);
}

constexpr const char* RefSequence_imul_doc =
    "Repeat the objects n times in place (``self *= n``) and return self.";

// def __imul__(self, n):
//     objs = list(self)
//     objs *= n
//     super().__setitem__(slice(None), [weakref.ref(i, self.remove) for i in objs])
//     return self
Ref RefSequence_imul(Handle self, Handle n) {
    TRY_LET(Ref objs, objects_of(self));
    TRY_LET(Ref repeated, Ref::steal(PyNumber_InPlaceMultiply(objs.ptr(), n.ptr())));
    Wrapped w;
    TRY(wrap_all(self, repeated, w));
    TRY_LET(Ref all, Ref::steal(PySlice_New(nullptr, nullptr, nullptr)));
    TRY(base_setitem(self, all, w.entries));
    return Ref::borrow(self);
}

constexpr const char* RefSequence_copy_doc =
    "A copy holds the same objects, with entries of its own: self.copy().\n"
    "A weak container does not own its objects, so a deep copy does not copy\n"
    "them either.";

// def __copy__(self): return self.copy()
Ref RefSequence_copy(Handle self) { return self.call_method<"copy">(); }
// def __deepcopy__(self, memo): return self.copy()
Ref RefSequence_deepcopy(Handle self, Handle) { return self.call_method<"copy">(); }

// "RefSequence([" + ", ".join([render(i) for i in self]) + "])"
Ref rendered(Handle self, Ref (*render)(Handle)) {
    TRY_LET(Ref pieces, list());
    auto add_piece = [&](Handle obj) -> Status {
        TRY_LET(Ref piece, render(obj));
        return status(PyList_Append(pieces.ptr(), piece.ptr()));
    };
    TRY(for_each(self, add_piece));
    TRY_LET(Ref text, Ref::steal(PyUnicode_Join(id<", ">(), pieces.ptr())));
    return concat("RefSequence([", text, "])");
}

constexpr const char* RefSequence_repr_doc =
    "Return \"RefSequence([...])\" with the repr() of each object, for a\n"
    "subclass too.";

// def __repr__(self):
//     return "RefSequence([" + ", ".join([repr(i) for i in self]) + "])"
Ref RefSequence_repr(Handle self) {
    return rendered(self, [](Handle o) { return o.repr(); });
}

constexpr const char* RefSequence_str_doc =
    "Return \"RefSequence([...])\" with the str() of each object, for a subclass\n"
    "too.";

// def __str__(self):
//     return "RefSequence([" + ", ".join([str(i) for i in self]) + "])"
Ref RefSequence_str(Handle self) {
    return rendered(self, [](Handle o) { return o.str(); });
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(import("weakref"));
    TRY(import("collections"));
    TRY_LET(Ref collections, global<"collections">());
    TRY_LET(Ref userlist, collections.attr<"UserList">());
    PyObject* const names[] = {id<"__getitem__">(), id<"__setitem__">(), id<"__delitem__">(), id<"__contains__">(),
                               id<"append">(),      id<"insert">(),      id<"remove">(),      id<"index">(),
                               id<"count">(),       id<"sort">(),        id<"__len__">()};
    for (size_t i = 0; i < std::size(st.originals); ++i) TRY(capture(*st.originals[i], userlist, names[i], 1u << i));
    TRY_LET(Ref name, str("<genexpr>"));
    st.genexpr_name.set(std::move(name));
    TRY_LET(Ref qualname, str("RefSequence.__getitem__.<locals>.<genexpr>"));
    st.genexpr_qualname.set(std::move(qualname));
    key_of_referent_def = def<key_of_referent>("<lambda>", "x");
    key_applied_def = def<key_applied>("<lambda>", "x");
    if (!key_of_referent_def || !key_applied_def) return failure;
    {
        TRY_LET(Ref reference, Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject*>(&PyType_Type), nullptr)));
        st.weakref_ref_type.set(type_of(reference));
    }

    return define_class(
        st.RefSequence, "RefSequence",
        ClassDef("RefSequence", RefSequence_doc)
            .bases({userlist})
            .method(def<RefSequence_init>("__init__", "self, items=()", RefSequence_init_doc))
            .method(def<RefSequence_contains>("__contains__", "self, item", RefSequence_contains_doc))
            .method(def<RefSequence_getitem>("__getitem__", "self, index", RefSequence_getitem_doc))
            .method(def<RefSequence_setitem>("__setitem__", "self, index, item", RefSequence_setitem_doc))
            .method(def<RefSequence_iter>("__iter__", "self", RefSequence_iter_doc))
            .method(def<RefSequence_eq>("__eq__", "self, other", RefSequence_eq_doc))
            .method(def<RefSequence_reversed>("__reversed__", "self", RefSequence_reversed_doc))
            .method(def<RefSequence_remove>("remove", "self, item", RefSequence_remove_doc))
            .method(def<RefSequence_append>("append", "self, item", RefSequence_append_doc))
            .method(def<RefSequence_index>("index", "self, item", RefSequence_index_doc))
            .method(def<RefSequence_count>("count", "self, item", RefSequence_count_doc))
            .method(def<RefSequence_pop>("pop", "self, item", RefSequence_pop_doc))
            .method(def<RefSequence_insert>("insert", "self, index, item", RefSequence_insert_doc))
            .method(def<RefSequence_extend>("extend", "self, items", RefSequence_extend_doc))
            .method(def<RefSequence_sort>("sort", "self, key=None, reverse=False", RefSequence_sort_doc))
            .method(def<RefSequence_add>("__add__", "self, item", RefSequence_add_doc))
            .method(def<RefSequence_iadd>("__iadd__", "self, items", RefSequence_iadd_doc))
            .method(def<RefSequence_repr>("__repr__", "self", RefSequence_repr_doc))
            .method(def<RefSequence_str>("__str__", "self", RefSequence_str_doc))
            .method(def<RefSequence_radd>("__radd__", "self, other", RefSequence_radd_doc))
            .method(def<RefSequence_mul>("__mul__", "self, n", RefSequence_mul_doc))
            .method(def<RefSequence_mul>("__rmul__", "self, n", RefSequence_rmul_doc))
            .method(def<RefSequence_imul>("__imul__", "self, n", RefSequence_imul_doc))
            .method(def<RefSequence_lt>("__lt__", "self, other", RefSequence_order_doc))
            .method(def<RefSequence_le>("__le__", "self, other", RefSequence_order_doc))
            .method(def<RefSequence_gt>("__gt__", "self, other", RefSequence_order_doc))
            .method(def<RefSequence_ge>("__ge__", "self, other", RefSequence_order_doc))
            .method(def<RefSequence_copy>("__copy__", "self", RefSequence_copy_doc))
            .method(def<RefSequence_deepcopy>("__deepcopy__", "self, memo", RefSequence_copy_doc)));
}

}  // namespace

PF_MODULE(refsequence, body)
