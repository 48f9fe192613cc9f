# Tests of the bench, run by CTest from the Linux build.
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(weightbench_logic_test ${CMAKE_CURRENT_LIST_DIR}/bench_form_test.cpp)
target_link_libraries(weightbench_logic_test PRIVATE weightbench_logic qel_warnings GTest::gtest_main)
gtest_discover_tests(weightbench_logic_test TEST_PREFIX "weightbench.logic." DISCOVERY_TIMEOUT 30)
