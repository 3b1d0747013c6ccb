"""And, Or, Not and logic_str against the same classes written in Python, with plain and hostile parts."""
import re

from hypothesis import given
from hypothesis import strategies as st

import pyforms.logic
from differential import Hook, outcome, runs
from vornal.datastructures import logic

OPERATORS = ["And", "Or", "Not"]


class World:
    """Subclasses of the three operators that note the expression being built (`target`)."""

    def __init__(self, module):
        self.module = module
        self.target = self.root = None
        self.log = []  # calls, truth tests and releases of the parts' results, in order
        self.classes = {name: self.subclass(name, getattr(module, name)) for name in OPERATORS}

    def subclass(self, name, base):
        world = self

        def __init__(self, *expressions):
            world.target = self
            base.__init__(self, *expressions)

        return type(name, (base,), {"__init__": __init__})


def act(world, kind):
    """What a hook does to the world."""
    target = world.target
    if kind == "rename":
        for cls in world.classes.values():
            cls.__name__ = "X" + cls.__name__
    elif kind == "rename-sub":  # a name whose + is its own
        for cls in world.classes.values():
            cls.__name__ = Name("Y" + cls.__name__)
    elif target is None:
        return
    elif kind == "replace":  # the expression's list is replaced by a new empty one
        target.expressions = []
    elif kind == "clear":
        target.expressions.clear()
    elif kind == "append":
        target.expressions.append(re.compile("z"))


class Part:
    """A callable part of an expression whose call, __repr__ and __class__ may run a hook."""

    def __init__(self, world, label, result, hooks):
        self.world, self.label, self.result, self.hooks = world, label, result, hooks

    def fire(self, name):
        hook = self.hooks.get(name)
        if hook:
            hook.fire()

    def __call__(self, item):
        self.fire("__call__")
        self.world.log.append(("call", self.label))
        result = self.result(item)
        if isinstance(result, str) and result in MORTALS:
            result = MORTALS[result](self.world.log, self.label)
        return result

    def __repr__(self):
        self.fire("__repr__")
        return self.label

    @property
    def __class__(self):  # what isinstance() reads for a class that is not the object's type
        self.fire("__class__")
        return Part

    def __eq__(self, other):
        return isinstance(other, Part) and self.label == other.label

    __hash__ = None


class Item:
    """A value whose str() runs a hook."""

    def __init__(self, text, hook):
        self.text, self.hook = text, hook

    def __str__(self):
        self.hook.fire()
        return self.text


class Name(str):
    def __add__(self, other):
        return str.__add__(self, "<" + other)


class Mortal:
    """A result whose truth test and release are noted in the log."""

    def __init__(self, log, label, truth):
        self.log, self.label, self.truth = log, label, truth

    def __bool__(self):
        self.log.append(("bool", self.label))
        return self.truth

    def __del__(self):
        self.log.append(("del", self.label))


MORTALS = {"mortal": lambda log, label: Mortal(log, label, False),
           "mortal-true": lambda log, label: Mortal(log, label, True),
           "boxed": lambda log, label: [Mortal(log, label, False)],
           "boxed-dict": lambda log, label: {label: Mortal(log, label, True)}}
RESULTS = {"has-a": lambda v: "a" in str(v), "true": lambda v: True, "none": lambda v: None,
           "empty": lambda v: [], "item": lambda v: v, **{name: (lambda v, n=name: n) for name in MORTALS}}


ACTIONS = ["rename", "replace", "clear", "append", "rename-sub"]


def action_of(event, choice):
    """What the hook of `event` does; while a difference is open, not what triggers it."""
    kind = ACTIONS[choice]
    return kind


def hooks(hostile):
    if not hostile:
        return st.just({})
    events = ["__call__", "__repr__", "__class__"]
    return st.dictionaries(st.sampled_from(events), st.tuples(st.integers(1, 2), st.sampled_from(range(len(ACTIONS)))),
                           max_size=2)


def parts(hostile):
    leaf = st.one_of(
        st.tuples(st.just("pattern"), st.sampled_from(["a", "^a", "b$", "", "x|y", "it's", "("])),
        st.tuples(st.just("builtin"), st.sampled_from(["len", "str.isdigit", "bool"])),
        st.tuples(st.just("part"), st.sampled_from(sorted(RESULTS)), hooks(hostile)),
        st.tuples(st.just("bad"), st.sampled_from([5, None, b"a"])),
    )
    return st.recursive(leaf, lambda inner: st.tuples(st.just("node"), st.sampled_from(OPERATORS),
                                                      st.lists(inner, max_size=3)), max_leaves=6)


def expressions(hostile):
    return st.tuples(st.just("node"), st.sampled_from(OPERATORS), st.lists(parts(hostile), max_size=4))


def make(spec, world, counter):
    kind = spec[0]
    if kind == "pattern":
        return spec[1]
    if kind == "builtin":
        return {"len": len, "str.isdigit": str.isdigit, "bool": bool}[spec[1]]
    if kind == "bad":
        return spec[1]
    if kind == "part":
        counter[0] += 1
        made = {event: Hook(world, n, lambda w, k=action_of(event, choice): act(w, k))
                for event, (n, choice) in spec[2].items()}
        return Part(world, f"part{counter[0]}", RESULTS[spec[1]], made)
    _, name, children = spec
    return world.classes[name](*[make(c, world, counter) for c in children])


