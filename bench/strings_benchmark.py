#!/usr/bin/env python3
"""Times kerv grep and kerv strings on a game folder of 100 archives.

Writes, in a scratch folder, 100 archives, each with a scenario of about
30,000 bytes of Japanese text and a sparse data block of 256 MiB (25 GiB
in all, nearly nothing on disk), and the same scenarios as UTF-8 files.
Then times, several times: `kerv grep PATTERN *.krv` against GNU grep of
the 100 UTF-8 scenarios (reading the scenarios themselves), `kerv grep -c`,
and `kerv strings` of every archive, one run each, against `kerv scenario`
of every archive. Prints the medians; then removes everything. The files
are in the page cache. This is a benchmark, not a test.

Usage: bench/strings_benchmark.py [BUILD_DIR] [--runs N] [--scratch DIR]
"""
import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time



def make_folder(scratch):
    words = ["海", "波", "潮騒", "町", "浜辺", "船", "空", "風", "声", "夜明け", "灯台", "坂道", "手紙", "約束"]
    paths = []
    for i in range(100):
        rnd = random.Random(i)
        body = []
        while sum(len(line) for line in body) < 13500:  # about 27,000 bytes of Shift_JIS
            body.append("R1 ; " + "、".join(rnd.choice(words) for _ in range(rnd.randrange(4, 12))) + "。")
        head = ["KERV 1.2 30.5", f"第{i}話", ".15", "d.qvd", ".", "."]
        scenario = "\r\n".join(head + body).encode("cp932") + b"\r\n"
        path = os.path.join(scratch, f"a{i:03}.krv")
        with open(path, "wb") as f:
            f.write(b"KRV" + b"\0" * 5 + len(scenario).to_bytes(2, "little") + scenario)
            f.write((256 << 20).to_bytes(4, "little"))
            f.truncate(f.tell() + (256 << 20))  # sparse: nothing on disk
        with open(path[:-4] + ".txt", "wb") as f:
            f.write(scenario.decode("cp932").encode())
        paths.append(path)
    return paths


def timed(argv, cwd, statuses=(0, 1)):
    start = time.perf_counter()
    r = subprocess.run(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if r.returncode not in statuses:
        sys.exit(f"{argv[0]} failed: {r.stderr.decode(errors='replace')}")
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--scratch", default=None)
    args = parser.parse_args()
    kerv = os.path.abspath(os.path.join(args.build, "kerv"))
    scratch = tempfile.mkdtemp(prefix="kerv-strings-bench-", dir=args.scratch)
    try:
        paths = make_folder(scratch)
        names = [os.path.basename(p) for p in paths]
        texts = [n[:-4] + ".txt" for n in names]
        loop = lambda command: ["sh", "-c", f'for f in *.krv; do "{kerv}" {command} "$f" > /dev/null; done']
        cases = {
            "kerv grep 灯台 (100 archives)": [kerv, "grep", "灯台", *names],
            "grep 灯台 (the 100 scenarios as UTF-8 files)": ["grep", "灯台", *texts],
            "kerv grep -c 灯台": [kerv, "grep", "-c", "灯台", *names],
            "kerv strings of each archive": loop("strings"),
            "kerv scenario of each archive": loop("scenario"),
        }
        times = {name: [] for name in cases}
        for round_ in range(args.runs + 1):
            for name, argv in cases.items():
                took = timed(argv, scratch)
                if round_ > 0:
                    times[name].append(took)
        print(f"median of {args.runs} runs, seconds")
        for name in cases:
            print(f"{name:48} {statistics.median(times[name]):8.3f}")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
