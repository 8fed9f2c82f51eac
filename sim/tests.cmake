# Self-tests of the simulated handheld and bus; included from tests/CMakeLists.txt,
# which provides GTest::gtest_main.
include(GoogleTest)
function(r47_sim_test name label)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE GTest::gtest_main)
  gtest_add_tests(TARGET ${name} SOURCES ${ARGN} TEST_LIST tests)
  set_tests_properties(${tests} PROPERTIES LABELS "${label}" TIMEOUT 120)
  set(${name}_tests ${tests} PARENT_SCOPE)
endfunction()

# The state machine alone, against a table of cases.
r47_sim_test(sim_state_test sim ${CMAKE_SOURCE_DIR}/sim/tests/state_test.cpp)
target_link_libraries(sim_state_test PRIVATE r47sim_state)

# The handheld, through the system's own SetupAPI.
r47_sim_test(sim_selftest sim ${CMAKE_SOURCE_DIR}/sim/tests/sim_selftest.cpp)
target_link_libraries(sim_selftest PRIVATE sim_harness setupapi)

# The substitute bus, loaded into its own test program. Wine loads our
# setupapi.dll only when told to prefer native DLLs of that name.
r47_sim_test(sim_bus_selftest "sim;bus" ${CMAKE_SOURCE_DIR}/sim/tests/bus_selftest.cpp)
target_link_libraries(sim_bus_selftest PRIVATE sim_harness)
set_tests_properties(${sim_bus_selftest_tests} PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=setupapi=n,b")
