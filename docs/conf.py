"""Sphinx configuration of the vornal.datastructures documentation.

Built by `tools/dev docs` (HTML, then the doctest builder) with the release venv's
python, which imports the built modules: the API pages document what the modules
hold, docstrings and signatures included. No network: no intersphinx, so names of
the standard library are plain text (nitpick_ignore below) rather than links.
"""

import os

# autodoc would otherwise read the typed stubs (*.pyi) beside the extension modules
# instead of the modules: the pages show the modules' own docstrings and signatures.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

project = "vornal.datastructures"
author = "the vornal maintainers"
copyright = "the vornal maintainers, MIT licence"
release = version = "0.1.0"

extensions = ["sphinx.ext.autodoc", "sphinx.ext.doctest"]
templates_path = []
exclude_patterns = ["_build"]
html_theme = "furo"
html_title = "vornal.datastructures"
html_static_path = []
# The docstrings quote code and error messages in plain text: their quotes stay straight.
smartquotes = False

# Members in the order the classes define them; special methods that users meet
# (the dotted-key subscription, calling an expression, the descriptor read) are shown.
autodoc_member_order = "bysource"
autodoc_default_options = {
    "members": True,
    "undoc-members": True,
    "ignore-module-all": True,
    "show-inheritance": True,
    "special-members": "__getitem__, __setitem__, __contains__, __delitem__, __call__, __get__, __flatten__, __str__, __eq__, __add__, __iadd__",
}
autodoc_typehints = "signature"
# The first line of a docstring is text, not a signature: the signatures come from
# the functions themselves (the generic mapping methods' "D.get(k[,d]) -> ..." too).
autodoc_docstring_signature = False
# A method shows its own docstring or none: not a base class's words for another method.
autodoc_inherit_docstrings = False
autoclass_content = "both"  # the class docstring, then the constructor's

# Every example runs with the seven modules' public names at hand, as the
# docstrings' own examples assume.
doctest_global_setup = """
from vornal.datastructures.fieldmap import FieldMap, NestedFieldMap
from vornal.datastructures.configuration import Configuration
from vornal.datastructures.flatnest import DictItem, IndexMarker, FlatNest
from vornal.datastructures.refsequence import RefSequence
from vornal.datastructures.logic import BaseLogic, And, Or, Not, logic_str
from vornal.datastructures.branch import Branch
from vornal.datastructures.sharedattr import SharedAttrDescriptor, sharedattr
"""
doctest_default_flags = __import__("doctest").ELLIPSIS | __import__("doctest").NORMALIZE_WHITESPACE

# Standard-library targets: without a local inventory they cannot be links.
nitpicky = True
nitpick_ignore = [
    ("py:class", name)
    for name in (
        "dict", "list", "tuple", "object", "str", "type",
        "collections.abc.MutableMapping", "collections.UserList", "logging.Logger",
    )
]


def _examples_as_doctests(app, what, name, obj, options, lines):
    """Makes the docstrings' "Example::" blocks doctest blocks, so that the doctest
    builder runs them too: a paragraph ending in "::" whose indented block starts
    with ">>>" ends in ":" instead (the block stays indented, and is a doctest block)."""
    for i, line in enumerate(lines):
        if not line.endswith("::"):
            continue
        following = [text for text in lines[i + 1:] if text.strip()]
        if following and following[0].lstrip().startswith(">>>") and following[0] != following[0].lstrip():
            lines[i] = line[:-1]


def _our_functions_are_routines():
    """The modules' methods are functions of their own type (the framework's
    `vornal.datastructures.function`), a non-data descriptor that autodoc would file as
    an attribute, without signature. They are methods: tell autodoc's descriptor test so."""
    from sphinx.util import inspect as sphinx_inspect
    from vornal.datastructures.fieldmap import FieldMap

    function_type = type(vars(FieldMap)["__init__"])
    attribute_like = sphinx_inspect.isattributedescriptor
    sphinx_inspect.isattributedescriptor = lambda obj: (
        not isinstance(obj, function_type) and attribute_like(obj))


def setup(app):
    _our_functions_are_routines()
    app.connect("autodoc-process-docstring", _examples_as_doctests)
