"""NestedFieldMap: dotted keys, levels made on demand and the merging update."""
import abc
import copy
import gc
import subprocess
import sys
import weakref
from collections.abc import MutableMapping

import pytest

from leakcheck import assert_no_leaks
from pyforms.fieldmap import NestedFieldMap as Model
from vornal.datastructures import fieldmap
from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap as N

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

TARGET = 'target key "{}" is a value, cannot update value against another {}'


def test_class_shape():
    assert N.__mro__[:4] == (N, FieldMap, dict, MutableMapping)
    assert [c.__name__ for c in N.__mro__[4:]] == ["Mapping", "Collection", "Sized", "Iterable", "Container", "object"]
    assert type(N) is abc.ABCMeta and N.__doc__.startswith("A FieldMap addressed") and not N.__abstractmethods__
    own = [k for k in vars(N) if k not in ("__module__", "__doc__", "__abstractmethods__", "_abc_impl")]
    assert own == ["__init__", "__getitem__", "__setitem__", "__contains__", "__delitem__", "get", "pop",
                   "setdefault", "update"]
    assert (N.get, N.pop, N.setdefault) == (MutableMapping.get, MutableMapping.pop, MutableMapping.setdefault)
    assert [k for k in vars(fieldmap) if not k.startswith("__")] == [
        "itertools", "Mapping", "MutableMapping", "FieldMap", "NestedFieldMap"]


def test_dotted_write_creates_levels():
    m = N()
    m["x.y.z"] = 1
    assert m == {"x": {"y": {"z": 1}}} and m.x.y.z == 1 and "x.y.z" in m
    assert type(m.x) is N and type(m.x.y) is N and m.__dict__ is m and m.x.__dict__ is m.x
    m["x.y.w"] = 2
    assert m.x.y == {"z": 1, "w": 2}
    m["a."] = 3
    m[".b"] = 4
    m["p"] = {"q.r": 5, "": {"s": 6}}  # a plain dict takes the rest of the key literally
    for key in ("p.q.r", "".join(["p", ".q", ".r"])):  # a constant key, and one made anew
        assert m[key] == 5 and key in m and "p..s" not in m and m["p."] == {"s": 6}
    m[1] = 5
    m[(1, 2)] = 6
    assert m["a"] == {"": 3} and m[""] == {"b": 4} and m[1] == 5 and m[(1, 2)] == 6 and m["p.q.r"] == 5


@pytest.mark.parametrize("held", [5, "text", {"b": 1}, [1]])
def test_dotted_write_under_a_non_level_fails_and_keeps_it(held):
    class Sub(N):
        pass

    for cls in (N, Sub):
        m = cls(a=0)
        m["a"] = held  # a plain store: a dict stays a plain dict
        writes = [lambda: m.__setitem__("a.b", 1), lambda: m.update({"a.b": 1})]
        if not isinstance(held, dict):  # a mapping given to the constructor becomes a level
            writes.append(lambda: cls({"a": held, "a.d": 2}))
        for write in writes:
            with pytest.raises(KeyError) as err:
                write()
            assert err.value.args == (TARGET.format("a", cls.__name__),)
        assert m["a"] is held and m == {"a": held}


@pytest.mark.parametrize(
    "value, present, absent",
    [({"b": 1}, "b", "c"), ("xbx", "b", "c"), (["b"], "b", "c"), (N(b=N(c=1)), "b.c", "b.d")],
)
def test_dotted_read_contains_delete_use_the_value_own_operations(value, present, absent):
    value = copy.deepcopy(value)  # the deletes below change it
    m = N()
    dict.__setitem__(m, "a", value)
    assert f"a.{present}" in m and f"a.{absent}" not in m and "q.b" not in m
    if isinstance(value, dict):
        assert m[f"a.{present}"] == 1
        del m[f"a.{present}"]
        assert f"a.{present}" not in m and m["a"] is value  # emptied levels remain
        with pytest.raises(KeyError) as err:
            del m[f"a.{absent}"]
        assert err.value.args == (absent.rsplit(".")[-1],)


def test_missing_heads_and_generic_methods():
    m = N(a={"b": 1}, i=5)
    for op in (lambda: m["q.b"], lambda: m.__delitem__("q.b"), lambda: m.pop("q.b")):
        with pytest.raises(KeyError) as err:
            op()
        assert err.value.args == ("q",)
    assert m.get("q.b") is None and m.get("q.b", 0) == 0 and m.pop("q.b", 7) == 7
    with pytest.raises(TypeError):
        m.get("i.b")  # only KeyError becomes the default
    with pytest.raises(TypeError):
        "i.b" in m
    assert m.pop("a.b") == 1 and m == {"a": {}, "i": 5}
    d = []
    assert m.setdefault("n.o", d) is d and m.n.o is d and type(m.n) is N


