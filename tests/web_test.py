"""Browser tests of the page kerv.html, driven in headless Chromium as a
person would use it: files are picked with the page's own inputs, rows are
clicked, downloads land in a folder.

KERV_PAGE names the built page; KERV_BIN the folder of the native programs,
whose output the page is compared with. Needs Debian's chromium,
chromium-driver and python3-selenium.
"""
import base64
import functools
import http.server
import os
import re
import shutil
import struct
import subprocess
import tempfile
import threading
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

PAGE = os.path.abspath(os.environ.get("KERV_PAGE", "build-web/web/kerv.html"))
BIN = os.environ.get("KERV_BIN", "build")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
SEA = "海.zpt"
# Names of formats and things, which Japanese writes as they are; "English" names the language in its menu.
JAPANESE_ALLOWED = {"KERV", "PKERV", "KRV", "PKV", "Shift_JIS", "UTF", "Windows", "Enter", "GiB", "MiB", "English",
                    "VCDIFF", "xdelta", "HTML", "CSV", "csv"}
driver = None


def setUpModule():
    global driver
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-quic", "--window-size=1200,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def tearDownModule():
    driver.quit()


def scenario(magic=b"KERV 1.2 30.5", files=(b"a.qvd",)):
    return b"\r\n".join([magic, b"title", b".20", *files, b".", b"."]) + b"\r\nR1\r\n"


def archive(magic, text, blocks):
    """The container as the format defines it, built independently of the page."""
    out = magic + b"\0" * 5 + struct.pack("<H", len(text)) + text
    return out + b"".join(struct.pack("<i", len(b)) + b for b in blocks)


def tool(name, *args, cwd=None):
    return subprocess.run([os.path.join(os.path.abspath(BIN), name), *args], cwd=cwd, capture_output=True,
                          env=dict(os.environ, LC_ALL="C.UTF-8"), timeout=60)


class Page(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="kerv-web-")
        self.addCleanup(shutil.rmtree, self.dir)
        self.downloads = self.path("downloads")
        os.mkdir(self.downloads)
        self.load("file://" + PAGE)
        # Each test starts in English, whatever an earlier one chose.
        driver.execute_script("localStorage.clear()")
        self.load("file://" + PAGE)

    def load(self, url):
        driver.get(url)
        driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": self.downloads})
        self.assertEqual(self.call("return typeof kerv === 'undefined' || kerv.ready"), True)

    def path(self, *names):
        return os.path.join(self.dir, *names)

    def put(self, name, data):
        os.makedirs(os.path.dirname(self.path(name)), exist_ok=True)
        with open(self.path(name), "wb") as f:
            f.write(data)
        return self.path(name)

    def example_folder(self):
        """The example as a user's folder holds it: names in Unicode."""
        folder = self.path("example")
        os.mkdir(folder)
        for name in os.listdir(os.fsencode(EXAMPLES)):
            if not name.endswith(b".sh"):
                shutil.copy(os.path.join(os.fsencode(EXAMPLES), name),
                            os.path.join(folder, name.decode("cp932")))
        return folder

    def packed_example(self):
        """The example packed by krvmake; returns the archive's path."""
        folder = self.path("packed")
        shutil.copytree(EXAMPLES, folder)
        self.assertEqual(tool("krvmake", "story.ker", cwd=folder).returncode, 0)
        return os.path.join(folder, "story.krv")

    def replace_in_scenario(self, old, new):
        """Replaces the first `old` in the open scenario's edit box by `new`, as a paste does; returns the box."""
        if not self.find("#scenario").get_attribute("open"):
            self.find("#scenario summary").click()
        edit = self.find("#scenario-edit")
        driver.execute_script("const [e, old, text] = arguments; const at = e.value.indexOf(old);"
                              "e.setRangeText(text, at, at + old.length); e.dispatchEvent(new Event('input'));",
                              edit, old, new)
        return edit

    def call(self, script, *args):
        """Runs an async function body in the page and returns its result."""
        return driver.execute_async_script(
            "const done = arguments[arguments.length - 1];"
            f"(async (...args) => {{ {script} }})(...Array.from(arguments).slice(0, -1))"
            ".then(done, e => done({error: String(e.message)}));", *args)

    def find(self, css):
        return driver.find_element(By.CSS_SELECTOR, css)

    def text(self, element_id):
        e = driver.find_element(By.ID, element_id)
        return "" if e.get_attribute("hidden") is not None else e.text

    def wait(self, condition, seconds=20, message=""):
        return WebDriverWait(driver, seconds, poll_frequency=0.05).until(lambda _: condition(), message)

    def open_archive(self, path):
        """Picks `path` with the page's file input; waits until it is shown or refused."""
        name = os.path.basename(path)
        driver.find_element(By.ID, "open").send_keys(path)
        self.wait(lambda: (self.text("summary").startswith(name + ":") and self.attribute("archive", "aria-busy") == "false")
                  or self.text("error").startswith(name + " "))

    def pick(self, input_id, *paths):
        """Picks files with a file input, as a new choice (WebDriver would add them to the last)."""
        element = driver.find_element(By.ID, input_id)
        driver.execute_script("arguments[0].value = ''", element)
        element.send_keys("\n".join(paths))

    def attribute(self, element_id, name):
        return driver.find_element(By.ID, element_id).get_attribute(name)

    def drop(self, files, target="document.body"):
        """Drops files ([name, bytes] pairs) on `target`, as a person drops files from a folder."""
        driver.execute_script(f"""
            const transfer = new DataTransfer();
            for (const [name, bytes] of arguments[0]) transfer.items.add(new File([new Uint8Array(bytes)], name));
            {target}.dispatchEvent(new DragEvent('drop', {{dataTransfer: transfer, bubbles: true, cancelable: true}}));""",
                              [[name, list(data)] for name, data in files])

    def japanese_words(self, names=()):
        """The ASCII words of three letters or more that the page shows in its own sentences (the
        archive's data and the names `names` left out, numbers and file types): in Japanese, none
        may be left."""
        shown = driver.execute_script("""
            const data = '#scenario-header dd, td.name, figcaption, #preview pre, option';
            const texts = [];
            const walker = document.createTreeWalker(document.body, NodeFilter.SHOW_TEXT);
            for (let node; (node = walker.nextNode());) {
              const e = node.parentElement;
              if (e.closest(data) || !e.checkVisibility()) continue;
              texts.push(node.textContent);
            }
            for (const e of document.querySelectorAll('[aria-label], [title]')) {
              if (e.checkVisibility()) texts.push(e.getAttribute('aria-label') ?? '', e.title ?? '');
            }
            return texts.join('\\n');""")
        for name in sorted([*names, "kerv patch", "xdelta3 -S none"], key=len, reverse=True):  # commands, as typed
            shown = shown.replace(name, " ")
        shown = re.sub(r"\S*\.(krv|pkv|ker|psc|qvd|zpt|txt|vcdiff)\b", " ", shown)
        return sorted(set(re.findall(r"(?<![0-9A-Za-z_\\])[A-Za-z][A-Za-z_]{2,}", shown)) - JAPANESE_ALLOWED)

    def rows(self):
        """The table's rows as (name, size, offset), sizes and offsets from the rows' data attributes."""
        return [tuple(r) for r in driver.execute_script(
            "return Array.from(document.querySelectorAll('#entries tbody tr'), r =>"
            "  [r.cells[0].textContent, Number(r.dataset.size), Number(r.dataset.offset)]);")]

    def streamed(self, what=""):
        """What the page wrote through the fake picker once it closed or aborted the stream:
        (bytes, closed, aborted)."""
        self.wait(lambda: driver.execute_script("return saved.closed || saved.aborted"), message=what)
        got = self.call("const b = new Blob(saved.parts); const bytes = new Uint8Array(await b.arrayBuffer());"
                        "let s = ''; for (const x of bytes) s += String.fromCharCode(x);"
                        "return [btoa(s), saved.closed, saved.aborted];")
        return base64.b64decode(got[0]), got[1], got[2]

    def downloaded(self, name):
        path = os.path.join(self.downloads, name)
        self.wait(lambda: os.path.exists(path) and not any(n.endswith(".crdownload") for n in os.listdir(self.downloads)))
        with open(path, "rb") as f:
            return f.read()


