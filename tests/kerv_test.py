"""Black-box tests of kerv: round trips byte for byte, the refusals, and
writes that are whole or absent. Run like tools_test (KERV_BIN, KERV_RUN);
on Windows, names on disk are the Unicode names of the file list.
"""
import fcntl
import os
import shutil
import signal
import stat
import subprocess
import threading
import time
import unittest

import tools_test as tt

KERV_HELP = b"Usage: kerv COMMAND [OPTION]... [ARGUMENT]...\n"
SO = "ソ".encode("cp932")  # 0x83 0x5C: its second byte is a backslash
# Only the first may begin with '.': a later one would end the list.
UNSAFE_NAMES = (b"../up.qvd", b"/abs.qvd", b"a\x1b.qvd", b"\x85\x40.qvd", b"sub/")
WINDOWS_ONLY_UNSAFE = (b"CON.qvd", b"a.qvd:x", b"C:x", b"x.")


class KervCase(tt.Folder):
    def kerv(self, *args, cwd=None, preexec=None, stdin=b""):
        r = subprocess.run([*tt.program("kerv"), *args], cwd=cwd or self.dir, input=stdin, capture_output=True,
                           preexec_fn=preexec, timeout=120)
        self.assertGreaterEqual(r.returncode, 0, "ended by a signal")
        return r.returncode, r.stdout, r.stderr

    def tree(self, folder=""):
        """Every file below `folder`, by its path relative to it."""
        top = self.path(folder)
        return sorted(os.fsdecode(os.path.relpath(os.path.join(d, f), top)) for d, _, fs in os.walk(top) for f in fs)