def test_merge():
    src = {"b": 1}
    m = N(a=src)
    src["c"] = 2  # the mapping is copied into a level, never stored
    m.update({"a": {"d": 2}})
    assert m == {"a": {"b": 1, "d": 2}} and type(m.a) is N
    plain = {"b": 1}
    m["p"] = plain
    m.update({"p": {"d": 2}})
    assert m.p is plain and plain == {"b": 1, "d": 2}
    m.update({"a": 3})
    assert m.a == 3
    with pytest.raises(AttributeError, match="'int' object has no attribute 'update'"):
        m.update({"a": {"b": 1}})
    assert N({"a.b": 1}) == {"a": {"b": 1}} and N(["ab"]) == {"a": "b"}
    m = N([("a", 1)], b={"d": 2})
    assert m == {"a": 1, "b": {"d": 2}} and type(m.b) is N
    copy = m.copy()
    assert type(copy) is dict and copy["b"] is m.b


class Odd:
    """Has length 2 but yields three items."""

    def __len__(self):
        return 2

    def __iter__(self):
        return iter("abc")


def bad_items():
    yield "ab"
    yield "abc"


@pytest.mark.parametrize(
    "args, error, message",
    [
        ((1, 2), TypeError, "expected at most 1 arguments, got 2"),
        (({}, {}, {}), TypeError, "expected at most 1 arguments, got 3"),
        ((["abc"],), TypeError, "cannot convert dictionary update sequence element #0 to a sequence"),
        ((["ab", "cd", "e"],), TypeError, "cannot convert dictionary update sequence element #2 to a sequence"),
        ((["ab", "ab", "abc"],), TypeError, "cannot convert dictionary update sequence element #2 to a sequence"),
        (lambda: (bad_items(),), TypeError, "cannot convert dictionary update sequence element #1 to a sequence"),
        (({"x": 1}.keys(),), TypeError, "cannot convert dictionary update sequence element #0 to a sequence"),
        (({("a", 1), "xyz"},), TypeError, "cannot convert dictionary update sequence element #"),
        (([1],), TypeError, "object of type 'int' has no len()"),
        ((5,), TypeError, "'int' object is not iterable"),
        (([Odd()],), ValueError, "too many values to unpack (expected 2)"),
    ],
)
def test_update_errors(args, error, message):
    if callable(args):
        args = args()  # a new generator for every run
    m = N(z=1)
    with pytest.raises(error) as err:
        m.update(*args)
    assert str(err.value).startswith(message)
    assert "z" in m


def test_items_before_a_failure_stay_applied():
    m = N()
    with pytest.raises(TypeError):
        m.update([("a", 1), ("b.c", {"d": 2}), "xyz", ("e", 3)])
    assert m == {"a": 1, "b": {"c": {"d": 2}}}


def test_str_subclass_keys_use_their_own_split():
    class Key(str):
        def split(self, sep, maxsplit):
            return ["h", "r"]

    m = N()
    m[Key("x.y")] = 1
    assert m == {"h": {"r": 1}}
    assert Key("no dot") not in m


@pytest.mark.parametrize("name", ["update", "setdefault", "items", "get", "pop", "keys"])
def test_entries_do_not_hide_internally_called_methods(name):
    m = N({name: {"v": 1}})
    m["x.y"] = 1
    N.update(m, {"x": {"z": 2}, name: {"k": 1}})
    assert m == {name: {"v": 1, "k": 1}, "x": {"y": 1, "z": 2}}
    assert N(m) == m and getattr(m, name) == {"v": 1, "k": 1}  # attribute syntax still reads the entry


def test_mixin_between_the_class_and_dict():
    class Loud(dict):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self["loud"] = True

        def __getitem__(self, key):
            return super().__getitem__(key.upper() if key == "x" else key)

    class Mixed(N, Loud):
        pass

    m = Mixed({"a.b": 1})
    assert m == {"loud": True, "a": {"loud": True, "b": 1}} and type(m.a) is Mixed and m.__dict__ is m
    m["X"] = 2
    assert m["x"] == 2 and m["a.loud"] is True  # super() in the class's methods reaches the mixin


