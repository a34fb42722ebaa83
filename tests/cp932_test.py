"""The library's code page 932 codec against Python's cp932 codec, over
every one- and two-byte code and every character.

Usage: python3 cp932_test.py DUMP_PROGRAM   (KERV_RUN: a command prefix, such as wine)
"""
import os
import shlex
import subprocess
import sys


def python_table():
    decoded, encoded = {}, {}
    for first in range(256):
        for code in [bytes([first])] + [bytes([first, second]) for second in range(256)]:
            try:
                text = code.decode("cp932")
            except UnicodeDecodeError:
                continue
            if len(text) == 1:
                decoded[code] = ord(text)
    for c in range(0x110000):
        if 0xD800 <= c <= 0xDFFF:
            continue
        try:
            encoded[c] = chr(c).encode("cp932")
        except UnicodeEncodeError:
            pass
    return decoded, encoded


def library_table(program):
    run = shlex.split(os.environ.get("KERV_RUN", ""))
    out = subprocess.run([*run, program], capture_output=True, check=True, timeout=300).stdout
    decoded, encoded = {}, {}
    for line in out.decode().splitlines():
        kind, a, b = line.split()
        if kind == "D":
            decoded[bytes.fromhex(a)] = int(b, 16)
        else:
            encoded[int(a, 16)] = bytes.fromhex(b)
    return decoded, encoded


# Where the library encodes what Python's codec does not: the em dash as JIS
# X 0208's dash, which decodes as U+2015.
ALSO_ENCODED = {0x2014: b"\x81\x5c"}


def main():
    mine, theirs = library_table(sys.argv[1]), python_table()
    theirs[1].update(ALSO_ENCODED)
    failed = False
    for what, a, b in (("decoding", mine[0], theirs[0]), ("encoding", mine[1], theirs[1])):
        differ = sorted(k for k in a.keys() | b.keys() if a.get(k) != b.get(k))
        print(f"{what}: {len(b)} codes in Python's table, {len(differ)} differ")
        for k in differ[:20]:
            print(f"  {k!r}: library {a.get(k)!r}, Python {b.get(k)!r}")
        failed = failed or bool(differ)
    # Two-byte codes, as the table of code page 932 counts them.
    print("two-byte codes:", sum(len(k) == 2 for k in theirs[0]))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
