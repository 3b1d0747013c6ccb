"""Every public callable of the seven modules has a docstring and a signature."""
import importlib
import inspect

import pytest

MODULES = ("fieldmap", "configuration", "flatnest", "refsequence", "logic", "branch", "sharedattr")


def public_callables():
    """What each module defines itself, and the public and special methods its classes define."""
    seen = set()  # `sharedattr` is another name of SharedAttrDescriptor: its methods once
    for name in MODULES:
        module = importlib.import_module(f"vornal.datastructures.{name}")
        for attr, obj in vars(module).items():
            if attr.startswith("_") or not callable(obj) or obj.__module__ != module.__name__:
                continue
            yield f"{name}.{attr}", obj
            for member, value in vars(obj).items() if inspect.isclass(obj) and obj not in seen else ():
                function = getattr(value, "__func__", value)  # staticmethod, classmethod
                special = member.startswith("__") and member.endswith("__")
                if callable(function) and (special or not member.startswith("_")):
                    yield f"{name}.{attr}.{member}", function
            seen.add(obj)


@pytest.mark.parametrize("name, obj", list(public_callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_has_docstring_and_signature(name, obj):
    own = vars(obj).get("__doc__") if inspect.isclass(obj) else obj.__doc__
    assert own and own.strip(), f"{name} has no docstring"
    inspect.signature(obj)  # raises ValueError or TypeError when there is none
