# Tests of the bench, run by CTest from the Linux build.
find_package(GTest REQUIRED)
include(GoogleTest)

add_executable(weightbench_logic_test ${CMAKE_CURRENT_LIST_DIR}/bench_form_test.cpp)
target_link_libraries(weightbench_logic_test PRIVATE weightbench_logic qel_warnings GTest::gtest_main)
gtest_discover_tests(weightbench_logic_test TEST_PREFIX "weightbench.logic." DISCOVERY_TIMEOUT 30
  PROPERTIES LABELS unit)

# Form1 with Qt's offscreen platform against the real driver library and the virtual scale.
find_package(Qt6 REQUIRED COMPONENTS Test)
if(TARGET qel_weigher AND TARGET virtual_scale)
  add_executable(weightbench_qt_test ${CMAKE_CURRENT_LIST_DIR}/qt_bench_test.cpp)
  set_target_properties(weightbench_qt_test PROPERTIES AUTOMOC ON)
  target_link_libraries(weightbench_qt_test PRIVATE weightbench_qt_ui Qt6::Test qel_warnings)
  add_dependencies(weightbench_qt_test qel_weigher virtual_scale)
  add_test(NAME weightbench.qt.offscreen COMMAND weightbench_qt_test)
  set_tests_properties(weightbench.qt.offscreen PROPERTIES
    LABELS "bench"
    TIMEOUT 60
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;LC_ALL=C.UTF-8;QEL_WEIGHER_LIBRARY=$<TARGET_FILE:qel_weigher>;VIRTUAL_SCALE=$<TARGET_FILE:virtual_scale>")
endif()

# Prints the control table as JSON for the Wine test, which checks the window against it.
add_executable(weightbench_control_table ${CMAKE_CURRENT_LIST_DIR}/control_table_json.cpp)
target_link_libraries(weightbench_control_table PRIVATE weightbench_logic qel_warnings)

# weightbench.exe under Wine, driven with mouse and keyboard on its own X server. Needs the
# Windows builds (win32 / win64 presets); skipped when they are missing.
find_package(Python3 COMPONENTS Interpreter)
find_program(QEL_XVFB_RUN xvfb-run)
if(TARGET virtual_scale AND Python3_Interpreter_FOUND)
  foreach(arch win32 win64)
    string(TOUPPER ${arch} ARCH)
    # The 64-bit bench uses the full suite's prefix; the 32-bit one the 32-bit subset's,
    # where it runs natively or emulated.
    if(arch STREQUAL "win32")
      set(prefix ${QEL_WINE32_PREFIX})
      set(fixture qel_wine32)
    else()
      set(prefix ${QEL_WINE_PREFIX})
      set(fixture qel_wine)
    endif()
    set(command ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/wine_bench.py
        --build-dir ${QEL_${ARCH}_BUILD_DIR} --prefix ${prefix}
        --virtual-scale $<TARGET_FILE:virtual_scale>
        --control-table-tool $<TARGET_FILE:weightbench_control_table>
        --failure-screenshot ${CMAKE_CURRENT_BINARY_DIR}/weightbench-wine-${arch}-failure.png)
    if(arch STREQUAL "win64")
      list(APPEND command --dpi 144)  # one of the two runs away from 96 dpi
    endif()
    if(QEL_XVFB_RUN)
      set(command ${QEL_XVFB_RUN} -a -s "-screen 0 1024x768x24" ${command})
    endif()
    add_test(NAME weightbench.wine.${arch} COMMAND ${command})
    # The prefix is the suite's: one test in it at a time, as the suite's own tests do. The
    # two benches drive windows by title, one at a time too.
    set_tests_properties(weightbench.wine.${arch} PROPERTIES
      SKIP_RETURN_CODE 77 TIMEOUT 900 FIXTURES_REQUIRED ${fixture}
      RESOURCE_LOCK "${fixture}_prefix;qel_wine_bench" LABELS "wine;bench")
  endforeach()
endif()
