"""Black-box tests of krvmake, krvdiv, pkvmake, pkvdiv and kervls.

Each test runs the programs in a scratch folder and checks standard output,
standard error, the exit status and the files left on disk. KERV_BIN names
the folder that holds the programs. Windows programs (krvmake.exe and so
on) run behind the command prefix KERV_RUN (cmake/wine-run.sh); what cannot
hold on Windows is skipped there, with the reason.
"""
import os
import re
import resource
import shlex
import shutil
import signal
import struct
import subprocess
import tempfile
import unittest

BIN = os.environ.get("KERV_BIN", os.path.join(os.path.dirname(__file__), "..", "build"))
RUN = shlex.split(os.environ.get("KERV_RUN", ""))
WINDOWS = os.path.exists(os.path.join(BIN, "krvmake.exe"))
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
SEA = "海.zpt".encode("cp932")  # a Shift_JIS file name, as a file list holds it
EXISTS = os.strerror(17)


def on_disk(name):
    """A file-list name as the file's name on disk: the bytes as they stand,
    or on Windows the Unicode name (in UTF-8 on the Linux file system under wine)."""
    return name.decode("cp932").encode() if WINDOWS else name


def program(tool):
    return [*RUN, os.path.join(BIN, tool + (".exe" if WINDOWS else ""))]


def posix_only(reason):
    return unittest.skipIf(WINDOWS, f"not on Windows: {reason}")


def copy_examples(folder):
    os.makedirs(folder, exist_ok=True)
    for name in os.listdir(os.fsencode(EXAMPLES)):
        shutil.copy(os.path.join(os.fsencode(EXAMPLES), name), os.path.join(os.fsencode(folder), on_disk(name)))


def scenario(magic=b"KERV 1.2 30.5", files=(b"a.qvd",), seconds=(), wait=b"", body=b"R1 ; go\r\n"):
    lines = [magic, "春".encode("cp932"), b"." + wait, *files, b".", *seconds, b"."]
    return b"\r\n".join(lines) + b"\r\n" + body


def archive(magic, text, blocks):
    """The container as the format defines it, built independently of the tools."""
    out = magic + b"\0" * 5 + struct.pack("<H", len(text)) + text
    for block in blocks:
        out += struct.pack("<i", len(block)) + block
    return out


def limit_file_size(size):
    def apply():
        # SIGXFSZ at its default (ending the process): the tools must ignore
        # it themselves for the failed write to be reported.
        signal.signal(signal.SIGXFSZ, signal.SIG_DFL)
        resource.setrlimit(resource.RLIMIT_FSIZE, (size, size))
    return apply


class Folder(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kerv-tools-")
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, name):
        return os.path.join(os.fsencode(self.dir), name if isinstance(name, bytes) else name.encode())

    def put(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)

    def get(self, name):
        with open(self.path(name), "rb") as f:
            return f.read()

    def files(self):
        return sorted(os.listdir(os.fsencode(self.dir)))

    def pack_example(self):
        src = os.path.join(self.dir, "src")
        copy_examples(src)
        self.assertEqual(self.run_tool("krvmake", "story.ker", cwd=src)[0], 0)
        return os.path.join(src, "story.krv")

    def run_tool(self, tool, *args, cwd=None, preexec=None, env=None):
        r = subprocess.run([*program(tool), *args], cwd=cwd or self.dir, capture_output=True,
                           preexec_fn=preexec, env=env, timeout=60)
        self.assertGreaterEqual(r.returncode, 0, "ended by a signal")
        return r.returncode, r.stdout, r.stderr


