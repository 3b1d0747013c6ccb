"""Branch: a tree node that prints its subtree like the tree command."""
import doctest
import gc
import os
import shutil
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from leakcheck import assert_no_leaks
from pyforms.branch import Branch as PyBranch
from vornal.datastructures.branch import Branch

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs


class Upper(Branch):
    def __str__(self):
        return super().__str__().upper()


class PyUpper(PyBranch):
    def __str__(self):
        return super().__str__().upper()


class Plain(Branch):
    """Keeps the rendering of Branch."""


def test_class_and_docstring_example():
    assert Branch.__bases__ == (object,) and Branch.__module__ == "vornal.datastructures.branch"
    assert set(vars(Branch)) - {"__module__", "__qualname__", "__doc__", "__dict__", "__weakref__"} == {
        "__init__", "add_child", "__str__"}
    assert (Branch.add_child.__doc__, Branch.__str__.__doc__[:16]) == ("Add children", "String formatter")
    example = doctest.DocTestParser().get_doctest(Branch.__doc__, {"Branch": Branch}, "Branch", None, 0)
    assert doctest.DocTestRunner().run(example) == (0, 5)  # it prints the 13 lines of the tree


def test_leaf_is_its_name():
    leaf = Branch(type("Name", (str,), {})("n"))
    assert str(leaf) is leaf.name and str(Branch("r", [leaf])) == "r\n`-- n"


class Log(list):
    def append(self, item):
        super().append(("logged", item))


@pytest.mark.parametrize("children", [None, [], (), 0, "", [1], (1,), "ab", Log([1])])
def test_children_stored_and_added_to(children):
    if isinstance(children, list):
        children = type(children)(children)  # add_child appends to the parameter's own list
    a, b = Branch("a", children), Branch(name="b", children=children)
    if children:
        assert a.children is children is b.children  # shared with the caller
    else:
        assert a.children == [] == b.children and type(a.children) is list and a.children is not b.children
    if isinstance(a.children, list):
        a.add_child(2)
        assert a.children[-1] == (("logged", 2) if isinstance(children, Log) else 2)
        assert (b.children is a.children) == bool(children)
    else:
        with pytest.raises(AttributeError, match="object has no attribute 'append'"):
            a.add_child(2)


@pytest.mark.parametrize("node, lines", [
    (Branch("root", [Branch("a"), Branch("b")]), ["root", "|-- a", "`-- b"]),
    (Branch("r", ["x", "y\nz", ""]), ["r", "|-- x", "|-- y", "|   z", "`-- "]),
    (Branch("p", [Branch("a\nb", [Branch("c")]), Branch("d")]), ["p", "|-- a", "|   b", "|   `-- c", "`-- d"]),
    (Branch("r\r", [Branch("a\r\nb"), 7]), ["r\r", "|-- a\r", "|   b", "`-- 7"]),  # only \n splits
    (Branch("s", "xyz"), ["s", "|-- x", "|-- y", "`-- z"]),  # any sequence
    (Branch("é", [Branch("☃\n😀", ["ß"]), "\x00"]), ["é", "|-- ☃", "|   😀", "|   `-- ß", "`-- \x00"]),
    (Branch("r", [Upper("u", [Branch("x")]), Plain("p", ["c"])]), ["r", "|-- U", "|   `-- X", "`-- p", "    `-- c"]),
])
def test_rendering(node, lines):
    assert str(node) == "\n".join(lines)


def trees():
    node = st.tuples(st.sampled_from(["node", "upper", "plain"]), st.text("ab\n\r é😀|`", max_size=5), st.booleans())
    return st.recursive(st.text("a\n☃", max_size=3) | st.tuples(node, st.just([])),
                        lambda kids: st.tuples(node, st.lists(kids, max_size=4)), max_leaves=40)


def make(layout, ours):
    if isinstance(layout, str):
        return layout
    (kind, name, as_tuple), kids = layout
    kids = [make(k, ours) for k in kids]
    cls = {"node": (Branch, PyBranch), "upper": (Upper, PyUpper), "plain": (Plain, PyBranch)}[kind][not ours]
    return cls(name, tuple(kids) if as_tuple else kids)


@settings(max_examples=300, deadline=None)
@given(trees())
def test_rendering_matches_the_model(layout):
    assert str(make(layout, True)) == str(make(layout, False))


@pytest.mark.parametrize("cls", [Branch, PyBranch])
def test_children_changed_while_rendering(cls):
    # children[:-1] is copied before the loop; the last child is taken after it.
    kids = [type("Grow", (), {"__str__": lambda self: kids.append("late") or "grow"})(), "b"]
    assert str(cls("r", kids)) == "r\n|-- grow\n`-- late"
    kids[:] = [type("Empty", (), {"__str__": lambda self: kids.clear() or "gone"})(), "b"]
    with pytest.raises(IndexError, match="list index out of range"):
        str(cls("r", kids))


