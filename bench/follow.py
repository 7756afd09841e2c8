#!/usr/bin/env python3
"""Times `kelvane --follow`: from a change in a merge source to the mirror and the table.

It makes four sources in two genres holding N subfolders in all, starts
`kelvane --follow --settle S '?bench.dat'` and, once the first build is done, makes CHANGES
changes one at a time (a new subfolder, a removed one, a renamed one, in turn), each timed
from the change to the moment the build that holds it is done, checked in the mirror folder
and the table; a build with nothing to change is timed last, to tell the build's own share. Then it makes BURST new folders in one go and times them until all are in the
mirror and the table. Builds are counted by the status each one sends to systemd's
notification socket (played here), so the program must be built with libsystemd.

    python3 bench/follow.py [--size 100000] [--changes 100] [--burst 10000] [--settle 2]
                            [--kelvane out-release/kelvane]
"""
import argparse
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

SOURCES = [("a", "linux"), ("b", "linux"), ("c", "music"), ("d", "music")]


def make_tree(root, n):
    for index, (source, _genre) in enumerate(SOURCES):
        count = n // len(SOURCES) + (1 if index < n % len(SOURCES) else 0)
        for i in range(count):
            os.makedirs(os.path.join(root, "src", source, f"{source}{i:07d}"))
    open(os.path.join(root, "vfs-old.txt"), "w").close()
    with open(os.path.join(root, "bench.dat"), "w", newline="") as dat:
        dat.write("links\r\nvfs.txt\r\nvfs-old.txt\r\n/merged\r\nanon\r\nusers\r\n755\r\n")
        dat.write("".join(f"src/{s}/|{g}\r\n" for s, g in SOURCES))


def headless_env():
    env = dict(os.environ)
    env.pop("DISPLAY", None)
    env.pop("WAYLAND_DISPLAY", None)
    return env


class Follower:
    """kelvane --follow with the service manager's notification socket played."""

    def __init__(self, kelvane, root, settle):
        self.root = root
        self.socket_path = os.path.join(root, "notify.sock")
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(self.socket_path)
        env = dict(headless_env(), NOTIFY_SOCKET=self.socket_path)
        self.process = subprocess.Popen(
            [kelvane, "--follow", "--settle", str(settle), "?bench.dat"], cwd=root, env=env,
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL)
        self.builds = 0

    def next_build(self, bound):
        """Waits for the next build's status; returns the time it came and its text."""
        self.notify.settimeout(bound)
        while True:
            try:
                message = self.notify.recv(4096).decode()
            except socket.timeout:
                sys.exit(f"no build within {bound} s")
            for line in message.split("\n"):
                if line.startswith("STATUS=Last build"):
                    self.builds += 1
                    if "failed" in line:
                        sys.exit("a build failed: " + line)
                    return time.perf_counter(), line

    def stop(self):
        self.process.terminate()
        status = self.process.wait(timeout=600)
        self.notify.close()
        if status != 0:
            sys.exit(f"following ended with status {status}")


def table_lines(root):
    with open(os.path.join(root, "vfs.txt"), newline="") as table:
        return {line.split("|")[1] for line in table.read().split("\r\n") if line}


def in_place(root, genre, name, present):
    mirrored = os.path.isdir(os.path.join(root, "links", genre, name))
    listed = f"/merged/{genre}/{name}" in table_lines(root)
    return mirrored == present and listed == present


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=100000)
    parser.add_argument("--changes", type=int, default=100)
    parser.add_argument("--burst", type=int, default=10000)
    parser.add_argument("--settle", type=float, default=2)
    parser.add_argument("--kelvane", default="out-release/kelvane")
    args = parser.parse_args()
    kelvane = os.path.abspath(args.kelvane)
    root = tempfile.mkdtemp(prefix="kelvane-follow-bench-")
    try:
        make_tree(root, args.size)
        follower = Follower(kelvane, root, args.settle)
        follower.next_build(3600)
        first_builds = follower.builds
        times = []
        for step in range(args.changes):
            source, genre = SOURCES[step % len(SOURCES)]
            folder = os.path.join(root, "src", source)
            kind = step % 3
            old = os.path.join(folder, f"{source}{step:07d}")
            if kind == 0:
                name, present, start = f"new{step:07d}", True, time.perf_counter()
                os.mkdir(os.path.join(folder, name))
            elif kind == 1:
                name, present, start = os.path.basename(old), False, time.perf_counter()
                os.rmdir(old)
            else:
                name, present, start = f"renamed{step:07d}", True, time.perf_counter()
                os.rename(old, os.path.join(folder, name))
            while True:
                done, _ = follower.next_build(args.settle + 600)
                if in_place(root, genre, name, present):
                    break
            times.append(done - start)
        single_builds = follower.builds - first_builds

        source, genre = SOURCES[0]
        names = [f"burst{i:07d}" for i in range(args.burst)]
        before = follower.builds
        start = time.perf_counter()
        for name in names:
            os.mkdir(os.path.join(root, "src", source, name))
        while True:
            done, _ = follower.next_build(args.settle + 600)
            mirror = set(os.listdir(os.path.join(root, "links", genre)))
            listed = table_lines(root)
            if all(n in mirror and f"/merged/{genre}/{n}" in listed for n in names):
                break
        burst_builds = follower.builds - before
        burst_time = done - start
        follower.stop()
        # What of each time is the build's own: one with nothing to change.
        build_start = time.perf_counter()
        subprocess.run([kelvane, "?bench.dat"], cwd=root, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, env=headless_env(), check=True)
        build_time = time.perf_counter() - build_start

        print(f"size {args.size}, settle {args.settle} s, kelvane {args.kelvane}")
        print(f"single changes: {len(times)} in {single_builds} builds; median "
              f"{statistics.median(times):.3f} s (goal {args.settle + 0.5:.1f}), slowest "
              f"{max(times):.3f} s (goal {args.settle + 2:.1f})")
        print(f"a build with nothing to change takes {build_time:.3f} s of each")
        print(f"burst of {args.burst} new folders: all in place after {burst_time:.3f} s "
              f"(goal {args.settle + 10:.1f}), {burst_builds} builds (goal at most 5)")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    main()
