"""The built documentation site lists every public name on its module's page.

Runs on the pages `tools/dev docs` builds (it sets VORNAL_DOCS_HTML to build/docs/html);
without them the tests are skipped. That references resolve is the build's own check (-n).
"""
import html.parser
import importlib
import inspect
import os
import pathlib

import pytest

SITE = os.environ.get("VORNAL_DOCS_HTML")
pytestmark = pytest.mark.skipif(not SITE, reason="the site is not built here: tools/dev docs checks it")


class Entries(html.parser.HTMLParser):
    """The documented objects of a page: id -> kind of entry ("py method", "py class", ...)."""

    def __init__(self, path):
        super().__init__()
        self.kinds, self.dl = {}, None
        self.feed(path.read_text(encoding="utf-8"))

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "dl":
            self.dl = attrs.get("class")
        elif tag == "dt" and "id" in attrs:
            self.kinds[attrs["id"]] = self.dl


def documented_names(module):
    """What the module defines itself (classes, functions, data such as `logger`; not what
    it imports) and the public members of its classes, each with whether it is a method."""
    for name, obj in vars(module).items():
        imported = inspect.ismodule(obj) or (callable(obj) and obj.__module__ != module.__name__)
        if name.startswith("_") or imported:
            continue
        yield f"{module.__name__}.{name}", False
        for attr, value in vars(obj).items() if inspect.isclass(obj) else ():
            if not attr.startswith("_"):
                yield f"{module.__name__}.{name}.{attr}", inspect.isroutine(value)


@pytest.mark.parametrize("name", ["fieldmap", "configuration", "flatnest", "refsequence", "logic", "branch", "sharedattr"])
def test_module_page_documents_every_public_name(name):
    wanted = dict(documented_names(importlib.import_module(f"vornal.datastructures.{name}")))
    kinds = Entries(pathlib.Path(SITE, "api", f"{name}.html")).kinds
    assert len(wanted) >= 2
    assert sorted(wanted.keys() - kinds.keys()) == []
    # A method is documented as one, with its signature (not filed as an attribute).
    assert {n: kinds[n] for n, method in wanted.items() if method and kinds[n] != "py method"} == {}
