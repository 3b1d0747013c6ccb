"""A program that uses every public class of vornal.datastructures, checked by
`mypy --strict` against the installed stubs (tests/test_typing.py) and run as
well. assert_type pins what the stubs promise; the lines marked
an ignore that is not needed)."""

import logging
import os
import re
import tempfile
import weakref
from importlib.metadata import EntryPoint
from typing import Any, assert_type

from vornal.datastructures import configuration, logic
from vornal.datastructures.branch import Branch
from vornal.datastructures.configuration import Configuration
from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap
from vornal.datastructures.flatnest import DictItem, FlatNest, IndexMarker
from vornal.datastructures.logic import And, BaseLogic, Not, Or, logic_str
from vornal.datastructures.refsequence import RefSequence
from vornal.datastructures.sharedattr import SharedAttrDescriptor, sharedattr


class Node:
    def __init__(self, name: str) -> None:
        self.name = name

    def __lt__(self, other: "Node") -> bool:
        return self.name < other.name


class Plugin:
    @sharedattr
    def label(cls: type["Plugin"]) -> str:
        return cls.__name__.lower()

    limit = SharedAttrDescriptor(lambda cls: 10)


class Special(Plugin):
    pass


def maps() -> None:
    m = FieldMap({"host": "localhost"}, port=8080)
    assert_type(m.host, Any)
    m.user = "me"
    del m.user
    assert m["port"] == 8080 and "user" not in m
    assert_type(m.copy(), dict[Any, Any])

    n = NestedFieldMap({"db": {"host": "h"}})
    n["db.port"] = 5432
    n.update({"db": {"user": "u"}}, extra=1)
    assert n.db.port == 5432 and "db.user" in n
    assert n.get("db.missing", 0) == 0 and n.pop("extra") == 1
    assert n.setdefault("db.name", "x") == "x"
    del n["db.name"]


def config() -> None:
    with tempfile.TemporaryDirectory() as folder:
        ini = os.path.join(folder, "site.ini")
        with open(ini, "w") as f:
            f.write("[db]\nport = 5432\n")
        yml = os.path.join(folder, "site.yaml")
        with open(yml, "w") as f:
            f.write("db:\n  user: me\n")
        cfg = Configuration()
        assert_type(cfg.load_cfgs(ini, os.path.join(folder, "missing.ini")), list[str])
        assert cfg.load_yamls(yml) == (yml,)
        eps = cfg.load_entrypoint("vornal.no-such-group")
        assert_type(eps, list[EntryPoint])
    assert cfg.db.port == 5432 and cfg["db.user"] == "me"
    copy = cfg.copy()
    assert_type(copy, Configuration)
    assert copy["db"] is not cfg["db"]
    assert_type(configuration.logger, logging.Logger)


def flat() -> None:
    fn = FlatNest({"a": {"b": 1, "c": [10, 20]}})
    item = fn[0]
    assert_type(item, DictItem)
    assert item.path == ("a", "b") and item.value == 1
    marker = fn[1].path[-1]
    assert isinstance(marker, IndexMarker) and marker.type_ is list and marker.index == 0
    fn.append((("d",), 2))
    fn.insert(0, DictItem(("e",), 3))
    fn.extend([(("f",), 4)])
    fn[0] = (("e",), 5)
    assert_type(fn.reconstruct(), dict[Any, Any])
    assert FlatNest(fn[:2]) == fn[:2]
    for step in FlatNest.__flatten__([7, 8]):
        assert_type(step, DictItem)
    assert IndexMarker((), "2").index == 2


def refs() -> None:
    a, b = Node("a"), Node("b")
    seq = RefSequence([b, a])
    assert_type(seq, RefSequence[Node])
    seq.sort()
    seq.sort(key=lambda node: node.name, reverse=True)
    assert_type(seq[0], Node)
    assert_type(seq[0:1], RefSequence[Node])
    assert_type(seq.data[0], weakref.ref[Node])
    seq.append(a)
    seq.remove(weakref.ref(a))
    assert seq.count(a) == 1 and seq.index(b) == 0 and a in seq
    assert seq.pop(a) is a
    both = seq + RefSequence([a])
    assert_type(both, RefSequence[Node])
    seq += [a]
    assert [n.name for n in reversed(seq)] == ["a", "b"]
    assert [n.name for n in seq * 2] == ["b", "a", "b", "a"]


def logic_expressions() -> None:
    rule = And("^db", Not("password"), Or(str.isidentifier, lambda v: v == ""))
    assert_type(rule("db_host"), bool)
    assert rule("db_host") and not rule("db_password")
    parsed = logic_str("And('^db', Not('password'))")
    assert_type(parsed, BaseLogic)
    assert parsed == And("^db", Not("password"))
    pattern = rule.expressions[0]
    assert isinstance(pattern, re.Pattern) and pattern.pattern == "^db"
    assert logic.__all__ == ["And", "Or", "Not"]
    assert_type(logic.logger, logging.Logger)


def trees() -> None:
    root = Branch("root", [Branch("a")])
    root.add_child(Branch("b"))
    root.add_child("leaf")
    assert str(root) == "root\n|-- a\n|-- b\n`-- leaf"
    assert_type(root.children, list[Any])


def shared() -> None:
    assert_type(Plugin.label, str)
    assert_type(Special().label, str)
    assert_type(Plugin.limit, int)
    assert Plugin.label == "plugin" and Special.label == "special" and Special().limit == 10


def rejected(m: NestedFieldMap, cfg: Configuration, fn: FlatNest, seq: RefSequence[Node], node: Node) -> None:
    """Misuses the stubs turn away; never called."""
    m.update(1, 2)  # type: ignore[call-overload]
    cfg.load_cfgs(5)  # type: ignore[arg-type]
    fn.append(5)  # type: ignore[arg-type]
    fn.insert(0, (1, 2, 3))  # type: ignore[arg-type]
    seq.append("text")  # type: ignore[arg-type]
    seq + [node]  # type: ignore[operator]
    And(5)  # type: ignore[arg-type]
    Branch(5)  # type: ignore[arg-type]


def main() -> None:
    maps()
    config()
    flat()
    refs()
    logic_expressions()
    trees()
    shared()


if __name__ == "__main__":
    main()
