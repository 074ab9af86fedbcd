#!/usr/bin/env bash
# Builds qv_sys and runs every test lane:
#   linux     gcc, the suite natively
#   sanitize  gcc with AddressSanitizer + UndefinedBehaviorSanitizer, the suite again
#   tsan      clang-14 with ThreadSanitizer, the suite again
#   win64     MinGW-w64 cross build, the suite under Wine
#   pdb       the Windows build the README says to ship (clang-14, PDB files): it must build
#   fuzz      clang-14 libFuzzer targets, each run briefly
#   viewer    the browser viewer: its decoder tests and a headless Chromium test (viewer-test.sh)
# With no arguments every lane runs; name lanes to run only those.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh all

lanes=("$@")
[ ${#lanes[@]} -gt 0 ] || lanes=(linux sanitize tsan win64 pdb fuzz viewer)
jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

configure() { # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

run_ctest() { # lane, dir
  local lane=$1 dir=$2 log
  log="$dir/ctest.log"
  set +e
  (cd "$dir" && ctest --output-on-failure --timeout 120 -j "$jobs") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  echo "$lane ${line:-no result}" >> "$summary"
  return "$rc"
}

failed_lane() { # lane: its build failed
  echo "$1 build FAILED" >> "$summary"
  status=1
}

status=0
for lane in "${lanes[@]}"; do
  echo "=== lane: $lane"
  case $lane in
    linux)
      configure build/linux -DQV_SYS_BENCH=ON || { failed_lane linux; continue; }
      run_ctest linux build/linux || status=1
      ;;
    sanitize)
      configure build/sanitize -DQV_SYS_SANITIZE=address,undefined -DQV_SYS_DEMO=OFF ||
        { failed_lane sanitize; continue; }
      # Tests ask for impossible sizes on purpose; the heap must answer null, not abort.
      ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
      UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_ctest sanitize build/sanitize || status=1
      ;;
    tsan)
      CC=clang-14 CXX=clang++-14 configure build/tsan -DQV_SYS_SANITIZE=thread -DQV_SYS_DEMO=OFF ||
        { failed_lane tsan; continue; }
      # As in the sanitize lane: impossible sizes must give null, not abort.
      TSAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1 run_ctest tsan build/tsan || status=1
      ;;
    win64)
      configure build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DQV_SYS_WIN64_DEPS="$(bash scripts/install-deps.sh win64-prefix)" ||
        { failed_lane win64; continue; }
      # Wine, started in this order: a prefix made once, then a persistent server and Wine's
      # services detached from our pipes. Otherwise each test costs seconds, or CTest hangs
      # on a pipe that a Wine service keeps open.
      export WINEPREFIX=$root/build/win64/wineprefix WINEDEBUG=-all
      # A persistent server left from an earlier run would make `wineserver -w` wait forever.
      wineserver -k </dev/null >/dev/null 2>&1 || true
      WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 || true
      wineserver -w
      wineserver -p </dev/null >/dev/null 2>&1
      wine cmd /c exit </dev/null >/dev/null 2>&1 || true
      run_ctest win64 build/win64 || status=1
      wineserver -k || true
      unset WINEPREFIX
      ;;
    pdb)
      # Built, not run: the win64 lane runs the same sources under Wine; this catches what
      # only clang or lld refuse.
      configure build/pdb -DQV_SYS_PDB=ON -DQV_SYS_TESTS=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
        -DQV_SYS_WIN64_DEPS="$(bash scripts/install-deps.sh win64-prefix)" ||
        { failed_lane pdb; continue; }
      echo "pdb build ok (qv_sys.dll, qv_sys.pdb, demo)" >> "$summary"
      ;;
    fuzz)
      CC=clang-14 CXX=clang++-14 configure build/fuzz -DQV_SYS_FUZZ=ON -DQV_SYS_TESTS=OFF \
        -DQV_SYS_DEMO=OFF -DQV_SYS_SANITIZE=address,undefined || { failed_lane fuzz; continue; }
      bash scripts/run-fuzzers.sh build/fuzz "${QV_SYS_FUZZ_SECONDS:-15}" >> "$summary" || status=1
      ;;
    viewer)
      bash scripts/viewer-test.sh "$summary" || status=1
      ;;
    *)
      echo "unknown lane: $lane" >&2
      exit 2
      ;;
  esac
done

echo "=== summary"
cat "$summary"
passed=$({ grep -oE '[0-9]+ tests failed out of [0-9]+' "$summary" || true; } | awk '{f+=$1; t+=$6} END {print t-f}')
failed=$({ grep -oE '[0-9]+ tests failed out of [0-9]+' "$summary" || true; } | awk '{f+=$1} END {print f+0}')
fuzzfail=$(grep -c '^fuzz .*FAILED' "$summary" || true)
failed=$((failed + fuzzfail))
[ "$status" = 0 ] || [ "$failed" != 0 ] || failed=1
echo "total: ${passed:-0} passed, ${failed} failed"
exit "$status"
