"""An application that embeds Python and initialises it afresh several times (tests/embed/
host.c): every round imports the extension modules and uses each, and must behave as the
first. The host is built with the system's C compiler against this interpreter's
embedding library (python3.14-config --embed), and each round gets this process's
module search path, so it sees this venv's site-packages.

Under the debug interpreter (and under AddressSanitizer) the rounds leave out
`configuration`: PyYAML's own C module does not survive re-initialisation there. There, the total reference
count at the end of rounds 2 to 4 must vary no more than it does in a baseline host run
that imports only the modules the extension modules themselves import (the interpreter
alone varies by a few dozen references from round to round)."""

import functools
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tempfile

import pytest

EMBED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "embed")
ROUNDS_PY = os.path.join(EMBED, "rounds.py")
DEBUG = hasattr(sys, "gettotalrefcount")
MODULES = ["fieldmap", "configuration", "flatnest", "refsequence", "logic", "branch", "sharedattr"]
# Under AddressSanitizer as well: PyYAML's C module reads strings of the finalised
# interpreter when `import yaml` runs again.
SANITIZED = "ASAN_OPTIONS" in os.environ
USED = [m for m in MODULES if not ((DEBUG or SANITIZED) and m == "configuration")]
ROUNDS = 4 if DEBUG else 3
# How much more than the baseline's the reference count at the end of rounds 2..ROUNDS may
# vary: far below what one class, function or module left behind per round adds.
REFS_SLACK = 100

def python_config():
    name = f"python{sysconfig.get_python_version()}{sys.abiflags}-config"
    beside = os.path.join(os.path.dirname(os.path.realpath(sys._base_executable)), name)
    return beside if os.access(beside, os.X_OK) else shutil.which(name)


@pytest.fixture(scope="session")
def host(tmp_path_factory):
    cc = shutil.which("cc")
    if cc is None:
        pytest.skip("no C compiler (cc) on PATH to build the embedding host")
    config = python_config()
    if config is None:
        pytest.skip(f"no python{sysconfig.get_python_version()}{sys.abiflags}-config to build the embedding host")
    flags = []
    for args in (["--cflags"], ["--ldflags", "--embed"]):
        run = subprocess.run([config, *args], capture_output=True, text=True)
        if run.returncode != 0:
            pytest.skip(f"{os.path.basename(config)} {' '.join(args)} failed: {run.stderr.strip()}")
        flags.append(run.stdout.split())
    exe = str(tmp_path_factory.mktemp("embed") / "host")
    libdir = sysconfig.get_config_var("LIBDIR")
    subprocess.run([cc, os.path.join(EMBED, "host.c"), *flags[0], "-o", exe, *flags[1], f"-Wl,-rpath,{libdir}"],
                   check=True, capture_output=True, text=True)
    return exe


class Run:
    """The output of a host run, split into rounds."""

    def __init__(self, host, *args):
        path = os.pathsep.join(p for p in sys.path if p)
        env = dict(os.environ)
        with tempfile.TemporaryDirectory() as reports:
            # Under tools/dev asan the host has the sanitizer runtime too: its reports are
            # this test's failures, kept apart from those of the pytest process.
            if "ASAN_OPTIONS" in env:
                env["ASAN_OPTIONS"] = re.sub(r"(^|:)log_path=[^:]*", "", env["ASAN_OPTIONS"]) + \
                    f":log_path={reports}/asan"
            proc = subprocess.run([host, path, str(ROUNDS), ROUNDS_PY, *args],
                                  capture_output=True, text=True, timeout=300, env=env)
            self.reports = [open(os.path.join(reports, f)).read() for f in sorted(os.listdir(reports))]
        self.returncode, self.stderr = proc.returncode, proc.stderr
        self.rounds, self.refs = [], []
        for line in proc.stdout.splitlines():
            if line.startswith("round "):
                self.rounds.append([])
            elif line.startswith("refs "):
                self.refs.append(int(line.split()[1]) if DEBUG else None)
            else:
                self.rounds[-1].append(line)

    def assert_rounds_alike(self):
        assert self.reports == []
        assert self.returncode == 0, self.stderr
        assert len(self.rounds) == ROUNDS
        for number, output in enumerate(self.rounds[1:], 2):
            assert output == self.rounds[0], f"round {number} differs from round 1"

    def refs_spread(self):
        later = self.refs[1:]
        return max(later) - min(later)


@functools.cache
def baseline_modules():
    """The standard modules and the pure-Python vornal.utils stand-ins that a round of
    ours imports, theirs and ours alike (importable ones: Cython's shared runtime is
    only an entry of sys.modules)."""
    code = ("import runpy, sys; before = set(sys.modules); sys.argv = sys.argv[1:]; runpy.run_path(sys.argv[0]); "
            "print('\\0'.join(sorted(n for n in set(sys.modules) - before "
            "if getattr(sys.modules[n], '__spec__', None) is not None)))")
    out = subprocess.run([sys.executable, "-P", "-c", code, ROUNDS_PY, *USED],
                         check=True, capture_output=True, text=True).stdout
    names = out.splitlines()[-1].split("\0")
    return [n for n in names if n.partition(".")[0] in sys.stdlib_module_names
            or n == "vornal" or n.startswith("vornal.utils")]


# Each host run once per session (they take seconds); fixtures, so that the runs end with
# the session that made them.
@pytest.fixture(scope="session")
def ours(host):
    return Run(host, *USED)


@pytest.fixture(scope="session")
def baseline(host):
    return Run(host, "--baseline", *baseline_modules())


def test_baseline_rounds_are_alike(baseline):
    baseline.assert_rounds_alike()
    assert baseline.rounds[0] == [f"baseline: {len(baseline_modules())} modules"]


def test_every_round_imports_and_uses_the_modules_alike(ours):
    ours.assert_rounds_alike()
    first = "\n".join(ours.rounds[0])
    for name in USED:
        assert name in first or name == "branch"
    assert "`-- hosts" in first


@pytest.mark.skipif(not DEBUG, reason="reference counts need the debug interpreter (python3.14-dbg)")
def test_rounds_keep_no_more_references_than_the_interpreter_alone(ours, baseline):
    ours.assert_rounds_alike()
    baseline.assert_rounds_alike()
    assert ours.refs_spread() <= baseline.refs_spread() + REFS_SLACK, (ours.refs, baseline.refs)
