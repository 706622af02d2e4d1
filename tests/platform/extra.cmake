# Extra targets of the platform tests: in-process server modules for the loader and COM tests,
# and the registry writer process for the multi-process registry test. Their paths reach the
# test binary as compile definitions through the interface target k47_platform_test_paths.
set(_k47_pt ${CMAKE_CURRENT_LIST_DIR})

foreach(_module test_module failing_module plain_module)
  add_library(k47_${_module} MODULE ${_k47_pt}/testmodule/${_module}.cpp)
  target_link_libraries(k47_${_module} PRIVATE k47platform)
  set_target_properties(k47_${_module} PROPERTIES PREFIX "")
endforeach()

add_executable(k47_registry_writer ${_k47_pt}/helpers/registry_writer.cpp)
target_link_libraries(k47_registry_writer PRIVATE k47platform)

add_library(k47_platform_test_paths INTERFACE)
target_compile_definitions(k47_platform_test_paths INTERFACE
  K47_TEST_MODULE_PATH="$<TARGET_FILE:k47_test_module>"
  K47_FAILING_MODULE_PATH="$<TARGET_FILE:k47_failing_module>"
  K47_PLAIN_MODULE_PATH="$<TARGET_FILE:k47_plain_module>"
  K47_REGISTRY_WRITER_PATH="$<TARGET_FILE:k47_registry_writer>")
target_include_directories(k47_platform_test_paths INTERFACE ${_k47_pt})
# The registry tests read the hive files directly to check what was stored.
target_link_libraries(k47_platform_test_paths INTERFACE PkgConfig::SQLITE3 ${CMAKE_DL_LIBS})
add_dependencies(k47_platform_test_paths k47_test_module k47_failing_module k47_plain_module
  k47_registry_writer)
list(APPEND K47_PLATFORM_TEST_LIBS k47_platform_test_paths)
