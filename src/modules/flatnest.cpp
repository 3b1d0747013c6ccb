// vornal.datastructures.flatnest: a nested dictionary as a flat list of
// path/value pairs, and back.
//
//     from collections import namedtuple
//     from collections.abc import MutableMapping
//
//     DictItem = namedtuple('DictItem', ('path', 'value'))
//
//     class IndexMarker:
//         def __init__(self, obj, index): ...
//         def __repr__(self): ...
//
//     class FlatNest(list):
//         def __init__(self, *args): ...
//         @staticmethod
//         def __flatten__(indict, path=None): ...
//         def __setitem__(self, index, item): ...
//         def append(self, item): ...
//         def extend(self, items): ...
//         def insert(self, index, item): ...
//         def reconstruct(self): ...
//
// Module-level names (DictItem, IndexMarker, MutableMapping, FlatNest) are
// looked up when a method runs. Where such a name still refers to the object
// the module body made, a method may take a direct route instead of the
// general call, always with the same result.
#include "pyframe.hpp"

#include <cstdint>
#include <iterator>
#include <unordered_map>

namespace {
using namespace pf;

// Everything the module keeps for its interpreter (pyframe/api/state.hpp).
struct State {
    Pristine IndexMarker;  // unchanged: as the module body left it
    Held FlatNest;
    // Objects made by the module body, recognised at call time.
    Pristine DictItem;           // the class namedtuple() made, sealed when last seen unchanged
    Held DictItem_new;           // its __new__ entry, DictItem.__dict__['__new__']
    Held MutableMapping_made;    // collections.abc.MutableMapping as imported
    Held flatten_made;           // the function behind FlatNest.__flatten__
    Held pair_error_text;  // pair_error as a str, made once
    // isinstance(obj, MutableMapping), memoised for built-in values (see
    // AbcCheck); dict is registered with MutableMapping.
    AbcCheck mutable_mapping_check;
};
PF_STATE(State, st);

constexpr const char* pair_error = "FlatNest only accepts a tuple of path/obj";

// ---------------------------------------------------------------------------
// isinstance() for the many values of a walk
// ---------------------------------------------------------------------------

// isinstance(obj, list) or isinstance(obj, tuple)
Result<bool> is_list_or_tuple(Handle obj) {
    if (builtin_value_slot(obj.type()) >= 0) return PyList_CheckExact(obj.ptr()) || PyTuple_CheckExact(obj.ptr());
    TRY_LET(bool is_list, obj.isinstance(Handle(&PyList_Type)));
    if (is_list) return true;
    return obj.isinstance(Handle(&PyTuple_Type));
}

Result<bool> is_mutable_mapping(Handle obj) {
    TRY_LET(Ref mm, global<"MutableMapping">());
    if (PyDict_CheckExact(obj.ptr()) && mm.is(st.MutableMapping_made)) return true;
    return st.mutable_mapping_check.isinstance(obj, mm);
}

// isinstance(obj, IndexMarker). A class whose metaclass is `type` has no
// __instancecheck__ of its own, and a built-in value's __class__ is its type.
Result<bool> is_marker(Handle obj) {
    TRY_LET(Ref cls, global<"IndexMarker">());
    if (Py_IS_TYPE(cls.ptr(), &PyType_Type) && builtin_value_slot(obj.type()) >= 0)
        return PyObject_TypeCheck(obj.ptr(), reinterpret_cast<PyTypeObject*>(cls.ptr())) != 0;
    return obj.isinstance(cls);
}

// True while `cls` is the DictItem class of the module body, unchanged:
// same metaclass, no __init__ of its own and the namedtuple __new__. The
// type's version tag changes whenever the class or a base is modified, so
// the dictionary is only consulted after a change.
Result<bool> dict_item_unchanged(Handle cls) {
    if (!cls.is(st.DictItem) || !Py_IS_TYPE(cls.ptr(), &PyType_Type)) return false;
    PyTypeObject* t = st.DictItem.type_ptr();
    if (t->tp_init != PyBaseObject_Type.tp_init) return false;
    if (st.DictItem.unchanged()) return true;
    Ref ns = Ref::steal(PyType_GetDict(t));
    PyObject* found = nullptr;
    TRY(truth(PyDict_GetItemRef(ns.ptr(), id<"__new__">(), &found)));
    if (Ref::steal(found).ptr() != st.DictItem_new.ptr()) return false;
    st.DictItem.seal();
    return true;
}

// DictItem(path, value), with `cls` the DictItem looked up by the caller.
Ref make_dict_item(Handle cls, Handle path, Handle value) {
    // What namedtuple's __new__ does: tuple.__new__(cls, (path, value)).
    TRY_LET(bool unchanged, dict_item_unchanged(cls));
    if (unchanged) return tuple_of_type(st.DictItem.type_ptr(), path, value);
    return cls(path, value);
}

// path + (key,)
Ref path_plus(Handle path, Handle key) {
    if (PyTuple_CheckExact(path.ptr())) return tuple_plus(path, key);
    TRY_LET(Ref step, tuple(key));
    return Ref::steal(PyNumber_Add(path.ptr(), step.ptr()));
}

// The pair check of the constructor and the mutators: a failure of
// `path, obj = item` (an Exception; KeyboardInterrupt and the like pass
// through) becomes the ValueError, raised while handling it so that the
// unpacking error is its context.
Failure refuse() {
    if (!error_matches(PyExc_Exception)) return failure;
    return raise_in_handler(PyExc_ValueError, st.pair_error_text.ptr());
}

Result<Pair> checked_pair(Handle item) {
    Result<Pair> pair = unpack_pair(item);
    if (!pair.succeeded()) return refuse();
    return pair;
}

// Reads `items` once and checks every element as a pair; all of them pass
// or the ValueError is raised.
Result<std::vector<Pair>> checked_pairs(Handle items) {
    std::vector<Pair> pairs;
    if (PyList_CheckExact(items.ptr()) || PyTuple_CheckExact(items.ptr())) pairs.reserve((size_t)Py_SIZE(items.ptr()));
    Ref it = Ref::steal(PyObject_GetIter(items.ptr()));
    if (!it) return refuse();
    for (Ref item;;) {
        Result<bool> more = next(it, item);
        if (!more.succeeded()) return refuse();
        if (!more.value()) break;
        Result<Pair> pair = unpack_pair(item);
        if (!pair.succeeded()) return refuse();
        pairs.push_back(std::move(pair).value());
    }
    return pairs;
}

// [DictItem(path, obj) for path, obj in items], every element of `items`
// checked as a pair first; all of them pass or the ValueError is raised.
// While DictItem is the module's own class nothing of the user's runs as an
// item is made, so for an exact list or tuple whose elements are exact
// tuples or lists the items are made as the elements are read, in one
// pass; at the first other element (whose unpacking may run code) the
// elements are read anew the general way, nothing having run yet.
Ref dict_items(const std::vector<Pair>& pairs);
Ref checked_dict_items(Handle items) {
    TRY_LET(Ref cls, global<"DictItem">());
    PyObject* seq = items.ptr();
    bool in_one_pass = PyList_CheckExact(seq) || PyTuple_CheckExact(seq);
    if (in_one_pass) { TRY_LET(in_one_pass, dict_item_unchanged(cls)); }
    if (in_one_pass) {
        Py_ssize_t n = Py_SIZE(seq);
        TRY_LET(Ref out, list(n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            Ref element = Ref::borrow(PyList_CheckExact(seq) ? PyList_GET_ITEM(seq, i) : PyTuple_GET_ITEM(seq, i));
            if (!PyTuple_CheckExact(element.ptr()) && !PyList_CheckExact(element.ptr())) break;
            Result<Pair> pair = unpack_pair(element);
            if (!pair.succeeded()) return refuse();
            TRY_LET(Ref made, tuple_of_type(st.DictItem.type_ptr(), pair.value().first, pair.value().second));
            PyList_SET_ITEM(out.ptr(), i, made.release());
            if (i + 1 == n) return out;
        }
    }
    TRY_LET(std::vector<Pair> pairs, checked_pairs(items));
    return dict_items(pairs);
}

// [DictItem(path, obj) for path, obj in pairs]
Ref dict_items(const std::vector<Pair>& pairs) {
    TRY_LET(Ref out, list((Py_ssize_t)pairs.size()));
    TRY_LET(Ref cls, global<"DictItem">());
    for (size_t i = 0; i < pairs.size(); ++i) {
        TRY_LET(Ref item, make_dict_item(cls, pairs[i].first, pairs[i].second));
        PyList_SET_ITEM(out.ptr(), (Py_ssize_t)i, item.release());
    }
    return out;
}

// ---------------------------------------------------------------------------
// class IndexMarker
// ---------------------------------------------------------------------------

constexpr const char* IndexMarker_doc =
    "A path step that stands for a position in a list or tuple.\n"
    "\n"
    "IndexMarker(obj, index) keeps type(obj) as ``type_`` and int(index) as\n"
    "``index``, not obj itself. It prints as TYPE[INDEX], e.g. list[0]. Markers compare\n"
    "and hash by identity: two flattenings of the same data make markers of\n"
    "their own.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> marker = IndexMarker(['a', 'b'], 1)\n"
    "    >>> marker, marker.type_, marker.index\n"
    "    (list[1], <class 'list'>, 1)";

constexpr const char* IndexMarker_init_doc =
    "Tracks the index position of elements in list/tuple\n"
    "\n"
    ":param obj: object to store for\n"
    ":param index: index value";

// def __init__(self, obj, index):
//     self.type_ = type(obj)
//     self.index = int(index)
Status IndexMarker_init(Handle self, Handle obj, Handle index) {
    TRY(self.setattr<"type_">(type_of(obj)));
    TRY_LET(Ref number, Ref::steal(PyNumber_Long(index.ptr())));
    return self.setattr<"index">(number);
}

constexpr const char* IndexMarker_repr_doc =
    "Return the marker as the name of ``type_`` and the index: list[0],\n"
    "tuple[3].";

// def __repr__(self):
//     return "{type_}[{index}]".format(type_=self.type_.__name__, index=self.index)
Ref IndexMarker_repr(Handle self) {
    TRY_LET(Ref type, self.attr<"type_">());
    TRY_LET(Ref name, type.attr<"__name__">());
    TRY_LET(Ref index, self.attr<"index">());
    TRY_LET(Ref name_text, Ref::steal(PyObject_Format(name.ptr(), nullptr)));
    TRY_LET(Ref index_text, Ref::steal(PyObject_Format(index.ptr(), nullptr)));
    return concat(name_text, "[", index_text, "]");
}

// ---------------------------------------------------------------------------
// The walk of FlatNest.__flatten__
// ---------------------------------------------------------------------------

// The Python generator function, which each level of nesting runs anew:
//
//     if path: path = path[:]
//     else: path = ()
//     if isinstance(indict, MutableMapping):
//         for key, value in indict.items():
//             if isinstance(value, (MutableMapping, list, tuple)) and value:
//                 for item in FlatNest.__flatten__(value, path + (key,)):
//                     yield item
//             else:
//                 yield DictItem(path + (key,), value)
//     elif isinstance(indict, (list, tuple)):
//         (the same over enumerate(indict), with IndexMarker(indict, index)
//          in place of key)
//     else:
//         yield indict
//
// Here the nested generators are levels of one explicit stack. A nested
// level is run in place while FlatNest.__flatten__ is still this function;
// if it has been replaced, whatever the replacement returns is iterated.
// As in the interpreter, nesting deeper than the recursion limit raises
// RecursionError.
class FlattenWalk {
public:
    FlattenWalk(Handle indict, Handle path) { stack_.push_back({Kind::unstarted, Ref::borrow(indict), Ref::borrow(path), Ref()}); }

    // The next item: true and `item`, or false at the end of the walk.
    Result<bool> next(Ref& item) {
        while (!stack_.empty()) {
            Level& top = stack_.back();
            switch (top.kind) {
            case Kind::unstarted:
                TRY(start());
                break;
            case Kind::single:
                item = std::move(top.obj);
                stack_.pop_back();
                return true;
            case Kind::foreign: {
                TRY_LET(bool more, pf::next(top.iter, item));
                if (more) return true;
                stack_.pop_back();
                break;
            }
            case Kind::mapping:
            case Kind::sequence: {
                TRY_LET(bool found, element(item));
                if (found) return true;
                break;
            }
            }
        }
        return false;
    }

    int visit(visitproc visit, void* arg) const {
        for (const Level& l : stack_) {
            Py_VISIT(l.obj.ptr());
            Py_VISIT(l.path.ptr());
            Py_VISIT(l.iter.ptr());
        }
        return 0;
    }

private:
    enum class Kind { unstarted, mapping, sequence, foreign, single };
    struct Level {
        Kind kind;
        Ref obj;   // indict
        Ref path;  // the path argument; once started, the path of this level
        Ref iter;  // over indict.items(), indict, or a replacement's result
        Py_ssize_t index = 0;
    };

    static Failure too_deep() { return raise(PyExc_RecursionError, "maximum recursion depth exceeded"); }

    // The top level starts: its path is settled and its object examined.
    Status start() {
        if ((Py_ssize_t)stack_.size() > Py_GetRecursionLimit()) return too_deep();
        Level& l = stack_.back();
        Ref path = std::move(l.path);
        TRY_LET(bool given, path.truthy());
        if (!given) {
            TRY_LET(path, tuple());
        } else if (!PyTuple_CheckExact(path.ptr())) {  // path[:] of an exact tuple is the tuple
            TRY_LET(Ref all, Ref::steal(PySlice_New(nullptr, nullptr, nullptr)));
            TRY_LET(path, path.item(all));
        }
        Level& top = stack_.back();
        top.path = std::move(path);
        TRY_LET(bool mapping, is_mutable_mapping(top.obj));
        bool sequence = false;
        if (!mapping) { TRY_LET(sequence, is_list_or_tuple(top.obj)); }
        if (mapping) {
            TRY_LET(Ref items, top.obj.call_method<"items">());
            TRY_LET(stack_.back().iter, items.iter());
            stack_.back().kind = Kind::mapping;
        } else if (sequence) {
            TRY_LET(stack_.back().iter, top.obj.iter());
            stack_.back().kind = Kind::sequence;
        } else {
            top.kind = Kind::single;
        }
        return ok;
    }

    // The next element of a mapping or sequence level: true with its
    // DictItem, false when the level ended or a nested level was entered.
    Result<bool> element(Ref& out) {
        Ref key, value;
        Ref path = stack_.back().path;
        {
            Ref item;
            TRY_LET(bool more, pf::next(stack_.back().iter, item));
            if (!more) {
                stack_.pop_back();
                return false;
            }
            Level& l = stack_.back();
            if (l.kind == Kind::mapping) {
                TRY_LET(Pair pair, unpack_pair(item));
                key = std::move(pair.first);
                value = std::move(pair.second);
            } else {
                value = std::move(item);
                TRY_LET(Ref marker_class, global<"IndexMarker">());
                TRY_LET(Ref index, integer(stack_.back().index++));
                TRY_LET(key, marker_class(stack_.back().obj, index));
            }
        }  // the items() tuple is released here, free for the iterator to reuse
        TRY_LET(bool nested, is_mutable_mapping(value));
        if (!nested) { TRY_LET(nested, is_list_or_tuple(value)); }
        if (nested) { TRY_LET(nested, value.truthy()); }
        if (!nested) {
            TRY_LET(Ref cls, global<"DictItem">());
            TRY_LET(Ref item_path, path_plus(path, key));
            TRY_LET(out, make_dict_item(cls, item_path, value));
            return true;
        }
        TRY_LET(Ref flat_nest, global<"FlatNest">());
        TRY_LET(Ref flatten, flat_nest.attr<"__flatten__">());
        TRY_LET(Ref sub, path_plus(path, key));
        if (flatten.is(st.flatten_made)) {
            stack_.push_back({Kind::unstarted, std::move(value), std::move(sub), Ref()});
        } else {
            TRY_LET(Ref result, flatten(value, sub));
            TRY_LET(Ref iter, result.iter());
            if ((Py_ssize_t)stack_.size() >= Py_GetRecursionLimit()) return too_deep();
            stack_.push_back({Kind::foreign, Ref(), Ref(), std::move(iter)});
        }
        return false;
    }

    std::vector<Level> stack_;
};

struct FlattenBody final : GenBody {
    FlattenWalk walk;
    FlattenBody(Handle indict, Handle path) : walk(indict, path) {}
    Ref next() override {
        Ref item;
        TRY_LET(bool more, walk.next(item));
        if (!more) return Ref();  // the end: no error set
        return item;
    }
    int visit(visitproc visit, void* arg) override { return walk.visit(visit, arg); }
};

// ---------------------------------------------------------------------------
// Tuple levels of reconstruct()
// ---------------------------------------------------------------------------

// A tuple cannot grow in place, so reconstruct() gathers each tuple level in
// a list of its elements that stands in the tuple's slot, and walks it
// exactly as it walks a list level. Once every pair is placed, each list
// still in its slot is replaced by the tuple (the tuple type called with the
// elements), innermost first.
class TupleLevels {
public:
    // The tuple type a gathering list stands for, or nullptr.
    PyObject* type_of(Handle obj) const {
        if (index_.empty() || !PyList_CheckExact(obj.ptr())) return nullptr;
        auto it = index_.find(obj.ptr());
        return it == index_.end() ? nullptr : levels_[it->second].type.ptr();
    }

    // Puts `elements`, a new gathering list for a level of type `type`, in
    // the slot parent[key]; `stored` is the tuple it gathers the elements
    // of, if the slot held one.
    Status add(Ref elements, Handle type, Handle parent, Handle key, Handle stored = Handle()) {
        Ref slot_key = Ref::borrow(key);
        if (PyList_Check(parent.ptr()) && PyLong_Check(key.ptr())) {
            // Lists only grow while reconstruct() runs: a position counted
            // from the end is kept as one counted from the start.
            Py_ssize_t i = PyLong_AsSsize_t(key.ptr());
            if (i == -1 && PyErr_Occurred()) return failure;
            if (i < 0) { TRY_LET(slot_key, integer(i + PyList_GET_SIZE(parent.ptr()))); }
        }
        if (stored) {
            TRY_LET(Ref gathered, Ref::steal(PyList_AsTuple(elements.ptr())));
            stored_.push_back({levels_.size(), Ref::borrow(stored), std::move(gathered)});
        }
        TRY(parent.set_item(key, elements));
        index_.emplace(elements.ptr(), levels_.size());
        levels_.push_back({std::move(elements), Ref::borrow(type), Ref::borrow(parent), std::move(slot_key)});
        return ok;
    }

    // Each gathering list still in its slot becomes its tuple; a stored
    // tuple whose list still holds the very elements gathered from it goes
    // back itself, so that it stays the same object and no constructor runs.
    Status build() {
        auto s = stored_.rbegin();
        for (size_t i = levels_.size(); i-- > 0;) {
            const Level& l = levels_[i];
            const Stored* stored = s != stored_.rend() && s->level == i ? &*s++ : nullptr;
            TRY_LET(Ref current, l.parent.item(l.key));
            if (!current.is(l.elements)) continue;  // replaced by a later pair
            Ref built;
            if (stored && unchanged(l.elements, stored->gathered)) built = stored->tuple;
            else if (l.type.is(Handle(&PyTuple_Type))) { TRY_LET(built, Ref::steal(PyList_AsTuple(l.elements.ptr()))); }
            else { TRY_LET(built, l.type(l.elements)); }
            TRY(l.parent.set_item(l.key, built));
        }
        return ok;
    }

private:
    struct Level {
        Ref elements, type, parent, key;
    };
    // A level that gathers the elements of a tuple found in its slot: the
    // tuple, and its elements as first gathered.
    struct Stored {
        size_t level;
        Ref tuple, gathered;
    };

    static bool unchanged(Handle elements, Handle gathered) {
        Py_ssize_t n = PyList_GET_SIZE(elements.ptr());
        if (n != PyTuple_GET_SIZE(gathered.ptr())) return false;
        for (Py_ssize_t i = 0; i < n; ++i)
            if (PyList_GET_ITEM(elements.ptr(), i) != PyTuple_GET_ITEM(gathered.ptr(), i)) return false;
        return true;
    }
    std::vector<Level> levels_;
    std::vector<Stored> stored_;  // in the order of their levels
    std::unordered_map<PyObject*, size_t> index_;
};

// ---------------------------------------------------------------------------
// class FlatNest(list)
// ---------------------------------------------------------------------------

constexpr const char* FlatNest_doc =
    "FlatNest class (list)\n"
    "\n"
    "A nested dictionary kept as a flat list of path/value pairs. The path is\n"
    "the tuple of keys that leads from the outermost dictionary to a value, so\n"
    "``dictionary['a']['b']['c'] = object()`` is equivalent to\n"
    "``(('a', 'b', 'c',), object())``. Positions inside lists and tuples are\n"
    "path steps too, written as IndexMarker objects.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> FlatNest({'a': {'b': {'c': {'d': 1, 'e': 2}}}})\n"
    "    [DictItem(path=('a', 'b', 'c', 'd'), value=1), DictItem(path=('a', 'b', 'c', 'e'), value=2)]\n"
    "\n"
    "Format: [(path, value), (path, value) ...] where path is a tuple\n"
    "representing the nested dict keys.\n"
    "\n"
    "reconstruct() always generates a new dictionary:\n"
    "FlatNest({}).reconstruct() == {} but is not the same object.";

constexpr const char* FlatNest_init_doc =
    "Accepts any arguments accepted by list(), with the special condition that\n"
    "a dictionary (any mutable mapping) is flattened to be stored internally as\n"
    "a list structure. Any other single argument is an iterable of path/value\n"
    "pairs, each stored as a DictItem.";

constexpr const char* FlatNest_flatten_doc =
    "Generates the DictItem pairs of a nested dictionary, depth first. `path`\n"
    "is the path of `indict` itself inside an enclosing structure (a tuple, or\n"
    "None for the outermost level). Lists and tuples are walked too, each\n"
    "position becoming an IndexMarker step.";

constexpr const char* FlatNest_reconstruct_doc =
    "Takes the internally stored list form and rebuilds the nested dictionary\n"
    "it represents. Always generates a new dictionary object.";

// def __init__(self, *args):
//     if len(args) == 1 and isinstance(args[0], MutableMapping):
//         super().__init__(FlatNest.__flatten__(args[0]))
//     elif len(args) == 1:
//         (every element of args[0] checked as a pair, stored as a DictItem)
//     else:
//         super().__init__(*args)
Status FlatNest_init(Handle self, Args args) {
    Super parent = super(st.FlatNest, self);
    bool mapping = args.size == 1;
    if (mapping) { TRY_LET(mapping, is_mutable_mapping(args[0])); }
    if (mapping) {
        TRY_LET(Ref flat_nest, global<"FlatNest">());
        TRY_LET(Ref flatten, flat_nest.attr<"__flatten__">());
        bool walk_here = flatten.is(st.flatten_made);
        if (walk_here) {
            TRY_LET(PyTypeObject* init_provider, parent.provider<"__init__">());
            walk_here = init_provider == &PyList_Type;
        }
        if (walk_here) {
            // list.__init__ empties the list, then appends what the generator
            // yields: the same walk, run here without the generator object.
            TRY(status(PyList_SetSlice(self.ptr(), 0, PY_SSIZE_T_MAX, nullptr)));
            FlattenWalk walk(args[0], Py_None);
            for (Ref item;;) {
                TRY_LET(bool more, walk.next(item));
                if (!more) break;
                TRY(status(PyList_Append(self.ptr(), item.ptr())));
            }
            return ok;
        }
        TRY_LET(Ref gen, flatten(args[0]));
        PyObject* argv[] = {gen.ptr()};
        return parent.init(Args{argv, 1}, Kwargs{});
    }
    if (args.size == 1) {
        TRY_LET(Ref items, checked_dict_items(args[0]));
        PyObject* argv[] = {items.ptr()};
        return parent.init(Args{argv, 1}, Kwargs{});
    }
    return parent.init(args, Kwargs{});
}

// @staticmethod
// def __flatten__(indict, path=None): (a generator, see FlattenWalk)
Ref FlatNest_flatten(Ctx ctx, Handle indict, Handle path) {
    return make_generator(std::make_unique<FlattenBody>(indict, path), ctx);
}

constexpr const char* FlatNest_setitem_doc =
    "Set self[index] to the pair item, stored as a plain 2-tuple (not a\n"
    "DictItem). With a slice, item is an iterable of pairs, each stored as a\n"
    "plain 2-tuple; all of them or none.\n"
    "\n"
    "Raises ValueError \"FlatNest only accepts a tuple of path/obj\" when item\n"
    "(or an element of the slice's iterable) does not unpack into exactly two\n"
    "parts; the list is then unchanged. Index and slice errors are those of\n"
    "list.";

// def __setitem__(self, index, item):
//     an integer index stores the pair as a plain tuple; a slice stores
//     every pair of the iterable `item` as a plain tuple, all or none.
Status FlatNest_setitem(Handle self, Handle index, Handle item) {
    Ref value;
    if (PySlice_Check(index.ptr())) {
        TRY_LET(std::vector<Pair> pairs, checked_pairs(item));
        TRY_LET(value, list((Py_ssize_t)pairs.size()));
        for (size_t i = 0; i < pairs.size(); ++i) {
            TRY_LET(Ref pair, tuple(pairs[i].first, pairs[i].second));
            PyList_SET_ITEM(value.ptr(), (Py_ssize_t)i, pair.release());
        }
    } else {
        TRY_LET(auto pair, checked_pair(item));
        auto& [path, obj] = pair;
        TRY_LET(value, tuple(path, obj));
    }
    return super(st.FlatNest, self).setitem(index, value);
}

constexpr const char* FlatNest_append_doc =
    "Append the pair item, stored as DictItem(path, value).\n"
    "\n"
    "item is anything that unpacks into exactly two parts (a DictItem, a\n"
    "2-tuple, a 2-element list); the parts are not examined.\n"
    "\n"
    "Raises ValueError \"FlatNest only accepts a tuple of path/obj\" for\n"
    "anything else, and leaves the list unchanged.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> fn = FlatNest()\n"
    "    >>> fn.append((('a', 'b'), 1))\n"
    "    >>> fn\n"
    "    [DictItem(path=('a', 'b'), value=1)]\n"
    "    >>> fn.append((('a',), 1, 2))\n"
    "    Traceback (most recent call last):\n"
    "      ...\n"
    "    ValueError: FlatNest only accepts a tuple of path/obj";

// def append(self, item):
//     path, obj = item
//     super().append(DictItem(path, obj))
Status FlatNest_append(Handle self, Handle item) {
    TRY_LET(auto pair, checked_pair(item));
    auto& [path, obj] = pair;
    TRY_LET(Ref cls, global<"DictItem">());
    TRY_LET(Ref entry, make_dict_item(cls, path, obj));
    TRY(super(st.FlatNest, self).call<"append">(entry));
    return ok;
}

constexpr const char* FlatNest_extend_doc =
    "Append every pair of the iterable items, in order, each stored as\n"
    "DictItem(path, value). All pairs are checked first: they are added\n"
    "together or not at all.\n"
    "\n"
    "Raises ValueError \"FlatNest only accepts a tuple of path/obj\" when items\n"
    "is not iterable or one of its elements does not unpack into exactly two\n"
    "parts; the list is then unchanged.\n"
    "\n"
    "Example::\n"
    "\n"
    "    >>> fn = FlatNest({'a': 1})\n"
    "    >>> fn.extend([(('b', 'c'), 2), (('b', 'd'), 3)])\n"
    "    >>> fn.reconstruct()\n"
    "    {'a': 1, 'b': {'c': 2, 'd': 3}}";

// def extend(self, items):
//     super().extend([DictItem(path, obj) for path, obj in items])
//     once every element of items passed the pair check
Status FlatNest_extend(Handle self, Handle items) {
    TRY_LET(Ref added, checked_dict_items(items));
    TRY(super(st.FlatNest, self).call<"extend">(added));
    return ok;
}

constexpr const char* FlatNest_insert_doc =
    "Insert the pair item before index, stored as DictItem(path, value); the\n"
    "index follows list.insert (clamped to the ends).\n"
    "\n"
    "Raises ValueError \"FlatNest only accepts a tuple of path/obj\" when item\n"
    "does not unpack into exactly two parts, and leaves the list unchanged.";

// def insert(self, index, item):
//     path, obj = item
//     super().insert(index, DictItem(path, obj))
Status FlatNest_insert(Handle self, Handle index, Handle item) {
    TRY_LET(auto pair, checked_pair(item));
    auto& [path, obj] = pair;
    TRY_LET(Ref cls, global<"DictItem">());
    TRY_LET(Ref entry, make_dict_item(cls, path, obj));
    TRY(super(st.FlatNest, self).call<"insert">(index, entry));
    return ok;
}

// Whether hashing `key`, and comparing it with keys of the same kinds, runs
// no code of anyone's: a value of a built-in scalar type, or a tuple of such
// values (nested a few levels deep at most).
bool quiet_key(Handle key, int depth = 0) {
    PyTypeObject* t = key.type();
    if (t == &PyUnicode_Type || t == &PyLong_Type) return true;
    if (t == &PyTuple_Type) {
        if (depth >= 4) return false;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(key.ptr()); ++i)
            if (!quiet_key(Handle(PyTuple_GET_ITEM(key.ptr(), i)), depth + 1)) return false;
        return true;
    }
    return t == &PyBool_Type || t == &PyFloat_Type || t == &PyBytes_Type || t == &PyComplex_Type ||
           key.ptr() == Py_None;
}

// Whether a stored value holds nothing that a later walk could enter
// without running code: no plain dict, list or tuple with content of its
// own (whose keys or elements were never checked).
bool inert_value(Handle obj) {
    PyObject* o = obj.ptr();
    if (PyDict_CheckExact(o)) return PyDict_GET_SIZE(o) == 0;
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) == 0;
    if (PyTuple_CheckExact(o)) return PyTuple_GET_SIZE(o) == 0;
    return true;
}

