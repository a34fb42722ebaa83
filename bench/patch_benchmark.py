#!/usr/bin/env python3
"""Times `kerv diff --patch` and `kerv patch -o` on two 1 GiB archives;
with --sizes, compares the sizes of kerv's patches with xdelta3's.

Writes, in a scratch folder, an old archive of four data files of 256 MiB
of random bytes and a 100-byte one, and a new archive that differs in the
100-byte file's bytes and in the scenario's text. Then runs, in turn and
several times: `cat OLD NEW > /dev/null` (reading both archives once),
`kerv diff --patch`, and `xdelta3 -e -S none -s OLD NEW` on the same pair;
`kerv patch -o` of kerv's patch, against `cat OLD > COPY && sync COPY`.
Checks once that xdelta3 applies kerv's patch to the new archive byte for
byte. Prints the median wall-clock times, the peak resident memory, the
patches' sizes, and the ratios the goals are stated in (each the median of
the ratios within one round); then removes everything. The files are read
from the page cache (each round reads them all first). This is a
benchmark, not a test.

With --sizes: writes an archive of 252 MB (a 50 MiB data file, two of
20 MiB, sixteen of 10 MiB, a scenario of 700 lines of Japanese text),
from a fixed seed, and changes of it a modder or translator makes (bytes
edited, ends changed, a file renamed, the first and the last swapped, the scenario rewritten,
files replaced, grown, inserted, removed); prints the size of each
patch from `kerv diff --patch`, with `--compress lzma`, `xdelta3 -9` and
`xdelta3 -9 -S none`, checks each of kerv's with `xdelta3 -d`, and the
peak memory and time of kerv diff. Sizes are deterministic.

Usage: bench/patch_benchmark.py [BUILD_DIR] [--runs N] [--scratch DIR] [--sizes]
Needs about 5 GiB of free disk, GNU time and xdelta3.
"""
import random
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from benchmark import run

MIB = 1 << 20


def scenario(names, title):
    return b"\r\n".join([b"KERV 1.0 30.0", title, b".", *names, b".", b"."]) + b"\r\n"


def write_archive(path, title, blocks):
    """The archive of `blocks` [(name, bytes or a file of random bytes)]."""
    text = scenario([name for name, _ in blocks], title)
    with open(path, "wb") as f:
        f.write(b"KRV" + b"\0" * 5 + len(text).to_bytes(2, "little") + text)
        for _, data in blocks:
            if isinstance(data, bytes):
                f.write(len(data).to_bytes(4, "little") + data)
                continue
            f.write(os.path.getsize(data).to_bytes(4, "little"))
            with open(data, "rb") as block:
                shutil.copyfileobj(block, f, MIB)


def make_pair(scratch):
    blocks = []
    for i in range(4):
        path = os.path.join(scratch, f"d{i}")
        with open(path, "wb") as f:
            for _ in range(256):
                f.write(os.urandom(MIB))
        blocks.append((f"d{i}.qvd".encode(), path))
    small = os.urandom(100)
    old, new = (os.path.join(scratch, n) for n in ("old.krv", "new.krv"))
    write_archive(old, b"bench", blocks[:2] + [(b"small.qvd", small)] + blocks[2:])
    write_archive(new, b"bench, translated", blocks[:2] + [(b"small.qvd", small[:40] + os.urandom(20) + small[60:])] +
                  blocks[2:])
    for _, path in blocks:
        os.remove(path)
    return old, new


