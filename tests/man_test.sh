#!/bin/sh
# Renders each manual page with groff and fails on any warning.
set -eu
for page in "$@"; do
  warnings=$(groff -man -ww -z "$page" 2>&1)
  if [ -n "$warnings" ]; then
    echo "$page:"; echo "$warnings"; exit 1
  fi
done
echo "$# manual pages render without warnings"
