"""FlatNest against the same class written in Python, with plain and hostile paths and values."""
import collections
import copy
import gc

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pyforms.flatnest
from differential import HKey, Hook, outcome, runs
from vornal.datastructures import flatnest


def holder_class(log):
    """A dict subclass that logs each read of a slot; at the read its `behaviour` names it
    hands back something else for a list in the slot, raises KeyError, or deletes the slot."""

    class Holder(dict):
        behaviour, reads = (None, 0), 0

        def __getitem__(self, key):
            value = dict.__getitem__(self, key)
            self.reads += 1
            log.append(("get", repr(key), type(value).__name__))  # a key's text: comparing runs no hook
            action, at = self.behaviour
            if self.reads == at and (type(value) is list or action in ("raise", "delete")):
                if action in ("other", "copy"):
                    return [9] if action == "other" else tuple(value)
                if action == "raise":
                    raise KeyError("gone")
                dict.__delitem__(self, key)
            return value

    return Holder


def tuple_kinds(log):
    """Makers of tuple levels: a namedtuple, and a tuple subclass whose __new__ is logged."""
    class Counted(tuple):
        def __new__(cls, *args):
            log.append("new")
            return tuple.__new__(cls, *args)

    return {"tuple": tuple, "namedtuple": collections.namedtuple("NT", "p q")._make, "subclass": Counted}


class World:
    """The list under test, and dictionaries that pairs store as values and hooks change;
    tuples stored as values (named in shapes: their identity counts) and what holders and
    tuple types saw."""

    def __init__(self, module):
        self.module = module
        self.cls = type("Flat", (module.FlatNest,), {})
        self.fn = self.cls()
        self.shared = [{"x": {}}, {"x": {}}]
        self.log, self.stored = [], []
        self.Holder, self.tuple_kinds = holder_class(self.log), tuple_kinds(self.log)
        self.marked = {kind: make((0, 0)) for kind, make in self.tuple_kinds.items()}  # for markers' types
        self.marked["list"] = []
        del self.log[:]


class Dying:
    """A value whose finalisation runs an action."""

    def __init__(self, world, label, action):
        self.world, self.label, self.action = world, label, action

    def __del__(self):
        if hasattr(self, "action"):  # not when reconstruct() made one of its type and __init__ failed
            self.action(self.world)


class HookedPair:
    """A pair whose iteration runs a hook before giving its two parts."""

    def __init__(self, parts, hook):
        self.parts, self.hook = parts, hook

    def __iter__(self):
        self.hook.fire()
        return iter(self.parts)


def action(spec):
    kind, arg = spec

    def act(world):
        target = world.shared[arg % 2]
        if kind == "rebind":  # the level under "x" becomes another dictionary
            target["x"] = {}
        elif kind == "swap":
            target["x"] = world.shared[(arg + 1) % 2]
        elif kind == "clear":
            target.clear()
        elif kind == "append":
            list.append(world.fn, ((f"late{arg}",), arg))
        elif kind == "truncate":
            del world.fn[1:]

    return act


def actions():
    return st.tuples(st.sampled_from(["rebind", "swap", "clear", "append", "truncate"]), st.integers(0, 3))


# --- specs of steps, values and pairs, made anew in each world ----------------------------

# Few keys, so that paths share prefixes and later pairs walk into what earlier ones stored
# (the shared dictionaries hold "x").
TEXTS = ["a", "x", "y"]


def steps(hostile):
    key = st.tuples(st.just("key"), st.sampled_from(TEXTS))
    plain = st.one_of(
        key, key, key,
        st.tuples(st.just("key"), st.integers(0, 1)),
        st.tuples(st.just("marker"), st.sampled_from(["list", "tuple"]), st.integers(0, 2)),
        st.tuples(st.just("pair"), st.sampled_from(TEXTS), st.sampled_from(TEXTS)),  # a tuple as a key
    )
    if not hostile:
        return plain
    return st.one_of(plain, st.tuples(st.just("hkey"), st.sampled_from(TEXTS), st.sampled_from(["hash", "eq"]),
                                      st.integers(1, 3), actions()), tuple_markers())


def tuple_markers():
    return st.tuples(st.just("marker"), st.sampled_from(["tuple", "namedtuple", "subclass"]), st.integers(0, 2))


def tuple_levels():
    """A tuple of some kind stored as a value, alone or in a holder's slot "x"."""
    stored = st.tuples(st.just("stored"), st.sampled_from(["tuple", "namedtuple", "subclass"]))
    behaviour = st.one_of(st.just((None, 0)), st.tuples(st.sampled_from(["other", "copy", "raise", "delete"]),
                                                        st.integers(1, 4)))
    return st.one_of(stored, st.tuples(st.just("holder"), stored, behaviour))


