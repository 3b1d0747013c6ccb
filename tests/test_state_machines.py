"""Stateful property tests: random sequences of operations against small Python models.

Each machine applies the same operation to the real object and to a model
written directly from the documented rules, then compares the outcome (the
value, or the exception type and message) and the whole state after every
step. The debug interpreter runs fewer examples: it is several times slower.
"""
import copy
import gc
import sys
import weakref
from collections.abc import Mapping

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

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

TARGET = 'target key "{}" is a value, cannot update value against another {}'


class Level(dict):
    """A level of the model: a nested map made by the map itself, not a plain dict."""

    name = "NestedFieldMap"


class SubMap(NestedFieldMap):
    pass


class SubLevel(Level):
    name = "SubMap"


def split(key):
    if isinstance(key, str) and "." in key:
        return key.split(".", 1)
    return None


def m_get(level, key):
    parts = split(key)
    if parts is None:
        return dict.__getitem__(level, key)
    head, rest = parts
    value = dict.__getitem__(level, head)
    return m_get(value, rest) if isinstance(value, Level) else value[rest]


def m_set(level, key, value):
    parts = split(key)
    if parts is None:
        dict.__setitem__(level, key, value)
        return
    head, rest = parts
    sub = m_setdefault(level, head, type(level)())
    if not isinstance(sub, type(level)):
        raise KeyError(TARGET.format(head, level.name))
    m_set(sub, rest, value)


def m_contains(level, key):
    parts = split(key)
    if parts is None:
        return dict.__contains__(level, key)
    head, rest = parts
    if not dict.__contains__(level, head):
        return False
    value = dict.__getitem__(level, head)
    return m_contains(value, rest) if isinstance(value, Level) else rest in value


def m_del(level, key):
    parts = split(key)
    if parts is None:
        dict.__delitem__(level, key)
        return
    head, rest = parts
    value = dict.__getitem__(level, head)
    if isinstance(value, Level):
        m_del(value, rest)
    else:
        del value[rest]


def m_get_default(level, key, default=None):
    try:
        return m_get(level, key)
    except KeyError:
        return default


_MISSING = object()


def m_pop(level, key, default=_MISSING):
    try:
        value = m_get(level, key)
    except KeyError:
        if default is _MISSING:
            raise
        return default
    m_del(level, key)
    return value


def m_setdefault(level, key, default=None):
    try:
        return m_get(level, key)
    except KeyError:
        m_set(level, key, default)
        return default


def m_update(level, *args, **kwargs):
    if len(args) > 1:
        raise TypeError("expected at most 1 arguments, got %d" % len(args))
    source = args[0] if args else ()
    if isinstance(source, Mapping):
        source = source.items()
    for item in [*source, *kwargs.items()]:
        if len(item) != 2:
            raise TypeError("cannot convert dictionary update sequence element #%s to a sequence"
                            % source.index(item))
        key, value = item
        if isinstance(value, Mapping):
            sub = m_setdefault(level, key, type(level)())
            if isinstance(sub, type(level)):
                m_update(sub, value)
            else:
                sub.update(value)  # a plain dict merges shallowly; anything else has no update
        else:
            m_set(level, key, value)


