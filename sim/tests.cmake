# Self-test of the simulated handheld and bus; included from tests/CMakeLists.txt,
# which provides GTest::gtest_main.
include(GoogleTest)
# The handheld, through the system's own SetupAPI.
add_executable(sim_selftest ${CMAKE_SOURCE_DIR}/tests/sim_selftest.cpp)
target_link_libraries(sim_selftest PRIVATE sim_harness setupapi GTest::gtest_main)
gtest_add_tests(TARGET sim_selftest TEST_LIST sim_selftest_TESTS)
set_tests_properties(${sim_selftest_TESTS} PROPERTIES LABELS sim TIMEOUT 120)
# The substitute bus, loaded into its own test program.
add_executable(sim_bus_selftest ${CMAKE_SOURCE_DIR}/tests/sim_bus_selftest.cpp)
target_link_libraries(sim_bus_selftest PRIVATE sim_harness GTest::gtest_main)
gtest_add_tests(TARGET sim_bus_selftest TEST_LIST sim_bus_selftest_TESTS)
set_tests_properties(${sim_bus_selftest_TESTS} PROPERTIES LABELS "sim;bus" TIMEOUT 120)
# See tests/device.cmake: Wine loads our setupapi.dll only when told to prefer it.
set_tests_properties(${sim_bus_selftest_TESTS} PROPERTIES ENVIRONMENT "WINEDLLOVERRIDES=setupapi=n,b")
