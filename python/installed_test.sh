#!/bin/sh
# Installs the build into a scratch prefix and runs check_example.py on the
# packed example and a damaged copy, with the module as installed.
# Usage: installed_test.sh BUILD_DIR SOURCE_DIR PYTHON MODULE_DIR
set -eu
build=$1 source=$2 python=$3 module_dir=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
case $module_dir in /*) ;; *) module_dir=$scratch/prefix/$module_dir ;; esac
test -f "$module_dir/kerv.pyi"
mkdir "$scratch/packed" && cp "$source"/examples/* "$scratch/packed/"
(cd "$scratch/packed" && "$scratch/prefix/bin/krvmake" story.ker >/dev/null)
cat "$scratch/packed/story.krv" - >"$scratch/damaged.krv" <<END
trailing bytes
END
PYTHONPATH=$module_dir "$python" "$source/python/check_example.py" "$scratch/packed/story.krv" "$source/examples" \
  "$scratch/damaged.krv"
