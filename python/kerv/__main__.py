"""python -m kerv: list, extract, create and check archives, as python -m zipfile does."""

from __future__ import annotations

import argparse
import sys
from typing import List, Optional

import kerv


def main(args: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(prog="python -m kerv", description="A simple command-line interface for kerv.")
    group = parser.add_mutually_exclusive_group(required=True)
    group.add_argument("-l", "--list", metavar="<archive>", help="list the data files of an archive")
    group.add_argument("-e", "--extract", nargs=2, metavar=("<archive>", "<output_dir>"),
                       help="extract the scenario and every data file into a folder")
    group.add_argument("-c", "--create", nargs=2, metavar=("<scenario>", "<archive>"),
                       help="pack a scenario and the data files it names")
    group.add_argument("-t", "--test", metavar="<archive>", help="check that an archive is sound")
    options = parser.parse_args(args)
    try:
        if options.list is not None:
            with kerv.Archive(options.list) as a:
                print(f"{'Name':<46} {'Size':>12}")
                for entry in a:
                    print(f"{entry.text:<46} {entry.size:>12d}")
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
            scenario, archive = options.create
            kerv.pack(scenario, archive)
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
    except (OSError, ValueError, KeyError) as e:
        print(f"python -m kerv: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
