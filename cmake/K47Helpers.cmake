# Helpers shared by every folder's CMakeLists.txt.

# k47_glob_sources(OUT DIR...) - the .cpp files of the given folders (relative to the source root).
function(k47_glob_sources out)
  set(result)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND result ${found})
  endforeach()
  list(SORT result)
  set(${out} ${result} PARENT_SCOPE)
endfunction()

# k47_add_test_binary(NAME DIRS dir... LIBS lib... [LABEL label])
# One GoogleTest executable from every *_test.cpp of the given folders. Tests are discovered when
# ctest runs, so a build does not execute test binaries.
function(k47_add_test_binary name)
  cmake_parse_arguments(ARG "SERIAL" "LABEL" "DIRS;LIBS" ${ARGN})
  set(srcs)
  foreach(dir ${ARG_DIRS})
    file(GLOB found CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${dir}/*_test.cpp)
    list(APPEND srcs ${found})
  endforeach()
  if(NOT srcs)
    return()
  endif()
  list(SORT srcs)
  add_executable(${name} ${srcs})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(NOT ARG_LABEL)
    set(ARG_LABEL unit)
  endif()
  # SERIAL: tests that measure time against the line's physical limit run alone, so that other
  # tests do not load the machine under their bounds.
  set(serial FALSE)
  if(ARG_SERIAL)
    set(serial TRUE)
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
    PROPERTIES LABELS ${ARG_LABEL} TIMEOUT 300 RUN_SERIAL ${serial})
endfunction()
