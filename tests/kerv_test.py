"""Black-box tests of kerv: round trips byte for byte, the refusals, and
writes that are whole or absent. Run like tools_test (KERV_BIN, KERV_RUN);
on Windows, names on disk are the Unicode names of the file list.
"""
import os
import signal
import subprocess
import time
import unittest

import tools_test as tt

KERV_HELP = b"Usage: kerv COMMAND [OPTION]... [ARGUMENT]...\n"
SO = "ソ".encode("cp932")  # 0x83 0x5C: its second byte is a backslash
# Only the first may begin with '.': a later one would end the list.
UNSAFE_NAMES = (b"../up.qvd", b"/abs.qvd", b"a\x1b.qvd", b"\x85\x40.qvd", b"sub/")
WINDOWS_ONLY_UNSAFE = (b"CON.qvd", b"a.qvd:x", b"C:x", b"x.")


class KervTest(tt.Folder):
    def kerv(self, *args, cwd=None, preexec=None, stdin=b""):
        r = subprocess.run([*tt.program("kerv"), *args], cwd=cwd or self.dir, input=stdin, capture_output=True,
                           preexec_fn=preexec, timeout=120)
        self.assertGreaterEqual(r.returncode, 0, "ended by a signal")
        return r.returncode, r.stdout, r.stderr

    def tree(self, folder=""):
        """Every file below `folder`, by its path relative to it."""
        top = self.path(folder)
        return sorted(os.fsdecode(os.path.relpath(os.path.join(d, f), top)) for d, _, fs in os.walk(top) for f in fs)

    def test_extract_then_create_gives_the_identical_archive(self):
        names = (b"op.qvd", b"=bg:" + tt.SEA, b"sub\\y.qvd", SO + b".zpt", b"a.qvd", b"|x:a.qvd", b"e.zpt")
        blocks = [b"o" * 300000, b"sea", b"y", b"so", b"A", b"A", b""]
        for magic, archive_magic, suffix in ((b"KERV 1.2 30.5", b"KRV", "krv"), (b"PKERV 1.0", b"PKV", "pkv")):
            for raw in ((), ("--raw-names",)) if not tt.WINDOWS else ((),):
                with self.subTest(dialect=suffix, raw=raw):
                    original = tt.archive(archive_magic, tt.scenario(magic, files=names), blocks)
                    self.put("s." + suffix, original)
                    status, out, err = self.kerv("extract", *raw, "-C", "out", "s." + suffix)
                    self.assertEqual((status, out, err), (0, b"", b""))
                    scenario_name = "s.ker" if suffix == "krv" else "s.psc"
                    if raw:
                        expected = [scenario_name, "a.qvd", "e.zpt", "op.qvd", "sub\\y.qvd", os.fsdecode(SO + b".zpt"),
                                    os.fsdecode(tt.SEA)]
                    else:
                        expected = [scenario_name, "a.qvd", "e.zpt", "op.qvd", "sub/y.qvd", "ソ.zpt", "海.zpt"]
                    self.assertEqual(self.tree("out"), sorted(expected))
                    self.assertEqual(self.get("out/op.qvd"), blocks[0])
                    self.assertEqual(self.kerv("create", "out/" + scenario_name, "re.bin"), (0, b"", b""))
                    self.assertEqual(self.get("re.bin"), original)
                    for name in ("out", "re.bin"):
                        subprocess.run(["rm", "-rf", self.path(name)], check=True)

    def test_update_equals_a_fresh_pack(self):
        packed = os.path.relpath(self.pack_example(), self.dir)
        self.put("door2.qvd", b"a new door")
        self.put("new.zpt", b"added")
        status, text, _ = self.kerv("scenario", packed)
        self.assertEqual(status, 0)
        edited = text.replace("潮騒".encode(), "波音".encode()).replace(b"title.zpt\r\n", b"title.zpt\r\nnew.zpt\r\n")
        self.put("s.txt", edited.replace(b"\r\n", b"\n"))  # as an editor may save it
        # Without -o the archive itself is replaced; the same bytes as a pack from scratch.
        self.assertEqual(self.kerv("update", packed, "--scenario-text", "s.txt", "door.qvd=door2.qvd",
                                   "new.zpt=new.zpt"), (0, b"", b""))
        fresh = os.path.join(self.dir, "fresh")
        tt.copy_examples(fresh)
        self.put("fresh/story.ker", edited.decode().encode("cp932"))
        self.put("fresh/door.qvd", b"a new door")
        self.put("fresh/new.zpt", b"added")
        self.assertEqual(self.run_tool("krvmake", "story.ker", cwd=fresh)[0], 0)
        self.assertEqual(self.get(packed), self.get("fresh/story.krv"))
        # Nothing changed: the same archive; an output that exists is refused.
        self.assertEqual(self.kerv("update", packed, "-o", "copy.krv")[0], 0)
        self.assertEqual(self.get("copy.krv"), self.get(packed))
        status, _, err = self.kerv("update", packed, "-o", "copy.krv", "door.qvd=new.zpt")
        self.assertEqual((status, err.endswith(b": File exists (--force replaces it)\n")), (1, True), err)
        self.assertEqual(self.kerv("update", packed, "-o", "copy.krv", "--force", "door.qvd=new.zpt")[0], 0)
        self.assertEqual(self.kerv("cat", "copy.krv", "door.qvd"), (0, b"added", b""))

    def test_scenario_text_keeps_what_has_no_character(self):
        text = tt.scenario(files=(b"a.qvd",), body=b"R1 \x85 ; odd\r\n")
        self.put("s.krv", tt.archive(b"KRV", text, [b"A"]))
        status, out, err = self.kerv("scenario", "s.krv")
        at = text.index(b"\x85")
        self.assertEqual((status, err), (1, b"kerv: s.krv: scenario offset %d: byte 0x85 has no character\n" % at))
        self.assertIn("R1 \ufffd ; odd\r\n".encode(), out)
        # Back unchanged, through standard input: the line keeps its byte.
        self.assertEqual(self.kerv("update", "s.krv", "--scenario-text", "-", "-o", "t.krv", stdin=out)[0], 0)
        self.assertEqual(self.get("t.krv"), self.get("s.krv"))
        self.put("s.ker", text)
        self.assertEqual(self.kerv("scenario", "s.ker")[1], out)

    def test_refusals_write_nothing_they_should_not(self):
        unsafe = UNSAFE_NAMES + (b"u.ker",) + (WINDOWS_ONLY_UNSAFE if tt.WINDOWS else ())
        self.put("u.krv", tt.archive(b"KRV", tt.scenario(files=(*unsafe, b"ok.qvd")), [b"x"] * len(unsafe) + [b"ok"]))
        status, out, err = self.kerv("extract", "-C", "out", "u.krv")
        self.assertEqual((status, out), (1, b""))
        self.assertEqual([line.split(b": not extracted: ")[1] for line in err.splitlines()][:6],
                         [b"'..' leads outside the folder", b"absolute name", b"control character U+001B",
                          b"byte 0x85 at offset 0 has no character", b"empty name", b"the scenario file has that name"])
        self.assertEqual(len(err.splitlines()), len(unsafe))
        self.assertEqual(self.tree(), ["out/ok.qvd", "out/u.ker", "u.krv"])
        # A file that exists stays, unless --force.
        self.put("out/ok.qvd", b"mine")
        self.assertEqual(self.kerv("extract", "-C", "out", "u.krv", "ok.qvd")[::2],
                         (1, b"kerv: out/ok.qvd: File exists (--force replaces it)\n"))
        self.assertEqual(self.get("out/ok.qvd"), b"mine")
        self.assertEqual(self.kerv("extract", "-C", "out", "--force", "u.krv", "ok.qvd"), (0, b"", b""))
        self.assertEqual(self.get("out/ok.qvd"), b"ok")

        packed = os.path.relpath(self.pack_example(), self.dir)
        before = self.get(packed)
        self.put("e.txt", "KERV 1.2 30.5\n題😀\n".encode())
        self.put("p.psc", tt.scenario(b"PKERV 1.0", files=()))
        for args, message in ((("nothere.qvd=e.txt",), b"no data file nothere.qvd in " + packed.encode()),
                              (("--scenario-text", "e.txt"), b"kerv: e.txt:2:2: U+1F600 "),
                              (("--scenario", "p.psc"), b"the new scenario is not for KERV")):
            status, _, err = self.kerv("update", packed, *args)
            self.assertEqual(status, 1, args)
            self.assertIn(message, err)
            self.assertEqual(self.get(packed), before)
        self.put("c/s.ker", tt.scenario(files=(b"here.qvd", b"gone.qvd")))
        self.put("c/here.qvd", b"h")
        self.assertEqual(self.kerv("create", "c/s.ker")[::2], (1, b"kerv: gone.qvd: no such data file in c\n"))
        self.assertFalse(os.path.exists(self.path("c/s.krv")))
        self.put("c/s.krv", b"precious")
        self.put("c/gone.qvd", b"g")
        self.assertEqual(self.kerv("create", "c/s.ker")[0], 1)
        self.assertEqual(self.get("c/s.krv"), b"precious")
        self.assertEqual(self.tree("c"), ["gone.qvd", "here.qvd", "s.ker", "s.krv"])

    @tt.posix_only("a file-size limit, and a kill")
    def test_a_failed_or_killed_update_leaves_the_archive_whole(self):
        self.put("s.krv", tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"a" * 2**23, b"b"]))
        self.put("big", os.urandom(2**24))
        before = self.get("s.krv")
        status, _, err = self.kerv("update", "s.krv", "b.qvd=big", preexec=tt.limit_file_size(2**22))
        self.assertEqual((status, err), (2, b"kerv: s.krv: %s\n" % os.strerror(27).encode()))
        self.assertEqual((self.get("s.krv"), self.files()), (before, [b"big", b"s.krv"]))
        after = tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"a" * 2**23, self.get("big")])
        for delay in (0.0, 0.02, 0.05, 0.1):
            p = subprocess.Popen([*tt.program("kerv"), "update", "s.krv", "b.qvd=big"], cwd=self.dir)
            time.sleep(delay)
            p.send_signal(signal.SIGKILL)
            p.wait()
            self.assertIn(self.get("s.krv"), (before, after), delay)
            self.assertEqual(self.files(), [b"big", b"s.krv"], delay)

    def test_list_cat_and_options(self):
        packed = os.path.relpath(self.pack_example(), self.dir)
        self.put("bad.krv", b"PK\3\4")
        for locale in ("C", "C.UTF-8"):
            env = dict(os.environ, LC_ALL=locale)
            mine = subprocess.run([*tt.program("kerv"), "list", packed, "bad.krv"], cwd=self.dir, env=env,
                                  capture_output=True)
            theirs = subprocess.run([*tt.program("kervls"), packed, "bad.krv"], cwd=self.dir, env=env,
                                    capture_output=True)
            self.assertEqual((mine.returncode, mine.stdout), (theirs.returncode, theirs.stdout))
            self.assertEqual(mine.stderr, theirs.stderr.replace(b"kervls: ", b"kerv: "))
        with open(os.path.join(tt.EXAMPLES, "op.qvd"), "rb") as f:
            self.assertEqual(self.kerv("cat", packed, "op.qvd"), (0, f.read(), b""))
        with open(os.path.join(os.fsencode(tt.EXAMPLES), tt.SEA), "rb") as f:
            self.assertEqual(self.kerv("cat", packed, "海.zpt"), (0, f.read(), b""))
        status, out, _ = self.kerv("--help")
        self.assertEqual((status, out[:len(KERV_HELP)]), (0, KERV_HELP))
        self.assertEqual(self.kerv("--version")[1].splitlines()[0], b"kerv (KERV archive tools) 1.0.0")
        for command in ("list", "extract", "cat", "create", "update", "scenario"):
            status, out, _ = self.kerv(command, "--help")
            self.assertEqual((status, out.split(b" ")[:3]), (0, [b"Usage:", b"kerv", command.encode()]))
        for args, status in (((), 2), (("bogus",), 2), (("extract", "--bogus", packed), 2), (("cat", packed), 2),
                             (("extract", "missing.krv"), 2), (("cat", packed, "none"), 1), (("list", "bad.krv"), 1)):
            self.assertEqual(self.kerv(*args)[0], status, args)


