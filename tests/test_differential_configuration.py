"""Configuration against the same class written in Python: stores, merges, copies and the loaders."""
import configparser
import logging
import os
import shutil
import tempfile
from collections.abc import Generator, Mapping

import pytest
import yaml
from hypothesis import given
from hypothesis import strategies as st

import pyforms.configuration
from differential import Hook, outcome, runs
from vornal.datastructures import configuration

ENVIRONMENT = {"VORNAL_DIFF_SET": "/h", "VORNAL_DIFF_PERCENT": "50%(x)s", "VORNAL_DIFF_EMPTY": ""}
UNSET = "VORNAL_DIFF_UNSET"


LOADS = ("load_cfgs", "load_yamls")


class World:
    def __init__(self, module):
        self.module = module
        self.cls = type("Conf", (module.Configuration,), {})
        self.cfg = self.cls()
        self.log = []
        self.parser, self.undo = None, []  # the parser of the load under way; what puts back replaced names
        self.sibling = type("Sibling", (module.Configuration,), {
            "__setitem__": logged(self, "Sibling.__setitem__", module.Configuration.__setitem__),
            "_expand_cfg_value": classmethod(lambda cls, value, *, section, key: value.upper())})
        self.outside = type("Outside", (module.NestedFieldMap,), {})
        self.parser_class = type("Parser", (configparser.ConfigParser,),
                                 {"set": logged(self, "Parser.set", configparser.ConfigParser.set)})

    def install(self, name):
        cls, log = self.cls, self.log
        if name == "_expand_cfg_env_vars":
            base = module_function = cls._expand_cfg_env_vars

            def expand(config):
                log.append((name, sorted(config.sections())))
                return module_function(config)

            cls._expand_cfg_env_vars = staticmethod(expand)
            return base

        def method(self, *args):
            log.append((name, shape(args[:1])))
            return getattr(super(cls, self), name)(*args)

        setattr(cls, name, method)


def logged(world, name, method):
    return lambda *args: world.log.append((name, *args[1:3])) or method(*args)


def replace(world, owner, name, new):
    """owner.name = new until undo(world)."""
    saved = vars(owner).get(name)
    setattr(owner, name, new)
    world.undo.append(lambda: setattr(owner, name, saved) if saved is not None else delattr(owner, name))


def undo(world):
    while world.undo:
        world.undo.pop()()


# What user code run in the middle of a store or a load does: switch the class
# of the configuration or of the parser, replace the method that __setitem__
# stores through, rebind the module's Configuration, remove a section.
ACTIONS = {
    "class outside": lambda w: setattr(w.cfg, "__class__", w.outside),
    "class sibling": lambda w: setattr(w.cfg, "__class__", w.sibling),
    "base __setitem__": lambda w: replace(w, w.module.NestedFieldMap, "__setitem__", logged(
        w, "base __setitem__", w.module.NestedFieldMap.__setitem__)),
    "module Configuration": lambda w: replace(w, w.module, "Configuration", w.sibling),
    "parser class": lambda w: setattr(w.parser, "__class__", w.parser_class),
    "drop section": lambda w: w.parser.remove_section(w.parser.sections()[-1]),
}
# Changes to the standard parser and the module's own class: explicit tests
# only, since every later load would then take the general way.
SHARED_ACTIONS = {
    "ConfigParser.set": lambda w: replace(w, configparser.ConfigParser, "set", logged(
        w, "ConfigParser.set", configparser.ConfigParser.set)),
    "Configuration._expand_cfg_value": lambda w: replace(w, w.module.Configuration, "_expand_cfg_value",
                                                         vars(w.sibling)["_expand_cfg_value"]),
    "DEFAULTSECT": lambda w: replace(w, configparser, "DEFAULTSECT", "Other"),
}


def hooked(world, source, n, action):
    """The n-th conversion (source "typecast") or logged record ("warning") runs the action, until undo(world)."""
    hook = Hook(world, n, ACTIONS.get(action) or SHARED_ACTIONS[action])
    if source == "typecast":
        replace(world, world.module, "typecast_str", lambda value, typecast=world.module.typecast_str: hook.fire()
                or typecast(value))
    else:
        handler = logging.Handler()
        handler.emit = lambda record: hook.fire()
        world.module.logger.addHandler(handler)
        world.undo.append(lambda: world.module.logger.removeHandler(handler))
    expand = world.cls._expand_cfg_env_vars
    replace(world, world.cls, "_expand_cfg_env_vars", staticmethod(
        lambda config: setattr(world, "parser", config) or expand(config)))


class Records(logging.Handler):
    def __init__(self):
        super().__init__()
        self.seen = []

    def emit(self, record):
        self.seen.append((record.levelname, record.getMessage(), record.exc_info is not None))


