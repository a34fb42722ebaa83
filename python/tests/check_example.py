#!/usr/bin/env python3
"""Checks an archive against the folder it was packed from, with kerv.

Usage: check_example.py ARCHIVE FOLDER [DAMAGED_ARCHIVE...]

Every data file of ARCHIVE must equal the file of the same name in FOLDER,
and the archive must be sound; each DAMAGED_ARCHIVE must report what is
wrong with it. Prints what it checked; exits 1 on any difference.
"""
import os
import sys

import kerv


def main(archive, folder, *damaged):
    with kerv.Archive(archive) as a:
        print(f"{archive}: {a.dialect} {a.version}, waiting time {a.waiting_time}, {len(a)} data files")
        if a.damage:
            sys.exit(f"{archive} is damaged: {a.damage}")
        for entry in a:
            with open(os.path.join(os.fsencode(folder), entry.name), "rb") as f:
                if a[entry.name] != f.read():
                    sys.exit(f"{entry.text} differs")
            print(f"  {entry.text}: {entry.size} bytes, the same")
    for path in damaged:
        with kerv.Archive(path) as a:
            if not a.damage:
                sys.exit(f"{path} was not found damaged")
            for finding in a.damage:
                print(f"{path}: {finding}")


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    main(*sys.argv[1:])
