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
// (weakref, RefSequence) are looked up when a method runs.
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

Class RefSequence;

// ---------------------------------------------------------------------------
// The base class's own methods
// ---------------------------------------------------------------------------

// A method of collections.UserList as the module body found it, with its
// code object (kept, so that a replaced __code__ is noticed).
struct Original {
    PyObject* name = nullptr;
    Class func;
    Class code;
};
Original UL_getitem, UL_setitem, UL_delitem, UL_contains, UL_append, UL_insert, UL_remove, UL_index, UL_count,
    UL_sort, UL_len;

Status capture(Original& o, Handle userlist, PyObject* name) {
    o.name = name;
    Ref f = type_lookup(reinterpret_cast<PyTypeObject*>(userlist.ptr()), name);
    if (f && PyFunction_Check(f.ptr())) {
        o.code.set(Ref::borrow(PyFunction_GET_CODE(f.ptr())));
        o.func.set(std::move(f));
    }
    return ok;
}

// True when super(RefSequence, self).<name> is that method, unchanged; its
// body, `self.data.<operation>`, may then run here.
Result<bool> plain_base(Handle self, const Original& o) {
    if (!o.func.ptr()) return false;
    SuperFound f = TRY(super(RefSequence, self).find(o.name));
    return f.attr && f.attr.is(o.func) && PyFunction_GET_CODE(f.attr.ptr()) == o.code.ptr();
}

// super().__getitem__(index) for an index that is no slice: self.data[index]
Ref base_getitem(Handle self, Handle index) {
    if (TRY(plain_base(self, UL_getitem))) return TRY(self.attr<"data">()).item(index);
    return super(RefSequence, self).call<"__getitem__">(index);
}
// super().__setitem__(index, value): self.data[index] = value
Status base_setitem(Handle self, Handle index, Handle value) {
    if (TRY(plain_base(self, UL_setitem))) return TRY(self.attr<"data">()).set_item(index, value);
    TRY(super(RefSequence, self).call<"__setitem__">(index, value));
    return ok;
}
// super().__delitem__(index): del self.data[index]
Status base_delitem(Handle self, Handle index) {
    if (TRY(plain_base(self, UL_delitem))) return TRY(self.attr<"data">()).del_item(index);
    TRY(super(RefSequence, self).call<"__delitem__">(index));
    return ok;
}
// super().__contains__(probe): probe in self.data
Result<bool> base_contains(Handle self, Handle probe) {
    if (TRY(plain_base(self, UL_contains))) return TRY(self.attr<"data">()).contains(probe);
    Ref r = TRY(super(RefSequence, self).call<"__contains__">(probe));
    return r.truthy();
}
// super().append(entry): self.data.append(entry)
Status base_append(Handle self, Handle entry) {
    if (TRY(plain_base(self, UL_append))) {
        Ref data = TRY(self.attr<"data">());
        if (PyList_CheckExact(data.ptr())) return status(PyList_Append(data.ptr(), entry.ptr()));
        TRY(data.call_method<"append">(entry));
        return ok;
    }
    TRY(super(RefSequence, self).call<"append">(entry));
    return ok;
}
// super().insert(index, entry): self.data.insert(index, entry)
Status base_insert(Handle self, Handle index, Handle entry) {
    if (TRY(plain_base(self, UL_insert))) TRY(TRY(self.attr<"data">()).call_method<"insert">(index, entry));
    else TRY(super(RefSequence, self).call<"insert">(index, entry));
    return ok;
}
// super().remove(target): self.data.remove(target)
Status base_remove(Handle self, Handle target) {
    if (TRY(plain_base(self, UL_remove))) TRY(TRY(self.attr<"data">()).call_method<"remove">(target));
    else TRY(super(RefSequence, self).call<"remove">(target));
    return ok;
}
// super().index(probe): self.data.index(probe)
Ref base_index(Handle self, Handle probe) {
    if (TRY(plain_base(self, UL_index))) return TRY(self.attr<"data">()).call_method<"index">(probe);
    return super(RefSequence, self).call<"index">(probe);
}
// super().count(probe): self.data.count(probe)
Ref base_count(Handle self, Handle probe) {
    if (TRY(plain_base(self, UL_count))) return TRY(self.attr<"data">()).call_method<"count">(probe);
    return super(RefSequence, self).call<"count">(probe);
}