def test_a_level_is_made_by_every_dotted_write():
    made = []

    class Meta(abc.ABCMeta):
        def __call__(cls, *args, **kwargs):
            made.append("meta")
            return super().__call__(*args, **kwargs)

    class Counted(N, metaclass=Meta):
        def __init__(self, *args, **kwargs):
            made.append("init")
            super().__init__(*args, **kwargs)

    m = Counted()
    made.clear()
    m["a.b.c"] = 1
    m["a.b.d"] = 2  # the levels exist: the new ones are made and dropped
    assert made == ["meta", "init"] * 4 and m == {"a": {"b": {"c": 1, "d": 2}}}


def test_class_changes_after_use_are_followed():
    class Sub(N):
        pass

    m = Sub()
    m["a.b"] = 1
    assert m["a.b"] == 1 and "a.b" in m
    Sub.__missing__ = lambda self, key: {"b": "from missing"}
    assert m["x.b"] == "from missing" and m["x"] == {"b": "from missing"}
    Sub.__getitem__ = lambda self, key: "over"
    assert m["a.b"] == "over" and "a.b" in m  # membership uses the dict storage
    del Sub.__getitem__, Sub.__missing__
    Sub.setdefault = lambda self, key, default: dict.__setitem__(self, key, default) or default  # always replaces
    m["a.c"] = 2
    assert m == {"a": {"c": 2}}
    del Sub.setdefault
    Sub.__contains__ = lambda self, key: True
    assert "q.r" in m
    del Sub.__contains__
    assert "q.r" not in m and "a.c" in m


def test_registered_virtual_subclass_counts_as_a_level():
    class Sub(N):
        pass

    class Plain(dict):
        pass

    Sub.register(Plain)
    plain = Plain()
    m = Sub(a=1)
    m["a"] = plain
    m["a.b.c"] = 1  # isinstance(plain, Sub): the write descends into it
    assert plain == {"b.c": 1}  # and stores the rest with its own, literal __setitem__


def test_methods_called_through_the_class_on_a_plain_dict():
    d = {"a": {}}
    N.update(d, {"a": {"b": 1}, "c.d": 2})
    assert d == {"a": {"b": 1}, "c.d": 2}
    with pytest.raises(TypeError, match=r"super\(type, obj\): obj must be an instance or subtype of type"):
        N.__getitem__(d, "a")


def test_mapping_check_follows_abc_registration():
    # In a child process: a registration with an ABC cannot be undone.
    code = (
        "from collections.abc import Mapping\n"
        "from vornal.datastructures.fieldmap import NestedFieldMap as N\n"
        "assert N(a=1j) == {'a': 1j}\n"
        "Mapping.register(complex)\n"
        "try:\n"
        "    N(a=2j)\n"
        "except AttributeError as e:\n"
        "    assert 'items' in str(e)\n"
        "else:\n"
        "    raise AssertionError('complex is a Mapping now')\n"
    )
    subprocess.run([sys.executable, "-c", code], check=True)


def test_attribute_access_bypasses_the_dotted_rules():
    m = N(z={"a": 1})
    m.z = {"q": 1}
    assert type(m.z) is dict
    m.z = 1
    assert m.z == 1
    m["l.x"] = 1
    m.l = 2
    assert m == {"z": 1, "l": 2}


def reachable_depth():
    """How deep Python calls can go from here."""
    def down(n):
        try:
            return down(n + 1)
        except RecursionError:
            return n
    return down(0)


def test_deep_keys_count_against_the_recursion_limit():
    """Each level of a dotted key is one call of a method in the class written in
    Python: a key deeper than the recursion limit raises RecursionError, and under a
    higher limit it is walked in a loop, without a deeper C stack."""
    key = "a" + ".a" * 20000
    limit = sys.getrecursionlimit()
    m = N()
    sys.setrecursionlimit(25000)
    try:
        m[key] = 1
        assert m[key] == 1 and key in m
    finally:
        sys.setrecursionlimit(limit)
    depth = reachable_depth()
    for walk in (lambda: m.__setitem__(key, 2), lambda: m[key], lambda: key in m, lambda: m.__delitem__(key)):
        with pytest.raises(RecursionError):
            walk()
    assert reachable_depth() == depth  # every level a walk entered is given back
    sys.setrecursionlimit(25000)
    try:
        assert m[key] == 1
        del m[key]  # walked like a read: no copy of the rest per level
        assert key not in m and m.pop(key.rsplit(".", 1)[0]) == {}

        class Sub(N):
            def __getitem__(self, k):
                return super().__getitem__(k)

        s = Sub()
        s[key] = 1
        with pytest.raises(RecursionError):
            s[key]
    finally:
        sys.setrecursionlimit(limit)
    deep = inner = {}
    for _ in range(100000):
        inner["a"] = inner = {}
    with pytest.raises(RecursionError):
        N(deep)


