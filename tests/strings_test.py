"""Black-box tests of the translator's tools: kerv strings out and kerv
update --strings back through PO files (read by gettext's msgfmt and by
polib) and CSV files (Python's csv module), every character without a code
reported at once, --scenario refusing UTF-8 text, and kerv grep. Run like
kerv_test (KERV_BIN, KERV_RUN)."""
import csv
import io
import os
import shutil
import struct
import subprocess
import unittest

import kerv_test as kt
import tools_test as tt

try:
    import polib
except ImportError:
    polib = None

SEA = "海".encode("cp932")
BODY = "\r\n".join(["; 第一場 浜辺", 'R1 ; "波" の音\tから', "plain ascii", "R2 ; 波", "R3 ; 波"]).encode("cp932")


class StringsTest(kt.KervCase):
    def setUp(self):
        super().setUp()
        text = tt.scenario(files=(b"a.qvd", SEA + b".zpt"), body=BODY + b"\r\nbad \x85\x40\r\n")
        self.put("s.krv", tt.archive(b"KRV", text, [b"A", b"S"]))
        self.original = self.get("s.krv")

    def test_out_and_back_with_no_translation_gives_the_same_archive(self):
        for fmt in ("po", "csv"):
            with self.subTest(fmt):
                self.assertEqual(self.kerv("strings", "--format", fmt, "-o", "s." + fmt, "s.krv"), (0, b"", b""))
                before = kt.identity(self.path("s.krv"))
                status, _, err = self.kerv("update", "s.krv", "--strings", "s." + fmt)
                self.assertEqual((status, err), (0, b"kerv: s.krv: nothing to change; the archive is left as it is\n"))
                self.assertEqual(kt.identity(self.path("s.krv")), before)
        po = self.get("s.po").decode()
        self.assertIn('"Content-Type: text/plain; charset=UTF-8\\n"', po)
        self.assertIn('"X-Generator: kerv ', po)
        self.assertIn('#: s.ker:9\nmsgctxt "9"\nmsgid "R1 ; \\"波\\" の音\\tから"\nmsgstr ""\n', po)
        self.assertTrue(self.get("s.csv").startswith(b"\xef\xbb\xbfline,source,translation\r\n"))
        if shutil.which("msgfmt"):
            r = subprocess.run(["msgfmt", "--check", "-o", os.devnull, self.path("s.po")], capture_output=True)
            self.assertEqual(r.returncode, 0, r.stderr)

    @unittest.skipUnless(polib, "needs python3-polib")
    def test_translations_from_polib_and_from_a_spreadsheet(self):
        self.assertEqual(self.kerv("strings", "-o", "s.po", "s.krv")[0], 0)
        self.assertEqual(self.kerv("strings", "--format", "csv", "-o", "s.csv", "s.krv")[0], 0)
        po = polib.pofile(self.path("s.po").decode())
        read = [(e.msgctxt, e.msgid) for e in po]
        with open(self.path("s.csv"), encoding="utf-8-sig", newline="") as f:
            rows = list(csv.DictReader(f))
        self.assertEqual(read, [(r["line"], r["source"]) for r in rows])  # the same entries, both ways
        self.assertIn(("9", 'R1 ; "波" の音\tから'), read)
        translations = {"2": "Spring", "9": 'R1 ; "waves" — sound\there', "12": "R3 ; wave"}
        for entry in po:
            if entry.msgctxt in translations:
                entry.msgstr = translations[entry.msgctxt]
            if entry.msgctxt == "11":
                entry.msgstr, entry.flags = "not used", ["fuzzy"]
        po.save(self.path("t.po").decode())
        out = io.StringIO(newline="")
        writer = csv.DictWriter(out, ["line", "source", "translation"])
        writer.writeheader()
        for r in rows:
            writer.writerow({**r, "translation": translations.get(r["line"], "")})
        self.put("t.csv", out.getvalue().encode())  # no byte order mark: read all the same
        scenario = self.get("s.krv")[10:10 + struct.unpack("<H", self.get("s.krv")[8:10])[0]]
        lines = scenario.split(b"\r\n")
        expected = lines[:]
        expected[1] = b"Spring"
        expected[8] = b'R1 ; "waves" \x81\x5c sound\there'
        expected[11] = b"R3 ; wave"
        text = b"\r\n".join(expected)
        for name in ("t.po", "t.csv"):
            with self.subTest(name):
                self.assertEqual(self.kerv("update", "-o", name + ".krv", "s.krv", "--strings", name), (0, b"", b""))
                self.assertEqual(self.get(name + ".krv")[10:10 + len(text)], text)
                self.assertEqual(len(self.get(name + ".krv")), len(self.original) - len(scenario) + len(text))
        self.put("d/a.qvd", b"A")
        self.put("d/" + SEA.decode("cp932") + ".zpt", b"S")
        self.put("d/s.ker", scenario)
        self.assertEqual(self.kerv("create", "--strings", "t.po", "d/s.ker", "c.krv"), (0, b"", b""))
        self.assertEqual(self.get("c.krv"), self.get("t.po.krv"))

    def test_refusals_write_nothing_and_name_every_character(self):
        po = ('msgid ""\nmsgstr "Content-Type: text/plain; charset=UTF-8\\n"\n\n'
              'msgctxt "2"\nmsgid "タイトル"\nmsgstr "Title"\n\n'
              'msgctxt "9"\nmsgid "R1 ; \\"波\\" の音\\tから"\nmsgstr "♥ and ♥"\n\n'
              'msgctxt "11"\nmsgid "R2 ; 波"\nmsgstr "a\\nb"\n')
        self.put("bad.po", po.encode())
        status, _, err = self.kerv("update", "s.krv", "--strings", "bad.po")
        self.assertEqual(status, 1)
        self.assertEqual(err.decode().splitlines(), [
            "kerv: bad.po:4: line 2 of the scenario now reads otherwise",
            "kerv: bad.po:10:9: U+2665 '♥' has no code in Shift_JIS (code page 932)",
            "kerv: bad.po:10:15: U+2665 '♥' has no code in Shift_JIS (code page 932)",
            "kerv: bad.po:14:10: the translation of line 11 holds a line end; a line is translated by one line"])
        self.assertEqual(self.get("s.krv"), self.original)
        # The same for the whole text: every character, not the first.
        self.assertEqual(self.kerv("scenario", "s.krv")[0], 1)  # a byte with no character is reported
        text = self.kerv("scenario", "s.krv")[1].decode().replace("浜辺", "♥").replace("R2 ; 波", "R2 ; ☃")
        self.put("s.txt", text.encode())
        status, _, err = self.kerv("update", "s.krv", "--scenario-text", "s.txt")
        self.assertEqual((status, err.decode().splitlines()), (1, [
            "kerv: s.txt:8:7: U+2665 '♥' has no code in Shift_JIS (code page 932)",
            "kerv: s.txt:11:6: U+2603 '☃' has no code in Shift_JIS (code page 932)"]))
        # A scenario file in UTF-8 given as --scenario: refused unless --force.
        self.put("u.ker", tt.scenario(files=(b"a.qvd", SEA + b".zpt")).decode("cp932").encode())
        self.assertEqual(self.kerv("update", "s.krv", "--scenario", "u.ker"),
                         (1, b"", b"kerv: u.ker looks like UTF-8 text; --scenario takes the scenario's own Shift_JIS "
                                  b"bytes; use --scenario-text u.ker\n"))
        self.assertEqual(self.get("s.krv"), self.original)

    @unittest.skipIf(tt.WINDOWS, "the Windows build has no PCRE2")
    def test_grep_across_archives(self):
        self.put("t.krv", tt.archive(b"KRV", tt.scenario(body="R1 ; 船\r\n".encode("cp932")), [b"A"]))
        self.put("not.krv", b"PK\3\4")
        cases = (  # arguments, status, what is printed
            (("波", "s.krv", "t.krv"), 0, 's.krv:9: R1 ; "波" の音\tから\ns.krv:11: R2 ; 波\ns.krv:12: R3 ; 波\n'),
            (("-c", "波", "s.krv", "t.krv"), 0, "s.krv:3\nt.krv:0\n"),
            (("-F", "R1 ; \"", "s.krv"), 0, 's.krv:9: R1 ; "波" の音\tから\n'),
            (("-i", "PLAIN", "s.krv"), 0, "s.krv:10: plain ascii\n"),
            (("^R[23] ; 波$", "s.krv"), 0, "s.krv:11: R2 ; 波\ns.krv:12: R3 ; 波\n"),
            (("鯨", "s.krv", "t.krv"), 1, ""),
            (("波", "s.krv", "not.krv"), 2, None),
            (("(", "s.krv"), 2, ""),
        )
        for args, status, printed in cases:
            with self.subTest(args=args):
                got, out, err = self.kerv("grep", *args)
                self.assertEqual(got, status, err)
                if printed is not None:
                    self.assertEqual(out.decode(), printed)


if __name__ == "__main__":
    unittest.main()
