# Install rules: `cmake --install` (and `make install`, `make deb`) lay out the three libraries with
# versioned names, the tools, the public headers under include/k47ptz, a pkg-config file, a CMake
# package, man pages, docs, examples and the service files.
include(CMakePackageConfigHelpers)

set(K47_INCLUDE_SUBDIR ${CMAKE_INSTALL_INCLUDEDIR}/k47ptz)
set(K47_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/K47PTZ)
# The tools find the libraries relative to themselves, wherever the tree is installed.
file(RELATIVE_PATH K47_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})

set_target_properties(k47platform K47Global K47PTZ PROPERTIES
  VERSION ${PROJECT_VERSION}.0 SOVERSION ${PROJECT_VERSION_MAJOR} INSTALL_RPATH "$ORIGIN")
target_include_directories(K47PTZ INTERFACE $<INSTALL_INTERFACE:${K47_INCLUDE_SUBDIR}>)
set(K47_TOOLS k47ptz-host ptzctl ptzsim k47regsvr)
set_target_properties(${K47_TOOLS} PROPERTIES INSTALL_RPATH "$ORIGIN/${K47_BIN_TO_LIB}")

install(TARGETS k47platform K47Global K47PTZ EXPORT K47PTZTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
  INCLUDES DESTINATION ${K47_INCLUDE_SUBDIR})
install(TARGETS ${K47_TOOLS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)

# Public headers: the platform's Windows API subset, the library's interfaces and its runtime.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/platform/include/ DESTINATION ${K47_INCLUDE_SUBDIR}
  COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/frame/K47PTZ.h DESTINATION ${K47_INCLUDE_SUBDIR}/frame
  COMPONENT dev)
install(FILES ${CMAKE_SOURCE_DIR}/common/K47Global.h ${CMAKE_SOURCE_DIR}/common/Win32Handle.h
  ${CMAKE_SOURCE_DIR}/common/thread.h DESTINATION ${K47_INCLUDE_SUBDIR}/common COMPONENT dev)

install(EXPORT K47PTZTargets NAMESPACE K47PTZ:: DESTINATION ${K47_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/packaging/K47PTZConfig.cmake.in
  ${CMAKE_BINARY_DIR}/K47PTZConfig.cmake INSTALL_DESTINATION ${K47_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/K47PTZConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/K47PTZConfig.cmake ${CMAKE_BINARY_DIR}/K47PTZConfigVersion.cmake
  DESTINATION ${K47_CMAKE_DIR} COMPONENT dev)
configure_file(${CMAKE_SOURCE_DIR}/packaging/k47ptz.pc.in ${CMAKE_BINARY_DIR}/k47ptz.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/k47ptz.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

# Service files. The unit names the installed tools, so it is made for this prefix. The host's
# exit status for a file it cannot use (scripts/test-package.sh checks that the two agree).
set(K47_EXIT_CONFIGURATION 3)
configure_file(${CMAKE_SOURCE_DIR}/packaging/k47ptz-host.service.in
  ${CMAKE_BINARY_DIR}/k47ptz-host.service @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/k47ptz-host.service DESTINATION lib/systemd/system
  COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/sysusers.conf DESTINATION lib/sysusers.d
  RENAME k47ptz.conf COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/tmpfiles.conf DESTINATION lib/tmpfiles.d
  RENAME k47ptz.conf COMPONENT runtime)
install(FILES ${CMAKE_SOURCE_DIR}/packaging/installation.xml
  DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/k47ptz COMPONENT runtime)

# Documentation and examples (sources only: they build against the installed package).
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT doc)
install(FILES ${CMAKE_SOURCE_DIR}/examples/demo.xml ${CMAKE_SOURCE_DIR}/examples/single-pelco.xml
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT doc)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/consumer ${CMAKE_SOURCE_DIR}/examples/plugin-driver
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT doc)

# Man pages, written in scdoc and turned into roff here. Without scdoc they are left out (with a
# note), except where they must be there: K47_REQUIRE_MANPAGES, set for packages.
find_program(K47_SCDOC scdoc)
option(K47_REQUIRE_MANPAGES "Fail the configuration when scdoc is missing" OFF)
if(K47_SCDOC)
  set(K47_MANPAGES)
  foreach(page k47ptz-host.1 ptzctl.1 ptzsim.1 k47regsvr.1 k47ptz-installation.5)
    set(out ${CMAKE_BINARY_DIR}/man/${page})
    add_custom_command(OUTPUT ${out}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
      COMMAND ${K47_SCDOC} < ${CMAKE_SOURCE_DIR}/man/${page}.scd > ${out}
      DEPENDS ${CMAKE_SOURCE_DIR}/man/${page}.scd VERBATIM)
    list(APPEND K47_MANPAGES ${out})
    string(REGEX MATCH "[0-9]$" section ${page})
    install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT doc)
  endforeach()
  add_custom_target(manpages ALL DEPENDS ${K47_MANPAGES})
elseif(K47_REQUIRE_MANPAGES)
  message(FATAL_ERROR "scdoc is needed for the man pages (scripts/install-deps.sh installs it)")
else()
  message(STATUS "scdoc not found: man pages are not built")
endif()