def shape(obj):
    if isinstance(obj, dict):
        return (type(obj).__name__, [(k, shape(v)) for k, v in dict.items(obj)])
    if isinstance(obj, Mapping):  # a section of a parser: its option names (reading a value interpolates it)
        return (type(obj).__name__, list(obj))
    if isinstance(obj, (list, tuple)):
        return (type(obj).__name__, [shape(v) for v in obj])
    if isinstance(obj, Generator):  # the sections load_cfgs merges, read as the merge comes to them
        return ("generator", obj.__name__, obj.__qualname__)
    return obj


# --- INI and YAML texts ------------------------------------------------------------------

SECTIONS = ["s", "DEFAULT", "update", "items", "a.b", "_expand_cfg_env_vars"]
OPTIONS = ["k", "a.b", "update", "K2"]
VALUES = ["1", "2.5", "true", "text", "$VORNAL_DIFF_SET/x", "${VORNAL_DIFF_PERCENT}", "a${VORNAL_DIFF_UNSET}b",
          "$VORNAL_DIFF_EMPTY", "50%%", "%(k)s", "100%", "$1 ${}", "x\n  continued"]


def ini_texts():
    option = st.tuples(st.sampled_from(OPTIONS), st.sampled_from(VALUES))
    section = st.tuples(st.sampled_from(SECTIONS), st.lists(option, max_size=3, unique_by=lambda o: o[0]))
    return st.lists(section, max_size=3, unique_by=lambda s: s[0]).map(
        lambda sections: "".join(f"[{name}]\n" + "".join(f"{k} = {v}\n" for k, v in options)
                                 for name, options in sections))


def yaml_texts():
    scalar = st.one_of(st.integers(0, 3), st.sampled_from(["$VORNAL_DIFF_SET", "1", "yes", "x"]), st.none())
    document = st.recursive(
        st.dictionaries(st.sampled_from(["a", "b", "a.b", "update"]), scalar, max_size=3),
        lambda inner: st.dictionaries(st.sampled_from(["a", "b", "a.b", "update"]),
                                      st.one_of(scalar, inner, st.lists(scalar, max_size=2)), max_size=3),
        max_leaves=6)
    return st.one_of(document.map(lambda d: yaml.safe_dump(d, sort_keys=False)),
                     st.sampled_from(["", "# nothing\n", "- [a, 1]\n- [b, 2]\n", "3\n", "a: [\n", "- x\n"]))


def operations():
    values = st.one_of(st.sampled_from(["1", "x", "true", "2.5"]),
                       st.dictionaries(st.sampled_from(["a", "b"]), st.sampled_from(["1", "y"]), max_size=2))
    return st.one_of(
        st.tuples(st.just("set"), st.sampled_from(["a", "a.b", "s.k", "update"]), values),
        st.tuples(st.just("update"), st.dictionaries(st.sampled_from(["a", "s", "a.b"]), values, max_size=2)),
        st.tuples(st.just("copy")),
        st.tuples(st.just("load_cfgs"), st.lists(st.one_of(ini_texts(), st.just(None)), min_size=1, max_size=2)),
        st.tuples(st.just("load_yamls"), st.lists(st.one_of(yaml_texts(), st.just(None)), min_size=1, max_size=2)),
        st.tuples(st.just("load_integer"), st.sampled_from(["load_cfgs", "load_yamls"])),
        st.tuples(st.just("load_entrypoint"), st.lists(st.one_of(
            st.dictionaries(st.sampled_from(["a", "e"]), st.sampled_from(["1", "z"]), max_size=2),
            st.just("fails")), max_size=3)),
        st.tuples(st.just("install"), st.sampled_from(["update", "__setitem__", "_expand_cfg_env_vars"])),
        st.tuples(st.just("attribute"), st.sampled_from(["a", "update", "new"])),
    )


def hooked_operations():
    """An operation while a conversion or a logged warning runs an action."""
    return st.one_of(operations(), st.tuples(
        st.just("during"), st.sampled_from(["typecast", "warning"]), st.integers(1, 4), st.sampled_from(sorted(ACTIONS)),
        st.one_of(operations().filter(lambda op: op[0] != "install"),
                  st.tuples(st.just("load_cfgs"), st.lists(ini_texts(), min_size=1, max_size=2)))))


class EntryPoint:
    def __init__(self, content, dist):
        self.content, self.dist = content, dist

    def load(self):
        if self.content == "fails":
            raise ImportError("no module")
        return dict(self.content)


