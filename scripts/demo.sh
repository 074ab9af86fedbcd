#!/usr/bin/env bash
# Builds the Linux library and runs the demo host. Extra arguments go to the demo host.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh demo
cmake -S . -B build/demo -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SYS_TESTS=OFF >/dev/null
cmake --build build/demo --target qv_sys_demo
exec ./build/demo/bin/qv_sys_demo "$@"
