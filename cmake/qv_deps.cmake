# LZ4 and libsodium, the two libraries qv_sys is built on, as the interface targets
# qv_sys_dep_lz4 and qv_sys_dep_sodium.
#
# Both platforms link them statically into the library, so a game ships one file and never
# meets a second copy of either library (or a missing one) on the player's machine. Linux
# takes the static archives of liblz4-dev and libsodium-dev (built position-independent, so
# they link into a shared library); their symbols stay hidden (--exclude-libs). Windows links
# static libraries that scripts/install-deps.sh cross-builds from Debian's source packages;
# their install prefixes come in QV_SYS_WIN64_DEPS (`scripts/install-deps.sh win64-prefix`).

if(WIN32)
  set(QV_SYS_WIN64_DEPS "" CACHE STRING
      "Install prefixes of the static Windows LZ4 and libsodium (a CMake list)")
  # The prefixes live outside the MinGW sysroot, so the cross build's find root is bypassed.
  set(qv_dep_find PATHS ${QV_SYS_WIN64_DEPS} NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  set(qv_lz4_names liblz4.a)
  set(qv_sodium_names libsodium.a)
else()
  set(qv_dep_find)
  set(qv_lz4_names liblz4.a)
  set(qv_sodium_names libsodium.a)
endif()

find_path(QV_SYS_LZ4_INCLUDE_DIR lz4hc.h PATH_SUFFIXES include ${qv_dep_find})
find_library(QV_SYS_LZ4_LIBRARY NAMES ${qv_lz4_names} PATH_SUFFIXES lib ${qv_dep_find})
find_path(QV_SYS_SODIUM_INCLUDE_DIR sodium.h PATH_SUFFIXES include ${qv_dep_find})
find_library(QV_SYS_SODIUM_LIBRARY NAMES ${qv_sodium_names} PATH_SUFFIXES lib ${qv_dep_find})

foreach(var QV_SYS_LZ4_INCLUDE_DIR QV_SYS_LZ4_LIBRARY QV_SYS_SODIUM_INCLUDE_DIR QV_SYS_SODIUM_LIBRARY)
  if(NOT ${var})
    if(WIN32)
      message(FATAL_ERROR "${var} not found. Build the Windows LZ4 and libsodium with "
                          "scripts/install-deps.sh all and pass "
                          "-DQV_SYS_WIN64_DEPS=\"$(scripts/install-deps.sh win64-prefix)\"")
    else()
      message(FATAL_ERROR "${var} not found: install liblz4-dev and libsodium-dev")
    endif()
  endif()
endforeach()

add_library(qv_sys_dep_lz4 INTERFACE)
target_include_directories(qv_sys_dep_lz4 SYSTEM INTERFACE ${QV_SYS_LZ4_INCLUDE_DIR})
target_link_libraries(qv_sys_dep_lz4 INTERFACE ${QV_SYS_LZ4_LIBRARY})

add_library(qv_sys_dep_sodium INTERFACE)
target_include_directories(qv_sys_dep_sodium SYSTEM INTERFACE ${QV_SYS_SODIUM_INCLUDE_DIR})
target_link_libraries(qv_sys_dep_sodium INTERFACE ${QV_SYS_SODIUM_LIBRARY})
if(WIN32)
  # The static library's headers must not declare its functions as DLL imports; its random
  # source is RtlGenRandom from advapi32.
  target_compile_definitions(qv_sys_dep_sodium INTERFACE SODIUM_STATIC=1)
  target_link_libraries(qv_sys_dep_sodium INTERFACE advapi32)
endif()

# Call stacks on Linux: libdw's and libunwind's headers only (both are opened at run time,
# never linked), and libiberty's demangler, which is linked in statically because it demangles
# without allocating.
add_library(qv_sys_dep_callstack INTERFACE)
if(NOT WIN32)
  find_path(QV_SYS_DWFL_INCLUDE_DIR elfutils/libdwfl.h)
  find_path(QV_SYS_LIBUNWIND_INCLUDE_DIR libunwind.h)
  find_library(QV_SYS_IBERTY_LIBRARY NAMES libiberty.a iberty)
  foreach(var QV_SYS_DWFL_INCLUDE_DIR QV_SYS_LIBUNWIND_INCLUDE_DIR QV_SYS_IBERTY_LIBRARY)
    if(NOT ${var})
      message(FATAL_ERROR "${var} not found: install libdw-dev, libunwind-dev and libiberty-dev")
    endif()
  endforeach()
  target_include_directories(qv_sys_dep_callstack SYSTEM INTERFACE
    ${QV_SYS_DWFL_INCLUDE_DIR} ${QV_SYS_LIBUNWIND_INCLUDE_DIR})
  target_link_libraries(qv_sys_dep_callstack INTERFACE ${QV_SYS_IBERTY_LIBRARY})
endif()
