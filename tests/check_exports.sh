#!/bin/sh
# usage: check_exports.sh win32|posix <nm or objdump> <library> <exports.txt>
# Compares the library's export table with the expected list, both sorted.
set -eu
platform=$1 tool=$2 lib=$3 list=$4
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

awk -v p="$platform" '
  /^[[:space:]]*(#|$)/ { next }
  NF == 1 { print $1; next }
  $1 == p { print $2 }
' "$list" | sort > "$tmp/expected"

if [ "$platform" = win32 ]; then
  # The name pointer table of the export directory: lines "[ n] name" after its heading.
  "$tool" -p "$lib" | awk '
    /\[Ordinal\/Name Pointer\] Table/ { on = 1; next }
    on && /^[[:space:]]*\[[[:space:]]*[0-9]+\]/ { sub(/^[[:space:]]*\[[[:space:]]*[0-9]+\][[:space:]]*/, ""); print; next }
    on && NF == 0 { on = 0 }
  ' | sort > "$tmp/actual"
else
  "$tool" -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVWiu]$/ { print $3 }' | sort > "$tmp/actual"
fi

if diff -u "$tmp/expected" "$tmp/actual"; then
  echo "exports: $(wc -l < "$tmp/actual") symbols, as listed"
else
  echo "exports: the table differs from $list (- expected, + exported)"
  exit 1
fi
