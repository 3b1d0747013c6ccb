"""The typed stubs agree with the installed modules (stubtest) and serve a
program that uses every public class under mypy --strict. That every module
has its stub is checked in test_distribution."""

import importlib.util
import os
import subprocess
import sys

import pytest

import vornal.datastructures

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "typing")
EXAMPLE = os.path.join(HERE, "typed_usage.py")
PACKAGE = os.path.dirname(vornal.datastructures.__file__)
EXTENSIONS = sorted(name.split(".")[0] for name in os.listdir(PACKAGE) if name.endswith(".so"))
MODULES = [f"vornal.datastructures.{name}" for name in EXTENSIONS]

needs_mypy = pytest.mark.skipif(
    importlib.util.find_spec("mypy") is None or hasattr(sys, "gettotalrefcount"),
    reason="needs mypy (Debian: python3-mypy) under the release interpreter; "
    "the stubs do not depend on the interpreter build")


def run_module(tmp_path, *args):
    # From an empty folder, so that only the installed package is found.
    return subprocess.run([sys.executable, "-m", *args], cwd=tmp_path, capture_output=True, text=True)


@needs_mypy
@pytest.mark.parametrize("targets", [
    pytest.param([arg for module in MODULES for arg in ("-m", module)], id="stubs"),
    pytest.param([EXAMPLE], id="typed_usage"),
])
def test_mypy_strict(tmp_path, targets):
    r = run_module(tmp_path, "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *targets)
    assert r.returncode == 0, r.stdout + r.stderr


@needs_mypy
def test_stubs_agree_with_the_runtime(tmp_path):
    r = run_module(tmp_path, "mypy.stubtest", "--allowlist", os.path.join(HERE, "stubtest-allowlist.txt"), *MODULES)
    assert r.returncode == 0, r.stdout + r.stderr


def test_the_typed_program_runs():
    spec = importlib.util.spec_from_file_location("typed_usage", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    module.main()