class PackerTest(Folder):
    def test_usage(self):
        for tool, usage in (("krvmake", b"Usage:krvmake file.ker [file.krv]\n"),
                            ("pkvmake", b"Usage:pkvmake file.psc [file.pkv]\n")):
            for args in ((), ("a", "b", "c"), ("ab",)):
                self.assertEqual(self.run_tool(tool, *args), (255, b"", usage), args)
        self.assertEqual(self.files(), [])

    def test_packs_the_example_byte_for_byte(self):
        copy_examples(self.dir)
        text = self.get("story.ker")
        status, out, err = self.run_tool("krvmake", "story.ker")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(out, b"now creating story.krv.\nKerv version=1.2000\nwaiting time=15(sec.)\n"
                              b"now adding op.qvd size=1536\nnow adding \xb3\xa4.zpt size=2048\n"
                              b"now adding door.qvd size=700\nnow adding title.zpt size=0\ncompleted\n")
        blocks = [self.get(on_disk(n)) for n in (b"op.qvd", SEA, b"door.qvd", b"title.zpt")]
        self.assertEqual(self.get("story.krv"), archive(b"KRV", text, blocks))

    def test_archive_names(self):
        cases = (("krvmake", ["story.ker"], "story.krv"), ("pkvmake", ["story.psc"], "story.pkv"),
                 ("krvmake", ["dir/story.ker"], "dir/story.krv"), ("krvmake", ["notes"], "nokrv"),
                 ("krvmake", ["abc"], "krv"), ("krvmake", ["s.ker", "out.bin"], "out.bin"))
        for tool, args, expected in cases:
            magic = b"PKERV 1.0" if tool == "pkvmake" else b"KERV 1.0 30.0"
            self.put(args[0], scenario(magic, files=()))
            status, out, _ = self.run_tool(tool, *args)
            self.assertEqual(status, 0, args)
            self.assertTrue(out.startswith(b"now creating " + expected.encode() + b".\n"), out)
            self.assertTrue(os.path.exists(self.path(expected)), expected)

    def test_empty_list_and_repeated_names(self):
        text = scenario(files=())
        self.put("e.ker", text)
        self.assertEqual(self.run_tool("krvmake", "e.ker"),
                         (0, b"now creating e.krv.\nKerv version=1.2000\nwaiting time=32767(sec.)\ncompleted\n", b""))
        self.assertEqual(self.get("e.krv"), archive(b"KRV", text, []))
        text = scenario(files=(b"a.qvd", b"=x:a.qvd", b"z.zpt"))
        self.put("t.ker", text)
        self.put("a.qvd", b"AAA")
        self.put("z.zpt", b"")
        status, out, _ = self.run_tool("krvmake", "t.ker")
        self.assertEqual(status, 0)
        self.assertEqual(out.count(b"now adding a.qvd size=3\n"), 2)
        self.assertIn(b"now adding z.zpt size=0\n", out)
        self.assertEqual(self.get("t.krv"), archive(b"KRV", text, [b"AAA", b"AAA", b""]))

    def test_existing_archive_is_left_alone(self):
        self.put("s.ker", scenario())
        self.put("s.krv", b"precious")
        os.symlink(self.path("nowhere"), self.path("link.krv"))
        for args, name in ((["s.ker"], "s.krv"), (["s.krv"], "s.krv"), (["s.ker", "link.krv"], "link.krv")):
            self.assertEqual(self.run_tool("krvmake", *args),
                             (255, b"", f"can not create {name} : {EXISTS}\n".encode()), args)
        self.assertEqual(self.get("s.krv"), b"precious")
        self.assertFalse(os.path.exists(self.path("nowhere")))

    def test_refusals_before_the_archive_is_created(self):
        self.put("big.ker", b"KERV 1.0 30.0\r\n" + b"x" * 32753)
        self.put("ok.ker", scenario(b"KERV 1.0 30.0\r\n" + b"x" * 100, files=()))
        os.mkdir(self.path("dir.ker"))
        cases = [("missing.ker", b"Can't open missing.ker.\n"), ("dir.ker", b"Can't open dir.ker.\n"),
                 ("big.ker", b"can not pack big.ker : a scenario file holds at most 32767 bytes\n")]
        if not WINDOWS:  # Windows has no FIFOs
            os.mkfifo(self.path("fifo.ker"))  # no writer: opening it must not block
            cases.append(("fifo.ker", b"Can't open fifo.ker.\n"))
        for name, err in cases:
            self.assertEqual(self.run_tool("krvmake", name), (255, b"", err), name)
        self.assertEqual(sorted(f for f in self.files() if f.endswith(b".krv")), [])
        self.put("max.ker", b"KERV 1.0 30.0\r\n.\r\n.\r\n.\r\n".ljust(32767, b"x"))
        self.assertEqual(self.run_tool("krvmake", "max.ker")[0], 0)

    def test_missing_data_file_keeps_the_blocks_before_it(self):
        text = scenario(files=(b"a.qvd", b"gone.qvd", b"c.qvd"))
        self.put("s.ker", text)
        self.put("a.qvd", b"first")
        self.put("c.qvd", b"third")
        status, out, err = self.run_tool("krvmake", "s.ker")
        self.assertEqual((status, err), (255, b"Can't open gone.qvd.\n"))
        self.assertTrue(out.endswith(b"now adding a.qvd size=5\n"))
        self.assertEqual(self.get("s.krv"), archive(b"KRV", text, [b"first"]))

    def test_wrong_dialect_leaves_header_and_scenario(self):
        for tool, magic, message, name in (("pkvmake", b"KERV 1.0 30.0", b"This file is not for PKERV.\n", "s.pkv"),
                                           ("krvmake", b"PKERV 1.0", b"This file is not for KERV.\n", "s.krv")):
            text = scenario(magic)
            self.put("s.x", text)
            self.put("a.qvd", b"data")
            status, out, err = self.run_tool(tool, "s.x", name)
            self.assertEqual((status, out, err), (255, f"now creating {name}.\n".encode(), message))
            self.assertEqual(self.get(name), archive(name[2:].upper().encode(), text, []))

    @posix_only("a file-size limit (RLIMIT_FSIZE, SIGXFSZ)")
    def test_failed_write_is_reported(self):
        self.put("a.qvd", b"a" * 100)
        self.put("big.qvd", os.urandom(300000))
        self.put("k.qvd", b"k" * 1000)
        # The last row's limit is crossed only when the archive is closed.
        for files, limit, stdout_tail in (((b"a.qvd", b"big.qvd"), 50, b"now creating s.krv.\n"),
                                          ((b"a.qvd", b"big.qvd"), 2000, b"now adding big.qvd size=300000\n"),
                                          ((b"k.qvd",), 500, b"now adding k.qvd size=1000\n")):
            self.put("s.ker", scenario(files=files))
            if os.path.exists(self.path("s.krv")):
                os.remove(self.path("s.krv"))
            status, out, err = self.run_tool("krvmake", "s.ker", preexec=limit_file_size(limit))
            self.assertEqual(status, 255)
            self.assertTrue(out.endswith(stdout_tail), out)
            self.assertEqual(err, f"can not write to s.krv : {os.strerror(27)}\ns.krv may be broken.\n".encode())

    def test_scenario_cut_short_anywhere(self):
        text = scenario(b"KERV 1.05 45.07", files=(b"=x:a.qvd", b"b.qvd"), seconds=(b"s",), wait=b"9")
        self.put("a.qvd", b"A")
        self.put("b.qvd", b"B")
        for n in range(len(text) + 1):
            self.put("s.ker", text[:n])
            status, _, err = self.run_tool("krvmake", "s.ker", f"{n}.krv")
            allowed = (b"", b"This file is not for KERV.\n", b"Can't open a.q.\n", b"Can't open b.q.\n",
                       b"Can't open a.qv.\n", b"Can't open b.qv.\n")
            self.assertIn(err, allowed, n)
            self.assertEqual(status, 0 if err == b"" else 255, n)

    def test_files_of_2_gib_are_refused(self):
        text = scenario(files=(b"a.qvd", b"huge.qvd"))
        self.put("s.ker", text)
        self.put("a.qvd", b"a")
        with open(self.path("huge.qvd"), "wb") as f:
            f.truncate(2 ** 31)  # sparse: takes no disk space
        self.assertEqual(self.run_tool("krvmake", "s.ker")[::2], (255, b"Can't open huge.qvd.\n"))
        self.assertEqual(self.get("s.krv"), archive(b"KRV", text, [b"a"]))
        os.rename(self.path("huge.qvd"), self.path("huge.krv"))
        self.assertEqual(self.run_tool("krvdiv", "huge.krv"), (255, b"", b"Can't open huge.krv.\n"))

    def test_archive_in_a_missing_folder(self):
        self.put("s.ker", scenario(files=()))
        self.assertEqual(self.run_tool("krvmake", "s.ker", "nodir/s.krv"),
                         (255, b"", f"can not create nodir/s.krv : {os.strerror(2)}\n".encode()))

    def test_lines_that_end_in_lf_alone_are_warned_of(self):
        warning = (b"warning: %s has lines that end in LF alone; a scenario needs CR LF line ends, "
                   b"so its header and file list may not have been found.\n")
        cases = (("krvmake", "lf.ker", b"KERV 1.0 2.0\nTitle\n.20\nbgm.qvd\n.\n.\nR1\n", b"Kerv", True),
                 ("pkvmake", "lf.psc", b"PKERV 1.0\r\nTitle\n.20\r\n.\r\n.\r\nR1\n", b"P-Kerv", True),
                 ("krvmake", "body.ker", scenario(files=(), body=b"R1\nR2\n"), b"Kerv", False))
        for tool, name, text, label, warned in cases:
            self.put(name, text)
            status, out, err = self.run_tool(tool, name)
            self.assertEqual((status, err), (0, warning % name.encode() if warned else b""), name)
            self.assertTrue(out.endswith(b"completed\n") and label + b" version=1." in out, out)

    @posix_only("closed standard descriptors")
    def test_closed_standard_streams_stay_out_of_the_files(self):
        text = scenario(files=(b"a.qvd", b"gone.qvd"))
        self.put("s.ker", text)
        self.put("a.qvd", b"first")
        for closed, status in ((1, 255), (2, 255), (0, 255)):
            status_seen = self.run_tool("krvmake", "s.ker", preexec=lambda fd=closed: os.close(fd))[0]
            self.assertEqual(status_seen, status, closed)
            self.assertEqual(self.get("s.krv"), archive(b"KRV", text, [b"first"]), closed)
            os.remove(self.path("s.krv"))
        self.put("s.krv", archive(b"KRV", text, [b"first", b"second"]))
        os.mkdir(self.path("out"))
        status = self.run_tool("krvdiv", "../s.krv", "s.ker", cwd=self.path("out"), preexec=lambda: os.close(1))[0]
        self.assertEqual((status, self.get("out/s.ker"), self.get("out/gone.qvd")), (0, text, b"second"))

    @posix_only("permission bits")
    def test_mode_follows_the_umask(self):
        self.put("s.ker", scenario(files=()))
        for mask, name in ((0o002, "a.krv"), (0o027, "b.krv")):
            self.run_tool("krvmake", "s.ker", name, preexec=lambda m=mask: os.umask(m))
            self.assertEqual(os.stat(self.path(name)).st_mode & 0o777, 0o664 & ~mask)



