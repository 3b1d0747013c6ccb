"""FlatNest: a nested dictionary as a list of path/value pairs, and back."""
import collections
import gc
import pickle
import subprocess
import sys
import types
import weakref
from collections import OrderedDict, UserDict
from collections.abc import MutableMapping

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pyforms.flatnest
from leakcheck import assert_no_leaks
import vornal.datastructures.flatnest as flatnest
from vornal.datastructures.flatnest import DictItem, FlatNest, IndexMarker

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

PAIR_ERROR = "FlatNest only accepts a tuple of path/obj"


def steps(path):
    """A path with every marker as (type_, index), comparable across flattenings."""
    return tuple((s.type_, s.index) if isinstance(s, IndexMarker) else s for s in path)


def shape(items):
    return [(steps(p), v) for p, v in items]


L, T = list, tuple  # marker types in expected paths


def unpack_error(value):
    """What the interpreter raises for `a, b = value`."""
    try:
        a, b = value
    except Exception as e:
        return type(e), str(e)
    return None


# --- module and classes ---------------------------------------------------------------


def test_module_namespace():
    public = [k for k in vars(flatnest) if not k.startswith("__")]
    assert public == ["namedtuple", "MutableMapping", "DictItem", "IndexMarker", "FlatNest"]
    assert flatnest.namedtuple is collections.namedtuple
    assert flatnest.MutableMapping is MutableMapping
    assert not hasattr(flatnest, "__all__")


def test_dict_item_is_a_named_tuple_of_this_module():
    item = DictItem(("a",), 1)
    assert DictItem._fields == ("path", "value") and DictItem.__module__ == "vornal.datastructures.flatnest"
    assert repr(item) == "DictItem(path=('a',), value=1)" and pickle.loads(pickle.dumps(item)) == item


def test_class_shapes():
    assert IndexMarker.__bases__ == (object,) and type(IndexMarker) is type
    assert IndexMarker.__doc__.startswith("A path step") and not hasattr(IndexMarker, "__slots__")
    assert IndexMarker.__init__.__doc__.startswith("Tracks the index position of elements in list/tuple")
    assert FlatNest.__bases__ == (list,) and type(FlatNest) is type
    assert (FlatNest.__module__, FlatNest.__qualname__) == ("vornal.datastructures.flatnest", "FlatNest")
    assert FlatNest.__doc__.startswith("FlatNest class (list)")
    assert "[(path, value), (path, value) ...]" in FlatNest.__doc__
    own = {k for k in vars(FlatNest) if not k.startswith("__") or k in ("__init__", "__setitem__", "__flatten__")}
    assert own == {"__init__", "__flatten__", "__setitem__", "append", "extend", "insert", "reconstruct"}
    assert isinstance(vars(FlatNest)["__flatten__"], staticmethod)
    assert "new dictionary" in FlatNest.reconstruct.__doc__


# --- IndexMarker ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, index, type_, stored, text",
    [([], 3, list, 3, "list[3]"), ((), "2", tuple, 2, "tuple[2]"), ([], 2.9, list, 2, "list[2]"),
     (FlatNest(), True, FlatNest, 1, "FlatNest[1]"), ({}, 0, dict, 0, "dict[0]")],
)
def test_index_marker(obj, index, type_, stored, text):
    m = IndexMarker(obj, index)
    assert m.type_ is type_ and m.index == stored and type(m.index) is int
    assert vars(m) == {"type_": type_, "index": stored}
    assert repr(m) == text


def test_index_marker_compares_by_identity_and_keeps_no_container():
    a, b = IndexMarker([], 0), IndexMarker([], 0)
    assert a != b and a == a and hash(a) != hash(b)
    container = [1]
    m = IndexMarker(container, 0)
    ref = weakref.ref(m)
    assert container not in vars(m).values()
    del m
    assert ref() is None


@pytest.mark.parametrize("index, error", [("x", ValueError), (None, TypeError), ([], TypeError)])
def test_index_marker_bad_index(index, error):
    m = IndexMarker.__new__(IndexMarker)
    with pytest.raises(error):
        m.__init__([], index)
    assert m.type_ is list  # set before the conversion failed


# --- flattening -----------------------------------------------------------------------

