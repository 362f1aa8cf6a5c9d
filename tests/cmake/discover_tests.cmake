# The tests of a GoogleTest program as CTest tests, one per test, listed
# after each link of the program. Unlike gtest_discover_tests, no test is
# counted as skipped because its output holds GoogleTest's "[  SKIPPED ]":
# the shared main (test_main.cpp) exits with 77 when the tests it ran were
# skipped, each saying why, and SKIP_RETURN_CODE counts that. A failure in a
# suite's set-up, which GoogleTest reports as skipped tests, fails.

set(OSM2TRASSEL_LIST_TESTS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/list_tests.cmake)

# osm2trassel_discover_tests(TARGET TIMEOUT seconds DISCOVERY_TIMEOUT seconds)
function(osm2trassel_discover_tests target)
  cmake_parse_arguments(ARG "" "TIMEOUT;DISCOVERY_TIMEOUT" "" ${ARGN})
  if(NOT ARG_TIMEOUT OR NOT ARG_DISCOVERY_TIMEOUT)
    message(FATAL_ERROR "osm2trassel_discover_tests(${target}) needs TIMEOUT and DISCOVERY_TIMEOUT")
  endif()
  set(tests_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_tests.cmake")
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_include.cmake")
  add_custom_command(TARGET ${target} POST_BUILD
    BYPRODUCTS "${tests_file}"
    COMMAND "${CMAKE_COMMAND}"
            -D "TEST_EXECUTABLE=$<TARGET_FILE:${target}>"
            -D "TEST_WORKING_DIR=${CMAKE_CURRENT_BINARY_DIR}"
            -D "TEST_TIMEOUT=${ARG_TIMEOUT}"
            -D "DISCOVERY_TIMEOUT=${ARG_DISCOVERY_TIMEOUT}"
            -D "CTEST_FILE=${tests_file}"
            -P "${OSM2TRASSEL_LIST_TESTS_SCRIPT}"
    VERBATIM)
  # A program not built yet stands as one failing test.
  file(WRITE "${include_file}"
    "if(EXISTS \"${tests_file}\")\n"
    "  include(\"${tests_file}\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
