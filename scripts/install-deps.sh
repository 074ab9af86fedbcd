#!/usr/bin/env bash
# Installs what building and testing qv_sys needs on a Debian 12 machine. Safe to run again:
# it only calls apt when something is missing.
#   install-deps.sh demo   the Linux build of the library and the demo host
#   install-deps.sh all    everything the full test run needs (MinGW-w64, Wine, clang, ...)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

what=${1:-all}
pkgs=(git cmake ninja-build make g++ python3 xz-utils)
if [ "$what" = all ]; then
  pkgs+=(googletest libbenchmark-dev libxxhash-dev liblz4-dev libsodium-dev
         g++-mingw-w64-x86-64-posix wine64
         clang-14 libclang-rt-14-dev
         autoconf automake libtool dpkg-dev gdb)
fi

SUDO=
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

missing=()
for p in "${pkgs[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  # A fresh machine has no package lists; without them apt silently installs nothing.
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q "${missing[@]}"
fi
