# Shared test support: fakes of the host interfaces, a recording driver, HRESULT assertions.
file(GLOB K47_TEST_SUPPORT_SRCS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
if(K47_TEST_SUPPORT_SRCS)
  add_library(k47_test_support STATIC ${K47_TEST_SUPPORT_SRCS})
  target_include_directories(k47_test_support PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(k47_test_support PUBLIC k47ptz_objs GTest::gtest)
  # Where tests find the built tools and the sources when ctest does not say (K47_BINARY_DIR and
  # K47_SOURCE_DIR in the environment win).
  target_compile_definitions(k47_test_support PRIVATE K47_TEST_BINARY_DIR="${CMAKE_BINARY_DIR}"
                                                      K47_TEST_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endif()