// ---------------------------------------------------------------------------
// Entries
// ---------------------------------------------------------------------------

// entry(): the referent of a weak reference (None once it is gone), or
// whatever calling another object stored in `data` gives. The caller holds
// `entry`.
Ref referent(Handle entry) {
    if (PyWeakref_CheckRefExact(entry.ptr())) {
        PyObject* obj = nullptr;
        if (PyWeakref_GetRef(entry.ptr(), &obj) < 0) return failure;
        return obj ? Ref::steal(obj) : none();
    }
    return Ref::steal(PyObject_CallNoArgs(entry.ptr()));
}

// weakref.ref, looked up once per operation, when the first entry is made.
class Wrapper {
public:
    explicit Wrapper(Handle self) : self_(self) {}

    // weakref.ref(obj, self.remove): an entry to store.
    Ref entry(Handle obj) {
        TRY(start());
        Ref callback = TRY(self_.attr<"remove">());
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
    Status start() {
        if (ref_) return ok;
        Ref weakref = TRY(global<"weakref">());
        ref_ = TRY(weakref.attr<"ref">());
        plain_ = ref_.is(reinterpret_cast<PyObject*>(&_PyWeakref_RefType));
        return ok;
    }

    Handle self_;
    Ref ref_;
    bool plain_ = false;
};

Ref probe_for(Handle self, Handle item) { return Wrapper(self).probe(item); }

// Whether iterating `obj` runs RefSequence.__iter__ (type(obj) does not
// override it); `with_len`: and len(obj), which list(obj) asks first for a
// size hint, is UserList's.
bool iterates_as_ours(Handle obj, bool with_len);

// The objects of a sequence that iterates as ours, read from its `data` in
// one pass: [entry() for entry in obj.data]. The list holds them, so none
// can die while an operation works on them (the generator, read while
// other objects die, would skip live entries that move into its place).
Ref snapshot(Handle seq) {
    Ref data = TRY(seq.attr<"data">());
    Ref out = TRY(list());
    if (PyList_CheckExact(data.ptr())) {
        // Indexed on each step: calling an entry that is no weak reference
        // runs code that may change the list.
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(data.ptr()); ++i) {
            Ref entry = Ref::borrow(PyList_GET_ITEM(data.ptr(), i));
            Ref obj = TRY(referent(entry));
            TRY(status(PyList_Append(out.ptr(), obj.ptr())));
        }
        return out;
    }
    Ref it = TRY(data.iter());
    for (Ref entry; TRY(next(it, entry));) {
        Ref obj = TRY(referent(entry));
        TRY(status(PyList_Append(out.ptr(), obj.ptr())));
    }
    return out;
}

// list(seq): the objects in iteration order.
Ref objects_of(Handle seq) {
    if (iterates_as_ours(seq, true)) return snapshot(seq);
    return Ref::steal(PySequence_List(seq.ptr()));
}