class KervTest(KervCase):
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
        # '-' is standard output elsewhere: an archive or a patch is never a file named so by accident.
        for args in (("create", "c/s.ker", "-"), ("update", "-o", "-", "c/s.krv", "here.qvd=c/here.qvd"),
                     ("diff", "--patch", "-", packed, packed), ("patch", "-o", "-", packed, "c/here.qvd")):
            status, out, err = self.kerv(*args)
            self.assertEqual((status, out, err.splitlines()[0]), (2, b"", b"kerv: -: archives and patches are written to "
                                                                  b"a named file, not to standard output (./- names "
                                                                  b"a file '-')"), args)
            self.assertFalse(os.path.exists(self.path("-")))

    def test_extract_statuses(self):
        names = (b"a.qvd", b"\x85\x40.qvd")  # the second's bytes have no character
        self.put("s.krv", tt.archive(b"KRV", tt.scenario(files=names), [b"A", b"B"]))
        self.put("d.krv", tt.archive(b"KRV", tt.scenario(files=names), [b"A"]) + b"\x09\0\0\0B")
        cases = (  # arguments, status, standard error, files written
            (("s.krv", "a.qvd"), 0, b"", ["a.qvd"]),
            (("s.krv", "none.qvd"), 1, b"kerv: s.krv: no data file none.qvd\n", []),
            (("s.krv", "a.qvd", "none.qvd"), 1, b"kerv: s.krv: no data file none.qvd\n", ["a.qvd"]),
            # A name that does not decode is named by its bytes.
            (("--raw-names", "s.krv", b"\x85\x40.qvd"), 0, b"", [os.fsdecode(b"\x85\x40.qvd")]),
            # The complete blocks of a damaged archive are written, and the damage is reported.
            (("d.krv", "a.qvd"), 1, b"kerv: d.krv: offset 67: data block 2 of 9 bytes runs 8 bytes past the end of "
                                    b"the archive\nkerv: d.krv: \\x85@.qvd: no block (the archive ends at offset 72)\n", ["a.qvd"]),
        ) if not tt.WINDOWS else ()
        for args, status, err, written in cases:
            with self.subTest(args=args):
                shutil.rmtree(self.path("out"), ignore_errors=True)
                self.assertEqual(self.kerv("extract", "-C", "out", *args), (status, b"", err))
                self.assertEqual(self.tree("out"), written)

    @tt.posix_only("a file-size limit")
    def test_a_failed_update_leaves_the_archive_whole(self):
        self.put("s.krv", tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"a" * 2**23, b"b"]))
        self.put("big", os.urandom(2**24))
        before = self.get("s.krv")
        status, _, err = self.kerv("update", "s.krv", "b.qvd=big", preexec=tt.limit_file_size(2**22))
        self.assertEqual((status, err), (2, b"kerv: s.krv: %s\n" % os.strerror(27).encode()))
        self.assertEqual((self.get("s.krv"), self.files()), (before, [b"big", b"s.krv"]))

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

    def test_names_as_listed_with_slashes_and_patterns(self):
        names = [n.encode("cp932") for n in ("データ\\表紙.zpt", "データ\\声\\台詞01.qvd", "データ\\声\\台詞02.qvd",
                                              "op.qvd")]
        blocks = [b"cover", b"one", b"two", b"op"]
        whole = tt.archive(b"KRV", tt.scenario(files=names), blocks)
        self.put("bs.krv", whole)
        self.put("cut.krv", whole[:-len(b"op") - 4 - len(b"two") - 1])  # inside the third block's size
        self.put("new.zpt", b"NEW")
        listing = lambda *shown: [b"%d %d %s" % (len(blocks[i]), whole.rindex(blocks[i]),
                                                 names[i].decode("cp932").encode()) for i in shown]
        cases = (  # arguments, status, standard output, standard error
            (("cat", "bs.krv", "データ\\表紙.zpt"), 0, b"cover", b""),
            (("cat", "bs.krv", "データ/表紙.zpt"), 0, b"cover", b""),
            (("cat", "bs.krv", "データ/声/*"), 0, b"onetwo", b""),
            (("cat", "bs.krv", "*.txt"), 1, b"", b"kerv: bs.krv: no data file *.txt\n"),
            (("cat", "cut.krv", "op.qvd"), 1, b"", b"kerv: cut.krv: op.qvd: no block (the archive ends at offset %d)\n"
             % (len(whole) - 10)),
            (("list", "bs.krv", "*.qvd", "*.txt"), 1, listing(1, 2, 3), b"kerv: bs.krv: no data file *.txt\n"),
            (("list", "bs.krv", "データ/声/台詞02.qvd"), 0, listing(2), b""),
            (("update", "bs.krv", "データ/表紙.zpt=new.zpt", "-o", "out.krv"), 0, b"", b""),
            (("update", "cut.krv", "op.qvd=new.zpt", "-o", "out2.krv"), 1, b"",
             b"kerv: cut.krv: op.qvd: no block (the archive ends at offset %d)\n" % (len(whole) - 10)),
        )
        for args, status, out, err in cases:
            with self.subTest(args=args):
                got = self.kerv(*args)
                if args[0] == "list":  # the first line is the archive's, the rest its blocks' (widths aside)
                    got = (got[0], [b" ".join(line.split()) for line in got[1].splitlines()[1:]], got[2])
                self.assertEqual(got, (status, out, err))
        self.assertEqual(self.kerv("cat", "out.krv", "データ/表紙.zpt")[1], b"NEW")
        self.assertFalse(os.path.exists(self.path("out2.krv")))
        shutil.rmtree(self.path("out"), ignore_errors=True)
        self.assertEqual(self.kerv("extract", "-C", "out", "bs.krv", "*01*", "*.zzz"),
                         (1, b"", b"kerv: bs.krv: no data file *.zzz\n"))
        self.assertEqual(self.tree("out"), [os.path.join("データ", "声", "台詞01.qvd")])
        status, out, err = self.kerv("list", "cut.krv")
        self.assertEqual((status, err.splitlines()[1:]), (1, [b"kerv: cut.krv: %s: no block (the archive ends at offset %d)"
                                                            % (n.decode("cp932").encode(), len(whole) - 10)
                                                            for n in names[2:]]))


def identity(path):
    st = os.lstat(path)
    return st.st_ino, st.st_size, st.st_mtime_ns, stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid


