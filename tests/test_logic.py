"""And, Or, Not: logical expressions over patterns and callables, and logic_str."""
import inspect
import logging
import re
import subprocess
import sys

import pytest
from hypothesis import given
from hypothesis import strategies as st

from leakcheck import assert_no_leaks
import vornal.datastructures.logic as logic
import vornal.utils.strings
from vornal.datastructures.logic import And, BaseLogic, Not, Or, logic_str

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

PREFIX = "Not a properly formatted logic string: "


def test_module_namespace_and_classes():
    names = [k for k in vars(logic) if k[:2] != "__" or k == "__all__"]
    assert names == ["re", "logging", "decode_cli_string", "__all__", "logger",
                     "BaseLogic", "And", "Or", "Not", "logic_str"]
    assert (logic.re, logic.logging) == (re, logging)
    assert logic.decode_cli_string is vornal.utils.strings.decode_cli_string
    assert logic.__all__ == ["And", "Or", "Not"] and logic.logger is logging.getLogger(logic.__name__)
    assert BaseLogic.__bases__ == (object,) and type(BaseLogic) is type
    assert BaseLogic.__doc__.startswith("BaseLogic Class") and "no\nmeaningful testing" in BaseLogic.__doc__
    for cls, title in [(And, "Logical And"), (Or, "Logical Or"), (Not, "Logical Not")]:
        assert cls.__bases__ == (BaseLogic,) and cls.__doc__.startswith(title)
        assert [k for k in vars(cls) if k not in ("__module__", "__qualname__", "__doc__")] == ["__call__"]
        assert str(inspect.signature(cls.__call__)) == "(self, *items)"
    assert BaseLogic.__hash__ is None and vars(And("a"))["expressions"] == [re.compile("a")]
    with pytest.raises(TypeError):
        hash(And("a"))


def counting(result=True):
    def f(value):
        f.calls.append(value)
        return result
    f.calls = []
    return f


EVALUATIONS = [
    (And("a", "b"), ("ab",), True), (And("a", "b"), ("a", "b"), True), (And("a", "b"), ("a",), False),
    (Or("x", "b"), ("abc",), True), (Or("x", "y"), ("abc",), False),
    (Not("x"), ("abc",), True), (Not("x", "b"), ("abc",), False),
    (And("b"), ("abc",), True), (And("B"), ("abc",), False), (And("^b"), ("abc",), False),
    (And(), (1, 2), True), (Or(), ("a",), False), (Not(), ("a",), True),
    (And("a"), (), False), (Or("a"), (), False), (Not("a"), (), True), (And(Not("a")), (), True),
    (And(""), ("anything",), True), (And("^$"), ("",), True), (And("1"), (1,), True), (And("None"), (None,), True),
    (Or("'b'"), (["a", "b"],), True), (And("^a$"), (["a"],), False), (And("^a$"), ("a",), True),
    (And("a"), (type("S", (str,), {"__str__": lambda s: "x"})("a"),), False),  # str() of a str subclass
    (Or(lambda v: 0), ("a",), False), (Or(lambda v: [v]), ("a",), True), (And(str.isdigit), ("a", "1"), True),
    (And("a", Not("b")), ("xa", "xb"), False), (And("a", Not("b")), ("xa", "xc"), True),
    (Or(And("a", "b"), "z"), ("a", "b"), True),
]


@pytest.mark.parametrize("expression, values, expected", EVALUATIONS)
def test_evaluation(expression, values, expected):
    assert expression(*values) is expected


def test_every_value_is_tried_and_later_expressions_are_skipped():
    f, g = counting(), counting()
    assert And(f, "x", g)("a", "b", "c") is False and f.calls == ["a", "b", "c"] and g.calls == []
    assert Or("a", g)("a") is True and Not(f, g)("z") is False and g.calls == []
    log = []
    Text = type("Text", (), {"__str__": lambda self: log.append("str") or "a"})
    assert Or("a")(Text(), "a", Text()) is True and log == ["str", "str"]  # even after a match
    # Results are judged once all are made, up to the first true one.
    class Answer(str):
        def __bool__(self):
            log.append(str(self))
            return self == "c"
    answers, log[:] = {"a": Answer("a"), "b": True, "c": Answer("c")}, []
    assert Or(lambda v: log.append(v) or answers[v])("a", "b", "c") is True and log == ["a", "b", "c", "a"]
    finder = type("Finder", (), {"search": lambda self, text: text == "b"})()  # any object with search()
    e = Or()
    e.expressions.append(finder)
    assert e("a", "b") is True and e("a") is False


