#!/bin/sh
# Packs the example scenario with krvmake, divides the archive again with
# krvdiv in an empty folder, and compares every file with the original.
# Works in a scratch folder; the example itself is left untouched.
# Usage: examples/roundtrip.sh [BUILD_DIR]   (default: build)
# KERV_RUN, when set, is put in front of each tool (valgrind, or wine for a
# Windows build); KERV_KEEP_ARCHIVE, when set, names a file to copy the
# archive to.
set -eu
bin=$(cd "${1:-build}" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
mkdir "$scratch/packed" "$scratch/divided"

# Windows programs (krvmake.exe) find the file list's Shift_JIS names as
# the Unicode names a Windows folder holds: the copies are named so.
exe=
[ -f "$bin/krvmake.exe" ] && exe=.exe
name_of() {
  if [ -n "$exe" ]; then basename "$1" | iconv -f CP932 -t UTF-8; else basename "$1"; fi
}
for f in "$here"/*.ker "$here"/*.qvd "$here"/*.zpt; do
  cp "$f" "$scratch/packed/$(name_of "$f")"
done

echo "== krvmake story.ker"
(cd "$scratch/packed" && ${KERV_RUN:-} "$bin/krvmake$exe" story.ker)
echo "== krvdiv story.krv (in an empty folder)"
(cd "$scratch/divided" && ${KERV_RUN:-} "$bin/krvdiv$exe" ../packed/story.krv story.ker)

for f in "$here"/*.ker "$here"/*.qvd "$here"/*.zpt; do
  cmp "$f" "$scratch/divided/$(name_of "$f")"
done
[ -z "${KERV_KEEP_ARCHIVE:-}" ] || cp "$scratch/packed/story.krv" "$KERV_KEEP_ARCHIVE"
echo "== every file came back byte for byte"
