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
            self.wait(lambda: self.text("pack-error"))
            self.assertTrue(self.text("pack-error").startswith(message), self.text("pack-error"))
            self.assertEqual(driver.find_elements(By.ID, "pack-download"), [])
            self.load(driver.current_url)
        self.assertEqual(os.listdir(self.downloads), [])


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


class BehaviourTest(Page):
    def test_the_last_choice_wins(self):
        # 3000 blocks of 300 KiB: each size field takes a slice of its own, for seconds.
        names = [bytes([97 + i % 26]) for i in range(3000)]
        slow = self.path("slow.krv")
        with open(slow, "wb") as f:
            f.write(archive(b"KRV", scenario(files=names), []))
            for _ in names:
                f.write(struct.pack("<i", 300 << 10))
                f.seek(300 << 10, os.SEEK_CUR)
            f.truncate()
        driver.find_element(By.ID, "open").send_keys(slow)
        self.wait(lambda: self.text("open-status").startswith("Opening slow.krv:"))
        self.assertEqual(self.find("#archive").get_attribute("aria-busy"), "true")
        self.open_archive(self.packed_example())
        started = time.monotonic()
        while time.monotonic() - started < 5:  # the slow one would have finished by now
            self.assertEqual((self.text("summary").split(":")[0], len(self.rows())), ("story.krv", 4))
            time.sleep(0.25)
        self.assertEqual(self.find("#archive").get_attribute("aria-busy"), "false")

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

        # A phone's width after a hex dump: nothing scrolls sideways.
        driver.find_elements(By.CSS_SELECTOR, "#entries tbody tr")[1].click()
        self.wait(lambda: driver.find_elements(By.CSS_SELECTOR, "#preview pre"))
        for width in (390, 1280):
            driver.set_window_size(width, 900)
            self.addCleanup(driver.set_window_size, 1200, 900)
            self.assertLessEqual(driver.execute_script("return document.documentElement.scrollWidth"),
                                 driver.execute_script("return window.innerWidth"), width)
        # 4.5:1 in both schemes, for grey text and for damage.
        for scheme in ("light", "dark"):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                   {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            ratios = driver.execute_script(CONTRAST)
            self.assertGreaterEqual(min(ratios), 4.5, (scheme, ratios))
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})
        self.assertEqual(driver.execute_script("return violations"), [])

    def test_drops_say_what_was_dropped(self):
        self.put("s.ker", scenario(files=()))
        cases = ((["a.krv", "b.krv"], "2 files were dropped."), (["s.ker"], "s.ker is a scenario, not an archive"))
        for names, message in cases:
            driver.execute_script("""
                const transfer = new DataTransfer();
                for (const name of arguments[0]) transfer.items.add(new File(['KERV 1.0'], name));
                document.body.dispatchEvent(new DragEvent('drop', {dataTransfer: transfer, bubbles: true}));""", names)
            self.wait(lambda: self.text("error").startswith(message))
        # The scenario, offered for packing: its empty list packs at once.
        self.find("#drop-pack-button").click()
        self.assertEqual(self.downloaded("s.krv")[:3], b"KRV")


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
        self.open_archive(self.put("s.krv", archive(b"KRV", text, [b"up", b"deep", b"sea", b"one", b"two"] +
                                                    [b"no"] * len(refused))))
        self.call("const root = await navigator.storage.getDirectory();"
                  "await root.removeEntry('out', {recursive: true}).catch(() => {});"
                  "window.showDirectoryPicker = () => root.getDirectoryHandle('out', {create: true});")
        self.find("#extract-all").click()
        self.wait(lambda: "created in" in self.text("extract-status"))
        self.assertEqual(self.text("extract-log").splitlines(), [
            'created "s.ker"', "can not create ../up.qvd : '..' leads outside the folder",
            'created "sub/deep/x.qvd"', f'created "{SEA}"', 'created "a.qvd"', "can not create a.qvd : File exists",
            *(f"can not create {shown} : {why}" for _, shown, why in refused)])
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
