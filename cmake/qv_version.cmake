# The version lives in one place, project(qv_sys VERSION ...). include/qv_sys/version.h repeats
# it for the compiler, so configure stops when the two disagree: a bumped project version can
# never ship with the old numbers in the header, or the other way round.
file(STRINGS ${CMAKE_CURRENT_SOURCE_DIR}/include/qv_sys/version.h qv_version_lines
     REGEX "^#define QV_SYS_VERSION_(MAJOR|MINOR|PATCH) ")
foreach(part MAJOR MINOR PATCH)
  set(qv_header_${part} "")
  foreach(line ${qv_version_lines})
    if(line MATCHES "^#define QV_SYS_VERSION_${part} +([0-9]+)")
      set(qv_header_${part} ${CMAKE_MATCH_1})
    endif()
  endforeach()
endforeach()
set(qv_header_version "${qv_header_MAJOR}.${qv_header_MINOR}.${qv_header_PATCH}")
if(NOT qv_header_version STREQUAL PROJECT_VERSION)
  message(FATAL_ERROR "include/qv_sys/version.h says ${qv_header_version}, CMakeLists.txt says "
                      "${PROJECT_VERSION}: set QV_SYS_VERSION_MAJOR/MINOR/PATCH to the project "
                      "version")
endif()
