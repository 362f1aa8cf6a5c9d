# Run after each link of a test program (discover_tests.cmake): writes
# CTEST_FILE with one CTest test per test that TEST_EXECUTABLE lists.
execute_process(
  COMMAND "${TEST_EXECUTABLE}" --gtest_list_tests
  WORKING_DIRECTORY "${TEST_WORKING_DIR}"
  TIMEOUT ${DISCOVERY_TIMEOUT}
  OUTPUT_VARIABLE output
  ERROR_VARIABLE errors
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  file(REMOVE "${CTEST_FILE}")
  message(FATAL_ERROR "Listing the tests of ${TEST_EXECUTABLE} failed (${result}):\n${output}\n${errors}")
endif()

# A list line is a suite "Name." at the start of the line or one of its
# tests, indented by two spaces; either may end in a comment with the
# parameter ("  # GetParam() = ...").
string(REPLACE ";" "\\;" output "${output}")
string(REPLACE "\n" ";" lines "${output}")
set(script "")
set(suite "")
set(count 0)
foreach(line IN LISTS lines)
  string(REGEX REPLACE " +#.*$" "" line "${line}")
  if(line MATCHES "^([^ ]+\\.)$")
    set(suite "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^  ([^ ]+)$" AND suite)
    set(name "${suite}${CMAKE_MATCH_1}")
    string(APPEND script
      "add_test([==[${name}]==] [==[${TEST_EXECUTABLE}]==] [==[--gtest_filter=${name}]==] --gtest_also_run_disabled_tests)\n"
      "set_tests_properties([==[${name}]==] PROPERTIES WORKING_DIRECTORY [==[${TEST_WORKING_DIR}]==]"
      " TIMEOUT ${TEST_TIMEOUT} SKIP_RETURN_CODE 77)\n")
    if(name MATCHES "(^|\\.)DISABLED_")
      string(APPEND script "set_tests_properties([==[${name}]==] PROPERTIES DISABLED TRUE)\n")
    endif()
    math(EXPR count "${count} + 1")
  endif()
endforeach()
if(count EQUAL 0)
  message(FATAL_ERROR "${TEST_EXECUTABLE} lists no tests:\n${output}")
endif()
file(WRITE "${CTEST_FILE}" "${script}")