class OpenTest(Page):
    def test_the_example_as_kervls_lists_it(self):
        packed = self.packed_example()
        self.open_archive(packed)
        listing = tool("kervls", packed).stdout.decode().splitlines()
        self.assertEqual(self.text("summary"), listing[0].replace(packed, "story.krv"))
        self.assertEqual(self.rows(), [(name, int(size), int(offset))
                                       for size, offset, name in (line.split(maxsplit=2) for line in listing[1:])])
        self.assertEqual(self.text("damage"), "")
        self.assertEqual(self.text("error"), "")
        # The scenario, decoded, with its header fields.
        self.find("#scenario summary").click()
        with open(os.path.join(EXAMPLES, "story.ker"), "rb") as f:
            text = f.read().decode("cp932").replace("\r\n", "\n")
        # Shown once, in the box that edits it, in a size that reads.
        self.assertEqual(self.find("#scenario-edit").get_attribute("value"), text)
        self.assertEqual(driver.execute_script(
            "return [...document.querySelectorAll('#scenario *')].filter(e => e.id !== 'scenario-edit' &&"
            "  e.textContent.includes(arguments[0])).length", "R1 ; 波の音から始める"), 0)
        self.assertGreaterEqual(float(self.find("#scenario-edit").value_of_css_property("font-size")[:-2]), 16)
        header = self.text("scenario-header")
        self.assertIn("Second number\n30.50", header)
        self.assertIn(f"File list\nop.qvd\n{SEA}\ndoor.qvd\ntitle.zpt\nSecond list\nbgm01\nbgm02", header)

        # A row's Save button downloads its data file under its decoded name.
        row = [r for r in driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr") if SEA in r.text][0]
        row.find_element(By.CSS_SELECTOR, "button").click()
        with open(os.path.join(os.fsencode(EXAMPLES), SEA.encode("cp932")), "rb") as f:
            self.assertEqual(self.downloaded(SEA), f.read())

    def test_damage_and_what_is_no_archive(self):
        with open(self.packed_example(), "rb") as f:
            whole = f.read()
        cases = (("cut.krv", whole[:-12], False), ("junk.krv", whole + b"junk", False),
                 ("zip.krv", b"PK\3\4 a zip file", True), ("short.krv", whole[:60], True),
                 ("empty.krv", b"", True))
        for name, data, refused in cases:
            path = self.put(name, data)
            self.open_archive(path)
            err = tool("kervls", path).stderr.decode().replace(path, name).splitlines()
            if refused:
                # Not opened, and said why; the archive open before stays, as it was.
                reason = err[0].removeprefix(f"kervls: {name}: ")
                self.assertEqual(self.text("error"), f"{name} was not opened: {reason}. junk.krv is still open.")
                self.assertTrue(self.text("summary").startswith("junk.krv:"), name)
            else:
                self.assertEqual(self.text("damage").splitlines(), [e.removeprefix(f"kervls: {name}: ") for e in err])
                self.assertTrue(err, name)
                self.assertEqual(self.text("error"), "", name)
        # The page stays usable for the next file.
        self.open_archive(self.path("packed", "story.krv"))
        self.assertEqual((len(self.rows()), self.text("error")), (4, ""))

    def test_a_sparse_archive_of_5_gib(self):
        sizes = (2 ** 31 - 1, 2 ** 31 - 1, 2 ** 30 + 7)
        text = scenario(files=(b"a.qvd", b"b.qvd", b"c.qvd"))
        path = self.path("big.krv")
        with open(path, "wb") as f:
            f.write(archive(b"KRV", text, []))
            for size in sizes:
                f.write(struct.pack("<i", size))
                f.seek(size, os.SEEK_CUR)
            f.truncate()
        start = time.monotonic()
        self.open_archive(path)
        self.assertLess(time.monotonic() - start, 10)
        first = 10 + len(text) + 4
        self.assertEqual(self.rows(), [("a.qvd", sizes[0], first), ("b.qvd", sizes[1], first + sizes[0] + 4),
                                       ("c.qvd", sizes[2], first + sizes[0] + sizes[1] + 8)])
        # The script interface on the same file: a 2 GiB entry's Blob, its last bytes.
        got = self.call("const a = await kerv.open(document.getElementById('open').files[0]);"
                        "const b = a.entryBlob(a.entries[1]);"
                        "return [b.size, Array.from(new Uint8Array(await b.slice(-2).arrayBuffer()))];")
        self.assertEqual(got, [sizes[1], [0, 0]])

    def test_every_row_of_a_long_list(self):
        # Rows after the first few hundred are added while the page stays responsive.
        names = [bytes([97 + i % 26]) for i in range(3001)]
        text = scenario(files=names)
        self.open_archive(self.put("long.krv", archive(b"KRV", text, [bytes([i % 256]) for i in range(3001)])))
        self.wait(lambda: self.find("#archive").get_attribute("aria-busy") == "false")
        rows = self.rows()
        self.assertEqual(len(rows), 3001)
        self.assertEqual(rows[-1], ("k", 1, 10 + len(text) + 3001 * 5 - 1))

    def test_preview_by_content(self):
        png = bytes.fromhex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                            "1f15c4890000000d49444154789c6360f8cfc0f01f0005000201e2a5f5f2"
                            "0000000049454e44ae426082")
        wav = b"RIFF" + struct.pack("<I", 36) + b"WAVEfmt " + struct.pack("<IHHIIHH", 16, 1, 1, 8000, 8000, 1, 8) + \
            b"data" + struct.pack("<I", 0)
        names = (b"pic.qvd", b"sound.zpt", b"text.qvd")
        self.open_archive(self.put("p.krv", archive(b"KRV", scenario(files=names), [png, wav, b"KERV text\n"])))
        rows = driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")
        rows[0].click()
        self.wait(lambda: self.call("const i = document.querySelector('#preview img');"
                                    "if (i) await i.decode(); return i ? i.naturalWidth : 0;") == 1)
        rows[1].click()
        self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#preview audio"))
        rows[2].click()
        self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#preview pre"))
        self.assertIn("00000000  4b 45 52 56 20 74 65 78 74 0a", self.find("#preview pre").text)


class PackTest(Page):
    def test_packs_the_example_as_krvmake_does(self):
        with open(self.packed_example(), "rb") as f:
            expected = f.read()
        folder = self.example_folder()
        self.pick("pack", *(os.path.join(folder, n) for n in sorted(os.listdir(folder))))
        self.assertEqual(self.downloaded("story.krv"), expected)
        # And through the script interface.
        got = self.call("const files = Array.from(document.getElementById('pack').files);"
                        "const blob = await kerv.pack(files.find(f => f.name === 'story.ker'), files);"
                        "return [blob.name, Array.from(new Uint8Array(await blob.arrayBuffer()))];")
        self.assertEqual((got[0], bytes(got[1])), ("story.krv", expected))

    def test_packs_a_folder_with_subfolders(self):
        text = scenario(b"PKERV 1.0", files=(b"=x:sub/a.qvd", b"|y:b.zpt", b"sub/a.qvd"))
        for name, data in (("s.psc", text), ("sub/a.qvd", b"AAA"), ("b.zpt", b"")):
            self.put(os.path.join("folder", name), data)
        self.assertEqual(tool("pkvmake", "s.psc", cwd=self.path("folder")).returncode, 0)
        with open(self.path("folder", "s.pkv"), "rb") as f:
            expected = f.read()
        os.remove(self.path("folder", "s.pkv"))
        self.pick("pack-folder", self.path("folder"))
        self.assertEqual(self.downloaded("s.pkv"), expected)

    def test_refusals_name_the_cause(self):
        self.put("huge.qvd", b"")
        os.truncate(self.path("huge.qvd"), 2 ** 31)  # sparse
        long_text = scenario(files=()).ljust(32768, b"x")
        cases = (  # the files picked, and what the page says: in the list of data files, or as the error
            ((("s.ker", scenario(files=(b"a.qvd", b"gone.qvd"))), ("a.qvd", b"a")),
             "pack-list", "a.qvd: 1 bytes\ngone.qvd: missing; pick it below"),
            ((("s.ker", scenario(files=(b"huge.qvd",))), ("huge.qvd", None)),
             "pack-list", "huge.qvd: 2147483648 bytes, but a data file holds at most 2147483647 (under 2 GiB)"),
            ((("s.ker", scenario(files=(b"../up.qvd", b"a.qvd"))), ("a.qvd", b"a"), ("up.qvd", b"u")),
             "pack-list", "../up.qvd: not packed: '..' leads outside the folder\na.qvd: 1 bytes"),
            ((("s.ker", long_text),), "pack-error", "s.ker: a scenario file holds at most 32767 bytes, this one 32768"),
            ((("s.psc", b"KRV story\r\n"),), "pack-error", "s.psc: not a KERV or P-KERV scenario"),
            ((("s.ker", b"KERV 1.2 30.5\ntitle\n.\na.qvd\n.\n.\n"), ("a.qvd", b"a")),
             "pack-error", "s.ker: line 1 ends in LF alone; save the scenario with CR LF line ends"))
        for n, (files, where, message) in enumerate(cases):
            paths = [self.path("huge.qvd") if data is None else self.put(os.path.join(str(n), name), data)
                     for name, data in files]
            self.pick("pack", *paths)
            self.wait(lambda: self.text(where).startswith(message))
            self.assertEqual(driver.find_elements(By.ID, "pack-download"), [])
            self.load(driver.current_url)
        self.assertEqual(os.listdir(self.downloads), [])

    def test_a_dropped_scenario_asks_for_its_data_files(self):
        with open(self.packed_example(), "rb") as f:
            expected = f.read()
        folder = self.example_folder()
        with open(os.path.join(folder, "story.ker"), "rb") as f:
            self.drop([("story.ker", f.read())])
        self.wait(lambda: self.text("pack-summary") == "story.ker lists 4 data files; 0 found.")
        self.assertEqual(self.text("pack-list").splitlines(), [f"{n}: missing; pick it below" for n in
                                                               ("op.qvd", SEA, "door.qvd", "title.zpt")])
        self.pick("pack-more", *(os.path.join(folder, n) for n in ("op.qvd", "door.qvd")))
        self.wait(lambda: self.text("pack-summary") == "story.ker lists 4 data files; 2 found.")
        self.pick("pack-more", *(os.path.join(folder, n) for n in (SEA, "title.zpt")))
        self.assertEqual(self.downloaded("story.krv"), expected)


