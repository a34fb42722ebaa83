#!/usr/bin/env python3
"""Times kerv mount: mounting a 6 GiB archive, reading the last MiB of a
2 GiB member, reading every member through the mount against `cat ARCHIVE
>/dev/null` (page cache warm), and the mount's memory after reading 1 GiB.

Builds, in a scratch folder, a sparse archive of three members of 2 GiB - 1
bytes and a real one of four members of 256 MiB (krvmake), mounts each
with kerv mount -f (so that its process can be watched), and prints the
median of each figure. Needs /dev/fuse and a kerv built with mount. This is
a benchmark, not a test.

Usage: bench/mount_benchmark.py [BUILD_DIR] [--runs N]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import tempfile
import time

import bench_data

MIB = bench_data.MIB


def real_archive(folder, krvmake):
    names = bench_data.write_folder(folder)
    subprocess.run([krvmake, "s.ker"], cwd=folder, check=True, stdout=subprocess.DEVNULL)
    for name in names:
        os.remove(os.path.join(folder, name))
    return os.path.join(folder, "s.krv")


class Mounted:
    """kerv mount -f ARCHIVE on a fresh folder, for a with block."""

    def __init__(self, kerv, archive, scratch):
        self.folder = tempfile.mkdtemp(dir=scratch)
        start = time.perf_counter()
        self.process = subprocess.Popen([kerv, "mount", "-f", archive, self.folder])
        while not os.path.ismount(self.folder):
            if self.process.poll() is not None:
                raise SystemExit(f"kerv mount ended with status {self.process.returncode}")
            time.sleep(0.0005)
        self.seconds = time.perf_counter() - start

    def memory_kib(self):
        with open(f"/proc/{self.process.pid}/status") as f:
            return int(next(line for line in f if line.startswith("VmRSS:")).split()[1])

    def __enter__(self):
        return self

    def __exit__(self, *args):
        subprocess.run(["fusermount3", "-u", self.folder], check=True)
        self.process.wait()


def read_all(paths):
    for path in paths:
        with open(path, "rb", buffering=0) as f:
            while f.readinto(bytearray(MIB)):
                pass


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    bin_dir = os.path.abspath(args.build)
    kerv = os.path.join(bin_dir, "kerv")
    scratch = tempfile.mkdtemp(prefix="kerv-mount-bench-")
    try:
        big = os.path.join(scratch, "six.krv")
        bench_data.write_archive(big, [f"m{i}.qvd".encode() for i in range(3)], [2 ** 31 - 1] * 3, True)
        real = real_archive(scratch, os.path.join(bin_dir, "krvmake"))
        figures = {"mount a 6 GiB archive, s": [], "last MiB of a 2 GiB member, first read, s": [],
                   "every member through the mount, first read, s": [],
                   "every member through the mount, warm, s": [], "cat ARCHIVE >/dev/null, s": [],
                   "mount / cat speed, first read": [], "mount / cat speed, warm": [],
                   "mount's memory after reading 1 GiB, MiB": []}
        for _ in range(args.runs):
            with Mounted(kerv, big, scratch) as m:
                figures["mount a 6 GiB archive, s"].append(m.seconds)
                with open(os.path.join(m.folder, "m1.qvd"), "rb", buffering=0) as f:
                    start = time.perf_counter()
                    data = os.pread(f.fileno(), MIB, 2 ** 31 - 1 - MIB)
                    figures["last MiB of a 2 GiB member, first read, s"].append(time.perf_counter() - start)
                    assert len(data) == MIB
            with Mounted(kerv, real, scratch) as m:
                members = [os.path.join(m.folder, f"d{i}.qvd") for i in range(4)]
                read_all([real])  # the archive in the page cache; the mount's files not yet
                cat = timed(lambda: subprocess.run(f"cat '{real}' >/dev/null", shell=True, check=True))
                first = timed(lambda: subprocess.run(["cat", *members], stdout=subprocess.DEVNULL, check=True))
                read_all(members)  # now the mount's files are in the page cache too: read twice
                subprocess.run(["cat", *members], stdout=subprocess.DEVNULL, check=True)
                warm = timed(lambda: subprocess.run(["cat", *members], stdout=subprocess.DEVNULL, check=True))
                figures["every member through the mount, first read, s"].append(first)
                figures["every member through the mount, warm, s"].append(warm)
                figures["cat ARCHIVE >/dev/null, s"].append(cat)
                figures["mount / cat speed, first read"].append(cat / first)
                figures["mount / cat speed, warm"].append(cat / warm)
                figures["mount's memory after reading 1 GiB, MiB"].append(m.memory_kib() / 1024)
        print(f"kerv mount (median of {args.runs} runs)")
        for name, values in figures.items():
            print(f"  {name:45} {statistics.median(values):8.4f}   ({min(values):.4f} to {max(values):.4f})")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
