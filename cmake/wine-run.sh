#!/bin/sh
# Runs a Windows program under wine, as the cross-build's tests and build
# steps do: wine's own messages off, wine's server kept up for 30 s between
# programs (a test suite starts hundreds of them, and starting the server
# each time costs seconds), a UTF-8 locale, without which wine does not
# pass Unicode names on to the program, and no offer to install .NET or a
# browser engine when wine first makes its prefix.
# Usage: cmake/wine-run.sh PROGRAM.exe [ARGUMENT...]
export WINEDEBUG=-all LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
# A test runner waits until every process that holds its pipes has ended,
# so what outlives the program gets none of our standard streams: the
# server, and the session's own processes (services and the like), which
# the first program would start and which stay as long as the server.
if wineserver -p30 </dev/null >/dev/null 2>&1; then  # a new server
  wine wineboot </dev/null >/dev/null 2>&1
fi
exec wine "$@"
