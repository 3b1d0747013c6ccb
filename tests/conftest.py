import functools
import pathlib
import sys

import pytest

# The suite's helpers (leak checks, the differential runner, the ELF reader) live in
# tests/support and are imported by their plain names.
sys.path.insert(1, str(pathlib.Path(__file__).resolve().parent / "support"))

# The reference-leak hunter (tests/support/refleaks.py) is off unless --refleaks is given.
from refleaks import pytest_addoption  # noqa: E402, F401
from refleaks import pytest_configure as refleaks_configure  # noqa: E402


def pytest_configure(config):
    # Registered here rather than in pyproject.toml: the wheel test runs a copy of tests/ alone.
    config.addinivalue_line(
        "markers",
        "quick: the part of the suite `tools/dev compilers` runs against each build "
        "(every module's own tests, the framework's, the build check)")
    refleaks_configure(config)


@pytest.fixture
def unraisable(monkeypatch):
    """The records of the exceptions the interpreter could not raise (sys.unraisablehook)."""
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", seen.append)
    yield seen
    # A record holds the exception, whose traceback reaches the test's frames: a cycle
    # the collector cannot break (the records are not tracked), so it is broken here.
    seen.clear()


@functools.cache  # the leak hunt sets session fixtures up again for every run of a test
def _compiled_yaml_moves_the_total():
    """Whether PyYAML's compiled parser moves this debug interpreter's reference total.

    That extension is built for the release interpreter: the objects it frees are
    not subtracted from the debug interpreter's total (sys.gettotalrefcount), so
    every parse moves the total by a fixed count while keeping nothing, which the
    leak checks would take for a leak.
    """
    if not hasattr(sys, "gettotalrefcount"):
        return False
    import gc

    import yaml

    if not hasattr(yaml, "CSafeLoader"):
        return False
    for _ in range(20):
        yaml.load(b"a: [1]\n", Loader=yaml.CSafeLoader)
    gc.collect()
    before = sys.gettotalrefcount()
    for _ in range(20):
        yaml.load(b"a: [1]\n", Loader=yaml.CSafeLoader)
    gc.collect()
    return sys.gettotalrefcount() - before >= 20


@pytest.fixture(autouse=True, scope="session")
def _compiled_yaml_parser():
    """Under such a debug interpreter the suite runs with PyYAML's Python parser only
    (load_yamls then takes it); test_configuration checks the C parser's path there
    against the compiled parser's own movement of the total."""
    if not _compiled_yaml_moves_the_total():
        yield
        return
    import yaml

    with pytest.MonkeyPatch.context() as patch:
        patch.delattr(yaml, "CSafeLoader")
        yield
