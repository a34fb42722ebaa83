#!/bin/sh
# The desktop's file types: the shared-mime-info file compiles, names each
# type by its suffix, and tells archives by their first eight bytes.
# Usage: tests/mime_test.sh packaging/kerv.xml
set -eu
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/packages"
cp "$1" "$work/packages/kerv.xml"
update-mime-database "$work" 2>/dev/null
for glob in application/x-kerv-archive:\*.krv application/x-pkerv-archive:\*.pkv text/x-kerv-scenario:\*.ker \
            text/x-pkerv-scenario:\*.psc; do
  grep -qxF "50:$glob" "$work/globs2" || { echo "no glob $glob"; exit 1; }
done
for magic in KRV PKV; do
  printf '%s\0\0\0\0\0' "$magic" > "$work/expected"
  LC_ALL=C grep -qaF -f "$work/expected" "$work/magic" || { echo "no magic for $magic"; exit 1; }
done
grep -q 'KERV アーカイブ' "$work/application/x-kerv-archive.xml" || { echo "no Japanese comment"; exit 1; }
echo "file types as expected"
