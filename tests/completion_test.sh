#!/bin/bash
# The bash completion of kerv: commands, options, archives by their suffix,
# and the data files of the archive named.
# Usage: tests/completion_test.sh COMPLETION_FILE BUILD_DIR
set -eu
source "$1"
PATH=$(cd "$2" && pwd):$PATH
examples=$(cd "$(dirname "$0")/../examples" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
cp "$examples"/* .
krvmake story.ker >/dev/null
touch notes.txt

complete_line() {  # complete_line WORD... : the completions of the last word
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMPREPLY=()
  _kerv
  printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' '
}
failed=0
expect() {  # expect WANTED WORD...
  local wanted=$1; shift
  local got; got=$(complete_line "$@")
  if [ "$got" != "$wanted" ]; then echo "kerv $*: got '$got', wanted '$wanted'"; failed=1; fi
}
expect "cat create " kerv c
expect "--raw-names " kerv extract --r
expect "story.krv " kerv list s
expect "story.ker " kerv create st
expect "door.qvd= " kerv update story.krv do
expect "海.zpt " kerv cat story.krv 海
expect "op.qvd " kerv extract -C out story.krv o
expect "diff " kerv d
expect "--patch " kerv diff --pat
expect "po " kerv strings --format p
expect "--backup " kerv patch --b
expect "story.krv " kerv patch st
expect "notes.txt " kerv patch story.krv no
[ $failed = 0 ] && echo "completions as expected"
exit $failed
