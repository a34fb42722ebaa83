#!/usr/bin/python3
"""Times the web page in headless Chromium: opening large archives, the
Blob of a 2 GiB entry, replacing a data file of a 5 GiB archive, making
and applying a patch to it, and packing 1 GiB of data files.

Builds, in a scratch folder:
  - a sparse archive of 5 GiB with three data files (2 GiB - 1, 2 GiB - 1
    and 1 GiB);
  - an archive of 20,000 data files of 100 bytes each, and one of 20,000
    data files of 256 KiB each (sparse, 5 GiB): every size field then lies
    in a slice of its own;
  - four data files of 256 MiB and a scenario that lists them.
Then, on a freshly loaded page each round, times the page's own open of
each archive (from the file input's change event until the first rows are
painted, and until every row is in the table, with the longest task of
the main thread meanwhile) and kerv.open() alone, entryBlob() of a 2 GiB
entry with a read of its last byte, kerv.update() of the 5 GiB archive
with one data file replaced (and the script heap it added), kerv.makePatch()
from the 5 GiB archive to a copy with its scenario changed, kerv.applyPatch()
of that patch until the patched archive is offered (the archive read
through for its sum, then the patch applied with every byte checked), a read
of the 5 GiB archive through in slices by the browser alone, and
kerv.pack() of the four files. Prints the median of each; then removes
everything. This is a benchmark, not a test.

Usage: bench/web_benchmark.py PAGE [--runs N] [--scratch DIR]
Needs Debian's chromium, chromium-driver and python3-selenium.
"""
import argparse
import os
import shutil
import statistics
import tempfile

import bench_data
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By


def make_data(scratch):
    sets = {}
    sets["5 GiB, 3 data files"] = os.path.join(scratch, "five.krv")
    bench_data.write_archive(sets["5 GiB, 3 data files"], [b"a.qvd", b"b.qvd", b"c.qvd"], [2 ** 31 - 1, 2 ** 31 - 1, 2 ** 30], True)
    # The same archive with its scenario changed, for a patch between the two.
    bench_data.write_archive(os.path.join(scratch, "five2.krv"), [b"a.qvd", b"b.qvd", b"c.qvd"],
                             [2 ** 31 - 1, 2 ** 31 - 1, 2 ** 30], True, title=b"bench, translated")
    many = [bytes([97 + i % 26]) for i in range(20000)]  # one-letter names: the list must fit in 64 KiB
    sets["20,000 x 100 bytes"] = os.path.join(scratch, "small.krv")
    bench_data.write_archive(sets["20,000 x 100 bytes"], many, [100] * 20000, False)
    sets["20,000 x 256 KiB"] = os.path.join(scratch, "large.krv")
    bench_data.write_archive(sets["20,000 x 256 KiB"], many, [256 * 1024] * 20000, True)

    folder = os.path.join(scratch, "pack")
    os.mkdir(folder)
    names = bench_data.write_folder(folder)
    return sets, [os.path.join(folder, n) for n in ["s.ker", *names]]


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync", "--disable-quic"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_script_timeout(300)  # opening 20,000 blocks of 256 KiB takes a while
    return driver


def call(driver, body):
    return driver.execute_async_script(
        f"const done = arguments[0]; (async () => {{ {body} }})().then(done, e => done('failed: ' + e.message));")


