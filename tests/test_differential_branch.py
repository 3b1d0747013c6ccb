"""Branch and sharedattr against the same classes written in Python, with plain and hostile parts."""
import pytest
from hypothesis import given
from hypothesis import strategies as st

import pyforms.branch
import pyforms.sharedattr
from differential import Hook, outcome, runs
from vornal.datastructures import branch, sharedattr


class World:
    def __init__(self, module):
        self.module = module
        base = module.Branch

        class Upper(base):  # a subclass with a rendering of its own
            def __str__(self):
                return super().__str__().upper()

        self.classes = {"node": base, "upper": Upper, "plain": type("Plain", (base,), {})}
        self.nodes = []


def act(world, kind):
    """What a hook does to the tree: to the root (the node built last) or to the node built first."""
    if not world.nodes:
        return
    root, first = world.nodes[-1], world.nodes[0]
    if kind == "append":
        root.add_child("late")
    elif kind == "truncate" and isinstance(root.children, list):
        del root.children[1:]
    elif kind == "replace":
        first.children = ["other"]  # another list in the attribute
    elif kind == "rename":
        first.name = "renamed"


ACTIONS = ["append", "truncate", "replace", "rename"]


class Text(str):
    """A str whose own methods render differently from str's."""

    def split(self, sep=None, maxsplit=-1):
        return [part.upper() for part in str.split(self, sep, maxsplit)]

    def __add__(self, other):
        return Text(str.__add__(self, "+" + other))


class Child:
    """A child that is no node: its str() runs a hook, and may give a Text."""

    def __init__(self, text, as_text, hook):
        self.text, self.as_text, self.hook = text, as_text, hook

    def __str__(self):
        self.hook.fire()
        return Text(self.text) if self.as_text else self.text


class Glue:
    """A name that is no str, whose += gives text."""

    def __iadd__(self, other):
        return "glue" + other


def names():
    plain = st.sampled_from(["n", "a\nb", "", "r\r", "é☃"])
    odd = st.sampled_from([None, b"bytes", 7, "glue"])
    text = st.tuples(st.just("text"), st.sampled_from(["t", "t\nu"]))
    return st.one_of(plain, odd, text)


def make_name(spec):
    if spec == "glue":
        return Glue()
    if isinstance(spec, tuple):
        return Text(spec[1])
    return spec


def children(hostile):
    texts = st.sampled_from(["x", "y\nz", "", "w\r\nv", "😀"])
    made = [texts, st.integers(0, 9)]
    if hostile:
        made.append(st.tuples(st.just("child"), texts, st.booleans(), st.integers(1, 2), st.sampled_from(ACTIONS)))
    return st.one_of(*made)


def trees(hostile):
    def node(kids):
        return st.one_of(*[st.tuples(st.just("node"), st.just(kind), names(), kids, st.booleans())
                           for kind in ["node", "upper", "plain"]])

    leaves = st.one_of(children(hostile), node(st.just([])))
    inner = st.recursive(leaves, lambda inner: node(st.lists(inner, min_size=1, max_size=3)), max_leaves=8)
    return st.one_of(node(st.just([])), node(st.lists(inner, min_size=1, max_size=3)))  # a node


def make(spec, world):
    if not isinstance(spec, tuple):
        return spec
    if spec[0] == "child":
        _, text, as_text, n, kind = spec
        return Child(text, as_text, Hook(world, n, lambda w: act(w, kind)))
    _, kind, name, kids, as_tuple = spec
    made = [make(k, world) for k in kids]
    node = world.classes[kind](make_name(name), tuple(made) if as_tuple else made)
    world.nodes.append(node)
    return node


def check_same(spec, ops):
    python, ours = World(pyforms.branch), World(branch)
    roots = {python: make(spec, python), ours: make(spec, ours)}
    for op in ops:
        results = []
        for world in (python, ours):
            root = roots[world]
            if op == "str":
                results.append(outcome(lambda: str(root), lambda text: (type(text).__name__, str.__str__(text))))
            elif op == "add_child":
                results.append(outcome(lambda: root.add_child("added")))
            else:
                results.append(outcome(lambda: (label(root.name), len(root.children))))
        assert results[1] == results[0], op