EXAMPLE = {"a": {"b": 1, "c": [10, {"d": 2}, []]}, "e": ()}


def test_worked_example():
    items = FlatNest(EXAMPLE)
    assert all(type(i) is DictItem for i in items)
    assert shape(items) == [
        (("a", "b"), 1),
        (("a", "c", (L, 0)), 10),
        (("a", "c", (L, 1), "d"), 2),
        (("a", "c", (L, 2)), []),
        (("e",), ()),
    ]
    assert repr(items[2].path) == "('a', 'c', list[1], 'd')"
    markers = [items[i].path[2] for i in (1, 2, 3)]
    assert len({id(m) for m in markers}) == 3


@pytest.mark.parametrize(
    "data, expected",
    [
        ({}, []),
        ({"s": "abc", "n": None}, [(("s",), "abc"), (("n",), None)]),
        ({"t": (5, 6)}, [(("t", (T, 0)), 5), (("t", (T, 1)), 6)]),
        ({"m": [[1, 2], [3]]}, [(("m", (L, 0), (L, 0)), 1), (("m", (L, 0), (L, 1)), 2), (("m", (L, 1), (L, 0)), 3)]),
        ({"s": {1}, "p": types.MappingProxyType({"x": 1})}, None),  # leaves, checked below
        ({1: {(2, 3): "k"}}, [((1, (2, 3)), "k")]),
    ],
)
def test_flatten_cases(data, expected):
    items = FlatNest(data)
    if expected is None:
        expected = [((k,), v) for k, v in data.items()]
    assert shape(items) == expected


@pytest.mark.parametrize("empty", [{}, [], ()])
def test_empty_containers_are_stored_by_reference(empty):
    (item,) = FlatNest({"a": empty})
    assert item == (("a",), empty) and item.value is empty


def test_mapping_kinds():
    class Backwards(dict):
        def items(self):
            return reversed(list(super().items()))

    assert shape(FlatNest(Backwards(a=1, b={"c": 2}))) == [(("b", "c"), 2), (("a",), 1)]
    od = OrderedDict(a=1, b=2)
    od.move_to_end("a")
    assert shape(FlatNest(od)) == [(("b",), 2), (("a",), 1)]
    assert shape(FlatNest(UserDict(x=UserDict(y=1)))) == [(("x", "y"), 1)]

    class ListSub(list):
        pass

    (item,) = FlatNest({"l": ListSub([1])})
    assert item.path[1].type_ is ListSub


@pytest.mark.parametrize(
    "args, expected",
    [
        (({"a": 1}, ("x",)), [(("x", "a"), 1)]),
        (([7, 8],), [(((L, 0),), 7), (((L, 1),), 8)]),
        (({"a": 1}, ()), [(("a",), 1)]),
        (({"a": 1}, []), [(("a",), 1)]),
    ],
)
def test_flatten_called_directly(args, expected):
    assert shape(FlatNest.__flatten__(*args)) == expected
    assert shape(FlatNest().__flatten__(*args)) == expected  # through an instance too


def test_flatten_edges():
    leaf = object()
    assert list(FlatNest.__flatten__(leaf)) == [leaf]  # a leaf yields itself
    for path in (["x"], "x"):  # a non-empty path must be a tuple
        with pytest.raises(TypeError):
            list(FlatNest.__flatten__({"a": 1}, path))

    class Falsy(list):
        def __bool__(self):
            return False

    f = Falsy([1, 2])
    assert shape(FlatNest({"f": f})) == [(("f",), f)]  # the truth test decides descent

    class Odd(dict):
        def items(self):
            return [("a", 1, 2)]

    with pytest.raises(ValueError) as err:
        FlatNest(Odd(a=1))
    assert (ValueError, str(err.value)) == unpack_error(("a", 1, 2))


def test_flatten_is_lazy():
    seen = []

    class Loud(dict):
        def items(self):
            seen.append(self["name"])
            return super().items()

    inner = Loud(name="inner")
    gen = FlatNest.__flatten__(Loud(name="outer", sub=inner, z=1))
    assert seen == []
    assert next(gen) == (("name",), "outer") and seen == ["outer"]
    assert next(gen) == (("sub", "name"), "inner") and seen == ["outer", "inner"]
    assert next(gen) == (("z",), 1)
    with pytest.raises(StopIteration):
        next(gen)


