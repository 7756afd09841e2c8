#!/usr/bin/env python3
"""Times a Kelvane build against the same disk work done with standard tools.

For each size N it makes a workload in a temporary folder: four sources in two genres holding
N subfolders in all, a link root holding the previous build's mirror of N folders (every tenth
with a file inside), and an old table of N lines. Then, in alternating runs on that workload,
it times `kelvane '?bench.dat'` and a shell baseline (find, xargs mkdir, cp, awk) whose output
table must equal Kelvane's. It prints median times, their ratios, Kelvane's peak memory and
its system calls beside the floor the work needs.

    python3 bench/bench.py [--sizes 10000 100000] [--runs 5] [--kelvane out-release/kelvane]
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


def reset_link_root(root, names):
    """Leaves the previous build's mirror under links/, with a file in every tenth folder."""
    links = os.path.join(root, "links")
    for source, genre in SOURCES:
        os.makedirs(os.path.join(links, genre), exist_ok=True)
        for i, name in enumerate(names[source]):
            folder = os.path.join(links, genre, name)
            os.makedirs(folder, exist_ok=True)
            if i % FILE_EVERY == 0:
                open(os.path.join(folder, "note.txt"), "w").close()


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


def floor_counts(names, output_bytes):
    """The system calls the work itself needs: one mkdir per created folder, one unlink per
    removed file, one rmdir per removed folder, one open, two getdents64 and one close per
    listed folder, and one write per 64 KiB of output."""
    n = sum(len(v) for v in names.values())
    genres = len({g for _, g in SOURCES})
    files = sum(len(range(0, len(v), FILE_EVERY)) for v in names.values())
    listed = len(SOURCES) + 1 + genres + n  # the sources, the link root, genres, mirrors
    return {
        "mkdir": n + genres,
        "unlink+rmdir": files + n + genres,
        "open": listed,
        "getdents64": 2 * listed,
        "close": listed,
        "write": math.ceil(output_bytes / 65536),
    }


KINDS = {
    "mkdir": ("mkdir", "mkdirat"),
    "unlink+rmdir": ("unlink", "unlinkat", "rmdir"),
    "open": ("open", "openat"),
    "getdents64": ("getdents64", "getdents"),
    "close": ("close",),
    "write": ("write", "writev", "pwrite64"),
}


def measure(n, runs, kelvane):
    root = tempfile.mkdtemp(prefix=f"kelvane-bench-{n}-", dir=os.environ.get("BENCH_DIR"))
    try:
        names = make_workload(root, n)
        k_times, b_times = [], []
        for _ in range(runs):
            reset_link_root(root, names)
            k_times.append(timed([kelvane, "?bench.dat"], root))
            reset_link_root(root, names)
            b_times.append(timed(["bash", "baseline.sh", root, TAIL], root))
        with open(os.path.join(root, "vfs.txt"), "rb") as a, \
                open(os.path.join(root, "vfs-base.txt"), "rb") as b:
            ours, theirs = a.read(), b.read()
        # find reads a large folder whole and sorts it by inode before walking it, so from
        # about 10,000 entries on its order may differ from the listing's; the lines must not.
        if sorted(ours.split(b"\r\n")) != sorted(theirs.split(b"\r\n")):
            sys.exit(f"N={n}: the baseline's table differs from Kelvane's")
        same_order = ours == theirs
        reset_link_root(root, names)
        memory = peak_memory_kib(kelvane, root)
        reset_link_root(root, names)
        calls = syscall_counts(kelvane, root)
        return {
            "kelvane": statistics.median(k_times),
            "baseline": statistics.median(b_times),
            "memory_kib": memory,
            "old_table": os.path.getsize(os.path.join(root, "vfs-old.txt")),
            "calls": calls,
            "floor": floor_counts(names, len(ours)),
            "same_order": same_order,
        }
    finally:
        shutil.rmtree(root, ignore_errors=True)


def kinds_total(calls, names):
    return sum(calls.get(name, 0) for name in names)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[10000, 100000])
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--kelvane", default=os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "..", "out-release", "kelvane"))
    args = parser.parse_args()
    kelvane = os.path.abspath(args.kelvane)
    if not os.access(kelvane, os.X_OK):
        sys.exit(f"no executable at {kelvane}: build it with bash scripts/build.sh --release")

    results = {}
    for n in args.sizes:
        print(f"N = {n:,}: {args.runs} alternating runs ...", flush=True)
        r = results[n] = measure(n, args.runs, kelvane)
        print("  tables equal" + ("" if r["same_order"] else " line for line, in another order"))
        print(f"  median time   kelvane {r['kelvane']:.3f} s   baseline {r['baseline']:.3f} s"
              f"   ratio kelvane/baseline {r['kelvane'] / r['baseline']:.2f}")
        budget_kib = (32 * 1024 * 1024 + 200 * n + r["old_table"]) / 1024
        print(f"  peak memory   {r['memory_kib'] / 1024:.1f} MiB"
              f"   (budget {budget_kib / 1024:.1f} MiB)")
        total = sum(r["calls"].values())
        floor_total = sum(r["floor"].values())
        print(f"  system calls  {total:,} in all, floor {floor_total:,}"
              f"   ratio {total / floor_total:.2f}")
        for kind, floor in r["floor"].items():
            print(f"    {kind:<13} {kinds_total(r['calls'], KINDS[kind]):>9,}   floor {floor:>9,}")
        others = {k: v for k, v in r["calls"].items()
                  if not any(k in names for names in KINDS.values())}
        top = sorted(others.items(), key=lambda kv: -kv[1])[:6]
        print("    other       " + ", ".join(f"{k} {v:,}" for k, v in top))
    sizes = sorted(results)
    for small, large in zip(sizes, sizes[1:]):
        a, b = results[small], results[large]
        print(f"N {small:,} -> {large:,}: kelvane time x{b['kelvane'] / a['kelvane']:.1f}, "
              f"baseline time x{b['baseline'] / a['baseline']:.1f}, "
              f"kelvane system calls x{sum(b['calls'].values()) / sum(a['calls'].values()):.1f}")


if __name__ == "__main__":
    main()