def label(name):
    if isinstance(name, str):
        return str.__str__(name)
    return name if isinstance(name, (bytes, int, type(None))) else type(name).__name__


OPERATIONS = st.lists(st.sampled_from(["str", "str", "add_child", "read"]), min_size=1, max_size=4)


@runs(release=200, debug=40)
@given(spec=trees(False), ops=OPERATIONS)
def test_plain_trees(spec, ops):
    check_same(spec, ops)


@runs(release=300, debug=50)
@given(spec=trees(True), ops=OPERATIONS)
def test_hostile_trees(spec, ops):
    check_same(spec, ops)


# --- sharedattr --------------------------------------------------------------------------

def reads(module, func):
    class Base:
        value = module.sharedattr(func)

    class Derived(Base):
        pass

    descriptor = Base.__dict__["value"]
    got = [outcome(lambda: Base.value), outcome(lambda: Derived.value), outcome(lambda: Derived().value),
           outcome(lambda: descriptor.__get__(None, Derived)), outcome(lambda: descriptor.__get__(None)),
           outcome(lambda: descriptor.func is func)]
    descriptor.func = len  # the function is read at every access
    got.append(outcome(lambda: Base.value))
    return got


FUNCTIONS = {"name": lambda cls: cls.__name__, "raises": lambda cls: 1 / 0, "no-argument": lambda: 1,
             "not callable": 5, "classmethod": classmethod(lambda cls: cls)}


@pytest.mark.parametrize("func", sorted(FUNCTIONS))
def test_sharedattr_reads(func):
    assert reads(sharedattr, FUNCTIONS[func]) == reads(pyforms.sharedattr, FUNCTIONS[func])


# --- the differences found, one explicit test each ----------------------------------------

def rendered(module, name, kids):
    return outcome(lambda: str(module.Branch(name, kids)), lambda text: (type(text).__name__, str.__str__(text)))


@pytest.mark.parametrize("name, error", [
    (None, "unsupported operand type(s) for +=: 'NoneType' and 'str'"),
    (b"bytes", "can't concat str to bytes"),
    (7, "unsupported operand type(s) for +=: 'int' and 'str'"),
    ("glue", None),  # its += makes the text
])
def test_difference_name_that_is_no_str_with_children(name, error):
    def render(module):
        return rendered(module, make_name(name), [module.Branch("a")])

    expected = render(pyforms.branch)
    assert expected == ((TypeError, error) if error else ("ok", ("str", "glue\n`-- a")))
    assert render(branch) == expected


def test_difference_leaf_gives_its_name_whatever_it_is():
    # str() refuses a name that is no str, but __str__ itself gives it back, as a
    # subclass calling super().__str__() sees
    def leaf(module):
        return outcome(lambda: module.Branch.__str__(module.Branch(None)))

    assert leaf(pyforms.branch) == ("ok", None)
    assert leaf(branch) == ("ok", None)


@pytest.mark.parametrize("case, text", [
    ("child-split", "r\n`-- A\n    B"),  # the child's text split by its own split()
    ("name-add", "r+\n`-- a"),  # the name's own +
], ids=["child-split", "name-add"])
def test_difference_str_subclass_methods_are_called(case, text):
    def render(module):
        if case == "child-split":
            return rendered(module, "r", [Child("a\nb", True, Hook(None, 0, None))])
        return rendered(module, Text("r"), [module.Branch("a")])

    expected = render(pyforms.branch)
    assert expected[0] == "ok" and expected[1][1] == text
    assert render(branch) == expected


def test_difference_children_read_again_for_the_last_child():
    def render(module):
        node = module.Branch("n")

        class Replacing:
            def __str__(self):
                node.children = ["other"]
                return "c"

        node.children = [Replacing(), "x"]
        return str(node)

    assert render(pyforms.branch) == "n\n|-- c\n`-- other"
    assert render(branch) == render(pyforms.branch)
