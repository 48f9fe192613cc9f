# Two packages with CPack, so that a headless till needs no GUI library:
# - qel-weigher_<version>_<arch>.deb: the library with its SONAME, the C header, the pkg-config
#   and CMake package files, qelscale, qel-virtual-scale and, when this build has it, the
#   qelscaled service with its systemd unit, configuration file and drop-in folder;
# - qel-weigher-bench_<version>_<arch>.deb: the Qt weightbench (install component "bench"),
#   depending on Qt and on qel-weigher of the same version, whose library it loads.
#
# The files only a Debian system wants (unit, /etc, documentation, man pages, lintian
# overrides) are the components "debian" and "bench_debian", left out of a plain
# "cmake --install" into a prefix. `cmake --build . --target deb` makes both in packages/.
find_program(QEL_DPKG dpkg)
if(NOT QEL_DPKG)
  message(STATUS "Debian package not built: no dpkg")
  return()
endif()
execute_process(COMMAND ${QEL_DPKG} --print-architecture OUTPUT_VARIABLE qel_deb_arch
                OUTPUT_STRIP_TRAILING_WHITESPACE)
set(QEL_DEB_MAINTAINER "Qel_weigher maintainers <maintainers@qel-weigher.invalid>")
set(qel_deb_src ${CMAKE_CURRENT_LIST_DIR})
set(qel_deb_gen ${CMAKE_BINARY_DIR}/packaging/debian)
set(qel_doc share/doc/qel-weigher)
set(QEL_DEB_HAS_SERVICE OFF)
if(TARGET qelscaled)
  set(QEL_DEB_HAS_SERVICE ON)
endif()
set(QEL_DEB_HAS_BENCH OFF)
if(TARGET weightbench)
  set(QEL_DEB_HAS_BENCH ON)
endif()
set(qel_bench_doc share/doc/qel-weigher-bench)

# Documentation: Debian wants the changelog and man pages compressed with gzip -9n.
# (string(TIMESTAMP) follows SOURCE_DATE_EPOCH when it is set.)
string(TIMESTAMP QEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${qel_deb_src}/changelog.in ${qel_deb_gen}/changelog @ONLY)
set(qel_man_pages ${qel_deb_src}/qelscale.1 ${qel_deb_src}/qel-virtual-scale.1)
set(qel_deb_outputs ${qel_deb_gen}/changelog.gz)
if(QEL_DEB_HAS_SERVICE)
  # The service's option lists come from its option table, written into the templates'
  # @QELSCALED_OPTIONS@ line.
  set(qel_options_files qelscaled.conf qelscaled.8)
  set(qel_options_kinds conf man)
  foreach(file kind IN ZIP_LISTS qel_options_files qel_options_kinds)
    add_custom_command(OUTPUT ${qel_deb_gen}/${file}
      COMMAND qelscaled_options_doc ${kind} ${qel_deb_src}/${file}.in ${qel_deb_gen}/${file}
      DEPENDS qelscaled_options_doc ${qel_deb_src}/${file}.in)
  endforeach()
  list(APPEND qel_man_pages ${qel_deb_gen}/qelscaled.8)
  list(APPEND qel_deb_outputs ${qel_deb_gen}/qelscaled.conf)
endif()
add_custom_command(OUTPUT ${qel_deb_gen}/changelog.gz
  COMMAND gzip -9nc ${qel_deb_gen}/changelog > ${qel_deb_gen}/changelog.gz
  DEPENDS ${qel_deb_gen}/changelog)
set(qel_bench_pages ${qel_deb_src}/weightbench.1)
foreach(page_path ${qel_man_pages} ${qel_bench_pages})
  get_filename_component(page ${page_path} NAME)
  add_custom_command(OUTPUT ${qel_deb_gen}/${page}.gz
    COMMAND gzip -9nc ${page_path} > ${qel_deb_gen}/${page}.gz
    DEPENDS ${page_path})
  list(APPEND qel_deb_outputs ${qel_deb_gen}/${page}.gz)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  set(component debian)
  if(page_path IN_LIST qel_bench_pages)
    set(component bench_debian)
  endif()
  install(FILES ${qel_deb_gen}/${page}.gz DESTINATION share/man/man${section}
          COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
add_custom_target(qel_deb_docs ALL DEPENDS ${qel_deb_outputs})
install(FILES ${qel_deb_src}/copyright ${qel_deb_gen}/changelog.gz DESTINATION ${qel_doc}
        COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${qel_deb_src}/copyright ${qel_deb_gen}/changelog.gz DESTINATION ${qel_bench_doc}
        COMPONENT bench_debian EXCLUDE_FROM_ALL)
# The library's file and package names carry the project's version.
configure_file(${qel_deb_src}/lintian-overrides.in ${qel_deb_gen}/lintian-overrides @ONLY)
install(FILES ${qel_deb_gen}/lintian-overrides DESTINATION share/lintian/overrides
        RENAME qel-weigher COMPONENT debian EXCLUDE_FROM_ALL)

set(qel_control_extra ${qel_deb_src}/triggers)
if(QEL_DEB_HAS_SERVICE)
  install(FILES ${qel_deb_src}/qelscaled.service DESTINATION /lib/systemd/system
          COMPONENT debian EXCLUDE_FROM_ALL)
  install(FILES ${qel_deb_gen}/qelscaled.conf DESTINATION /etc/qel-weigher
          COMPONENT debian EXCLUDE_FROM_ALL)
  # The unit starts qelscaled through this reader of the file and of its drop-in folder.
  install(PROGRAMS ${qel_deb_src}/qelscaled-start DESTINATION lib/qel-weigher
          COMPONENT debian EXCLUDE_FROM_ALL)
  install(DIRECTORY DESTINATION /etc/qel-weigher/qelscaled.conf.d
          COMPONENT debian EXCLUDE_FROM_ALL)
  list(APPEND qel_control_extra ${qel_deb_src}/conffiles ${qel_deb_src}/postinst ${qel_deb_src}/prerm
      ${qel_deb_src}/postrm)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-weigher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Qel_weigher)
