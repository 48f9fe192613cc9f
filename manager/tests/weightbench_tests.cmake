# Tests of the bench, run by CTest from the Linux build.
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(weightbench_logic_test ${CMAKE_CURRENT_LIST_DIR}/bench_form_test.cpp)
target_link_libraries(weightbench_logic_test PRIVATE weightbench_logic qel_warnings GTest::gtest_main)
gtest_discover_tests(weightbench_logic_test TEST_PREFIX "weightbench.logic." DISCOVERY_TIMEOUT 30)

# Form1 with Qt's offscreen platform against the real driver library and the virtual scale.
find_package(Qt6 REQUIRED COMPONENTS Test)
if(TARGET qel_weigher AND TARGET virtual_scale)
  add_executable(weightbench_qt_test ${CMAKE_CURRENT_LIST_DIR}/qt_bench_test.cpp)
  set_target_properties(weightbench_qt_test PROPERTIES AUTOMOC ON)
  target_link_libraries(weightbench_qt_test PRIVATE weightbench_qt_ui Qt6::Test qel_warnings)
  add_dependencies(weightbench_qt_test qel_weigher virtual_scale)
  add_test(NAME weightbench.qt.offscreen COMMAND weightbench_qt_test)
  set_tests_properties(weightbench.qt.offscreen PROPERTIES
    TIMEOUT 60
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;QEL_WEIGHER_LIBRARY=$<TARGET_FILE:qel_weigher>;VIRTUAL_SCALE=$<TARGET_FILE:virtual_scale>")
endif()
