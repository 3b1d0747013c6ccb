"""NestedFieldMap against the same class written in Python, with plain and hostile keys and values."""
import copy
import functools
import os
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import given
from hypothesis import strategies as st

import pyforms.fieldmap
import differential
from differential import Hook, collections_between_steps, outcome, runs
from vornal.datastructures import fieldmap

HEADS = ["a", "b", "c"]


# --- a world: the map under test, its class and what user code saw -----------------------

class World:
    def __init__(self, module, sub=True):
        self.module = module
        self.log = []
        base = module.NestedFieldMap
        self.cls = type("Map", (base,), {}) if sub else base
        # What a switch of the root's class (a hook's "switch") moves it to.
        self.missing_cls = type("Missing", (self.cls,), {"__missing__": missing})
        self.root = self.cls()

    def install(self, name):
        """A logging override of `name` on the world's class, deferring to the base."""
        cls, log = self.cls, self.log

        def method(self, *args, **kwargs):
            log.append((name, tuple(shape(a) for a in args[:1])))
            return getattr(super(cls, self), name)(*args, **kwargs)

        method.__name__ = name
        setattr(cls, name, method)


def missing(self, key):
    """A __missing__ that answers with the key it was given."""
    return f"missing {label(key)}"


def label(obj):
    """How keys and values are compared across worlds."""
    if isinstance(obj, str):
        return (type(obj).__name__, str.__str__(obj))
    return getattr(obj, "label", obj)


class HKey(differential.HKey):
    """A key whose __hash__ or __eq__ runs a hook; its segments are HKeys too."""

    def split(self, sep=None, maxsplit=-1):
        return [HKey(part, self.event, self.hook) for part in str.split(self, sep, maxsplit)]


class Collider(str):
    """A key with the hash of another text, unequal to it: looking that text up
    compares it with this key, which runs the hook."""

    def __new__(cls, text, alias, hook):
        self = super().__new__(cls, text)
        self.alias, self.hook = alias, hook
        return self

    def __hash__(self):
        return hash(self.alias)

    def __eq__(self, other):
        self.hook.fire()
        return str.__eq__(self, other)

    def __ne__(self, other):
        return not self == other


class Dying:
    """A value whose finalisation runs an action on its world."""

    def __init__(self, world, label, action):
        self.world, self.label, self.action = world, label, action

    def __del__(self):
        self.action(self.world)

    def __repr__(self):
        return self.label


class HMap(dict):
    """A mapping whose items() runs a hook, as update() reads it."""

    hook = None

    def items(self):
        self.hook.fire()
        return super().items()


# --- what the hooks do -----------------------------------------------------------------

INSTALLABLE = ["__setitem__", "__getitem__", "__contains__", "__delitem__", "setdefault", "update"]


def actions():
    """Action specs: (name, argument)."""
    return st.one_of(
        st.tuples(st.just("install"), st.sampled_from(INSTALLABLE)),
        st.tuples(st.sampled_from(["rebind", "scalar", "delete"]), st.sampled_from(HEADS)),
        st.tuples(st.sampled_from(["rename", "missing", "switch"]), st.none()),
    )


def make_action(spec):
    kind, arg = spec

    def act(world):
        if kind == "install":
            world.install(arg)
        elif kind == "rebind":
            dict.__setitem__(world.root, arg, world.cls())
        elif kind == "scalar":
            dict.__setitem__(world.root, arg, 0)
        elif kind == "delete":
            dict.pop(world.root, arg, None)
        elif kind == "rename":
            world.cls.__name__ = "Renamed"
        elif kind == "missing":  # dict.__getitem__ calls it on a miss from now on
            world.cls.__missing__ = missing
        elif kind == "switch":
            if isinstance(world.root, world.cls):
                world.root.__class__ = world.missing_cls

    return act


def hook_actions():
    """Actions that a hash, an equality or a finalisation may run in the middle of an operation."""
    return actions()


# --- specs of keys and values, made anew in each world ---------------------------------

TEXTS = ["a", "b", "a.b", "a.b.c", "b.a", "a.", ".a", "", "update", "a.update"]
PLAIN_KEYS = st.one_of(st.tuples(st.just("str"), st.sampled_from(TEXTS)), st.just(("int", 1)))
HOSTILE_KEYS = st.one_of(
    st.tuples(st.just("hkey"), st.sampled_from(TEXTS), st.sampled_from(["hash", "eq"]), st.integers(1, 3),
              hook_actions()),
    st.tuples(st.just("collide"), st.sampled_from(["x", "y"]), st.sampled_from(HEADS), st.integers(1, 3),
              hook_actions()),
)


def keys(hostile):
    return st.one_of(PLAIN_KEYS, HOSTILE_KEYS) if hostile else PLAIN_KEYS