def shape(obj):
    """An expression as (class name, its parts), patterns as their text, parts by label."""
    if isinstance(obj, (logic.BaseLogic, pyforms.logic.BaseLogic)):
        return (type(obj).__name__, [shape(e) for e in obj.expressions])
    if isinstance(obj, re.Pattern):
        return ("re", obj.pattern)
    if type(obj) is Part:
        return obj.label
    return getattr(obj, "__name__", obj)


def items(hostile):
    plain = st.one_of(st.sampled_from(["a", "ab", "b", "", "x.y", "it's"]), st.integers(0, 2), st.none())
    if not hostile:
        return st.lists(plain, max_size=3)
    hooked = st.tuples(st.just("item"), st.sampled_from(["a", "b"]), st.integers(1, 2), st.sampled_from(range(len(ACTIONS))))
    return st.lists(st.one_of(plain, hooked), max_size=3)


def make_item(spec, world):
    if isinstance(spec, tuple):
        _, text, n, choice = spec
        return Item(text, Hook(world, n, lambda w: act(w, ACTIONS[choice])))
    return spec


TEXTS = ["And('a'", "abc", "'abc'", "And(5)", "Not()", "Or(len)", "And('(')", "", "  And('a')", "And('a')\x00",
         "And(string)", "Or('a', Not('b'))", b"And('a')", "[And()][0]"]


def operations(hostile):
    return st.one_of(
        st.tuples(st.just("call"), items(hostile)),
        st.tuples(st.just("call"), items(hostile)),
        st.tuples(st.just("str")),
        st.tuples(st.just("repr")),
        st.tuples(st.just("eq"), expressions(hostile)),
        st.tuples(st.just("read_back")),
        st.tuples(st.just("logic_str"), st.sampled_from(TEXTS)),
        st.tuples(st.just("base_call")),
    )


def run(op, world, root):
    kind = op[0]
    world.target = root
    if kind == "call":
        values = [make_item(spec, world) for spec in op[1]]
        return outcome(lambda: root(*values))
    if kind == "str":
        return outcome(lambda: str(root))
    if kind == "repr":
        return outcome(lambda: repr(root))
    if kind == "eq":
        other = outcome(lambda: make(op[1], world, [100]))
        if other[0] != "ok":
            return other
        world.target = root
        return outcome(lambda: (root == other[1], root != other[1]))
    if kind == "read_back":
        return outcome(lambda: world.module.logic_str(str(root)), shape)
    if kind == "logic_str":
        return outcome(lambda: world.module.logic_str(op[1]), shape)
    if kind == "base_call":
        return outcome(lambda: world.module.BaseLogic()())
    raise AssertionError(op)


def check_same(spec, ops):
    python, ours = World(pyforms.logic), World(logic)

    def build(world):
        world.root = make(spec, world, [0])
        return world.root

    expected, got = outcome(lambda: build(python), shape), outcome(lambda: build(ours), shape)
    assert got == expected
    if got[0] != "ok":
        return
    for op in ops:
        expected, got = run(op, python, python.root), run(op, ours, ours.root)
        assert got == expected, op
        assert shape(ours.root) == shape(python.root), op
        assert ours.log == python.log, op


@runs(release=200, debug=40)
@given(spec=expressions(False), ops=st.lists(operations(False), max_size=6))
def test_plain_expressions(spec, ops):
    check_same(spec, ops)


@runs(release=300, debug=50)
@given(spec=expressions(True), ops=st.lists(operations(True), max_size=6))
def test_hostile_expressions(spec, ops):
    check_same(spec, ops)


# --- the differences found, one explicit test each ----------------------------------------

def renamed_while_rendering(module):
    """A part whose repr() renames the class of the expression being rendered."""

    class Sub(module.And):
        pass

    class Renaming:
        def __call__(self, value):
            return True

        def __repr__(self):
            Sub.__name__ = "Renamed"
            return "part"

    return str(Sub(Renaming(), "a"))


def test_difference_str_reads_the_class_name_after_the_parts():
    assert renamed_while_rendering(pyforms.logic) == "Renamed(part, 'a')"
    assert renamed_while_rendering(logic) == "Renamed(part, 'a')"


def replaced_while_built(module):
    """A part whose __class__, read by the isinstance() check of __init__, gives the
    expression being built a new list."""
    built = []

    class Sub(module.And):
        def __init__(self, *expressions):
            built.append(self)
            super().__init__(*expressions)

    class Replacing:
        def __call__(self, value):
            return True

        @property
        def __class__(self):
            built[0].expressions = []
            return Replacing

    return shape(Sub(Replacing(), "a"))


def test_difference_init_appends_to_the_list_it_finds_each_time():
    expected = replaced_while_built(pyforms.logic)
    assert expected[1][1:] == [("re", "a")]  # the part, then the pattern, in the new list
    assert replaced_while_built(logic)[1][1:] == expected[1][1:]
