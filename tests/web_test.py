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
from selenium.webdriver.support.ui import WebDriverWait

PAGE = os.path.abspath(os.environ.get("KERV_PAGE", "build-web/web/kerv.html"))
BIN = os.environ.get("KERV_BIN", "build")
EXAMPLES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples")
SEA = "海.zpt"
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

    def load(self, url):
        driver.get(url)
        driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "allow", "downloadPath": self.downloads})
        self.assertEqual(self.call("return kerv.ready"), True)

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

    def wait(self, condition, seconds=20):
        return WebDriverWait(driver, seconds, poll_frequency=0.05).until(lambda _: condition())

    def open_archive(self, path):
        """Picks `path` with the page's file input; waits until it is shown or refused."""
        name = os.path.basename(path)
        driver.find_element(By.ID, "open").send_keys(path)
        self.wait(lambda: self.text("summary").startswith(name + ":") or self.text("error").startswith(name + ":"))

    def rows(self):
        """The table's rows as (name, size, offset), sizes and offsets from the rows' data attributes."""
        return [tuple(r) for r in driver.execute_script(
            "return Array.from(document.querySelectorAll('#entries tbody tr'), r =>"
            "  [r.cells[0].textContent, Number(r.dataset.size), Number(r.dataset.offset)]);")]

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
            self.assertEqual(self.text("scenario-text"), f.read().decode("cp932").replace("\r\n", "\n").rstrip("\n"))
        self.assertIn("Second number\n30.50", self.text("scenario-header"))

        # A row's Save button downloads its data file under its decoded name.
        row = [r for r in driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr") if SEA in r.text][0]
        row.find_element(By.CSS_SELECTOR, "button").click()
        with open(os.path.join(os.fsencode(EXAMPLES), SEA.encode("cp932")), "rb") as f:
            self.assertEqual(self.downloaded(SEA), f.read())

    def test_damage_and_what_is_no_archive(self):
        with open(self.packed_example(), "rb") as f:
            whole = f.read()
        cases = (("cut.krv", whole[:-12], None), ("junk.krv", whole + b"junk", None),
                 ("zip.krv", b"PK\3\4 a zip file", "error"), ("short.krv", whole[:60], "error"),
                 ("empty.krv", b"", "error"))
        for name, data, refused in cases:
            path = self.put(name, data)
            self.open_archive(path)
            err = tool("kervls", path).stderr.decode().replace(path, name).splitlines()
            if refused:
                self.assertEqual(self.text("error"), err[0].removeprefix("kervls: "), name)
                self.assertEqual(self.text("archive-heading"), "", name)
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
        self.wait(lambda: self.find("#entries").get_attribute("aria-busy") == "false")
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
    def pick(self, input_id, *paths):
        driver.find_element(By.ID, input_id).send_keys("\n".join(paths))

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
        cases = (((("s.ker", scenario(files=(b"a.qvd", b"gone.qvd"))), ("a.qvd", b"a")),
                  "s.ker lists data files that were not picked: gone.qvd"),
                 ((("s.ker", scenario(files=(b"huge.qvd",))), ("huge.qvd", None)),
                  "a data file holds at most 2147483647 bytes (under 2 GiB): huge.qvd (2147483648 bytes)"),
                 ((("s.ker", long_text),), "s.ker: a scenario file holds at most 32767 bytes, this one 32768"),
                 ((("s.psc", b"KRV story\r\n"),), "s.psc: not a KERV or P-KERV scenario"))
        for n, (files, message) in enumerate(cases):
            paths = [self.path("huge.qvd") if data is None else self.put(os.path.join(str(n), name), data)
                     for name, data in files]
            self.pick("pack", *paths)
            self.wait(lambda: self.text("error"))
            self.assertTrue(self.text("error").startswith(message), self.text("error"))
            self.assertEqual(driver.find_elements(By.ID, "pack-download"), [])
            self.load(driver.current_url)
        self.assertEqual(os.listdir(self.downloads), [])


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

        names = (b"../up.qvd", b"sub/deep/x.qvd", SEA.encode("cp932"), b"a.qvd", b"a.qvd")
        text = scenario(files=names)
        self.open_archive(self.put("s.krv", archive(b"KRV", text, [b"up", b"deep", b"sea", b"one", b"two"])))
        self.call("const root = await navigator.storage.getDirectory();"
                  "await root.removeEntry('out', {recursive: true}).catch(() => {});"
                  "window.showDirectoryPicker = () => root.getDirectoryHandle('out', {create: true});")
        self.find("#extract-all").click()
        self.wait(lambda: "created in" in self.text("extract-status"))
        self.assertEqual(self.text("extract-log").splitlines(), [
            'created "s.ker"', "can not create ../up.qvd : name leads outside the current directory",
            'created "sub/deep/x.qvd"', f'created "{SEA}"', 'created "a.qvd"', "can not create a.qvd : File exists"])
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
        self.assertEqual({k: base64.b64decode(v) for k, v in files.items()},
                         {"s.ker": text, "sub/deep/x.qvd": b"deep", SEA: b"sea", "a.qvd": b"one"})


if __name__ == "__main__":
    unittest.main()
