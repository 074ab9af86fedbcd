#!/usr/bin/env bash
# Runs every libFuzzer target of a fuzz build for a few seconds each, starting from its seed
# corpus in fuzz/corpus/<target>/ when there is one. Prints one line per target.
#   run-fuzzers.sh <build dir> <seconds per target>
set -uo pipefail
dir=$1 seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
shopt -s nullglob
targets=("$dir"/bin/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz no targets"
  exit 0
fi
status=0
for t in "${targets[@]}"; do
  name=$(basename "$t")
  work=$(mktemp -d)
  [ -d "$root/fuzz/corpus/$name" ] && cp -r "$root/fuzz/corpus/$name/." "$work/"
  if "$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=0 \
       "$work" >"$dir/$name.log" 2>&1; then
    echo "fuzz $name ok ($seconds s)"
  else
    echo "fuzz $name FAILED (see $dir/$name.log)"
    tail -n 40 "$dir/$name.log" >&2
    status=1
  fi
  rm -rf "$work"
done
exit $status