class DividerTest(Folder):

    def test_usage_and_broken_archives(self):
        self.put("five.krv", b"KRV\0\0")
        self.put("odd.krv", b"KRV\1\2\3\4\5" + b"\xff\xff")
        self.put("p.pkv", b"PKV\0\0\0\0\0\0\0")
        cases = (("krvdiv", (), b"Usage:krvdiv file.krv [file.ker]\n"),
                 ("pkvdiv", ("a", "b", "c"), b"Usage:pkvdiv file.pkv [file.psc]\n"),
                 ("krvdiv", ("ab",), b"Usage:krvdiv file.krv [file.ker]\n"),
                 ("krvdiv", ("none.krv",), b"Can't open none.krv.\n"),
                 ("krvdiv", ("five.krv",), b"Unexpected end of file.\n"),
                 ("pkvdiv", ("odd.krv",), b"this file is not for P-KERV.\nIs file broken?\n"),
                 ("krvdiv", ("p.pkv",), b"this file is not for KERV.\nIs file broken?\n"))
        for tool, args, err in cases:
            self.assertEqual(self.run_tool(tool, *args), (255, b"", err), args)
        # Bytes 3 to 7 are not examined: odd.krv gets as far as its scenario.
        self.assertEqual(self.run_tool("krvdiv", "odd.krv"),
                         (255, b"now creating scenario file.:odd.ker\n", b"Unexpected end of file.\n"))
        self.assertEqual(self.files(), [b"five.krv", b"odd.krv", b"p.pkv"])

    def test_round_trip_and_second_run(self):
        packed = self.pack_example()
        os.mkdir(self.path("out"))
        out_dir = os.path.join(self.dir, "out")
        status, out, err = self.run_tool("krvdiv", packed, "story.ker", cwd=out_dir)
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(out, b"now creating scenario file.:story.ker\nKerv version=1.2000\nwaiting time=15(sec.)\n"
                              b"now creating data(.qvd or .zpt).\ncreating \"op.qvd\".\ncreating \"\xb3\xa4.zpt\".\n"
                              b"creating \"door.qvd\".\ncreating \"title.zpt\".\n")
        names = {on_disk(n): n for n in os.listdir(os.fsencode(EXAMPLES)) if not n.endswith(b".sh")}
        self.assertEqual(sorted(os.listdir(os.fsencode(out_dir))), sorted(names))
        self.assertEqual(len(names), 5)
        for name, source in names.items():
            with open(os.path.join(os.fsencode(out_dir), name), "rb") as a, \
                 open(os.path.join(os.fsencode(EXAMPLES), source), "rb") as b:
                self.assertEqual(a.read(), b.read(), name)
        before = {n: os.stat(os.path.join(os.fsencode(out_dir), n)).st_mtime_ns for n in names}
        status, again, err = self.run_tool("krvdiv", packed, "story.ker", cwd=out_dir)
        self.assertEqual((status, again), (0, out))
        self.assertEqual(err, b"".join(b"can not create " + n + b" : " + EXISTS.encode() + b"\n"
                                       for n in (b"story.ker", b"op.qvd", SEA, b"door.qvd", b"title.zpt")))
        self.assertEqual(before, {n: os.stat(os.path.join(os.fsencode(out_dir), n)).st_mtime_ns for n in names})

    def test_default_scenario_name_keeps_the_archive_folder(self):
        text = scenario(files=(b"d.qvd",))
        self.put("sub/a.krv", archive(b"KRV", text, [b"dd"]))
        status, out, _ = self.run_tool("krvdiv", "sub/a.krv")
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(b"now creating scenario file.:sub/a.ker\n"))
        self.assertEqual((self.get("sub/a.ker"), self.get("d.qvd")), (text, b"dd"))

    def test_files_that_cannot_be_created_are_skipped_in_step(self):
        # Divided in work/, so that even a regression creates "../up.qvd" and
        # the absolute name inside this test's folder.
        absolute = os.path.join(os.fsencode(self.dir), b"abs.qvd")
        # Only the first entry may begin with '.': a later one would end the list.
        text = scenario(files=(b"../up.qvd", b"a.qvd", b"a.qvd", b"sub/../../x.qvd", absolute,
                               b"nodir/n.qvd", b"link.qvd", b"b.zpt"))
        blocks = [b"up", b"one", b"two", b"x", b"abs", b"n", b"l", b"last"]
        self.put("work/s.krv", archive(b"KRV", text, blocks))
        os.symlink(self.path("target"), self.path("work/link.qvd"))
        status, out, err = self.run_tool("krvdiv", "s.krv", "s.krv", cwd=os.path.join(self.dir, "work"))
        self.assertEqual(status, 0)
        outside = "name leads outside the current directory"
        self.assertEqual(err.decode().splitlines(), [
            f"can not create s.krv : {EXISTS}", f"can not create ../up.qvd : {outside}",
            f"can not create a.qvd : {EXISTS}", f"can not create sub/../../x.qvd : {outside}",
            f"can not create {absolute.decode()} : {outside}", f"can not create nodir/n.qvd : {os.strerror(2)}",
            f"can not create link.qvd : {EXISTS}"])
        self.assertEqual(out.count(b"creating \""), 8)
        self.assertEqual((self.get("work/a.qvd"), self.get("work/b.zpt")), (b"one", b"last"))
        self.assertEqual(self.files(), [b"work"])
        self.assertEqual(sorted(os.listdir(self.path("work"))), [b"a.qvd", b"b.zpt", b"link.qvd", b"s.krv"])

    def test_archive_ends_or_lies_about_a_block(self):
        text = scenario(files=(b"a.qvd", b"b.qvd"))
        cases = ((archive(b"KRV", text, [b"aa"]), b"Unexpected end of file.\n"),
                 (archive(b"KRV", text, [b"aa"]) + struct.pack("<i", 10) + b"short", b"Unexpected end of file.\n"),
                 (archive(b"KRV", text, [b"aa"]) + struct.pack("<I", 0x80000001) + b"x", b"bad block size for b.qvd.\nIs file broken?\n"))
        for data, err in cases:
            for name in self.files():
                os.remove(self.path(name))
            self.put("s.krv", data)
            status, out, e = self.run_tool("krvdiv", "s.krv")
            self.assertEqual((status, e), (255, err))
            self.assertTrue(out.endswith(b"creating \"a.qvd\".\ncreating \"b.qvd\".\n"), out)
            self.assertEqual(self.files(), [b"a.qvd", b"s.ker", b"s.krv"])

    def test_cut_short_at_every_offset(self):
        text = scenario(files=(b"a.qvd", b"b.qvd"), body=b"")
        full = archive(b"KRV", text, [b"abc", b""])
        for n in range(len(full)):
            work = os.path.join(self.dir, str(n))
            os.mkdir(work)
            with open(os.path.join(work, "s.krv"), "wb") as f:
                f.write(full[:n])
            status, _, err = self.run_tool("krvdiv", "s.krv", cwd=work)
            self.assertEqual((status, err), (255, b"Unexpected end of file.\n"), n)
        self.put("whole.krv", full)
        self.assertEqual(self.run_tool("krvdiv", "whole.krv")[0], 0)

    def test_empty_list_and_extra_bytes(self):
        for files, blocks in (((), []), ((b"a.qvd",), [b"aa"])):
            self.put("s.krv", archive(b"KRV", scenario(files=files), blocks) + b"trailing junk")
            status, out, err = self.run_tool("krvdiv", "s.krv", "s.ker")
            self.assertEqual((status, err), (0, b""))
            self.assertTrue(out.endswith(b"now creating data(.qvd or .zpt).\n" + b"".join(
                b"creating \"" + f + b"\".\n" for f in files)))
            os.remove(self.path("s.ker"))

    def test_scenario_of_the_wrong_dialect(self):
        text = scenario(b"PKERV 1.0")
        self.put("s.krv", archive(b"KRV", text, [b"aa"]))
        self.assertEqual(self.run_tool("krvdiv", "s.krv"),
                         (255, b"now creating scenario file.:s.ker\n", b"This file is not for KERV.\n"))
        self.assertEqual(self.get("s.ker"), text)
        self.assertEqual(self.files(), [b"s.ker", b"s.krv"])

    @posix_only("a file-size limit (RLIMIT_FSIZE, SIGXFSZ)")
    def test_failed_data_write_is_reported_and_the_run_goes_on(self):
        text = scenario(files=(b"big.qvd", b"small.qvd"))
        for size, limit in ((5000, 1000), (600000, 100000)):  # through memory, and through the kernel
            self.put("s.krv", archive(b"KRV", text, [b"x" * size, b"ok"]))
            status, out, err = self.run_tool("krvdiv", "s.krv", preexec=limit_file_size(limit))
            self.assertEqual(status, 0)
            self.assertEqual(err, f"can not write to big.qvd : {os.strerror(27)}\nbig.qvd may be broken.\n".encode())
            self.assertEqual((len(self.get("big.qvd")), self.get("small.qvd")), (limit, b"ok"))
            for name in (b"s.ker", b"big.qvd", b"small.qvd"):
                os.remove(self.path(name))


