# What `cmake --install` puts under the prefix, and the release archives (`cpack`):
#   include/qv_sys/*.h
#   Linux:   lib/libqv_sys.so.X.Y.Z, libqv_sys.so.X (the SONAME), libqv_sys.so
#   Windows: bin/qv_sys.dll (+ bin/qv_sys.pdb from the PDB build), lib/libqv_sys.dll.a (MinGW),
#            lib/qv_sys.lib (MSVC)
#   lib/cmake/qv_sys/  qv_sysConfig.cmake, qv_sysConfigVersion.cmake, target qv_sys::qv_sys
#   lib/pkgconfig/qv_sys.pc
#   share/doc/qv_sys/  README.md, LICENSE (when the tree has one), and the copyright notices
#                      of LZ4 and libsodium, which are linked into the library
include(CMakePackageConfigHelpers)

set(QV_SYS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qv_sys)

install(TARGETS qv_sys EXPORT qv_sysTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/qv_sys
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.h")
if(WIN32)
  install(FILES ${QV_SYS_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})
  if(QV_SYS_PDB)
    install(FILES $<TARGET_FILE_DIR:qv_sys>/qv_sys.pdb DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endif()

install(EXPORT qv_sysTargets NAMESPACE qv_sys:: DESTINATION ${QV_SYS_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/package/qv_sysConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/qv_sysConfig.cmake INSTALL_DESTINATION ${QV_SYS_CMAKE_DIR})
# Until 1.0 a minor release may change the interface, so only the same minor release counts
# as compatible; from 1.0 on, the same major release.
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(qv_compat SameMinorVersion)
else()
  set(qv_compat SameMajorVersion)
endif()
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/qv_sysConfigVersion.cmake
  COMPATIBILITY ${qv_compat})
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qv_sysConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/qv_sysConfigVersion.cmake
        DESTINATION ${QV_SYS_CMAKE_DIR})

# The .pc file finds the prefix from its own place, so an unpacked release archive works
# wherever it lands.
file(RELATIVE_PATH qv_pc_to_prefix
     ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" qv_pc_to_prefix "${qv_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_SOURCE_DIR}/cmake/package/qv_sys.pc.in
               ${CMAKE_CURRENT_BINARY_DIR}/qv_sys.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/qv_sys.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
  install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
endif()
# Both libraries' licences ask binary releases to carry their notices. The Windows build links
# the same Debian source releases, so the Linux packages' notices serve both.
foreach(qv_notice lz4:liblz4-dev libsodium:libsodium-dev)
  string(REPLACE ":" ";" qv_notice ${qv_notice})
  list(GET qv_notice 0 qv_notice_name)
  list(GET qv_notice 1 qv_notice_package)
  if(EXISTS /usr/share/doc/${qv_notice_package}/copyright)
    install(FILES /usr/share/doc/${qv_notice_package}/copyright
            DESTINATION ${CMAKE_INSTALL_DOCDIR}/third-party RENAME ${qv_notice_name}.txt)
  endif()
endforeach()

# Release archives: qv_sys-<version>-win64.zip and qv_sys-<version>-linux-x86_64.tar.gz, each
# holding exactly what `cmake --install` puts under its prefix.
set(CPACK_PACKAGE_NAME qv_sys)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "qv_sys")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "The system layer of a game engine")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/package)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  set(CPACK_GENERATOR TGZ)
  set(CPACK_SYSTEM_NAME linux-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CPACK_SYSTEM_NAME})
include(CPack)
