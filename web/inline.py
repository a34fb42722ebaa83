#!/usr/bin/env python3
"""Makes one self-contained page: kerv.html with its style and its two
scripts put inside it, under a content security policy that lets run
exactly those (by their SHA-256 hashes) and WebAssembly, and nothing else.

Usage: inline.py FOLDER MODULE OUT   (FOLDER holds kerv.html, kerv.css and kerv.js)
"""
import base64
import hashlib
import os
import sys


def inline(page, tag, content, element):
    if f"</{element}" in content:
        sys.exit(f"{tag}: its file holds </{element}, which would end the element it is put in")
    if page.count(tag) != 1:
        sys.exit(f"kerv.html must hold {tag} once")
    return page.replace(tag, f"<{element}>{content}</{element}>")


def digest(content):
    return "'sha256-" + base64.b64encode(hashlib.sha256(content.encode()).digest()).decode() + "'"


def main(folder, module, out):
    def read(path):
        with open(path, encoding="utf-8") as f:
            return f.read()

    page = read(os.path.join(folder, "kerv.html"))
    style, scripts = read(os.path.join(folder, "kerv.css")), [read(module), read(os.path.join(folder, "kerv.js"))]
    for mark, value in (("@SCRIPT_HASHES@", " ".join(digest(s) for s in scripts)), ("@STYLE_HASH@", digest(style))):
        if page.count(mark) != 1:
            sys.exit(f"kerv.html must hold {mark} once, in its content security policy")
        page = page.replace(mark, value)
    page = inline(page, '<link rel="stylesheet" href="kerv.css">', style, "style")
    page = inline(page, '<script src="kerv-module.js"></script>', scripts[0], "script")
    page = inline(page, '<script src="kerv.js"></script>', scripts[1], "script")
    with open(out, "w", encoding="utf-8") as f:
        f.write(page)


if __name__ == "__main__":
    main(*sys.argv[1:])