class PKervTest(Folder):
    def test_round_trip(self):
        text = scenario(b"PKERV 2.25 300 15", files=(b"=x:a.qvd", SEA), wait=b"20")
        self.put("s.psc", text)
        self.put("a.qvd", b"\0\1\2")
        self.put(on_disk(SEA), b"")
        status, out, err = self.run_tool("pkvmake", "s.psc")
        self.assertEqual((status, err), (0, b""))
        self.assertEqual(out, b"now creating s.pkv.\nP-Kerv version=2.2500\nwaiting time=20(sec.)\n"
                              b"now adding a.qvd size=3\nnow adding \xb3\xa4.zpt size=0\ncompleted\n")
        self.assertEqual(self.get("s.pkv"), archive(b"PKV", text, [b"\0\1\2", b""]))
        os.mkdir(self.path("out"))
        status, out, err = self.run_tool("pkvdiv", "../s.pkv", "s.psc", cwd=os.path.join(self.dir, "out"))
        self.assertEqual((status, err), (0, b""))
        self.assertTrue(out.startswith(b"now creating scenario file.:s.psc\nP-Kerv version=2.2500\n"))
        self.assertEqual(self.get("out/s.psc"), text)
        self.assertEqual(self.get("out/a.qvd"), b"\0\1\2")
        self.assertEqual(self.get(b"out/" + on_disk(SEA)), b"")

    def test_each_dialect_rejects_the_other(self):
        for tool, magic, message in (("pkvdiv", b"KERV 1.0 30.0", b"This file is not for PKERV.\n"),
                                     ("pkvdiv", b"PKERX 1.0", b"This file is not for PKERV.\n"),
                                     ("krvdiv", b"PKERV 1.0", b"This file is not for KERV.\n")):
            archive_magic = b"PKV" if tool == "pkvdiv" else b"KRV"
            self.put("s.bin", archive(archive_magic, scenario(magic), [b"a"]))
            status, _, err = self.run_tool(tool, "s.bin", "out.txt")
            self.assertEqual((status, err), (255, message))
            self.assertFalse(os.path.exists(self.path("a.qvd")))
            os.remove(self.path("out.txt"))


