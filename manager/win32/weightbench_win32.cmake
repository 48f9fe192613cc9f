# Windows front end: plain Win32 and COM late binding; no link-time tie to the driver DLL.
# qel_com_ids gives the ProgID from the IDL's header; its object holds only GUID data.
add_executable(weightbench WIN32
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/com_driver.cpp
  ${CMAKE_CURRENT_LIST_DIR}/weightbench.rc)
# The manifest carries the project's version; weightbench.rc finds it in the build tree.
configure_file(${CMAKE_CURRENT_LIST_DIR}/weightbench.manifest.in
               ${CMAKE_CURRENT_BINARY_DIR}/weightbench.manifest @ONLY)
target_include_directories(weightbench PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/weightbench.rc PROPERTIES
  OBJECT_DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/weightbench.manifest)
target_link_options(weightbench PRIVATE -municode -mwindows)
qel_static_runtime(weightbench)
target_link_libraries(weightbench PRIVATE weightbench_logic qel_winsupport qel_com_ids qel_warnings
  comctl32 gdi32 user32)
install(TARGETS weightbench RUNTIME DESTINATION bin)

# Reads Form1 and any message box back from outside, for the tests that drive the bench
# under Wine.
add_executable(benchprobe ${CMAKE_CURRENT_LIST_DIR}/../tests/benchprobe.cpp)
target_link_options(benchprobe PRIVATE -municode)
qel_static_runtime(benchprobe)
target_link_libraries(benchprobe PRIVATE qel_winsupport qel_warnings user32)
