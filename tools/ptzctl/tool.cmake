# list and status read the host's status page over HTTP(S).
if(NOT TARGET PkgConfig::CURL)
  message(FATAL_ERROR "libcurl is required for ptzctl (scripts/install-deps.sh installs it)")
endif()
target_link_libraries(ptzctl PRIVATE PkgConfig::CURL)