def test_errors_surface_where_the_walk_meets_them():
    class Bad(dict):
        def items(self):
            raise KeyError("boom")

    gen = FlatNest.__flatten__({"a": 1, "b": Bad(x=1), "c": 2})
    assert next(gen) == (("a",), 1)
    with pytest.raises(KeyError, match="boom"):
        next(gen)
    with pytest.raises(StopIteration):
        next(gen)
    with pytest.raises(KeyError, match="boom"):
        FlatNest({"b": Bad(x=1)})


def test_isinstance_follows_class_and_abc_registration():
    # A proxy reports the class of its referent: it is walked as a list.
    class Items(list):
        pass

    target = Items([1, 2])
    proxy = weakref.proxy(target)
    items = FlatNest({"p": proxy})
    assert [i.value for i in items] == [1, 2] and items[0].path[1].type_ is weakref.ProxyType
    # Registering a built-in type with MutableMapping is seen at once, even
    # after values of that type were walked as leaves (in a fresh
    # interpreter: the registration cannot be undone).
    code = """if True:
        from collections.abc import MutableMapping
        from vornal.datastructures.flatnest import FlatNest
        assert FlatNest({"e": ...})[0].value is ...
        MutableMapping.register(type(...))
        try:
            FlatNest({"e": ...})
        except AttributeError as e:
            assert "items" in str(e)
        else:
            raise AssertionError("not walked as a mapping")
    """
    subprocess.run([sys.executable, "-c", code], check=True)


def test_deep_nesting_raises_recursion_error():
    d = leaf = {}
    for _ in range(100000):
        leaf["x"] = leaf = {}
    leaf["x"] = 1
    with pytest.raises(RecursionError):
        FlatNest(d)
    with pytest.raises(RecursionError):
        list(FlatNest.__flatten__(d))
    shallow = inner = {}
    for _ in range(200):
        inner["x"] = inner = {}
    inner["x"] = 1
    assert len(FlatNest(shallow)[0].path) == 201


# --- names looked up at call time -----------------------------------------------------


def test_constructor_uses_the_module_class_flatten(monkeypatch):
    class Sub(FlatNest):
        @staticmethod
        def __flatten__(indict, path=None):
            yield DictItem(("sub",), 0)

    assert shape(Sub({"a": 1})) == [(("a",), 1)]

    def replacement(indict, path=None):
        return iter([DictItem(("r",), len(indict))])

    monkeypatch.setattr(FlatNest, "__flatten__", staticmethod(replacement))
    assert shape(FlatNest({"a": 1, "b": 2})) == [(("r",), 2)]


def test_nested_levels_call_the_current_flatten(monkeypatch):
    original = FlatNest.__flatten__
    expected = shape(original(EXAMPLE))
    calls = []

    def traced(indict, path=None):
        calls.append(path)
        return original(indict, path)

    monkeypatch.setattr(FlatNest, "__flatten__", staticmethod(traced))
    assert shape(FlatNest(EXAMPLE)) == expected
    assert calls == [None, ("a",), ("a", "c"), ("a", "c", calls[3][2])]
    calls.clear()
    assert shape(original(EXAMPLE)) == expected  # the generator itself defers to it too
    assert calls == [("a",), ("a", "c"), ("a", "c", calls[2][2])]


def test_module_names_are_read_at_call_time(monkeypatch):
    made = []

    class Item(tuple):
        def __new__(cls, path, value):
            made.append(path)
            return super().__new__(cls, (path, value))

    monkeypatch.setattr(flatnest, "DictItem", Item)
    fn = FlatNest({"a": [1]})
    fn.append((("b",), 2))
    assert [type(i) for i in fn] == [Item, Item] and len(made) == 2

    class Marker(IndexMarker):
        pass

    monkeypatch.setattr(flatnest, "IndexMarker", Marker)
    assert type(FlatNest({"a": [1]})[0][0][1]) is Marker

    monkeypatch.setattr(flatnest, "MutableMapping", dict)
    assert shape(FlatNest({"u": UserDict(x=1)})) == [(("u",), UserDict(x=1))]


