# Cross-compiling the Windows x64 build with the posix-threads MinGW-w64 gcc.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

# QV_SYS_PDB=ON builds with clang-14 for the same target instead, and writes CodeView debug
# information into PDB files beside the DLL and programs: Windows' own dbghelp reads PDBs, not
# the DWARF that gcc writes (which only Wine's dbghelp reads). This is the build to ship.
if(QV_SYS_PDB)
  set(CMAKE_C_COMPILER clang-14)
  set(CMAKE_CXX_COMPILER clang++-14)
  set(CMAKE_C_COMPILER_TARGET x86_64-w64-mingw32)
  set(CMAKE_CXX_COMPILER_TARGET x86_64-w64-mingw32)
  # clang does not find Debian's MinGW-w64 gcc on its own: point it at the MinGW headers and
  # at the posix-threads gcc's C++ headers and runtime libraries (libstdc++, libgcc).
  file(GLOB qv_mingw_gcc_dirs /usr/lib/gcc/x86_64-w64-mingw32/*-posix)
  list(GET qv_mingw_gcc_dirs -1 qv_mingw_gcc)
  set(qv_clang_mingw_flags "--sysroot=/usr/x86_64-w64-mingw32 -nostdinc++ \
-isystem ${qv_mingw_gcc}/include/c++ -isystem ${qv_mingw_gcc}/include/c++/x86_64-w64-mingw32 \
-isystem ${qv_mingw_gcc}/include/c++/backward")
  set(qv_clang_mingw_link "--sysroot=/usr/x86_64-w64-mingw32 -L${qv_mingw_gcc}")
else()
  set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
  set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
endif()
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)

set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Static runtimes: qv_sys.dll and the test programs then need only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -static")
if(QV_SYS_PDB)
  # lld writes the PDB; an empty name gives each DLL and program its own, beside it
  # (qv_sys.dll -> qv_sys.pdb).
  set(CMAKE_C_FLAGS_INIT "--sysroot=/usr/x86_64-w64-mingw32 -gcodeview")
  set(CMAKE_CXX_FLAGS_INIT "${qv_clang_mingw_flags} -gcodeview")
  string(APPEND CMAKE_EXE_LINKER_FLAGS_INIT " ${qv_clang_mingw_link} -fuse-ld=lld -Wl,--pdb=")
  string(APPEND CMAKE_SHARED_LINKER_FLAGS_INIT " ${qv_clang_mingw_link} -fuse-ld=lld -Wl,--pdb=")
else()
  # Wine's dbghelp names frames only from DWARF 4 (with gcc's default DWARF 5 it names none).
  set(CMAKE_C_FLAGS_INIT "-gdwarf-4")
  set(CMAKE_CXX_FLAGS_INIT "-gdwarf-4")
endif()

# Windows programs run under Wine, through a script that keeps Wine from starting its crash
# debugger each time a death test ends a process and that retries a start Wine itself failed.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
