#!/bin/bash
# Runs a Windows program under Wine for CTest.
#
# Once in a few thousand starts, on a loaded machine, Wine ends with an error before the
# program has run at all: nothing on its output, a failure code, a few milliseconds. That is
# Wine failing, not the program, so such a start is tried once more (and says so). A program
# that printed anything keeps its result: every test program prints its header first, so a
# real failure is never retried.
out=$(mktemp) || exit 1
trap 'rm -f "$out" "$out.rc"' EXIT
for attempt in 1 2; do
  { WINEDEBUG=-all WINEDLLOVERRIDES=winedbg.exe=d /usr/bin/wine "$@"; echo $? >"$out.rc"; } |
    tee "$out"
  rc=$(cat "$out.rc")
  if [ "$rc" = 0 ] || [ -s "$out" ] || [ $attempt = 2 ]; then
    exit "$rc"
  fi
  echo "wine-run: Wine ended with $rc before $1 printed anything; starting it once more" >&2
done
