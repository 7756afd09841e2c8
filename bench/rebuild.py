#!/usr/bin/env python3
"""Times rebuilds with the last build's record against the full walk, in one run.

For each size N it makes bench.py's four sources and old table, then, alternating the two
ways on each workload, times:
  first      no link root and no record: the first build;
  unchanged  the link root as the last build left it;
  tenth      one mirror folder in ten renamed away (every tenth of those holding a file);
each with the record the previous build left ("record") and with it removed ("full walk").
It prints one table: median seconds, the ratio to the first build, system calls per mirror
folder and peak memory against the budget of 32 MiB + 100 bytes per folder.

    python3 bench/rebuild.py [--sizes 100000 1000000] [--runs 3] [--kelvane PATH]
Set BENCH_DIR to a tmpfs (/dev/shm) to measure there.
"""
import argparse
import glob
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import make_workload, peak_memory_kib, reset_link_root, syscall_counts, timed  # noqa


def forget_record(root):
    for path in glob.glob(os.path.join(root, "state", "kelvane", "record-*")):
        os.remove(path)


def prepare(root, names, workload):
    if workload == "first":
        shutil.rmtree(os.path.join(root, "links"), ignore_errors=True)
        forget_record(root)
    else:
        reset_link_root(root, names, "nothing" if workload == "unchanged" else "tenth")


def measure(n, runs, kelvane):
    root = tempfile.mkdtemp(prefix=f"kelvane-rebuild-{n}-", dir=os.environ.get("BENCH_DIR"))
    os.environ["XDG_STATE_HOME"] = os.path.join(root, "state")
    try:
        names = make_workload(root, n)
        command = [kelvane, "?bench.dat"]
        rows = []
        cases = [("first", "first", False)] + [
            (w, way, way == "full walk") for w in ("unchanged", "tenth")
            for way in ("record", "full walk")]
        times = {(w, way): [] for w, way, _ in cases}
        timed(command, root)  # a record for the first rebuild to find
        for _ in range(runs):
            for workload, way, forget in cases:
                prepare(root, names, workload)
                if forget:
                    forget_record(root)
                times[(workload, way)].append(timed(command, root))
        for workload, way, forget in cases:
            prepare(root, names, workload)
            if forget:
                forget_record(root)
            memory = peak_memory_kib(kelvane, root)
            prepare(root, names, workload)
            if forget:
                forget_record(root)
            calls = sum(syscall_counts(kelvane, root).values())
            rows.append((workload, way, statistics.median(times[(workload, way)]), calls / n,
                         memory))
        return rows
    finally:
        shutil.rmtree(root, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[100000])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--kelvane", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "out-release", "kelvane"))
    args = parser.parse_args()
    kelvane = os.path.abspath(args.kelvane)
    where = os.environ.get("BENCH_DIR") or tempfile.gettempdir()
    print(f"{os.cpu_count()} cores, {os.uname().release}, in {where}, {args.runs} runs each")
    print(f"{'N':>9}  {'workload':<10} {'way':<10} {'median s':>9} {'x first':>8} "
          f"{'calls/folder':>13} {'peak MiB':>9} {'budget MiB':>11}")
    for n in args.sizes:
        rows = measure(n, args.runs, kelvane)
        first = rows[0][2]
        budget = (32 * 1024 * 1024 + 100 * n) / 1024 / 1024
        for workload, way, seconds, per_folder, memory in rows:
            print(f"{n:>9,}  {workload:<10} {way:<10} {seconds:>9.3f} {seconds / first:>8.2f} "
                  f"{per_folder:>13.2f} {memory / 1024:>9.1f} {budget:>11.1f}", flush=True)


if __name__ == "__main__":
    main()
