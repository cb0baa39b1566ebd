# Installing the library for other programs: the header, the shared library with its SONAME,
# the norvaled program and its man page, a CMake package (find_package(norvaled) gives
# norvaled::norvaled) and pkg-config data; and the Debian package cpack builds from the same
# rules. The version comes from the project() call alone.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(NORVALED_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/norvaled)

if(NOT WIN32)
  # libnorvaled.so -> libnorvaled.so.1 -> libnorvaled.so.1.0.6: hosts record the .so.1.
  set_target_properties(norvaled PROPERTIES VERSION ${PROJECT_VERSION}
                                            SOVERSION ${PROJECT_VERSION_MAJOR})
  # The program finds the library beside it in any prefix, a scratch one too.
  set_target_properties(norvaled_host PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
endif()

# Inside the build tree the header comes from the sources; installed, from the prefix.
set_property(TARGET norvaled PROPERTY INTERFACE_INCLUDE_DIRECTORIES
             "$<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>"
             "$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")

install(TARGETS norvaled EXPORT norvaledTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS norvaled_host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/norvaled.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT norvaledTargets NAMESPACE norvaled:: DESTINATION ${NORVALED_CMAKE_DIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/norvaledConfig.cmake.in
  ${CMAKE_BINARY_DIR}/norvaledConfig.cmake INSTALL_DESTINATION ${NORVALED_CMAKE_DIR})
# 1.x stays compatible with 1.0: the SONAME changes only with the major number.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/norvaledConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/norvaledConfig.cmake
              ${CMAKE_BINARY_DIR}/norvaledConfigVersion.cmake
        DESTINATION ${NORVALED_CMAKE_DIR})

# pkg-config: the prefix is found from the .pc file's own place, so `cmake --install --prefix`,
# the .deb and a scratch root all give the right paths.
file(RELATIVE_PATH NORVALED_PC_TO_PREFIX /p/${CMAKE_INSTALL_LIBDIR}/pkgconfig /p)
string(REGEX REPLACE "/$" "" NORVALED_PC_TO_PREFIX "${NORVALED_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/norvaled.pc.in ${CMAKE_BINARY_DIR}/norvaled.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/norvaled.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

if(NOT WIN32)
  install(FILES ${CMAKE_SOURCE_DIR}/docs/norvaled.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # libssh2 is linked into the library, so its licence travels with it.
  install(FILES ${LIBSSH2_ROOT}/share/doc/libssh2/COPYING DESTINATION ${CMAKE_INSTALL_DOCDIR}
          RENAME libssh2-COPYING)
  install(FILES ${CMAKE_SOURCE_DIR}/examples/norvaled-example.c
                ${CMAKE_SOURCE_DIR}/examples/CMakeLists.txt
          DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
endif()

# cpack -G DEB: one package with the program, the library and what building against it needs.
set(CPACK_PACKAGE_NAME norvaled)
set(CPACK_PACKAGE_VENDOR "Velmorak")
set(CPACK_PACKAGE_CONTACT "norvaled developers <norvaled@velmorak.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serve a disk-image file on an SFTP server as a local iSCSI disk")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
  "norvaled serves one disk-image file on an SFTP server, or a local file, as an iSCSI disk "
  "on 127.0.0.1 through a write-back cache of 2 MiB chunks. The package holds the norvaled "
  "program, the libnorvaled shared library, its header, pkg-config and CMake package data.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# dpkg-shlibdeps finds libssl3 (libssh2 is linked in), libc6, libstdc++6 and libgcc-s1 with
# their versions;
# the generated shlibs file and ldconfig trigger let the library be found after install.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_STRIP_FILES ON)
include(CPack)