def test_a_name_rebound_while_a_walk_is_suspended_is_read_anew(monkeypatch):
    # Module names are looked up as each item is made, not once per call.
    class Item(tuple):
        def __new__(cls, path, value):
            return super().__new__(cls, (path, value))

    walk = FlatNest.__flatten__({"a": 1, "b": 2, "c": 3})
    first = next(walk)
    monkeypatch.setattr(flatnest, "DictItem", Item)
    second = next(walk)
    monkeypatch.undo()
    third = next(walk)
    assert [type(i) for i in (first, second, third)] == [flatnest.DictItem, Item, flatnest.DictItem]


def test_changes_to_dict_item_are_honoured(monkeypatch):
    def new(cls, path, value):
        return tuple.__new__(cls, (path, ("seen", value)))

    monkeypatch.setattr(DictItem, "__new__", new)
    assert FlatNest({"a": 1})[0] == (("a",), ("seen", 1))
    monkeypatch.undo()
    assert FlatNest({"a": 1})[0] == (("a",), 1)

    def init(self, *args):
        self.__class__  # any __init__ of its own takes the general path
        raise RuntimeError("init ran")

    monkeypatch.setattr(DictItem, "__init__", init)
    with pytest.raises(RuntimeError, match="init ran"):
        FlatNest({"a": 1})


def test_mixin_between_flatnest_and_list_receives_a_generator():
    received = []

    class Mixin(list):
        def __init__(self, *args):
            received.append(args)
            super().__init__(*args)

    class Mixed(FlatNest, Mixin):
        pass

    m = Mixed({"a": 1})
    assert shape(m) == [(("a",), 1)]
    (args,) = received
    assert type(args[0]).__name__ == "generator" and args[0].__qualname__ == "FlatNest.__flatten__"
    fn = FlatNest({"a": 1})
    fn.__init__({"b": 2})  # re-initialising replaces the content, as list does
    assert shape(fn) == [(("b",), 2)]


# --- constructor with pairs -----------------------------------------------------------

P, Q, R = (("p",), 1), [("q",), 2], "rs"


@pytest.mark.parametrize(
    "arg, expected",
    [
        ([P], [P]),
        ([P, Q, R], [P, (("q",), 2), ("r", "s")]),
        ((P, Q), [P, (("q",), 2)]),
        (lambda: iter([P, Q]), [P, (("q",), 2)]),  # read once (a new iterator for every run)
        (FlatNest({"a": 1}), [(("a",), 1)]),
        (types.MappingProxyType({"ab": 1}), [("a", "b")]),
        ([], []),
    ],
)
def test_constructor_pairs(arg, expected):
    if isinstance(arg, types.FunctionType):
        arg = arg()
    fn = FlatNest(arg)
    assert list(fn) == expected and all(type(i) is DictItem for i in fn)


@pytest.mark.parametrize("arg", [5, [P, 5], [P, (1, 2, 3)], [(("a",),)], "abc", [[]]])
def test_constructor_refuses_non_pairs(arg):
    with pytest.raises(ValueError, match=PAIR_ERROR) as err:
        FlatNest(arg)
    assert err.value.__context__ is not None


def test_constructor_argument_counts():
    assert FlatNest() == [] and type(FlatNest()) is FlatNest
    with pytest.raises(TypeError) as err:
        FlatNest(P, Q)
    try:
        list.__init__([], P, Q)
    except TypeError as e:
        assert str(err.value) == str(e)
    with pytest.raises(TypeError, match="unexpected keyword argument"):
        FlatNest(items=[P])


# --- the pair check ---------------------------------------------------------------------


def _raising_iter():
    yield ("a",)
    raise LookupError("in iteration")


BAD_PAIRS = [
    lambda: 5,
    lambda: [],
    lambda: (1,),
    lambda: (1, 2, 3),
    lambda: [1, 2, 3],
    lambda: {1: 0, 2: 0, 3: 0},
    lambda: "abc",
    lambda: iter([1, 2, 3]),
    lambda: _raising_iter(),
    lambda: None,
]

