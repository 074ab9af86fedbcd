#!/usr/bin/env bash
# Installs what building and testing qv_sys needs on a Debian 12 machine. Safe to run again:
# it only calls apt when something is missing, and reuses the Windows libraries it built.
#   install-deps.sh demo          the Linux build of the library and the demo host
#   install-deps.sh viewer        the demo's packages plus the viewer lane's: Debian's Chromium,
#                                 and Debian's nodejs and npm when no node is on PATH
#   install-deps.sh all           everything the full test run needs (MinGW-w64, Wine, clang,
#                                 the viewer's, and static Windows builds of LZ4 and libsodium)
#   install-deps.sh win64-prefix  prints the install prefixes of the Windows LZ4 and libsodium
#                                 as a CMake list (builds nothing)
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

what=${1:-all}
root=$(cd "$(dirname "$0")/.." && pwd)
# Outside any clone, so every clone and every CI run on the machine shares one build.
cache=${QV_SYS_DEPS_CACHE:-/var/cache/qv_sys-deps}
win_packages=(lz4 libsodium)

SUDO=
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

# The Windows libraries are keyed by the Debian source version of their Linux -dev package,
# so both platforms link the same release and an update rebuilds the Windows one.
source_version() { # source package -> Debian version of the matching installed -dev package
  local dev
  case $1 in
    lz4) dev=liblz4-dev ;;
    libsodium) dev=libsodium-dev ;;
  esac
  dpkg-query -W -f='${source:Version}' "$dev"
}
win_prefix() { echo "$cache/win64/$1-$(source_version "$1")"; }

if [ "$what" = win64-prefix ]; then
  list=
  for p in "${win_packages[@]}"; do list+="${list:+;}$(win_prefix "$p")"; done
  echo "$list"
  exit 0
fi

pkgs=(git cmake ninja-build make g++ python3 xz-utils)
# The library itself links LZ4 and libsodium, so even the demo needs their -dev packages.
pkgs+=(liblz4-dev libsodium-dev)
# Call stacks on Linux: libdw names frames and libunwind walks a signal context, both opened
# at run time (libdw1 and libunwind8 come with their -dev packages); libiberty demangles
# without allocating and is linked in statically.
pkgs+=(libdw-dev libunwind-dev libiberty-dev)
if [ "$what" = all ]; then
  pkgs+=(googletest libbenchmark-dev libxxhash-dev
         libjsmn-dev libsimdjson-dev libstb-dev libfmt-dev rsync
         g++-mingw-w64-x86-64-posix wine64
         clang-14 libclang-rt-14-dev
         autoconf automake libtool dpkg-dev gdb)
  # The PDB build links with lld; the MSVC import library comes from llvm-dlltool, and the
  # consumer lane links a game with lld-link and finds the installed package with pkg-config.
  # clang's -fuse-ld=lld runs the unversioned ld.lld, which only the lld package provides.
  pkgs+=(lld lld-14 llvm-14 pkg-config)
  # Lanes that start profilers run in a private network namespace (its loopback brought up
  # with ip), so a program elsewhere on the machine holding the profiler's ports cannot fail them.
  pkgs+=(iproute2)
  # A standard minidump reader that the crash tests open the Linux dumps with.
  pkgs+=(lldb-14)
fi

if [ "$what" = viewer ] || [ "$what" = all ]; then
  # The browser test drives Debian's Chromium; a node already installed is kept.
  pkgs+=(chromium)
  command -v node >/dev/null || pkgs+=(nodejs npm)
fi

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

[ "$what" = all ] || exit 0

# --- Windows LZ4 and libsodium ------------------------------------------------------------
# No MinGW packages exist for them: build static libraries from Debian's source packages
# (Debian's patches applied) with the same cross compiler as the DLL.

have_deb_src() {
  grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}
ensure_deb_src() {
  have_deb_src && return 0
  echo "adding deb-src entries for apt-get source"
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      $SUDO tee /etc/apt/sources.list.d/debian-src.sources >/dev/null
  else # an older one-line sources.list
    sed -n 's/^deb /deb-src /p' /etc/apt/sources.list |
      $SUDO tee /etc/apt/sources.list.d/debian-src.list >/dev/null
  fi
  $SUDO apt-get update -q
}

build_lz4() { # source dir, prefix
  cmake -S "$1/build/cmake" -B "$1/_win64" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DBUILD_SHARED_LIBS=OFF -DBUILD_STATIC_LIBS=ON \
    -DLZ4_BUILD_CLI=OFF -DLZ4_BUILD_LEGACY_LZ4C=OFF \
    -DCMAKE_INSTALL_PREFIX="$2" >/dev/null
  cmake --build "$1/_win64" -j "$(nproc)" >/dev/null
  cmake --install "$1/_win64" >/dev/null
}

build_libsodium() { # source dir, prefix
  # Without the variable autogen.sh tries to download fresh config.guess/config.sub.
  (cd "$1" && DO_NOT_UPDATE_CONFIG_SCRIPTS=1 ./autogen.sh >/dev/null 2>&1 &&
    ./configure -q --host=x86_64-w64-mingw32 CC=x86_64-w64-mingw32-gcc-posix \
      --disable-shared --enable-static --prefix="$2" >/dev/null &&
    make -j "$(nproc)" >/dev/null 2>&1 && make install >/dev/null)
}

build_win_package() { # source package
  local pkg=$1 version prefix work start
  version=$(source_version "$pkg")
  prefix=$(win_prefix "$pkg")
  [ -f "$prefix/.complete" ] && return 0
  start=$(date +%s)
  echo "building $pkg $version for x86_64-w64-mingw32 into $prefix"
  ensure_deb_src
  work=$(mktemp -d "$cache/build.XXXXXX")
  trap "rm -rf '$work' '$prefix.tmp'" EXIT
  (cd "$work" && apt-get source -q "$pkg=$version" >/dev/null 2>&1)
  local src
  src=$(find "$work" -mindepth 1 -maxdepth 1 -type d | head -n 1)
  rm -rf "$prefix.tmp"
  "build_$pkg" "$src" "$prefix.tmp"
  touch "$prefix.tmp/.complete"
  rm -rf "$prefix"
  mv "$prefix.tmp" "$prefix"
  rm -rf "$work"
  trap - EXIT
  echo "built $pkg in $(($(date +%s) - start)) s"
}

$SUDO mkdir -p "$cache/win64"
if [ -n "$SUDO" ]; then $SUDO chown "$(id -u):$(id -g)" "$cache" "$cache/win64"; fi
# Several clones may run this at once: one builds, the others wait and then reuse it.
exec 9>"$cache/.lock"
flock 9
for p in "${win_packages[@]}"; do build_win_package "$p"; done
