"""The reference-leak hunter (refleaks.py) catches leaks and only leaks."""
import os
import re
import subprocess
import sys
import textwrap

from leakcheck import needs_debug_python

pytestmark = needs_debug_python

CASES = '''
import ctypes
import functools
import re

import pytest

kept = []
anchor = []
cache = {}

def test_keeps_an_object_per_run():
    kept.append(object())

def test_keeps_a_reference_per_run():
    ctypes.pythonapi.Py_IncRef(ctypes.py_object(anchor))

def test_keeps_a_descriptor_per_run(tmp_path):
    kept.append(open(tmp_path / "f", "w"))

@functools.lru_cache(maxsize=None)
def compiled(n):
    return re.compile("x" * n)

def test_fills_caches_on_first_use():
    cache.setdefault("k", [object() for _ in range(100)])
    compiled(3)
    re.compile("a+b+c+d")

@pytest.mark.parametrize("n", [1, 2])
def test_fixtures_are_made_anew(n, tmp_path, monkeypatch, caplog):
    monkeypatch.setattr(re, "made_by_the_test", n, raising=False)
    (tmp_path / "f").write_text("x" * n)
    import logging
    logging.getLogger("t").warning("run %d", n)
    import warnings
    warnings.warn("deprecated", DeprecationWarning)

def test_own_leak_check_of_a_leaking_call():
    from leakcheck import assert_no_leaks
    assert_no_leaks(lambda: kept.append(object()))  # only makes its calls while hunting

def test_fails_in_its_second_run():
    kept.append(1)
    assert len(kept) < 2 or kept[-2] != 1
'''


def test_leaking_tests_are_named_and_counted(tmp_path):
    (tmp_path / "test_cases.py").write_text(CASES)
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), "support"))
    proc = subprocess.run(
        [sys.executable, "-P", "-m", "pytest", "-p", "refleaks", "--refleaks=2:3", "-p", "no:cacheprovider",
         "-q", "-rf", str(tmp_path / "test_cases.py")],
        cwd=tmp_path, env=env, capture_output=True, text=True)
    out = proc.stdout
    assert proc.returncode == 1, out + proc.stderr
    failed = sorted(line.split("::")[1].split()[0] for line in out.splitlines() if line.startswith("FAILED"))
    assert failed == ["test_fails_in_its_second_run", "test_keeps_a_descriptor_per_run",
                      "test_keeps_a_reference_per_run", "test_keeps_an_object_per_run",
                      "test_own_leak_check_of_a_leaking_call"], out
    # One reference a run, and nothing else; one descriptor a run.
    assert re.search(r"test_keeps_a_reference_per_run leaked \[\d+, 1, 1\] references per run, sum=\d+\n", out), out
    assert re.search(r"test_keeps_a_descriptor_per_run leaked .*\[1, 1, 1\] file descriptors per run", out), out
    assert "test_fails_in_its_second_run failed in run 2 of 5" in out
    assert re.search(r"test_own_leak_check_of_a_leaking_call leaked \[4\d, 40, 40\] references", out), out
    assert "refleaks: 4 leaking tests of 8 checked" in out
    assert "5 failed, 3 passed" in out


def test_release_interpreter_is_refused(tmp_path):
    # The option is a usage error where reference counts cannot be read.
    code = textwrap.dedent("""
        import sys, pytest
        del sys.gettotalrefcount
        sys.exit(pytest.main(["-p", "refleaks", "--refleaks=1:2", "-q", "--co", "-p", "no:cacheprovider"]))
    """)
    env = dict(os.environ, PYTHONPATH=os.path.join(os.path.dirname(__file__), "support"))
    proc = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, env=env, capture_output=True, text=True)
    assert proc.returncode == 4 and "needs a debug interpreter" in proc.stderr, proc.stdout + proc.stderr