def values(hostile):
    scalars = st.one_of(st.tuples(st.just("int"), st.integers(-2, 2)),
                        st.tuples(st.just("str"), st.sampled_from(["", "x", "ab"])))
    if hostile:
        scalars = st.one_of(scalars, st.tuples(st.just("dying"), st.integers(0, 9), hook_actions()))

    def nested(inner):
        items = st.lists(st.tuples(keys(hostile), inner), max_size=3)
        made = st.tuples(st.just("dict"), items)
        if hostile:
            made = st.one_of(made, st.tuples(st.just("hmap"), items, st.integers(1, 2), hook_actions()))
        return made

    return st.recursive(scalars, nested, max_leaves=5)


def make(spec, world):
    kind = spec[0]
    if kind in ("str", "int"):
        return spec[1]
    if kind == "hkey":
        _, text, event, n, action = spec
        return HKey(text, event, Hook(world, n, make_action(action)))
    if kind == "collide":
        _, text, alias, n, action = spec
        return Collider(text, alias, Hook(world, n, make_action(action)))
    if kind == "dying":
        return Dying(world, f"dying{spec[1]}", make_action(spec[2]))
    if kind in ("dict", "hmap"):
        made = HMap() if kind == "hmap" else {}
        for k, v in spec[1]:
            made[make(k, world)] = make(v, world)
        if kind == "hmap":
            made.hook = Hook(world, spec[2], make_action(spec[3]))
        return made
    raise AssertionError(spec)


def shape(obj):
    """Maps as (class name, [(key, value)...]) in their order, keys and values by label."""
    if isinstance(obj, dict):
        return (type(obj).__name__, [(label(k), shape(v)) for k, v in dict.items(obj)])
    if isinstance(obj, (list, tuple)):
        return [shape(v) for v in obj]
    return label(obj)


# --- operations --------------------------------------------------------------------------

def operations(hostile):
    k, v = keys(hostile), values(hostile)
    return st.one_of(
        st.tuples(st.just("set"), k, v),
        st.tuples(st.just("get"), k),
        st.tuples(st.just("contains"), k),
        st.tuples(st.just("delete"), k),
        st.tuples(st.just("get_method"), k, v),
        st.tuples(st.just("pop"), k, st.one_of(st.none(), v)),
        st.tuples(st.just("setdefault"), k, v),
        st.tuples(st.just("update"), st.lists(st.tuples(k, v), max_size=3), st.booleans(),
                  st.dictionaries(st.sampled_from(HEADS), v, max_size=2)),
        st.tuples(st.just("update_bad"), st.sampled_from([["ab", "abc"], [(1, 2, 3)], [7], [("a", 1)] * 2])),
        st.tuples(st.just("attribute"), st.sampled_from(HEADS + ["update", "get"]), v),
        st.tuples(st.just("repr")),
        st.tuples(st.just("copy"), st.sampled_from(["copy", "method"] if hostile else ["copy", "deepcopy", "method"])),
        st.tuples(st.just("install"), st.sampled_from(INSTALLABLE)),
        st.tuples(st.just("construct"), st.lists(st.tuples(k, v), max_size=3)),
    )


def run(op, world):
    """The outcome of one operation in one world."""
    m = world.root
    kind = op[0]
    if kind == "install":
        return outcome(lambda: world.install(op[1]))
    if kind == "construct":
        def construct():
            world.root = world.cls(make(("dict", op[1]), world))
            return world.root

        return outcome(construct, shape)
    if kind == "update":
        _, items, as_list, kwargs = op
        source = make(("dict", items), world)
        if as_list:
            source = list(dict.items(source))
        extra = {name: make(value, world) for name, value in kwargs.items()}
        return outcome(lambda: m.update(source, **extra), shape)
    if kind == "update_bad":
        return outcome(lambda: m.update(op[1]), shape)
    if kind == "attribute":
        name, value = op[1], make(op[2], world)
        first = outcome(lambda: setattr(m, name, value))
        return first, outcome(lambda: getattr(m, name), shape)
    if kind == "repr":
        return outcome(lambda: repr(m))
    if kind == "copy":
        how = {"copy": copy.copy, "deepcopy": copy.deepcopy, "method": lambda m: m.copy()}[op[1]]
        return outcome(lambda: how(m), shape)
    key = make(op[1], world)
    if kind == "set":
        value = make(op[2], world)
        return outcome(lambda: m.__setitem__(key, value))
    if kind == "get":
        return outcome(lambda: m[key], shape)
    if kind == "contains":
        return outcome(lambda: key in m)
    if kind == "delete":
        return outcome(lambda: m.__delitem__(key))
    if kind == "get_method":
        default = make(op[2], world)
        return outcome(lambda: m.get(key, default), shape)
    if kind == "pop":
        args = (key,) if op[2] is None else (key, make(op[2], world))
        return outcome(lambda: m.pop(*args), shape)
    if kind == "setdefault":
        value = make(op[2], world)
        return outcome(lambda: m.setdefault(key, value), shape)
    raise AssertionError(op)


