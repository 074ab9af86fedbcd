#!/usr/bin/env bash
# The consumer lane: what a game team does with qv_sys, from a clean copy of this tree.
#   run.sh <work folder> [linux] [win64]
# Builds and installs the library to a prefix (the Windows one is the PDB build that ships),
# makes the release archives, then builds small games outside the tree against it:
#   linux  find_package, pkg-config (gcc and clang, -pedantic -Werror), add_subdirectory (no
#          test, benchmark, fuzz or demo file compiled, nothing written beside the game);
#   win64  a C file and a C++ file (the four decorated functions) built by clang for the MSVC
#          target and linked by lld-link against qv_sys.lib with no C runtime, and a MinGW game through find_package, both run under
#          Wine beside the installed DLL.
# Every game exits 0 only when the library reports the version its headers carry. The archives
# must hold the files the README names.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$1
shift
platforms=("$@")
[ ${#platforms[@]} -gt 0 ] || platforms=(linux win64)
jobs=$(nproc)

fail() {
  echo "consumer: $*" >&2
  exit 1
}
step() { echo "--- consumer: $*"; }

rm -rf "$work"
mkdir -p "$work/src"
# A clean copy: the files git knows (tracked, or new and not ignored) as they are now; no build
# folders, no caches.
src=$work/src
if git -C "$root" rev-parse --git-dir >/dev/null 2>&1; then
  (cd "$root" && git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - 2>/dev/null) | tar -xf - -C "$src"
else
  (cd "$root" && tar --exclude=./build -cf - .) | tar -xf - -C "$src"
fi
version=$(sed -n 's/^project(qv_sys VERSION \([0-9.]*\).*/\1/p' "$src/CMakeLists.txt")
[ -n "$version" ] || fail "no project version in CMakeLists.txt"
# The games are projects of their own, outside the library's tree.
game_src=$work/game
cp -r "$src/tests/consumer/game" "$game_src"

# The game prints its log lines; the second one names both versions.
check_game_output() { # log file
  grep -q '|GAME *| *[0-9]*:game.c *started$' "$1" || fail "no 'started' log line in $1"
  grep -q "qv_sys headers $version, library" "$1" || fail "no version line in $1"
}

# The archive holds exactly the installed tree under one top folder.
check_archive() { # archive, install prefix
  local archive=$1 prefix=$2 top listed expected
  [ -f "$archive" ] || fail "no release archive $archive"
  top=$(basename "$archive" | sed -E 's/\.(zip|tar\.gz)$//')
  listed=$(cmake -E tar tf "$archive" | sed -n "s|^$top/||p" | grep -v '/$' | sort)
  expected=$(cd "$prefix" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort)
  [ "$listed" = "$expected" ] ||
    fail "$archive differs from the installed tree: $(diff <(echo "$expected") <(echo "$listed") || true)"
}

# The files the README's install table names.
check_installed() { # prefix, file...
  local prefix=$1 f
  shift
  for f in "$@"; do
    [ -e "$prefix/$f" ] || fail "not installed: $f"
  done
}

headers=(include/qv_sys/qv_sys.h include/qv_sys/version.h include/qv_sys/io.h)
package=(lib/cmake/qv_sys/qv_sysConfig.cmake lib/cmake/qv_sys/qv_sysConfigVersion.cmake
         lib/cmake/qv_sys/qv_sysTargets.cmake lib/pkgconfig/qv_sys.pc share/doc/qv_sys/README.md
         share/doc/qv_sys/third-party/lz4.txt share/doc/qv_sys/third-party/libsodium.txt)

for platform in "${platforms[@]}"; do
  case $platform in
    linux)
      prefix=$work/linux-prefix
      step "linux: build, install, archive"
      cmake -S "$src" -B "$work/linux" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
      grep -q '^QV_SYS_TESTS:BOOL=ON' "$work/linux/CMakeCache.txt" ||
        fail "tests are not on by default at the top level"
      cmake -S "$src" -B "$work/linux" -DQV_SYS_TESTS=OFF -DQV_SYS_DEMO=OFF >/dev/null
      cmake --build "$work/linux" -j "$jobs" >/dev/null
      cmake --install "$work/linux" >/dev/null
      (cd "$work/linux" && cpack >/dev/null)
      check_installed "$prefix" "${headers[@]}" "${package[@]}" \
        "lib/libqv_sys.so.$version" "lib/libqv_sys.so.${version%%.*}" lib/libqv_sys.so
      soname=$(readelf -d "$prefix/lib/libqv_sys.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
      [ "$soname" = "libqv_sys.so.${version%%.*}" ] || fail "SONAME is '$soname'"
      # LZ4 and libsodium are inside the library, not beside it.
      needed=$(readelf -d "$prefix/lib/libqv_sys.so" | grep NEEDED || true)
      if grep -E 'lz4|sodium' <<<"$needed"; then
        fail "libqv_sys.so needs a shared LZ4 or libsodium (above)"
      fi
      check_archive "$work/linux/package/qv_sys-$version-linux-x86_64.tar.gz" "$prefix"

      step "linux: find_package"
      cmake -S "$game_src" -B "$work/game-package" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
        -DQV_SYS_WANTED="$version" >/dev/null
      cmake --build "$work/game-package" >/dev/null
      "$work/game-package/game" > "$work/game-package.log" || fail "find_package game failed"
      check_game_output "$work/game-package.log"

      step "linux: pkg-config, gcc and clang"
      export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
      [ "$(pkg-config --modversion qv_sys)" = "$version" ] || fail "pkg-config version"
      for cc in gcc clang-14; do
        # shellcheck disable=SC2046
        $cc -std=c11 -Wall -Wextra -pedantic -Werror "$game_src/game.c" -o "$work/game-pc-$cc" \
          $(pkg-config --cflags --libs qv_sys) -Wl,-rpath,"$prefix/lib"
        "$work/game-pc-$cc" > "$work/game-pc-$cc.log" || fail "pkg-config game ($cc) failed"
        check_game_output "$work/game-pc-$cc.log"
      done
      unset PKG_CONFIG_PATH

      step "linux: add_subdirectory"
      sub=$work/game-subdir
      cmake -S "$game_src" -B "$sub" -G Ninja -DQV_SYS_SOURCE="$src" > "$work/game-subdir.configure.log"
      # Only the library's own sources and the game are compiled: seen in the commands the
      # build would run (at once, without compiling anything) and then in those it ran.
      ninja -C "$sub" -t commands all > "$work/game-subdir.planned.log"
      if grep -E ' -c [^ ]*/(tests|bench|fuzz|demo)/' "$work/game-subdir.planned.log"; then
        fail "add_subdirectory would compile files outside the library (above)"
      fi
      cmake --build "$sub" -j "$jobs" -- -v > "$work/game-subdir.build.log"
      if grep -E ' -c [^ ]*/(tests|bench|fuzz|demo)/' "$work/game-subdir.build.log"; then
        fail "add_subdirectory compiled files outside the library (above)"
      fi
      grep -q ' -c [^ ]*/src/version.cpp' "$work/game-subdir.build.log" ||
        fail "add_subdirectory did not build the library"
      grep -q '^CMAKE_BUILD_TYPE:STRING=$' "$sub/CMakeCache.txt" ||
        fail "the library set the game's build type"
      # Its outputs stay in its own folder; the game's folder holds only the game.
      [ -z "$(find "$sub" -maxdepth 1 -newer "$sub/CMakeCache.txt" -name '*.so*')" ] ||
        fail "the library wrote shared libraries into the game's folder"
      [ -e "$sub/qv_sys/bin/libqv_sys.so" ] || fail "no libqv_sys.so in the library's own folder"
      "$sub/game" > "$sub.log" || fail "add_subdirectory game failed"
      check_game_output "$sub.log"
      ;;
    win64)
      prefix=$work/win64-prefix
      deps=$(bash "$src/scripts/install-deps.sh" win64-prefix)
      step "win64: build (PDB), install, archive"
      cmake -S "$src" -B "$work/win64" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQV_SYS_PDB=ON \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" -DQV_SYS_WIN64_DEPS="$deps" \
        -DQV_SYS_TESTS=OFF -DQV_SYS_DEMO=OFF -DCMAKE_INSTALL_PREFIX="$prefix" >/dev/null
      cmake --build "$work/win64" -j "$jobs" >/dev/null
      cmake --install "$work/win64" >/dev/null
      (cd "$work/win64" && cpack >/dev/null)
      check_installed "$prefix" "${headers[@]}" "${package[@]}" \
        bin/qv_sys.dll bin/qv_sys.pdb lib/libqv_sys.dll.a lib/qv_sys.lib
      check_archive "$work/win64/package/qv_sys-$version-win64.zip" "$prefix"

      # Wine: one prefix for this lane, made once and kept between runs.
      export WINEPREFIX=${QV_SYS_WINEPREFIX:-$root/build/wineprefix} WINEDEBUG=-all LC_ALL=C.UTF-8
      WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 || true
      run_wine() { # folder, program, log
        (cd "$1" && wine "$2" </dev/null >"$3" 2>&1) || { cat "$3"; fail "$2 failed under Wine"; }
        tr -d '\r' <"$3" >"$3.txt" && mv "$3.txt" "$3"
        check_game_output "$3"
      }

      step "win64: clang for the MSVC target, lld-link against qv_sys.lib"
      msvc=$work/game-msvc
      mkdir -p "$msvc"
      llvm-dlltool-14 -m i386:x86-64 -d "$src/tests/consumer/kernel32.def" -l "$msvc/kernel32.lib"
      # No -pedantic here: in MSVC mode the headers use MSVC's own keywords (__forceinline),
      # which clang's pedantic mode reports as extensions.
      clang-14 --target=x86_64-pc-windows-msvc -std=c11 -Wall -Wextra -Werror \
        -ffreestanding -fno-stack-protector -O1 -DQV_CONSUMER_NO_CRT -DQV_CONSUMER_CPP \
        -I"$prefix/include" -c "$game_src/game.c" -o "$msvc/game.obj"
      # The four C++ functions are linked under MSVC's decorated names.
      clang++-14 --target=x86_64-pc-windows-msvc -std=c++17 -Wall -Wextra -Werror \
        -ffreestanding -fno-stack-protector -fno-exceptions -O1 -I"$prefix/include" \
        -c "$game_src/game_cpp.cpp" -o "$msvc/game_cpp.obj"
      lld-link-14 /nologo /entry:game_entry /subsystem:console /nodefaultlib \
        /out:"$msvc/game.exe" "$msvc/game.obj" "$msvc/game_cpp.obj" "$prefix/lib/qv_sys.lib" \
        "$msvc/kernel32.lib"
      cp "$prefix/bin/qv_sys.dll" "$msvc/"
      run_wine "$msvc" game.exe "$msvc.log"
      grep -q "C++ functions linked" "$msvc.log" || fail "no C++ function line in $msvc.log"

      step "win64: MinGW game through find_package"
      mingw=$work/game-mingw
      cmake -S "$game_src" -B "$mingw" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$src/cmake/mingw-w64-x86_64.cmake" \
        -Dqv_sys_DIR="$prefix/lib/cmake/qv_sys" -DQV_SYS_WANTED="$version" >/dev/null
      cmake --build "$mingw" >/dev/null
      cp "$prefix/bin/qv_sys.dll" "$mingw/"
      run_wine "$mingw" game.exe "$mingw.log"
      ;;
    *)
      fail "unknown platform $platform"
      ;;
  esac
done
echo "consumer ok (${platforms[*]})"
