# The driver tests load the example plug-in module: its path reaches library_tests as a compile
# definition, and building the tests builds the module. library_tests is made after this file is
# included, hence the deferred calls.
if(TARGET K47ExampleDriver)
  cmake_language(DEFER CALL target_compile_definitions library_tests PRIVATE
    "K47_EXAMPLE_DRIVER_PATH=\"$<TARGET_FILE:K47ExampleDriver>\"")
  cmake_language(DEFER CALL add_dependencies library_tests K47ExampleDriver)
endif()