// The cursors of reconstruct(), kept from one pair to the next. A null Ref
// is a local variable not yet assigned.
struct Cursor {
    Ref ptr, prev_ptr, prev_k, k;
    TupleLevels tuples;

    static Failure unbound(const char* name) {
        return raise(PyExc_UnboundLocalError, "local variable '%s' referenced before assignment", name);
    }

    // A new placeholder level of a list type: type(({},))
    static Ref one_dict_of(Handle type) {
        TRY_LET(Ref element, dict());
        TRY_LET(Ref args, tuple(element));
        return type(args);
    }

    // A list or tuple level: enter the last element of the container in the
    // slot prev_ptr[prev_k], after putting a new container there when the
    // slot holds none of the marker's type, or appending a placeholder when
    // the marker's position does not exist yet.
    // Step::silent when the step ran no code of anyone's (a marker of the
    // module's own class, unchanged, of a built-in list or tuple type, in
    // containers of built-in types); Step::unchanged when besides it changed
    // nothing: the position exists already.
    enum Step { loud, silent, unchanged };

    Result<Step> marker_step() {
        TRY_LET(Ref type, k.attr<"type_">());
        bool quiet = Py_IS_TYPE(k.ptr(), st.IndexMarker.type_ptr()) && st.IndexMarker.unchanged() &&
                     (type.is(Handle(&PyList_Type)) || type.is(Handle(&PyTuple_Type))) && prev_ptr &&
                     (PyDict_CheckExact(prev_ptr.ptr()) || PyList_CheckExact(prev_ptr.ptr())) &&
                     quiet_key(prev_k);
        bool plain = quiet;
        bool tuple_level = PyType_Check(type.ptr()) && PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(type.ptr()), &PyTuple_Type);
        PyObject* gathering = tuples.type_of(ptr);
        PyObject* level_type = gathering ? gathering : reinterpret_cast<PyObject*>(Py_TYPE(ptr.ptr()));
        if (tuple_level && !gathering && level_type == type.ptr()) {
            // A tuple stored by an earlier pair: gather its elements to grow it.
            plain = false;
            if (!prev_ptr) return unbound("prev_ptr");
            TRY_LET(Ref elements, Ref::steal(PySequence_List(ptr.ptr())));
            TRY(tuples.add(std::move(elements), type, prev_ptr, prev_k, ptr));
            TRY_LET(ptr, prev_ptr.item(prev_k));
            gathering = level_type;
        }
        if (level_type != type.ptr()) {
            plain = false;
            Ref fresh;
            if (tuple_level) {
                TRY_LET(fresh, list());
                TRY_LET(Ref placeholder, dict());
                TRY(status(PyList_Append(fresh.ptr(), placeholder.ptr())));
            } else {
                TRY_LET(fresh, one_dict_of(type));
            }
            if (!prev_ptr) return unbound("prev_ptr");
            if (tuple_level)
                TRY(tuples.add(std::move(fresh), type, prev_ptr, prev_k));
            else
                TRY(prev_ptr.set_item(prev_k, fresh));
        } else {
            TRY_LET(Ref index, k.attr<"index">());
            quiet = quiet && PyLong_CheckExact(index.ptr()) && PyList_CheckExact(ptr.ptr());
            plain = plain && quiet;
            if (gathering && !PyIndex_Check(index.ptr()) && !PySlice_Check(index.ptr()))
                return raise(PyExc_TypeError, "tuple indices must be integers or slices, not %.200s",
                             Py_TYPE(index.ptr())->tp_name);
            Ref probe = Ref::steal(PyObject_GetItem(ptr.ptr(), index.ptr()));
            if (!probe) {
                if (!error_matches(PyExc_IndexError)) return failure;
                PyErr_Clear();
                plain = false;
                if (gathering) {
                    // ptr.append({}): ptr was read back out of the slot, so
                    // it need not be the gathering list
                    TRY_LET(Ref placeholder, dict());
                    if (PyList_CheckExact(ptr.ptr()))
                        TRY(status(PyList_Append(ptr.ptr(), placeholder.ptr())));
                    else
                        TRY(ptr.call_method<"append">(placeholder));
                } else {
                    TRY_LET(Ref placeholder, one_dict_of(type));
                    TRY_LET(ptr, Ref::steal(PyNumber_InPlaceAdd(ptr.ptr(), placeholder.ptr())));
                }
            }
        }
        if (!prev_ptr) return unbound("prev_ptr");
        TRY_LET(prev_ptr, prev_ptr.item(prev_k));
        TRY_LET(prev_k, integer(-1));
        TRY_LET(ptr, prev_ptr.item(prev_k));
        return plain ? Step::unchanged : quiet ? Step::silent : Step::loud;
    }

    // A key: enter ptr[k], made a placeholder when missing; a list level
    // (not a mapping) first grows by a new {k: {}}.
    // `calm`: no dictionary the walk can reach holds a key whose comparison
    // runs code. Then a quiet key on a plain dict is looked up once: the
    // three lookups of 'ptr[k] = ptr.get(k, {}); ptr = ptr[k]' would run
    // nothing either and find the same. Returns true when the step was
    // that one.
    Result<bool> key_step(bool calm) {
        TRY_LET(Ref mutable_mapping, global<"MutableMapping">());
        if (calm && PyDict_CheckExact(ptr.ptr()) && mutable_mapping.is(st.MutableMapping_made) && quiet_key(k)) {
            // ptr[k] = ptr.get(k, {}) on a plain dict
            PyObject* found = nullptr;
            TRY_LET(bool present, truth(PyDict_GetItemRef(ptr.ptr(), k.ptr(), &found)));
            Ref next = present ? Ref::steal(found) : Ref();
            if (!next) {
                TRY_LET(next, dict());
                TRY(ptr.set_item(k, next));
            }
            prev_ptr = std::move(ptr);
            prev_k = k;
            ptr = std::move(next);
            return true;
        }
        bool plain_dict = PyDict_CheckExact(ptr.ptr()) && mutable_mapping.is(st.MutableMapping_made);
        bool mapping = plain_dict;
        if (!mapping) { TRY_LET(mapping, is_mutable_mapping(ptr)); }
        if (plain_dict) {
            // ptr.get(k, {}) is dict.get: the same lookup, without the call
            PyObject* found = nullptr;
            TRY_LET(bool present, truth(PyDict_GetItemRef(ptr.ptr(), k.ptr(), &found)));
            Ref level = present ? Ref::steal(found) : Ref();
            if (!level) { TRY_LET(level, dict()); }
            TRY(ptr.set_item(k, level));
        } else if (mapping) {
            TRY_LET(Ref placeholder, dict());
            TRY_LET(Ref level, ptr.call_method<"get">(k, placeholder));
            TRY(ptr.set_item(k, level));
        } else {
            TRY_LET(Ref added, dict());
            TRY_LET(Ref placeholder, dict());
            TRY(added.set_item(k, placeholder));
            if (tuples.type_of(ptr)) {
                TRY(status(PyList_Append(ptr.ptr(), added.ptr())));
            } else {
                TRY_LET(Ref args, tuple(added));
                TRY_LET(Ref extension, type_of(ptr)(args));
                TRY_LET(ptr, Ref::steal(PyNumber_InPlaceAdd(ptr.ptr(), extension.ptr())));
            }
            TRY_LET(Ref last, integer(-1));
            TRY_LET(ptr, ptr.item(last));
        }
        prev_ptr = ptr;
        prev_k = k;
        TRY_LET(ptr, ptr.item(k));
        return false;
    }
};