def values(hostile):
    plain = st.one_of(st.tuples(st.just("int"), st.integers(0, 3)),
                      st.tuples(st.just("empty"), st.sampled_from(["dict", "list", "tuple"])))
    # a stored dictionary that a later walk enters may be stored inside itself
    plain = st.one_of(plain, st.tuples(st.just("shared"), st.integers(0, 1)))
    if not hostile:
        return plain
    dying = st.tuples(st.just("dying"), st.integers(0, 9), actions())
    return st.one_of(plain, dying, dying, tuple_levels())


def pairs(hostile, min_size=0, max_size=5):
    pair = st.tuples(st.lists(steps(hostile), min_size=1, max_size=4), values(hostile))
    return st.lists(pair, min_size=min_size, max_size=max_size)


def make_step(spec, world):
    kind = spec[0]
    if kind == "key":
        return spec[1]
    if kind == "marker":
        return world.module.IndexMarker(world.marked[spec[1]], spec[2])
    if kind == "pair":
        return (spec[1], spec[2])
    _, text, event, n, act = spec
    return HKey(text, event, Hook(world, n, action(act)))


def make_value(spec, world):
    kind = spec[0]
    if kind == "int":
        return spec[1]
    if kind == "empty":
        return {"dict": dict, "list": list, "tuple": tuple}[spec[1]]()
    if kind == "shared":
        return world.shared[spec[1]]
    if kind == "stored":
        world.stored.append(world.tuple_kinds[spec[1]]((1, {})))
        return world.stored[-1]
    if kind == "holder":
        holder = world.Holder(x=make_value(spec[1], world))
        holder.behaviour = spec[2]
        return holder
    return Dying(world, f"dying{spec[1]}", action(spec[2]))


def make_pairs(specs, world):
    return [(tuple(make_step(s, world) for s in path), make_value(v, world)) for path, v in specs]


def documents():
    leaves = st.one_of(st.integers(0, 3), st.sampled_from(["s", ""]), st.builds(dict), st.builds(list),
                       st.just(()))
    keys = st.sampled_from(["a", "b", "x", "y"])
    return st.recursive(
        st.dictionaries(keys, leaves, max_size=3),
        lambda inner: st.one_of(st.dictionaries(keys, inner, max_size=3),
                                st.lists(inner, max_size=3), st.lists(inner, max_size=2).map(tuple)),
        max_leaves=8).filter(lambda d: isinstance(d, dict))


# --- comparing the two worlds --------------------------------------------------------------

def shape(obj, world, seen=()):
    """Containers by kind and content (a container inside itself by the distance up to it);
    the world's shared dictionaries and stored tuples by name; markers by type and index."""
    for i, shared in enumerate(world.shared):
        if obj is shared:
            if id(obj) in seen:
                return f"shared{i}"
            seen = seen + (id(obj),)
            return (f"shared{i}", shape(dict(obj), world, seen))
    if isinstance(obj, (world.module.IndexMarker, flatnest.IndexMarker, pyforms.flatnest.IndexMarker)):
        return ("marker", obj.type_.__name__, obj.index)
    if isinstance(obj, (dict, list, tuple)):  # a container met again on the way down: how far up
        if id(obj) in seen:
            return ("back", len(seen) - seen.index(id(obj)))
        seen = seen + (id(obj),)
    if isinstance(obj, dict):
        return (type(obj).__name__, [(shape(k, world, seen), shape(v, world, seen)) for k, v in dict.items(obj)])
    if isinstance(obj, (list, tuple)):  # a tuple stored as a value also by its number
        stored = [i for i, t in enumerate(world.stored) if t is obj]
        return (type(obj).__name__, stored, [shape(v, world, seen) for v in obj])
    if isinstance(obj, str):
        return (type(obj).__name__, str.__str__(obj))
    return getattr(obj, "label", obj)


def state(world):
    return [(type(item).__name__, shape(tuple(item) if isinstance(item, tuple) else item, world))
            for item in list.__iter__(world.fn)], shape(world.shared, world), list(world.log)