def test_leaks():
    m = N(a={"b": {"c": 1}}, n=5)
    assert_no_leaks(lambda: m["a.b.c"])
    assert_no_leaks(lambda: "a.b.c" in m and "a.x.y" in m)

    def set_and_delete():
        m["a.b.d"] = object()
        m["x.y"] = 1
        del m["a.b.d"]
        del m["x"]

    assert_no_leaks(set_and_delete)
    assert_no_leaks(lambda: m.update({"a": {"b": {"e": [1]}}}, k={"j": 2}))
    assert_no_leaks(lambda: N({"a": {"b": 1}}, c=2).copy())
    assert_no_leaks(lambda: m.pop("q.r", None))
    assert_no_leaks(lambda: m["n.x"], raises=TypeError)
    assert_no_leaks(lambda: m.__setitem__("n.x", 1), raises=KeyError)
    assert_no_leaks(lambda: m["q.r"], raises=KeyError)
    assert_no_leaks(lambda: N(["abc"]), raises=TypeError)
    assert_no_leaks(lambda: N([Odd()]), raises=ValueError)
    assert_no_leaks(lambda: N(1, 2), raises=TypeError)


def test_levels_with_back_references_are_collected():
    refs = []
    for _ in range(200):
        m = N({"a.b.c": 1})
        m.a.b.root = m
        refs.append(weakref.ref(m.a.b))
    del m
    gc.collect()
    assert all(r() is None for r in refs)


# --- the same operations against the class written in Python ------------------

def logged(base, names):
    """A subclass of base whose methods `names` record each call, then defer to base."""
    log = []

    def override(name):
        def method(self, *args, **kwargs):
            log.append((name, args[:1]))
            return getattr(super(cls, self), name)(*args, **kwargs)

        return method

    cls = type(base)("Logged", (base,), {name: override(name) for name in names})
    return cls, log


OVERRIDES = [(), ("__getitem__",), ("__contains__", "__setitem__"), ("setdefault",), ("update", "__getitem__"),
             ("__getitem__", "__setitem__", "__contains__", "__delitem__", "setdefault", "update")]


KEYS = ["a", "b", "a.b", "a.b.c", "b.a", "a.", ".a", "", 1, "update", "a.update"]
VALUES = [0, "s", {"x": 1}, {"b": {"c": 2}}, {"a.b": 3}, [1]]


def shape(obj):
    if isinstance(obj, dict):
        return (type(obj) is dict, {k: shape(v) for k, v in obj.items()})
    return obj


def outcome(func):
    try:
        return ("ok", shape(func()))
    except Exception as e:
        return (type(e).__name__, str(e))


@pytest.mark.parametrize("names", OVERRIDES)
@pytest.mark.parametrize("seed", range(25))
def test_matches_the_python_model(names, seed):
    import random

    rnd = random.Random(seed)
    (real_cls, real_log), (model_cls, model_log) = logged(N, names), logged(Model, names)
    real, model = real_cls(), model_cls()
    for _ in range(30):
        op, key, value = rnd.randrange(7), rnd.choice(KEYS), rnd.choice(VALUES)
        value = {k: v for k, v in value.items()} if isinstance(value, dict) else value
        ops = [
            lambda m: m.__setitem__(key, value),
            lambda m: m[key],
            lambda m: key in m,
            lambda m: m.__delitem__(key),
            lambda m: type(m).update(m, {key: value}),
            lambda m: type(m).setdefault(m, key, value),
            lambda m: type(m).pop(m, key, None),
        ]
        expected = outcome(lambda: ops[op](model))
        assert outcome(lambda: ops[op](real)) == expected, (op, key, value)
        assert shape(real) == shape(model) and real_log == model_log


def test_distinct_dotted_keys_leave_nothing_behind():
    # The table of recently used keys is small and bounded; nothing of the
    # keys that passed through it may stay (interning them would).
    import tracemalloc

    m = N()

    def many(start):
        for i in range(start, start + 5000):
            key = f"a{i}.b{i}.c"
            m[key] = i
            assert m[key] == i and key in m
        m.clear()

    many(0)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        many(10_000)
        gc.collect()
        kept = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert kept < 64 * 1024
