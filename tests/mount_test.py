"""Black-box tests of kerv mount: real archives mounted with FUSE, every
byte, positioned and parallel reads compared with the files they came
from, read-only refusals, damaged archives, and a mount by a user who is
not root through fusermount3.

KERV_BIN names the folder of the programs. Skipped where there is no
/dev/fuse, or kerv was built without mount.
"""
import errno
import os
import pwd
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

import tools_test as tt

KERV = os.path.join(os.path.abspath(tt.BIN), "kerv")
HAS_MOUNT = os.path.exists(KERV) and b"mount ARCHIVE DIR" in subprocess.run(
    [KERV, "--help"], capture_output=True).stdout


@unittest.skipUnless(os.path.exists("/dev/fuse"), "no /dev/fuse here")
@unittest.skipUnless(HAS_MOUNT, "kerv was built without mount (libfuse 3 missing)")
class MountTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kerv-mount-")
        os.chmod(self.dir, 0o755)
        self.addCleanup(shutil.rmtree, self.dir)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def put(self, name, data):
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def mount(self, archive, *, user=None):
        """Mounts `archive` on a new folder; returns the folder and what kerv said."""
        folder = tempfile.mkdtemp(dir=self.dir)
        wrap = []
        if user:
            os.chown(folder, user.pw_uid, user.pw_gid)
            wrap = ["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}", "--clear-groups"]
        r = subprocess.run([*wrap, KERV, "mount", archive, folder], capture_output=True, timeout=30)
        if r.returncode == 0:
            self.addCleanup(self.unmount, folder, wrap)
        return folder, r

    def unmount(self, folder, wrap=()):
        # (Root cannot even look at another user's mount: no test first.)
        subprocess.run([*wrap, "fusermount3", "-u", "-q", folder], stderr=subprocess.DEVNULL)

    def test_every_byte_as_stored(self):
        names = (b"op.qvd", b"=bg:\x8a\x43.zpt", b"sub\\y.qvd", b"a.qvd", b"a.qvd", b"a.qvd", b"/abs.qvd",
                 b"big.qvd")
        big = os.urandom(3 << 20)
        blocks = [b"o" * 1536, b"sea", b"y", b"A1", b"A2", b"A3", b"x", big]
        text = tt.scenario(files=names)
        archive = self.put("s.krv", tt.archive(b"KRV", text, blocks))
        folder, r = self.mount(archive)
        self.assertEqual((r.returncode, r.stdout, r.stderr), (0, b"", b"kerv: /abs.qvd: left out: absolute name\n"))
        expected = {"s.ker": text, "op.qvd": blocks[0], "海.zpt": b"sea", "sub/y.qvd": b"y", "a.qvd": b"A1",
                    "a.qvd (2)": b"A2", "a.qvd (3)": b"A3", "big.qvd": big}
        found = {os.path.relpath(os.path.join(d, f), folder) for d, _, fs in os.walk(folder) for f in fs}
        self.assertEqual(found, set(expected))
        mtime = os.stat(archive).st_mtime_ns
        for name, data in expected.items():
            with open(os.path.join(folder, name), "rb") as f:
                self.assertEqual(f.read(), data, name)
            st = os.stat(os.path.join(folder, name))
            self.assertEqual((st.st_size, st.st_mtime_ns, st.st_mode & 0o777), (len(data), mtime, 0o444), name)
        # Positioned reads, and readers in parallel.
        fd = os.open(os.path.join(folder, "big.qvd"), os.O_RDONLY)
        self.addCleanup(os.close, fd)
        for at, n in ((0, 10), (4095, 2), (len(big) - 7, 100), (1 << 20, 1 << 20), (len(big), 5)):
            self.assertEqual(os.pread(fd, n, at), big[at:at + n], at)
        results = {}

        def read_all(k):
            with open(os.path.join(folder, "big.qvd"), "rb") as f:
                f.seek(k * 4096)
                results[k] = f.read() == big[k * 4096:]
        readers = [threading.Thread(target=read_all, args=(k,)) for k in range(8)]
        for t in readers:
            t.start()
        for t in readers:
            t.join()
        self.assertEqual(results, {k: True for k in range(8)})
        # Read-only, whatever is tried.
        for attempt in (lambda: open(os.path.join(folder, "op.qvd"), "r+b"), lambda: open(os.path.join(folder, "n"), "wb"),
                        lambda: os.mkdir(os.path.join(folder, "d")), lambda: os.remove(os.path.join(folder, "op.qvd"))):
            with self.assertRaises(OSError) as raised:
                attempt()
            self.assertEqual(raised.exception.errno, errno.EROFS)

    def test_damage_refusals_and_unmounting(self):
        whole = tt.archive(b"KRV", tt.scenario(files=(b"a.qvd", b"b.qvd")), [b"AA", b"BBBB"])
        folder, r = self.mount(self.put("cut.krv", whole[:-2]))
        self.assertEqual(r.returncode, 0)
        self.assertEqual(r.stderr, b"kerv: %s: offset %d: data block 2 of 4 bytes runs 2 bytes past the end of the archive\n"
                         b"kerv: %s: b.qvd: no block (the archive ends at offset %d)\n"
                         % (self.path("cut.krv").encode(), len(whole) - 8, self.path("cut.krv").encode(), len(whole) - 2))
        self.assertEqual(sorted(os.listdir(folder)), ["a.qvd", "cut.ker"])
        for data, status in ((b"PK\3\4", 1), (None, 2)):
            folder, r = self.mount(self.put("zip.krv", data) if data else self.path("missing.krv"))
            self.assertEqual(r.returncode, status)
            self.assertFalse(os.path.ismount(folder))
        # In the foreground until unmounted; then status 0.
        folder = tempfile.mkdtemp(dir=self.dir)
        p = subprocess.Popen([KERV, "mount", "-f", self.put("w.krv", whole), folder])
        for _ in range(100):
            if os.path.ismount(folder):
                break
            time.sleep(0.05)
        self.assertTrue(os.path.ismount(folder))
        subprocess.run(["umount", folder] if os.getuid() == 0 else ["fusermount3", "-u", folder], check=True)
        self.assertEqual(p.wait(timeout=10), 0)

    def test_signals_mount_points_and_clashes(self):
        whole = tt.archive(b"KRV", tt.scenario(files=(b"a.qvd",)), [b"AA"])
        self.put("w.krv", whole)
        for sig in (signal.SIGINT, signal.SIGTERM):
            # A folder named relative to the current one, which the mount leaves for "/".
            os.mkdir(self.path("m"))
            p = subprocess.Popen([KERV, "mount", "-f", "w.krv", "m"], cwd=self.dir, stderr=subprocess.PIPE)
            for _ in range(200):
                if os.path.ismount(self.path("m")):
                    break
                time.sleep(0.02)
            self.assertTrue(os.path.ismount(self.path("m")))
            self.assertEqual(subprocess.run([KERV, "mount", "w.krv", "m"], cwd=self.dir, capture_output=True).stderr,
                             b"kerv: m: a file system is mounted there already; unmount it first\n")
            p.send_signal(sig)
            with p:
                self.assertEqual((p.wait(timeout=10), p.stderr.read()), (0, b""), sig)
            self.assertFalse(os.path.ismount(self.path("m")))
            os.rmdir(self.path("m"))
        # A name that is a file and a folder: mount and extract leave out the same one.
        names = (b"x", b"x\\y.qvd", b"z\\w.qvd", b"z")
        clash = self.put("c.krv", tt.archive(b"KRV", tt.scenario(files=names), [b"1", b"2", b"3", b"4"]))
        folder, r = self.mount(clash)
        self.assertEqual(r.stderr, b"kerv: x\\y.qvd: left out: a file and a folder have the same name\n"
                                   b"kerv: z: left out: a file and a folder have the same name\n")
        extracted = subprocess.run([KERV, "extract", "-C", self.path("out"), clash], capture_output=True)
        self.assertEqual((extracted.returncode, extracted.stderr), (1, r.stderr.replace(b"left out", b"not extracted")))
        walk = lambda top: sorted(os.path.relpath(os.path.join(d, f), top) for d, _, fs in os.walk(top) for f in fs)
        self.assertEqual(walk(folder), walk(self.path("out")))
        self.assertEqual(walk(folder), ["c.ker", "x", "z/w.qvd"])

    @unittest.skipUnless(os.getuid() == 0 and shutil.which("setpriv"), "needs root to become another user")
    def test_a_user_mounts_with_fusermount3(self):
        user = pwd.getpwnam("nobody")
        data = os.urandom(5000)
        archive = self.put("u.krv", tt.archive(b"KRV", tt.scenario(files=(b"a.qvd",)), [data]))
        os.chmod(archive, 0o644)
        folder, r = self.mount(archive, user=user)
        self.assertEqual((r.returncode, r.stderr), (0, b""))
        self.assertEqual(subprocess.run(["setpriv", f"--reuid={user.pw_uid}", f"--regid={user.pw_gid}",
                                         "--clear-groups", "cat", os.path.join(folder, "a.qvd")],
                                        capture_output=True).stdout, data)


if __name__ == "__main__":
    unittest.main()