def size_cases(scratch):
    """The base archive and the changed ones, as files in `scratch`: {name: path}."""
    rnd = random.Random(5)
    words = [bytes([0x88 + i % 16, 0x9F + i % 90]) for i in range(400)]

    def line(r):
        return b"".join(r.choice(words) for _ in range(r.randrange(5, 20)))

    text = random.Random(9)
    body = [line(text) for _ in range(700)]

    def write(name, blocks, title=b"bench", lines=None):
        head = b"\r\n".join([b"KERV 1.0 30.0", title, b".", *[n for n, _ in blocks], b".", b"."]) + b"\r\n"
        scenario_bytes = head + b"\r\n".join(lines or body) + b"\r\n"
        path = os.path.join(scratch, name + ".krv")
        with open(path, "wb") as f:
            f.write(b"KRV" + b"\0" * 5 + len(scenario_bytes).to_bytes(2, "little") + scenario_bytes)
            for _, data in blocks:
                f.write(len(data).to_bytes(4, "little") + data)
        return path

    base = [(b"big.qvd", rnd.randbytes(50 * MIB)), (b"a20.qvd", rnd.randbytes(20 * MIB)),
            (b"b20.qvd", rnd.randbytes(20 * MIB))] + [(b"f%d.zpt" % i, rnd.randbytes(10 * MIB)) for i in range(16)]
    paths = {"base": write("base", base)}
    edited = bytearray(base[0][1])
    for _ in range(100):
        edited[rnd.randrange(len(edited))] ^= 0x55
    ends = bytearray(base[1][1])
    ends[:16], ends[-16:] = rnd.randbytes(16), rnd.randbytes(16)
    renamed = bytearray(base[1][1])
    renamed[len(renamed) // 2] ^= 1
    other = random.Random(11)
    rewritten = [line(other) if other.random() < 0.5 else old for old in body]
    changes = {
        "100 single-byte edits in a 50 MiB file": [(base[0][0], bytes(edited))] + base[1:],
        "first and last 16 bytes of a 20 MiB file": [base[0], (base[1][0], bytes(ends))] + base[2:],
        "a 20 MiB file renamed, one byte changed": [base[0], (b"renamed.qvd", bytes(renamed))] + base[2:],
        "the first and the last file swapped": [base[-1]] + base[1:-1] + [base[0]],
        "half the scenario's lines rewritten": None,
        "a 10 MiB file replaced": base[:3] + [(b"f0.zpt", rnd.randbytes(10 * MIB))] + base[4:],
        "a 10 MiB file grown by 1 MiB": base[:3] + [(b"f0.zpt", base[3][1] + rnd.randbytes(MIB))] + base[4:],
        "a 3 MiB file inserted": base[:5] + [(b"new.zpt", rnd.randbytes(3 * MIB))] + base[5:],
        "a 10 MiB file removed": base[:5] + base[6:],
    }
    for k, (what, blocks) in enumerate(changes.items()):
        if blocks is None:
            paths[what] = write(f"case{k}", base, b"translated", rewritten)
        else:
            paths[what] = write(f"case{k}", blocks)
    return paths


def sizes(kerv, scratch):
    paths = size_cases(scratch)
    base = paths.pop("base")
    patch, out = os.path.join(scratch, "p"), os.path.join(scratch, "out.krv")
    print(f"{'change to a 252 MB archive':42} {'kerv':>11} {'kerv lzma':>11} {'xdelta3 -9':>11} "
          f"{'-9 -S none':>11} {'kerv s':>7} {'kerv MiB':>8}")
    for what, new in paths.items():
        row = []
        for argv in ([kerv, "diff", "--force", "--patch", patch, base, new],
                     [kerv, "diff", "--force", "--patch", patch, "--compress", "lzma", base, new],
                     ["xdelta3", "-e", "-9", "-f", "-s", base, new, patch],
                     ["xdelta3", "-e", "-9", "-S", "none", "-f", "-s", base, new, patch]):
            seconds, peak = run(argv, scratch, statuses=(0, 1))
            row.append(os.path.getsize(patch))
            if argv[0] == kerv:
                check = subprocess.run(["xdelta3", "-d", "-f", "-s", base, patch, out])
                if check.returncode != 0 or subprocess.run(["cmp", "-s", out, new]).returncode != 0:
                    sys.exit(f"{what}: xdelta3 does not make the new archive from kerv's patch")
                if len(row) == 1:
                    took, most = seconds, peak
        print(f"{what:42} {row[0]:11,} {row[1]:11,} {row[2]:11,} {row[3]:11,} {took:7.2f} {most / 1024:8.1f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build", nargs="?", default="build")
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--scratch", default=None)
    parser.add_argument("--sizes", action="store_true")
    args = parser.parse_args()
    kerv = os.path.abspath(os.path.join(args.build, "kerv"))
    if not os.path.exists(kerv):
        sys.exit(f"{kerv} not found: build first")
    if args.sizes:
        scratch = tempfile.mkdtemp(prefix="kerv-patch-sizes-", dir=args.scratch)
        try:
            sizes(kerv, scratch)
        finally:
            shutil.rmtree(scratch, ignore_errors=True)
        return
    scratch = tempfile.mkdtemp(prefix="kerv-patch-bench-", dir=args.scratch)
    try:
        old, new = make_pair(scratch)
        patch, theirs, out, copy = (os.path.join(scratch, n) for n in ("kerv.vcdiff", "x.vcdiff", "out.krv", "copy"))
        cases = {
            "cat OLD NEW": ["sh", "-c", 'cat "$0" "$1" > /dev/null', old, new],
            "kerv diff --patch": [kerv, "diff", "--force", "--patch", patch, old, new],
            "xdelta3 -e -S none": ["xdelta3", "-e", "-f", "-S", "none", "-s", old, new, theirs],
            "kerv patch -o": [kerv, "patch", "-q", "--force", "-o", out, old, patch],
            "cat OLD > COPY && sync": ["sh", "-c", 'cat "$0" > "$1" && sync "$1"', old, copy],
        }
        times = {name: [] for name in cases}
        peaks = {name: 0 for name in cases}
        ratios = {"diff": [], "patch": []}
        for round_ in range(args.runs + 1):
            took = {}
            for name, argv in cases.items():
                for path in (out, copy):
                    if os.path.exists(path):
                        os.remove(path)
                # Both archives in the page cache before each command.
                subprocess.run(["cat", old, new, patch if os.path.exists(patch) else old], stdout=subprocess.DEVNULL,
                               check=True)
                # kerv diff says 1 when the archives differ: its answer, not a failure.
                seconds, peak = run(argv, scratch, statuses=(0, 1) if name.startswith("kerv diff") else (0,))
                took[name] = seconds
                peaks[name] = max(peaks[name], peak)
            if round_ == 0:  # a warm-up; and the patch checked
                check = subprocess.run(["xdelta3", "-d", "-f", "-s", old, patch, out])
                if check.returncode != 0 or subprocess.run(["cmp", "-s", out, new]).returncode != 0:
                    sys.exit("xdelta3 does not make the new archive from kerv's patch")
                continue
            for name in cases:
                times[name].append(took[name])
            ratios["diff"].append(took["kerv diff --patch"] / took["cat OLD NEW"])
            ratios["patch"].append(took["kerv patch -o"] / took["cat OLD > COPY && sync"])
        print(f"{'':26} {'median s':>9} {'peak MiB':>9}")
        for name in cases:
            print(f"{name:26} {statistics.median(times[name]):9.3f} {peaks[name] / 1024:9.1f}")
        print(f"patch sizes: kerv {os.path.getsize(patch)} bytes, xdelta3 -S none {os.path.getsize(theirs)} bytes")
        print(f"kerv diff --patch / cat OLD NEW: {statistics.median(ratios['diff']):.2f}x")
        print(f"kerv patch -o / cat OLD > COPY && sync: {statistics.median(ratios['patch']):.2f}x "
              f"(rounds from {min(ratios['patch']):.2f}x to {max(ratios['patch']):.2f}x)")
        print(f"kerv patch -o, fastest and slowest round: {min(times['kerv patch -o']):.3f} s, "
              f"{max(times['kerv patch -o']):.3f} s")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
