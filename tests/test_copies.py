"""Copies and pickles of attribute maps stay their own attribute namespace."""
import copy
import gc
import pickle
import sys
import types
import weakref

import pytest

from leakcheck import assert_no_leaks
from vornal.datastructures.configuration import Configuration
from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs


class SubNested(NestedFieldMap):
    pass


class SubConfiguration(Configuration):
    pass


CLASSES = [FieldMap, NestedFieldMap, Configuration, SubNested, SubConfiguration]
CLONES = {
    "copy": copy.copy,
    "deepcopy": copy.deepcopy,
    **{f"pickle{p}": (lambda p: lambda m: pickle.loads(pickle.dumps(m, protocol=p)))(p)
       for p in range(pickle.HIGHEST_PROTOCOL + 1)},
}


def _sample(cls):
    m = cls({"top": {"inner": [1, 2]}}) if cls is not FieldMap else cls(top=FieldMap(inner=[1, 2]))
    # Entries exactly as stored: a dotted key and a numeric-looking string,
    # which __setitem__ would split or convert.
    setattr(m, "a.b", "5")
    m.items = "shadows the method"
    return m


@pytest.mark.parametrize("how", CLONES)
@pytest.mark.parametrize("cls", CLASSES)
def test_clone_is_its_own_namespace_with_entries_as_stored(cls, how):
    m = _sample(cls)
    c = CLONES[how](m)
    assert type(c) is cls and c.__dict__ is c and vars(c) is c
    assert dict.__eq__(c, m) and list(c) == list(m)
    assert dict.__getitem__(c, "a.b") == "5" and "a" not in dict.keys(c)
    assert type(c.top) is type(m.top)
    c["new"] = 1
    assert c.new == 1
    c.x = 5
    assert dict.__getitem__(c, "x") == 5 and "x" not in m
    deep = how != "copy"
    assert (c.top is not m.top) == deep
    assert (c.top["inner"] is not m.top["inner"]) == deep


@pytest.mark.parametrize("how", ["deepcopy", "pickle2", f"pickle{pickle.HIGHEST_PROTOCOL}"])
def test_map_that_contains_itself(how):
    m = NestedFieldMap(a=1)
    m.me = m
    m.level = NestedFieldMap()
    m.level.back = m  # attribute writes store as they are; a merge would copy m
    c = CLONES[how](m)
    assert c.me is c and c.level.back is c and c.level is not m.level


def test_copy_method_is_unchanged():
    m = NestedFieldMap({"a": {"b": 1}})
    assert type(m.copy()) is dict and m.copy()["a"] is m.a
    cfg = Configuration({"a": {"b": "1"}})
    k = cfg.copy()
    assert type(k) is Configuration and k.a is not cfg.a and k == {"a": {"b": 1}}


def _plain_module():
    """The same classes written in Python, in a module of their own."""
    mod = types.ModuleType("plain_maps")

    class FieldMap(dict):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.__dict__ = self

    class NestedFieldMap(FieldMap):
        pass

    class Configuration(NestedFieldMap):
        pass

    for cls in (FieldMap, NestedFieldMap, Configuration):
        cls.__module__ = "plain_maps"
        cls.__qualname__ = cls.__name__
        setattr(mod, cls.__name__, cls)
    return mod


class _AsOurs(pickle.Unpickler):
    """Loads a pickle of the plain classes as if it named our module."""

    def find_class(self, module, name):
        if module == "plain_maps":
            module = "vornal.datastructures." + ("configuration" if name == "Configuration" else "fieldmap")
        return super().find_class(module, name)


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("name", ["FieldMap", "NestedFieldMap", "Configuration"])
def test_pickle_of_the_plain_python_form_loads(monkeypatch, name, protocol):
    import io

    plain = _plain_module()
    monkeypatch.setitem(sys.modules, "plain_maps", plain)
    cls = getattr(plain, name)
    m = cls(port=8080, name="db")
    m.level = cls(x=1)
    m.me = m
    loaded = _AsOurs(io.BytesIO(pickle.dumps(m, protocol=protocol))).load()
    ours = {"FieldMap": FieldMap, "NestedFieldMap": NestedFieldMap, "Configuration": Configuration}[name]
    assert type(loaded) is ours and loaded.__dict__ is loaded
    assert loaded.port == 8080 and loaded.name == "db" and loaded.me is loaded
    assert type(loaded.level) is ours and loaded.level.__dict__ is loaded.level and loaded.level.x == 1


def test_setstate_checks_its_state():
    m = FieldMap()
    with pytest.raises(TypeError, match="state must be a dict, not int"):
        m.__setstate__(5)
    m.__setstate__(({"a": 1}, {"b": 2}))  # entries and slot values, as the default protocol writes them
    assert m == {"a": 1, "b": 2} and m.__dict__ is m


def test_clones_are_collected_and_do_not_leak():
    m = _sample(NestedFieldMap)
    c = copy.deepcopy(m)
    ref = weakref.ref(c)
    del c
    gc.collect()
    assert ref() is None
    assert_no_leaks(lambda: copy.copy(m))
    assert_no_leaks(lambda: copy.deepcopy(m))
    # The pickle module settles its own allocations only after some thousands of calls.
    assert_no_leaks(lambda: pickle.loads(pickle.dumps(m)), warmup=100)
    assert_no_leaks(lambda: FieldMap().__setstate__(5), raises=TypeError)
