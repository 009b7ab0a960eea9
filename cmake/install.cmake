# Installation: the plug-in, the static support library, the public headers, a CMake package
# (find_package(kojelly) with kojelly::kojelly and kojelly::tessel) and pkg-config files.
include(CMakePackageConfigHelpers)

install(TARGETS kojelly tessel EXPORT kojellyTargets
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

foreach(pc kojelly tessel)
  configure_file(cmake/${pc}.pc.in ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

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
