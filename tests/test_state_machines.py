"""Stateful property tests: random sequences of operations against the classes written in Python.

Each machine applies the same operation to the real object and to the same
class written in Python (tests/pyforms), then compares the outcome (the
value, or the exception type and message) and the whole state after every
step. The debug interpreter runs fewer examples: it is several times slower.
"""
import collections
import copy
import gc
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import pyforms.fieldmap
import pyforms.flatnest
import pyforms.refsequence
from vornal.datastructures.fieldmap import NestedFieldMap
from vornal.datastructures.flatnest import DictItem, FlatNest, IndexMarker
from vornal.datastructures.refsequence import RefSequence

DEBUG = hasattr(sys, "gettotalrefcount")
SETTINGS = settings(
    max_examples=80 if DEBUG else 200,
    stateful_step_count=40 if DEBUG else 50,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


def outcome(func):
    """("ok", value) or (exception type, message); the exception itself is not kept."""
    try:
        return ("ok", func())
    except Exception as e:
        return (type(e), str(e))


# --- NestedFieldMap ----------------------------------------------------------------------

class SubMap(NestedFieldMap):
    pass


PySubMap = type("SubMap", (pyforms.fieldmap.NestedFieldMap,), {})  # the same name: shape() compares names


def shape(obj):
    """Plain nested dicts, each mapping marked with its class's name (a level's, or dict)."""
    if isinstance(obj, dict):
        return (type(obj).__name__, {k: shape(v) for k, v in obj.items()})
    return obj


SEGMENTS = ["a", "b", "c"]
KEYS = st.one_of(
    st.lists(st.sampled_from(SEGMENTS), min_size=1, max_size=3).map(".".join),
    st.sampled_from(["a.", ".a", "", 1]),
)
SCALARS = st.one_of(st.integers(-3, 3), st.sampled_from(["", "x", "b", "ab"]))
DICTS = st.recursive(
    st.dictionaries(KEYS, SCALARS, max_size=3),
    lambda inner: st.dictionaries(KEYS, st.one_of(SCALARS, inner), max_size=3),
    max_leaves=6,
)
VALUES = st.one_of(SCALARS, DICTS)
ITEMS = st.lists(
    st.one_of(st.tuples(KEYS, VALUES), st.sampled_from(["ab", "abc", (1, 2, 3), ("a",), 7])),
    max_size=4,
)


class NestedFieldMapMachine(RuleBasedStateMachine):
    @initialize(data=DICTS, sub=st.booleans())
    def construct(self, data, sub):
        cls, model_cls = (SubMap, PySubMap) if sub else (NestedFieldMap, pyforms.fieldmap.NestedFieldMap)
        got, expected = outcome(lambda: cls(copy.deepcopy(data))), outcome(lambda: model_cls(copy.deepcopy(data)))
        assert (got[0], shape(got[1])) == (expected[0], shape(expected[1]))
        self.real, self.model = (got[1], expected[1]) if got[0] == "ok" else (cls(), model_cls())

    def both(self, op, *args, copied=False):
        """op(map, *args) on both maps, the arguments deep-copied for each when `copied`."""
        def run(m):
            return op(m, *(copy.deepcopy(args) if copied else args))

        expected = outcome(lambda: run(self.model))
        got = outcome(lambda: run(self.real))
        assert (got[0], shape(got[1])) == (expected[0], shape(expected[1]))

    @rule(key=KEYS, value=VALUES)
    def set(self, key, value):
        self.both(lambda m, k, v: m.__setitem__(k, v), key, value, copied=True)

    @rule(key=KEYS)
    def get(self, key):
        self.both(lambda m: m[key])

    @rule(key=KEYS, default=SCALARS)
    def get_method(self, key, default):
        self.both(lambda m: m.get(key, default))

    @rule(key=KEYS)
    def contains(self, key):
        self.both(lambda m: key in m)

    @rule(key=KEYS)
    def delete(self, key):
        self.both(lambda m: m.__delitem__(key))

    @rule(key=KEYS, default=st.one_of(st.none(), SCALARS), with_default=st.booleans())
    def pop(self, key, default, with_default):
        args = (key, default) if with_default else (key,)
        self.both(lambda m: m.pop(*args))

    @rule(key=KEYS, value=VALUES)
    def setdefault(self, key, value):
        self.both(lambda m, k, v: m.setdefault(k, v), key, value, copied=True)

    @rule(data=DICTS, kwargs=st.dictionaries(st.sampled_from(SEGMENTS), VALUES, max_size=2))
    def update_mapping(self, data, kwargs):
        self.both(lambda m, d, kw: m.update(d, **kw), data, kwargs, copied=True)

    @rule(items=ITEMS)
    def update_items(self, items):
        self.both(lambda m, i: m.update(i), items, copied=True)

    @rule(extra=st.integers(2, 3))
    def update_too_many(self, extra):
        self.both(lambda m: m.update(*[{}] * extra))

    @rule(key=st.sampled_from(SEGMENTS), value=VALUES)
    def attribute_write(self, key, value):
        # attribute syntax stores straight into the dictionary, no dotted rules
        self.both(lambda m, k, v: setattr(m, k, v), key, value, copied=True)

    @invariant()
    def same_state(self):
        assert shape(self.real) == shape(self.model)
        assert self.real.__dict__ is self.real


TestNestedFieldMap = NestedFieldMapMachine.TestCase
TestNestedFieldMap.settings = SETTINGS


# --- RefSequence -------------------------------------------------------------------------

class Obj:
    """Weakly referenceable, equal by value so that lookups find equal objects too.

    `hook`, when set, runs once at the next ordering comparison.
    """

    hook = None

    def __init__(self, n):
        self.n = n

    def __eq__(self, other):
        return isinstance(other, Obj) and self.n == other.n

    __hash__ = None

    def __lt__(self, other):
        hook, Obj.hook = Obj.hook, None
        if hook:
            hook()
        return self.n < other.n

    def __repr__(self):
        return f"Obj({self.n})"


class SubSequence(RefSequence):
    pass


PySubSequence = type("SubSequence", (pyforms.refsequence.RefSequence,), {})


SLICES = st.builds(slice, st.one_of(st.none(), st.integers(-6, 6)), st.one_of(st.none(), st.integers(-6, 6)),
                   st.one_of(st.none(), st.sampled_from([-2, -1, 1, 2])))
SORT_KEYS = {"none": None, "neg": lambda o: -o.n, "mod": lambda o: o.n % 3}
PY_CLASSES = {RefSequence: pyforms.refsequence.RefSequence, SubSequence: PySubSequence}


def same(got, expected):
    """Outcomes alike; objects must be the very same objects, sequences hold the same ones."""
    if got[0] == "ok" and expected[0] == "ok":
        a, b = got[1], expected[1]
        if isinstance(a, (collections.UserList, list)):
            return type(a).__name__ == type(b).__name__ and [id(o) for o in a] == [id(o) for o in b]
        return a is b or (type(a) in (int, bool, str, type(None)) and a == b)
    if expected[0] is ValueError:  # the base list's message names the probe reference
        return got[0] is ValueError
    return got == expected


class RefSequenceMachine(RuleBasedStateMachine):
    """Ours and the class written in Python hold the same objects; `alive` holds the only strong refs."""

    @initialize(cls=st.sampled_from([RefSequence, SubSequence]), values=st.lists(st.integers(0, 5), max_size=4))
    def construct(self, cls, values):
        self.alive = [Obj(v) for v in values]
        self.seq = cls(self.alive)
        self.model = PY_CLASSES[cls](self.alive)

    def pick(self, i):
        return self.alive[i % len(self.alive)]

    def both(self, op, *args):
        expected = outcome(lambda: op(self.model, *args))
        got = outcome(lambda: op(self.seq, *args))
        assert same(got, expected), (got, expected)
        return got

    @rule(n=st.integers(0, 5))
    def new_object(self, n):
        self.alive.append(Obj(n))

    @precondition(lambda self: self.alive)
    @rule(i=st.integers(0, 20))
    def drop(self, i):
        del self.alive[i % len(self.alive)]
        gc.collect(0)  # the objects hold no cycles: the young generation is enough, and cheap

    @precondition(lambda self: self.alive)
    @rule(i=st.integers(0, 20))
    def append(self, i):
        self.both(lambda s, o: s.append(o), self.pick(i))

    @precondition(lambda self: self.alive)
    @rule(pos=st.integers(-8, 8), i=st.integers(0, 20))
    def insert(self, pos, i):
        self.both(lambda s, o: s.insert(pos, o), self.pick(i))

    @rule(picks=st.lists(st.integers(0, 20), max_size=3), bad=st.sampled_from([None, 5, "x", (), None]))
    def extend(self, picks, bad):
        objs = [self.pick(i) for i in picks] if self.alive else []
        if bad is not None:
            objs.insert(len(objs) // 2, bad)
        self.both(lambda s: s.extend(objs))

    @rule(picks=st.lists(st.integers(0, 20), max_size=3), bad=st.booleans())
    def iadd(self, picks, bad):
        objs = [self.pick(i) for i in picks] if self.alive else []
        if bad:
            objs.append(7)

        def iadd(s):
            before = s
            s += objs
            assert s is before

        self.both(iadd)

    @precondition(lambda self: self.alive)
    @rule(picks=st.lists(st.integers(0, 20), max_size=3))
    def add(self, picks):
        objs = [self.pick(i) for i in picks]
        self.both(lambda s: s + type(s)(objs))
        self.both(lambda s: s + objs)

    @rule(i=st.integers(0, 20), fresh=st.booleans())
    def pop(self, i, fresh):
        obj = Obj(i % 6) if fresh or not self.alive else self.pick(i)
        self.both(lambda s: s.pop(obj))

    @rule(i=st.integers(0, 20), fresh=st.booleans())
    def remove(self, i, fresh):
        obj = Obj(i % 6) if fresh or not self.alive else self.pick(i)
        self.both(lambda s: s.remove(obj))

    @rule(i=st.integers(0, 20))
    def lookups(self, i):
        obj = Obj(i % 6)
        self.both(lambda s: s.index(obj))
        self.both(lambda s: s.count(obj))
        self.both(lambda s: obj in s)
        self.both(lambda s: 5 in s)

    @rule(s=SLICES)
    def read_slice(self, s):
        got = self.both(lambda seq: seq[s])
        assert all(e.__callback__ == got[1].remove for e in got[1].data)

    @rule(i=st.integers(-8, 8))
    def read_index(self, i):
        self.both(lambda s: s[i])

    @rule(s=SLICES)
    def del_slice(self, s):
        self.both(lambda seq: seq.__delitem__(s))

    @precondition(lambda self: self.alive)
    @rule(s=SLICES, picks=st.lists(st.integers(0, 20), max_size=3))
    def set_slice(self, s, picks):
        objs = [self.pick(i) for i in picks]
        self.both(lambda seq: seq.__setitem__(s, objs))

    @precondition(lambda self: self.alive)
    @rule(pos=st.integers(-8, 8), i=st.integers(0, 20))
    def set_index(self, pos, i):
        self.both(lambda s, o: s.__setitem__(pos, o), self.pick(i))

    @rule(key=st.sampled_from(sorted(SORT_KEYS)), reverse=st.booleans())
    def sort(self, key, reverse):
        # a stable sort keeps equal objects in place: the invariant compares identities
        self.both(lambda s: s.sort(key=SORT_KEYS[key], reverse=reverse))

    @precondition(lambda self: self.alive)
    @rule(i=st.integers(0, 20), reverse=st.booleans())
    def sort_while_dropping(self, i, reverse):
        # the last strong reference to an object goes while the entries are being sorted
        victim = i % len(self.alive)

        def drop():
            del self.alive[victim]

        Obj.hook = drop
        try:
            self.seq.sort(reverse=reverse)
        finally:
            Obj.hook = None
        gc.collect(0)
        self.model.sort(reverse=reverse)

    @rule(n=st.integers(-1, 2))
    def repeat(self, n):
        self.both(lambda s: s * n)
        self.both(lambda s: n * s)

        def imul(s):
            before = s
            s *= n
            assert s is before

        self.both(imul)

    @rule()
    def reverse_copy_and_iterate(self):
        self.both(lambda s: reversed(s))
        self.both(lambda s: copy.copy(s))
        self.both(lambda s: list(iter(s)))
        self.both(lambda s: repr(s))

    @invariant()
    def same_objects(self):
        got = list(self.seq)
        assert len(self.seq) == len(self.model)
        assert [id(o) for o in got] == [id(o) for o in self.model]
        assert all(o is not None for o in got)
        assert self.seq == list(self.model)


TestRefSequence = RefSequenceMachine.TestCase
TestRefSequence.settings = SETTINGS


@pytest.mark.parametrize("key", [None, lambda o: o])
@pytest.mark.parametrize("reverse", [False, True])
def test_objects_dropped_during_a_sort_leave_no_entries(key, reverse):
    alive = [Obj(n) for n in (3, 1, 2, 0)]
    seq = RefSequence(alive)

    def drop():
        del alive[1:3]

    Obj.hook = drop
    try:
        seq.sort(key=key, reverse=reverse)
    finally:
        Obj.hook = None
    gc.collect()
    assert len(seq) == 2 and all(e() is not None for e in seq.data)
    assert list(seq) == sorted(alive, reverse=reverse)


# --- FlatNest ----------------------------------------------------------------------------

PAIR_ERROR = "FlatNest only accepts a tuple of path/obj"

GOOD_PAIRS = st.one_of(
    st.builds(lambda p, v: (p, v), st.lists(st.sampled_from("abc"), max_size=2).map(tuple), st.integers(0, 9)),
    st.builds(DictItem, st.just(("d",)), st.integers(0, 9)),
    st.builds(lambda v: [("l",), v], st.integers(0, 9)),
    st.sampled_from(["ab", "xy"]),
)
BAD_PAIRS = st.sampled_from([5, None, (), (1,), (1, 2, 3), [1, 2, 3], "abc", {1: 0, 2: 0, 3: 0}])
ITEMS_OR_BAD = st.one_of(GOOD_PAIRS, BAD_PAIRS)


def is_pair(item):
    try:
        path, obj = item
    except Exception:
        return False
    return True


def pairs_shape(fn):
    return [(type(i).__name__, i) for i in fn]  # DictItems of either module compare as tuples


class FlatNestMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.fn = FlatNest()
        self.model = pyforms.flatnest.FlatNest()

    def both(self, op, items=()):
        """op on both lists; a refusal must be the pair error, with the context set and the list unchanged."""
        before = list(self.fn)
        expected, got = outcome(lambda: op(self.model)), outcome(lambda: op(self.fn))
        assert got == expected
        if got[0] is ValueError and got[1] == PAIR_ERROR:
            assert not all(is_pair(i) for i in items)
            assert list(self.fn) == before and all(a is b for a, b in zip(self.fn, before))
            try:
                op(self.fn)
            except ValueError as e:
                assert e.__context__ is not None

    @rule(item=ITEMS_OR_BAD)
    def append(self, item):
        self.both(lambda fn: fn.append(item), [item])

    @rule(pos=st.integers(-4, 4), item=ITEMS_OR_BAD)
    def insert(self, pos, item):
        self.both(lambda fn: fn.insert(pos, item), [item])

    @rule(items=st.lists(ITEMS_OR_BAD, max_size=3), as_tuple=st.booleans())
    def extend(self, items, as_tuple):
        source = tuple(items) if as_tuple else items
        self.both(lambda fn: fn.extend(source), items)

    @rule(pos=st.integers(-5, 5), item=ITEMS_OR_BAD)
    def set_index(self, pos, item):
        self.both(lambda fn: fn.__setitem__(pos, item), [item])

    @rule(start=st.integers(0, 3), stop=st.integers(0, 3), items=st.one_of(st.lists(ITEMS_OR_BAD, max_size=3),
                                                                           BAD_PAIRS))
    def set_slice(self, start, stop, items):
        # a slice takes an iterable of pairs and stores each as a plain tuple, all or none
        listed = list(items) if isinstance(items, (list, tuple, str, dict)) else [None]  # [None]: not iterable
        self.both(lambda fn: fn.__setitem__(slice(start, stop), items), listed)

    @rule(items=st.lists(ITEMS_OR_BAD, max_size=3))
    def iadd(self, items):
        # += is the list's own: it takes any iterable and checks nothing
        def iadd(fn):
            before = fn
            fn += items
            assert fn is before

        self.both(iadd)

    @rule(pos=st.integers(-4, 4))
    def pop(self, pos):
        self.both(lambda fn: fn.pop(pos))

    @invariant()
    def same_items(self):
        assert pairs_shape(self.fn) == pairs_shape(self.model)


TestFlatNest = FlatNestMachine.TestCase
TestFlatNest.settings = SETTINGS


# --- flattening and reconstruction against the class written in Python -------------------

LEAVES = st.one_of(st.integers(-5, 5), st.text("xyz", max_size=2), st.none(),
                   st.builds(dict), st.builds(list), st.just(()))
TUPLE_LEAVES = st.one_of(st.integers(-5, 5), st.text("xyz", max_size=2), st.builds(list), st.just(()))
DOC_KEYS = st.one_of(st.sampled_from("abcde"), st.integers(0, 3))
DOCS = st.recursive(
    st.dictionaries(DOC_KEYS, LEAVES, max_size=3),
    lambda inner: st.one_of(
        st.dictionaries(DOC_KEYS, st.one_of(
            LEAVES, inner, st.tuples(TUPLE_LEAVES, TUPLE_LEAVES),
            st.lists(st.one_of(LEAVES, inner, st.lists(LEAVES, max_size=2)), max_size=3)), max_size=3),
    ),
    max_leaves=10,
)


def marker_steps(path):
    markers = (IndexMarker, pyforms.flatnest.IndexMarker)
    return tuple((s.type_, s.index) if isinstance(s, markers) else s for s in path)


@settings(SETTINGS, max_examples=60 if DEBUG else 300)
@given(doc=DOCS)
def test_flatten_and_reconstruct_round_trip(doc):
    original = copy.deepcopy(doc)
    fn = FlatNest(doc)
    model = pyforms.flatnest.FlatNest(doc)
    assert [(marker_steps(p), v) for p, v in fn] == [(marker_steps(p), v) for p, v in model]
    assert all(a[1] is b[1] for a, b in zip(fn, model))  # values by reference
    rebuilt = fn.reconstruct()
    assert rebuilt == original and rebuilt is not doc
    assert model.reconstruct() == original
    assert doc == original  # reconstruction leaves the input alone