MUTATORS = [
    ("append", lambda fn, item: fn.append(item)),
    ("insert", lambda fn, item: fn.insert(0, item)),
    ("setitem", lambda fn, item: fn.__setitem__(0, item)),
    ("extend", lambda fn, item: fn.extend([P, item])),
    ("slice", lambda fn, item: fn.__setitem__(slice(0, 1), [P, item])),
    ("init", lambda fn, item: fn.__init__([P, item])),
]


@pytest.mark.parametrize("make_bad", BAD_PAIRS)
@pytest.mark.parametrize("name, mutate", MUTATORS)
def test_pair_check_refuses_with_context(name, mutate, make_bad):
    fn = FlatNest([P])
    before = list(fn)
    with pytest.raises(ValueError, match=PAIR_ERROR) as err:
        mutate(fn, make_bad())
    assert list(fn) == before
    expected = unpack_error(make_bad())
    assert (type(err.value.__context__), str(err.value.__context__)) == expected


@pytest.mark.parametrize("name, mutate", MUTATORS)
@pytest.mark.parametrize("exc", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_pair_check_lets_base_exceptions_through(name, mutate, exc):
    def pair():
        yield ("a",)
        raise exc

    fn = FlatNest([P])
    with pytest.raises(exc):
        mutate(fn, pair())
    assert list(fn) == [P]


def test_non_iterable_items_argument():
    fn = FlatNest()
    for call in (lambda: fn.extend(7), lambda: fn.__setitem__(slice(0, 0), 7), lambda: FlatNest(7)):
        with pytest.raises(ValueError, match=PAIR_ERROR) as err:
            call()
        assert isinstance(err.value.__context__, TypeError)
    assert fn == []


# --- mutators ---------------------------------------------------------------------------


def test_append_insert_extend_store_dict_items():
    fn = FlatNest()
    fn.append((("a",), 1))
    fn.append("ab")
    fn.insert(0, [("k",), "v"])
    fn.extend([(("b",), 2), (("c",), 3)])
    fn.extend(iter([(("d",), 4)]))  # read once
    assert fn == [(("k",), "v"), (("a",), 1), ("a", "b"), (("b",), 2), (("c",), 3), (("d",), 4)]
    assert all(type(i) is DictItem for i in fn)
    fn.extend(fn)
    assert len(fn) == 12


def test_setitem():
    p, q, r = DictItem(("p",), 1), (("q",), 2), (("r",), 3)
    fn = FlatNest([(("a",), 0), (("b",), 0)])
    fn[0] = p
    assert type(fn[0]) is tuple and fn[0] == p
    fn[0:1] = [p, q]
    assert fn == [p, q, (("b",), 0)] and type(fn[0]) is type(fn[1]) is tuple
    fn[0:1] = [p]
    assert fn == [p, q, (("b",), 0)]
    fn[0:1] = iter([p, q, r])
    assert fn == [p, q, r, q, (("b",), 0)] and all(type(i) is tuple for i in fn[:4])
    fn[-1] = iter([("z",), 9])
    assert fn[-1] == (("z",), 9)
    fn[::2] = [p, p, p]
    with pytest.raises(ValueError, match="extended slice"):
        fn[::2] = [p]
    with pytest.raises(IndexError):
        fn[10] = p
    with pytest.raises(TypeError):
        fn["x"] = p
    with pytest.raises(ValueError, match=PAIR_ERROR):
        fn[10] = 5  # the check comes first
    del fn[0]  # deletion is the list's own
    assert len(fn) == 4


def test_subclass_overrides_reach_flatnest_through_super():
    class Logged(FlatNest):
        log = []

        def append(self, item):
            self.log.append(item)
            super().append(item)

        def __setitem__(self, index, item):
            super().__setitem__(index, item)
            self.log.append(index)

    fn = Logged()
    fn.append("ab")
    fn[0] = "cd"
    assert fn == [("c", "d")] and Logged.log == ["ab", 0]
    with pytest.raises(ValueError):
        fn.append(1)


# --- reconstruct ------------------------------------------------------------------------

ROUND_TRIPS = [
    {},
    {"a": {"b": 1}, "l": [1, [2, 3], {"x": 4}], "t": (5, 6)},
    EXAMPLE,
    {"a": {}, "b": [], "c": (), "d": [{}], "e": [[]], "f": {"g": [{}, {}, 3]}},
    # tuple levels, rebuilt element by element like lists
    {"t": ({"x": 1}, {"y": 2})},
    {"t": ({}, 5)},
    {"t": ((1, 2),)},
    {"t": ([1, 2], (3, [4, (5,)]), {"k": (6, {})})},
    {"t": ((), [], {}, ((),))},
    {"l": [(1, {"a": (2, 3)}), [({},)]]},
]


@pytest.mark.parametrize("data", ROUND_TRIPS)
def test_round_trip(data):
    fn = FlatNest(data)
    snapshot = list(fn)
    out = fn.reconstruct()
    assert out == data and type(out) is dict
    assert list(fn) == snapshot  # never changes the list
    assert fn.reconstruct() is not out


def test_new_objects_at_every_level_and_shared_leaves():
    leaf = object()
    d = {"a": {"b": leaf}, "l": [1, [2, 3], {"x": 4}], "t": ({"y": 5},), "e": {}}
    out = FlatNest(d).reconstruct()
    assert out["a"] is not d["a"] and out["l"] is not d["l"] and out["l"][1] is not d["l"][1]
    assert out["l"][2] is not d["l"][2] and out["t"][0] is not d["t"][0]
    assert out["a"]["b"] is leaf and out["e"] is d["e"]


def test_tuple_subclass_level_is_built_from_its_elements():
    class Pair(tuple):
        pass

    out = FlatNest({"p": Pair(({"a": 1}, 2))}).reconstruct()
    assert type(out["p"]) is Pair and out["p"] == ({"a": 1}, 2)

    class Subl(list):
        pass

    out = FlatNest({"s": Subl([1, {"b": 2}])}).reconstruct()
    assert type(out["s"]) is Subl and out["s"] == [1, {"b": 2}]


M = IndexMarker


def odd_marker(obj, index):
    """A marker whose index was changed after construction."""
    m = IndexMarker(obj, 0)
    m.index = index
    return m


@pytest.mark.parametrize(
    "pairs, expected",
    [
        ([(("a", "x"), 1), (("a",), 2)], {"a": 2}),
        ([(("k", M([], 5)), "a"), (("k", M([], 9)), "b")], {"k": ["a", "b"]}),
        ([(("k", M([], 0), "x"), 1), (("k", M([], 1), "y"), 2), (("k", M([], 0), "z"), 3)],
         {"k": [{"x": 1}, {"y": 2, "z": 3}]}),
        ([("ab", 1)], {"a": {"b": 1}}),
        ([(["a", "b"], 1), (("a", "c"), 2)], {"a": {"b": 1, "c": 2}}),
        ([(("t", M((), 0)), 1), (("t", M((), 7)), 2)], {"t": (1, 2)}),
        # a marker of another type replaces the container in its slot
        ([(("k", M([], 0)), 1), (("k", M((), 0)), 2)], {"k": (2,)}),
        # a tuple stored as a value grows like a list stored as a value (which is grown in place)
        ([(("e",), ()), (("e", M((), 0)), 1)], {"e": (1,)}),
        ([(("e",), (7,)), (("e", M((), 3)), 1)], {"e": (7, 1)}),
    ],
)
def test_reconstruct_cases(pairs, expected):
    fn = FlatNest()
    list.extend(fn, pairs)
    assert fn.reconstruct() == expected


@pytest.mark.parametrize(
    "pairs, error, message",
    [
        ([((), 1)], UnboundLocalError, "local variable 'k' referenced before assignment"),
        ([((M([], 0),), 1)], UnboundLocalError, "local variable 'prev_ptr' referenced before assignment"),
        ([((M((), 0), "a"), 1)], UnboundLocalError, "local variable 'prev_ptr' referenced before assignment"),
        ([(("a",), 2), (("a", "x"), 1)], TypeError, None),
        ([5], TypeError, "cannot unpack non-iterable int object"),
        ([(("a",), 1, 2)], ValueError, "too many values to unpack (expected 2, got 3)"),
        ([(5, 1)], TypeError, None),
        ([(("k", M(FlatNest(), 0)), 1)], ValueError, PAIR_ERROR),
        ([(("k", M([], 0)), 1), (("k", odd_marker([], "x")), 2)], TypeError, "list indices"),
        ([(("k", M((), 0)), 1), (("k", odd_marker((), "x")), 2)], TypeError, "tuple indices must be integers"),
    ],
)
def test_reconstruct_failures(pairs, error, message):
    fn = FlatNest()
    list.extend(fn, pairs)
    snapshot = list(fn)
    with pytest.raises(error) as err:
        fn.reconstruct()
    if message:
        assert message in str(err.value)
    assert list(fn) == snapshot


@pytest.mark.parametrize("second", [(), (M([], 0),), (M((), 0), "x"), [M([], 1)]])
def test_later_pair_without_a_leading_key_is_refused(second):
    owned = {"inner": [1]}
    fn = FlatNest([(("a", "b"), owned), (second, "overwrite")])
    with pytest.raises(ValueError, match=PAIR_ERROR):
        fn.reconstruct()
    assert owned == {"inner": [1]}
    fn = FlatNest([(("l", M([], 0)), owned["inner"]), (second, "overwrite")])
    with pytest.raises(ValueError, match=PAIR_ERROR):
        fn.reconstruct()
    assert owned == {"inner": [1]}


def test_reconstruct_reads_module_names_at_call_time(monkeypatch):
    fn = FlatNest({"l": [1]})
    monkeypatch.setattr(flatnest, "IndexMarker", type("Other", (), {}))
    # The markers are no longer IndexMarkers: they are plain keys now.
    out = fn.reconstruct()
    assert list(out["l"]) == [fn[0].path[1]]
    monkeypatch.undo()

    fn = FlatNest([(("a", "b"), 1)])
    seen = []

    class MM(MutableMapping.__class__):
        def __instancecheck__(cls, obj):
            seen.append(type(obj))
            return isinstance(obj, dict)

    monkeypatch.setattr(flatnest, "MutableMapping", MM("MM", (), {}))
    assert fn.reconstruct() == {"a": {"b": 1}} and seen == [dict, dict]


# --- correctness beyond examples --------------------------------------------------------

keys = st.one_of(st.text(max_size=3), st.integers(-3, 3))
leaves = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=4),
    st.binary(max_size=3), st.just({}), st.just([]), st.just(()), st.frozensets(st.integers(0, 3), max_size=2),
)
nested = st.recursive(
    leaves,
    lambda children: st.one_of(
        st.dictionaries(keys, children, max_size=4),
        st.lists(children, max_size=4),
        st.lists(children, max_size=4).map(tuple),
    ),
    max_leaves=30,
)
documents = st.dictionaries(keys, nested, max_size=5)


