#!/bin/sh
# Runs a Windows program under wine, as the cross-build's tests and build
# steps do: wine's own messages off, wine's server kept up for 30 s between
# programs (a test suite starts hundreds of them, and starting the server
# each time costs seconds), a UTF-8 locale, without which wine does not
# pass Unicode names on to the program, and no offer to install .NET or a
# browser engine when wine first makes its prefix.
# Usage: cmake/wine-run.sh PROGRAM.exe [ARGUMENT...]
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
# The server gets no standard streams of ours: a test runner waits until
# every process holding its pipes has ended.
wineserver -p30 </dev/null >/dev/null 2>&1 || true
exec wine "$@"
