#!/usr/bin/env python3
"""Makes the two self-contained pages: kerv.html, and kerv-patcher.html
(the page a patch is put into for players, see reader/PatcherPage.h).
Each holds its style, the library's script (kerv-module.js, with its
WebAssembly) and the page's script, made of the files in js/ in one
function, under a content security policy that lets run exactly those (by
their SHA-256 hashes), the worker made from the library's and the
worker's script (kept as text), and WebAssembly, and nothing else.
kerv.html also holds the patcher page without the library's script
(which it puts back from its own), to make patcher pages of its patches.

Usage: inline.py FOLDER MODULE OUTFOLDER   (FOLDER holds the pages, kerv.css and js/)
"""
import base64
import hashlib
import os
import sys

# The page's script: these files, in this order, in one function.
PAGES = {
    "kerv.html": ["texts.js", "library.js", "ui.js", "archives.js", "archive-view.js", "editor.js",
                  "patch-apply.js", "patches.js", "pack-view.js", "main.js"],
    "patcher.html": ["texts.js", "library.js", "ui.js", "patch-apply.js", "patcher.js"],
}
MODULE_PLACE = "@KERV_MODULE@"


def inline(page, tag, content, element, attributes=""):
    if f"</{element}" in content:
        sys.exit(f"{tag}: its file holds </{element}, which would end the element it is put in")
    if page.count(tag) != 1:
        sys.exit(f"the page must hold {tag} once")
    return page.replace(tag, f"<{element}{attributes}>{content}</{element}>")


def digest(content):
    return "'sha256-" + base64.b64encode(hashlib.sha256(content.encode()).digest()).decode() + "'"


def build(folder, name, module, style, worker):
    def read(path):
        with open(path, encoding="utf-8") as f:
            return f.read()

    page = read(os.path.join(folder, name))
    script = "(() => {\n'use strict';\n" + "".join(
        f"\n// ==== {js} ====\n" + read(os.path.join(folder, "js", js)) for js in PAGES[name]) + "})();\n"
    for mark, value in (("@SCRIPT_HASHES@", " ".join(digest(s) for s in (module, script))), ("@STYLE_HASH@", digest(style))):
        if page.count(mark) != 1:
            sys.exit(f"{name} must hold {mark} once, in its content security policy")
        page = page.replace(mark, value)
    page = inline(page, '<link rel="stylesheet" href="kerv.css">', style, "style")
    page = inline(page, '<script src="kerv-module.js"></script>', module, "script", ' id="kerv-module"')
    page = inline(page, '<script src="worker.js"></script>', worker, "script", ' type="text/plain" id="kerv-worker"')
    return inline(page, '<script src="kerv.js"></script>', script, "script")


def main(folder, module_path, out):
    with open(module_path, encoding="utf-8") as f:
        module = f.read()
    with open(os.path.join(folder, "kerv.css"), encoding="utf-8") as f:
        style = f.read()
    with open(os.path.join(folder, "js", "worker.js"), encoding="utf-8") as f:
        worker = f.read()
    if MODULE_PLACE in module:
        sys.exit(f"the library's script holds {MODULE_PLACE}")
    patcher = build(folder, "patcher.html", module, style, worker)
    # The patcher page without the library's script, for kerv.html to hold.
    start = patcher.index('<script id="kerv-module">') + len('<script id="kerv-module">')
    template = patcher[:start] + MODULE_PLACE + patcher[start + len(module):]
    page = build(folder, "kerv.html", module, style, worker)
    if page.count("@PATCHER_TEMPLATE@") != 1:
        sys.exit("kerv.html must hold @PATCHER_TEMPLATE@ once")
    page = page.replace("@PATCHER_TEMPLATE@", base64.b64encode(template.encode()).decode())
    for name, content in (("kerv.html", page), ("kerv-patcher.html", patcher)):
        with open(os.path.join(out, name), "w", encoding="utf-8") as f:
            f.write(content)


if __name__ == "__main__":
    main(*sys.argv[1:])
