#!/bin/sh
# Packs the example scenario with krvmake, divides the archive again with
# krvdiv in an empty folder, and compares every file with the original.
# Works in a scratch folder; the example itself is left untouched.
# Usage: examples/roundtrip.sh [BUILD_DIR]   (default: build)
# KERV_RUN, when set, is put in front of each tool (valgrind, say).
set -eu
bin=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/packed" "$scratch/divided"
cp "$here"/*.ker "$here"/*.qvd "$here"/*.zpt "$scratch/packed/"

echo "== krvmake story.ker"
(cd "$scratch/packed" && ${KERV_RUN:-} "$bin/krvmake" story.ker)
echo "== krvdiv story.krv (in an empty folder)"
(cd "$scratch/divided" && ${KERV_RUN:-} "$bin/krvdiv" ../packed/story.krv story.ker)

for f in "$here"/*.ker "$here"/*.qvd "$here"/*.zpt; do
  cmp "$f" "$scratch/divided/$(basename "$f")"
done
echo "== every file came back byte for byte"
