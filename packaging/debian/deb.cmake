# qel-weigher_<version>_<arch>.deb with CPack: the library with its SONAME, the C header, the
# pkg-config and CMake package files, qelscale, the Qt weightbench and, when this build has it,
# the qelscaled service with its systemd unit and configuration file.
#
# The files only a Debian system wants (unit, /etc, documentation, man pages, lintian
# overrides) are the component "debian", left out of a plain "cmake --install" into a prefix.
# `cmake --build . --target deb` makes the package in packages/.
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

# Documentation: Debian wants the changelog and man pages compressed with gzip -9n.
# (string(TIMESTAMP) follows SOURCE_DATE_EPOCH when it is set.)
string(TIMESTAMP QEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${qel_deb_src}/changelog.in ${qel_deb_gen}/changelog @ONLY)
set(qel_man_pages ${qel_deb_src}/qelscale.1 ${qel_deb_src}/weightbench.1)
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
foreach(page_path ${qel_man_pages})
  get_filename_component(page ${page_path} NAME)
  add_custom_command(OUTPUT ${qel_deb_gen}/${page}.gz
    COMMAND gzip -9nc ${page_path} > ${qel_deb_gen}/${page}.gz
    DEPENDS ${page_path})
  list(APPEND qel_deb_outputs ${qel_deb_gen}/${page}.gz)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${qel_deb_gen}/${page}.gz DESTINATION share/man/man${section}
          COMPONENT debian EXCLUDE_FROM_ALL)
endforeach()
add_custom_target(qel_deb_docs ALL DEPENDS ${qel_deb_outputs})
install(FILES ${qel_deb_src}/copyright ${qel_deb_gen}/changelog.gz DESTINATION ${qel_doc}
        COMPONENT debian EXCLUDE_FROM_ALL)
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
  list(APPEND qel_control_extra ${qel_deb_src}/conffiles ${qel_deb_src}/postinst ${qel_deb_src}/prerm
      ${qel_deb_src}/postrm)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-weigher)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Qel_weigher)
set(CPACK_PACKAGE_CONTACT ${QEL_DEB_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "driver for retail platform scales on RS-232 ports")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "libqel_weigher reads the weight a retail platform scale streams on a serial
port, behind a C interface (header, pkg-config and CMake package files).

The package also holds the command-line tool qelscale, the Qt test bench
weightbench and the weight service qelscaled, which serves readings over
HTTP and WebSocket as a hardened systemd service, installed disabled.")
set(CPACK_DEBIAN_FILE_NAME "qel-weigher_${PROJECT_VERSION}_${qel_deb_arch}.deb")
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${qel_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${qel_control_extra})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)
# Absolute destinations (/etc, /lib/systemd) go into the package, not onto this machine.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
# One package holding every component, the Debian-only files included.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_OUTPUT_FILE_PREFIX ${QEL_PACKAGE_DIR})
include(CPack)

add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
  COMMENT "cpack: packages/${CPACK_DEBIAN_FILE_NAME}"
  VERBATIM)
add_dependencies(deb qel_deb_docs)

if(QEL_BUILD_TESTS AND TARGET virtual_scale)
  set(qel_deb_file ${QEL_PACKAGE_DIR}/${CPACK_DEBIAN_FILE_NAME})
  add_test(NAME package_deb_build
    COMMAND ${CMAKE_CPACK_COMMAND} --config ${CMAKE_BINARY_DIR}/CPackConfig.cmake
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
  set_tests_properties(package_deb_build PROPERTIES FIXTURES_SETUP qel_deb
    RESOURCE_LOCK qel_deb_file TIMEOUT 300 LABELS package)
  add_test(NAME package_deb_lintian
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/lintian_check.sh ${qel_deb_file})
  set_tests_properties(package_deb_lintian PROPERTIES FIXTURES_REQUIRED qel_deb
    RESOURCE_LOCK qel_deb_file SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS package)
  # Installs the package on this machine (root only) and purges it again.
  add_test(NAME package_deb_install_use_purge
    COMMAND ${PROJECT_SOURCE_DIR}/tests/package/deb_test.sh ${qel_deb_file}
            $<TARGET_FILE:virtual_scale> ${PROJECT_SOURCE_DIR}/tests/install/consumer
            ${QEL_DEB_HAS_SERVICE})
  set_tests_properties(package_deb_install_use_purge PROPERTIES FIXTURES_REQUIRED qel_deb
    RESOURCE_LOCK "qel_deb_file;qel_system_packages" SKIP_RETURN_CODE 77 TIMEOUT 300
    LABELS package)
endif()
