#!/usr/bin/env python3
"""Times krvmake and krvdiv against tar and cat on two data sets.

Builds, in a scratch folder, a set of 2000 data files of 16 KiB and a set of
4 data files of 256 MiB, each with a scenario that lists them. Then runs, in
turn and several times: krvmake, `tar cf` and `cat` over the files, and
krvdiv and `tar xf` into empty folders. Prints the median wall-clock times,
the ratios the goals are stated in, and the peak resident memory of each
tool; then removes everything. This is a benchmark, not a test.

Usage: bench/benchmark.py [BUILD_DIR] [--runs N] [--scratch DIR]
Needs about 5 GiB of free disk in the scratch folder, and GNU time.
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

SETS = (("2000 x 16 KiB", 2000, 16 * 1024), ("4 x 256 MiB", 4, 256 * 1024 * 1024))


def make_set(folder, count, size):
    os.makedirs(folder)
    names = [f"d{i:04d}.qvd" for i in range(count)]
    chunk = os.urandom(min(size, 1 << 20))
    for name in names:
        with open(os.path.join(folder, name), "wb") as f:
            for _ in range(size // len(chunk)):
                f.write(chunk)
    lines = [b"KERV 1.0 30.0", b"bench", b".", *[n.encode() for n in names], b".", b"."]
    with open(os.path.join(folder, "s.ker"), "wb") as f:
        f.write(b"\r\n".join(lines) + b"\r\n")
    with open(os.path.join(folder, "list"), "w") as f:
        f.write("\n".join(names) + "\n")
    return names


def run(argv, cwd):
    """Runs argv; returns (seconds, peak resident KiB).

    GNU time measures the memory: a child forked from this Python process
    would count Python's own pages as its peak.
    """
    with tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name, *argv], cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if r.returncode != 0:
            sys.exit(f"{argv[0]} failed: {r.stderr.decode(errors='replace')}")
        return seconds, int(rss.read().split()[-1])


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(path):
        os.remove(path)


def measure(bin_dir, scratch, label, count, size, runs):
    data = os.path.join(scratch, "data")
    names = make_set(data, count, size)
    krv, tar, cat = (os.path.join(scratch, n) for n in ("out.krv", "out.tar", "out.cat"))
    out = os.path.join(scratch, "out")
    cases = {
        "krvmake": lambda: run([os.path.join(bin_dir, "krvmake"), "s.ker", krv], data),
        "tar cf": lambda: run(["tar", "cf", tar, "-T", "list"], data),
        "cat": lambda: run(["sh", "-c", f"cat {' '.join(names)} > {cat}"], data),
        "krvdiv": lambda: run([os.path.join(bin_dir, "krvdiv"), krv, "s.ker"], out),
        "tar xf": lambda: run(["tar", "xf", tar], out),
    }
    times = {name: [] for name in cases}
    memory = {name: 0 for name in cases}
    for _ in range(runs):
        for name, case in cases.items():
            if name in ("krvmake", "tar cf", "cat"):
                fresh({"krvmake": krv, "tar cf": tar, "cat": cat}[name])
            else:
                fresh(out)
                os.mkdir(out)
            # Start each run with nothing left to write back, and give the
            # disk a moment to settle after the deletion.
            subprocess.run(["sync"])
            time.sleep(0.5)
            seconds, rss = case()
            times[name].append(seconds)
            memory[name] = max(memory[name], rss)
    median = {name: statistics.median(t) for name, t in times.items()}
    print(f"\n{label} (median of {runs} runs)")
    for name in cases:
        print(f"  {name:8} {median[name]:8.3f} s   peak {memory[name] / 1024:6.1f} MiB")
    print(f"  krvmake / tar cf = {median['krvmake'] / median['tar cf']:.2f}   (goal: at most 1)")
    print(f"  krvmake / cat    = {median['krvmake'] / median['cat']:.2f}   (goal on the large set: at most 1.2)")
    print(f"  krvdiv / tar xf  = {median['krvdiv'] / median['tar xf']:.2f}   (goal: at most 1)")
    for path in (data, out, krv, tar, cat):
        fresh(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scratch", default=None, help="where the data sets are built (default: a temporary folder)")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.build)
    scratch = tempfile.mkdtemp(prefix="kerv-bench-", dir=args.scratch)
    try:
        for label, count, size in SETS:
            measure(bin_dir, scratch, label, count, size, args.runs)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