def run(op, world):
    kind = op[0]
    fn = world.fn
    if kind == "construct":
        def construct():
            world.fn = world.cls(make_pairs(op[1], world))
        return outcome(construct)
    if kind == "flatten":
        doc = copy.deepcopy(op[1])  # reconstruct() may change what the document holds

        def flatten():
            world.fn = world.cls(doc)
        return outcome(flatten)
    if kind == "seed":
        world.shared[0]["x"][op[1]] = make_value(op[2], world)
        return None
    if kind == "raw":  # pairs put in as they are, bypassing the checks
        return outcome(lambda: list.extend(fn, make_pairs(op[1], world)))
    if kind == "reconstruct":
        return outcome(fn.reconstruct, lambda value: shape(value, world))
    if kind in ("append", "insert"):
        item = make_item(op[-1], world)
        call = (lambda: fn.append(item)) if kind == "append" else (lambda: fn.insert(op[1], item))
        return outcome(call)
    if kind == "extend":
        items = [make_item(i, world) for i in op[1]]
        return outcome(lambda: fn.extend(items))
    if kind == "set_at":
        item = make_item(op[2], world)
        return outcome(lambda: fn.__setitem__(op[1], item))
    if kind == "set_slice":
        items = [make_item(i, world) for i in op[2]]
        return outcome(lambda: fn.__setitem__(op[1], items))
    if kind == "pop":
        return outcome(lambda: fn.pop(op[1]), lambda value: shape(value, world))
    raise AssertionError(op)


def items(hostile):
    bad = st.tuples(st.just("bad"), st.sampled_from([5, None, (1, 2, 3), "abc", ()]))
    good = st.tuples(st.just("good"), pairs(hostile, 1, 1))
    made = [good, bad]
    if hostile:
        made.append(st.tuples(st.just("hooked"), pairs(hostile, 1, 1), st.integers(1, 2),
                              actions()))
    return st.one_of(*made)


def make_item(spec, world):
    if spec[0] == "bad":
        return spec[1]
    pair = make_pairs(spec[1], world)[0]
    if spec[0] == "good":
        return pair
    return HookedPair(pair, Hook(world, spec[2], action(spec[3])))


def operations(hostile):
    item = items(hostile)
    return st.one_of(
        st.tuples(st.just("construct"), pairs(hostile)),
        st.tuples(st.just("flatten"), documents()),
        st.tuples(st.just("raw"), pairs(hostile)),
        st.tuples(st.just("reconstruct")),
        st.tuples(st.just("reconstruct")),
        st.tuples(st.just("append"), item),
        st.tuples(st.just("insert"), st.integers(-2, 2), item),
        st.tuples(st.just("extend"), st.lists(item, max_size=3)),
        st.tuples(st.just("set_at"), st.integers(-2, 2), item),
        st.tuples(st.just("set_slice"), st.builds(slice, st.integers(0, 2), st.integers(0, 2)),
                  st.lists(item, max_size=3)),
        st.tuples(st.just("pop"), st.integers(-2, 2)),
    )


def check_same(ops):
    python, ours = World(pyforms.flatnest), World(flatnest)
    try:
        for op in ops:
            expected = run(op, python)
            got = run(op, ours)
            assert got == expected, op
            assert state(ours) == state(python), op
    finally:
        del python, ours
        gc.collect(0)


@runs(release=200, debug=40)
@given(start=pairs(False), ops=st.lists(operations(False), max_size=6))
def test_plain_pairs(start, ops):
    check_same([("construct", start), ("reconstruct",)] + ops)


@runs(release=300, debug=50)
@given(start=pairs(True, max_size=8), ops=st.lists(operations(True), max_size=6))
def test_hostile_pairs(start, ops):
    check_same([("construct", start), ("reconstruct",)] + ops)


def under_a_stored_value(hostile):
    """Pairs that store a shared dictionary, then walk into it again and again: the
    levels the walk enters are the ones that values stored on the way may change."""
    tail = st.lists(st.tuples(st.just("key"), st.sampled_from(["x", "y"])), min_size=1, max_size=2)
    path = tail.map(lambda t: [("key", "a"), ("key", "x")] + t)
    return st.lists(st.tuples(path, values(hostile)), min_size=2, max_size=5).map(
        lambda pairs: [([("key", "a")], ("shared", 0))] + pairs)


@runs(release=200, debug=40)
@given(seeds=st.lists(st.tuples(st.just("seed"), st.sampled_from(["x", "y"]), values(True)), max_size=2),
       start=under_a_stored_value(True), ops=st.lists(operations(True), max_size=2))
def test_hostile_values_under_a_stored_value(seeds, start, ops):
    # seeds: values put into the shared dictionary's level "x" beforehand, held there only
    check_same(seeds + [("construct", start), ("reconstruct",)] + ops)