// Calls `f(obj)` for each object that iterating `items` gives (a sequence
// that iterates as ours: its objects as one snapshot).
template <class F>
Status for_each(Handle items, F&& f) {
    if (iterates_as_ours(items, false)) {
        Ref objs = TRY(snapshot(items));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(objs.ptr()); ++i) TRY(f(Handle(PyList_GET_ITEM(objs.ptr(), i))));
        return ok;
    }
    Ref it = TRY(items.iter());
    for (Ref item; TRY(next(it, item));) TRY(f(Handle(item)));
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
    out.entries = TRY(list());
    return for_each(items, [&](Handle obj) -> Status {
        Ref entry = TRY(wrapper.entry(obj));
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
        PyObject* obj = nullptr;
        if (PyWeakref_CheckRefExact(entry) && PyWeakref_GetRef(entry, &obj) > 0) held.push_back(Ref::steal(obj));
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

// def __iter__(self):
//     data = self.data
//     for entry in data:
//         yield entry()
//
// The list is walked by position: an entry removed behind the current one
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
            data = TRY(self.attr<"data">());
            if (!PyList_CheckExact(data.ptr())) it = TRY(data.iter());
        }
        Ref entry;
        if (it) {
            if (!TRY(pf::next(it, entry))) return Ref();
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

// (entry() for entry in entries): the objects of a slice, read all at once
// when the generator starts and held while it runs, so that none dies
// before the new sequence has wrapped it.
struct SliceBody final : GenBody {
    Ref entries, objects;
    Py_ssize_t index = 0;

    explicit SliceBody(Ref e) : entries(std::move(e)) {}

    Ref next() override {
        if (!objects) {
            objects = TRY(list());
            Ref it = TRY(entries.iter());
            entries = Ref();
            for (Ref entry; TRY(pf::next(it, entry));) TRY(status(PyList_Append(objects.ptr(), TRY(referent(entry)).ptr())));
        }
        if (index >= PyList_GET_SIZE(objects.ptr())) return Ref();
        return Ref::borrow(PyList_GET_ITEM(objects.ptr(), index++));
    }
    int visit(visitproc visit, void* arg) override {
        Py_VISIT(entries.ptr());
        Py_VISIT(objects.ptr());
        return 0;
    }
};
Class genexpr_name, genexpr_qualname;

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

// def __init__(self, items=()):
//     super().__init__([weakref.ref(i, self.remove) for i in items])
Status RefSequence_init(Handle self, Handle items) {
    Wrapped w;
    TRY(wrap_all(self, items, w));
    TRY(super(RefSequence, self).call<"__init__">(w.entries));
    return ok;
}

// def __contains__(self, item):
//     return super().__contains__(weakref.ref(item))
Result<bool> RefSequence_contains(Handle self, Handle item) {
    Ref probe = TRY(probe_for(self, item));
    return base_contains(self, probe);
}

// def __getitem__(self, index):
//     if isinstance(index, slice):
//         return self.__class__(entry() for entry in self.data[index])
//     return super().__getitem__(index)()
Ref RefSequence_getitem(Handle self, Handle index) {
    if (TRY(is_slice(index))) {
        Ref cls = TRY(self.attr<"__class__">());
        Ref data = TRY(self.attr<"data">());
        Ref entries = TRY(data.item(index));
        Ref gen = TRY(make_generator(std::make_unique<SliceBody>(std::move(entries)), genexpr_name, genexpr_qualname));
        return cls(gen);
    }
    Ref entry = TRY(base_getitem(self, index));
    return referent(entry);
}

// def __setitem__(self, index, item):
//     if isinstance(index, slice):
//         item = [weakref.ref(i, self.remove) for i in item]
//     else:
//         item = weakref.ref(item, self.remove)
//     super().__setitem__(index, item)
Status RefSequence_setitem(Handle self, Handle index, Handle item) {
    if (TRY(is_slice(index))) {
        Wrapped w;
        TRY(wrap_all(self, item, w));
        return base_setitem(self, index, w.entries);
    }
    Ref entry = TRY(Wrapper(self).entry(item));
    return base_setitem(self, index, entry);
}

Ref RefSequence_iter(Ctx ctx, Handle self) { return make_generator(std::make_unique<IterBody>(self), ctx); }

bool iterates_as_ours(Handle obj, bool with_len) {
    PyTypeObject* t = obj.type();
    if (!is_impl<RefSequence_iter>(type_lookup<"__iter__">(t).ptr())) return false;
    if (!with_len) return true;
    Ref len = type_lookup<"__len__">(t);
    return len && UL_len.func.ptr() && len.is(UL_len.func) && PyFunction_GET_CODE(len.ptr()) == UL_len.code.ptr();
}

// list(self) <op> other: the objects compared by the full comparison
// protocol. Against another RefSequence the list declines and the reflected
// operation of `other` compares its own objects.
Ref compare(Handle self, Handle other, int op) {
    Ref objs = TRY(objects_of(self));
    return Ref::steal(PyObject_RichCompare(objs.ptr(), other.ptr(), op));
}

// def __eq__(self, other):
//     return list(self) == other
Ref RefSequence_eq(Handle self, Handle other) { return compare(self, other, Py_EQ); }
Ref RefSequence_lt(Handle self, Handle other) { return compare(self, other, Py_LT); }
Ref RefSequence_le(Handle self, Handle other) { return compare(self, other, Py_LE); }
Ref RefSequence_gt(Handle self, Handle other) { return compare(self, other, Py_GT); }
Ref RefSequence_ge(Handle self, Handle other) { return compare(self, other, Py_GE); }

// def __reversed__(self):
//     return self[::-1]
Ref RefSequence_reversed(Handle self) {
    Ref step = TRY(integer(-1));
    Ref backwards = TRY(Ref::steal(PySlice_New(nullptr, nullptr, step.ptr())));
    return self.item(backwards);
}

// def remove(self, item):
//     if isinstance(item, weakref.ReferenceType):
//         super().remove(item)
//     else:
//         super().remove(weakref.ref(item))
//
// Called with the dead entry when a stored object is finalised: a dead
// reference equals only itself, so exactly that entry goes.
Status RefSequence_remove(Handle self, Handle item) {
    Ref weakref = TRY(global<"weakref">());
    Ref reference_type = TRY(weakref.attr<"ReferenceType">());
    if (TRY(item.isinstance(reference_type))) return base_remove(self, item);
    Ref probe = TRY(probe_for(self, item));
    return base_remove(self, probe);
}

// def append(self, item):
//     super().append(weakref.ref(item, self.remove))
Status RefSequence_append(Handle self, Handle item) {
    Ref entry = TRY(Wrapper(self).entry(item));
    return base_append(self, entry);
}

// def index(self, item):
//     return super().index(weakref.ref(item))
Ref RefSequence_index(Handle self, Handle item) {
    Ref probe = TRY(probe_for(self, item));
    return base_index(self, probe);
}

// def count(self, item):
//     return super().count(weakref.ref(item))
Ref RefSequence_count(Handle self, Handle item) {
    Ref probe = TRY(probe_for(self, item));
    return base_count(self, probe);
}

// def pop(self, item):
//     position = super().index(weakref.ref(item))
//     obj = super().__getitem__(position)()
//     super().__delitem__(position)
//     return obj
Ref RefSequence_pop(Handle self, Handle item) {
    Ref probe = TRY(probe_for(self, item));
    Ref position = TRY(base_index(self, probe));
    Ref entry = TRY(base_getitem(self, position));
    Ref obj = TRY(referent(entry));
    TRY(base_delitem(self, position));
    return obj;
}

// def insert(self, index, item):
//     super().insert(index, weakref.ref(item, self.remove))
Status RefSequence_insert(Handle self, Handle index, Handle item) {
    Ref entry = TRY(Wrapper(self).entry(item));
    return base_insert(self, index, entry);
}

// def extend(self, items):
//     super().extend([weakref.ref(i, self.remove) for i in items])
Status RefSequence_extend(Handle self, Handle items) {
    Wrapped w;
    TRY(wrap_all(self, items, w));
    TRY(super(RefSequence, self).call<"extend">(w.entries));
    return ok;
}

// The sort keys: lambda x: x() and lambda x: key(x()), made on each call.
FuncDef* key_of_referent_def;
FuncDef* key_applied_def;
constexpr const char* sort_key_qualname = "RefSequence.sort.<locals>.<lambda>";

Ref key_of_referent(Handle x) { return referent(x); }
Ref key_applied(Ctx ctx, Handle x) {
    Ref obj = TRY(referent(x));
    return ctx.closure()(obj);
}

// def sort(self, key=None, reverse=False):
//     if key is None:
//         k = lambda x: x()
//     else:
//         k = lambda x: key(x())
//     return super().sort(key=k, reverse=reverse)
//
// While the list sorts it looks empty, so an object that died then could
// not find its entry: the objects are held until the sort is over. (The
// keys of the first form are the objects themselves, which the list's own
// sort holds, and its key calls no code.)
Ref RefSequence_sort(Handle self, Handle key, Handle reverse) {
    bool plain = TRY(plain_base(self, UL_sort));
    Ref k = key.is_none() ? TRY(make_function(key_of_referent_def, module_name(), sort_key_qualname))
                          : TRY(make_function(key_applied_def, module_name(), sort_key_qualname, key));
    Ref data = plain ? TRY(self.attr<"data">()) : Ref();
    std::vector<Ref> held;
    if (!plain || !key.is_none()) held = hold_referents(plain ? data : TRY(self.attr<"data">()));
    Ref sort = plain ? TRY(data.attr<"sort">()) : TRY(super(RefSequence, self).attr<"sort">());
    return call_kw(sort, {}, {{id<"key">(), k}, {id<"reverse">(), reverse}});
}

// TypeError('can only concatenante RefSequence (not "{value_type}") to RefSequence'
//           .format(value_type=type(item).__name__))
Failure refuse_concatenation(Handle item) {
    Ref name = TRY(type_of(item).attr<"__name__">());
    Ref text = TRY(Ref::steal(PyObject_Format(name.ptr(), nullptr)));
    Ref message = TRY(concat("can only concatenante RefSequence (not \"", text, "\") to RefSequence"));
    return raise_value(PyExc_TypeError, message.ptr());
}

// r = RefSequence(); r.extend(first); r.extend(second); return r
Ref joined(Handle cls, Handle first, Handle second) {
    Ref r = TRY(cls());
    TRY(r.call_method<"extend">(first));
    TRY(r.call_method<"extend">(second));
    return r;
}

// def __add__(self, item):
//     if not isinstance(item, RefSequence): raise TypeError(...)
//     r = RefSequence()
//     r.extend(self)
//     r.extend(item)
//     return r
Ref RefSequence_add(Handle self, Handle item) {
    Ref cls = TRY(global<"RefSequence">());
    if (!TRY(item.isinstance(cls))) return refuse_concatenation(item);
    return joined(cls, self, item);
}

// other + self: the same refusal as self + other for anything but a
// RefSequence, whose objects then come first.
Ref RefSequence_radd(Handle self, Handle other) {
    Ref cls = TRY(global<"RefSequence">());
    if (!TRY(other.isinstance(cls))) return refuse_concatenation(other);
    return joined(cls, other, self);
}

// def __iadd__(self, items):
//     return super().__iadd__([weakref.ref(i, self.remove) for i in items])
Ref RefSequence_iadd(Handle self, Handle items) {
    Wrapped w;
    TRY(wrap_all(self, items, w));
    return super(RefSequence, self).call<"__iadd__">(w.entries);
}

// self * n, n * self: self.__class__(list(self) * n)
Ref RefSequence_mul(Handle self, Handle n) {
    Ref cls = TRY(self.attr<"__class__">());
    Ref objs = TRY(objects_of(self));
    Ref repeated = TRY(Ref::steal(PyNumber_Multiply(objs.ptr(), n.ptr())));
    return cls(repeated);
}

// self *= n: the entries rebuilt for the objects repeated, stored in place
// of the old ones (super().__setitem__(slice(None), ...)).
Ref RefSequence_imul(Handle self, Handle n) {
    Ref objs = TRY(objects_of(self));
    Ref repeated = TRY(Ref::steal(PyNumber_InPlaceMultiply(objs.ptr(), n.ptr())));
    Wrapped w;
    TRY(wrap_all(self, repeated, w));
    Ref all = TRY(Ref::steal(PySlice_New(nullptr, nullptr, nullptr)));
    TRY(base_setitem(self, all, w.entries));
    return Ref::borrow(self);
}

constexpr const char* RefSequence_copy_doc =
    "A copy holds the same objects, with entries of its own: self.copy().\n"
    "A weak container does not own its objects, so a deep copy does not copy\n"
    "them either.";

// def __copy__(self): return self.copy()
// def __deepcopy__(self, memo): return self.copy()
Ref RefSequence_copy(Handle self) { return self.call_method<"copy">(); }
Ref RefSequence_deepcopy(Handle self, Handle) { return self.call_method<"copy">(); }

// "RefSequence([" + ", ".join([render(i) for i in self]) + "])"
Ref rendered(Handle self, Ref (*render)(Handle)) {
    Ref pieces = TRY(list());
    TRY(for_each(self, [&](Handle obj) -> Status {
        Ref piece = TRY(render(obj));
        return status(PyList_Append(pieces.ptr(), piece.ptr()));
    }));
    Ref text = TRY(Ref::steal(PyUnicode_Join(id<", ">(), pieces.ptr())));
    return concat("RefSequence([", text, "])");
}

// def __repr__(self):
//     return "RefSequence([" + ", ".join([repr(i) for i in self]) + "])"
Ref RefSequence_repr(Handle self) {
    return rendered(self, [](Handle o) { return o.repr(); });
}

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
    Ref collections = TRY(global<"collections">());
    Ref userlist = TRY(collections.attr<"UserList">());
    struct {
        Original* o;
        PyObject* name;
    } const originals[] = {
        {&UL_getitem, id<"__getitem__">()}, {&UL_setitem, id<"__setitem__">()}, {&UL_delitem, id<"__delitem__">()},
        {&UL_contains, id<"__contains__">()}, {&UL_append, id<"append">()},      {&UL_insert, id<"insert">()},
        {&UL_remove, id<"remove">()},         {&UL_index, id<"index">()},        {&UL_count, id<"count">()},
        {&UL_sort, id<"sort">()},             {&UL_len, id<"__len__">()},
    };
    for (const auto& o : originals) TRY(capture(*o.o, userlist, o.name));
    genexpr_name.set(TRY(str("<genexpr>")));
    genexpr_qualname.set(TRY(str("RefSequence.__getitem__.<locals>.<genexpr>")));
    key_of_referent_def = def<key_of_referent>("<lambda>", "x");
    key_applied_def = def<key_applied>("<lambda>", "x");
    if (!key_of_referent_def || !key_applied_def) return failure;

    return define_class(
        RefSequence, "RefSequence",
        ClassDef("RefSequence", RefSequence_doc)
            .bases({userlist})
            .method(def<RefSequence_init>("__init__", "self, items=()"))
            .method(def<RefSequence_contains>("__contains__", "self, item"))
            .method(def<RefSequence_getitem>("__getitem__", "self, index"))
            .method(def<RefSequence_setitem>("__setitem__", "self, index, item"))
            .method(def<RefSequence_iter>("__iter__", "self"))
            .method(def<RefSequence_eq>("__eq__", "self, other"))
            .method(def<RefSequence_reversed>("__reversed__", "self"))
            .method(def<RefSequence_remove>("remove", "self, item"))
            .method(def<RefSequence_append>("append", "self, item"))
            .method(def<RefSequence_index>("index", "self, item"))
            .method(def<RefSequence_count>("count", "self, item"))
            .method(def<RefSequence_pop>("pop", "self, item"))
            .method(def<RefSequence_insert>("insert", "self, index, item"))
            .method(def<RefSequence_extend>("extend", "self, items"))
            .method(def<RefSequence_sort>("sort", "self, key=None, reverse=False"))
            .method(def<RefSequence_add>("__add__", "self, item"))
            .method(def<RefSequence_iadd>("__iadd__", "self, items"))
            .method(def<RefSequence_repr>("__repr__", "self"))
            .method(def<RefSequence_str>("__str__", "self"))
            .method(def<RefSequence_radd>("__radd__", "self, other"))
            .method(def<RefSequence_mul>("__mul__", "self, n"))
            .method(def<RefSequence_mul>("__rmul__", "self, n"))
            .method(def<RefSequence_imul>("__imul__", "self, n"))
            .method(def<RefSequence_lt>("__lt__", "self, other"))
            .method(def<RefSequence_le>("__le__", "self, other"))
            .method(def<RefSequence_gt>("__gt__", "self, other"))
            .method(def<RefSequence_ge>("__ge__", "self, other"))
            .method(def<RefSequence_copy>("__copy__", "self", RefSequence_copy_doc))
            .method(def<RefSequence_deepcopy>("__deepcopy__", "self, memo", RefSequence_copy_doc)));
}

}  // namespace

PF_MODULE(refsequence, body)