def write(folder, texts, suffix):
    """The texts as files (None: a path that does not exist), read by both worlds; the paths."""
    paths = []
    for i, text in enumerate(texts):
        path = os.path.join(folder, f"{len(os.listdir(folder))}-{i}{suffix}")
        if text is not None:
            with open(path, "w", encoding="utf-8") as f:
                f.write(text)
        paths.append(path)
    return paths


def run(op, world, paths):
    if op[0] == "during":
        hooked(world, *op[1:4])
        try:
            return run(op[4], world, paths)
        finally:
            undo(world)
    cfg = world.cfg
    kind = op[0]
    if kind == "set":
        return outcome(lambda: cfg.__setitem__(op[1], op[2]))
    if kind == "update":
        return outcome(lambda: cfg.update(op[1]))
    if kind == "copy":
        return outcome(cfg.copy, shape)
    if kind == "install":
        return outcome(lambda: world.install(op[1]) and None)
    if kind == "attribute":
        return outcome(lambda: getattr(cfg, op[1]), lambda v: shape(v) if not callable(v) else "method")
    if kind == "load_integer":
        return outcome(lambda: getattr(cfg, op[1])(0))
    if kind == "load_entrypoint":
        points = [EntryPoint(content, f"dist{i}") for i, content in enumerate(op[1])]
        original, world.module.get_entry_points = world.module.get_entry_points, lambda group: points
        try:
            return outcome(lambda: cfg.load_entrypoint("group"), lambda loaded: [p.dist for p in loaded])
        finally:
            world.module.get_entry_points = original
    return outcome(lambda: getattr(cfg, kind)(*paths), lambda loaded: [os.path.basename(p) for p in loaded])


def check_same(ops):
    folder = tempfile.mkdtemp(prefix="vornal-differential-")
    saved = {name: os.environ.get(name) for name in [*ENVIRONMENT, UNSET]}
    os.environ.update(ENVIRONMENT)
    os.environ.pop(UNSET, None)
    handlers = {}
    for module in (configuration, pyforms.configuration):
        handlers[module] = Records()
        module.logger.addHandler(handlers[module])
    try:
        python, ours = World(pyforms.configuration), World(configuration)
        for op in ops:
            load = op[4] if op[0] == "during" else op
            paths = write(folder, load[1], ".ini" if load[0] == "load_cfgs" else ".yaml") if load[0] in LOADS else None
            expected = run(op, python, paths)
            got = run(op, ours, paths)
            assert got == expected, op
            assert handlers[configuration].seen == handlers[pyforms.configuration].seen, op
            assert ours.log == python.log, op
            assert shape(ours.cfg) == shape(python.cfg), op
            assert ours.cfg.__dict__ is ours.cfg
    finally:
        for module, handler in handlers.items():
            module.logger.removeHandler(handler)
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value
        shutil.rmtree(folder, ignore_errors=True)


@runs(release=200, debug=30)
@given(ops=st.lists(hooked_operations(), min_size=1, max_size=6))
def test_stores_merges_and_loaders(ops):
    check_same(ops)


INI_WITH_WARNINGS = ["[DEFAULT]\nd = a${VORNAL_DIFF_UNSET}b\ne = 1\n[s]\nk = $VORNAL_DIFF_UNSET\nK2 = 1%%\n[t]\nk = 2\n"]


@pytest.mark.parametrize("n", [1, 2, 3])
@pytest.mark.parametrize("source, action, op", [
    *[("typecast", action, ("set", "a.b.c", "1")) for action in ["class outside", "class sibling", "base __setitem__"]],
    *[("warning", action, ("load_cfgs", INI_WITH_WARNINGS)) for action in [
        "module Configuration", "parser class", "drop section", *SHARED_ACTIONS]],
    ("typecast", "drop section", ("load_cfgs", INI_WITH_WARNINGS))])
def test_user_code_in_the_middle(source, action, op, n):
    """super().__setitem__ is found before the value is converted; names, methods and sections
    of a load are read as the load comes to them."""
    check_same([("update", {"a": {"x": "1"}}), ("during", source, n, action, op), ("set", "b", "2")])


def headroom(depth=0):
    """How many more calls the interpreter allows here."""
    try:
        return headroom(depth + 1)
    except RecursionError:
        return depth


def test_stores_count_levels_as_python_does():
    seen = {}
    for module in (configuration, pyforms.configuration):
        cfg, original, seen[module] = module.Configuration({"a": {"b": {"c": {}}}}), module.typecast_str, []
        module.typecast_str = lambda value, found=seen[module]: found.append(headroom()) or original(value)
        try:
            for key in ("a.b.c.d", "a.b.y", "x"):
                cfg[key] = "1"
        finally:
            module.typecast_str = original
        with pytest.raises(RecursionError):
            module.Configuration()[".".join(["k"] * 600)] = "1"
    assert seen[configuration] == seen[pyforms.configuration]