// The levels a pair entered, for the next pair to enter again. Paths made
// by flattening share their leading key objects. While the walk is calm
// (see FlatNest_reconstruct) and a pair was handled without changing any
// slot it passed through (every step a quiet key on a plain dict, or a
// marker of a position that exists), walking the next pair's leading steps
// that are the very same key objects would only find the levels found
// before: they are not walked again.
struct WalkedLevels {
    std::vector<Ref> levels;       // levels[i]: what ptr was before step i (levels[0] is the result dict)
    std::vector<Ref> slot_keys;    // slot_keys[i]: prev_k after step i (the key, or -1 after a marker)
    Ref steps;                     // the steps of the pair that entered them
    Py_ssize_t reusable = 0;       // how many of its leading steps may be taken over

    // How many leading steps of `path` (n steps) are the same as before.
    Py_ssize_t shared(Handle path, Py_ssize_t n) const {
        if (!steps) return 0;
        Py_ssize_t limit = std::min(reusable, n - 1), j = 0;
        while (j < limit && PySequence_Fast_GET_ITEM(path.ptr(), j) == PySequence_Fast_GET_ITEM(steps.ptr(), j)) ++j;
        return j;
    }

    // After the store into `target`, the last level of an n-step walk: a
    // level read out of `target` earlier on the same walk (a level that
    // contains itself) may be what the store replaced, so the walk is
    // taken over only up to the first such level.
    void stored_into(Handle target, Py_ssize_t n) {
        for (Py_ssize_t j = 0; j < reusable && j < n - 1; ++j) {
            if (levels[(size_t)j].is(target)) {
                reusable = j;
                break;
            }
        }
    }

