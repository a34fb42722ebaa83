"""Black-box tests of what kerv's writes keep and leave behind: ACLs,
attributes, owners and bits of what they replace, only regular files
replaced, the lock whatever the archive may be opened for, the sweep of
temporaries, kills, folders on stable storage, and writes that change
nothing. Linux only (permission bits, ACLs, signals); run like kerv_test.
"""
import os
import shutil
import signal
import stat
import subprocess
import sys
import time
import unittest

import kerv_test as kt
import tools_test as tt

HAS_ACL_TOOLS = shutil.which("setfacl") and shutil.which("getfacl") and shutil.which("setfattr")


def acl_and_attributes(path):
    acl = subprocess.run(["getfacl", "-c", "-n", path], capture_output=True, check=True).stdout
    attributes = subprocess.run(["getfattr", "-d", "-m", "user\\.", "--absolute-names", path],
                                capture_output=True, check=True).stdout.splitlines()[1:]
    return acl, attributes, stat.S_IMODE(os.lstat(path).st_mode)


def holds_lock(path):
    """Whether a process holds a lock on the file at `path`, as /proc/locks lists them."""
    inode = str(os.stat(path).st_ino)  # "MAJOR:MINOR:INODE" there; the device as the kernel numbers it
    with open("/proc/locks") as f:
        return any(fields[5].rsplit(":", 1)[-1] == inode for fields in map(str.split, f) if len(fields) > 5)


