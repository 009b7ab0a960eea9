# Installation: the plug-in, the static support library, the public headers, a CMake package
# (find_package(kojelly) with kojelly::kojelly and kojelly::tessel) and pkg-config files.
include(CMakePackageConfigHelpers)

install(TARGETS kojelly tessel EXPORT kojellyTargets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/kojelly.h include/tessel_http.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(KOJELLY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kojelly)
install(EXPORT kojellyTargets NAMESPACE kojelly:: DESTINATION ${KOJELLY_CMAKE_DIR})
configure_package_config_file(cmake/kojellyConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/kojellyConfig.cmake INSTALL_DESTINATION ${KOJELLY_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/kojellyConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/kojellyConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/kojellyConfigVersion.cmake
        DESTINATION ${KOJELLY_CMAKE_DIR})

if(WIN32)
  # The Windows zip (make windows-package): the DLL and kojelly.exe in bin/, the DLL's MinGW
  # import library and the module-definition file from which MSVC's lib /def: makes one, yyjson's
  # licence (it is linked into the DLL) and a short read-me. No pkg-config files: their paths
  # would name this machine.
  install(FILES src/plugin/kojelly.def DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES ${KOJELLY_YYJSON_SOURCE}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR}
          RENAME yyjson-LICENSE.txt)
  install(FILES docs/README-windows.txt DESTINATION .)
  # The reference host beside the DLL it loads, for trying the plug-in against a server.
  if(TARGET kojelly_cli)
    install(TARGETS kojelly_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_NAME kojelly)
  set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
  set(CPACK_PACKAGE_FILE_NAME kojelly-${PROJECT_VERSION}-win64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
  # MinGW's DWARF debug information is of no use to a Windows debugger; it stays in the build.
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

# The pkg-config files name the prefix that an install really goes to, so they are written when
# the install runs (cmake/pkgconfig.cmake.in), not here, where CMAKE_INSTALL_PREFIX is only the
# default that `cmake --install --prefix` overrides. CPack's Debian package installs with DESTDIR
# and the prefix /usr, so it gets prefix=/usr. The other way to follow the prefix, a prefix
# relative to the file's own folder (${pcfiledir}/../..), is not taken: its spellings, such as
# /usr/lib/x86_64-linux-gnu/pkgconfig/../../../include, are not the system directories that
# pkg-config leaves out of --cflags and --libs, so a package installed to /usr would hand every
# consumer an explicit -I/usr/include, which changes the order in which the compiler searches its
# own headers. The CMake package, which CMake resolves itself, stays relocatable.
configure_file(cmake/pkgconfig.cmake.in ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig.cmake @ONLY)
install(SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/pkgconfig.cmake)

# A Debian package through CPack (make package).
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kojelly)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kojelly developers <dev@kojelly.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Media-server client plug-in for media-player hosts")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
include(CPack)
