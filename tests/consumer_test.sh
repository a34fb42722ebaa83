#!/bin/sh
# Installs the build into a scratch prefix, builds the consumer project
# against it with find_package, walks the example's file list, and reads
# each data file of the packed example by name through the reader.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
cmake -S "$source/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/list_files" "$source/examples/story.ker" >"$scratch/out"
printf 'version 12000\nfile op.qvd\nfile \212C.zpt\nfile door.qvd\nfile title.zpt\nfirst command R\n' >"$scratch/expected"
cmp "$scratch/out" "$scratch/expected"
# Each data file of the packed example, read by name through the reader.
mkdir "$scratch/packed" && cp "$source"/examples/* "$scratch/packed/"
(cd "$scratch/packed" && "$scratch/prefix/bin/krvmake" story.ker >/dev/null)
for name in op.qvd "$(printf '\212C.zpt')" door.qvd title.zpt; do
  "$scratch/consumer/read_entry" "$scratch/packed/story.krv" "$name" >"$scratch/entry"
  cmp "$scratch/entry" "$source/examples/$name"
done
for page in krvmake krvdiv pkvmake pkvdiv kervls; do
  test -f "$scratch/prefix/share/man/man1/$page.1"
  test -x "$scratch/prefix/bin/$page"
done
echo "installed package builds and runs a consumer"
