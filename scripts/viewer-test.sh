#!/usr/bin/env bash
# The viewer lane: the page's decoder tests (node's own runner) and the browser test (Debian's
# Chromium, headless, driven by the pinned playwright-core) against the profiled test host.
# The browser test listens on ports, so it runs inside a private network namespace.
#   viewer-test.sh [summary file]   appends one result line to the summary file
# QV_SYS_VIEWER_LOAD_SECONDS sets the length of the full-load run (default 120).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
summary=${1:-/dev/null}
bash scripts/install-deps.sh viewer

build=$root/build/viewer
out=$build/artifacts
mkdir -p "$out"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SYS_TESTS=OFF \
  -DQV_SYS_DEMO=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target qv_sys
# The host names its threads where the library has the call for it.
names=
grep -q scope_set_thread_name "$root/include/qv_sys/scope.h" && names=-DVIEWER_HOST_THREAD_NAMES
cc -O2 -Wall -Wextra -Werror $names -I "$root/include" "$root/viewer/browser/host.c" \
  -o "$build/viewer_host" -L "$build/bin" -lqv_sys -lpthread -Wl,-rpath,"$build/bin"
# playwright-core only drives the browser it is given; it downloads none.
(cd viewer && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)

log=$out/viewer-tests.log
: >"$log"
set +e
(cd viewer && node --test test/decoder.test.js) 2>&1 | tee -a "$log"
unit=${PIPESTATUS[0]}
# A port of the test's own (the profiler's port override), in the default mode with the full
# load run, then again in streaming mode without it.
export VIEWER_HOST=$build/viewer_host VIEWER_PORT=27815
browser_test="cd viewer &&
  VIEWER_OUT=$out VIEWER_LOAD_SECONDS=${QV_SYS_VIEWER_LOAD_SECONDS:-120} node --test browser/viewer.test.js &&
  QV_SYS_PROFILER_STREAM=1 VIEWER_OUT=$out/streaming VIEWER_LOAD_SECONDS=0 node --test browser/viewer.test.js"
if unshare -n true 2>/dev/null; then
  unshare -n sh -c "ip link set lo up && $browser_test" 2>&1 | tee -a "$log"
else
  echo "no private network namespace here (not root?): the browser test uses loopback as is"
  sh -c "$browser_test" 2>&1 | tee -a "$log"
fi
browser=${PIPESTATUS[0]}
set -e

# One line in the form the other lanes report, counted from node's closing lines.
pass=$(grep -E '^# pass [0-9]+' "$log" | awk '{s+=$3} END {print s+0}')
fail=$(grep -E '^# fail [0-9]+' "$log" | awk '{s+=$3} END {print s+0}')
[ "$unit" = 0 ] && [ "$browser" = 0 ] || [ "$fail" != 0 ] || fail=1
echo "viewer $((pass * 100 / (pass + fail > 0 ? pass + fail : 1)))% tests passed, $fail tests failed out of $((pass + fail))" >>"$summary"
echo "viewer screenshot and speed report: $out/viewer.png, $out/speed.txt"
[ "$unit" = 0 ] && [ "$browser" = 0 ]