class Boom(Exception):
    pass


def boom(*args):
    raise Boom


@pytest.mark.parametrize("expression, values", [
    (And(boom), ("a",)), (And("a", Or(boom)), ("a",)), (And("a"), (type("T", (), {"__str__": boom})(),)),
    (Or(lambda v: type("B", (), {"__bool__": boom})()), ("a",)),
])
def test_exceptions_propagate(expression, values):
    with pytest.raises(Boom):
        expression(*values)


def test_nested_expressions_use_base_logic_as_bound_now(monkeypatch):
    class Loud(Or):
        def __call__(self, *items):
            calls.append(items)
            return super().__call__(*items)
    calls = []
    assert And(Loud("a"), Or("b"))("a", "b") is True and calls == [("a", "b")]
    monkeypatch.setattr(logic, "BaseLogic", ())  # nested expressions are then plain callables
    assert And(Loud("a"))("a", "b") is True and calls[1:] == [("a",), ("b",)]
    monkeypatch.setattr(logic, "BaseLogic", (Loud,))
    assert And(Loud("a"), Or(counting(False)))("a", "b") is False and calls[3:] == [("a", "b")]


def test_deep_and_cyclic_expressions_raise_recursion_error():
    e = And()
    e.expressions.append(e)
    with pytest.raises(RecursionError):
        e("a")
    with pytest.raises(RecursionError):
        str(e)


@pytest.mark.parametrize("argument", [5, re.compile("a"), b"a", None])
def test_construction_rejects_what_is_neither_str_nor_callable(argument):
    with pytest.raises(TypeError) as err:
        And("a", argument)
    assert str(err.value) == f"Expression only accepts str and callable. Got: {argument} ({type(argument)})"


def test_construction_keeps_callables_and_compiles_strings():
    S = type("S", (str,), {"__call__": lambda self, v: True})  # str comes before callable
    assert And(S("x"), len, Not()).expressions == [re.compile("x"), len, Not()]
    with pytest.raises(re.error):
        Or("a", "(")
    with pytest.raises(NotImplementedError):
        BaseLogic("a")()


def test_string_form():
    e = And("a", Or("b", "c"))
    assert str(e) == repr(e) == "And('a', Or('b', 'c'))"
    assert (str(Not()), str(And("it's")), str(Or(len))) == ("Not()", "And('it's')", "Or(<built-in function len>)")
    Mine, Shown = type("Mine", (Or,), {}), type("Shown", (Or,), {"__str__": lambda self: "shown"})
    assert repr(Not(Mine("x"), Shown())) == "Not(Mine('x'), shown)"
    assert str(type("Meta", (type,), {})("M", (And,), {})("a")) == "M('a')"


@pytest.mark.parametrize("left, right, equal", [
    (And("a"), And("a"), True), (And("a", Or("b")), And("a", Or("b")), True), (And(len), And(len), True),
    (And("a"), Or("a"), False), (And("a"), And("b"), False), (And("a"), And("a", "b"), False),
    (And("a"), "a", False), (And("a"), type("Sub", (And,), {})("a"), False),
])
def test_equality(left, right, equal):
    assert (left == right) is equal and (left != right) is (not equal)


# --- logic_str ------------------------------------------------------------------------


@pytest.mark.parametrize("text, values, expected", [
    ("And('a', 'b')", ("ab",), True), ("And('a', 'b')", ("a",), False), ("Not()", ("x",), True),
    ("Or(len)", ("",), False), ("Or(len)", ("a",), True), ("  \tOr(re.compile('a').match)", ("ab",), True),
    ("And(*(c for c in 'ab'))", ("ab",), True), ("Or(lambda s: len(s) > 2)", ("abc",), True),
])
def test_logic_str_evaluates(text, values, expected):
    assert logic_str(text)(*values) is expected


def test_logic_str_results():
    assert logic_str("Or('a', Not('b'))") == Or("a", Not("b"))
    assert str(logic_str(string="Or('a', Not('b'))")) == "Or('a', Not('b'))"
    assert logic_str("And(string)").expressions == [re.compile("And(string)")]
    assert logic_str(b"And('a')") == And("a")  # decoded by decode_cli_string
    assert "__builtins__" not in vars(logic)


