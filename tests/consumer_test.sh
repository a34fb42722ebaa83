#!/bin/sh
# Installs the build into a scratch prefix and uses the installed library
# as other projects would: a CMake project with find_package(kerv) walks the
# example's file list and reads each data file of the packed example by name
# through the reader; a program built with pkg-config and a shared object
# linked with the static library do the same.
# Usage: consumer_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
test -f "$prefix/include/kerv/scenario/KervScenario.h"
test ! -e "$prefix/include/kerv/archive/Container.h"  # not needed by the public headers
for page in krvmake krvdiv pkvmake pkvdiv kervls; do
  test -f "$prefix/share/man/man1/$page.1.gz"
  test -x "$prefix/bin/$page"
done

# CMake: find_package(kerv).
cmake -S "$source/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$scratch/consumer" >/dev/null
"$scratch/consumer/list_files" "$source/examples/story.ker" >"$scratch/out"
printf 'version 12000\nfile op.qvd\nfile \212C.zpt\nfile door.qvd\nfile title.zpt\nfirst command R\n' >"$scratch/expected"
cmp "$scratch/out" "$scratch/expected"
mkdir "$scratch/packed" && cp "$source"/examples/* "$scratch/packed/"
(cd "$scratch/packed" && "$prefix/bin/krvmake" story.ker >/dev/null)
for name in op.qvd "$(printf '\212C.zpt')" door.qvd title.zpt; do
  "$scratch/consumer/read_entry" "$scratch/packed/story.krv" "$name" >"$scratch/entry"
  cmp "$scratch/entry" "$source/examples/$name"
done

# pkg-config, and a shared object.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$(find "$prefix" -name kerv.pc)")
flags=$(pkg-config --cflags --libs kerv)
# shellcheck disable=SC2086  # the flags are words
c++ -std=c++20 -o "$scratch/list_files_pc" "$source/tests/consumer/list_files.cpp" $flags
"$scratch/list_files_pc" "$source/examples/story.ker" | cmp - "$scratch/expected"
# shellcheck disable=SC2086
c++ -std=c++20 -shared -o "$scratch/libentry.so" "$source/tests/consumer/entry_size.cpp" $flags
size=$(python3 -c 'import ctypes, sys; print(ctypes.CDLL(sys.argv[1]).kerv_entry_size(sys.argv[2].encode(), b"op.qvd"))' \
  "$scratch/libentry.so" "$scratch/packed/story.krv")
test "$size" = 1536
echo "the installed library builds a CMake consumer, a pkg-config consumer and a shared object"
