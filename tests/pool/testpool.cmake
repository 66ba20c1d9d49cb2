# Self-test of the test pool (tools/testpool): the Python server against a Stratum client and a
# share builder of the test's own. Standard library only; takes a few seconds.
find_package(Python3 3.11 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND)
  set(_tavo_testpool_python ${Python3_EXECUTABLE})
else()
  set(_tavo_testpool_python python3)
endif()
add_test(NAME testpool_selftest
         COMMAND ${_tavo_testpool_python} -B ${CMAKE_CURRENT_LIST_DIR}/testpool_selftest.py)
set_tests_properties(testpool_selftest PROPERTIES TIMEOUT 120 LABELS "pool;python")