def check_same(start, ops, sub=True):
    ours, python = World(fieldmap, sub), World(pyforms.fieldmap, sub)
    with collections_between_steps() as collect:
        for op in [("construct", start)] + ops:
            expected = run(op, python)
            collect()
            got = run(op, ours)
            collect()
            assert got == expected, op
            assert ours.log == python.log, op
            assert shape(ours.root) == shape(python.root), op
            assert ours.root.__dict__ is ours.root


@runs(release=200, debug=40)
@given(start=st.lists(st.tuples(keys(False), values(False)), max_size=4),
       ops=st.lists(operations(False), max_size=10), sub=st.booleans())
def test_plain_data(start, ops, sub):
    check_same(start, [op for op in ops if op[0] != "install" or sub], sub)


@runs(release=250, debug=50)
@given(start=st.lists(st.tuples(keys(True), values(True)), max_size=4), ops=st.lists(operations(True), max_size=10))
def test_hostile_keys_and_values(start, ops):
    check_same(start, ops)


# --- the differences found, one explicit test each ----------------------------------------

def plan_taken_early(module, operation):
    """A stored key with the hash of 'a' whose __eq__ installs a logging __setitem__
    on the class, then a dotted set or a merge that looks 'a' up."""
    world = World(module)
    collider = Collider("x", "a", Hook(world, 1, lambda w: w.install("__setitem__")))
    dict.__setitem__(world.root, collider, 0)
    operation(world.root)
    return world.log, shape(world.root)


@pytest.mark.parametrize("operation", [
    pytest.param(lambda m: m.__setitem__("a.b", 1), id="dotted-set"),
    pytest.param(lambda m: m.update({"a": {"b": 1}}), id="update"),
])
def test_difference_stale_plan(operation):
    got, expected = plan_taken_early(fieldmap, operation), plan_taken_early(pyforms.fieldmap, operation)
    assert expected[0] == [("__setitem__", (("str", "a"),)), ("__setitem__", (("str", "b"),))]
    assert got == expected


SPLIT_LOOP = textwrap.dedent("""
    import sys
    from {module} import NestedFieldMap

    class K(str):
        def split(self, sep=None, maxsplit=-1):
            return ("a", K(self))  # never shorter

    sys.setrecursionlimit(300)
    m = NestedFieldMap()
    dict.__setitem__(m, "a", m)
    try:
        {operation}
    except RecursionError:
        print("RecursionError")
""")
SPLIT_OPERATIONS = ["m[K('a.b')]", "m[K('a.b')] = 1", "del m[K('a.b')]", "K('a.b') in m"]


def split_loops(modules, timeout=5):
    """What each walk gives in a child process, per module: its output, or "hangs"."""
    env = {**os.environ, "PYTHONPATH": os.path.dirname(os.path.abspath(__file__))}  # pyforms
    children = {(module, op): subprocess.Popen(
        [sys.executable, "-c", SPLIT_LOOP.format(module=module, operation=op)],
        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)
        for module in modules for op in SPLIT_OPERATIONS}
    deadline = time.monotonic() + timeout
    results = {module: [] for module in modules}
    for (module, op), child in children.items():
        try:
            results[module].append(child.communicate(timeout=max(0.1, deadline - time.monotonic()))[0].strip())
        except subprocess.TimeoutExpired:
            child.kill()
            child.communicate()
            results[module].append("hangs")
    return results


def test_difference_split_that_never_shortens():
    results = split_loops(["pyforms.fieldmap", "vornal.datastructures.fieldmap"])
    assert results["pyforms.fieldmap"] == ["RecursionError"] * 4
    assert results["vornal.datastructures.fieldmap"] == ["RecursionError"] * 4


class Counted(str):
    """A head that counts how often it is hashed."""

    hashes = 0

    def __hash__(self):
        type(self).hashes += 1
        return str.__hash__(self)


class CountedKey(str):
    def split(self, sep=None, maxsplit=-1):
        return [Counted(part) for part in str.split(self, sep, maxsplit)]


def test_difference_contains_looks_the_head_up_once():
    def hashes(module):
        m = module.NestedFieldMap({"a": {"b": 1}})
        Counted.hashes = 0
        assert CountedKey("a.b") in m
        return Counted.hashes

    assert hashes(fieldmap) == hashes(pyforms.fieldmap) == 3  # twice the head 'a', once the last key 'b'


# --- user code in the middle of a lookup: a __missing__ that appears, a class switched ---------