@given(st.recursive(st.text(alphabet="abc.^$ ", max_size=4),
                    lambda leaves: st.tuples(st.sampled_from([And, Or, Not]), st.lists(leaves, max_size=3)),
                    max_leaves=8))
def test_logic_str_reads_back_the_string_form(tree):
    def build(node):
        return node[0](*map(build, node[1])) if isinstance(node, tuple) else node
    e = build(tree) if isinstance(tree, tuple) else And(tree)
    assert logic_str(str(e)) == e


@pytest.mark.parametrize("text, context", [
    ("And('a'", SyntaxError), ("abc", NameError), ("", SyntaxError), ("'abc'", AssertionError), ("1", AssertionError),
    ("And(5)", TypeError), ("And('(')", re.error), ("And('a')\0", SyntaxError), ("'\ud800'", UnicodeEncodeError),
])
def test_logic_str_failures(text, context):
    with pytest.raises(ValueError) as err:
        logic_str(text)
    assert str(err.value) == PREFIX + text
    assert type(err.value.__context__) is context and err.value.__cause__ is None
    assert not err.value.__suppress_context__


def test_logic_str_passes_other_exceptions_and_looks_names_up_when_called(monkeypatch):
    with pytest.raises(KeyboardInterrupt):
        logic_str("(_ for _ in ()).throw(KeyboardInterrupt)")
    with pytest.raises(TypeError, match="decode_cli_string"):
        logic_str(5)
    seen = []
    monkeypatch.setattr(logic, "decode_cli_string", lambda text: seen.append(text) or "Or('x')")
    assert logic_str("ignored") == Or("x") and seen == ["ignored"]
    monkeypatch.setattr(logic, "BaseLogic", str)  # the assertion's class, looked up at call time
    monkeypatch.setattr(logic, "decode_cli_string", lambda text: "'abc'")
    assert logic_str("ignored") == "abc"


def test_logic_str_is_a_module_function():
    assert (logic_str.__name__, logic_str.__qualname__, logic_str.__module__) == ("logic_str", "logic_str", logic.__name__)
    assert logic_str.__doc__.startswith("Logic String Conversion") and "trusted user" in logic_str.__doc__
    assert str(inspect.signature(logic_str)) == "(string)"

    def reference(string):
        pass
    reference.__qualname__ = "logic_str"
    for call in [lambda f: f(), lambda f: f("a", "b"), lambda f: f(text="a"), lambda f: f("a", string="b")]:
        with pytest.raises(TypeError) as ours:
            call(logic_str)
        with pytest.raises(TypeError) as expected:
            call(reference)
        assert str(ours.value) == str(expected.value)


def test_logic_str_raises_the_exec_audit_event():
    code = ("import sys; from vornal.datastructures.logic import logic_str\n"
            "sys.addaudithook(lambda e, a: e == 'exec' and print(e, a[0].co_filename))\n"
            "logic_str('Not()')")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out == "exec <string>\n"


@pytest.mark.parametrize("flag, out", [([], "ValueError\n"), (["-O"], "'abc'\n")])
def test_logic_str_assertion_follows_the_interpreter_flag(flag, out):
    code = ("from vornal.datastructures.logic import logic_str\n"
            "try: print(repr(logic_str(\"'abc'\")))\n"
            "except ValueError: print('ValueError')")
    assert subprocess.run([sys.executable, *flag, "-c", code], capture_output=True, text=True, check=True).stdout == out


def test_no_leaks():
    e = And("a", Or(lambda v: v == 1, "b"), Not("c"))
    assert_no_leaks(lambda: And("a", len, Not()))
    assert_no_leaks(lambda: And("a", 5), raises=TypeError)
    assert_no_leaks(lambda: e("xa", 1, None))
    assert_no_leaks(lambda: And(boom)("a", "b"), raises=Boom)
    assert_no_leaks(lambda: Or(lambda v: object())("a", "b"))  # results kept to be judged
    assert_no_leaks(lambda: (str(e), e == And("a")))
    assert_no_leaks(lambda: logic_str("And('a', Or('b'))"))
    assert_no_leaks(lambda: logic_str("And(5)"), raises=ValueError)
