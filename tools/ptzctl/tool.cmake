# list and status read the host's status page over HTTP(S).
if(NOT TARGET PkgConfig::CURL)
  message(FATAL_ERROR "libcurl is required for ptzctl (scripts/install-deps.sh installs it)")
endif()
target_link_libraries(ptzctl PRIVATE PkgConfig::CURL)
# Where the module lies relative to ptzctl once installed (lib/<arch> under the prefix), for when
# it is not registered.
file(RELATIVE_PATH ptzctl_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
target_compile_definitions(ptzctl PRIVATE K47_INSTALLED_MODULE="${ptzctl_bin_to_lib}/libK47PTZ.so.${PROJECT_VERSION_MAJOR}")
