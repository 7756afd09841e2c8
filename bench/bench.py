#!/usr/bin/env python3
"""Times a Kelvane build against a rebuild from scratch done with standard tools.

For each size N it makes four sources in two genres holding N subfolders in all and an old
table of N lines, and three workloads for the link root's previous mirror of N folders:
  everything  every folder of the previous mirror has another name than the new layout's,
              and every tenth holds a file;
  tenth       one folder in ten has another name (and holds a file), the rest are the
              new layout's;
  nothing     the previous mirror is the new layout.
Then, in alternating runs on each workload, it times `kelvane '?bench.dat'` and a shell
baseline (find -delete, xargs mkdir, cp, awk) whose output table must equal Kelvane's. It
prints median times, their ratios, Kelvane's peak memory and its system calls beside the
floor the work needs: listing every folder below the link root and the sources once, one
change per file and per folder that differs, and writing the table.

    python3 bench/bench.py [--sizes 10000 100000] [--runs 5] [--workloads everything tenth
                           nothing] [--kelvane out-release/kelvane]
"""
import argparse
import math
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SOURCES = [("a", "linux"), ("b", "linux"), ("c", "music"), ("d", "music")]
TAIL = "|anon|users|755|r|0|0|0|0|0|0|0|0"
FILE_EVERY = 10

BASELINE = r"""set -eu
cd "$1"
find links -mindepth 1 -delete
cp vfs-old.txt vfs-base.txt
printf 'links|/merged%s\r\n' "$2" >> vfs-base.txt
for pair in a:linux b:linux c:music d:music; do
  s=${pair%%:*}; g=${pair#*:}
  [ -d "links/$g" ] || mkdir "links/$g"
  find "src/$s" -mindepth 1 -maxdepth 1 -type d ! -name '.*' -printf '%f\n' > "names.$s"
  (cd "links/$g" && xargs -r -d '\n' mkdir < "../../names.$s")
  awk -v p="src/$s/" -v g="$g/" -v t="$2" \
    '{ printf "%s%s|/merged/%s%s%s\r\n", p, $0, g, $0, t }' "names.$s" >> vfs-base.txt
done
"""


def make_workload(root, n):
    names = {}
    for index, (source, genre) in enumerate(SOURCES):
        count = n // len(SOURCES) + (1 if index < n % len(SOURCES) else 0)
        names[source] = [f"{source}{i:07d}" for i in range(count)]
        for name in names[source]:
            os.makedirs(os.path.join(root, "src", source, name))
    with open(os.path.join(root, "vfs-old.txt"), "w", newline="") as old:
        for i in range(n):
            old.write(f"/srv/old/{i:07d}|/old/{i:07d}{TAIL}\r\n")
    with open(os.path.join(root, "bench.dat"), "w", newline="") as dat:
        dat.write("links\r\nvfs.txt\r\nvfs-old.txt\r\n/merged\r\nanon\r\nusers\r\n755\r\n")
        dat.write("".join(f"src/{s}/|{g}\r\n" for s, g in SOURCES))
    with open(os.path.join(root, "baseline.sh"), "w") as script:
        script.write(BASELINE)
    return names


WORKLOADS = ("everything", "tenth", "nothing")


def changed(workload, i):
    """Whether folder i of a source has another name in the workload's previous mirror."""
    return workload == "everything" or (workload == "tenth" and i % FILE_EVERY == 0)


def reset_link_root(root, names, workload):
    """Leaves the workload's previous mirror under links/. Every run leaves the new layout
    there, so only the folders that differ are renamed away and given a file."""
    links = os.path.join(root, "links")
    for source, genre in SOURCES:
        folder = os.path.join(links, genre)
        os.makedirs(folder, exist_ok=True)
        for i, name in enumerate(names[source]):
            path = os.path.join(folder, name)
            if not changed(workload, i):
                os.makedirs(path, exist_ok=True)
                continue
            old = os.path.join(folder, "old-" + name)
            if os.path.isdir(path):
                os.rename(path, old)
            else:
                os.makedirs(old, exist_ok=True)
            if i % FILE_EVERY == 0:
                open(os.path.join(old, "note.txt"), "w").close()


def timed(command, cwd):
    start = time.perf_counter()
    result = subprocess.run(command, cwd=cwd, stdin=subprocess.DEVNULL,
                            capture_output=True, text=True, env=headless_env())
    elapsed = time.perf_counter() - start
    if result.returncode != 0:
        sys.exit(f"{command[0]} failed ({result.returncode}): {result.stderr}")
    return elapsed


def headless_env():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


def peak_memory_kib(kelvane, root):
    result = subprocess.run(["/usr/bin/time", "-v", kelvane, "?bench.dat"], cwd=root,
                            stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            env=headless_env())
    match = re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    return int(match.group(1)) if match else -1


def syscall_counts(kelvane, root):
    trace = os.path.join(root, "strace.txt")
    subprocess.run(["strace", "-c", "-f", "-o", trace, kelvane, "?bench.dat"], cwd=root,
                   stdin=subprocess.DEVNULL, capture_output=True, env=headless_env(),
                   check=True)
    counts = {}
    with open(trace) as lines:
        for line in lines:
            fields = line.split()
            # % time, seconds, usecs/call, calls, [errors], syscall
            if len(fields) >= 5 and fields[0][0].isdigit() and fields[-1] != "total":
                counts[fields[-1]] = int(fields[3])
    return counts


