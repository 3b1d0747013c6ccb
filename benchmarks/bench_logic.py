"""And / Or / Not evaluation, their string form and logic_str.

An expression is built once and called on many values, so evaluation is the
hot path. Yardsticks: a plain Python loop that calls the compiled patterns'
search (or the callables) directly, doing the same calls (the floor), and the
same classes written in Python.
"""
import re

from run import Case  # first: it puts the Python forms (tests/pyforms) on sys.path
from pyforms.logic import And as PyAnd
from pyforms.logic import Not as PyNot
from pyforms.logic import Or as PyOr
from pyforms.logic import logic_str as py_logic_str

from vornal.datastructures import logic
from vornal.datastructures.logic import And, Not, Or, logic_str


# --- the floor: plain loops calling search (or the callables) ------------------------


def plain_all(checks, values):
    """And: every check holds for some value; every value is tried."""
    for check in checks:
        found = False
        for value in values:
            if check(value):
                found = True
        if not found:
            return False
    return True


def plain_any(checks, values):
    """Or: some check holds for some value."""
    for check in checks:
        found = False
        for value in values:
            if check(value):
                found = True
        if found:
            return True
    return False


def plain_none(checks, values):
    """Not: no check holds for any value."""
    return not plain_any(checks, values)


def plain_nested(a, b, c, d, values):
    """And(a, Or(b, c), Not(d)) written out."""
    found = False
    for value in values:
        if a(value):
            found = True
    if not found:
        return False
    found = False
    for value in values:
        if b(value):
            found = True
    if not found:
        found = False
        for value in values:
            if c(value):
                found = True
        if not found:
            return False
    found = False
    for value in values:
        if d(value):
            found = True
    return not found


def plain_format(node):
    """The string form written out by hand from (name, children), leaves being pattern text."""
    name, children = node
    return name + "(" + ", ".join([plain_format(c) if type(c) is tuple else "'" + c + "'" for c in children]) + ")"


# --- cases ------------------------------------------------------------------------------

VALUES = ("report-2024.txt", "backup_main.log", "notes.md")
PATTERNS = (r"\.txt$", r"^back", "main")  # each matches a different value
MISSES = (r"\.csv$", "^tmp", "zzz")  # match none
LATE = (r"\.md$", "tes", r"s\.")  # match only the last value


def _search(texts):
    return [re.compile(t).search for t in texts]


def _group(group, floor_name, floor, ours, python, expected):
    """A floor and the two classes' calls; every case's answer is checked first."""
    assert floor() is expected and ours(*VALUES) is expected and python(*VALUES) is expected
    name = type(ours).__name__
    yield Case(group, floor_name, floor, floor=True)
    yield Case(group, name + "(...)(*values)", lambda: ours(*VALUES))
    yield Case(group, "Python " + name + "(...)(*values)", lambda: python(*VALUES))


def short(v):
    return len(v) < 10


def dotted(v):
    return "." in v


def pattern_cases():
    for group, cls, pycls, texts, floor, expected in [
        ("And, 3 patterns over 3 values, each pattern matching one value", And, PyAnd, PATTERNS, plain_all, True),
        ("And, 3 patterns over 3 values, matching the last value only", And, PyAnd, LATE, plain_all, True),
        ("Or, 3 patterns over 3 values, no match", Or, PyOr, MISSES, plain_any, False),
        ("Not, 3 patterns over 3 values, no match", Not, PyNot, MISSES, plain_none, True),
    ]:
        searches = _search(texts)
        yield from _group(group, "plain loop calling search", lambda f=floor, s=searches: f(s, VALUES),
                          cls(*texts), pycls(*texts), expected)


def callable_cases():
    for group, cls, pycls, funcs, floor, expected in [
        ("And, 3 Python functions over 3 values", And, PyAnd, (short, str.islower, dotted), plain_all, True),
        ("Or, 3 built-in callables over 3 values, no hit", Or, PyOr, (str.isupper, str.isdigit, str.isspace),
         plain_any, False),
    ]:
        yield from _group(group, "plain loop calling the callables", lambda f=floor, c=funcs: f(c, VALUES),
                          cls(*funcs), pycls(*funcs), expected)


def nested_cases():
    a, b, c, d = _search(["txt", "^x", "main", "tmp"])
    yield from _group("nested And('txt', Or('^x', 'main'), Not('tmp')) over 3 values", "plain loop calling search",
                      lambda: plain_nested(a, b, c, d, VALUES),
                      And("txt", Or("^x", "main"), Not("tmp")), PyAnd("txt", PyOr("^x", "main"), PyNot("tmp")), True)


NODE = ("And", ["a", ("Or", ["b", "c", ("Not", ["d", "e"])]), "f", ("Or", ["g", ("And", ["h", "i"])])])
NESTED = And("a", Or("b", "c", Not("d", "e")), "f", Or("g", And("h", "i")))
PY_NESTED = PyAnd("a", PyOr("b", "c", PyNot("d", "e")), "f", PyOr("g", PyAnd("h", "i")))
TEXT = plain_format(NODE)


def text_cases():
    group = "str() of a nested expression, 9 patterns at depth 3"
    assert str(NESTED) == TEXT and str(PY_NESTED) == TEXT
    yield Case(group, "hand-written formatting", lambda: plain_format(NODE), floor=True)
    yield Case(group, "str(expression)", lambda: str(NESTED))
    yield Case(group, "Python str(expression)", lambda: str(PY_NESTED))

    group = "logic_str of a nested expression, 9 patterns at depth 3"
    namespace = dict(vars(logic))  # eval() stores __builtins__ into the globals it is given
    assert logic_str(TEXT) == NESTED and py_logic_str(TEXT) == PY_NESTED and eval(TEXT, namespace) == NESTED
    yield Case(group, "eval(text)", lambda: eval(TEXT, namespace), floor=True)
    yield Case(group, "logic_str(text)", lambda: logic_str(TEXT))
    yield Case(group, "Python logic_str(text)", lambda: py_logic_str(TEXT))

    group = "construct And with 3 patterns"
    yield Case(group, "[re.compile(p) for p in patterns]", lambda: [re.compile(p) for p in PATTERNS], floor=True)
    yield Case(group, "And(*patterns)", lambda: And(*PATTERNS))
    yield Case(group, "Python And(*patterns)", lambda: PyAnd(*PATTERNS))


def cases():
    yield from pattern_cases()
    yield from callable_cases()
    yield from nested_cases()
    yield from text_cases()
