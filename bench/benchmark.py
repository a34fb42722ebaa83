#!/usr/bin/env python3
"""Times krvmake, krvdiv and kerv against tar and cat on two data sets.

Builds, in a scratch folder, a set of 2000 data files of 16 KiB and a set of
4 data files of 256 MiB, each with a scenario that lists them. Then runs, in
turn and several times: krvmake, `tar cf` and `cat` over the files; krvdiv
and `tar xf` into empty folders, and `cat ARCHIVE > FILE`; kervls and
`cat ARCHIVE >/dev/null`; `kerv extract` into an empty folder against
krvdiv followed by `sync` of what it wrote (the same durability: kerv puts
every file on stable storage before it names it), and `kerv update` of one
small data file into a new archive against `cat ARCHIVE > COPY && sync
COPY`. Prints the median wall-clock times, the peak
resident memory of each, and the ratios the goals are stated in (each the
median of the ratios within one round, which the machine's drift affects
least); then removes everything. This is a benchmark, not a test.

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
    with open(os.path.join(folder, "small"), "wb") as f:
        f.write(b"a small data file")
    with open(os.path.join(folder, "list"), "w") as f:
        f.write("\n".join(names) + "\n")
    return names


def run(argv, cwd, statuses=(0,)):
    """Runs argv, which must end with one of `statuses`; returns (seconds,
    peak resident KiB).

    GNU time measures the memory: a child forked from this Python process
    would count Python's own pages as its peak.
    """
    with tempfile.NamedTemporaryFile("r") as rss:
        start = time.perf_counter()
        r = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name, *argv], cwd=cwd,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if r.returncode not in statuses:
            sys.exit(f"{argv[0]} failed: {r.stderr.decode(errors='replace')}")
        return seconds, int(rss.read().split()[-1])


def fresh(path):
    shutil.rmtree(path, ignore_errors=True)
    if os.path.exists(path):
        os.remove(path)


def measure(bin_dir, scratch, label, count, size, runs, verbose):
    data = os.path.join(scratch, "data")
    names = make_set(data, count, size)
    krv, tar, cat = (os.path.join(scratch, n) for n in ("out.krv", "out.tar", "out.cat"))
    out = os.path.join(scratch, "out")
    # name: (command, working folder, output to remove first; None: an empty `out`)
    cases = {
        "krvmake": ([os.path.join(bin_dir, "krvmake"), "s.ker", krv], data, krv),
        "tar cf": (["tar", "cf", tar, "-T", "list"], data, tar),
        "cat": (["sh", "-c", f"cat {' '.join(names)} > {cat}"], data, cat),
        "krvdiv": ([os.path.join(bin_dir, "krvdiv"), krv, "s.ker"], out, None),
        "tar xf": (["tar", "xf", tar], out, None),
        "cat krv": (["sh", "-c", f"cat {krv} > {cat}"], data, cat),
        "krvmake + sync": (["sh", "-c", f'"$0" s.ker {krv} && sync {krv}', os.path.join(bin_dir, "krvmake")], data, krv),
        "krvdiv + sync": (["sh", "-c", f'"$0" {krv} s.ker && sync -- *', os.path.join(bin_dir, "krvdiv")], out, None),
        "cat krv + sync": (["sh", "-c", f"cat {krv} > {cat} && sync {cat}"], data, cat),
        "kerv extract": ([os.path.join(bin_dir, "kerv"), "extract", "-q", krv], out, None),
        "kerv update": ([os.path.join(bin_dir, "kerv"), "update", "-q", "-o", cat, krv, f"{names[0]}=small"], data, cat),
        "kervls": ([os.path.join(bin_dir, "kervls"), krv], data, ""),
        "cat krv >/dev/null": (["sh", "-c", f"cat {krv} >/dev/null"], data, ""),
    }
    goals = (("krvmake", "tar cf", "at most 1"), ("krvmake", "cat", "at most 1.1 on the large set"),
             ("krvdiv", "tar xf", "at most 1"), ("krvdiv", "cat krv", "at most 1.1 on the large set"),
             ("kerv extract", "krvdiv + sync", "at most 1.15 on the large set"),
             ("kerv update", "cat krv + sync", "at most 1.25 on the large set"),
             ("kervls", "cat krv >/dev/null", "a small fraction"))
    times = {name: [] for name in cases}
    memory = {name: 0 for name in cases}
    for _ in range(runs):
        for name, (argv, cwd, output) in cases.items():
            if output is None:
                fresh(out)
                os.mkdir(out)
            elif output:
                fresh(output)
            # Start each run with nothing left to write back, and give the
            # disk a moment to settle after the deletion.
            subprocess.run(["sync"])
            time.sleep(0.2)
            seconds, rss = run(argv, cwd)
            times[name].append(seconds)
            memory[name] = max(memory[name], rss)
    median = {name: statistics.median(t) for name, t in times.items()}
    print(f"\n{label} (median of {runs} runs)")
    for name in cases:
        print(f"  {name:18} {median[name]:8.3f} s   peak {memory[name] / 1024:6.1f} MiB"
              + ("   (" + " ".join(f"{t:.3f}" for t in times[name]) + ")" if verbose else ""))
    for tool, other, goal in goals:
        ratio = statistics.median(t / o for t, o in zip(times[tool], times[other]))
        print(f"  {tool} / {other:18} = {ratio:.3f}   (goal: {goal})")
    for path in (data, out, krv, tar, cat):
        fresh(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scratch", default=None, help="where the data sets are built (default: a temporary folder)")
    parser.add_argument("--large-only", action="store_true", help="only the set of 4 x 256 MiB")
    parser.add_argument("--verbose", action="store_true", help="print every run's time")
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.build)
    scratch = tempfile.mkdtemp(prefix="kerv-bench-", dir=args.scratch)
    try:
        for label, count, size in SETS[1:] if args.large_only else SETS:
            measure(bin_dir, scratch, label, count, size, args.runs, args.verbose)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
