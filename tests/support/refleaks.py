"""Reference-leak hunting over the whole suite, the way CPython's ``regrtest -R`` does it.

Enabled with ``--refleaks=WARMUPS:RUNS`` (``tools/dev leaks`` passes ``3:3``) under a
debug interpreter. Every test item runs ``WARMUPS + RUNS`` times in this one process,
each time through the whole pytest protocol (setup, call, teardown: function-scoped
fixtures such as ``tmp_path``, ``monkeypatch`` or ``caplog`` are made anew). The first
run is the one pytest reports as the test's result. After every run the process is
put back into a known state (the warnings filters, the copyreg and importer tables,
the ABC registries and caches, the ``re``, type and hypothesis strategy caches), the
cycle collector runs, and the total reference count, the number of allocated memory
blocks (less the interned strings that live until shutdown) and the number of open
file descriptors are read.

The warm-up runs absorb what a test allocates on first use (interned names, method
caches, memos, lazily imported modules). A test whose reference count, block count or
descriptor count grows in *every* counted run fails: its result becomes a failure
that names the growth per run, and the run ends with the number of leaking tests.
Growth in only some runs (a cache that fills up, a collector that runs late) is
listed as "this is fine" (shown with -v), as regrtest does.

Tests need nothing of their own to take part. Two things differ from a plain run:
a test's own leakcheck.assert_no_leaks only makes its calls (see hunting()), and the
objects that exist when an item's repeated runs begin are frozen (gc.freeze), which
gc.get_referrers() does not look through.
"""
import gc
import linecache
import os
import re
import sys
import warnings

import pytest
from _pytest.runner import runtestprotocol

_hunting = False


def hunting():
    """Whether this process runs every test repeatedly and counts what it keeps.

    A test's own leak check (leakcheck.assert_no_leaks) then only makes its calls:
    the counts around each whole run include them, and the caches emptied between
    runs would make its rounds of calls see them filling again.
    """
    return _hunting


def pytest_addoption(parser):
    group = parser.getgroup("refleaks", "reference-leak hunting (debug interpreter)")
    group.addoption(
        "--refleaks",
        metavar="WARMUPS:RUNS",
        default=None,
        help="run every test WARMUPS+RUNS times and fail those whose reference, memory block "
        "or file descriptor counts grow in every one of the last RUNS runs (e.g. 3:3)",
    )


def _parse(spec):
    m = re.fullmatch(r"(\d+):(\d+)", spec)
    if not m or int(m[1]) < 1 or int(m[2]) < 2:
        raise pytest.UsageError(f"--refleaks expects WARMUPS:RUNS with WARMUPS >= 1 and RUNS >= 2, got {spec!r}")
    return int(m[1]), int(m[2])


def pytest_configure(config):
    spec = config.getoption("refleaks", None)
    if spec is None:
        return
    warmups, runs = _parse(spec)
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("--refleaks needs a debug interpreter (python3.14-dbg: sys.gettotalrefcount)")
    config.pluginmanager.register(LeakHunter(warmups, runs), "refleak-hunter")
    global _hunting
    _hunting = True
    # Repeated runs must do the same thing every time: a property-based test that
    # drew new examples in each run would fill bounded caches with new keys.
    try:
        from hypothesis import settings
    except ImportError:
        return
    settings.register_profile("refleaks", derandomize=True, database=None, print_blob=False)
    settings.load_profile("refleaks")


def _fd_count():
    try:
        return len(os.listdir("/proc/self/fd")) - 1  # less the one listdir itself holds
    except OSError:
        return 0


class _State:
    """What the runs may change and the cleanup puts back (regrtest's dash_R_cleanup)."""

    def __init__(self):
        import collections.abc
        import copyreg
        from _abc import _get_dump
        from inspect import isabstract

        self.filters = warnings.filters[:]
        self.dispatch = copyreg.dispatch_table.copy()
        self.importers = sys.path_importer_cache.copy()
        self.lines = linecache.cache.copy()
        self.abcs = {}
        self.abc_classes = [getattr(collections.abc, name) for name in collections.abc.__all__]
        self.abc_classes = [cls for cls in self.abc_classes if isabstract(cls)]
        for abc in self.abc_classes:
            for cls in abc.__subclasses__() + [abc]:
                self.abcs[cls] = _get_dump(cls)[0]

    def restore(self):
        import copyreg

        warnings.filters[:] = self.filters
        copyreg.dispatch_table.clear()
        copyreg.dispatch_table.update(self.dispatch)
        sys.path_importer_cache.clear()
        sys.path_importer_cache.update(self.importers)
        linecache.cache.clear()
        linecache.cache.update(self.lines)
        for abc in self.abc_classes:
            for cls in abc.__subclasses__() + [abc]:
                refs = self.abcs.get(cls)
                if refs is not None:
                    cls._abc_registry_clear()
                    for ref in refs:
                        registered = ref()
                        if registered is not None:
                            cls.register(registered)
                cls._abc_caches_clear()
        for mod in list(sys.modules.values()):
            if getattr(mod, "__warningregistry__", None):
                mod.__warningregistry__.clear()
        re.purge()
        # Hypothesis keeps the strategies it builds in a bounded cache (1,024 entries);
        # a state machine builds some 80 per run, so the cache fills over a dozen runs.
        strategies = sys.modules.get("hypothesis.strategies._internal.utils")
        if strategies is not None:
            strategies.clear_strategy_cache()
        for stream in (sys.stdout, sys.stderr, sys.__stdout__, sys.__stderr__):
            if stream is not None:
                stream.flush()
        sys._clear_internal_caches()


