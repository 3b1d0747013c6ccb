"""CPython's own protocol suites (test.mapping_tests, test.list_tests) run on our classes.

Each class passes the suite except for the tests listed in its `differences`: there
the class deliberately behaves otherwise than dict or list. A listed test must fail,
and fail with the stated exception and message; it is reported as an expected
failure with its reason. A listed test that passes, or fails in another way, fails.
"""
import re

import pytest

mapping_tests = pytest.importorskip("test.mapping_tests", reason="needs CPython's test suite (libpython3.14-testsuite)")
list_tests = pytest.importorskip("test.list_tests", reason="needs CPython's test suite (libpython3.14-testsuite)")

from vornal.datastructures.configuration import Configuration  # noqa: E402
from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap  # noqa: E402
from vornal.datastructures.flatnest import FlatNest  # noqa: E402


class OtherFailure(Exception):
    """A listed test failed, but not in the way its difference says."""


def expect(cls):
    """Turns each test named in cls.differences into a strict expected failure."""
    for name, (reason, exc, pattern) in cls.differences.items():
        suite_test = getattr(cls, name)

        def test(self, suite_test=suite_test, exc=exc, pattern=pattern):
            try:
                suite_test(self)
            except exc as e:
                if not re.search(pattern, str(e)):
                    raise OtherFailure(f"expected {exc.__name__} matching {pattern!r}, got {e!r}") from e
                raise

        test.__name__ = test.__qualname__ = name
        setattr(cls, name, pytest.mark.xfail(strict=True, raises=exc, reason=reason)(test))
    return cls


COPY = ("copy() is dict's: it returns a plain dict, not an instance of the class", AssertionError,
        "is not an instance of")


def repr_differs(name):
    return (f"the text form names the class: {name}({{...}})", AssertionError, re.escape(f"'{name}({{}})' != '{{}}'"))


UPDATE = ("the merging update takes only Mapping instances as mappings; an object that merely has "
          "keys() and __getitem__ is read as a sequence of key/value pairs", KeyError, "^0$")


@expect
class TestFieldMapProtocol(mapping_tests.TestHashMappingProtocol):
    type2test = FieldMap
    differences = {"test_copy": COPY, "test_repr": repr_differs("FieldMap")}


@expect
class TestNestedFieldMapProtocol(mapping_tests.TestHashMappingProtocol):
    type2test = NestedFieldMap
    differences = {"test_copy": COPY, "test_repr": repr_differs("NestedFieldMap"), "test_update": UPDATE}


@expect
class TestConfigurationProtocol(mapping_tests.TestHashMappingProtocol):
    type2test = Configuration
    # copy() makes a Configuration (of nested copies), so test_copy passes.
    differences = {"test_repr": repr_differs("Configuration"), "test_update": UPDATE}

    def _reference(self):
        # The suite's hook for classes that change values on store: every stored
        # value passes through typecast_str, which would make the suite's "2" the
        # int 2. These values it keeps as they are.
        return {"1": "two", "key1": "value1", "key2": (1, 2, 3)}

    def test_values_are_converted_on_store(self):
        m = self.type2test()
        m["1"] = "2"
        assert m["1"] == 2


class ListElements(FlatNest):
    """A FlatNest holding the suite's own elements (ints, strings, other objects).

    The suite compares the lists it builds with plain lists of the same elements, so
    they go in through list's constructor: FlatNest's own refuses what is not a
    path/value pair and stores pairs as DictItem. Everything else is FlatNest's.
    """

    def __init__(self, *args):
        list.__init__(self, *args)


PAIRS = "FlatNest only accepts a tuple of path/obj"


def pair_check(what):
    return (f"{what}; the suite's elements are ints and other objects, not pairs", ValueError, PAIRS)


APPEND = pair_check("append() stores only path/value pairs")
SLICE = pair_check("slice assignment takes one path/value pair, whose two parts become the new elements")


@expect
class TestFlatNestListProtocol(list_tests.CommonTest):
    type2test = ListElements
    differences = {
        "test_append": APPEND,
        "test_clear": APPEND,
        "test_exhausted_iterator": APPEND,
        "test_repr": APPEND,
        "test_extend": pair_check("extend() stores only path/value pairs"),
        "test_insert": pair_check("insert() stores only path/value pairs"),
        "test_pickle": pair_check("unpickling adds the elements with extend(), which stores only path/value pairs"),
        "test_setitem": pair_check("item assignment stores only path/value pairs"),
        "test_setitem_error": ("item assignment checks the pair before the list checks the index: a string index "
                               "with a non-pair value is a ValueError, not a TypeError", ValueError, PAIRS),
        "test_set_subscript": SLICE,
        "test_setslice": SLICE,
        "test_slice": SLICE,
        "test_slice_assign_iterator": SLICE,
        "test_extendedslicing": SLICE,
        "test_index": SLICE,
    }