def shape(obj):
    """Plain nested dicts, each mapping marked with the class of level it is, or as a plain dict."""
    if isinstance(obj, dict):
        kind = obj.name if isinstance(obj, Level) else type(obj).__name__
        return (kind, {k: shape(v) for k, v in obj.items()})
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
        cls, model_cls = (SubMap, SubLevel) if sub else (NestedFieldMap, Level)

        def model():
            level = model_cls()
            m_update(level, copy.deepcopy(data))
            return level

        got, expected = outcome(lambda: cls(copy.deepcopy(data))), outcome(model)
        assert (got[0], shape(got[1])) == (expected[0], shape(expected[1]))
        self.real, self.model = (got[1], expected[1]) if got[0] == "ok" else (cls(), model_cls())

    def both(self, real_op, model_op):
        expected = outcome(model_op)
        got = outcome(real_op)
        assert (got[0], shape(got[1])) == (expected[0], shape(expected[1]))

    @rule(key=KEYS, value=VALUES)
    def set(self, key, value):
        self.both(lambda: self.real.__setitem__(key, copy.deepcopy(value)),
                  lambda: m_set(self.model, key, copy.deepcopy(value)))

    @rule(key=KEYS)
    def get(self, key):
        self.both(lambda: self.real[key], lambda: m_get(self.model, key))

    @rule(key=KEYS, default=SCALARS)
    def get_method(self, key, default):
        self.both(lambda: self.real.get(key, default), lambda: m_get_default(self.model, key, default))

    @rule(key=KEYS)
    def contains(self, key):
        self.both(lambda: key in self.real, lambda: m_contains(self.model, key))

    @rule(key=KEYS)
    def delete(self, key):
        self.both(lambda: self.real.__delitem__(key), lambda: m_del(self.model, key))

    @rule(key=KEYS, default=st.one_of(st.none(), SCALARS), with_default=st.booleans())
    def pop(self, key, default, with_default):
        args = (key, default) if with_default else (key,)
        self.both(lambda: self.real.pop(*args), lambda: m_pop(self.model, *args))

    @rule(key=KEYS, value=VALUES)
    def setdefault(self, key, value):
        self.both(lambda: self.real.setdefault(key, copy.deepcopy(value)),
                  lambda: m_setdefault(self.model, key, copy.deepcopy(value)))

    @rule(data=DICTS, kwargs=st.dictionaries(st.sampled_from(SEGMENTS), VALUES, max_size=2))
    def update_mapping(self, data, kwargs):
        self.both(lambda: self.real.update(copy.deepcopy(data), **copy.deepcopy(kwargs)),
                  lambda: m_update(self.model, copy.deepcopy(data), **copy.deepcopy(kwargs)))

    @rule(items=ITEMS)
    def update_items(self, items):
        self.both(lambda: self.real.update(copy.deepcopy(items)),
                  lambda: m_update(self.model, copy.deepcopy(items)))

    @rule(extra=st.integers(2, 3))
    def update_too_many(self, extra):
        args = [{}] * extra
        self.both(lambda: self.real.update(*args), lambda: m_update(self.model, *args))

    @rule(key=st.sampled_from(SEGMENTS), value=VALUES)
    def attribute_write(self, key, value):
        # attribute syntax stores straight into the dictionary, no dotted rules
        setattr(self.real, key, copy.deepcopy(value))
        dict.__setitem__(self.model, key, copy.deepcopy(value))

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


SLICES = st.builds(slice, st.one_of(st.none(), st.integers(-6, 6)), st.one_of(st.none(), st.integers(-6, 6)),
                   st.one_of(st.none(), st.sampled_from([-2, -1, 1, 2])))
SORT_KEYS = {"none": None, "neg": lambda o: -o.n, "mod": lambda o: o.n % 3}


