# Linux front end: Qt 6 Widgets. The driver library is loaded with dlopen, never linked.
find_package(Qt6 REQUIRED COMPONENTS Widgets)

add_library(weightbench_qt_ui STATIC
  ${CMAKE_CURRENT_LIST_DIR}/form1.cpp
  ${CMAKE_CURRENT_LIST_DIR}/driver_library.cpp)
target_include_directories(weightbench_qt_ui
  PUBLIC ${CMAKE_CURRENT_LIST_DIR}
  PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../include)
target_link_libraries(weightbench_qt_ui PUBLIC weightbench_logic Qt6::Widgets ${CMAKE_DL_LIBS}
  PRIVATE qel_warnings)

add_executable(weightbench ${CMAKE_CURRENT_LIST_DIR}/main.cpp)
target_link_libraries(weightbench PRIVATE weightbench_qt_ui qel_warnings)
# Its own Debian package (qel-weigher-bench), so that the main one needs no Qt.
install(TARGETS weightbench RUNTIME DESTINATION bin COMPONENT bench)

# Put the driver next to the program in the build tree, where the bench looks first.
if(TARGET qel_weigher)
  add_dependencies(weightbench qel_weigher)
  add_custom_command(TARGET weightbench POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:qel_weigher>
            $<TARGET_FILE_DIR:weightbench>/libqel_weigher.so
    VERBATIM)
endif()