class LargeArchiveTest(tt.Folder):
    def test_a_data_file_beyond_4_gib(self):
        # Sparse: two blocks just under 2 GiB, then a small one past 4 GiB.
        text = tt.scenario(files=(b"a.qvd", b"b.qvd", b"c.qvd"))
        big = 2**31 - 1
        head = tt.archive(b"KRV", text, [])
        offsets = [len(head) + 4, len(head) + 8 + big, len(head) + 12 + 2 * big]
        with open(self.path("s.krv"), "wb") as f:
            f.write(head)
            for at, size in zip(offsets, (big, big, 4)):
                f.seek(at - 4)
                f.write(size.to_bytes(4, "little"))
            f.write(b"tail")
        self.assertGreater(offsets[2], 2**32)
        status, out, _ = self.run_tool("kervls", "s.krv")
        self.assertEqual(status, 0)
        self.assertEqual([line.split() for line in out.splitlines()[1:]],
                         [[b"%d" % s, b"%d" % o, n] for s, o, n in zip((big, big, 4), offsets, (b"a.qvd", b"b.qvd", b"c.qvd"))])
        self.assertEqual(subprocess.run([*tt.program("kerv"), "cat", "s.krv", "c.qvd"], cwd=self.dir,
                                        capture_output=True).stdout, b"tail")


@unittest.skipUnless(tt.WINDOWS, "Windows devices")
class WindowsDeviceTest(tt.Folder):
    def test_a_device_name_is_no_new_file(self):
        self.put("s.ker", tt.scenario(files=()))
        for name in ("NUL", "sub/../NUL"):
            self.assertEqual(self.run_tool("krvmake", "s.ker", name), (255, b"", b"can not create %s : %s\n" % (
                name.encode(), tt.EXISTS.encode())), name)


if __name__ == "__main__":
    unittest.main()