class LeakHunter:
    KINDS = ("references", "memory blocks", "file descriptors")

    def __init__(self, warmups, runs):
        self.warmups = warmups
        self.runs = runs
        self.leaks = []  # (nodeid, {kind: deltas})
        self.fine = []  # growth in some counted runs only
        self.checked = 0
        # Deltas are kept as ints from this pool, so that recording them allocates nothing.
        self.pool = {v: v for v in range(-1000, 1000)}
        self.state = None

    def _measure(self, freeze=False):
        self.state.restore()
        gc.collect()
        gc.collect()
        if freeze:
            # Before an item's repeated runs, whatever exists goes to the permanent
            # generation: the collections here and in the tests then walk only what
            # the runs make. Not between runs, where objects that one run leaves and
            # the next drops in a cycle would never be collected.
            gc.freeze()
        interned = sys.getunicodeinternedsize(_only_immortal=True)
        return (sys.gettotalrefcount(), sys.getallocatedblocks() - interned, _fd_count())

    def _repeat(self, item):
        """Runs the item again; returns (deltas per kind, None) or (None, failure text)."""
        total = self.warmups + self.runs
        deltas = [[0] * total for _ in self.KINDS]
        before = self._measure(freeze=True)
        # The first run (already done) is the first warm-up.
        for i in range(1, total):
            item._report_sections = []
            with warnings.catch_warnings(record=True):
                warnings.simplefilter("default")
                # Torn down up to the session: a function-scoped fixture that
                # uses a wider-scoped one (tmp_path uses tmp_path_factory) leaves
                # a finalizer on it in every run, which only its teardown frees.
                reports = runtestprotocol(item, nextitem=None, log=False)
            failed = [r for r in reports if r.failed]
            if failed:
                return None, f"failed in run {i + 1} of {total}:\n{failed[0].longreprtext}"
            if not any(r.when == "call" for r in reports):
                return None, f"did not run its call phase in run {i + 1} of {total}"
            del reports, failed
            after = self._measure()
            for k in range(len(self.KINDS)):
                deltas[k][i] = self.pool.setdefault(after[k] - before[k], after[k] - before[k])
            before = after
        return {kind: d[self.warmups:] for kind, d in zip(self.KINDS, deltas)}, None

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        if self.state is None:
            self.state = _State()
        ihook = item.ihook
        ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        call = next((r for r in reports if r.when == "call"), None)
        if call is not None and not any(r.failed for r in reports) and not (call.skipped and not hasattr(call, "wasxfail")):
            self.checked += 1
            deltas, failure = self._repeat(item)
            if failure is None:
                leaking = {kind: d for kind, d in deltas.items() if all(x >= 1 for x in d)}
                fine = {kind: d for kind, d in deltas.items() if any(d) and kind not in leaking}
                if fine:
                    self.fine.append((item.nodeid, fine))
                if leaking:
                    self.leaks.append((item.nodeid, leaking))
                    failure = "reference leak: " + self._describe(leaking, "")
            if failure is not None:
                call.outcome = "failed"
                call.longrepr = f"{item.nodeid} {failure}"
        for rep in reports:
            ihook.pytest_runtest_logreport(report=rep)
        ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True

    @staticmethod
    def _describe(deltas, suffix):
        return "; ".join(f"leaked {d} {kind} per run, sum={sum(d)}{suffix}" for kind, d in deltas.items())

    def pytest_terminal_summary(self, terminalreporter):
        tr = terminalreporter
        tr.section("reference leaks")
        tr.line(f"{self.warmups} warm-up and {self.runs} counted runs per test")
        if tr.config.option.verbose > 0:
            for nodeid, deltas in self.fine:
                tr.line(f"{nodeid} {self._describe(deltas, ' (this is fine)')}")
        for nodeid, deltas in self.leaks:
            tr.line(f"{nodeid} {self._describe(deltas, '')}")
        tr.line(f"refleaks: {len(self.leaks)} leaking tests of {self.checked} checked")
