#!/bin/sh
# Installs the build into a scratch prefix, checks that nothing went
# elsewhere, and runs check_example.py on the packed example and a damaged
# copy, with the module as installed.
# Usage: installed_test.sh BUILD_DIR SOURCE_DIR PYTHON MODULE_DIR
# (MODULE_DIR: the module's folder, relative to the prefix)
set -eu
build=$1 source=$2 python=$3 module_dir=$4
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
prefix=$scratch/prefix
cmake --install "$build" --prefix "$prefix" >"$scratch/installed"
if grep -E '^-- (Installing|Up-to-date): ' "$scratch/installed" | grep -v -F -- ": $prefix/"; then
  echo "installed outside the prefix $prefix"
  exit 1
fi
test -f "$prefix/$module_dir/kerv/_kerv.pyi"
# The metadata answers as pip's would.
PYTHONPATH=$prefix/$module_dir "$python" -c 'import importlib.metadata, kerv, sys
sys.exit(importlib.metadata.version("kerv") != kerv.__version__)'
mkdir "$scratch/packed" && cp "$source"/examples/* "$scratch/packed/"
(cd "$scratch/packed" && "$prefix/bin/krvmake" story.ker >/dev/null)
cat "$scratch/packed/story.krv" - >"$scratch/damaged.krv" <<END
trailing bytes
END
PYTHONPATH=$prefix/$module_dir "$python" "$source/python/tests/check_example.py" "$scratch/packed/story.krv" \
  "$source/examples" "$scratch/damaged.krv"