def expected_walk(value, path):
    """The stated flattening order: depth first, containers only when non-empty."""
    if isinstance(value, dict):
        pairs = list(value.items())
    else:
        pairs = [((type(value), i), v) for i, v in enumerate(value)]
    for step, v in pairs:
        if isinstance(v, (dict, list, tuple)) and v:
            yield from expected_walk(v, path + (step,))
        else:
            yield path + (step,), v


def count_elements(value):
    children = value.values() if isinstance(value, dict) else value
    own = 0 if isinstance(value, dict) else len(value)
    return own + sum(count_elements(v) for v in children if isinstance(v, (dict, list, tuple)) and v)


@settings(max_examples=300, deadline=None)
@given(documents)
def test_property_round_trip_and_order(doc):
    fn = FlatNest(doc)
    got = shape(fn)
    want = list(expected_walk(doc, ()))
    assert [p for p, _ in got] == [p for p, _ in want]
    assert all(a is b for (_, a), (_, b) in zip(got, want))
    # one marker per element of every list and tuple walked, shared by the
    # paths below that element
    markers = {id(s) for item in fn for s in item.path if isinstance(s, IndexMarker)}
    assert len(markers) == count_elements(doc)
    assert shape(FlatNest.__flatten__(doc)) == got
    assert fn.reconstruct() == doc