set(CPACK_PACKAGE_CONTACT ${QEL_DEB_MAINTAINER})
# Each package's description starts with its own summary line (no common summary is set, so
# CPack prepends none).
set(CPACK_DEBIAN_MAIN_DESCRIPTION
    "driver for retail platform scales on RS-232 ports
libqel_weigher reads the weight a retail platform scale streams on a serial
port, behind a C interface (header, pkg-config and CMake package files).

The package also holds the command-line tool qelscale, the virtual scale
qel-virtual-scale (a scale on a pseudo-terminal, in every protocol the
driver reads) and the weight service qelscaled, which serves readings over
HTTP and WebSocket as a hardened systemd service, installed disabled.
It needs no graphical library: the Qt test bench is qel-weigher-bench.")
set(CPACK_DEBIAN_BENCH_DESCRIPTION
    "Qt test bench for the Qel_weigher scale driver
weightbench is a one-window program to try the scale driver of qel-weigher:
pick the serial port, connect, request readings and disconnect.")
set(CPACK_DEBIAN_MAIN_PACKAGE_NAME qel-weigher)
set(CPACK_DEBIAN_BENCH_PACKAGE_NAME qel-weigher-bench)
set(QEL_DEB_MAIN_FILE_NAME "qel-weigher_${PROJECT_VERSION}_${qel_deb_arch}.deb")
set(QEL_DEB_BENCH_FILE_NAME "qel-weigher-bench_${PROJECT_VERSION}_${qel_deb_arch}.deb")
set(CPACK_DEBIAN_MAIN_FILE_NAME ${QEL_DEB_MAIN_FILE_NAME})
set(CPACK_DEBIAN_BENCH_FILE_NAME ${QEL_DEB_BENCH_FILE_NAME})
# The bench loads the library with dlopen, which no shared-library scan sees.
set(CPACK_DEBIAN_BENCH_PACKAGE_DEPENDS "qel-weigher (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${qel_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_MAIN_PACKAGE_CONTROL_EXTRA ${qel_control_extra})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Absolute destinations (/etc, /lib/systemd) go into the package, not onto this machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# One package per group of components, the Debian-only files with their package's.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_COMPONENTS_ALL Unspecified debian)
if(QEL_DEB_HAS_BENCH)
  list(APPEND CPACK_COMPONENTS_ALL bench bench_debian)
endif()
set(CPACK_OUTPUT_FILE_PREFIX ${QEL_PACKAGE_DIR})
include(CPack)
cpack_add_component_group(main)
cpack_add_component(Unspecified GROUP main)
cpack_add_component(debian GROUP main)
cpack_add_component_group(bench)
cpack_add_component(bench GROUP bench)
cpack_add_component(bench_debian GROUP bench)

set(qel_deb_files ${QEL_DEB_MAIN_FILE_NAME})
if(QEL_DEB_HAS_BENCH)
  list(APPEND qel_deb_files ${QEL_DEB_BENCH_FILE_NAME})
endif()
add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  COMMENT "cpack: packages/ ${qel_deb_files}"
  VERBATIM)
add_dependencies(deb qel_deb_docs)

if(QEL_BUILD_TESTS AND TARGET virtual_scale)
  set(qel_deb_paths)
  foreach(file ${qel_deb_files})
    list(APPEND qel_deb_paths ${QEL_PACKAGE_DIR}/${file})
  endforeach()
  set(qel_bench_deb -)  # deb_test.sh: this build makes no bench package
  if(QEL_DEB_HAS_BENCH)
    set(qel_bench_deb ${QEL_PACKAGE_DIR}/${QEL_DEB_BENCH_FILE_NAME})
  endif()
  add_test(NAME package_deb_build
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(package_deb_build PROPERTIES FIXTURES_SETUP qel_deb
    RESOURCE_LOCK qel_deb_file TIMEOUT 300 LABELS package)
  add_test(NAME package_deb_lintian
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/lintian_check.sh ${qel_deb_paths})
  set_tests_properties(package_deb_lintian PROPERTIES FIXTURES_REQUIRED qel_deb
    RESOURCE_LOCK qel_deb_file SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
  # Installs the packages on this machine (root only) and purges them again.
  add_test(NAME package_deb_install_use_purge
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/deb_test.sh
            ${QEL_PACKAGE_DIR}/${QEL_DEB_MAIN_FILE_NAME} ${qel_bench_deb}
            ${PROJECT_SOURCE_DIR}/tests/install/consumer ${QEL_DEB_HAS_SERVICE})
  set_tests_properties(package_deb_install_use_purge PROPERTIES FIXTURES_REQUIRED qel_deb
    RESOURCE_LOCK "qel_deb_file;qel_system_packages" SKIP_RETURN_CODE 77 TIMEOUT 300
    LABELS package)
  # The order and the rules of the configuration's drop-in folder, without installing.
  if(QEL_DEB_HAS_SERVICE)
    add_test(NAME package_qelscaled_conf_d
      COMMAND ${PROJECT_SOURCE_DIR}/tests/package/conf_d_test.sh
              ${qel_deb_src}/qelscaled-start)
    set_tests_properties(package_qelscaled_conf_d PROPERTIES TIMEOUT 60 LABELS package)
  endif()
endif()
