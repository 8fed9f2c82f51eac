# Self-test of the simulated handheld and bus; included from tests/CMakeLists.txt,
# which provides GTest::gtest_main.
include(GoogleTest)
add_executable(sim_selftest ${CMAKE_SOURCE_DIR}/tests/sim_selftest.cpp)
target_link_libraries(sim_selftest PRIVATE sim_harness GTest::gtest_main)
gtest_add_tests(TARGET sim_selftest TEST_LIST sim_selftest_TESTS)
set_tests_properties(${sim_selftest_TESTS} PROPERTIES LABELS sim TIMEOUT 120)
