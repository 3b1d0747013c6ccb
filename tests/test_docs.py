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


class Anchors(html.parser.HTMLParser):
    """The ids of a page, and for each documented object the kind of its entry
    (the class of its <dl>: "py method", "py class", "py attribute", ...)."""

    def __init__(self, path):
        super().__init__()
        self.ids, self.kinds, self.dl = set(), {}, None
        self.feed(path.read_text(encoding="utf-8"))

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        self.ids.update([attrs["id"]] if "id" in attrs else [])
        if tag == "dl":
            self.dl = attrs.get("class")
        elif tag == "dt" and "id" in attrs:
            self.kinds[attrs["id"]] = self.dl


def documented_names(module):
    """What the module defines itself (classes, functions, data such as `logger`; not what
    it imports), and the public methods and attributes of its classes."""
    for name, obj in vars(module).items():
        if name.startswith("_") or inspect.ismodule(obj):
            continue
        if (inspect.isclass(obj) or callable(obj)) and obj.__module__ != module.__name__:
            continue
        yield f"{module.__name__}.{name}"
        if inspect.isclass(obj):
            yield from (f"{module.__name__}.{name}.{attr}" for attr in vars(obj) if not attr.startswith("_"))


@pytest.mark.parametrize("name", ["fieldmap", "configuration", "flatnest", "refsequence", "logic", "branch", "sharedattr"])
def test_module_page_documents_every_public_name(name):
    module = importlib.import_module(f"vornal.datastructures.{name}")
    wanted = set(documented_names(module))
    page = Anchors(pathlib.Path(SITE, "api", f"{name}.html"))
    assert len(wanted) >= 2
    assert sorted(wanted - page.ids) == []
    # A method is documented as one, with its signature (not filed as an attribute).
    methods = [n for n in wanted if n.count(".") == 4
               and inspect.isroutine(vars(getattr(module, n.split(".")[3]))[n.split(".")[4]])]
    assert {n: page.kinds[n] for n in methods if page.kinds[n] != "py method"} == {}
