"""Black-box tests of patches as a player meets them: whole or refused
(cut, lengthened, empty, unverifiable), every kind of xdelta3 patch read,
kerv's patches no larger than xdelta3's, lzma sections both ways, a
backup of the original. Run like kerv_test (KERV_BIN, KERV_RUN)."""
import os
import random
import shutil
import subprocess
import unittest

import kerv_test as kt
import tools_test as tt

XDELTA3 = shutil.which("xdelta3")
MIB = 1 << 20


def varint(data, at):
    value = 0
    while True:
        b = data[at]
        at += 1
        value = value << 7 | (b & 0x7F)
        if b < 0x80:
            return value, at


def window_starts(patch):
    """Where each window of a VCDIFF patch starts, and where the patch ends."""
    at = 5 + (1 if patch[4] & 1 else 0)
    if patch[4] & 4:
        length, at = varint(patch, at)
        at += length
    starts = []
    while at < len(patch):
        starts.append(at)
        indicator = patch[at]
        at += 1
        if indicator & 3:
            _, at = varint(patch, at)
            _, at = varint(patch, at)
        length, at = varint(patch, at)
        at += length
    return starts + [len(patch)]


class PatchesTest(kt.KervCase):
    def setUp(self):
        super().setUp()
        rnd = random.Random(7)
        self.blocks = [rnd.randbytes(9 * MIB), rnd.randbytes(3 * MIB), b"small"]
        changed = bytearray(self.blocks[0])
        for k in range(30):  # a change in each of the patch's windows
            changed[k * 300000] ^= 0x55
        self.names = (b"a.qvd", b"b.qvd", b"c.qvd")
        self.put("old.krv", tt.archive(b"KRV", tt.scenario(files=self.names), self.blocks))
        self.put("new.krv", tt.archive(b"KRV", tt.scenario(files=self.names),
                                       [bytes(changed), self.blocks[1], b"changed"]))
        self.assertEqual(self.kerv("diff", "--patch", "p.vcdiff", "old.krv", "new.krv")[0], 1)
        self.patch = self.get("p.vcdiff")

    def refused(self, patch, message):
        """Applies `patch` into a new file and in place: both refused with
        `message`, nothing written."""
        self.put("t.vcdiff", patch)
        for args in (("-o", "out.krv"), ()):
            with self.subTest(args=args):
                if os.path.exists(self.path("v.krv")):
                    os.remove(self.path("v.krv"))
                self.put("v.krv", self.get("old.krv"))
                before = sorted(self.files())
                status, _, err = self.kerv("patch", *args, "v.krv", "t.vcdiff")
                self.assertEqual(status, 1, err)
                self.assertIn(message, err)
                self.assertEqual(sorted(self.files()), before)
                self.assertEqual(self.get("v.krv"), self.get("old.krv"))

    def test_a_cut_lengthened_or_empty_patch_writes_nothing(self):
        starts = window_starts(self.patch)
        self.assertGreaterEqual(len(starts), 3)  # two windows and the end at least
        size = len(self.get("new.krv"))
        for end in starts[:-1]:  # cut at each window's start: what is left decodes without a fault
            made = sum(min(8 * MIB, size - k * 8 * MIB) for k in range(starts.index(end)))
            self.refused(self.patch[:end], b"t.vcdiff is cut short or damaged: it makes %d bytes where it promises %d"
                         % (made, size))
        for end in random.Random(3).sample(range(starts[0], len(self.patch) - 1), 6):
            self.refused(self.patch[:end], b"t.vcdiff")
        # Its windows appended again: twice what it promises.
        self.refused(self.patch + self.patch[starts[0]:starts[2]], b"t.vcdiff is cut short or damaged: it makes %d "
                     b"bytes where it promises %d" % (2 * size, size))

    @unittest.skipUnless(XDELTA3, "needs xdelta3")
    def test_every_xdelta3_patch_reads(self):
        options = (["-S", "none"], [], ["-0"], ["-9"], ["-n"], ["-B", str(1 * MIB)], ["-W", "65536"], ["-S", "lzma"])
        for flags in options:
            with self.subTest(flags=flags):
                subprocess.run([XDELTA3, "-e", "-f", *flags, "-s", "old.krv", "new.krv", "x.vcdiff"], cwd=self.dir,
                               check=True)
                if os.path.exists(self.path("o.krv")):
                    os.remove(self.path("o.krv"))
                status, _, err = self.kerv("patch", "-o", "o.krv", "old.krv", "x.vcdiff")
                self.assertEqual(status, 0, err)
                if "-n" in flags:  # no checksums: applied, with a warning, into a new file only
                    self.assertIn(b"warning: x.vcdiff could not be checked", err)
                    self.put("v.krv", self.get("old.krv"))
                    status, _, err = self.kerv("patch", "v.krv", "x.vcdiff")
                    self.assertEqual(status, 1)
                    self.assertIn(b"x.vcdiff cannot tell the right file", err)
                    self.assertEqual(self.get("v.krv"), self.get("old.krv"))
                    self.assertEqual(self.kerv("patch", "--force", "v.krv", "x.vcdiff")[0], 0)
                    self.assertEqual(self.get("v.krv"), self.get("new.krv"))
                else:
                    self.assertEqual(err, b"")
                self.assertEqual(self.get("o.krv"), self.get("new.krv"))
                self.assertGreater(len(window_starts(self.get("x.vcdiff"))), 2 if "-W" in flags else 1)

    @unittest.skipUnless(XDELTA3, "needs xdelta3")
    def test_no_larger_than_xdelta3s_and_lzma_both_ways(self):
        rnd = random.Random(9)
        base = self.blocks[:2]
        edited = bytearray(base[0])
        for _ in range(40):
            edited[rnd.randrange(len(edited))] ^= 1
        ends = bytearray(base[1])
        ends[:16] = rnd.randbytes(16)
        ends[-16:] = rnd.randbytes(16)
        cases = {  # the new archive's names and blocks
            "edits": (self.names[:2], [bytes(edited), base[1]]),
            "ends": (self.names[:2], [base[0], bytes(ends)]),
            "renamed": ((b"a.qvd", b"renamed.qvd"), [base[0], base[1][:-1] + b"!"]),
            "swapped": ((b"b.qvd", b"a.qvd"), [base[1], base[0]]),
            "grown": (self.names[:2], [base[0], base[1] + rnd.randbytes(50000)]),
        }
        self.put("base.krv", tt.archive(b"KRV", tt.scenario(files=self.names[:2]), base))
        for what, (names, blocks) in cases.items():
            with self.subTest(what):
                self.put("case.krv", tt.archive(b"KRV", tt.scenario(files=names), blocks))
                sizes = {}
                for name, args in (("kerv", []), ("kerv-lzma", ["--compress", "lzma"])):
                    if args and tt.WINDOWS:  # the Windows build reads lzma sections, but writes none
                        continue
                    self.assertEqual(self.kerv("diff", "--force", "--patch", name, *args, "base.krv", "case.krv")[0], 1)
                    sizes[name] = len(self.get(name))
                    subprocess.run([XDELTA3, "-d", "-f", "-s", "base.krv", name, "out.krv"], cwd=self.dir, check=True)
                    self.assertEqual(self.get("out.krv"), self.get("case.krv"), name)
                for name, args in (("x", ["-S", "none"]), ("x-lzma", [])):
                    subprocess.run([XDELTA3, "-e", "-9", "-f", *args, "-s", "base.krv", "case.krv", name],
                                   cwd=self.dir, check=True)
                    sizes[name] = len(self.get(name))
                # Sizes are deterministic: kerv's header adds its sums (under 200 bytes).
                self.assertLessEqual(sizes["kerv"], 1.05 * sizes["x"] + 200, sizes)
                if "kerv-lzma" in sizes:
                    self.assertLessEqual(sizes["kerv-lzma"], 1.05 * sizes["x-lzma"] + 200, sizes)

    def test_a_backup_of_the_original_and_names_that_are_no_names(self):
        self.put("v.krv", self.get("old.krv"))
        self.assertEqual(self.kerv("patch", "--backup", "v.krv", "p.vcdiff"), (0, b"", b""))
        self.assertEqual((self.get("v.krv"), self.get("v.krv.orig")), (self.get("new.krv"), self.get("old.krv")))
        self.put("v.krv", self.get("old.krv"))
        self.assertEqual(self.kerv("patch", "--backup", "v.krv", "p.vcdiff"),
                         (1, b"", b"kerv: v.krv.orig: File exists (--force replaces it)\n"))
        self.assertEqual(self.get("v.krv"), self.get("old.krv"))
        for args, option in ((("patch", "-o", "", "v.krv", "p.vcdiff"), b"--output"),
                             (("update", "-o", "", "v.krv"), b"--output"),
                             (("diff", "--patch", "", "old.krv", "new.krv"), b"--patch")):
            with self.subTest(args=args):
                status, out, err = self.kerv(*args)
                self.assertEqual((status, out), (2, b""))
                self.assertTrue(err.startswith(b"kerv: option '%s' requires an argument\n" % option), err)
        self.assertEqual(self.get("v.krv"), self.get("old.krv"))


if __name__ == "__main__":
    unittest.main()