@unittest.skipUnless(WINDOWS, "the Windows build's names")
class WindowsNamesTest(Folder):
    def test_unsafe_names_are_refused_and_the_rest_created_by_their_unicode_names(self):
        # Only the first entry may begin with '.': a later one would end the list.
        unsafe = (b"..\\up.qvd", b"\\x.qvd", b"/x.qvd", b"C:\\x.qvd", b"C:x.qvd", b"\\\\server\\share\\x.qvd",
                  b"\\\\?\\C:\\x.qvd", b"\\\\.\\x.qvd", b"sub\\..\\..\\x.qvd", b"sub/../../x.qvd",
                  b"a.qvd:hidden", b"CON", b"nul.qvd", b"Com1.zpt", b"LPT9", b"CONIN$", b"conout$.txt",
                  b"sub\\aux", b"a.", b"a ")
        table, so, able = "表.zpt".encode("cp932"), "ソ.qvd".encode("cp932"), "能.qvd".encode("cp932")
        self.assertEqual([n[1:2] for n in (table, so, able)], [b"\\"] * 3)  # 0x5C, second byte of each
        safe = ((table, b"table"), (so, b"so"), (able, b"able"), (SEA, b"sea"), (b"sub\\y.qvd", b"y"),
                (b"sub/z.qvd", b"z"), ("ソcon.qvd".encode("cp932"), b"socon"))
        bad = b"\x81 .qvd"  # a lead byte before a blank: no character of code page 932
        names = (*unsafe, bad, *(n for n, _ in safe))
        os.makedirs(self.path("work/sub"))
        self.put("work/s.krv", archive(b"KRV", scenario(files=names), [b"u"] * len(unsafe) + [b"bad"] +
                                       [data for _, data in safe]))
        status, out, err = self.run_tool("krvdiv", "s.krv", cwd=self.path("work"))
        self.assertEqual(status, 0)
        self.assertEqual(out.count(b'creating "'), len(names))
        self.assertEqual(err.splitlines()[:-1], [b"can not create %s : name leads outside the current directory" % n
                                                 for n in unsafe])
        self.assertRegex(err.splitlines()[-1], b"^can not create %s : .+$" % re.escape(bad))  # the system's text for EILSEQ
        self.assertEqual(self.files(), [b"work"])
        self.assertEqual(sorted(os.listdir(self.path("work"))),
                         sorted([b"s.krv", b"s.ker", b"sub", *(on_disk(n) for n, _ in safe if b"sub" not in n)]))
        self.assertEqual(sorted(os.listdir(self.path("work/sub"))), [b"y.qvd", b"z.qvd"])
        for name, data in safe:
            self.assertEqual(self.get(b"work/" + on_disk(name.replace(b"\\", b"/") if name.startswith(b"sub")
                                                      else name)), data, name)

    def test_names_that_do_not_convert_and_names_from_the_command_line(self):
        bad = b"\x81 .qvd"
        self.put("s.ker", scenario(files=(bad,)))
        self.assertEqual(self.run_tool("krvmake", "s.ker")[::2], (255, b"Can't open %s.\n" % bad))
        # Any character on the command line, beyond any code page.
        self.put("s.ker", scenario(files=()))
        self.assertEqual(self.run_tool("krvmake", "s.ker", "海ü😀.krv")[0], 0)
        self.assertEqual(self.run_tool("krvdiv", "海ü😀.krv", "ü😀.ker")[0], 0)
        self.assertEqual(self.get("ü😀.ker"), self.get("s.ker"))