    void forget() {
        levels.clear();
        slot_keys.clear();
        steps = Ref();
        reusable = 0;
    }
};

// Whether key steps of built-in keys on plain dicts run no code of anyone's
// now: MutableMapping and IndexMarker are what the module body made, or
// at least a plain class.
Result<bool> plain_steps() {
    TRY_LET(Ref mutable_mapping, global<"MutableMapping">());
    TRY_LET(Ref marker, global<"IndexMarker">());
    return mutable_mapping.is(st.MutableMapping_made) && Py_IS_TYPE(marker.ptr(), &PyType_Type);
}

// def reconstruct(self):
//     ret = {}
//     for path, obj in self:
//         ptr = ret
//         for k in list(path): (a marker or a key step)
//         prev_ptr[prev_k] = obj
//     return ret
// A pair after the first whose path is empty or begins with a marker has
// no slot of its own to start from, and is refused.
//
// The walk is calm while no code of anyone's can have run since it began
// (the list read by its own iterator, pairs unpacked by tuple's iteration,
// quiet keys and the module's own markers on built-in containers) and every
// level it can reach is one it made or an empty container it stored: then
// every key those levels hold is a quiet one, a quiet key is looked up
// once, and a pair's leading levels may be taken over from the previous
// pair. Once anything else happens the walk stays loud to the end: every
// step is taken in full, as the class written in Python takes it.
Ref FlatNest_reconstruct(Handle self) {
    TRY_LET(Ref ret, dict());
    Cursor c;
    WalkedLevels walked;
    bool first = true;
    TRY_LET(Ref it, self.iter());
    bool calm = Py_IS_TYPE(it.ptr(), &PyListIter_Type);
    if (calm) { TRY_LET(calm, plain_steps()); }
    for (Ref element;;) {
        TRY_NEXT(it, element);
        // a tuple (DictItem included) that unpacks through tuple's own iteration
        calm = calm && PyTuple_Check(element.ptr()) && Py_TYPE(element.ptr())->tp_iter == PyTuple_Type.tp_iter &&
               PyTuple_GET_SIZE(element.ptr()) == 2;
        TRY_LET(auto pair, unpack_pair(element));
        auto& [path_steps, obj] = pair;
        element = Ref();
        c.ptr = ret;
        // list(path): a copy of the steps, except that a tuple cannot change
        Ref path;
        if (PyTuple_CheckExact(path_steps.ptr())) path = path_steps;
        else {
            calm = false;  // the steps come from code of anyone's
            TRY_LET(path, Ref::steal(PySequence_List(path_steps.ptr())));
        }
        Py_ssize_t n = PySequence_Fast_GET_SIZE(path.ptr());
        if (!first) {
            bool no_slot = n == 0;
            if (!no_slot) { TRY_LET(no_slot, is_marker(PySequence_Fast_GET_ITEM(path.ptr(), 0))); }
            if (no_slot) return raise(PyExc_ValueError, pair_error);
        }
        first = false;
        if (!calm) walked.forget();  // nothing taken over, nothing held longer than the walk holds it
        Py_ssize_t i = calm ? walked.shared(path, n) : 0;
        if (i > 0) {  // enter the levels the previous pair entered
            c.ptr = walked.levels[(size_t)i];
            c.prev_ptr = walked.levels[(size_t)i - 1];
            c.k = Ref::borrow(PySequence_Fast_GET_ITEM(path.ptr(), i - 1));
            c.prev_k = walked.slot_keys[(size_t)i - 1];
        }
        Py_ssize_t plain = i;  // leading steps that changed no slot they passed through
        if (calm) {
            walked.levels.resize((size_t)std::max(n, (Py_ssize_t)1));
            walked.slot_keys.resize((size_t)std::max(n, (Py_ssize_t)1));
        }
        for (; i < n; ++i) {
            if (calm) walked.levels[(size_t)i] = c.ptr;
            c.k = Ref::borrow(PySequence_Fast_GET_ITEM(path.ptr(), i));
            TRY_LET(bool marker, is_marker(c.k));
            bool plain_step;
            if (marker) {
                TRY_LET(Cursor::Step step, c.marker_step());
                calm = calm && step != Cursor::loud;
                plain_step = step == Cursor::unchanged;
            } else {
                TRY_LET(plain_step, c.key_step(calm));
                calm = calm && plain_step;
            }
            if (plain_step && plain == i) ++plain;
            if (calm) walked.slot_keys[(size_t)i] = c.prev_k;
        }
        if (!c.k) return Cursor::unbound("k");
        TRY(c.prev_ptr.set_item(c.prev_k, obj));
        calm = calm && inert_value(obj);
        if (calm) {
            walked.steps = path;
            walked.reusable = plain == n ? n - 1 : 0;  // the last step's slot was just written
            walked.stored_into(c.prev_ptr, n);
        }
    }
    TRY(c.tuples.build());
    return ret;
}