def one_round(driver, page, sets, pack_files):
    times = {}
    for label, path in sets.items():
        driver.get(page)
        # The page's own open, from the file input's change event: until the
        # first rows are painted, and until every row is in the table.
        call(driver, "await kerv.ready;"
                     "const input = document.getElementById('open');"
                     "input.addEventListener('change', () => { window.started = performance.now(); }, true);"
                     "window.longest = 0; new PerformanceObserver(list => { for (const e of list.getEntries())"
                     "  window.longest = Math.max(window.longest, e.duration); }).observe({type: 'longtask'});"
                     "const section = document.getElementById('archive');"
                     "new MutationObserver(() => {"
                     "  if (document.querySelector('#entries tbody tr') && !window.shown) {"
                     "    window.shown = true; requestAnimationFrame(() => setTimeout(() => {"
                     "      window.painted = performance.now(); }, 0)); }"
                     "  if (section.getAttribute('aria-busy') === 'false' && window.shown && !window.complete) {"
                     "    window.complete = performance.now(); }"
                     "}).observe(document.body, {attributes: true, childList: true, subtree: true});")
        driver.find_element(By.ID, "open").send_keys(path)
        painted, complete, longest = call(
            driver, "while (!window.painted || !window.complete) await new Promise(r => setTimeout(r, 5));"
                    "return [window.painted - window.started, window.complete - window.started, window.longest];")
        # The library's open alone, on the same file through an input of its own.
        call(driver, "const i = document.createElement('input'); i.type = 'file'; i.id = 'bench';"
                     "document.body.append(i);")
        driver.find_element(By.ID, "bench").send_keys(path)
        api = call(driver, "const t = performance.now();"
                           "const a = await kerv.open(document.getElementById('bench').files[0]);"
                           "const ms = performance.now() - t; window.opened = a;"
                           "return a.damage.length ? 'damaged' : ms;")
        times[f"open {label}: kerv.open"] = api
        times[f"open {label}: page, until its first rows are painted"] = painted
        times[f"open {label}: page, until every row is in the table"] = complete
        times[f"open {label}: page, the longest task meanwhile"] = longest
        if label.startswith("5 GiB"):
            times["Blob of a 2 GiB entry, and its last byte read"] = call(
                driver, "const t = performance.now(); const b = window.opened.entryBlob(window.opened.entries[1]);"
                        "await b.slice(-1).arrayBuffer(); return performance.now() - t;")
            times["update of the 5 GiB archive, one data file replaced: its File"] = call(
                driver, "const heap = performance.memory.usedJSHeapSize; const t = performance.now();"
                        "const f = await kerv.update(window.opened, {replace: {'c.qvd': new Blob(['a new c'])}});"
                        "const ms = performance.now() - t; window.heap = performance.memory.usedJSHeapSize - heap;"
                        "return f.size === window.opened.entries[1].offset + 2 ** 31 - 1 + 4 + 7 ? ms : 'wrong size';")
            times["update of the 5 GiB archive: script heap added, KiB"] = call(driver, "return window.heap / 1024;")
            # A patch to the 5 GiB archive with its scenario changed: made by the
            # page (both archives read for the sums), and applied (the patched
            # archive's File, before its check reads it).
            call(driver, "const i = document.createElement('input'); i.type = 'file'; i.id = 'bench2';"
                         "document.body.append(i);")
            driver.find_element(By.ID, "bench2").send_keys(os.path.join(os.path.dirname(path), "five2.krv"))
            times["patch between two 5 GiB archives: kerv.makePatch"] = call(
                driver, "const t = performance.now();"
                        "const news = await kerv.open(document.getElementById('bench2').files[0]);"
                        "const made = await kerv.makePatch(window.opened, news);"
                        "const ms = performance.now() - t; window.patch = made.file;"
                        "return made.changes.length === 1 && made.file.size < 40960 ? ms : 'wrong patch';")
            times["patch applied to the 5 GiB archive: checked, then offered"] = call(
                driver, "const t = performance.now();"
                        "const made = await kerv.applyPatch(document.getElementById('bench').files[0], window.patch);"
                        "const ms = performance.now() - t;"
                        "return made.file.size === document.getElementById('bench2').files[0].size ? ms : 'wrong size';")
            times["the 5 GiB archive read through by the browser alone"] = call(
                driver, "const f = document.getElementById('bench').files[0]; const t = performance.now();"
                        "for (let at = 0; at < f.size; at += 32 << 20) await f.slice(at, at + (32 << 20)).arrayBuffer();"
                        "return performance.now() - t;")
    driver.get(page)
    driver.find_element(By.ID, "pack").send_keys("\n".join(pack_files))  # the page packs them too; that is not timed
    times["pack 4 x 256 MiB: kerv.pack"] = call(
        driver, "const files = Array.from(document.getElementById('pack').files);"
                "const t = performance.now(); const blob = await kerv.pack(files[0], files);"
                "const ms = performance.now() - t; return blob.size === 4 * (2 ** 28 + 4) + 10 + files[0].size ? ms : 'wrong size';")
    return times


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("page")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--scratch", default=None)
    args = parser.parse_args()
    page = "file://" + os.path.abspath(args.page)
    scratch = tempfile.mkdtemp(prefix="kerv-web-bench-", dir=args.scratch)
    driver = None
    try:
        sets, pack_files = make_data(scratch)
        driver = browser()
        driver.execute_cdp_cmd("Page.setDownloadBehavior", {"behavior": "deny"})
        rounds = [one_round(driver, page, sets, pack_files) for _ in range(args.runs)]
        print(f"median of {args.runs} rounds, milliseconds")
        for key in rounds[0]:
            values = [r[key] for r in rounds]
            if any(isinstance(v, str) for v in values):
                print(f"{key}: {values}")
            else:
                print(f"{key}: {statistics.median(values):.1f} (from {min(values):.1f} to {max(values):.1f})")
    finally:
        if driver:
            driver.quit()
        shutil.rmtree(scratch)


if __name__ == "__main__":
    main()
