import sys

import pytest

# The reference-leak hunter (tests/refleaks.py) is off unless --refleaks is given.
from refleaks import pytest_addoption, pytest_configure  # noqa: F401


@pytest.fixture
def unraisable(monkeypatch):
    """The records of the exceptions the interpreter could not raise (sys.unraisablehook)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield seen
    # A record holds the exception, whose traceback reaches the test's frames: a cycle
    # the collector cannot break (the records are not tracked), so it is broken here.
    seen.clear()
