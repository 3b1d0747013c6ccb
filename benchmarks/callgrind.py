"""Instruction counts of our benchmark cases under callgrind, for comparing two builds.

Wall-clock ratios move by several per cent on a shared machine; instruction
counts do not. Every case of ours (kind "ours" in benchmarks/run.py) is run
in one interpreter under ``valgrind --tool=callgrind``: warmed up, then called
a number of times, then the same loop with zero calls. Only those two loops
are counted: the interpreter starts and sets the cases up with callgrind's
instrumentation off, and a small C helper built on the fly (callgrind.h's
client requests, through ctypes) switches it on, collects around each loop
and dumps the counters after it, naming the case.
A case's figure is (calls loop - empty loop) / calls, instructions per call.
The number of calls is at most ``--calls``, fewer for a case whose call is
slow (timed uninstrumented); ``--calls-from`` takes each case's number from
an earlier run's JSON, so that two builds are counted alike. Hash
randomisation is off and the collector is held during the loops, so two
runs of one build agree closely.

    python benchmarks/callgrind.py [FILTER ...] [--calls N] [--calls-from JSON] [--json FILE]
    python benchmarks/callgrind.py --compare BEFORE.json AFTER.json [--limit 2]

--compare prints the per-case change and fails when a case got more than
--limit per cent slower.
"""
import argparse
import ctypes
import gc
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
WARMUP = 5  # calls before counting: the specialising interpreter has settled by then
BUDGET = 0.02  # seconds of uninstrumented calls per counted loop, for choosing the number

CONTROL_C = r"""
#include <valgrind/callgrind.h>
void cg_start(void) { CALLGRIND_START_INSTRUMENTATION; }
void cg_toggle(void) { CALLGRIND_TOGGLE_COLLECT; }
void cg_zero(void) { CALLGRIND_ZERO_STATS; }
void cg_dump(const char* reason) { CALLGRIND_DUMP_STATS_AT(reason); }
"""


def build_control(folder):
    source = folder / "cgctl.c"
    source.write_text(CONTROL_C)
    lib = folder / "cgctl.so"
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("clang")
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(lib), str(source)], check=True)
    return lib


def our_cases(filters, skip=()):
    sys.path.insert(0, str(HERE))
    import run

    for modname, mod in run.load_modules(HERE):
        for case in mod.cases():
            full = f"{modname}: {case.group}: {case.name}"
            if case.kind == "ours" and (not filters or any(f in full for f in filters)) and not any(
                    s in full for s in skip):
                yield full, case.func


def child(control, filters, calls, calls_from, skip):
    """Runs under callgrind: two counted loops per case, each dumped under its number."""
    cg = ctypes.CDLL(control)
    chosen = json.loads(pathlib.Path(calls_from).read_text())["calls"] if calls_from else {}
    cases = list(our_cases(filters, skip))
    used = {}
    # Instrumented from here on (collecting only around the loops): switching
    # it on and off per case would translate the interpreter's code anew each time.
    cg.cg_start()
    for i, (full, func) in enumerate(cases):
        func()
        t0 = time.perf_counter()
        func()
        took = time.perf_counter() - t0
        n = chosen.get(full) or max(2, min(calls, int(BUDGET / max(took, 1e-9))))
        used[full] = n
        for _ in range(min(WARMUP, n)):
            func()
        gc.collect()
        gc.disable()
        func()
        for label, count in (("full", n), ("empty", 0)):
            cg.cg_zero()
            cg.cg_toggle()
            for _ in range(count):
                func()
            cg.cg_toggle()
            cg.cg_dump(f"{label} {i}".encode())
        gc.enable()
    print(json.dumps(used))


def measure(filters, calls, calls_from, skip):
    valgrind = shutil.which("valgrind")
    if not valgrind:
        sys.exit("callgrind.py: valgrind not found")
    # The dumps go below build/ of the checkout: a shared /tmp may be swept meanwhile.
    scratch = HERE.parent / "build"
    scratch.mkdir(exist_ok=True)
    with tempfile.TemporaryDirectory(dir=scratch, prefix="callgrind-") as tmp:
        tmp = pathlib.Path(tmp)
        control = build_control(tmp)
        cmd = [valgrind, "--tool=callgrind", "--instr-atstart=no", "--collect-atstart=no", "--dump-instr=no",
               "--callgrind-out-file=" + str(tmp / "cg.out"),
               sys.executable, __file__, "--child", str(control), "--calls", str(calls), *filters]
        if calls_from:
            cmd += ["--calls-from", str(pathlib.Path(calls_from).resolve())]
        for s in skip:
            cmd += ["--skip", s]
        env = dict(os.environ, PYTHONHASHSEED="0")
        out = subprocess.run(cmd, check=True, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        used = json.loads(out.stdout.strip().splitlines()[-1])
        counts = {}
        for path in tmp.glob("cg.out*"):
            text = path.read_text(errors="replace")
            reason = re.search(r"^desc: Trigger: Client Request: (\w+) (\d+)$", text, re.M)
            total = re.search(r"^(?:totals|summary): (\d+)", text, re.M)
            if reason:
                counts[reason.group(1), int(reason.group(2))] = int(total.group(1)) if total else 0
    per_case = {name: (counts["full", i] - counts["empty", i]) / n for i, (name, n) in enumerate(used.items())}
    return per_case, used


def compare(before_path, after_path, limit):
    before = json.loads(pathlib.Path(before_path).read_text())["instructions"]
    after = json.loads(pathlib.Path(after_path).read_text())["instructions"]
    worst = 0.0
    print(f"{'case':<90} {'before':>12} {'after':>12} {'change':>8}")
    for name, b in before.items():
        if name not in after:
            print(f"{name:<90} {b:12.0f} {'-':>12}")
            continue
        a = after[name]
        change = (a - b) / b * 100 if b else 0.0
        worst = max(worst, change)
        print(f"{name:<90} {b:12.0f} {a:12.0f} {change:+7.2f}%")
    print(f"\nlargest increase: {worst:+.2f}% (limit {limit}%)")
    return 0 if worst <= limit else 1


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("filters", nargs="*", help="only cases whose 'module: group: name' contains one of these")
    ap.add_argument("--calls", type=int, default=50, help="most counted calls per case (default 50)")
    ap.add_argument("--calls-from", help="a JSON of an earlier run: count each case as often as it did")
    ap.add_argument("--json", help="where to write the counts (default: build/callgrind.json)")
    ap.add_argument("--skip", action="append", default=[], help="leave out cases whose name contains this")
    ap.add_argument("--child", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--compare", nargs=2, metavar=("BEFORE", "AFTER"))
    ap.add_argument("--limit", type=float, default=2.0, help="largest allowed increase in per cent (default 2)")
    args = ap.parse_intermixed_args(argv)
    if args.compare:
        return compare(*args.compare, args.limit)
    if args.child:
        child(args.filters[0], args.filters[1:], args.calls, args.calls_from, args.skip)
        return 0
    per_case, used = measure(args.filters, args.calls, args.calls_from, args.skip)
    out = pathlib.Path(args.json) if args.json else HERE.parent / "build" / "callgrind.json"
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps({"calls": used, "instructions": per_case}, indent=1))
    for name, count in per_case.items():
        print(f"{count:12.0f}  {name}")
    print(f"{len(per_case)} cases; written to {out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
