"""FieldMap: a dict that is its own attribute namespace."""
import copy
import gc
import pickle

import pytest

from leakcheck import assert_no_leaks
from vornal.datastructures.fieldmap import FieldMap

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs


def dict_error(*args, **kwargs):
    try:
        dict(*args, **kwargs)
    except Exception as e:
        return type(e), str(e)


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        ((), {}, {}),
        (({"a": 1},), {"b": 2}, {"a": 1, "b": 2}),
        (([("a", 1), ("b", 2)],), {}, {"a": 1, "b": 2}),
        (lambda: ((x for x in ["ab"]),), {}, {"a": "b"}),  # a new generator for every run
        ((), {"args": 2, "kwargs": 3}, {"args": 2, "kwargs": 3}),
    ],
)
def test_construction_like_dict(args, kwargs, expected):
    if callable(args):
        args = args()
    m = FieldMap(*args, **kwargs)
    assert m == expected and type(m) is FieldMap
    assert m.__dict__ is m and vars(m) is m
    for k, v in expected.items():
        assert getattr(m, k) == v


@pytest.mark.parametrize("args", [(1,), (1, 2), (["abc"],), ([1],), (None,)])
def test_construction_fails_as_dict_fails(args):
    with pytest.raises(Exception) as err:
        FieldMap(*args)
    assert (type(err.value), str(err.value)) == dict_error(*args)


def test_repr():
    assert repr(FieldMap()) == "FieldMap({})"
    assert str(FieldMap()) == "FieldMap({})"
    assert repr(FieldMap({"a": FieldMap({"b": 1})})) == "FieldMap({'a': FieldMap({'b': 1})})"

    class Sub(FieldMap):
        pass

    assert repr(Sub(x=[1])) == "Sub({'x': [1]})"
    m = FieldMap()
    m["self"] = m
    assert repr(m) == "FieldMap({'self': FieldMap({...})})"


def test_attributes_are_entries():
    m = FieldMap()
    m.x = 5
    assert m["x"] == 5 and "x" in m and len(m) == 1
    del m["x"]
    with pytest.raises(AttributeError):
        m.x
    m["a-b"] = 1
    assert getattr(m, "a-b") == 1
    m.y = 2
    del m.y
    assert "y" not in m
    m["items"] = 0
    assert m.items == 0
    with pytest.raises(TypeError):
        m.items()
    m["__class__"] = "shadow"  # data descriptors of the type win over entries
    assert m.__class__ is FieldMap


def test_nested_dict_stays_plain():
    m = FieldMap({"a": {"b": 1}})
    assert type(m.a) is dict
    with pytest.raises(AttributeError):
        m.a.b


def test_inherited_dict_behaviour():
    m = FieldMap(a=1)
    c = m.copy()
    assert type(c) is dict and c == m == dict(m)
    assert m == {"a": 1} and {"a": 1} == m
    assert type(m | {"b": 2}) is dict
    m |= {"b": 2}
    assert m.b == 2 and type(m) is FieldMap
    with pytest.raises(TypeError):
        hash(m)
    assert type(FieldMap.fromkeys("ab")) is FieldMap


def test_self_keyword_is_the_parameter():
    # As for any method declared (self, *args, **kwargs).
    with pytest.raises(TypeError, match=r"FieldMap.__init__\(\) got multiple values for argument 'self'"):
        FieldMap(self=1)


def test_copy_and_pickle_keep_the_entries():
    m = FieldMap(a=[1])
    for clone in (copy.copy(m), copy.deepcopy(m), pickle.loads(pickle.dumps(m))):
        assert type(clone) is FieldMap and clone == m and clone["a"] == [1]


def test_leaks():
    assert_no_leaks(lambda: FieldMap({"a": 1}, b=2))
    assert_no_leaks(lambda: repr(FieldMap(a=FieldMap())))
    m = FieldMap()

    def attribute_round_trip():
        m.k = object()
        m.k
        del m.k

    assert_no_leaks(attribute_round_trip)
    assert_no_leaks(lambda: FieldMap(1), raises=TypeError)
    assert_no_leaks(lambda: FieldMap(["abc"]), raises=ValueError)


def test_gc_stress():
    # Self-referencing maps die only through the cycle collector.
    for _ in range(200):
        a = FieldMap(x=FieldMap())
        a.x.parent = a
    del a
    gc.collect()
    assert not [o for o in gc.get_objects() if type(o) is FieldMap and "parent" in o.get("x", {})]
