"""Configuration: converted values, INI/YAML/entry-point layers, variable expansion."""
import configparser
import gc
import logging
import re
import sys
import textwrap

import pytest

import refleaks
import yaml
from leakcheck import assert_no_leaks, needs_debug_python
from vornal.datastructures import configuration
from vornal.datastructures.configuration import Configuration as C
from vornal.datastructures.fieldmap import NestedFieldMap

pytestmark = pytest.mark.quick  # the part of the suite `tools/dev compilers` runs

WARNING = "Environment variable(s) %s referenced by [%s] %s are not set; substituting an empty string."


@pytest.fixture
def write(tmp_path):
    def write(name, text, encoding="utf-8"):
        path = tmp_path / name
        path.write_text(textwrap.dedent(text), encoding=encoding)
        return str(path)

    return write


@pytest.fixture
def warnings(caplog):
    caplog.set_level(logging.WARNING, logger="vornal.datastructures.configuration")
    return lambda: [(r.levelname, r.msg, r.args) for r in caplog.records]


def test_module_and_class_shape():
    names = [k for k in vars(configuration) if not k.startswith("__")]
    assert names == ["os", "re", "yaml", "logging", "configparser", "Mapping", "NestedFieldMap", "typecast_str",
                     "get_entry_points", "logger", "Configuration"]
    assert configuration.logger is logging.getLogger("vornal.datastructures.configuration")
    assert C.__bases__ == (NestedFieldMap,) and C.__doc__.startswith("Layered configuration") and "__init__" not in vars(C)
    own = [k for k in vars(C) if not k.startswith("__") or k == "__setitem__"][:10]
    assert own == ["_ENV_VAR_PATTERN", "_missing_env_vars", "_expand_cfg_value", "_expand_cfg_env_vars", "copy",
                   "__setitem__", "load_cfgs", "load_yamls", "load_entrypoint"] + own[9:]
    assert C._ENV_VAR_PATTERN == re.compile(r"\$(?:([A-Za-z_][A-Za-z0-9_]*)|\{([^}]+)\})")
    assert isinstance(vars(C)["_missing_env_vars"], classmethod)
    assert isinstance(vars(C)["_expand_cfg_env_vars"], staticmethod)
    assert C.__setitem__.__doc__ == "Store INI-derived values after applying string type coercion."


def test_values_are_converted_at_every_level(monkeypatch):
    c = C({"a": {"b": "1"}}, t="true")
    assert type(c.a) is C and c.a.b == 1 and c.t is True
    seen = []
    monkeypatch.setattr(configuration, "typecast_str", lambda v: seen.append(type(v).__name__) or v)
    c["x.y"] = "2"
    assert seen == ["str", "Configuration", "str"] and c.x.y == "2"
    c.z = "3"  # attribute syntax bypasses the conversion
    assert c.z == "3"

    def refuse(value):
        raise LookupError(value)

    monkeypatch.setattr(configuration, "typecast_str", refuse)
    for store in (lambda: c.__setitem__("n.m", "v"), lambda: c.update(k="v"), lambda: C(k="v")):
        with pytest.raises(LookupError):
            store()
    assert "n" not in c and "k" not in c


def test_copy_is_nested():
    leaf = [1]
    c = C({"a": {"b": leaf, "d": {"e": 1}}})
    k = c.copy()
    assert type(k) is C and k == c and k.a is not c.a and k.a.d is not c.a.d and k.a.b is leaf
    k["a.b"] = 2
    del k["a.d.e"]
    k["a.n"] = 3
    assert c == {"a": {"b": [1], "d": {"e": 1}}}

    class Sub(C):
        pass

    assert type(Sub(a={"b": 1}).copy().a) is Sub


INI = """\
    [DEFAULT]
    shared = 1
    base = /srv
    [Paths]
    data = %(base)s/data
    Mixed = true
    multi = first
        second
    a.b = 2
    [other]
    shared = 5
    """


def test_load_cfgs(write):
    path = write("site.cfg", INI)
    c = C(keep=1)
    assert c.load_cfgs(path, path + ".missing") == [path]
    assert c == {
        "keep": 1,
        "Paths": {"data": "/srv/data", "mixed": True, "multi": "first\nsecond", "a": {"b": 2}, "shared": 1, "base": "/srv"},
        "other": {"shared": 5, "base": "/srv"},
    }
    assert list(c.Paths)[:4] == ["data", "mixed", "multi", "a"]  # own options first, then the defaults
    assert type(c.Paths) is C and c["Paths.a.b"] == 2
    before = dict(c)
    assert c.load_cfgs() == [] and c.load_cfgs(path + ".missing") == [] and c == before


