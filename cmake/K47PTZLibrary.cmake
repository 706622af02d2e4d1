# The component library. Its sources are compiled once into an object library; the module
# libK47PTZ.so is made of those objects (only the Dll* entry points are exported), and the test
# binaries link the same objects directly so they can reach internal classes.
k47_glob_sources(K47PTZ_SRCS frame common camera drivers clients webservice)
add_library(k47ptz_objs OBJECT ${K47PTZ_SRCS})
target_include_directories(k47ptz_objs PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(k47ptz_objs PUBLIC k47platform K47Global PkgConfig::OPENSSL PkgConfig::LIBXML2)
set_target_properties(k47ptz_objs PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)

add_library(K47PTZ SHARED $<TARGET_OBJECTS:k47ptz_objs>)
target_link_libraries(K47PTZ PRIVATE k47platform K47Global PkgConfig::OPENSSL PkgConfig::LIBXML2)
target_link_options(K47PTZ PRIVATE -Wl,-Bsymbolic)
# Every symbol resolved at link time, except under clang's sanitizers, whose runtime comes with
# the executable and so cannot be found when the module is linked.
if(NOT K47_FUZZ)
  target_link_options(K47PTZ PRIVATE -Wl,--no-undefined)
endif()
set_target_properties(K47PTZ PROPERTIES CXX_VISIBILITY_PRESET hidden)
