# `make deb`: one Debian package, k47ptz, built with CPack from an installation under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME k47ptz)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION}.0)
set(CPACK_PACKAGE_VENDOR "K47PTZ")
set(CPACK_PACKAGE_CONTACT "K47PTZ maintainers <k47ptz@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "PTZ camera control over serial lines: library, server, tools")
set(CPACK_PACKAGE_DESCRIPTION
  "Steers Pelco-D, Panasonic and Bosch pan-tilt-zoom cameras on serial lines. The package holds\n\
the component library and its platform runtime, the installation server k47ptz-host (run by\n\
systemd as the k47ptz user), the command-line client ptzctl, the camera simulator ptzsim,\n\
k47regsvr, headers, a CMake package and a pkg-config file.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser | systemd")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/dist)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# /etc/k47ptz is outside the prefix: stage the whole tree under DESTDIR.
set(CPACK_SET_DESTDIR ON)
# The maintainer scripts name the installed module, so they are made for this prefix.
set(K47_MODULE_PATH
  ${CMAKE_INSTALL_FULL_LIBDIR}/${CMAKE_SHARED_LIBRARY_PREFIX}K47PTZ${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR})
set(K47_REGSVR ${CMAKE_INSTALL_FULL_BINDIR}/k47regsvr)
set(K47_DEB_SCRIPTS)
foreach(script postinst prerm postrm)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/${script}.in
    ${CMAKE_BINARY_DIR}/debian/${script} @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
    GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  list(APPEND K47_DEB_SCRIPTS ${CMAKE_BINARY_DIR}/debian/${script})
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/packaging/debian/conffiles.in ${CMAKE_BINARY_DIR}/debian/conffiles
  @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${K47_DEB_SCRIPTS} ${CMAKE_BINARY_DIR}/debian/conffiles)
include(CPack)