def test_load_cfgs_keeps_a_key_named_like_the_default_section(write):
    c = C({configparser.DEFAULTSECT: {"mine": 1}})
    c.load_cfgs(write("a.cfg", INI))
    assert c[configparser.DEFAULTSECT] == {"mine": 1} and c.other.shared == 5


@pytest.mark.parametrize("name", ["update", "setdefault", "pop", "get", "items", "_expand_cfg_env_vars"])
def test_sections_named_like_methods(write, name):
    c = C()
    c.load_cfgs(write("a.cfg", f"[{name}]\nauto = true\n[s.{name}]\nx = 1\n"))
    c.load_cfgs(write("b.cfg", f"[{name}]\nlater = 2\n"))
    c.load_yamls(write("c.yaml", f"{name}: {{y: 3}}\n"))
    assert c[name] == {"auto": True, "later": 2, "y": 3} and c.s == {name: {"x": 1}}
    assert c.copy() == c


@pytest.mark.parametrize(
    "text, error, merged",
    [
        ("no header\n", configparser.MissingSectionHeaderError, False),
        ("[first]\nx = 1\n[s]\na = 1\na = 2\n", configparser.DuplicateOptionError, False),
        ("[first]\nx = 1\n[s]\na = 50%\n", ValueError, False),  # refused when written back after expansion
        ("[first]\nx = 1\n[s]\na = %(missing)s\n", configparser.InterpolationMissingOptionError, True),
    ],
)
def test_ini_errors_propagate(write, text, error, merged):
    c = C(k=1)
    with pytest.raises(error):
        c.load_cfgs(write("bad.cfg", text))
    assert c == ({"k": 1, "first": {"x": 1}, "s": {}} if merged else {"k": 1})  # nothing is rolled back


@pytest.mark.parametrize(
    "value, expanded, missing",
    [
        ("${HOME}/x", "/h/x", []),
        ("$HOME/x", "/h/x", []),
        ("$HOME_X", "", ["HOME_X"]),
        ("a$A-b", "a-b", ["A"]),
        ("$X $Y $X", "  ", ["X", "Y"]),
        ("$1 $ HOME ${} ${HOME $", "$1 $ HOME ${} ${HOME $", []),
        ("$$HOME", "$/h", []),
        ("${A B}", "spaced", []),
        ("$EMPTY.", ".", []),
        ("$PCT", "50%%", []),  # environment values stay literal through interpolation
        ("$REF", "%%(x)s", []),
        ("$NESTED", "$HOME", []),  # substituted text is not scanned again
    ],
)
def test_expand_cfg_value(monkeypatch, warnings, value, expanded, missing):
    for name in ("HOME_X", "A", "X", "Y"):
        monkeypatch.delenv(name, raising=False)
    env = {"HOME": "/h", "A B": "spaced", "EMPTY": "", "PCT": "50%", "REF": "%(x)s", "NESTED": "$HOME"}
    for name, v in env.items():
        monkeypatch.setenv(name, v)
    assert C._missing_env_vars(value) == missing
    assert C._expand_cfg_value(value, section="s", key="k") == expanded
    assert warnings() == ([("WARNING", WARNING, (", ".join(missing), "s", "k"))] if missing else [])


def test_ini_expansion(write, warnings, monkeypatch):
    monkeypatch.setenv("PCT", "50% %(base)s")
    monkeypatch.setenv("DIR", "/d")
    monkeypatch.setenv("EMPTY", "")
    monkeypatch.delenv("UNSET", raising=False)
    c = C()
    c.load_cfgs(write("env.cfg", """\
        [DEFAULT]
        base = $DIR
        gone = x$UNSET
        [a]
        p = $PCT
        own = %(base)s/${DIR}
        empty = [$EMPTY]
        [b]
        """))
    assert c == {"a": {"p": "50% %(base)s", "own": "/d//d", "empty": "[]", "base": "/d", "gone": "x"},
                 "b": {"base": "/d", "gone": "x"}}
    assert warnings() == [("WARNING", WARNING, ("UNSET", configparser.DEFAULTSECT, "gone"))]


