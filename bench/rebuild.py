#!/usr/bin/env python3
"""Times rebuilds with the last build's record against the full walk and rsync, in one run.

For each size N, in its own folder, it makes bench.py's four sources and old table, then,
alternating the ways on each workload, times:
  first      no link root and no record: the first build;
  unchanged  the link root as the last build left it;
  tenth      one mirror folder in ten renamed away, each of those holding a file;
each with the record the previous build left ("record"), with it removed ("full walk"),
and, up to --rsync-up-to folders, as an administrator's script would mirror the layout:
one `rsync -d --delete` per genre folder from its sources, and the table written with awk
as bench.py's shell baseline does ("rsync"). After the timed runs, one more round runs each
build under `perf stat -e raw_syscalls:sys_enter` (every system call the process and its
threads enter, counted in the kernel: cheap at any size; `strace -c -f` where perf cannot
count them) inside `/usr/bin/time -v` (peak memory). It prints one table: median seconds,
the ratio to the first build and to rsync, system calls per mirror folder and peak memory
against the budget of 32 MiB + 100 bytes per folder. A ratio is the median of each round's
own: a run against the first build (or the rsync script) of the same round, minutes apart,
so that a slower spell of a shared machine weighs on both sides of it.

    python3 bench/rebuild.py [--at 100000=/var/tmp 1000000=/dev/shm] [--runs 3]
                             [--rsync-up-to 100000] [--kelvane PATH]
Each --at is a size and the folder (its file system) to measure it in.
"""
import argparse
import glob
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import SOURCES, TAIL, headless_env, make_workload, reset_link_root, timed  # noqa


def rsync_script():
    """One rsync per genre folder from all its sources, then the table as the shell
    baseline writes it (to a table of its own, so that Kelvane's stays Kelvane's)."""
    genres = {}
    for source, genre in SOURCES:
        genres.setdefault(genre, []).append(f"src/{source}/")
    lines = ['set -eu', 'cd "$1"', 'mkdir -p links', 'cp vfs-old.txt vfs-rsync.txt',
             "printf 'links|/merged%s\\r\\n' \"$2\" >> vfs-rsync.txt"]
    lines += [f"rsync -d --delete {' '.join(froms)} links/{genre}/"
              for genre, froms in genres.items()]
    for source, genre in SOURCES:
        lines.append(
            f"find src/{source} -mindepth 1 -maxdepth 1 -type d ! -name '.*' -printf '%f\\n' | "
            f"awk -v p=src/{source}/ -v g={genre}/ -v t=\"$2\" "
            "'{ printf \"%s%s|/merged/%s%s%s\\r\\n\", p, $0, g, $0, t }' >> vfs-rsync.txt")
    return "\n".join(lines) + "\n"


def forget_record(root):
    for path in glob.glob(os.path.join(root, "state", "kelvane", "record-*")):
        os.remove(path)


def prepare(root, names, workload, way):
    if workload == "first":
        shutil.rmtree(os.path.join(root, "links"), ignore_errors=True)
        forget_record(root)
    else:
        reset_link_root(root, names, "nothing" if workload == "unchanged" else "tenth")
        if way == "full walk":
            forget_record(root)


def counted(command, root):
    """Runs command once, returning its system calls and its peak memory in KiB."""
    counts = os.path.join(root, "calls.txt")
    if shutil.which("perf"):
        tracer = ["perf", "stat", "-x", ",", "-o", counts, "-e", "raw_syscalls:sys_enter"]
    else:
        tracer = ["strace", "-c", "-f", "-o", counts]
    result = subprocess.run(["/usr/bin/time", "-v"] + tracer + command, cwd=root,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            env=headless_env())
    if result.returncode != 0:
        sys.exit(f"{command[0]} failed ({result.returncode}): {result.stderr}")
    memory = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr).group(1))
    with open(counts) as lines:
        text = lines.read()
    if tracer[0] == "perf":
        calls = int(re.search(r"^(\d+),,raw_syscalls:sys_enter", text, re.M).group(1))
    else:
        calls = int(re.search(r"^\S+\s+\S+\s+\S+\s+(\d+)\s+(?:\d+\s+)?total$", text, re.M).group(1))
    return calls, memory


