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

# The cross-process transport tests: the test class (served by the test binary or the helper
# process) and the module with its proxies and stubs.
add_library(k47_remote_thing STATIC ${_k47_pt}/testmodule/remote_thing.cpp)
target_link_libraries(k47_remote_thing PUBLIC k47platform)
target_include_directories(k47_remote_thing PUBLIC ${_k47_pt})
add_library(k47_remote_ps MODULE ${_k47_pt}/testmodule/remote_ps.cpp)
target_link_libraries(k47_remote_ps PRIVATE k47platform)
set_target_properties(k47_remote_ps PROPERTIES PREFIX "")
add_executable(k47_rpc_helper ${_k47_pt}/helpers/rpc_helper.cpp)
target_link_libraries(k47_rpc_helper PRIVATE k47_remote_thing)

add_library(k47_platform_test_paths INTERFACE)
target_compile_definitions(k47_platform_test_paths INTERFACE
  K47_TEST_MODULE_PATH="$<TARGET_FILE:k47_test_module>"
  K47_FAILING_MODULE_PATH="$<TARGET_FILE:k47_failing_module>"
  K47_PLAIN_MODULE_PATH="$<TARGET_FILE:k47_plain_module>"
  K47_REGISTRY_WRITER_PATH="$<TARGET_FILE:k47_registry_writer>"
  K47_REMOTE_PS_PATH="$<TARGET_FILE:k47_remote_ps>"
  K47_RPC_HELPER_PATH="$<TARGET_FILE:k47_rpc_helper>")
target_include_directories(k47_platform_test_paths INTERFACE ${_k47_pt})
# The registry tests read the hive files directly to check what was stored.
target_link_libraries(k47_platform_test_paths INTERFACE PkgConfig::SQLITE3 ${CMAKE_DL_LIBS}
  k47_remote_thing)
add_dependencies(k47_platform_test_paths k47_test_module k47_failing_module k47_plain_module
  k47_registry_writer k47_remote_ps k47_rpc_helper)
list(APPEND K47_PLATFORM_TEST_LIBS k47_platform_test_paths)