def test_every_value_is_expanded_and_written_back_for_replaced_parts(write, monkeypatch):
    # Values without references are not expanded or written back by the
    # standard classes; replaced ones must still see every value.
    path = write("plain.cfg", "[DEFAULT]\nd = 1\n[a]\nx = 2\ny = 50%%\n")
    seen, written = [], []

    def expand(cls, value, *, section, key):
        seen.append((section, key, value))
        return value.upper()

    class Parser(configparser.ConfigParser):
        def set(self, section, option, value=None):
            written.append((section, option, value))
            super().set(section, option, value)

    monkeypatch.setattr(C, "_expand_cfg_value", classmethod(expand))
    monkeypatch.setattr(configparser, "ConfigParser", Parser)
    c = C()
    c.load_cfgs(path)
    assert seen == [("DEFAULT", "d", "1"), ("a", "x", "2"), ("a", "y", "50%%")]
    assert [w[1] for w in written] == ["d", "x", "y"] and c == {"a": {"x": 2, "y": "50%", "d": 1}}


def test_a_bad_percent_still_fails_the_load(write):
    with pytest.raises(ValueError, match="invalid interpolation syntax"):
        C().load_cfgs(write("bad.cfg", "[a]\nx = 50% off\n"))


def test_load_yamls(write, monkeypatch):
    monkeypatch.setenv("HOME", "/h")
    one = write("one.yaml", "a: {x: 1}\nl: [{p: 1}]\nh: $HOME\n")
    two = write("two.yaml", "a: {y: '2'}\n")
    c = C()
    assert c.load_yamls(one + ".missing", one) == (one,)
    assert c.load_yamls(one, two) == (one, two)
    assert c == {"a": {"x": 1, "y": 2}, "l": [{"p": 1}], "h": "$HOME"}
    assert type(c.a) is C and type(c.l[0]) is dict
    c.load_yamls(write("three.yaml", "a: 3\n"))
    assert c.a == 3


@pytest.mark.parametrize("text", ["", "# only a comment\n", "---\n"])
def test_empty_yaml_documents_load_as_nothing(write, text):
    c = C(k=1)
    path = write("empty.yaml", text)
    assert c.load_yamls(path) == (path,) and c == {"k": 1}


@pytest.mark.parametrize("encoding", ["utf-8", "utf-8-sig", "utf-16"])
def test_yaml_encoding_follows_yaml_rules(write, encoding):
    c = C()
    c.load_yamls(write("u.yaml", "name: Grüße\n", encoding=encoding))
    assert c.name == "Grüße"


@pytest.mark.parametrize(
    "text, error",
    [("a: [1\n", "yaml.YAMLError"), ("- abc\n", TypeError), ("- [1, 2, 3]\n", TypeError), ("7\n", TypeError)],
)
def test_yaml_failures_keep_earlier_files(write, text, error):
    import yaml

    c = C()
    first = write("first.yaml", "k: 1\n")
    with pytest.raises(yaml.YAMLError if error == "yaml.YAMLError" else error):
        c.load_yamls(first, write("bad.yaml", text))
    assert c == {"k": 1}


@pytest.fixture
def entry_points(tmp_path, monkeypatch):
    """A distribution with three entry points in a test-only group, on sys.path."""
    site = tmp_path / "site"
    info = site / "vornal_cfg_probe-1.0.dist-info"
    info.mkdir(parents=True)
    (info / "METADATA").write_text("Metadata-Version: 2.1\nName: vornal-cfg-probe\nVersion: 1.0\n")
    (info / "entry_points.txt").write_text(
        "[vornal.tests.configuration]\ngood = vornal_cfg_probe:GOOD\nbad = vornal_cfg_probe:MISSING\n"
        "later = vornal_cfg_probe:LATER\n")
    (site / "vornal_cfg_probe.py").write_text("GOOD = {'db': {'host': 'h', 'port': '5432'}}\nLATER = {'db.user': 'u'}\n")
    monkeypatch.syspath_prepend(str(site))
    return "vornal.tests.configuration"


def test_load_entrypoint(entry_points, caplog):
    c = C()
    loaded = c.load_entrypoint(entry_points)
    assert [ep.name for ep in loaded] == ["good", "later"]
    assert c == {"db": {"host": "h", "port": 5432, "user": "u"}}
    (record,) = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert record.name == "vornal.datastructures.configuration" and record.exc_info[0] is AttributeError
    assert record.getMessage().startswith("Failed to load configuration from entrypoint: <importlib.metadata")


class FakeEntryPoint:
    def __init__(self, value, dist="dist"):
        self.value, self.dist = value, dist

    def load(self):
        if isinstance(self.value, type):
            raise self.value("cannot load")
        return self.value