def error(node):
    with pytest.raises(Exception) as err:
        str(node)
    return err.type, str(err.value)


@pytest.mark.parametrize("name", [5, None, b"x", ["l"]])
def test_names_that_are_no_strings(name):
    # str() refuses a leaf's name; with children, the name's += decides (a list's
    # takes the text, and str() refuses the list)
    refused = (TypeError, f"__str__ returned non-string (type {type(name).__name__})")
    assert error(Branch(name)) == error(Branch("r", [Branch("a", [Branch(name)])])) == refused
    for shape in (lambda cls: cls(name, ["c"]), lambda cls: cls("r", [cls("a", [cls(name, ["c"])]), "b"])):
        assert error(shape(Branch)) == error(shape(PyBranch))


@pytest.mark.parametrize("children", [5, {1, 2}, {"a": 1}, object()])
def test_children_that_cannot_be_sliced(children):
    with pytest.raises(Exception) as expected:
        children[:-1]
    assert error(Branch("r", children)) == error(Branch("r", [Branch("a", children)])) == (expected.type,
                                                                                        str(expected.value))


def test_errors_of_children_propagate_unchanged():
    problem = ValueError("from a child")

    class Bad:
        def __str__(self):
            raise problem

    with pytest.raises(ValueError) as err:
        str(Branch("r", [Branch("a", [Bad()]), "b"]))
    assert err.value is problem


def chain(n, cls=Branch):
    root = node = cls("n")
    for _ in range(n):
        node.children = [cls("n")]
        node = node.children[0]
    return root, node


@pytest.mark.parametrize("cls", [Branch, Plain, Upper])
def test_deep_trees_raise_recursion_error(cls):
    root, end = chain(100_000, cls)
    with pytest.raises(RecursionError):
        str(root)
    end.children = [root]  # now its own descendant
    with pytest.raises(RecursionError):
        str(root)
    assert str(chain(50)[0]).count("\n") == 50


def directory(path, name):
    """A directory's tree: entries in directory order, hidden ones left out, links not followed."""
    node = Branch(name)
    with os.scandir(path) as entries:
        for e in (e for e in entries if not e.name.startswith(".")):
            if e.is_symlink():
                node.add_child(f"{e.name} -> {os.readlink(e.path)}")
            else:
                node.add_child(directory(e.path, e.name) if e.is_dir() else Branch(e.name))
    return node


LIB = f"/usr/lib/python{sys.version_info.major}.{sys.version_info.minor}"


@pytest.mark.skipif(shutil.which("tree") is None, reason="needs the tree command")
@pytest.mark.parametrize("path", [f"{LIB}/json", f"{LIB}/email", f"{LIB}/config-3.14-x86_64-linux-gnu", f"{LIB}/test",
                                  f"{LIB}/"])
def test_matches_the_tree_command(path):
    if not os.path.isdir(path):
        pytest.skip(f"{path} is not installed")
    for _ in range(2):  # the interpreter may write a cache file between the two listings
        expected = subprocess.run(["tree", "-U", "-n", "--charset=ascii", "--noreport", path], capture_output=True,
                                  text=True, check=True).stdout
        if str(directory(path, path)) + "\n" == expected:
            break
    assert str(directory(path, path)) + "\n" == expected


def test_memory_of_a_large_tree_is_that_of_the_python_class():
    names = [f"node{i}" for i in range(20_000)]

    def size(cls):
        gc.collect()
        tracemalloc.start()
        nodes = [cls(name) for name in names]
        for i, node in enumerate(nodes[1:]):
            nodes[i // 4].add_child(node)
        used = tracemalloc.get_traced_memory()[0]
        tracemalloc.stop()
        return used

    assert size(Branch) <= 1.05 * size(PyBranch)


def test_no_leaks():
    trees = [Branch("r", [Upper("u", ["x"]), "y\nz", Branch("é", ("😀",))]), chain(30)[0]]
    failing = [(AttributeError, lambda: Branch("r", (1,)).add_child(2)), (TypeError, lambda: str(Branch("r", [Branch(5)]))),
               (TypeError, lambda: str(Branch("r", [Branch("a", 5)]))), (TypeError, lambda: Branch("a", x=1))]

    def run():
        for tree in trees:
            str(tree)
        Branch("a", children=[1]).add_child(2)
        for exc, call in failing:
            with pytest.raises(exc):
                call()

    assert_no_leaks(run)
    root, end = chain(10)
    end.children = [root]
    assert_no_leaks(lambda: str(root), raises=RecursionError, per_round=4, rounds=4, warmup=1)
