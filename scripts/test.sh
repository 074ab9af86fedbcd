#!/usr/bin/env bash
# Builds qv_sys and runs every test lane:
#   linux     gcc, the suite natively
#   sanitize  gcc with AddressSanitizer + UndefinedBehaviorSanitizer, the suite again
#   tsan      clang-14 with ThreadSanitizer, the suite again
#   win64     MinGW-w64 cross build, the suite under Wine
#   pdb       the Windows build the README says to ship (clang-14, PDB files): it must build
#   fuzz      clang-14 libFuzzer targets, each run briefly
#   viewer    the browser viewer: its decoder tests and a headless Chromium test (viewer-test.sh)
#   consumer  a clean copy installed to a prefix and used by small games, as a game team would
#             (find_package, pkg-config, add_subdirectory, MSVC import library, release archives)
# With no arguments every lane runs; name lanes to run only those. A lane is one arm of the
# `case` below: its commands' exit status is its result, and a lane that runs CTest reports
# through run_ctest so its counts reach the total.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/install-deps.sh all

all_lanes=(linux sanitize tsan win64 pdb fuzz consumer viewer)
lanes=("$@")
[ ${#lanes[@]} -gt 0 ] || lanes=("${all_lanes[@]}")
jobs=$(nproc)
summary=$(mktemp)
trap 'rm -f "$summary"' EXIT

configure() { # dir, extra cmake arguments...
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
}

# Test programs start profilers, which listen on fixed TCP ports. In a network namespace of
# their own (root can make one) another program on the machine holding those ports cannot fail
# them, and nothing they open is reachable from outside.
# The command may be a function of this script that is exported (export -f).
private_net() { # command...
  if [ "$(id -u)" = 0 ] && command -v unshare >/dev/null && command -v ip >/dev/null &&
     unshare -n true 2>/dev/null; then
    unshare -n bash -c 'ip link set lo up && "$@"' bash "$@"
  else
    "$@"
  fi
}

lane_ctest() { ctest --output-on-failure --timeout 120 -j "$jobs"; }

run_ctest() { # lane, dir[, runner: lane_ctest or wine_ctest]
  local lane=$1 dir=$2 runner=${3:-lane_ctest} log
  log="$dir/ctest.log"
  set +e
  (cd "$dir" && private_net "$runner") 2>&1 | tee "$log"
  local rc=${PIPESTATUS[0]}
  set -e
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
  echo "$lane ${line:-no result}" >> "$summary"
  return "$rc"
}

# Wine, started in this order: a prefix made once, then a persistent server and Wine's
# services detached from our pipes. Otherwise each test costs seconds, or CTest hangs on a pipe
# that a Wine service keeps open. One prefix serves every lane that runs Windows programs.
# File names cross between Windows and Linux in the Unix locale's encoding: UTF-8, as on any
# desktop, whatever the calling shell has set (a fresh machine sets nothing).
start_wine() {
  export WINEPREFIX=$root/build/wineprefix WINEDEBUG=-all LC_ALL=C.UTF-8
  # A persistent server left from an earlier run would make `wineserver -w` wait forever.
  wineserver -k </dev/null >/dev/null 2>&1 || true
  WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 || true
  wineserver -w
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
}
stop_wine() {
  wineserver -k </dev/null >/dev/null 2>&1 || true
  unset WINEPREFIX LC_ALL
}
# Wine's server creates the sockets of the programs it runs, so it has to live in the same
# network namespace as the tests that talk to them.
wine_ctest() {
  local rc=0
  start_wine
  lane_ctest || rc=$?
  stop_wine
  return $rc
}
export -f lane_ctest start_wine stop_wine wine_ctest
export root jobs

win64_deps() { bash scripts/install-deps.sh win64-prefix; }

status=0
for lane in "${lanes[@]}"; do
  echo "=== lane: $lane"
  # Each arm ends with `|| lane_failed`: a lane's failure is counted and the next lane runs.
  lane_failed() {
    status=1
    # Counted once: a lane whose own lines already report its failures adds nothing.
    grep -qE "^$lane .*(FAILED|[1-9][0-9]* tests failed)" "$summary" || echo "$lane FAILED" >> "$summary"
  }
  case $lane in
    linux)
      { configure build/linux -DQV_SYS_BENCH=ON && run_ctest linux build/linux; } || lane_failed
      ;;
    sanitize)
      # Tests ask for impossible sizes on purpose; the heap must answer null, not abort.
      { configure build/sanitize -DQV_SYS_SANITIZE=address,undefined -DQV_SYS_DEMO=OFF &&
        ASAN_OPTIONS=allocator_may_return_null=1:detect_leaks=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 run_ctest sanitize build/sanitize
      } || lane_failed
      ;;
    tsan)
      # As in the sanitize lane: impossible sizes must give null, not abort.
      { CC=clang-14 CXX=clang++-14 configure build/tsan -DQV_SYS_SANITIZE=thread -DQV_SYS_DEMO=OFF &&
        TSAN_OPTIONS=halt_on_error=1:allocator_may_return_null=1 run_ctest tsan build/tsan
      } || lane_failed
      ;;
    win64)
      { configure build/win64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
          -DQV_SYS_WIN64_DEPS="$(win64_deps)" &&
        run_ctest win64 build/win64 wine_ctest
      } || lane_failed
      ;;
    pdb)
      # Built, not run: the win64 lane runs the same sources under Wine; this catches what
      # only clang or lld refuse.
      { configure build/pdb -DQV_SYS_PDB=ON -DQV_SYS_TESTS=OFF \
          -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
          -DQV_SYS_WIN64_DEPS="$(win64_deps)" &&
        echo "pdb build ok (qv_sys.dll, qv_sys.pdb, qv_sys.lib, demo)" >> "$summary"
      } || lane_failed
      ;;
    fuzz)
      { CC=clang-14 CXX=clang++-14 configure build/fuzz -DQV_SYS_FUZZ=ON -DQV_SYS_TESTS=OFF \
          -DQV_SYS_DEMO=OFF -DQV_SYS_SANITIZE=address,undefined &&
        bash scripts/run-fuzzers.sh build/fuzz "${QV_SYS_FUZZ_SECONDS:-15}" >> "$summary"
      } || lane_failed
      ;;
    consumer)
      { start_wine; QV_SYS_WINEPREFIX=$WINEPREFIX bash tests/consumer/run.sh "$root/build/consumer" &&
        echo "consumer ok (find_package, pkg-config, add_subdirectory, MSVC import library, archives)" >> "$summary"
      } || lane_failed
      stop_wine
      ;;
    viewer)
      bash scripts/viewer-test.sh "$summary" || lane_failed
      ;;
    *)
      echo "unknown lane: $lane (lanes: ${all_lanes[*]})" >&2
      exit 2
      ;;
  esac
done

echo "=== summary"
cat "$summary"
passed=$({ grep -oE '[0-9]+ tests failed out of [0-9]+' "$summary" || true; } | awk '{f+=$1; t+=$6} END {print t-f}')
failed=$({ grep -oE '[0-9]+ tests failed out of [0-9]+' "$summary" || true; } | awk '{f+=$1} END {print f+0}')
# A lane or fuzz target that failed without a test count still counts as one failure.
uncounted=$({ grep -E 'FAILED' "$summary" || true; } | grep -cvE 'tests failed out of' || true)
failed=$((failed + uncounted))
[ "$status" = 0 ] || [ "$failed" != 0 ] || failed=1
echo "total: ${passed:-0} passed, ${failed} failed"
exit "$status"