def test_entrypoint_failures(monkeypatch, caplog):
    eps = [FakeEntryPoint({"a": 1, "b": {"c": 1}, "d": {}}, "first"), FakeEntryPoint([("x", 1), "bad"], "partial"),
           FakeEntryPoint({"y": 2})]
    monkeypatch.setattr(configuration, "get_entry_points", lambda group: iter(eps))
    c = C()
    assert c.load_entrypoint("g") == [eps[0], eps[2]]
    assert c == {"a": 1, "b": {"c": 1}, "d": {}, "x": 1, "y": 2}  # a partial merge stays
    assert [r.getMessage() for r in caplog.records] == ["Failed to load configuration from entrypoint: partial"]
    eps[1] = FakeEntryPoint(KeyboardInterrupt)
    with pytest.raises(KeyboardInterrupt):
        c.load_entrypoint("g")
    monkeypatch.setattr(configuration, "get_entry_points", lambda group: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        c.load_entrypoint("g")


def test_leaks(write, monkeypatch):
    # A disabled logger: pytest attaches its capture handlers to every logger
    # that does not propagate, and those would keep each record of the calls.
    quiet = logging.getLogger("vornal.tests.quiet")
    quiet.disabled = True
    monkeypatch.setattr(configuration, "logger", quiet)
    monkeypatch.setenv("DIR", "/d")
    c = C(a={"b": "1"})

    def dotted():
        c["x.y.z"] = "2"
        c["x.y.z"]
        del c["x.y"]

    assert_no_leaks(dotted)
    assert_no_leaks(lambda: c.update({"a": {"n": "3"}}, k=[1]))
    assert_no_leaks(c.copy)
    # configparser itself keeps allocating for a few hundred parsers (caches
    # warming up), hence the longer warm-up for the INI loader.
    ini = write("a.cfg", INI + "    env = $DIR $UNSET_VORNAL\n")
    assert_no_leaks(lambda: C().load_cfgs(ini), warmup=25)
    bad = write("bad.cfg", "[s]\na = 5%\n")
    assert_no_leaks(lambda: C().load_cfgs(bad), raises=ValueError, warmup=25)
    assert_no_leaks(lambda: C().load_yamls(write("y.yaml", "a: {x: 1}\n"), write("e.yaml", ""), "missing"))
    assert_no_leaks(lambda: C().load_yamls(write("b.yaml", "a: [1\n")), raises=Exception)
    assert_no_leaks(lambda: C().load_yamls(write("t.yaml", "a:\t1\n")), raises=Exception)
    eps = [FakeEntryPoint({"a": 1}), FakeEntryPoint(ValueError), FakeEntryPoint(["abc"])]
    monkeypatch.setattr(configuration, "get_entry_points", lambda group: eps)
    assert_no_leaks(lambda: C().load_entrypoint("g"))
    assert_no_leaks(lambda: c.__setitem__("a.b.c", 1), raises=KeyError)


@needs_debug_python
@pytest.mark.parametrize("text, composed_only", [("a: {x: 1}\nb: [1, 2, 'x']\n", False), ("a: [1\n", False),
                                                  ("", False), ("a: " + "[" * 120 + "]" * 120, True)])
def test_c_parser_path_keeps_nothing(write, monkeypatch, text, composed_only):
    """load_yamls through PyYAML's compiled parser moves the debug interpreter's reference
    total exactly as much as that parser's own yaml.load does (see conftest.py), and keeps
    no memory."""
    import yaml.cyaml

    if refleaks.hunting():
        pytest.skip("the compiled parser moves the reference total that the hunt counts")
    monkeypatch.setattr(yaml, "CSafeLoader", yaml.cyaml.CSafeLoader, raising=False)
    path = write("c.yaml", text)
    data = text.encode()

    def compiled():
        try:
            if composed_only:  # too deep: composed by the compiled parser, then left to the Python one
                yaml.CSafeLoader(data).get_single_node()
            else:
                yaml.load(data, Loader=yaml.CSafeLoader)
        except yaml.YAMLError:
            pass

    def ours():
        try:
            C().load_yamls(path)
        except (yaml.YAMLError, RecursionError):
            pass

    def movement(func, n=200):
        for _ in range(50):
            func()
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        for _ in range(n):
            func()
        gc.collect()
        return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks

    parse_refs, _ = movement(compiled)
    refs, blocks = movement(ours)
    # A failed parse is parsed again by the Python parser, which moves nothing; a
    # reference kept per call would show as 200.
    assert abs(refs - parse_refs) < 20
    assert blocks < 20