// ---------------------------------------------------------------------------
// Module body
// ---------------------------------------------------------------------------

Status body() {
    TRY(import_from("collections", {"namedtuple"}));
    TRY(import_from("collections.abc", {"MutableMapping"}));

    // DictItem = namedtuple('DictItem', ('path', 'value')); module= gives it
    // the __module__ that namedtuple() finds in the calling frame of a
    // module body written in Python.
    {
        TRY_LET(Ref namedtuple, global<"namedtuple">());
        TRY_LET(Ref path_field, str("path"));
        TRY_LET(Ref value_field, str("value"));
        TRY_LET(Ref fields, tuple(path_field, value_field));
        TRY_LET(Ref name, str("DictItem"));
        TRY_LET(Ref cls, call_kw(namedtuple, {name, fields}, {{id<"module">(), module_name()}}));
        TRY(bind_global("DictItem", cls));
        Ref ns = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls.ptr())));
        TRY_LET(Ref new_function, ns.item(id<"__new__">()));
        st.DictItem_new.set(std::move(new_function));
        st.DictItem.set(std::move(cls));
    }
    TRY_LET(Ref error_text, str(pair_error));
    st.pair_error_text.set(std::move(error_text));
    TRY_LET(Ref mutable_mapping, global<"MutableMapping">());
    st.MutableMapping_made.set(std::move(mutable_mapping));
    TRY(st.mutable_mapping_check.set(st.MutableMapping_made));

    TRY(define_class(st.IndexMarker, "IndexMarker",
                     ClassDef("IndexMarker", IndexMarker_doc)
                         .method(def<IndexMarker_init>("__init__", "self, obj, index", IndexMarker_init_doc))
                         .method(def<IndexMarker_repr>("__repr__", "self", IndexMarker_repr_doc))));

    TRY(define_class(st.FlatNest, "FlatNest",
                     ClassDef("FlatNest", FlatNest_doc)
                         .bases({&PyList_Type})
                         .method(def<FlatNest_init>("__init__", "self, *args", FlatNest_init_doc))
                         .staticmethod(def<FlatNest_flatten>("__flatten__", "indict, path=None", FlatNest_flatten_doc))
                         .method(def<FlatNest_setitem>("__setitem__", "self, index, item", FlatNest_setitem_doc))
                         .method(def<FlatNest_append>("append", "self, item", FlatNest_append_doc))
                         .method(def<FlatNest_extend>("extend", "self, items", FlatNest_extend_doc))
                         .method(def<FlatNest_insert>("insert", "self, index, item", FlatNest_insert_doc))
                         .method(def<FlatNest_reconstruct>("reconstruct", "self", FlatNest_reconstruct_doc))));
    TRY_LET(Ref flatten, Handle(st.FlatNest).attr<"__flatten__">());
    st.flatten_made.set(std::move(flatten));
    st.IndexMarker.seal();
    return ok;
}

}  // namespace

PF_MODULE(flatnest, body)