def measure(n, where, runs, kelvane, with_rsync):
    root = tempfile.mkdtemp(prefix=f"kelvane-rebuild-{n}-", dir=where)
    os.environ["XDG_STATE_HOME"] = os.path.join(root, "state")
    try:
        names = make_workload(root, n)
        with open(os.path.join(root, "rsync.sh"), "w") as script:
            script.write(rsync_script())
        build = [kelvane, "?bench.dat"]
        # rsync last: what it leaves is not what the last build's record saw.
        cases = [("first", "first")] + [
            (w, way) for way in ("record", "full walk") for w in ("unchanged", "tenth")]
        cases += [(w, "rsync") for w in ("unchanged", "tenth") if with_rsync]
        times = {case: [] for case in cases}
        timed(build, root)  # a record for the first rebuild to find
        for _ in range(runs):
            for workload, way in cases:
                prepare(root, names, workload, way)
                command = ["bash", "rsync.sh", root, TAIL] if way == "rsync" else build
                times[(workload, way)].append(timed(command, root))
        rows = []
        order = ["first", "unchanged", "tenth"]
        for workload, way in sorted(cases, key=lambda c: order.index(c[0])):
            prepare(root, names, workload, way)
            calls, memory = counted(build, root) if way != "rsync" else (None, None)
            rows.append((workload, way, times[(workload, way)], calls, memory))
        return rows
    finally:
        shutil.rmtree(root, ignore_errors=True)


def paired_ratio(times, against):
    """The median of each round's time against the other way's time in that round."""
    return statistics.median(t / a for t, a in zip(times, against))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--at", nargs="+", default=[f"100000={tempfile.gettempdir()}"],
                        help="SIZE=FOLDER pairs")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--rsync-up-to", type=int, default=100000)
    parser.add_argument("--kelvane", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "out-release", "kelvane"))
    args = parser.parse_args()
    kelvane = os.path.abspath(args.kelvane)
    if not os.access(kelvane, os.X_OK):
        sys.exit(f"no executable at {kelvane}: build it with bash scripts/build.sh --release")
    if not shutil.which("rsync"):
        sys.exit("rsync is missing: bash scripts/setup-debian.sh installs it")
    print(f"{os.cpu_count()} cores, {os.uname().release}, {args.runs} runs each; system calls "
          f"counted with {'perf stat (raw_syscalls:sys_enter)' if shutil.which('perf') else 'strace -c -f'}")
    print(f"{'N':>9}  {'in':<9} {'workload':<10} {'way':<10} {'median s':>9} {'x first':>8} "
          f"{'x rsync':>8} {'calls/folder':>13} {'peak MiB':>9} {'budget MiB':>11}")
    for pair in args.at:
        n, where = pair.split("=", 1)
        n = int(n)
        rows = measure(n, where, args.runs, kelvane, n <= args.rsync_up_to)
        first = rows[0][2]
        rsync = {w: s for w, way, s, _, _ in rows if way == "rsync"}
        budget = (32 * 1024 * 1024 + 100 * n) / 1024 / 1024
        for workload, way, times, calls, memory in rows:
            x_rsync = (f"{paired_ratio(times, rsync[workload]):8.2f}" if workload in rsync
                       else f"{'':>8}")
            per_folder = f"{calls / n:13.2f}" if calls is not None else f"{'':>13}"
            peak = f"{memory / 1024:9.1f}" if memory is not None else f"{'':>9}"
            print(f"{n:>9,}  {where:<9} {workload:<10} {way:<10} {statistics.median(times):>9.3f} "
                  f"{paired_ratio(times, first):>8.2f} {x_rsync} {per_folder} {peak} "
                  f"{budget:>11.1f}", flush=True)


if __name__ == "__main__":
    main()