class ListerTest(Folder):
    def kervls(self, *args, charset="C"):
        return self.run_tool("kervls", *args, env=dict(os.environ, LC_ALL=charset))

    def test_lists_names_in_the_terminals_character_set(self):
        packed = os.path.relpath(self.pack_example(), self.dir)
        # A lead byte before a byte that cannot follow it shows as \xNN; the
        # next byte keeps its own meaning (here a control character, then '.').
        odd = scenario(b"PKERV 1.0", files=(b"a\x80\x1b.qvd", b"b\x81\x1b\x81.qvd"))
        self.put("odd.pkv", archive(b"PKV", odd, [b"xy", b"z"]))
        # Windows writes UTF-8 into a pipe, whatever the locale.
        for charset, sea in (("C", "海".encode() if WINDOWS else b"\xb3\xa4"), ("C.UTF-8", "海".encode())):
            self.assertEqual(self.kervls(packed, "odd.pkv", charset=charset), (0, (
                packed.encode() + b": KERV archive, version 1.2000, waiting time 15 s, 4 data files\n"
                b"1536  205  op.qvd\n2048 1745  " + sea + b".zpt\n 700 3797  door.qvd\n   0 4501  title.zpt\n"
                b"odd.pkv: P-KERV archive, version 1.0, waiting time 32767 s, 2 data files\n"
                b"2 %d  a\\x80\\x1B.qvd\n1 %d  b\\x81\\x1B\\x81.qvd\n" % (10 + len(odd) + 4, 10 + len(odd) + 10)),
                b""), charset)

    def test_findings_and_exit_status(self):
        # What the findings say is the reader's; here: their lines, and the status.
        text = scenario(files=(b"a.qvd", b"b.qvd"))
        end = 10 + len(text) + 6  # after the first block, "aa"
        cases = (("sound.krv", archive(b"KRV", text, [b"aa", b"b"]), 0, b""),
                 ("top.krv", archive(b"KRV", text, [b"aa"]) + struct.pack("<I", 0x80000001), 1,
                  b"offset %d: data block 2 has a bad size, 2147483649 (its top bit is set)\n"
                  b"kervls: top.krv: b.qvd: no block (data block 2 has a bad size)" % end),
                 ("none.krv", b"PK\3\4 a zip file", 1, b"not a KERV or P-KERV archive: it does not start with KRV or PKV"),
                 ("missing.krv", None, 2, b"No such file or directory"),
                 ("folder.krv", "folder", 2, b"Is a directory"))
        for name, data, status, finding in cases:
            if data == "folder":
                os.mkdir(self.path(name))
            elif data is not None:
                self.put(name, data)
            self.assertEqual(self.kervls(name)[::2], (status, b"kervls: %s: %s\n" % (name.encode(), finding)
                                                      if finding else b""), name)
        status, out, err = self.kervls(*(c[0] for c in cases))
        self.assertEqual((status, out.count(b" archive, version "), len(err.splitlines())), (2, 2, 5))
        for n in range(len(cases[0][1])):  # cut anywhere: a finding, never a crash
            self.put("cut.krv", cases[0][1][:n])
            status, _, err = self.kervls("cut.krv")
            lines = err.splitlines()
            self.assertEqual(status, 1, n)
            self.assertTrue(all(line.startswith(b"kervls: cut.krv: ") for line in lines), err)
            # One finding, then each listed file that lost its block, by name.
            self.assertEqual([line.split(b": ")[2] for line in lines[1:]], [b"a.qvd", b"b.qvd"][3 - len(lines):], err)

    def test_options(self):
        status, out, _ = self.kervls("--help")
        self.assertEqual((status, out.splitlines()[0]), (0, b"Usage: kervls [OPTION]... ARCHIVE..."))
        status, out, _ = self.kervls("--version")
        self.assertEqual((status, out.splitlines()[0]), (0, b"kervls (KERV archive tools) 1.0.0"))
        # Standard output on a full disk: the listing is lost, and the status says so.
        packed = self.pack_example()
        with open("/dev/full", "wb") as full:
            r = subprocess.run([*program("kervls"), packed], stdout=full, stderr=subprocess.PIPE, timeout=60)
        self.assertEqual((r.returncode, r.stderr), (2, f"kervls: write error: {os.strerror(28)}\n".encode()))
        for args in ((), ("--bogus", "x.krv"), ("-l",)):
            status, out, err = self.kervls(*args)
            self.assertEqual((status, out), (2, b""), args)
            self.assertTrue(err.endswith(b"\nTry 'kervls --help' for more information.\n"), err)


if __name__ == "__main__":
    unittest.main()