@runs(release=200, debug=40)
@given(level=tuple_levels(), paths=st.lists(st.tuples(
    st.lists(st.one_of(tuple_markers(), st.tuples(st.just("key"), st.sampled_from(["x", "y"]))), max_size=3),
    values(False)), min_size=1, max_size=4), index=st.integers(0, 2), ops=st.lists(operations(True), max_size=2))
def test_hostile_tuple_levels_walked_into(level, paths, index, ops):
    # a tuple stored under "a" (in a holder: under "a", "x"), then pairs that walk into it
    held = level[0] == "holder"
    head = [("key", "a")] + [("key", "x")] * held + [("marker", (level[1] if held else level)[1], index)]
    start = [([("key", "a")], level)] + [(head + path, v) for path, v in paths]
    check_same([("construct", start), ("reconstruct",)] + ops)


# --- the differences found, one explicit test each ----------------------------------------

def rebound_by_a_finalizer(module):
    """The example of the issue: the level under 'b' is replaced when the value it
    held dies, between the second and the third pair."""
    F, E = {}, {}

    class V:
        def __del__(self):
            D["b"] = F

    E["x"] = V()
    D = {"b": E}
    module.FlatNest([(("a",), D), (("a", "b", "x"), 0), (("a", "b", "y"), 1)]).reconstruct()
    return E, F  # the class written in Python: {'x': 0} and {'y': 1}


def rebound_by_a_hash(module):
    """A tuple step (no built-in key: its element is no built-in) whose hash replaces
    the level that the previous steps entered, for the next pair."""
    F, E = {}, {}
    D = {"b": E}

    class Element(str):
        def __hash__(self):
            D["b"] = F
            return str.__hash__(self)

    step = ("k", Element("e"))
    module.FlatNest([(("a",), D), (("a", "b", step), 1), (("a", "b", "y"), 2)]).reconstruct()
    return list(E.values()), list(F.values())


def aliased(module):
    """A dictionary that contains itself, stored by the first pair: the second pair's
    walk passes through it twice, and its store replaces the level it passed through."""
    S = {}
    S["x"] = S
    return outcome(lambda: module.FlatNest([(("a",), S), (("a", "x", "x"), 0), (("a", "x", "y"), 1)]).reconstruct())


def test_difference_reconstruct_after_a_store_replaced_a_level_on_the_way():
    expected = aliased(pyforms.flatnest)
    assert expected == (TypeError, "int() argument must be a string, a bytes-like object or a real number, not 'tuple'")
    assert aliased(flatnest) == expected


@pytest.mark.parametrize("scenario", [rebound_by_a_finalizer, rebound_by_a_hash])
def test_difference_reconstruct_after_user_code_rebound_the_level(scenario):
    expected = scenario(pyforms.flatnest)
    assert scenario(flatnest) == expected


class Counted(str):
    """A key that counts how often it is hashed."""

    hashes = 0

    def __hash__(self):
        type(self).hashes += 1
        return str.__hash__(self)


@pytest.mark.parametrize("present", [False, True], ids=["new-key", "present-key"])
def test_difference_reconstruct_key_lookups(present):
    def hashes(module):
        fn = module.FlatNest([((Counted("a"), "x"), 1)] * (2 if present else 1))
        Counted.hashes = 0
        fn.reconstruct()
        return Counted.hashes

    assert hashes(flatnest) == hashes(pyforms.flatnest) == (6 if present else 3)


# --- where reconstruct() may stop taking levels over and looking keys up once ---------------

class Noted(str):
    """A key that notes each hash and each comparison it takes part in."""

    log = []

    def __hash__(self):
        Noted.log.append(("hash", str.__str__(self)))
        return str.__hash__(self)

    def __eq__(self, other):
        Noted.log.append(("eq", str.__str__(self)))
        return str.__eq__(self, other)

    __ne__ = str.__ne__


class Element:
    """A tuple element whose hash and comparisons are noted."""

    def __init__(self, name):
        self.name = self.label = name  # shape() names it by its label

    def __hash__(self):
        Noted.log.append(("hash", self.name))
        return hash(self.name)

    def __eq__(self, other):
        Noted.log.append(("eq", self.name))
        return isinstance(other, Element) and other.name == self.name


def _stored_with_a_noted_key(module):
    # a stored dictionary holding a key whose comparisons are noted; plain keys that
    # collide with it are looked up after it, where the walk entered it
    return [(("a",), {Noted("x"): {}}), (("a", "x", "p"), 1), (("a", "x", "q"), 2), (("a", "y"), 3)]


