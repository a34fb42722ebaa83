#!/usr/bin/env python3
"""Times the Python module kerv against cat and os.pread on one archive.

Packs 4 data files of 256 MiB with krvmake in a scratch folder, then runs,
in turn and several times: `cat ARCHIVE >/dev/null`; every entry read in
1 MiB slices with Archive.read(e, start, 1 << 20), and the same slices with
os.pread; every entry read whole with Archive[name], and the same ranges
with one os.pread each; kerv.pack of the scenario and its four files
against krvmake followed by `sync` of the archive (the same durability:
kerv puts a file on stable storage before it names it); Archive.update of
one small data file into a new file against `cat ARCHIVE > COPY && sync
COPY`. Prints the medians and the ratios the goals are
stated in (medians of the ratios within each round); then removes
everything. This is a benchmark, not a test.

Usage: PYTHONPATH=BUILD_DIR/python bench/python_benchmark.py [BUILD_DIR] [--runs N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

import bench_data
import kerv

SLICE = 1 << 20


def make_archive(folder, krvmake):
    bench_data.write_folder(folder)
    subprocess.run([krvmake, "s.ker"], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(folder, "s.krv")


def timed(action, output=None):
    """Seconds that action() takes; `output`, the file it writes, is removed
    afterwards, so that no case runs beside the write-back of another's."""
    subprocess.run(["sync"])
    start = time.perf_counter()
    action()
    seconds = time.perf_counter() - start
    if output:
        os.remove(output)
        subprocess.run(["sync"])
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()
    scratch = tempfile.mkdtemp(prefix="kerv-pybench-")
    try:
        krvmake = os.path.join(os.path.abspath(args.build), "krvmake")
        path = make_archive(scratch, krvmake)
        copy = os.path.join(scratch, "copy.krv")
        archive = kerv.Archive(path)
        entries = list(archive)
        fd = os.open(path, os.O_RDONLY)

        def kerv_slices():
            for e in entries:
                for start in range(0, e.size, SLICE):
                    archive.read(e, start, SLICE)

        def pread_slices():
            for e in entries:
                for start in range(0, e.size, SLICE):
                    os.pread(fd, min(SLICE, e.size - start), e.offset + start)

        cases = {
            "cat >/dev/null": lambda: subprocess.run(f"cat '{path}' >/dev/null", shell=True, check=True),
            "kerv read 1 MiB": kerv_slices,
            "os.pread 1 MiB": pread_slices,
            "kerv a[name]": lambda: [archive[e.name] for e in entries],
            "os.pread whole": lambda: [os.pread(fd, e.size, e.offset) for e in entries],
            "krvmake + sync": lambda: subprocess.run(f"'{krvmake}' s.ker '{copy}' >/dev/null && sync '{copy}'",
                                                     cwd=scratch, shell=True, check=True),
            "kerv.pack": lambda: kerv.pack(os.path.join(scratch, "s.ker"), copy),
            "cat > COPY + sync": lambda: subprocess.run(f"cat '{path}' > '{copy}' && sync '{copy}'", shell=True,
                                                        check=True),
            "Archive.update": lambda: archive.update(copy, replace={"d0.qvd": b"a small data file"}),
        }
        writes = {"krvmake + sync", "kerv.pack", "cat > COPY + sync", "Archive.update"}
        times = {name: [] for name in cases}
        for _ in range(args.runs):
            for name, action in cases.items():
                times[name].append(timed(action, copy if name in writes else None))
        print(f"4 x 256 MiB archive, page cache warm (median of {args.runs} runs)")
        for name in cases:
            print(f"  {name:18} {statistics.median(times[name]):7.3f} s")
        for tool, other, goal in (("kerv read 1 MiB", "cat >/dev/null", "at most 1.1"),
                                  ("os.pread 1 MiB", "cat >/dev/null", "for comparison"),
                                  ("kerv a[name]", "os.pread whole", "at most 1.1"),
                                  ("kerv.pack", "krvmake + sync", "at most 1.15"),
                                  ("Archive.update", "cat > COPY + sync", "at most 1.25")):
            ratio = statistics.median(t / o for t, o in zip(times[tool], times[other]))
            print(f"  {tool} / {other:15} = {ratio:.3f}   ({goal})")
        os.close(fd)
        archive.close()
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
