#!/usr/bin/env python3
"""kerv's bash completion in a real terminal: an interactive bash on a
pseudo-terminal, keys typed as a person types them (Tab included), and the
line then run, so that what is checked is the arguments the shell makes of
the completed line, quoting and all.

Usage: completion_terminal_test.py COMPLETION_FILE BUILD_DIR
"""

import os
import pty
import select
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

COMPLETION, BUILD = (os.path.abspath(a) for a in sys.argv[1:3])
KERV = os.path.join(BUILD, "kerv")

# kerv itself for list (which completion runs), else the arguments the
# shell passed, one per line, then a marker. The markers are written so
# that the terminal's echo of the typed lines never holds them.
SHELL_SETUP = f"""
source {COMPLETION}
kerv() {{ if [[ $1 == list ]]; then {KERV} "$@"; else printf 'ARG<%s>\\n' "$@"; echo DO''NE; fi; }}
bind 'set bell-style none'
bind 'set show-all-if-ambiguous off'
PS1='REA''DY> '
"""


class Terminal:
    """An interactive bash on a pseudo-terminal."""

    def __init__(self, folder):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.chdir(folder)
            os.execve("/bin/bash", ["bash", "--norc", "--noprofile", "-i"],
                      {"PATH": os.environ["PATH"], "LANG": "C.UTF-8", "LC_ALL": "C.UTF-8", "TERM": "dumb",
                       "HOME": folder, "INPUTRC": "/dev/null"})
        self.output = b""
        self.type(SHELL_SETUP.replace("\n", "; ").strip("; ") + "\n")
        self.wait_for(b"READY> ")

    def type(self, text):
        os.write(self.fd, text.encode())

    def wait_for(self, marker, seconds=60):
        # A long limit that only a hung shell reaches; nothing here is timed.
        deadline = time.monotonic() + seconds
        while marker not in self.output:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"no {marker!r} in {self.output[-400:]!r}")
            if select.select([self.fd], [], [], left)[0]:
                try:
                    self.output += os.read(self.fd, 4096)
                except OSError:
                    break
        end = self.output.index(marker) + len(marker) if marker in self.output else len(self.output)
        found, self.output = self.output[:end], self.output[end:]
        return found

    def arguments(self, keys):
        """The arguments the shell passes to kerv for the line typed as `keys` (Tab completes), then Enter."""
        self.type(keys + "\n")
        out = self.wait_for(b"DONE")
        self.wait_for(b"READY> ")
        return [line[4:-1].decode() for line in out.replace(b"\r", b"").split(b"\n") if line.startswith(b"ARG<")
                and line.endswith(b">")]

    def close(self):
        os.write(self.fd, b"exit\n")
        os.waitpid(self.pid, 0)
        os.close(self.fd)


class CompletionTerminalTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.mkdtemp(prefix="kerv-completion-")
        names = ["データ\\表紙.zpt", "データ\\声\\台詞01.qvd", "op.qvd"]
        scenario = "KERV 1.2 30.5\r\nt\r\n.15\r\n" + "".join(n + "\r\n" for n in names) + ".\r\n.\r\nbody\r\n"
        with open(os.path.join(cls.folder, "bs.ker"), "wb") as f:
            f.write(scenario.encode("cp932"))
        for name, data in (("データ/表紙.zpt", b"cover"), ("データ/声/台詞01.qvd", b"one"), ("op.qvd", b"op"),
                           ("new-cover.zpt", b"NEW")):
            os.makedirs(os.path.join(cls.folder, os.path.dirname(name)), exist_ok=True)
            with open(os.path.join(cls.folder, name), "wb") as f:
                f.write(data)
        subprocess.run([KERV, "create", "bs.ker"], cwd=cls.folder, check=True)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.folder)

    def setUp(self):
        self.terminal = Terminal(self.folder)
        self.addCleanup(self.terminal.close)

    def test_lines_completed_in_a_terminal(self):
        cases = (  # keys typed ("\t" is Tab), the arguments the shell then passes
            ("kerv cat bs.krv データ\\\\表\t", ["cat", "bs.krv", "データ\\表紙.zpt"]),  # the '\' kept
            ("kerv cat bs.krv op\t", ["cat", "bs.krv", "op.qvd"]),
            ("kerv extract bs.krv データ/声/\t", ["extract", "bs.krv", "データ/声/台詞01.qvd"]),  # '/' typed: '/' offered
            ("kerv update bs.krv op\tnew-\t", ["update", "bs.krv", "op.qvd=new-cover.zpt"]),  # NAME=, then FILE
            ("kerv update bs.krv データ\\\\表\tnew-\t", ["update", "bs.krv", "データ\\表紙.zpt=new-cover.zpt"]),
            ("kerv patch bs.krv new-\t", ["patch", "bs.krv", "new-cover.zpt"]),
            ("kerv stri\tbs.kr\t", ["strings", "bs.krv"]),
        )
        for keys, wanted in cases:
            with self.subTest(keys=keys):
                self.assertEqual(self.terminal.arguments(keys), wanted)

    def test_completed_names_are_the_names_kerv_takes(self):
        # The completed line, run by kerv itself: it finds the data file.
        self.terminal.type(f"unset -f kerv; kerv() {{ if [[ $1 == list ]]; then {KERV} \"$@\"; else {KERV} \"$@\" "
                           "| od -An -c; echo DO''NE; fi; }\n")
        self.terminal.wait_for(b"READY> ")
        self.terminal.type("kerv cat bs.krv データ\\\\表\t\n")
        out = self.terminal.wait_for(b"DONE")
        self.terminal.wait_for(b"READY> ")
        self.assertIn(b"c   o   v   e   r", out)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