class EditTest(Page):
    def test_edits_as_kerv_update_and_krvmake_make_them(self):
        packed = self.packed_example()
        self.open_archive(packed)
        # A data file replaced through its row's button, a line of the scenario edited.
        door = [r for r in driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr") if "door.qvd" in r.text][0]
        door.find_element(By.CSS_SELECTOR, "button.replace").click()
        self.find("#replace-input").send_keys(self.put("new-door.qvd", b"a new door"))
        self.wait(lambda: "700 \u2192 10" in door.text)
        self.find("#scenario summary").click()
        edit = self.find("#scenario-edit")
        driver.execute_script("arguments[0].value = arguments[0].value.replace('潮騒', '波音')", edit)
        edit.send_keys("\nR2")
        self.find("#save-archive").click()
        edited = self.downloaded("story.krv")

        fresh = self.path("fresh")
        shutil.copytree(EXAMPLES, fresh)
        with open(os.path.join(fresh, "story.ker"), "rb") as f:
            text = f.read().decode("cp932").replace("潮騒", "波音") + "\r\nR2"
        self.put("fresh/story.ker", text.encode("cp932"))
        self.put("fresh/door.qvd", b"a new door")
        self.assertEqual(tool("krvmake", "story.ker", cwd=fresh).returncode, 0)
        with open(os.path.join(fresh, "story.krv"), "rb") as f:
            self.assertEqual(edited, f.read())
        self.put("s.txt", text.encode())
        self.assertEqual(tool("kerv", "update", packed, "-o", self.path("k.krv"), "--scenario-text", self.path("s.txt"),
                              "door.qvd=" + self.path("new-door.qvd")).returncode, 0)
        with open(self.path("k.krv"), "rb") as f:
            self.assertEqual(edited, f.read())

        # The script interface: no change gives the archive; a character with no code is refused.
        got = self.call("const a = await kerv.open(document.getElementById('open').files[0]);"
                        "const same = new Uint8Array(await (await kerv.update(a, {})).arrayBuffer());"
                        "const error = await kerv.update(a, {scenarioText: 'KERV 1.2\\nab\\u{1F600}'}).catch(e => e);"
                        "return [Array.from(same), error.name, error.message];")
        with open(packed, "rb") as f:
            self.assertEqual(bytes(got[0]), f.read())
        self.assertEqual(got[1:], ["KervError", "line 2, column 3: U+1F600 '\U0001F600' has no code in Shift_JIS "
                                                "(code page 932)"])


class RowsTest(Page):
    def replace_row(self, row, path):
        row.find_element(By.CSS_SELECTOR, "button.replace").click()
        self.find("#replace-input").send_keys(path)

    def saved_and_kervs(self, archive, *kerv_args):
        """The archive the page saves, and the one kerv update makes with `kerv_args`."""
        self.find("#save-archive").click()
        saved = self.downloaded(os.path.basename(archive))
        r = subprocess.run([os.path.join(os.path.abspath(BIN), "kerv"), "update", "--force", "-o", self.path("k.krv"), archive,
                            *kerv_args], capture_output=True, env=dict(os.environ, LC_ALL="C.UTF-8"))
        self.assertEqual(r.returncode, 0, r.stderr)
        with open(self.path("k.krv"), "rb") as f:
            return saved, f.read()

    def test_a_row_is_its_place_in_the_list(self):
        # The bytes x 0x80 .qvd (no character) and the text x\x80.qvd show alike; the first is listed twice.
        names = (b"x\x80.qvd", b"x\\x80.qvd", b"a.qvd", b"x\x80.qvd")
        archive_path = self.put("s.krv", archive(b"KRV", scenario(files=names), [b"one", b"TEXT", b"a", b"two"]))
        self.open_archive(archive_path)
        rows = driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")
        self.assertEqual([r.find_element(By.CSS_SELECTOR, "td").text for r in rows],
                         ["x\\x80.qvd", "x\\x80.qvd", "a.qvd", "x\\x80.qvd"])
        marked = lambda: [r.get_attribute("class") == "replaced" for r in rows]
        # Each row replaces its own name: the lookalike is another name; a name listed twice, every time.
        cases = ((1, "text.qvd", [False, True, False, False]), (0, "bytes.qvd", [True, True, False, True]))
        for row, new, expected in cases:
            self.replace_row(rows[row], self.put(new, new.encode()))
            self.wait(lambda: marked() == expected)
        # Preview by place: the second row shows its own bytes.
        rows[1].click()
        self.wait(lambda: "54 45 58 54" in self.text("preview"))
        saved, kervs = self.saved_and_kervs(archive_path, "x\\x80.qvd=" + self.path("text.qvd"),
                                            os.fsencode("x\udc80.qvd=") + os.fsencode(self.path("bytes.qvd")))
        self.assertEqual(saved, kervs)
        self.assertEqual(saved, archive(b"KRV", scenario(files=names), [b"bytes.qvd", b"text.qvd", b"a", b"bytes.qvd"]))
        # A row's Save: the decoded name where it may name a file, else the row's place.
        for row, name in ((0, "entry-1.qvd"), (2, "a.qvd")):
            rows[row].find_element(By.CSS_SELECTOR, "button.save").click()
            self.assertEqual(self.downloaded(name), [b"one", b"TEXT", b"a"][row])

    def test_lone_carriage_returns_survive_an_edit(self):
        cases = ((b"a\rb\r\nR1\r\n", "a\u240db\nR1\n"),          # a lone CR inside a line
                 (b"c\r\r\nR1\r\n", "c\u240d\nR1\n"),            # CR CR LF
                 (b"d\ne\r\rR1\r\n", "d\ne\u240d\u240dR1\n"))   # an LF alone, two CRs alone
        for body, shown in cases:
            with self.subTest(body=body):
                text = b"\r\n".join([b"KERV 1.2 30.5", b"title", b".20", b"a.qvd", b".", b"."]) + b"\r\n" + body
                path = self.put("s.krv", archive(b"KRV", text, [b"A"]))
                self.open_archive(path)
                self.find("#scenario summary").click()
                edit = self.find("#scenario-edit")
                self.assertTrue(edit.get_attribute("value").endswith(shown))
                # The last line edited, as a person types: from the end, left over the line feed.
                edit.send_keys(Keys.CONTROL, Keys.END, Keys.NULL, Keys.LEFT, Keys.BACKSPACE, "2")
                self.put("t.txt", tool("kerv", "scenario", path).stdout.replace(b"R1", b"R2"))
                saved, kervs = self.saved_and_kervs(path, "--scenario-text", self.path("t.txt"))
                self.assertEqual(saved, kervs)
                self.assertEqual(saved, archive(b"KRV", text.replace(b"R1", b"R2"), [b"A"]))
                os.remove(os.path.join(self.downloads, "s.krv"))
                self.load(driver.current_url)

    def test_a_name_added_to_the_list_gets_a_file(self):
        packed = self.packed_example()
        self.open_archive(packed)
        # door.qvd renamed: it is left out, and new.qvd needs a file.
        edit = self.replace_in_scenario("door.qvd", "new.qvd")
        self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#entries tr.added"))
        added = self.find("#entries tr.added")
        self.assertEqual(added.find_element(By.CSS_SELECTOR, "td").text, "new.qvd")
        door = [r for r in driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr") if "door.qvd" in r.text][0]
        self.assertIn("dropped", door.get_attribute("class"))
        self.find("#save-archive").click()
        self.wait(lambda: "new.qvd. Give each a file" in self.text("save-status"))
        added.find_element(By.CSS_SELECTOR, "button.add").click()
        self.find("#replace-input").send_keys(self.put("new.qvd", b"the new data"))
        self.wait(lambda: "12" in added.text)
        self.put("t.txt", tool("kerv", "scenario", packed).stdout.replace(b"door.qvd", b"new.qvd"))
        saved, kervs = self.saved_and_kervs(packed, "--scenario-text", self.path("t.txt"),
                                            "new.qvd=" + self.path("new.qvd"))
        self.assertEqual(saved, kervs)


class BehaviourTest(Page):
    def slow_archive(self):
        """3000 blocks of 300 KiB: each size field takes a slice of its own, for seconds."""
        names = [bytes([97 + i % 26]) for i in range(3000)]
        slow = self.path("slow.krv")
        with open(slow, "wb") as f:
            f.write(archive(b"KRV", scenario(files=names), []))
            for _ in names:
                f.write(struct.pack("<i", 300 << 10))
                f.seek(300 << 10, os.SEEK_CUR)
            f.truncate()
        return slow

    def dialog_open(self):
        return self.find("#discard-dialog").get_attribute("open") is not None

    def leaving_warns(self):
        return driver.execute_script("const e = new Event('beforeunload', {cancelable: true});"
                                     "window.dispatchEvent(e); return e.defaultPrevented;")

    def test_nothing_is_lost_without_a_question(self):
        packed = self.packed_example()
        other = self.put("other.krv", archive(b"KRV", scenario(files=(b"b.qvd",)), [b"B"]))
        with open(other, "rb") as f:
            other_bytes = f.read()
        self.open_archive(packed)
        self.assertFalse(self.leaving_warns())
        # A dropped file that is no archive: the open archive stays, and the page says why.
        self.drop([("notes.txt", b"just some notes")])
        self.wait(lambda: self.text("error").startswith("notes.txt was not opened: not a KERV or P-KERV archive"))
        self.assertTrue(self.text("summary").startswith("story.krv:"))
        # An edit: leaving warns, and opening another archive asks first, by the picker and by a drop.
        door = [r for r in driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr") if "door.qvd" in r.text][0]
        door.find_element(By.CSS_SELECTOR, "button.replace").click()
        self.find("#replace-input").send_keys(self.put("new-door.qvd", b"a new door"))
        self.wait(lambda: "700 \u2192 10" in door.text)
        self.assertTrue(self.leaving_warns())
        for how in ("picker", "drop"):
            if how == "picker":
                driver.find_element(By.ID, "open").send_keys(other)
            else:
                self.drop([("other.krv", other_bytes)])
            self.wait(self.dialog_open)
            self.assertEqual(driver.switch_to.active_element.get_attribute("id"), "discard-keep")
            self.assertEqual(self.text("discard-text"),
                             "The edits to story.krv are not saved. Opening other.krv discards them.")
            driver.switch_to.active_element.send_keys(Keys.ESCAPE)  # keep editing
            self.wait(lambda: not self.dialog_open())
            self.assertTrue(self.text("summary").startswith("story.krv:"), how)
            self.assertIn("700 \u2192 10", door.text)
        # A text file dropped on the scenario's text box is inserted there, never opened.
        self.find("#scenario summary").click()
        edit = self.find("#scenario-edit")
        driver.execute_script("arguments[0].setSelectionRange(0, 0)", edit)
        self.drop([("line.txt", "\ufeff; 翻訳\r\n".encode())], "document.getElementById('scenario-edit')")
        self.wait(lambda: edit.get_attribute("value").startswith("; 翻訳\n"))
        self.assertEqual(self.text("scenario-status"), "line.txt was inserted.")
        self.drop([("bad.txt", b"\x82\xa0 Shift_JIS")], "document.getElementById('scenario-edit')")
        self.wait(lambda: self.text("scenario-status") == "bad.txt is not UTF-8 text: nothing was inserted.")
        self.assertFalse(self.dialog_open())
        # Discarding, by choice: the other archive opens, and nothing is left to warn of.
        self.drop([("other.krv", other_bytes)])
        self.wait(self.dialog_open)
        self.find("#discard-open").click()
        self.wait(lambda: self.text("summary").startswith("other.krv:"))
        self.assertFalse(self.leaving_warns())

    def test_busy_means_busy_and_the_last_choice_wins(self):
        self.open_archive(self.packed_example())
        driver.execute_script("window.errors = []; window.addEventListener('error', e => errors.push(e.message));"
                              "window.addEventListener('unhandledrejection', e => errors.push(String(e.reason)));")
        driver.find_element(By.ID, "open").send_keys(self.slow_archive())
        self.wait(lambda: self.text("open-status").startswith("Opening slow.krv:"))
        self.assertIn("Saving, extracting, replacing and editing wait until it is open.", self.text("open-status"))
        for css in ("#extract-all", "#save-archive", "#entries", "#scenario-edit"):
            self.assertEqual(self.find(css).get_attribute("aria-disabled"), "true", css)
        self.assertEqual(self.find("#scenario-edit").get_attribute("readOnly"), "true")
        self.find("#extract-all").click()
        self.assertEqual(self.text("extract-status"), "Wait until the archive is open.")
        self.find("#entries button.replace").click()
        self.assertEqual(self.text("save-status"), "Wait until the archive is open.")
        # Every button of the rows shown is busy too, and a row's Save saves nothing meanwhile.
        self.assertEqual({b.get_attribute("aria-disabled") for b in
                          driver.find_elements(By.CSS_SELECTOR, "#entries tbody button")}, {"true"})
        driver.execute_script("document.getElementById('save-status').textContent = ''")
        self.find("#entries button.save").click()
        self.assertEqual(self.text("save-status"), "Wait until the archive is open.")
        self.assertEqual(os.listdir(self.downloads), [])
        # The first archive is still the one shown; another choice stops the slow one.
        self.assertTrue(self.text("summary").startswith("story.krv:"))
        self.open_archive(self.put("b.krv", archive(b"KRV", scenario(files=(b"b.qvd",)), [b"B"])))
        started = time.monotonic()
        while time.monotonic() - started < 5:  # the slow one would have finished by now
            self.assertEqual((self.text("summary").split(":")[0], len(self.rows())), ("b.krv", 1))
            time.sleep(0.25)
        self.assertEqual(self.find("#extract-all").get_attribute("aria-disabled"), "false")
        self.assertEqual(self.find("#entries button.save").get_attribute("aria-disabled"), "false")
        self.assertEqual(driver.execute_script("return errors"), [])

    def test_policy_language_keyboard_and_small_screens(self):
        with open(PAGE, encoding="utf-8") as f:
            policy = f.read().split('http-equiv="Content-Security-Policy" content="')[1].split('"')[0]
        for word in ("'unsafe-inline'", "'unsafe-eval'"):
            self.assertNotIn(word, policy)
        for word in ("'wasm-unsafe-eval'", "base-uri 'none'", "form-action 'none'", "script-src 'sha256-"):
            self.assertIn(word, policy)
        # Japanese: chosen, remembered, and the default of a Japanese browser.
        self.find("#language option[value=ja]").click()
        self.assertEqual((self.find("h1").text, driver.execute_script("return document.documentElement.lang")),
                         ("KERV アーカイブ", "ja"))
        self.load(driver.current_url)
        self.assertEqual(self.find("h1").text, "KERV アーカイブ")
        self.find("#language option[value=en]").click()
        driver.execute_script("localStorage.clear()")
        agent = driver.execute_script("return navigator.userAgent")
        driver.execute_cdp_cmd("Emulation.setUserAgentOverride", {"userAgent": agent, "acceptLanguage": "ja-JP"})
        self.addCleanup(driver.execute_cdp_cmd, "Emulation.setUserAgentOverride", {"userAgent": agent})
        self.load(driver.current_url)
        self.assertEqual((self.find("#open-heading").text, self.find("#language").get_attribute("value")),
                         ("アーカイブを開く", "ja"))
        driver.execute_script("localStorage.clear()")
        driver.execute_cdp_cmd("Emulation.setUserAgentOverride", {"userAgent": agent, "acceptLanguage": "en-US"})
        self.load(driver.current_url)
        driver.execute_script("window.violations = [];"
                              "document.addEventListener('securitypolicyviolation', e => violations.push(e.violatedDirective));")

        # One tab stop for the table; arrows, Enter; names in full as tooltips.
        long_name = "長" * 100 + ".qvd"  # 304 bytes: too long for a file system's name
        png = bytes.fromhex("89504e470d0a1a0a") + b"no picture follows"
        names = (b"a.qvd", b"b.qvd", long_name.encode("cp932"), b"bad.zpt")
        self.open_archive(self.put("k.krv", archive(b"KRV", scenario(files=names), [b"A", b"B" * 3000, b"L", png])))
        self.assertEqual(driver.execute_script(
            "return Array.from(document.querySelectorAll('#entries tbody tr'), r => r.tabIndex)"), [0, -1, -1, -1])
        self.find("#entries tbody tr").click()
        active = driver.switch_to.active_element
        for key in ("\ue015", "\ue015", "\ue015", "\ue013"):  # down, down, down, up
            driver.switch_to.active_element.send_keys(key)
        driver.switch_to.active_element.send_keys("\ue007")  # Enter
        self.wait(lambda: long_name in self.text("preview"))
        self.assertNotEqual(active, driver.switch_to.active_element)
        row = driver.switch_to.active_element
        self.assertEqual((row.get_attribute("aria-selected"), row.get_attribute("aria-label")),
                         ("true", f"{long_name}, 1 bytes"))
        self.assertEqual(row.find_element(By.CSS_SELECTOR, "td").get_attribute("title"), long_name)
        row.find_element(By.CSS_SELECTOR, "button.save").click()
        self.wait(lambda: any(n.endswith(".qvd") for n in os.listdir(self.downloads)))
        saved = [n for n in os.listdir(self.downloads) if n.endswith(".qvd")][0]
        self.assertLessEqual(len(saved.encode()), 255)
        # A picture that does not decode: a word and its bytes.
        driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")[3].click()
        self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#preview p.bad"))
        self.assertIn("89 50 4e 47", self.find("#preview pre").text)

        # Nothing scrolls sideways; the header stands over its columns; a hex dump fits its box.
        self.addCleanup(driver.set_window_size, 1200, 900)
        for width, height in ((390, 900), (800, 900), (1280, 800)):
            driver.set_window_size(width, height)
            driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")[1].click()
            self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#preview pre"))
            self.assertLessEqual(driver.execute_script("return document.documentElement.scrollWidth"),
                                 driver.execute_script("return window.innerWidth"), width)
            columns = driver.execute_script("""
                const edges = cell => { const r = cell.getBoundingClientRect(); return [r.left, r.right]; };
                const header = document.querySelector('#entries thead tr').cells;
                const row = document.querySelector('#entries tbody tr').cells;
                return Array.from(header, (h, i) => h.offsetParent === null ? null : [edges(h), edges(row[i])]);""")
            for i, column in enumerate(columns):
                if column:
                    (hl, hr), (rl, rr) = column
                    self.assertLessEqual(max(abs(hl - rl), abs(hr - rr)), 1, (width, i, column))
            hex_box = self.find("#preview pre")
            self.assertLessEqual(hex_box.get_property("scrollWidth"), hex_box.get_property("clientWidth"), width)
            self.assertIn("|BBBBBBBB", hex_box.text)
        # 4.5:1 in both schemes, for grey text and for damage.
        for scheme in ("light", "dark"):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                   {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            ratios = driver.execute_script(CONTRAST)
            self.assertGreaterEqual(min(ratios), 4.5, (scheme, ratios))
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        self.assertEqual(driver.execute_script("return violations"), [])

    def test_drops_say_what_was_dropped(self):
        self.drop([("a.krv", b"KRV"), ("b.krv", b"KRV")])
        self.wait(lambda: self.text("error").startswith("2 files were dropped: nothing was opened."))
        self.assertTrue(self.find("#archive").get_attribute("hidden"))

    def test_save_waits_for_a_change_and_languages_switch_in_short_tasks(self):
        # 20,000 rows; the scenario's length field is 16 bits: one-letter names fit.
        names = [bytes([97 + i % 26]) for i in range(20000)]
        self.open_archive(self.put("many.krv", archive(b"KRV", scenario(files=names), [b"x"] * 20000)))
        self.wait(lambda: driver.execute_script("return document.querySelectorAll('#entries tbody tr').length") == 20000)
        self.assertEqual(self.find("#save-archive").get_property("disabled"), True)
        # The switch relabels the rows in many short tasks of a few hundred rows each, never in
        # one, whatever the machine's speed: the tasks it takes are counted.
        last_label = ("const rows = document.querySelectorAll('#entries tbody tr');"
                      "return rows[rows.length - 1].getAttribute('aria-label');")
        driver.execute_script("window.tasks = 0; const plain = window.setTimeout;"
                              "window.setTimeout = (f, t) => plain(() => { tasks++; f(); }, t);")
        # The menu as a person uses it, by keys.
        for key, ending in ((Keys.DOWN, "、1 バイト"), (Keys.UP, ", 1 bytes")):
            driver.execute_script("tasks = 0")
            self.find("#language").send_keys(key)
            self.wait(lambda: driver.execute_script(last_label).endswith(ending))
            self.assertGreaterEqual(driver.execute_script("return tasks"), 20000 // 300, ending)
        # A change enables Save.
        self.find("#scenario summary").click()
        self.find("#scenario-edit").send_keys(Keys.CONTROL, Keys.END, Keys.NULL, "x")
        self.wait(lambda: self.find("#save-archive").get_property("disabled") is False)


# The contrast of muted and of bad text against the page's background.
CONTRAST = """
  const probe = document.body.appendChild(document.createElement('p'));
  probe.style.background = 'Canvas';
  const rgb = c => c.match(/[\\d.]+/g).slice(0, 3).map(Number);
  const luminance = c => rgb(c).map(v => v / 255).map(v => v <= 0.03928 ? v / 12.92 : ((v + 0.055) / 1.055) ** 2.4)
    .reduce((sum, v, i) => sum + v * [0.2126, 0.7152, 0.0722][i], 0);
  const background = luminance(getComputedStyle(probe).backgroundColor);
  const ratios = [];
  for (const cls of ['hint', 'bad']) {
    probe.className = cls;
    const text = luminance(getComputedStyle(probe).color);
    ratios.push((Math.max(text, background) + 0.05) / (Math.min(text, background) + 0.05));
  }
  probe.remove();
  return ratios;"""


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass


class ExtractTest(Page):
    def test_extract_all_into_a_folder(self):
        # The browser's private file system stands in for the folder a person
        # would pick; it needs a page served over HTTP.
        handler = functools.partial(QuietHandler, directory=os.path.dirname(PAGE))
        server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        self.load(f"http://127.0.0.1:{server.server_address[1]}/{os.path.basename(PAGE)}")

        # Refused by the rules of POSIX and of Windows both; \xNN only on screen.
        refused = ((b"bad\x80\xff\xa0sjis.qvd", "bad\\x80\\xFF\\xA0sjis.qvd", "byte 0xFF at offset 4 has no character"),
                   (b"x/..\x80", "x/..\\x80", "control character U+0080"),
                   (b"CON.qvd", "CON.qvd", "a device name on Windows"),
                   (b"a.qvd:x", "a.qvd:x", "':' names a drive or a stream on Windows"),
                   (b"C:x", "C:x", "':' names a drive or a stream on Windows"),
                   (b"x.", "x.", "a name that ends in a dot or a blank, which Windows drops"))
        names = (b"../up.qvd", b"sub/deep/x.qvd", SEA.encode("cp932"), b"a.qvd", b"a.qvd", *(r[0] for r in refused))
        text = scenario(files=names)
        blocks = [b"up", b"deep", b"sea", b"one", b"two"] + [b"no"] * len(refused)
        expected_log = ['created "s.ker"', "can not create ../up.qvd : '..' leads outside the folder",
                        'created "sub/deep/x.qvd"', f'created "{SEA}"', 'created "a.qvd"',
                        "can not create a.qvd : File exists",
                        *(f"can not create {shown} : {why}" for _, shown, why in refused)]
        # The scenario's own name gets the Windows checks too.
        con = (b"KERV 1.2 30.5\r\ntitle\r\n.\r\n.\r\n.\r\n", "CON.krv",
               ["can not create CON.ker : a device name on Windows"])
        for language in ("en", "ja"):
            for data, name, log in ((archive(b"KRV", text, blocks), "s.krv", expected_log),
                                    (archive(b"KRV", con[0], []), con[1], con[2])):
                self.find(f"#language option[value={language}]").click()
                self.open_archive(self.put(name, data))
                self.call("const root = await navigator.storage.getDirectory();"
                          "await root.removeEntry('out', {recursive: true}).catch(() => {});"
                          "window.showDirectoryPicker = () => root.getDirectoryHandle('out', {create: true});")
                self.find("#extract-all").click()
                self.wait(lambda: "out" in self.text("extract-status"))
                if language == "en":
                    self.assertEqual(self.text("extract-log").splitlines(), log)
                else:
                    self.assertEqual(len(self.text("extract-log").splitlines()), len(log))
                    self.assertEqual(self.japanese_words([r[1] for r in refused] + ["sub/deep/x.qvd", "CON", "out"]),
                                     [])
                expected = {"s.ker": text, "sub/deep/x.qvd": b"deep", SEA: b"sea", "a.qvd": b"one"}
                self.assertEqual(self.created(), expected if name == "s.krv" else {})  # CON.krv: nothing at all

    def created(self):
        """The files in the folder extracted into, by their paths."""
        files = self.call("""
            const out = {};
            async function walk(dir, prefix) {
              for await (const [name, handle] of dir.entries()) {
                if (handle.kind === 'directory') { await walk(handle, prefix + name + '/'); continue; }
                const bytes = new Uint8Array(await (await handle.getFile()).arrayBuffer());
                out[prefix + name] = btoa(String.fromCharCode(...bytes));
              }
            }
            await walk(await (await navigator.storage.getDirectory()).getDirectoryHandle('out'), '');
            return out;""")
        return {k: base64.b64decode(v) for k, v in files.items()}


def varint(data, at):
    """A VCDIFF integer at `at`: (value, where it ends)."""
    value = 0
    while True:
        value = value << 7 | data[at] & 0x7F
        at += 1
        if data[at - 1] < 0x80:
            return value, at


def encode_varint(value):
    out = [value & 0x7F]
    while value > 0x7F:
        value >>= 7
        out.append(0x80 | value & 0x7F)
    return bytes(reversed(out))


def windows_of(patch):
    """A patch of kerv's (no secondary compression) as its header and its windows, each
    (indicator, segment fields, target length, delta indicator, lengths, checksum or None, sections)."""
    header_end = 5
    indicator = patch[4]
    if indicator & 4:  # an application header
        length, at = varint(patch, 5)
        header_end = at + length
    header, at, windows = patch[:header_end], header_end, []
    while at < len(patch):
        win = patch[at]
        start = at = at + 1
        if win & 3:
            _, at = varint(patch, at)
            _, at = varint(patch, at)
        segment = patch[start:at]
        _, at = varint(patch, at)  # the delta encoding's length
        target, at = varint(patch, at)
        delta = patch[at]
        lengths = []
        at += 1
        for _ in range(3):
            n, at = varint(patch, at)
            lengths.append(n)
        checksum = None
        if win & 4:
            checksum, at = patch[at:at + 4], at + 4
        sections = patch[at:at + sum(lengths)]
        at += sum(lengths)
        windows.append((win, segment, target, delta, lengths, checksum, sections))
    return header, windows


def encode_windows(header, windows):
    out = bytearray(header)
    for win, segment, target, delta, lengths, checksum, sections in windows:
        encoding = encode_varint(target) + bytes([delta]) + b"".join(map(encode_varint, lengths)) + (checksum or b"")
        out += bytes([win]) + segment + encode_varint(len(encoding) + len(sections)) + encoding + sections
    return bytes(out)


def without_checksums(patch):
    """The patch with its windows' Adler-32 taken out."""
    header, windows = windows_of(patch)
    return encode_windows(header, [(w & ~4, s, t, d, l, None, x) for w, s, t, d, l, _, x in windows])


def without_sums(patch):
    """The patch with the sums taken out of its header: the names alone, as xdelta3 writes it."""
    header, windows = windows_of(patch)
    length, at = varint(header, 5)
    names = header[at:at + length].split(b"\0")[0]
    return encode_windows(header[:5] + encode_varint(len(names)) + names, windows)


# A picker as Chromium's File System Access API gives it, into a file the test
# reads back: what the page writes, and whether it closes or aborts the stream.
FAKE_PICKER = """
window.saved = {parts: [], aborted: false, closed: false, name: null, removed: false};
window.showSaveFilePicker = async options => {
  saved.name = options.suggestedName;
  return {
    getFile: async () => new File([], options.suggestedName),
    remove: async () => { saved.removed = true; },
    createWritable: async () => ({
      write: async part => { saved.parts.push(new Blob([part])); },
      abort: async () => { saved.aborted = true; },
      close: async () => { saved.closed = true; },
    }),
  };
};"""


class PatchTest(Page):
    def pair(self):
        """The example packed (story.krv) and changed by kerv update (new.krv: door.qvd and the scenario)."""
        old = self.packed_example()
        folder = os.path.dirname(old)
        with open(old, "rb") as f:
            whole = f.read()
        text = whole[10:10 + struct.unpack("<H", whole[8:10])[0]]
        self.put("new.ker", text.replace(b"\r\n.", b"\r\n; translated\r\n.", 1))
        with open(os.path.join(EXAMPLES, "op.qvd"), "rb") as f:
            op = bytearray(f.read())
        op[700:703] = b"new"  # a block changed inside
        result = tool("kerv", "update", "-o", "new.krv", "--scenario", self.path("new.ker"), "story.krv",
                      "door.qvd=" + self.put("door.qvd", b"a new door" * 80), "op.qvd=" + self.put("op.qvd", op),
                      cwd=folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        return old, os.path.join(folder, "new.krv")

    def take(self, name):
        """A download, removed so that the next of that name keeps it."""
        data = self.downloaded(name)
        os.remove(os.path.join(self.downloads, name))
        return data

    def apply(self, archive, patch, stream):
        """Applies `patch` to `archive` with the page's inputs and button, saving through the fake
        picker (`stream`) or as a download."""
        driver.execute_script(FAKE_PICKER if stream else "window.showSaveFilePicker = undefined")
        self.pick("apply-archive", archive)
        self.pick("apply-patch", patch)
        self.find("#apply-button").click()

    def test_made_and_applied_as_the_command_does(self):
        old, new = self.pair()
        folder = os.path.dirname(old)
        printed = tool("kerv", "diff", "--patch", "cmd.vcdiff", "story.krv", "new.krv", cwd=folder)
        with open(os.path.join(folder, "cmd.vcdiff"), "rb") as f:
            expected = f.read()
        with open(new, "rb") as f:
            changed = f.read()
        for language in ("en", "ja"):
            self.load("file://" + PAGE)
            self.find(f"#language option[value={language}]").click()
            # The open archive to a changed one: kerv diff's bytes, and its lines.
            self.open_archive(old)
            self.pick("patch-new", new)
            self.assertEqual(self.take("new.vcdiff"), expected, language)
            if language == "en":
                self.assertEqual(self.text("make-changes"), printed.stdout.decode().strip())
                self.assertEqual(self.text("make-status"), f"new.vcdiff ({len(expected)} bytes) is saved: 3 changes.")
            else:
                self.assertEqual(len(self.text("make-changes").splitlines()), 3)
            # Applied as a download, and through a stream where the browser has one.
            self.apply(old, os.path.join(folder, "cmd.vcdiff"), stream=False)
            self.assertEqual(self.take("new.krv"), changed)
            self.wait(lambda: "new.krv" in self.text("apply-status"))
            self.assertEqual(self.text("apply-error"), "")
            if language == "en":
                self.assertEqual(self.text("apply-status"),
                                 f"new.krv ({len(changed)} bytes) is saved, checked: story.krv was the archive the patch "
                                 "was made from, and every byte is as the patch says.")
            else:
                self.assertEqual(self.japanese_words(["story.krv", "new.krv", "cmd.vcdiff", "new.vcdiff", "door.qvd",
                                                      "op.qvd"]), [])
            self.apply(old, os.path.join(folder, "cmd.vcdiff"), stream=True)
            self.assertEqual(self.streamed(), (changed, True, False))
            self.assertEqual(driver.execute_script("return saved.name"), "new.krv")
            self.assertEqual(os.listdir(self.downloads), [])

        # The blocks in another order, and a window that copies from what earlier windows made
        # (VCD_TARGET, as RFC 3284 allows; xdelta3 writes none): as kerv does.
        with open(old, "rb") as f:
            original = f.read()
        text = original[10:10 + struct.unpack("<H", original[8:10])[0]]
        self.put("order.ker", text.replace(b"op.qvd\r\n", b"").replace(b"title.zpt\r\n", b"title.zpt\r\nop.qvd\r\n"))
        result = tool("kerv", "update", "-o", "order.krv", "--scenario", self.path("order.ker"), "story.krv", cwd=folder)
        self.assertEqual(result.returncode, 0, result.stderr)
        tool("kerv", "diff", "--patch", "order.vcdiff", "story.krv", "order.krv", cwd=folder)
        self.load("file://" + PAGE)
        self.open_archive(old)
        self.pick("patch-new", os.path.join(folder, "order.krv"))
        with open(os.path.join(folder, "order.vcdiff"), "rb") as f:
            self.assertEqual(self.take("order.vcdiff"), f.read())
        copy = lambda size: (bytes([19]) + encode_varint(size), encode_varint(0))  # COPY, its size; address 0 (VCD_SELF)
        windows = [(1, encode_varint(len(original)) + encode_varint(0), len(original), 0, None),
                   (2, encode_varint(100) + encode_varint(10), 100, 0, None)]
        self.put("target.vcdiff", encode_windows(b"\xd6\xc3\xc4\x00\x00", [
            (win, segment, target, delta, [0, len(copy(target)[0]), len(copy(target)[1])], checksum,
             copy(target)[0] + copy(target)[1]) for win, segment, target, delta, checksum in windows]))
        self.assertEqual(tool("kerv", "patch", "-o", self.path("t.krv"), old, self.path("target.vcdiff")).returncode, 0)
        # Without sums or checksums it cannot tell the right file: applied once that is confirmed.
        self.apply(old, self.path("target.vcdiff"), stream=False)
        self.wait(lambda: self.find("#unchecked-dialog").get_attribute("open") is not None)
        self.find("#unchecked-apply").click()
        self.assertEqual(self.take("story.krv"), original + original[10:110])

        # The edits: a patch of them is kerv diff --patch's of the original and the saved archive.
        self.load("file://" + PAGE)
        self.find("#language option[value=en]").click()
        self.open_archive(old)
        row = driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")[2]
        row.find_element(By.CSS_SELECTOR, "button.replace").click()
        self.find("#replace-input").send_keys(self.put("edited-door.qvd", b"an edited door"))
        self.wait(lambda: not self.find("#patch-edits").get_attribute("disabled"))
        self.find("#patch-edits").click()
        edits = self.take("story.vcdiff")
        self.find("#save-archive").click()
        self.put("edited/story.krv", self.take("story.krv"))
        listed = tool("kerv", "diff", "--patch", self.path("edited.vcdiff"), old, self.path("edited/story.krv"))
        with open(self.path("edited.vcdiff"), "rb") as f:
            self.assertEqual(edits, f.read())
        self.assertEqual(self.text("make-changes"), listed.stdout.decode().strip())
        # A patcher page of it, with a title and a note: kerv diff --page's bytes.
        self.find("#patcher-title-input").send_keys("Door mod")
        self.find("#patcher-note-input").send_keys("<b>not bold</b> & more")
        self.find("#make-patcher").click()
        page = self.take("story-patcher.html")
        made = tool("kerv", "diff", "--page", self.path("p.html"), "--title", "Door mod", "--note",
                    "<b>not bold</b> & more", old, self.path("edited/story.krv"))
        self.assertEqual(made.returncode, 1, made.stderr)
        with open(self.path("p.html"), "rb") as f:
            self.assertEqual(page, f.read())

    @unittest.skipUnless(shutil.which("xdelta3"), "needs xdelta3")
    def test_xdelta3s_lzma_patches_of_several_windows(self):
        old = self.put("old.krv", archive(b"KRV", scenario(files=(b"a.qvd", b"b.qvd")),
                                          [os.urandom(600000), bytes(range(256)) * 2000]))
        with open(old, "rb") as f:
            changed = bytearray(f.read())
        for at in range(1000, len(changed), 97000):
            changed[at] ^= 0x5A
        new = self.put("new.krv", bytes(changed))
        for flags in ([], ["-9"]):
            subprocess.run(["xdelta3", "-e", "-f", *flags, "-W", "65536", "-s", old, new, self.path("x.vcdiff")],
                           check=True)
            subprocess.run(["xdelta3", "-d", "-f", "-s", old, self.path("x.vcdiff"), self.path("x.krv")], check=True)
            with open(self.path("x.krv"), "rb") as f:
                expected = f.read()
            self.apply(old, self.path("x.vcdiff"), stream=False)
            self.assertEqual(self.take("new.krv"), expected, flags)
            self.assertEqual(self.text("apply-error"), "")

    def test_a_patch_that_does_not_fit_saves_nothing(self):
        old, new = self.pair()
        folder = os.path.dirname(old)
        tool("kerv", "diff", "--patch", "p.vcdiff", "story.krv", "new.krv", cwd=folder)
        with open(os.path.join(folder, "p.vcdiff"), "rb") as f:
            patch = f.read()
        with open(old, "rb") as f:
            whole = f.read()
        size, new_size = len(whole), os.path.getsize(new)
        header, windows = windows_of(patch)
        other = self.put("other.krv", whole[:-1] + bytes([whole[-1] ^ 1]))  # another edition: one byte differs
        cases = (  # archive, patch, the alert (English)
            (self.put("short.krv", whole[:-1]), "p.vcdiff",
             f"short.krv is not the archive this patch was made from ({size:,} bytes expected, {size - 1:,} found); "
             "it may be another edition, or already patched"),
            (new, "p.vcdiff", "new.krv is already patched: it is the archive this patch makes"),
            (other, "p.vcdiff", f"other.krv is not the archive this patch was made from ({size:,} bytes as expected, "
                                "but other bytes); it may be another edition, or already patched"),
            (old, self.put("cut.vcdiff", patch[:len(header)]),
             f"cut.vcdiff is cut short or damaged: it makes 0 bytes where it promises {new_size}"),
            (old, self.put("cut2.vcdiff", patch[:-3]), "cut2.vcdiff: window 0 (patch offset "),
            (old, self.put("long.vcdiff", patch + patch[len(header):]),
             f"long.vcdiff is cut short or damaged: it makes {2 * new_size} bytes where it promises {new_size}"),
            (old, self.put("junk.vcdiff", b"not a patch"),
             "junk.vcdiff: not a VCDIFF patch: it does not start with VCDIFF's magic bytes"),
            # Either check alone tells another edition: sums without checksums, checksums without sums.
            (other, self.put("no-checksums.vcdiff", without_checksums(patch)),
             f"other.krv is not the archive this patch was made from ({size:,} bytes as expected, but other bytes); "
             "it may be another edition, or already patched"),
            (other, self.put("no-sums.vcdiff", without_sums(patch)),
             "no-sums.vcdiff: window 0 (patch offset "),
        )
        for language in ("en", "ja"):
            self.load("file://" + PAGE)
            self.find(f"#language option[value={language}]").click()
            for stream in (False, True):
                for archive_path, patch_name, alert in cases:
                    patch_path = patch_name if os.path.isabs(patch_name) else os.path.join(folder, patch_name)
                    self.apply(archive_path, patch_path, stream)
                    self.wait(lambda: self.text("apply-error"), message=f"{patch_name} on {archive_path}")
                    said = self.text("apply-error")
                    self.assertEqual(self.attribute("apply-error", "role"), "alert")
                    if language == "en":
                        self.assertTrue(said.startswith("Nothing was saved: " + alert), (said, alert))
                    else:
                        self.assertEqual(self.japanese_words(["short.krv", "new.krv", "other.krv", "story.krv",
                                                              "cut.vcdiff", "cut2.vcdiff", "long.vcdiff", "junk.vcdiff",
                                                              "p.vcdiff", "no-sums.vcdiff", "no-checksums.vcdiff",
                                                              "VCDIFF"]), [], said)
                    if stream and not patch_name.endswith("junk.vcdiff"):  # no patch: refused before a file is picked
                        bytes_written, closed, aborted = self.streamed(patch_name + " " + said)
                        self.assertEqual((closed, aborted), (False, True), said)
                    self.assertEqual(os.listdir(self.downloads), [], said)
        # A patch that cannot tell the right file: applied to none unless the person confirms it.
        self.put("none.vcdiff", without_sums(without_checksums(patch)))
        self.find("#language option[value=en]").click()
        self.apply(other, self.path("none.vcdiff"), stream=False)
        self.wait(lambda: self.find("#unchecked-dialog").get_attribute("open") is not None)
        self.find("#unchecked-cancel").click()
        self.wait(lambda: self.text("apply-error"))
        self.assertIn("none.vcdiff cannot tell the right file", self.text("apply-error"))
        self.assertEqual(os.listdir(self.downloads), [])


class PatcherTest(Page):
    """The patcher page kerv diff --page writes, opened from disk as a player opens it."""

    def test_a_patcher_page_patches_the_right_archive_and_no_other(self):
        old = self.packed_example()
        folder = os.path.dirname(old)
        with open(old, "rb") as f:
            whole = f.read()
        self.put("door.qvd", b"a new door" * 80)
        self.assertEqual(tool("kerv", "update", "-o", "story-en.krv", "story.krv", "door.qvd=" + self.path("door.qvd"),
                              cwd=folder).returncode, 0)
        with open(os.path.join(folder, "story-en.krv"), "rb") as f:
            changed = f.read()
        note = '<img src=x onerror="document.title=\'owned\'"> & <script>alert(1)</script>'
        made = tool("kerv", "diff", "--page", self.path("patcher.html"), "--title", "Story, in English", "--note", note,
                    "story.krv", "story-en.krv", cwd=folder)
        self.assertEqual(made.returncode, 1, made.stderr)
        same_size = self.put("other/story.krv", whole[:-1] + bytes([whole[-1] ^ 1]))
        other_size = self.put("short/story.krv", whole[:-1])
        for language in ("en", "ja"):
            for stream in (False, True):
                self.load("file://" + self.path("patcher.html"))
                self.find(f"#language option[value={language}]").click()
                driver.execute_script(FAKE_PICKER if stream else "window.showSaveFilePicker = undefined")
                self.assertEqual(self.text("patcher-title"), "Story, in English")
                self.assertEqual(self.text("patcher-note"), note)  # shown as text, never as markup
                self.assertEqual(driver.find_elements(By.CSS_SELECTOR, "#patcher-note *, img"), [])
                if language == "en":
                    self.assertEqual(self.text("patcher-needs"), f"This page patches story.krv ({len(whole):,} bytes) "
                                                                 "into story-en.krv. Pick that archive; nothing else is "
                                                                 "accepted.")
                # Another size: refused at once; the same size, other bytes: once read.
                self.pick("patcher-archive", other_size)
                self.wait(lambda: self.text("patcher-error"))
                if language == "en":
                    self.assertEqual(self.text("patcher-error"),
                                     f"story.krv is not the archive this patch needs: story.krv has {len(whole):,} "
                                     f"bytes, story.krv {len(whole) - 1:,}.")
                self.pick("patcher-archive", same_size)
                self.wait(lambda: self.text("patcher-error"))
                if language == "en":
                    self.assertIn("is not the archive this patch was made from", self.text("patcher-error"))
                else:
                    self.assertEqual(self.japanese_words(["story.krv", "story-en.krv", "Story", "English", note]), [])
                self.assertTrue(self.find("#patcher-apply").get_attribute("disabled"))
                # The right one: patched, checked, saved under the new archive's name.
                self.pick("patcher-archive", old)
                self.wait(lambda: not self.find("#patcher-apply").get_attribute("disabled"))
                self.find("#patcher-apply").click()
                if stream:
                    self.assertEqual(self.streamed(), (changed, True, False))
                else:
                    self.assertEqual(self.downloaded("story-en.krv"), changed)
                    os.remove(os.path.join(self.downloads, "story-en.krv"))
                self.wait(lambda: "story-en.krv" in self.text("patcher-status"))
                self.assertEqual(self.text("patcher-error"), "")
                if language == "ja":
                    self.assertEqual(self.japanese_words(["story.krv", "story-en.krv", "Story", "English", note]), [])
        self.assertNotEqual(driver.title, "owned")


class TranslatorTest(Page):
    def test_export_and_apply_as_kerv_strings_and_update_do(self):
        old = self.packed_example()
        folder = os.path.dirname(old)
        self.open_archive(old)
        self.find("#scenario summary").click()
        for fmt in ("po", "csv"):
            self.find(f"#export-{fmt}").click()
            self.assertEqual(self.take_download(f"story.{fmt}"), tool("kerv", "strings", "--format", fmt, old).stdout)
        po = tool("kerv", "strings", old).stdout.decode()
        translated = po.replace('msgid "潮騒の聞こえる町で"\nmsgstr ""', 'msgid "潮騒の聞こえる町で"\nmsgstr "A town — by the sea"')
        self.put("t.po", translated.encode())
        self.pick("strings-input", self.path("t.po"))
        self.wait(lambda: "t.po" in self.text("strings-status"))
        self.assertIn("A town ― by the sea", self.find("#scenario-edit").get_property("value"))
        self.find("#save-archive").click()
        saved = self.take_download("story.krv")
        self.assertEqual(tool("kerv", "update", "-o", self.path("cli.krv"), old, "--strings", self.path("t.po")).returncode, 0)
        with open(self.path("cli.krv"), "rb") as f:
            self.assertEqual(saved, f.read())
        # Every problem listed, in both languages; the text box left as it was.
        self.load("file://" + PAGE)
        self.open_archive(old)
        self.find("#scenario summary").click()
        before = self.find("#scenario-edit").get_property("value")
        bad = po.replace('msgid "潮騒の聞こえる町で"\nmsgstr ""', 'msgid "潮騒の聞こえる町で"\nmsgstr "♥ and ☃"')
        bad = bad.replace('msgid "春の海　～第一話～"', 'msgid "夏の海"').replace('msgctxt "2"\nmsgid "夏の海"\nmsgstr ""',
                                                                     'msgctxt "2"\nmsgid "夏の海"\nmsgstr "Summer"')
        self.put("bad.po", bad.encode())
        for language in ("en", "ja"):
            self.find(f"#language option[value={language}]").click()
            self.drop([("bad.po", bad.encode())])
            self.wait(lambda: self.text("strings-errors"))
            errors = self.text("strings-errors").splitlines()
            self.assertEqual(len(errors), 3, errors)
            if language == "en":
                said = tool("kerv", "update", old, "--strings", self.path("bad.po")).stderr.decode().splitlines()
                self.assertEqual(errors, [line.removeprefix("kerv: ").replace(self.path("bad.po"), "bad.po")
                                          for line in said])
            else:
                self.assertEqual(self.japanese_words(["story.krv", "bad.po", "Summer", "and"]), [])
            self.assertEqual(self.find("#scenario-edit").get_property("value"), before)

    def take_download(self, name):
        data = self.downloaded(name)
        os.remove(os.path.join(self.downloads, name))
        return data


class LanguageTest(Page):
    def test_no_english_sentence_in_the_japanese_page(self):
        self.find("#language option[value=ja]").click()
        packed = self.packed_example()
        with open(packed, "rb") as f:
            whole = f.read()
        names = ["story.krv", "story.ker", "op.qvd", SEA, "door.qvd", "new-door.qvd", "title.zpt", "new.qvd", "bgm01",
                 "bgm02"]
        steps = []

        def check(step):
            self.assertEqual(self.japanese_words(names), [], step)
            steps.append(step)

        self.open_archive(self.put("cut.krv", whole[:-12]))
        self.assertTrue(self.text("damage"))
        check("damage")
        self.drop([("zip.krv", b"PK\3\4 a zip file")])
        self.wait(lambda: self.text("error").startswith("zip.krv は開きませんでした"))
        check("not an archive")
        self.open_archive(packed)
        rows = driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")
        rows[0].click()
        self.wait(lambda: self.text("preview"))
        rows[2].find_element(By.CSS_SELECTOR, "button.replace").click()
        self.find("#replace-input").send_keys(self.put("new-door.qvd", b"a new door"))
        self.wait(lambda: "\u2192" in rows[2].text)
        check("a row replaced")
        self.find("#scenario summary").click()
        edit = self.find("#scenario-edit")
        edit.send_keys(Keys.CONTROL, Keys.END, Keys.NULL, "\U0001F600")
        self.wait(lambda: "Shift_JIS" in self.text("scenario-status"))
        check("a character with no code")
        edit.send_keys(Keys.BACKSPACE, Keys.BACKSPACE)
        self.replace_in_scenario("door.qvd", "new.qvd")
        self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#entries tr.added"))
        self.find("#save-archive").click()
        self.wait(lambda: "new.qvd" in self.text("save-status"))
        check("a name with no file")
        driver.find_element(By.ID, "open").send_keys(self.put("cut2.krv", whole[:-12]))
        self.wait(lambda: self.find("#discard-dialog").get_attribute("open") is not None)
        check("the question")
        self.find("#discard-keep").click()
        for i, files in enumerate(((("s.ker", scenario(files=()).ljust(32768, b"x")),),
                                   (("s.ker", b"KERV 1.2 30.5\ntitle\n.\na.qvd\n.\n.\n"),),
                                   (("s.ker", scenario(files=(b"../up.qvd", b"a.qvd"))), ("a.qvd", b"a")))):
            self.pick("pack", *(self.put(os.path.join(f"p{i}", n), d) for n, d in files))
            self.wait(lambda: self.text("pack-error") or "../up.qvd" in self.text("pack-list"))
            check(f"packing {files[0][1][:20]}")
        self.assertEqual(len(steps), 9)

    def test_status_lines_follow_the_language_and_say_it_all_in_it(self):
        self.open_archive(self.packed_example())
        self.replace_in_scenario("波の音", "x" * 33000)
        self.wait(lambda: "32767" in self.text("scenario-status"))
        self.find("#save-archive").click()
        self.wait(lambda: "32767" in self.text("save-status"))
        # Said before the switch, said again after it: wholly Japanese, the library's reason too.
        self.find("#language option[value=ja]").click()
        for status in ("scenario-status", "save-status"):
            self.assertTrue(self.text(status).startswith("編集したシナリオは使えません: シナリオファイルは 32767 バイトまで"),
                            self.text(status))
        self.assertEqual(self.japanese_words(["story.krv", "story.ker", "op.qvd", SEA, "door.qvd", "title.zpt"]), [])
        # Said in Japanese, back in English.
        self.find("#save-archive").click()
        self.find("#language option[value=en]").click()
        self.assertTrue(self.text("save-status").startswith("the edited scenario cannot be used: a scenario file"),
                        self.text("save-status"))


class LayoutTest(Page):
    def test_long_names_are_shown_whole(self):
        size = driver.get_window_size()
        self.addCleanup(driver.set_window_size, size["width"], size["height"])
        driver.set_window_size(1280, 900)
        names = [f"データ\\声\\第一章の浜辺で交わされる長い台詞{i:02}.qvd" for i in (1, 2)]
        self.open_archive(self.put("long.krv", archive(b"KRV", scenario(files=[n.encode("cp932") for n in names]),
                                                       [b"1", b"2"])))
        cells = driver.find_elements(By.CSS_SELECTOR, "#entries td.name")
        self.assertEqual([c.text for c in cells], names)
        # Nothing of a name is hidden: each cell holds its whole text, wrapped where it must be.
        self.assertEqual(driver.execute_script(
            "return [...arguments[0]].filter(c => c.scrollWidth > c.clientWidth).length", cells), 0)

    def test_the_script_takes_a_name_as_every_surface_does(self):
        names = ["データ\\表紙.zpt".encode("cp932"), b"op.qvd"]
        self.open_archive(self.put("bs.krv", archive(b"KRV", scenario(files=names), [b"cover", b"op"])))
        got = self.call("const a = await kerv.open(document.getElementById('open').files[0]);"
                        "const made = await kerv.update(a, {replace: {'データ/表紙.zpt': new Blob(['NEW'])}});"
                        "const b = await kerv.open(new File([made], 'b.krv'));"
                        "return [b.entries[0].name, await b.entryBlob(b.entries[0]).text()];")
        self.assertEqual(got, ["データ\\表紙.zpt", "NEW"])

    def test_an_error_in_the_scenario_brings_the_caret_to_it(self):
        self.open_archive(self.packed_example())
        edit = self.replace_in_scenario("波の音", "波の\u2665音")
        self.wait(lambda: "U+2665" in self.text("scenario-status"))
        edit.send_keys(Keys.CONTROL, Keys.HOME)  # the caret elsewhere, as while typing on
        self.assertEqual(driver.execute_script("return arguments[0].selectionStart", edit), 0)
        self.find("#save-archive").click()
        self.wait(lambda: "U+2665" in self.text("save-status"))
        at = driver.execute_script("return arguments[0].value.indexOf('\u2665')", edit)
        self.assertEqual(driver.execute_script("return [arguments[0].selectionStart, document.activeElement.id]",
                                               edit), [at, "scenario-edit"])


if __name__ == "__main__":
    unittest.main()
