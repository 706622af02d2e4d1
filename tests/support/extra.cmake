# Shared test support: fakes of the host interfaces, a recording driver, HRESULT assertions.
file(GLOB K47_TEST_SUPPORT_SRCS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*.cpp)
if(K47_TEST_SUPPORT_SRCS)
  add_library(k47_test_support STATIC ${K47_TEST_SUPPORT_SRCS})
  target_include_directories(k47_test_support PUBLIC ${CMAKE_SOURCE_DIR})
  target_link_libraries(k47_test_support PUBLIC k47ptz_objs GTest::gtest)
endif()