class SafeWriteTest(KervCase):
    """Writes that never lose or expose what the user had."""

    def example_archive(self, name="s.krv", names=(b"a.qvd", b"b.qvd"), blocks=(b"A" * 10, b"B" * 20)):
        self.put(name, tt.archive(b"KRV", tt.scenario(files=names), list(blocks)))
        return name

    def test_a_scenario_that_would_drop_the_data_is_refused(self):
        packed = self.example_archive()
        before = self.get(packed)
        lf = b"KERV 1.2 30.5\r\ntitle\r\n.\na.qvd\r\nb.qvd\r\n.\r\n.\r\n"  # line 3 ends in LF alone
        self.put("lf.ker", lf)
        self.put("a.qvd", b"a")
        self.put("b.qvd", b"b")
        for args, message in (
                (("update", packed, "--scenario", "lf.ker"), b"kerv: lf.ker:3: the line ends in LF alone; save the "
                                                            b"scenario with CR LF line ends, or use --scenario-text\n"),
                (("create", "lf.ker", "new.krv"),
                 b"kerv: lf.ker:3: the line ends in LF alone; save the scenario with CR LF line ends\n")):
            self.assertEqual(self.kerv(*args), (1, b"", message), args)
        self.assertEqual(self.get(packed), before)
        self.assertFalse(os.path.exists(self.path("new.krv")))
        # A new scenario that leaves a data file out says so; the status is unchanged.
        self.put("short.ker", tt.scenario(files=(b"a.qvd",)))
        self.assertEqual(self.kerv("update", packed, "--scenario", "short.ker"),
                         (0, b"", b"kerv: b.qvd (20 bytes) is no longer listed and is left out\n"))
        self.assertEqual(self.get(packed), tt.archive(b"KRV", tt.scenario(files=(b"a.qvd",)), [b"A" * 10]))

    @tt.posix_only("permission bits, owners and links")
    def test_an_update_in_place_keeps_the_file_the_user_had(self):
        self.put("new.qvd", b"new")
        cases = (  # (how the archive is set up, arguments, status, message, whether it is replaced)
            ("mode 0600", (), 0, b"", True),
            ("mode 0444", (), 1, b"kerv: s.krv: the archive is read-only (--force replaces it)\n", False),
            ("mode 0444", ("--force",), 0, b"", True),
            ("hard link", (), 1, b"kerv: s.krv: the archive has 2 hard links; an update would give this name a new "
                                 b"file and leave the others the old one (--force does that)\n", False),
            ("hard link", ("--force",), 0,
             b"kerv: s.krv: this name holds the new archive; its 1 other hard link keeps the old one\n", True),
            ("owner", (), 0, b"", True),
            ("nothing to change", (), 0, b"kerv: s.krv: nothing to change; the archive is left as it is\n", False),
        )
        for setup, args, status, message, replaced in cases:
            with self.subTest(setup=setup, args=args):
                for name in ("s.krv", "other.krv"):
                    if os.path.lexists(self.path(name)):
                        os.unlink(self.path(name))
                packed = self.example_archive()
                if setup.startswith("mode"):
                    os.chmod(self.path(packed), int(setup[-4:], 8))
                if setup == "hard link":
                    os.link(self.path(packed), self.path("other.krv"))
                if setup == "owner":
                    if os.geteuid() != 0:
                        continue
                    os.chown(self.path(packed), 65534, 65534)
                before, old = identity(self.path(packed)), self.get(packed)
                change = () if setup == "nothing to change" else ("b.qvd=new.qvd",)
                self.assertEqual(self.kerv("update", *args, packed, *change), (status, b"", message))
                after = identity(self.path(packed))
                self.assertEqual(after[0] != before[0], replaced)
                self.assertEqual(self.get(packed) != old, replaced)
                self.assertEqual(after[3:], before[3:], "mode, owner and group are kept")
                if setup == "hard link":
                    self.assertEqual(self.get("other.krv"), old)
                self.assertEqual(sorted(self.files()), sorted([b"new.qvd", b"s.krv"] +
                                                              ([b"other.krv"] if setup == "hard link" else [])))

    @tt.posix_only("symbolic links")
    def test_an_archive_reached_through_a_link_is_updated_where_the_link_leads(self):
        os.mkdir(self.path("real"))
        packed = self.example_archive("real/s.krv")
        os.symlink("real/s.krv", self.path("link.krv"))
        self.put("new.qvd", b"new")
        self.assertEqual(self.kerv("update", "link.krv", "b.qvd=new.qvd"), (0, b"", b""))
        self.assertEqual(os.readlink(self.path("link.krv")), b"real/s.krv")
        self.assertEqual(self.kerv("cat", packed, "b.qvd"), (0, b"new", b""))

    def test_two_updates_of_one_archive(self):
        packed = self.example_archive()
        self.put("new.qvd", b"second")
        running = (1, b"", b"kerv: s.krv: another update of this archive is running\n")

        def start_first():
            """An update that holds the archive while it reads a data file from standard input."""
            for _ in range(20):
                first = subprocess.Popen([*tt.program("kerv"), "update", packed, "a.qvd=-"], cwd=self.dir,
                                         stdin=subprocess.PIPE, stderr=subprocess.PIPE)
                # An update that changes nothing takes the lock too, but never writes. While it
                # holds the lock, the first may find it held and give up: then it starts again.
                deadline = time.monotonic() + 60
                while first.poll() is None:
                    if self.kerv("update", packed) == running and first.poll() is None:
                        return first
                    if time.monotonic() > deadline:  # the lock is never seen held: no waiting forever
                        first.kill()
                        first.wait()
                        first.stdin.close()
                        first.stderr.close()
                        self.fail("an update that holds the archive was never seen running")
                    time.sleep(0.01)
                self.assertIn(b"another update of this archive is running", first.stderr.read())
                first.stdin.close()
                first.stderr.close()
            self.fail("the first update never held the archive")

        with start_first() as first:
            self.assertEqual(self.kerv("update", packed, "b.qvd=new.qvd"), running)
            first.stdin.write(b"first")
            first.stdin.close()
            self.assertEqual((first.wait(60), first.stderr.read()), (0, b""))
        self.assertEqual(self.kerv("cat", packed, "a.qvd"), (0, b"first", b""))
        self.assertEqual(self.kerv("cat", packed, "b.qvd"), (0, b"B" * 20, b""))
        # Another program replaces the archive while an update runs: its change stays.
        with start_first() as first:
            theirs = tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"theirs", b""])
            self.put("theirs.krv", theirs)
            os.replace(self.path("theirs.krv"), self.path(packed))
            first.stdin.write(b"mine")
            first.stdin.close()
            self.assertEqual(first.wait(60), 1)
            self.assertIn(b"the file has changed since it was read: nothing was written, the other change stays",
                          first.stderr.read())
        self.assertEqual(self.get(packed), theirs)
        self.assertEqual(sorted(self.files()), [b"new.qvd", b"s.krv"])

    @tt.posix_only("symbolic links")
    def test_extraction_never_writes_through_a_link(self):
        names = [b"sub\\f%d.qvd" % i for i in range(1500)]
        self.put("m.krv", tt.archive(b"KRV", tt.scenario(files=names), [b"x"] * len(names)))
        os.makedirs(self.path("outside"))
        os.makedirs(self.path("out"))
        os.symlink("../outside", self.path("out/sub"))
        status, _, err = self.kerv("extract", "-C", "out", "m.krv", "sub\\f1.qvd", "sub\\f2.qvd")
        self.assertEqual((status, err), (1, b"kerv: out/sub/f1.qvd: not extracted: a symbolic link stands among its "
                                            b"folders\nkerv: out/sub/f2.qvd: not extracted: a symbolic link stands "
                                            b"among its folders\n"))
        # Another process swaps the folder for a link while the extraction runs.
        for run in range(20):
            shutil.rmtree(self.path("out"))
            os.makedirs(self.path("out/sub"))
            stop = threading.Event()

            def swap():
                while not stop.is_set():
                    try:
                        os.rename(self.path("out/sub"), self.path("out/real"))
                        os.symlink("../outside", self.path("out/sub"))
                        os.unlink(self.path("out/sub"))
                        os.rename(self.path("out/real"), self.path("out/sub"))
                    except OSError:
                        pass
            swapper = threading.Thread(target=swap)
            swapper.start()
            try:
                self.kerv("extract", "-q", "-C", "out", "m.krv")
            finally:
                stop.set()
                swapper.join()
            self.assertEqual(os.listdir(self.path("outside")), [], f"run {run}")

    def test_nothing_is_written_over_what_is_read(self):
        self.put("u.krv", tt.archive(b"KRV", tt.scenario(files=(b"u.krv", b"a.qvd")), [b"evil", b"a"]))
        before = self.get("u.krv")
        status, _, err = self.kerv("extract", "--force", "u.krv")
        self.assertEqual(status, 1)
        self.assertIn(b"kerv: u.krv: not written over: it is the archive being read\n", err)
        self.assertEqual(self.get("u.krv"), before)
        self.assertEqual(self.get("a.qvd"), b"a")
        self.put("s.ker", tt.scenario(files=(b"a.qvd",)))
        for target, what in (("s.ker", b"the scenario being packed"), ("a.qvd", b"a data file being packed")):
            self.assertEqual(self.kerv("create", "--force", "s.ker", target),
                             (1, b"", b"kerv: %s: not written over: it is %s\n" % (target.encode(), what)))
        self.assertEqual(self.get("a.qvd"), b"a")
        self.assertEqual(self.kerv("update", "--force", "-o", "u.krv", "u.krv"),
                         (1, b"", b"kerv: u.krv: not written over: it is the archive being read\n"))

    def test_packing_reads_only_beneath_the_data_folder(self):
        os.makedirs(self.path("c/sub"))
        self.put("secret.qvd", b"secret")
        self.put("c/sub/x.qvd", b"x")
        for name, why in ((b"../secret.qvd", b"'..' leads outside the folder"),
                          (b"/etc/hostname", b"absolute name"),
                          (b"sub\\..\\..\\secret.qvd", b"'..' leads outside the folder")):
            self.put("c/s.ker", tt.scenario(files=(name, b"sub/x.qvd")))  # only the first may start with '.'

            self.assertEqual(self.kerv("create", "c/s.ker"), (1, b"", b"kerv: %s: not packed: %s\n" % (name, why)))
            self.assertFalse(os.path.exists(self.path("c/s.krv")))
        # Two names of the list that find one file would make an archive that tells them apart no more.
        self.put("c/s.ker", tt.scenario(files=(b"sub/x.qvd", b"sub\\x.qvd")))
        self.assertEqual(self.kerv("create", "c/s.ker")[::2],
                         (1, b"kerv: sub/x.qvd and sub\\x.qvd are two names of the list that find one file; "
                             b"rename one\n"))

    @tt.posix_only("pipes and a closed descriptor")
    def test_pipes_and_closed_output(self):
        packed = self.example_archive()
        text = tt.scenario(files=(b"a.qvd", b"b.qvd"), body=b"R2\r\n")
        # The scenario on standard input, a data file from a process substitution.
        r = subprocess.run(["bash", "-c", 'exec "$@" 3< <(printf piped)', "bash", *tt.program("kerv"), "update",
                            packed, "--scenario", "-", "a.qvd=/dev/fd/3"], cwd=self.dir, input=text,
                           capture_output=True)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(self.get(packed), tt.archive(b"KRV", text, [b"piped", b"B" * 20]))
        r = subprocess.run(["sh", "-c", 'exec "$@" >&-', "sh", *tt.program("kerv"), "cat", packed, "a.qvd"],
                           cwd=self.dir, stderr=subprocess.PIPE)
        self.assertEqual((r.returncode, r.stderr), (2, b"kerv: standard output: Bad file descriptor\n"))

    def test_names_that_show_as_nothing_are_bytes(self):
        names = (b"a\xa0.qvd", b"b\xfd.qvd", b"ok.qvd")
        packed = self.example_archive(names=names, blocks=(b"1", b"2", b"3"))
        status, out, _ = self.kerv("list", packed)
        self.assertEqual([line.split()[-1] for line in out.splitlines()[1:]],
                         [b"a\\xA0.qvd", b"b\\xFD.qvd", b"ok.qvd"])
        status, _, err = self.kerv("extract", "-C", "out", packed)
        self.assertEqual((status, err), (1, b"kerv: a\\xA0.qvd: not extracted: byte 0xA0 at offset 1 has no "
                                            b"character\nkerv: b\\xFD.qvd: not extracted: byte 0xFD at offset 1 "
                                            b"has no character\n"))
        self.assertEqual(self.tree("out"), ["ok.qvd", "s.ker"])

    @tt.posix_only("strace")
    @unittest.skipUnless(shutil.which("strace"), "strace is not installed")
    def test_extracted_files_are_on_stable_storage_before_they_are_named(self):
        names = [b"f%d.qvd" % i for i in range(100)]
        packed = self.example_archive(names=names, blocks=[b"x" * 100] * len(names))
        r = subprocess.run(["strace", "-f", "-e", "trace=fsync,fdatasync,linkat,renameat,renameat2", "-o",
                            self.path("trace"), *tt.program("kerv"), "extract", "-C", "out", packed],
                           cwd=self.dir, capture_output=True,  # (the leak checker cannot run under ptrace)
                           env=dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"))
        self.assertEqual(r.returncode, 0, r.stderr)
        synced, named = set(), 0
        with open(self.path("trace"), "rb") as f:
            for line in f:
                if b"fsync(" in line and b"= 0" in line:
                    synced.add(int(line.split(b"fsync(")[1].split(b")")[0]))
                link = line.split(b'linkat(AT_FDCWD, "/proc/self/fd/')
                if len(link) == 2:
                    fd = int(link[1].split(b'"')[0])
                    self.assertIn(fd, synced, line)
                    synced.discard(fd)  # a later file may get the same number
                    named += 1
        self.assertEqual(named, len(names) + 1)
        for name in names[:3]:
            self.assertEqual(self.get(b"out/" + name), b"x" * 100)


XDELTA3 = shutil.which("xdelta3")


class PatchTest(KervCase):
    """kerv diff and kerv patch, and the patches of the real xdelta3."""

    def pair(self, old_names, old_blocks, new_names, new_blocks, new_text=None, magic=b"KERV 1.2 30.5", kind=b"KRV"):
        old_text = tt.scenario(magic, files=old_names)
        self.put("old.krv", tt.archive(kind, old_text, old_blocks))
        self.put("new.krv", tt.archive(kind, new_text or tt.scenario(magic, files=new_names), new_blocks))

    def test_diff_and_patch_both_ways_with_xdelta3(self):
        big = bytes(range(256)) * 4096  # 1 MiB
        text = "".join(f"{i} line of text that repeats itself\n" for i in range(20000)).encode()
        cases = (  # old names, old blocks, new names, new blocks, what kerv diff prints
            ((b"a.qvd", b"b.qvd"), [b"A" * 100, b"B"], (b"a.qvd", b"b.qvd"), [b"A" * 100, b"B"], b""),
            ((b"door.qvd",), [b"d" * 700], (b"door.qvd",), [b"d" * 300 + b"NEW" + b"d" * 509],
             b"door.qvd: changed (700 -> 812 bytes)\n"),
            ((b"a.qvd", b"old.qvd"), [big, b"o"], (b"a.qvd", b"new.qvd"), [big[:-1] + b"!", text],
             b"scenario: changed (53 -> 53 bytes)\na.qvd: changed (1048576 -> 1048576 bytes)\nnew.qvd: added (%d bytes)"
             b"\nold.qvd: removed\n" % len(text)),
            # A block moved under another name, and a name listed twice.
            ((b"x.qvd", b"y.qvd", b"x.qvd"), [big, b"y", b"x2"], (b"z.qvd", b"x.qvd"), [big, b"x1"],
             b"scenario: changed (58 -> 51 bytes)\nz.qvd: added (1048576 bytes)\nx.qvd: changed (1048576 -> 2 bytes)\n"
             b"y.qvd: removed\nx.qvd: removed\n"),
        )
        for old_names, old_blocks, new_names, new_blocks, printed in cases:
            with self.subTest(printed=printed):
                self.pair(old_names, old_blocks, new_names, new_blocks)
                status, out, err = self.kerv("diff", "--patch", "p.vcdiff", "--force", "old.krv", "new.krv")
                self.assertEqual((status, out, err), (1 if printed else 0, printed, b""))
                patch = self.get("p.vcdiff")
                if not printed:
                    self.assertLess(len(patch), 200)
                for where, tool in (("k.krv", "kerv"), ("x.krv", "xdelta3")):
                    if tool == "xdelta3" and not XDELTA3:
                        continue
                    if os.path.exists(self.path(where)):
                        os.remove(self.path(where))
                    if tool == "kerv":
                        self.assertEqual(self.kerv("patch", "-o", where, "old.krv", "p.vcdiff"), (0, b"", b""))
                    else:
                        subprocess.run([XDELTA3, "-d", "-s", "old.krv", "p.vcdiff", where], cwd=self.dir, check=True)
                    self.assertEqual(self.get(where), self.get("new.krv"), tool)
                if XDELTA3:
                    # xdelta3's own patches, without and with its secondary compression.
                    for flags in (["-S", "none"], []):
                        subprocess.run([XDELTA3, "-e", "-f", *flags, "-s", "old.krv", "new.krv", "x.vcdiff"],
                                       cwd=self.dir, check=True)
                        if os.path.exists(self.path("o.krv")):
                            os.remove(self.path("o.krv"))
                        status, _, err = self.kerv("patch", "-o", "o.krv", "old.krv", "x.vcdiff")
                        self.assertEqual((status, err), (0, b""), flags)
                        self.assertEqual(self.get("o.krv"), self.get("new.krv"), flags)

    def test_a_patch_that_does_not_fit_writes_nothing(self):
        self.pair((b"a.qvd",), [b"A" * 5000], (b"a.qvd",), [b"A" * 2000 + b"0123456789" + b"A" * 2990])
        self.assertEqual(self.kerv("diff", "--patch", "p.vcdiff", "old.krv", "new.krv")[0], 1)
        patch = self.get("p.vcdiff")
        self.put("other.krv", tt.archive(b"KRV", tt.scenario(files=(b"a.qvd",)), [b"C" * 5000]))
        self.put("short.krv", self.get("old.krv")[:-1])
        # A damaged byte in the window's data, and the patch cut short.
        data_at = patch.index(b"0123456789")
        self.put("damaged.vcdiff", patch[:data_at] + b"X" + patch[data_at + 1:])
        self.put("cut.vcdiff", patch[:-3])
        size = len(self.get("old.krv"))
        cases = (("other.krv", "p.vcdiff", b"kerv: other.krv is not the archive this patch was made from (%s bytes as "
                                           b"expected, but other bytes); it may be another edition, or already patched\n"
                  % f"{size:,}".encode()),
                 ("short.krv", "p.vcdiff", b"kerv: short.krv is not the archive this patch was made from (%s bytes "
                                           b"expected, %s found)" % (f"{size:,}".encode(), f"{size - 1:,}".encode())),
                 ("new.krv", "p.vcdiff", b"kerv: new.krv is already patched: it is the archive this patch makes\n"),
                 ("old.krv", "damaged.vcdiff", b"kerv: damaged.vcdiff: window 0 (patch offset "),
                 ("old.krv", "cut.vcdiff", b"kerv: cut.vcdiff: window 0 (patch offset "),
                 ("old.krv", "old.krv", b"kerv: old.krv: not a VCDIFF patch"))
        for archive, patch_name, message in cases:
            with self.subTest(archive=archive, patch=patch_name):
                before = sorted(self.files())
                status, _, err = self.kerv("patch", "-o", "out.krv", archive, patch_name)
                self.assertEqual(status, 1)
                self.assertTrue(err.startswith(message), err)
                self.assertEqual(sorted(self.files()), before)
        self.assertIn(b"do not have the window's checksum", self.kerv("patch", "-o", "o.krv", "old.krv",
                                                                       "damaged.vcdiff")[2])
        # In place, as an update: one at a time, the file's bits kept; then it is patched already.
        if not tt.WINDOWS:
            os.chmod(self.path("old.krv"), 0o640)
        self.assertEqual(self.kerv("patch", "old.krv", "p.vcdiff"), (0, b"", b""))
        self.assertEqual(self.get("old.krv"), self.get("new.krv"))
        if not tt.WINDOWS:
            self.assertEqual(stat.S_IMODE(os.stat(self.path("old.krv")).st_mode), 0o640)
        self.assertEqual(self.kerv("patch", "old.krv", "p.vcdiff")[0], 1)
        # An existing patch file is refused unless --force; OLD and NEW never.
        self.assertEqual(self.kerv("diff", "--patch", "p.vcdiff", "old.krv", "new.krv"),
                         (2, b"", b"kerv: p.vcdiff: File exists (--force replaces it)\n"))
        self.assertEqual(self.kerv("diff", "--force", "--patch", "new.krv", "old.krv", "new.krv")[::2],
                         (2, b"kerv: new.krv: not written over: it is the new archive\n"))


@unittest.skipUnless(os.environ.get("KERV_PASSTHROUGH") and os.path.exists("/dev/fuse") and os.geteuid() == 0,
                     "needs the FUSE passthrough, /dev/fuse and root")
class NoUnnamedFilesTest(KervCase):
    """A folder whose file system has no O_TMPFILE (as NFS, SMB and FUSE)."""

    def setUp(self):
        super().setUp()
        os.mkdir(self.path("source"))
        os.mkdir(self.path("mnt"))
        self.fs = subprocess.Popen([os.environ["KERV_PASSTHROUGH"], self.path("source"), self.path("mnt")])
        self.addCleanup(self.stop_fs)
        self.addCleanup(subprocess.run, ["fusermount3", "-u", self.path("mnt")], capture_output=True)
        for _ in range(500):
            if os.path.ismount(self.path("mnt")):
                break
            time.sleep(0.01)
        try:
            os.close(os.open(self.path("mnt"), os.O_TMPFILE | os.O_WRONLY, 0o600))
            self.skipTest("this FUSE has unnamed files")
        except OSError:
            pass

    def stop_fs(self):
        """Waits for the file system to end once unmounted; ends it where a failed test left it mounted."""
        try:
            self.fs.wait(30)
        except subprocess.TimeoutExpired:
            self.fs.kill()
            self.fs.wait()
            subprocess.run(["fusermount3", "-u", "-z", self.path("mnt")], capture_output=True)

    def temporaries(self):
        return [n for n in os.listdir(self.path("mnt")) if b".kerv-" in n]

    def test_no_hidden_partial_file_survives(self):
        text = tt.scenario(files=(b"a.qvd",))
        old = tt.archive(b"KRV", text, [b"old"])
        self.put("mnt/s.krv", old)
        with open(self.path("mnt/big"), "wb") as f:
            f.truncate(64 << 20)
        self.assertEqual(self.kerv("update", "-q", "mnt/s.krv", "a.qvd=mnt/big"), (0, b"", b""))
        self.assertEqual((os.path.getsize(self.path("mnt/s.krv")), self.temporaries()), (len(old) + (64 << 20) - 3, []))
        for sig in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP, signal.SIGKILL):
            with self.subTest(signal=sig):
                with open(self.path("mnt/big"), "wb") as f:  # another change each time
                    f.truncate((64 << 20) + sig)
                before = self.get("mnt/s.krv")
                p = subprocess.Popen([*tt.program("kerv"), "update", "-q", "mnt/s.krv", "a.qvd=mnt/big"], cwd=self.dir)
                self.addCleanup(p.wait)
                self.addCleanup(p.kill)  # on a failure, before the folder is unmounted
                while p.poll() is None and not self.temporaries():
                    time.sleep(0.001)
                # The archive's new bytes are its owner's alone while they are written.
                modes = []
                for name in self.temporaries():
                    try:
                        modes.append(stat.S_IMODE(os.stat(os.path.join(self.path("mnt"), name)).st_mode))
                    except FileNotFoundError:
                        pass  # already in place
                self.assertEqual(set(modes) - {0o600}, set())
                p.send_signal(sig)
                p.wait()
                self.assertEqual(p.returncode, -sig)
                self.assertEqual(self.get("mnt/s.krv"), before)
                if sig == signal.SIGKILL:
                    # Nothing could remove it then; the next write into the folder does.
                    self.assertEqual(len(self.temporaries()), 1)
                    self.put("small.qvd", b"s")
                    self.assertEqual(self.kerv("update", "mnt/s.krv", "a.qvd=small.qvd"), (0, b"", b""))
                self.assertEqual(self.temporaries(), [])


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
