"""Benchmark runner: times each case and prints its ratio to the group's floor.

Every ``benchmarks/bench_*.py`` module defines ``cases()``, yielding
``Case(group, name, func, floor=False)``. Within a group exactly one case is
the floor (a plain dict/list operation or a plain Python equivalent); every
other case is reported as a multiple of it. Ratios, not absolute times, are
what to compare between machines and runs.

    python benchmarks/run.py [name-filter ...] [--repeat N] [--json FILE]
"""
import argparse
import importlib.util
import json
import pathlib
import sys
import timeit
from dataclasses import dataclass
from typing import Callable


@dataclass
class Case:
    group: str
    name: str
    func: Callable[[], object]
    floor: bool = False


def optional_import(name):
    """A peer library for comparison, or None when it is not installed."""
    try:
        return importlib.import_module(name)
    except ImportError:
        return None


def time_case(func, repeat):
    timer = timeit.Timer(func)
    number, _ = timer.autorange()
    number = max(1, number // 4)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def load_modules(here):
    for path in sorted(here.glob("bench_*.py")):
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        yield path.stem[len("bench_"):], mod


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("filters", nargs="*", help="run only groups whose name contains one of these")
    ap.add_argument("--repeat", type=int, default=7)
    ap.add_argument("--json", help="also write the results to this file")
    args = ap.parse_args(argv)
    here = pathlib.Path(__file__).resolve().parent
    sys.path.insert(0, str(here))
    results = []
    for modname, mod in load_modules(here):
        groups = {}
        for case in mod.cases():
            groups.setdefault(case.group, []).append(case)
        for group, cases in groups.items():
            full = f"{modname}: {group}"
            if args.filters and not any(f in full for f in args.filters):
                continue
            floors = [c for c in cases if c.floor]
            assert len(floors) == 1, f"group {full!r} needs exactly one floor"
            times = {c.name: time_case(c.func, args.repeat) for c in cases}
            base = times[floors[0].name]
            print(f"\n{full}")
            for c in cases:
                ratio = times[c.name] / base
                mark = "floor" if c.floor else f"{ratio:6.2f}x"
                print(f"  {c.name:<44} {mark:>8}")
                results.append({"module": modname, "group": group, "case": c.name, "ratio": ratio, "floor": c.floor})
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
