"""Compares benchmark runs: ours/floor and ours/Python of each case, before and after.

    python benchmarks/compare.py BEFORE.json[,BEFORE2.json...] AFTER.json[,AFTER2.json...] [--markdown]
    python benchmarks/compare.py RUN.json[,RUN2.json...] --markdown

With one side only, the table gives each case of ours against its floor, the
class written in Python and the fastest peer (the README's table).

Several files on one side (comma-separated) are runs of the same build; the
median of their ratios is used.
"""
import argparse
import json
import statistics


def load(spec):
    runs = [json.load(open(path)) for path in spec.split(",")]
    runs = [run["timings"] if isinstance(run, dict) else run for run in runs]
    table = {}
    for run in runs:
        for row in run:
            if row["kind"] != "ours":
                continue
            key = (row["module"], row["group"], row["case"])
            entry = table.setdefault(key, {"floor": [], "python": [], "peer": [], "peers": set()})
            entry["floor"].append(row["floor_ratio"])
            if "python_ratio" in row:
                entry["python"].append(row["python_ratio"])
            if "peer_ratio" in row:
                entry["peer"].append(row["peer_ratio"])
                entry["peers"].add(row["best_peer"])
    return {k: {n: (", ".join(sorted(v)) if n == "peers" else statistics.median(v) if v else None)
                for n, v in e.items()} for k, e in table.items()}


def summary(run, fmt):
    print("| module | group | case | ours / floor | ours / Python class | ours / fastest peer (peer) |")
    print("|---|---|---|---:|---:|---:|")
    for (module, group, case), r in run.items():
        peer = "—" if r["peer"] is None else f"{r['peer']:.2f} ({r['peers']})"
        print(f"| {module} | {group} | {case} | {fmt(r['floor'])} | {fmt(r['python'])} | {peer} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("before")
    ap.add_argument("after", nargs="?")
    ap.add_argument("--markdown", action="store_true")
    args = ap.parse_args()
    fmt = (lambda v: "—" if v is None else f"{v:.2f}")
    if args.after is None:
        return summary(load(args.before), fmt)
    before, after = load(args.before), load(args.after)
    if args.markdown:
        print("| group | case | before /floor | after /floor | change | before /Python | after /Python |")
        print("|---|---|---:|---:|---:|---:|---:|")
    for key in after:
        b, a = before.get(key, {}), after[key]
        change = a["floor"] / b["floor"] if b.get("floor") else None
        cells = [f"{key[0]}: {key[1]}", key[2], fmt(b.get("floor")), fmt(a["floor"]),
                 "—" if change is None else f"{change:.2f}", fmt(b.get("python")), fmt(a["python"])]
        if args.markdown:
            print("| " + " | ".join(cells) + " |")
        else:
            print(f"{cells[0][:58]:<58} {cells[1][:40]:<40} {cells[2]:>6} {cells[3]:>6} {cells[4]:>6} {cells[5]:>6} {cells[6]:>6}")


if __name__ == "__main__":
    main()