class RefSequenceMachine(RuleBasedStateMachine):
    """The model is a list of plain weak references; `alive` holds the only strong refs."""

    @initialize(cls=st.sampled_from([RefSequence, SubSequence]), values=st.lists(st.integers(0, 5), max_size=4))
    def construct(self, cls, values):
        self.alive = [Obj(v) for v in values]
        self.seq = cls(self.alive)
        self.model = [weakref.ref(o) for o in self.alive]

    def pick(self, i):
        return self.alive[i % len(self.alive)]

    def referents(self):
        return [r() for r in self.model]

    def compare(self, real_op, model_op):
        """The same outcome; a returned object must be the very object of the model."""
        expected, got = outcome(model_op), outcome(real_op)
        if expected[0] is ValueError:  # the base list's message names the probe reference
            assert got[0] is ValueError
        else:
            assert got == expected
            if got[0] == "ok":
                assert got[1] is expected[1] or type(got[1]) in (int, bool)

    def model_position(self, obj):
        for i, r in enumerate(self.model):
            if r() == obj:
                return i
        raise ValueError("not in list")

    @rule(n=st.integers(0, 5))
    def new_object(self, n):
        self.alive.append(Obj(n))

    @precondition(lambda self: self.alive)
    @rule(i=st.integers(0, 20))
    def drop(self, i):
        del self.alive[i % len(self.alive)]
        gc.collect(0)  # the objects hold no cycles: the young generation is enough, and cheap
        self.model = [r for r in self.model if r() is not None]

    @precondition(lambda self: self.alive)
    @rule(i=st.integers(0, 20))
    def append(self, i):
        obj = self.pick(i)
        self.seq.append(obj)
        self.model.append(weakref.ref(obj))

    @precondition(lambda self: self.alive)
    @rule(pos=st.integers(-8, 8), i=st.integers(0, 20))
    def insert(self, pos, i):
        obj = self.pick(i)
        self.seq.insert(pos, obj)
        self.model.insert(pos, weakref.ref(obj))

    @rule(picks=st.lists(st.integers(0, 20), max_size=3), bad=st.sampled_from([None, 5, "x", (), None]))
    def extend(self, picks, bad):
        objs = [self.pick(i) for i in picks] if self.alive else []
        if bad is not None:
            objs.insert(len(objs) // 2, bad)
        self.compare(lambda: self.seq.extend(objs),
                     lambda: self.model.extend([weakref.ref(o) for o in objs]))

    @rule(picks=st.lists(st.integers(0, 20), max_size=3), bad=st.booleans())
    def iadd(self, picks, bad):
        objs = [self.pick(i) for i in picks] if self.alive else []
        if bad:
            objs.append(7)
        before = self.seq

        def real():
            self.seq += objs

        self.compare(real, lambda: self.model.extend([weakref.ref(o) for o in objs]))
        assert self.seq is before

    @precondition(lambda self: self.alive)
    @rule(picks=st.lists(st.integers(0, 20), max_size=3))
    def add(self, picks):
        other = RefSequence(self.pick(i) for i in picks)
        joined = self.seq + other
        assert type(joined) is RefSequence
        assert list(joined) == self.referents() + list(other)
        assert outcome(lambda: self.seq + list(other)) == (
            TypeError, 'can only concatenante RefSequence (not "list") to RefSequence')

    @rule(i=st.integers(0, 20), fresh=st.booleans())
    def pop(self, i, fresh):
        obj = Obj(i % 6) if fresh or not self.alive else self.pick(i)

        def model():
            pos = self.model_position(obj)
            return self.model.pop(pos)()

        self.compare(lambda: self.seq.pop(obj), model)

    @rule(i=st.integers(0, 20), fresh=st.booleans())
    def remove(self, i, fresh):
        obj = Obj(i % 6) if fresh or not self.alive else self.pick(i)

        def model():
            del self.model[self.model_position(obj)]

        self.compare(lambda: self.seq.remove(obj), model)

    @rule(i=st.integers(0, 20))
    def lookups(self, i):
        obj = Obj(i % 6)
        self.compare(lambda: self.seq.index(obj), lambda: self.model_position(obj))
        assert self.seq.count(obj) == self.referents().count(obj)
        assert (obj in self.seq) == (obj in self.referents())
        assert outcome(lambda: 5 in self.seq) == (TypeError, "cannot create weak reference to 'int' object")

    @rule(s=SLICES)
    def read_slice(self, s):
        got = self.seq[s]
        assert type(got) is type(self.seq)
        assert list(got) == self.referents()[s]
        assert all(e.__callback__ == got.remove for e in got.data)

    @rule(i=st.integers(-8, 8))
    def read_index(self, i):
        def model():
            return self.model[i]()

        self.compare(lambda: self.seq[i], model)

    @rule(s=SLICES)
    def del_slice(self, s):
        self.compare(lambda: self.seq.__delitem__(s), lambda: self.model.__delitem__(s))

    @precondition(lambda self: self.alive)
    @rule(s=SLICES, picks=st.lists(st.integers(0, 20), max_size=3))
    def set_slice(self, s, picks):
        objs = [self.pick(i) for i in picks]

        def model():
            self.model[s] = [weakref.ref(o) for o in objs]

        self.compare(lambda: self.seq.__setitem__(s, objs), model)

    @precondition(lambda self: self.alive)
    @rule(pos=st.integers(-8, 8), i=st.integers(0, 20))
    def set_index(self, pos, i):
        obj = self.pick(i)

        def model():
            self.model[pos] = weakref.ref(obj)

        self.compare(lambda: self.seq.__setitem__(pos, obj), model)

    @rule(key=st.sampled_from(sorted(SORT_KEYS)), reverse=st.booleans())
    def sort(self, key, reverse):
        func = SORT_KEYS[key]
        self.seq.sort(key=func, reverse=reverse)
        order = sorted(self.model, key=lambda r: (func or (lambda o: o))(r()), reverse=reverse)
        self.model = order
        # a stable sort keeps equal objects in place: compare identities, not only values
        assert [id(o) for o in self.seq] == [id(r()) for r in self.model]

    @precondition(lambda self: self.alive)
    @rule(i=st.integers(0, 20), reverse=st.booleans())
    def sort_while_dropping(self, i, reverse):
        # the last strong reference to an object goes while the entries are being sorted
        self.model.sort(key=lambda r: r(), reverse=reverse)
        victim = i % len(self.alive)

        def drop():
            del self.alive[victim]

        Obj.hook = drop
        try:
            self.seq.sort(reverse=reverse)
        finally:
            Obj.hook = None
        gc.collect(0)
        self.model = [r for r in self.model if r() is not None]

    @rule()
    def reverse_and_iterate(self):
        assert list(reversed(self.seq)) == self.referents()[::-1]
        assert [id(o) for o in iter(self.seq)] == [id(o) for o in self.referents()]

    @invariant()
    def same_objects(self):
        got = list(self.seq)
        assert len(self.seq) == len(self.model)
        assert [id(o) for o in got] == [id(r()) for r in self.model]
        assert all(o is not None for o in got)
        assert self.seq == self.referents()


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


class FlatNestMachine(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.fn = FlatNest()
        self.model = []

    def check(self, real_op, model_op, items):
        """Every item must be a pair; else the pair error, with the list unchanged."""
        before = list(self.fn)
        ok = all(is_pair(i) for i in items)
        try:
            real_op()
        except ValueError as e:
            assert not ok and str(e) == PAIR_ERROR and e.__context__ is not None
            assert list(self.fn) == before and all(a is b for a, b in zip(self.fn, before))
            return
        assert ok
        model_op()

    @rule(item=ITEMS_OR_BAD)
    def append(self, item):
        self.check(lambda: self.fn.append(item), lambda: self.model.append(DictItem(*item)), [item])

    @rule(pos=st.integers(-4, 4), item=ITEMS_OR_BAD)
    def insert(self, pos, item):
        self.check(lambda: self.fn.insert(pos, item), lambda: self.model.insert(pos, DictItem(*item)), [item])

    @rule(items=st.lists(ITEMS_OR_BAD, max_size=3), as_tuple=st.booleans())
    def extend(self, items, as_tuple):
        source = tuple(items) if as_tuple else items
        self.check(lambda: self.fn.extend(source),
                   lambda: self.model.extend(DictItem(*i) for i in items), items)

    @rule(pos=st.integers(-5, 5), item=ITEMS_OR_BAD)
    def set_index(self, pos, item):
        if is_pair(item) and not -len(self.model) <= pos < len(self.model):
            assert outcome(lambda: self.fn.__setitem__(pos, item)) == (
                IndexError, "list assignment index out of range")
            return

        def model():
            self.model[pos] = tuple(item)

        self.check(lambda: self.fn.__setitem__(pos, item), model, [item])

    @rule(start=st.integers(0, 3), stop=st.integers(0, 3), items=st.one_of(st.lists(ITEMS_OR_BAD, max_size=3),
                                                                           BAD_PAIRS))
    def set_slice(self, start, stop, items):
        # a slice takes an iterable of pairs and stores each as a plain tuple, all or none
        def model():
            self.model[start:stop] = [tuple(i) for i in items]

        listed = list(items) if isinstance(items, (list, tuple, str, dict)) else [None]  # [None]: not iterable
        self.check(lambda: self.fn.__setitem__(slice(start, stop), items), model, listed)

    @rule(items=st.lists(ITEMS_OR_BAD, max_size=3))
    def iadd(self, items):
        # += is the list's own: it takes any iterable and checks nothing
        before = self.fn
        self.fn += items
        assert self.fn is before
        self.model += items

    @rule(pos=st.integers(-4, 4))
    def pop(self, pos):
        assert outcome(lambda: self.fn.pop(pos)) == outcome(lambda: self.model.pop(pos))

    @invariant()
    def same_items(self):
        assert list(self.fn) == self.model
        assert [type(i) for i in self.fn] == [type(i) for i in self.model]


TestFlatNest = FlatNestMachine.TestCase
TestFlatNest.settings = SETTINGS


# --- reconstruct against a flattening written in Python ----------------------------------

def model_flatten(value, path=()):
    """The flattening order, with markers made by the real IndexMarker."""
    if isinstance(value, dict):
        steps = list(value.items())
    else:
        steps = [(IndexMarker(value, i), v) for i, v in enumerate(value)]
    for step, v in steps:
        if isinstance(v, (dict, list, tuple)) and v:
            yield from model_flatten(v, path + (step,))
        else:
            yield (path + (step,), v)


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
    return tuple((s.type_, s.index) if isinstance(s, IndexMarker) else s for s in path)


@settings(SETTINGS, max_examples=60 if DEBUG else 300)
@given(doc=DOCS)
def test_flatten_and_reconstruct_round_trip(doc):
    original = copy.deepcopy(doc)
    fn = FlatNest(doc)
    pairs = list(model_flatten(doc))
    assert [(marker_steps(p), v) for p, v in fn] == [(marker_steps(p), v) for p, v in pairs]
    assert all(a[1] is b[1] for a, b in zip(fn, pairs))  # values by reference
    rebuilt = fn.reconstruct()
    assert rebuilt == original and rebuilt is not doc
    from_model = FlatNest()
    from_model.extend(pairs)
    assert from_model.reconstruct() == original
    assert doc == original  # reconstruction leaves the input alone