def mid_lookup(module, trigger, operation):
    """A key stored with the hash of 'a' (in the map and in its level 'q') whose __eq__,
    at the first lookup of 'a', installs __missing__ on the class ("missing") or switches
    the map and its level to a subclass with one ("switch") or without ("plain")."""
    world = World(module)
    level, plain = world.cls(), type("Sub", (world.cls,), {})

    def act(w):
        if trigger == "missing":
            w.cls.__missing__ = missing
        else:
            w.root.__class__ = level.__class__ = w.missing_cls if trigger == "switch" else plain

    dict.__setitem__(world.root, "q", level)
    for m in (world.root, level):
        dict.__setitem__(m, Collider("x", "a", Hook(world, 1, act)), 0)
    return outcome(lambda: operation(world.root), shape), shape(world.root)


MISSED = ("ok", ("str", "missing ('str', 'a')"))
IS_A_VALUE = (KeyError, "'target key \"a\" is a value, cannot update value against another Sub'")
MID_LOOKUP = {  # operation: what the Python code gives under "missing" and "switch", then "plain"
    "get": (lambda m: m["a"], MISSED, (KeyError, "'a'")),
    "dotted-get": (lambda m: m["q.a"], MISSED, (KeyError, "'a'")),
    "get-method": (lambda m: m.get("q.a", 5), MISSED, ("ok", 5)),
    "setdefault": (lambda m: m.setdefault("a", 7), MISSED, ("ok", 7)),
    "dotted-pop": (lambda m: m.pop("q.a", 9), (KeyError, "'a'"), ("ok", 9)),  # __missing__ answers, del misses
    "dotted-del": (lambda m: m.__delitem__("q.a"), (KeyError, "'a'"), (KeyError, "'a'")),
    # the level offered is made before the lookup, of the class then: no level of the new class
    "dotted-set": (lambda m: m.__setitem__("a.b", 1), None, IS_A_VALUE),
    "update-dotted": (lambda m: m.update({"a.b": 1}), None, IS_A_VALUE),
    "update": (lambda m: m.update({"a": {"b": 1}}), None, ("ok", None)),
}


@pytest.mark.parametrize("trigger", ["missing", "switch", "plain"])
@pytest.mark.parametrize("operation, with_missing, plain", MID_LOOKUP.values(), ids=MID_LOOKUP.keys())
def test_user_code_in_the_middle_of_a_lookup(trigger, operation, with_missing, plain):
    expected = mid_lookup(pyforms.fieldmap, trigger, operation)
    assert expected[0] == (plain if trigger == "plain" else with_missing or expected[0])
    assert mid_lookup(fieldmap, trigger, operation) == expected


# --- depth: levels counted against the recursion limit as the Python code's calls ----------

def chain(cls, n):
    """A map n levels deep along the key 'k', its deepest entry 1."""
    root = m = cls()
    for _ in range(n - 1):
        dict.__setitem__(m, "k", cls())
        m = dict.__getitem__(m, "k")
    dict.__setitem__(m, "k", 1)
    return root


SELF_CONTAINING = {}
SELF_CONTAINING["a"] = SELF_CONTAINING


def deepest(operation, cls, limit=400):
    """The most levels of the key k.k...k that `operation` takes before RecursionError."""
    def works(n):
        try:
            operation(cls, n, ".".join("k" * n))
        except RecursionError:
            return False
        return True

    old, low, high = sys.getrecursionlimit(), 1, 2 * limit
    sys.setrecursionlimit(limit)
    try:
        while low < high:
            middle = (low + high + 1) // 2
            low, high = (middle, high) if works(middle) else (low, middle - 1)
        return low
    finally:
        sys.setrecursionlimit(old)


DEEP = {
    "contains": lambda cls, n, key: key in chain(cls, n),
    "del": lambda cls, n, key: chain(cls, n).__delitem__(key),
    "pop": lambda cls, n, key: chain(cls, n).pop(key, 0),
    "set": lambda cls, n, key: chain(cls, n).__setitem__(key, 2),
    "set-new": lambda cls, n, key: cls().__setitem__(key, 2),
    "update": lambda cls, n, key: chain(cls, n).update(functools.reduce(lambda inner, _: {"k": inner}, range(n), 1)),
    "construct": lambda cls, n, key: cls(functools.reduce(lambda inner, _: {"k": inner}, range(n), 1)),
    "self-containing": lambda cls, n, key: cls(SELF_CONTAINING),  # RecursionError at every n
}


@pytest.mark.parametrize("operation", DEEP.values(), ids=DEEP.keys())
def test_depth_limits_as_the_python_code_counts(operation):
    assert deepest(operation, fieldmap.NestedFieldMap) == deepest(operation, pyforms.fieldmap.NestedFieldMap)