def _noted_step_then_plain(module):
    # the noted key becomes a key of a level the walk made; plain "k" collides with it later
    return [(("a", Noted("k"), "p"), 1), (("a", "k", "q"), 2), (("a", "k", "r"), 3)]


def _tuple_step(module):
    return [(("a", ("t", Element("e")), "p"), 1), (("a", ("t", Element("e")), "q"), 2), (("a", "b"), 3)]


def _empty_dict_stored_into_itself(module):
    # no code runs at all: the store of the third pair replaces a level its own walk read
    E = {}
    return [(("a",), E), (("a", "z"), E), (("a", "z", "z"), 0), (("a", "z", "y"), 1)]


def _empty_list_grown_into_itself(module):
    L = []
    m = module.IndexMarker(list, 0)
    return [(("a",), L), (("a", m), L), (("a", m, m), 0), (("a", m, "y"), 1)]


def _plain_after_loud(module):
    # a stored dictionary with keys makes the walk loud; the plain pairs after it still agree
    return [(("s",), {"x": {}}), (("s", "x", "y"), 1), (("a", "b", "c"), 2), (("a", "b", "d"), 3),
            (("a", "e"), 4)]


@pytest.mark.parametrize("pairs", [_stored_with_a_noted_key, _noted_step_then_plain, _tuple_step,
                                   _empty_dict_stored_into_itself, _empty_list_grown_into_itself,
                                   _plain_after_loud])
def test_reconstruct_runs_what_the_python_class_runs(pairs):
    def run(module):
        Noted.log = []
        world = World(module)
        got = outcome(module.FlatNest(pairs(module)).reconstruct, lambda value: shape(value, world))
        return got, tuple(Noted.log)

    assert run(flatnest) == run(pyforms.flatnest)


# --- tuple levels walked into: what user code of a holder and of tuple types sees ----------

def walk_into_held_tuple(module, behaviour, index, tail):
    """A tuple stored in a holder's slot "t", and a later pair that walks into it."""
    world = World(module)
    holder = world.Holder(t=(1, {}))
    holder.behaviour = behaviour
    pairs = [(("a",), holder), (("a", "t", module.IndexMarker((), index)) + tail, 3)]
    return outcome(module.FlatNest(pairs).reconstruct, repr), world.log


@pytest.mark.parametrize("behaviour", [(None, 0), ("other", 2), ("copy", 2), ("other", 3), ("copy", 3)])
@pytest.mark.parametrize("index, tail", [(0, ()), (5, ()), (5, ("x",)), (1, ("x",))])
def test_reconstruct_walks_into_a_tuple_a_holder_hands_back(behaviour, index, tail):
    # the second read hands back what stands in the tuple's slot: the walk goes on with
    # whatever it is, calling its methods as the class in Python does
    expected = walk_into_held_tuple(pyforms.flatnest, behaviour, index, tail)
    assert walk_into_held_tuple(flatnest, behaviour, index, tail) == expected


@pytest.mark.parametrize("action, at", [("raise", 2), ("raise", 3), ("raise", 4), ("delete", 2), ("delete", 3)])
def test_reconstruct_passes_on_a_lookup_error_of_a_tuple_slot(action, at):
    # the fourth read of the slot is the one that puts the tuple in place at the end:
    # it raises, or finds the slot deleted at the third
    expected = walk_into_held_tuple(pyforms.flatnest, (action, at), 1, ("x",))
    assert expected[0][0] is KeyError
    assert walk_into_held_tuple(flatnest, (action, at), 1, ("x",)) == expected


LAST = object()  # stands for the stored tuple's own last element


@pytest.mark.parametrize("kind", ["tuple", "namedtuple", "subclass"])
@pytest.mark.parametrize("index, tail, value, kept", [
    (1, ("x",), 3, True),   # into its last element: the tuple still holds the same objects
    (1, (), LAST, True),    # its last element stored again
    (1, (), 3, False),      # its last element replaced
    (7, (), 3, False),      # a position it lacks: one element more
])
def test_reconstruct_puts_back_a_stored_tuple_left_unchanged(kind, index, tail, value, kept):
    def run(module):
        world = World(module)
        stored = world.tuple_kinds[kind]((1, {}))
        del world.log[:]
        obj = stored[-1] if value is LAST else value
        pairs = [(("a",), stored), (("a", module.IndexMarker(stored, index)) + tail, obj)]
        got = outcome(module.FlatNest(pairs).reconstruct, lambda out: (repr(out), out["a"] is stored))
        return got, world.log

    expected = run(pyforms.flatnest)
    assert (expected[0][0] == "ok" and expected[0][1][1]) == kept
    assert run(flatnest) == expected
