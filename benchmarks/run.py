"""Benchmark runner: every case of every group, timed in one run, as ratios.

Every ``benchmarks/bench_*.py`` module defines ``cases()``, yielding
``Case(group, name, func, ...)``. Within a group exactly one case is the
floor (plain Python doing the same work with built-ins); the others are ours,
the same class written in Python (its name starts with "Python " or "Py"; the
classes are those of ``tests/pyforms``, which the tests compare ours with), or
a peer library. Each is reported as a multiple of the floor, and ours also as a
multiple of the Python class and of the best peer.

Method: each case's loop count is calibrated once so that one timing takes
about ``--target`` seconds; then the cases of a group are timed in turn,
``--repeat`` times, in an order that rotates every round, so that drift of
the machine hits all of them alike; the median of the rounds is the figure.
The process is pinned to one CPU. Every peer and Python case is first run
once and its result compared with ours (through the case's ``check``
function when it has one); a case that computes something else is reported
but not compared. Absolute times on shared machines are noise: compare the
ratios measured in one run.

    python benchmarks/run.py [FILTER ...] [--quick] [--repeat N] [--json FILE]

Without filters (or with the filter "memory") the run ends with the memory
of each structure against the same class in Python (benchmarks/memory.py).
"""
import argparse
import gc
import importlib.util
import json
import os
import pathlib
import re
import statistics
import sys
import time
from dataclasses import dataclass, field
from typing import Any, Callable, Optional

# The classes written in Python (tests/pyforms), for every bench_*.py module,
# which imports this one first.
sys.path.insert(1, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))

PEER_MARKERS = ("munch", "box.", "easydict", "dotty", "omegaconf", "flatdict", "WeakSet", "anytree", "treelib")


@dataclass
class Case:
    group: str
    name: str
    func: Callable[[], object]
    floor: bool = False
    kind: Optional[str] = None  # "floor", "ours", "python" or "peer"; inferred when None
    check: Optional[Callable[[Any], Any]] = None  # maps a result to what is compared
    times: list = field(default_factory=list, repr=False)
    number: int = 1
    comparable: bool = True

    def __post_init__(self):
        if self.kind is None:
            if self.floor:
                self.kind = "floor"
            elif self.name.startswith("Python ") or re.match(r"Py[A-Z]", self.name):
                self.kind = "python"
            elif any(m in self.name for m in PEER_MARKERS):
                self.kind = "peer"
            else:
                self.kind = "ours"
        self.floor = self.kind == "floor"


def optional_import(name):
    """A peer library for comparison, or None when it is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def _timed(func, number):
    t0 = time.perf_counter()
    for _ in range(number):
        func()
    return time.perf_counter() - t0


def calibrate(func, target):
    number = 1
    while True:
        t = _timed(func, number)
        if t >= target / 4 or number >= 1 << 24:
            break
        number *= 2 if t > target / 40 else 10
    return max(1, int(number * target / max(t, 1e-9)))


def load_modules(here):
    for path in sorted(here.glob("bench_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        yield path.stem[len("bench_"):], mod


def _same(a, b):
    try:
        return bool(a == b)
    except Exception:
        return False


SLOW = 1.0  # seconds: a case whose single call takes longer is timed by that one call


class _Failed:
    """The result of a call that raised: equal to nothing."""

    def __eq__(self, other):
        return False


def _result(case):
    t0 = time.perf_counter()
    try:
        value = case.func()
        value = case.check(value) if case.check else value
    except Exception:
        value = _Failed()
    case.first_call = time.perf_counter() - t0
    return value


def verify(cases):
    """Runs every case once; marks peer and Python cases whose result matches none of ours."""
    ours = [_result(c) for c in cases if c.kind == "ours"]
    for c in cases:
        if c.kind == "floor":
            _result(c)
        elif c.kind in ("peer", "python"):
            got = _result(c)
            c.comparable = any(_same(got, ref) for ref in ours)


def run_group(cases, repeat, target):
    gc.collect()
    timed = [c for c in cases if c.first_call < SLOW]
    for c in cases:
        if c.first_call >= SLOW:
            c.times = [c.first_call]  # too slow to repeat within the run's budget
    for c in timed:
        c.number = calibrate(c.func, target)
    for r in range(repeat):
        order = timed[r % len(timed):] + timed[:r % len(timed)] if timed else []
        for c in order:
            c.times.append(_timed(c.func, c.number) / c.number)
    for c in cases:
        c.median = statistics.median(c.times)


def pin_to_one_cpu():
    try:
        cpus = sorted(os.sched_getaffinity(0))
        os.sched_setaffinity(0, {cpus[-1]})
        return cpus[-1]
    except (AttributeError, OSError):
        return None


def report(full, cases):
    floor = next(c for c in cases if c.kind == "floor")
    python = [c for c in cases if c.kind == "python" and c.comparable]
    peers = [c for c in cases if c.kind == "peer" and c.comparable]
    print(f"\n{full}")
    rows = []
    for c in cases:
        ratio = c.median / floor.median
        note = ""
        row = {"case": c.name, "kind": c.kind, "ns": c.median * 1e9, "floor_ratio": ratio, "comparable": c.comparable}
        if c.kind == "ours":
            if python:
                row["python_ratio"] = c.median / python[0].median
                note += f"  {row['python_ratio']:5.2f}x Python"
            if peers:
                best = min(peers, key=lambda p: p.median)
                row["best_peer"], row["peer_ratio"] = best.name, c.median / best.median
                note += f"  {row['peer_ratio']:5.2f}x {best.name}"
        elif not c.comparable:
            note = "  (computes something else: not compared)"
        if len(c.times) == 1:
            note += "  (one call: too slow to repeat)"
        print(f"  {c.name:<46} {c.kind:>6} {c.median * 1e9:10.1f} ns {ratio:7.2f}x{note}")
        rows.append(row)
    return rows


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("filters", nargs="*", help="run only groups whose name contains one of these")
    ap.add_argument("--quick", action="store_true", help="shorter timings (the whole run in under a minute)")
    ap.add_argument("--repeat", type=int, default=7, help="timed rounds per case (default 7)")
    ap.add_argument("--target", type=float, help="seconds per timing (default 0.02, --quick 0.004)")
    ap.add_argument("--json", help="where to write the results as JSON (default: build/bench.json)")
    args = ap.parse_args(argv)
    target = args.target or (0.004 if args.quick else 0.02)
    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    cpu = pin_to_one_cpu()
    print(f"pinned to CPU {cpu}; {args.repeat} rounds of ~{target * 1e3:.0f} ms per case, medians")
    t0 = time.perf_counter()
    results = []
    for modname, mod in load_modules(here):
        groups = {}
        for case in mod.cases():
            groups.setdefault(case.group, []).append(case)
        for group, cases in groups.items():
            full = f"{modname}: {group}"
            if args.filters and not any(f in full for f in args.filters):
                continue
            floors = [c for c in cases if c.kind == "floor"]
            assert len(floors) == 1, f"group {full!r} needs exactly one floor"
            verify(cases)
            run_group(cases, args.repeat, target)
            for row in report(full, cases):
                results.append({"module": modname, "group": group, **row})
    memory_rows = []
    if not args.filters or any(f in "memory" for f in args.filters):
        import memory

        memory_rows = memory.run()
    print(f"\n{len(results)} cases in {time.perf_counter() - t0:.0f} s")
    out = pathlib.Path(args.json) if args.json else here.parent / "build" / "bench.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"timings": results, "memory": memory_rows}, indent=1))
    print(f"results written to {out}")


if __name__ == "__main__":
    main()