# --- reliability ------------------------------------------------------------------------


def test_leaks():
    assert_no_leaks(lambda: FlatNest(EXAMPLE))
    assert_no_leaks(lambda: list(FlatNest.__flatten__(ROUND_TRIPS[7])))
    assert_no_leaks(lambda: next(FlatNest.__flatten__(EXAMPLE)))  # abandoned half way
    fn = FlatNest(ROUND_TRIPS[7] | EXAMPLE)
    assert_no_leaks(fn.reconstruct)
    assert_no_leaks(lambda: FlatNest([P, Q]))
    assert_no_leaks(lambda: repr(IndexMarker([], 1)))

    def mutate():
        f = FlatNest()
        f.append(P)
        f.insert(0, Q)
        f.extend([P, Q])
        f[0] = P
        f[0:1] = [P, Q, R]

    assert_no_leaks(mutate)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda fn: fn.append(5), ValueError),
        (lambda fn: fn.insert(0, (1, 2, 3)), ValueError),
        (lambda fn: fn.extend([P, 5]), ValueError),
        (lambda fn: fn.__setitem__(0, 5), ValueError),
        (lambda fn: fn.__setitem__(slice(0, 1), [P, 5]), ValueError),
        (lambda fn: fn.__setitem__(5, P), IndexError),
        (lambda fn: FlatNest([P, 5]), ValueError),
        (lambda fn: FlatNest({"b": Exploding(x=1)}), KeyError),
        (lambda fn: FlatNest.reconstruct([((), 1)]), UnboundLocalError),
        (lambda fn: FlatNest.reconstruct(FlatNest([(("a",), 1), ((), 2)])), ValueError),
        (lambda fn: FlatNest.reconstruct(FlatNest([(("a",), 1), (("a", "b"), 2)])), TypeError),
        (lambda fn: FlatNest.reconstruct(FlatNest([(("t", M((), 0), "a"), 1), (("t", odd_marker((), "x")), 2)])), TypeError),
        (lambda fn: IndexMarker([], "x"), ValueError),
    ],
)
def test_failure_paths_do_not_leak(call, error):
    fn = FlatNest([P])
    assert_no_leaks(lambda: call(fn), raises=error)


