"""python -m kerv: list, extract, create and check archives, as python -m zipfile does."""

from __future__ import annotations

import argparse
import sys
import unicodedata
from typing import List, Optional

import kerv


def _width(text: str) -> int:
    """The columns `text` takes on a terminal: two for a wide character (Japanese), none for a combining one."""
    return sum(0 if unicodedata.combining(c) else 2 if unicodedata.east_asian_width(c) in "WF" else 1 for c in text)


def _padded(text: str, columns: int) -> str:
    return text + " " * max(0, columns - _width(text))


def _is_scenario(path: str) -> bool:
    """Whether `path` is a scenario file (it starts with KERV or PKERV); an archive starts with KRV or PKV."""
    try:
        with open(path, "rb") as f:
            head = f.read(5)
    except OSError:
        return False
    return head.startswith(b"KERV") or head == b"PKERV"


def main(args: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kerv", description="A simple command-line interface for kerv.")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("-l", "--list", metavar="<archive>", help="list the data files of an archive")
    group.add_argument("-e", "--extract", nargs=2, metavar=("<archive>", "<output_dir>"),
                       help="extract the scenario and every data file into a folder")
    group.add_argument("-c", "--create", nargs="+", metavar=("<archive>", "<scenario> [<data_dir>]"),
                       help="pack a scenario and the data files it names (looked for in data_dir, by default the "
                            "scenario's folder)")
    group.add_argument("-t", "--test", metavar="<archive>", help="check that an archive is sound")
    options = parser.parse_args(args)
    try:
        if options.list is not None:
            with kerv.Archive(options.list) as a:
                entries = list(a)
                columns = max([46] + [_width(entry.text) for entry in entries])
                print(f"{_padded('Name', columns)} {'Size':>12}")
                for entry in entries:
                    print(f"{_padded(entry.text, columns)} {entry.size:>12d}")
                for finding in a.damage:
                    print(f"{options.list}: {finding}", file=sys.stderr)
                return 1 if a.damage else 0
        if options.extract is not None:
            archive, folder = options.extract
            with kerv.Archive(archive) as a:
                a.extractall(folder)
                for finding in a.damage:
                    print(f"{archive}: {finding}", file=sys.stderr)
                return 1 if a.damage else 0
        if options.create is not None:
            if len(options.create) not in (2, 3):
                parser.error("-c takes <archive> <scenario> [<data_dir>]")
            archive, scenario = options.create[:2]
            # The order of old, scenario first, still works: a scenario is told by its first bytes.
            if len(options.create) == 2 and _is_scenario(archive) and not _is_scenario(scenario):
                archive, scenario = scenario, archive
            folder = options.create[2] if len(options.create) == 3 else None
            kerv.pack(scenario, archive, folder=folder)
            return 0
        with kerv.Archive(options.test) as a:
            for finding in a.damage:
                print(f"{options.test}: {finding}", file=sys.stderr)
            if a.damage:
                return 1
            for entry in a:
                a.read(entry)
            print("Done testing")
            return 0
    except kerv.BadArchive as e:  # no archive (an OSError too, for callers of old): refused, as kerv says
        print(f"python -m kerv: {e}", file=sys.stderr)
        return 1
    except OSError as e:  # a file that cannot be opened or written is trouble, as for kerv; one that exists, refused
        print(f"python -m kerv: {e}", file=sys.stderr)
        return 1 if isinstance(e, FileExistsError) else 2
    except (ValueError, KeyError) as e:  # no archive, a damaged one, a refusal
        print(f"python -m kerv: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