def floor_counts(names, output_bytes, workload):
    """The system calls the work itself needs: one open, two getdents64 and one close per
    listed folder (the sources, the link root, the genres and every folder below them), one
    change per file to delete and per folder that differs (a stale folder may be renamed to
    a missing one), and one write per 64 KiB of output."""
    n = sum(len(v) for v in names.values())
    genres = len({g for _, g in SOURCES})
    stale = sum(1 for v in names.values() for i in range(len(v)) if changed(workload, i))
    files = sum(1 for v in names.values() for i in range(len(v))
                if changed(workload, i) and i % FILE_EVERY == 0)
    listed = len(SOURCES) + 1 + genres + n
    return {
        "changes": files + stale,
        "open": listed,
        "getdents64": 2 * listed,
        "close": listed,
        "write": math.ceil(output_bytes / 65536),
    }


KINDS = {
    "changes": ("mkdir", "mkdirat", "unlink", "unlinkat", "rmdir", "rename", "renameat",
                "renameat2"),
    "open": ("open", "openat", "openat2"),
    "getdents64": ("getdents64", "getdents"),
    "close": ("close",),
    "write": ("write", "writev", "pwrite64"),
}


def measure(n, runs, kelvane, workloads):
    root = tempfile.mkdtemp(prefix=f"kelvane-bench-{n}-", dir=os.environ.get("BENCH_DIR"))
    try:
        names = make_workload(root, n)
        results = {}
        for workload in workloads:
            k_times, b_times = [], []
            for _ in range(runs):
                reset_link_root(root, names, workload)
                k_times.append(timed([kelvane, "?bench.dat"], root))
                reset_link_root(root, names, workload)
                b_times.append(timed(["bash", "baseline.sh", root, TAIL], root))
            with open(os.path.join(root, "vfs.txt"), "rb") as a, \
                    open(os.path.join(root, "vfs-base.txt"), "rb") as b:
                ours, theirs = a.read(), b.read()
            # find reads a large folder whole and sorts it by inode before walking it, so
            # from about 10,000 entries on its order may differ from the listing's; the
            # lines must not.
            if sorted(ours.split(b"\r\n")) != sorted(theirs.split(b"\r\n")):
                sys.exit(f"N={n}, {workload}: the baseline's table differs from Kelvane's")
            reset_link_root(root, names, workload)
            memory = peak_memory_kib(kelvane, root)
            reset_link_root(root, names, workload)
            calls = syscall_counts(kelvane, root)
            results[workload] = {
                "kelvane": statistics.median(k_times),
                "baseline": statistics.median(b_times),
                "memory_kib": memory,
                "calls": calls,
                "floor": floor_counts(names, len(ours), workload),
                "same_order": ours == theirs,
            }
        return results
    finally:
        shutil.rmtree(root, ignore_errors=True)


def kinds_total(calls, names):
    return sum(calls.get(name, 0) for name in names)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--workloads", nargs="+", choices=WORKLOADS, default=list(WORKLOADS))
    parser.add_argument("--kelvane", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "out-release", "kelvane"))
    args = parser.parse_args()
    kelvane = os.path.abspath(args.kelvane)
    if not os.access(kelvane, os.X_OK):
        sys.exit(f"no executable at {kelvane}: build it with bash scripts/build.sh --release")

    results = {}
    for n in args.sizes:
        print(f"N = {n:,}: {args.runs} alternating runs of each workload ...", flush=True)
        results[n] = measure(n, args.runs, kelvane, args.workloads)
        for workload, r in results[n].items():
            print(f"  {workload}: tables equal"
                  + ("" if r["same_order"] else " line for line, in another order"))
            print(f"    median time   kelvane {r['kelvane']:.3f} s   baseline "
                  f"{r['baseline']:.3f} s   ratio kelvane/baseline "
                  f"{r['kelvane'] / r['baseline']:.2f}")
            budget_kib = (32 * 1024 * 1024 + 150 * n) / 1024
            print(f"    peak memory   {r['memory_kib'] / 1024:.1f} MiB"
                  f"   (budget {budget_kib / 1024:.1f} MiB)")
            total = sum(r["calls"].values())
            floor_total = sum(r["floor"].values())
            print(f"    system calls  {total:,} in all, floor {floor_total:,}"
                  f"   ratio {total / floor_total:.2f}")
            for kind, floor in r["floor"].items():
                print(f"      {kind:<11} {kinds_total(r['calls'], KINDS[kind]):>9,}"
                      f"   floor {floor:>9,}")
            others = {k: v for k, v in r["calls"].items()
                      if not any(k in names for names in KINDS.values())}
            top = sorted(others.items(), key=lambda kv: -kv[1])[:6]
            print("      other       " + ", ".join(f"{k} {v:,}" for k, v in top))
    sizes = sorted(results)
    for small, large in zip(sizes, sizes[1:]):
        for workload in args.workloads:
            a, b = results[small][workload], results[large][workload]
            print(f"N {small:,} -> {large:,}, {workload}: kelvane time "
                  f"x{b['kelvane'] / a['kelvane']:.1f}, baseline time "
                  f"x{b['baseline'] / a['baseline']:.1f}, kelvane system calls "
                  f"x{sum(b['calls'].values()) / sum(a['calls'].values()):.1f}")


if __name__ == "__main__":
    main()