class Exploding(dict):
    def items(self):
        raise KeyError("boom")


def test_gc_stress_generators_and_values_in_cycles():
    refs = []
    for i in range(300):
        d = {"a": [i, {"b": (i,)}]}
        gen = FlatNest.__flatten__(d)
        d["gen"] = gen  # the generator holds d, d holds the generator
        if i % 2:
            next(gen)
        fn = FlatNest(d)
        fn.append((("fn",), fn))
        refs += [weakref.ref(gen), weakref.ref(fn)]
        del d, gen, fn
        if i % 50 == 0:
            gc.collect()
    gc.collect()
    assert not [r for r in refs if r() is not None]


def test_gc_during_the_walk():
    class Collecting(dict):
        def items(self):
            gc.collect()
            return super().items()

    doc = {f"k{i}": Collecting(x=[i, (i,)]) for i in range(50)}
    assert FlatNest(doc).reconstruct() == doc
    assert list(FlatNest.__flatten__(doc)) != []


def test_deep_reconstruct_works():
    path = ("x",) * 50000
    out = FlatNest([(path, 1)]).reconstruct()
    depth = 0
    while isinstance(out, dict):
        out, depth = out["x"], depth + 1
    assert (out, depth) == (1, 50000)


# --- reconstruct against the class written in Python ------------------------------------

def _steps(marker):
    return ["a", "b", "c", marker([], 0), marker([], 1), marker((), 0), marker((), 1)]


_STEPS, _PY_STEPS = _steps(IndexMarker), _steps(pyforms.flatnest.IndexMarker)


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.lists(st.sampled_from(range(len(_STEPS))), min_size=1, max_size=4),
                          st.integers(0, 9)), min_size=1, max_size=8))
def test_reconstruct_of_arbitrary_pairs_follows_the_cursor_walk(raw):
    # Paths share their step objects, as flattened paths do, in any order:
    # taking over levels walked by the previous pair must change nothing.
    def outcome(cls, steps):
        pairs = [(tuple(steps[i] for i in path), value) for path, value in raw]
        try:
            return ("ok", repr(cls(pairs).reconstruct()))
        except Exception as exc:
            return (type(exc), str(exc))

    assert outcome(FlatNest, _STEPS) == outcome(pyforms.flatnest.FlatNest, _PY_STEPS)
