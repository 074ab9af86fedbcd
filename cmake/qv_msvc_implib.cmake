# lib/qv_sys.lib: an import library in the format MSVC's linker reads, for games built with
# MSVC (MinGW games use libqv_sys.dll.a). The linker writes the DLL's export list as a .def
# file while it links, so the .lib names exactly what the DLL exports; llvm-dlltool turns it
# into short import records, the kind MSVC's own tools make. MinGW's dlltool is the fallback.
find_program(QV_SYS_DLLTOOL NAMES llvm-dlltool-14 llvm-dlltool x86_64-w64-mingw32-dlltool
             REQUIRED)
set(qv_def ${CMAKE_CURRENT_BINARY_DIR}/lib/qv_sys.def)
set(QV_SYS_MSVC_IMPLIB ${CMAKE_CURRENT_BINARY_DIR}/lib/qv_sys.lib)
target_link_options(qv_sys PRIVATE -Wl,--output-def,${qv_def})
if(QV_SYS_DLLTOOL MATCHES "llvm-dlltool")
  set(qv_dlltool_args -m i386:x86-64 -d ${qv_def} -l ${QV_SYS_MSVC_IMPLIB} -D qv_sys.dll)
else()
  set(qv_dlltool_args -m i386:x86-64 --input-def ${qv_def} --output-lib ${QV_SYS_MSVC_IMPLIB}
                      --dllname qv_sys.dll)
endif()
add_custom_command(TARGET qv_sys POST_BUILD
  COMMAND ${QV_SYS_DLLTOOL} ${qv_dlltool_args}
  BYPRODUCTS ${qv_def} ${QV_SYS_MSVC_IMPLIB}
  COMMENT "Import library for MSVC: lib/qv_sys.lib"
  VERBATIM)