@unittest.skipIf(sys.platform == "win32" or os.environ.get("KERV_RUN"), "Linux's files, run natively")
class WritesTest(kt.KervCase):
    def archive(self, name="s.krv", blocks=(b"A" * 10, b"B" * 20)):
        self.put(name, tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), list(blocks)))
        return name

    @unittest.skipUnless(HAS_ACL_TOOLS, "needs acl and attr")
    def test_a_replaced_file_keeps_its_acl_and_attributes(self):
        self.archive("old.krv")
        self.archive("new.krv", blocks=(b"A" * 10, b"C" * 20))
        self.put("c.qvd", b"C" * 20)
        self.assertEqual(self.kerv("diff", "--patch", "p.vcdiff", "old.krv", "new.krv")[0], 1)
        self.put("d/b.qvd", b"D" * 20)
        self.put("d/s.ker", tt.scenario(files=(b"a.qvd", b"b.qvd")))
        self.put("d/a.qvd", b"A" * 10)
        ways = (  # what replaces the file s.krv
            ("update in place", ("update", "s.krv", "b.qvd=c.qvd")),
            ("patch in place", ("patch", "s.krv", "p.vcdiff")),
            ("create --force", ("create", "--force", "d/s.ker", "s.krv")),
            ("update -o --force", ("update", "-o", "s.krv", "--force", "new.krv", "b.qvd=d/b.qvd")),
        )
        for what, args in ways:
            with self.subTest(what):
                self.archive()
                os.chmod(self.path("s.krv"), 0o640)
                subprocess.run(["setfacl", "-m", "u:104:r--", self.path("s.krv")], check=True)
                subprocess.run(["setfattr", "-n", "user.x", "-v", "1", self.path("s.krv")], check=True)
                before = acl_and_attributes(self.path("s.krv"))
                old = self.get("s.krv")
                status, _, err = self.kerv(*args)
                self.assertEqual((status, err), (0, b""))
                self.assertNotEqual(self.get("s.krv"), old)
                self.assertEqual(acl_and_attributes(self.path("s.krv")), before)
                self.assertIn(b"user:104:r--", before[0])

    def test_force_replaces_regular_files_only_and_keeps_their_owner_and_bits(self):
        self.archive("old.krv")
        self.archive("new.krv", blocks=(b"A" * 10, b"C" * 20))
        self.put("d/s.ker", tt.scenario(files=(b"a.qvd", b"b.qvd")))
        self.put("d/a.qvd", b"A")
        self.put("d/b.qvd", b"B")
        os.mkfifo(self.path("fifo"))
        os.symlink("old.krv", self.path("link"))
        os.mkdir(self.path("folder"))
        for target in ("fifo", "link", "folder"):
            for args in (("diff", "--force", "--patch", target, "old.krv", "new.krv"),
                         ("create", "--force", "d/s.ker", target),
                         ("update", "--force", "-o", target, "old.krv")):
                with self.subTest(target=target, command=args[0]):
                    status, _, err = self.kerv(*args)
                    self.assertEqual(status, 2 if args[0] == "diff" else 1, err)  # diff's 1 means "they differ"
                    self.assertIn(b"kerv: " + target.encode() + b": not written: ", err)
                    self.assertNotIn(b"--force", err)
        self.assertTrue(stat.S_ISFIFO(os.lstat(self.path("fifo")).st_mode))
        self.assertEqual(os.readlink(self.path("link")), b"old.krv")
        # A regular file replaced with --force keeps its bits, owner and group.
        for args in (("create", "--force", "d/s.ker", "out.krv"), ("update", "-o", "out.krv", "--force", "old.krv",
                                                                     "b.qvd=d/b.qvd")):
            with self.subTest(command=args[0]):
                self.put("out.krv", b"the user's")
                os.chmod(self.path("out.krv"), 0o600)
                owner = (1000, 1000) if os.geteuid() == 0 else (os.geteuid(), os.getegid())
                os.chown(self.path("out.krv"), *owner)
                self.assertEqual(self.kerv(*args), (0, b"", b""))
                st = os.lstat(self.path("out.krv"))
                self.assertEqual((stat.S_IMODE(st.st_mode), st.st_uid, st.st_gid), (0o600, *owner))
                self.assertNotEqual(self.get("out.krv"), b"the user's")

    def test_a_write_that_changes_nothing_writes_nothing(self):
        packed = self.archive()
        self.archive("same.krv")
        self.put("same.qvd", b"B" * 20)
        self.assertEqual(self.kerv("diff", "--patch", "p.vcdiff", "same.krv", packed)[0], 0)
        for args in (("update", packed, "b.qvd=same.qvd"), ("patch", packed, "p.vcdiff")):
            with self.subTest(args[0]):
                before = kt.identity(self.path(packed))
                status, _, err = self.kerv(*args)
                self.assertEqual(status, 0)
                self.assertIn(b"nothing to change", err)
                self.assertEqual(kt.identity(self.path(packed)), before)

    @unittest.skipUnless(os.geteuid() == 0, "needs root, to be another user")
    def test_an_archive_this_user_may_not_write_is_read_only_and_still_locked(self):
        os.chmod(self.dir, 0o777)
        packed = self.archive()
        os.chmod(self.path(packed), 0o644)  # root's, in a folder anyone may write
        self.put("new.qvd", b"N" * 20)
        os.chmod(self.path("new.qvd"), 0o644)

        def nobody():
            os.setgid(65534)
            os.setuid(65534)

        self.assertEqual(self.kerv("update", packed, "b.qvd=new.qvd", preexec=nobody),
                         (1, b"", b"kerv: s.krv: the archive is read-only (--force replaces it)\n"))
        # With --force, one update at a time all the same: the first holds the
        # archive while it reads a data file from its standard input.
        first = subprocess.Popen([*tt.program("kerv"), "update", "--force", packed, "a.qvd=-"], cwd=self.dir,
                                 stdin=subprocess.PIPE, stderr=subprocess.PIPE, preexec_fn=nobody)
        running = (1, b"", b"kerv: s.krv: another update of this archive is running\n")
        # Once the first holds its lock (the kernel lists it), a second is turned away.
        # Watched, not tried: a try would hold the lock itself a moment and could turn
        # the first away.
        deadline = time.monotonic() + 60
        while not holds_lock(self.path(packed)) and first.poll() is None and time.monotonic() < deadline:
            time.sleep(0.01)
        seen = self.kerv("update", "--force", packed, "b.qvd=new.qvd", preexec=nobody) == running
        _, err = first.communicate(b"first")
        self.assertTrue(seen, "the second update never found the first one's lock")
        self.assertEqual((first.returncode, err),
                         (0, b"kerv: s.krv: its owner and group could not be kept (Operation not permitted)\n"))
        self.assertEqual(self.kerv("cat", packed, "a.qvd"), (0, b"first", b""))

    def test_a_killed_update_leaves_at_most_what_the_next_write_removes(self):
        self.put("s.krv", tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"a" * 2**23, b"b"]))
        self.put("big", os.urandom(2**24))
        self.put("small", b"s")
        before = self.get("s.krv")
        after = tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"a" * 2**23, self.get("big")])
        for delay in (0.0, 0.005, 0.01, 0.02, 0.05, 0.1):
            p = subprocess.Popen([*tt.program("kerv"), "update", "s.krv", "b.qvd=big"], cwd=self.dir)
            time.sleep(delay)
            p.send_signal(signal.SIGKILL)
            p.wait()
            self.assertIn(self.get("s.krv"), (before, after), delay)
            # A kill may leave the new or the old archive under the hidden name
            # of that update, and nothing else.
            left = [n for n in self.files() if n not in (b"big", b"small", b"s.krv")]
            self.assertLessEqual(len(left), 1, left)
            for name in left:
                self.assertRegex(name, rb"^\.s\.krv\.kerv-%d-[0-9]+$" % p.pid)
            # The next write of the archive removes it.
            current = self.get("s.krv")
            self.assertEqual(self.kerv("update", "s.krv", "b.qvd=small")[0], 0)
            self.assertEqual(self.files(), [b"big", b"s.krv", b"small"], delay)
            self.put("s.krv", current)

    def test_the_sweep_leaves_what_is_not_its_own(self):
        child = subprocess.Popen(["true"])
        child.wait()
        dead = child.pid
        packed = self.archive()
        self.put("new.qvd", b"N")
        with open("/proc/sys/kernel/pid_max") as f:
            largest = int(f.read())
        mine = b".s.krv.kerv-%d-0" % dead
        kept = [b".s.krv.kerv-%d-1" % (largest + 1), b".s.krv.kerv-0%d-1" % dead, b".t.krv.kerv-%d-0" % dead,
                b"..kerv-%d-0" % dead, b".story.kerv-20240601-1"]
        for name in [mine, *kept]:
            self.put(name, b"x")
        if os.geteuid() == 0:
            kept.append(b".s.krv.kerv-%d-2" % dead)
            self.put(kept[-1], b"another user's")
            os.chown(self.path(kept[-1]), 1000, 1000)
            os.chmod(self.path(kept[-1]), 0o600)
        # In a folder beneath the one named, only the file written there is looked at.
        self.put("out/c/.g.qvd.kerv-%d-0" % dead, b"x")
        self.put("out/c/.other.kerv-%d-0" % dead, b"x")
        self.put("g.krv", tt.archive(b"KRV", tt.scenario(files=(b"c/g.qvd", b"h.qvd")), [b"g", b"h"]))
        self.assertEqual(self.kerv("update", packed, "b.qvd=new.qvd"), (0, b"", b""))
        self.assertEqual(self.kerv("extract", "-C", "out", "g.krv", "c/g.qvd"), (0, b"", b""))
        self.assertFalse(os.path.exists(self.path(mine)))
        for name in kept:
            self.assertTrue(os.path.exists(self.path(name)), name)
        self.assertEqual(sorted(os.listdir(self.path("out/c"))), [b".other.kerv-%d-0" % dead, b"g.qvd"])

    @unittest.skipUnless(shutil.which("strace"), "needs strace")
    def test_every_folder_extraction_makes_is_on_stable_storage_in_its_parent(self):
        self.put("g.krv", tt.archive(b"KRV", tt.scenario(files=(b"a/b/c.qvd", b"a/d.qvd")), [b"c", b"d"]))
        r = subprocess.run(["strace", "-f", "-y", "-e", "trace=mkdir,mkdirat,fsync", "-o", self.path("trace"),
                            *tt.program("kerv"), "extract", "-C", "x/y", "g.krv"], cwd=self.dir, capture_output=True,
                           env=dict(os.environ, ASAN_OPTIONS=os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"))
        self.assertEqual(r.returncode, 0, r.stderr)
        made, synced = [], set()
        real = os.path.realpath(self.dir).encode()
        with open(self.path("trace"), "rb") as f:
            for line in f:
                if b"= 0" not in line:
                    continue
                if b"mkdirat(" in line:  # mkdirat(4</tmp/x/out>, "b", 0777) = 0
                    made.append(line.split(b"<", 1)[1].split(b">", 1)[0])
                elif b"mkdir(" in line:  # mkdir("x/y", 0777) = 0
                    path = line.split(b'"')[1]
                    made.append(os.path.dirname(os.path.join(real, path)))
                elif b"fsync(" in line:
                    synced.add(line.split(b"<", 1)[1].split(b">", 1)[0])
        self.assertEqual(len(made), 4, made)  # x, x/y, x/y/a, x/y/a/b
        for parent in made:
            self.assertIn(parent, synced)

    def test_scenarios_whose_header_lines_end_in_cr_alone_are_refused(self):
        text = b"KERV 1.2 30.5\r\ntitle\r\n.15\rop.qvd\r\n.\r\n.\r\n"
        self.put("cr.ker", text)
        self.put("op.qvd", b"op")
        packed = self.archive()
        before = self.get(packed)
        message = b"kerv: cr.ker:3: the line ends in CR alone; save the scenario with CR LF line ends"
        self.assertEqual(self.kerv("create", "cr.ker", "new.krv"), (1, b"", message + b"\n"))
        self.assertEqual(self.kerv("update", packed, "--scenario", "cr.ker"),
                         (1, b"", message + b", or use --scenario-text\n"))
        self.assertEqual(self.get(packed), before)
        self.assertFalse(os.path.exists(self.path("new.krv")))

    def test_a_data_file_that_leads_outside_the_folder_is_named_so(self):
        self.put("d/s.ker", tt.scenario(files=(b"a.qvd",)))
        self.put("secret", b"s")
        os.symlink("../secret", self.path("d/a.qvd"))
        self.assertEqual(self.kerv("create", "d/s.ker", "s.krv"),
                         (1, b"", b"kerv: a.qvd: not packed: a symbolic link that leads outside d\n"))


if __name__ == "__main__":
    unittest.main()
