# What `cmake --install` puts on a unit, and the Debian packages made of it
# (`cpack` in the build folder): helmwatch (the daemon, its service, manual
# pages, helmwatch-ctl and the keypad rule), libhelmwatch-client1 (the
# client's shared library) and libhelmwatch-client-dev (its header, static
# library, link and pkg-config file, for building the UI application).

set(helmwatch_service ${PROJECT_BINARY_DIR}/helmwatch.service)
configure_file(${PROJECT_SOURCE_DIR}/packaging/helmwatch.service.in ${helmwatch_service} @ONLY)
# systemd reads units below the prefix's lib/systemd/system, /usr and
# /usr/local alike; not the multiarch library folder.
install(FILES ${helmwatch_service} DESTINATION lib/systemd/system)
# The flights the guard writes on /run, copied to /var/lib as they come.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/helmwatch-flights.path
              ${PROJECT_SOURCE_DIR}/packaging/helmwatch-flights.service
        DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-helmwatch-keypad.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The changelog's latest entry is the release: it must name the version the
# build gives the programs.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog helmwatch_release LIMIT_COUNT 1)
if(NOT helmwatch_release MATCHES "^helmwatch \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog begins with \"${helmwatch_release}\"; "
                      "the project's version is ${PROJECT_VERSION}")
endif()

# The copyright file in Debian's machine-readable form, around LICENSE.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE helmwatch_licence)
string(REGEX REPLACE "^.*\n\n(Permission)" "\\1" helmwatch_licence "${helmwatch_licence}")
string(REGEX REPLACE "\n$" "" helmwatch_licence "${helmwatch_licence}")
string(REPLACE "\n\n" "\n.\n" helmwatch_licence "${helmwatch_licence}")
string(REPLACE "\n" "\n " helmwatch_licence "${helmwatch_licence}")
file(WRITE ${PROJECT_BINARY_DIR}/packaging/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: helmwatch
Upstream-Contact: helmwatch developers <maintainers@helmwatch.org>

Files: *
Copyright: 2026 The helmwatch developers
License: Expat
 ${helmwatch_licence}
")

# Manual pages carry the build's version and, like the changelog, are
# installed compressed without a time stamp, as Debian wants them.
set(helmwatch_compressed)
function(helmwatch_compress source configured)
  if(configured)
    configure_file(${source} ${configured} @ONLY)
    set(source ${configured})
  endif()
  add_custom_command(OUTPUT ${source}.gz COMMAND gzip -9nkf ${source} DEPENDS ${source})
  set(helmwatch_compressed ${helmwatch_compressed} ${source}.gz PARENT_SCOPE)
endfunction()
set(helmwatch_man_page ${PROJECT_BINARY_DIR}/man/helmwatch.8)
set(helmwatch_ctl_man_page ${PROJECT_BINARY_DIR}/man/helmwatch-ctl.1)
helmwatch_compress(${PROJECT_SOURCE_DIR}/doc/helmwatch.8 ${helmwatch_man_page})
helmwatch_compress(${PROJECT_SOURCE_DIR}/doc/helmwatch-ctl.1 ${helmwatch_ctl_man_page})
# A native package's changelog is changelog.gz.
helmwatch_compress(${PROJECT_SOURCE_DIR}/packaging/changelog ${PROJECT_BINARY_DIR}/packaging/changelog)
add_custom_target(helmwatch_documents ALL DEPENDS ${helmwatch_compressed})
install(FILES ${helmwatch_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${helmwatch_ctl_man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(helmwatch_packages daemon library development)
set(helmwatch_package_names helmwatch libhelmwatch-client1 libhelmwatch-client-dev)
foreach(component package IN ZIP_LISTS helmwatch_packages helmwatch_package_names)
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
  install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
endforeach()

# The packages' architecture is Debian's name for the one built for.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(helmwatch_deb_arch armhf)
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE helmwatch_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME helmwatch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "helmwatch developers <maintainers@helmwatch.org>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY helmwatch)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${helmwatch_packages})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The service names the daemon by its installed path: the package installs
# where the build was configured to (-DCMAKE_INSTALL_PREFIX=/usr for a unit).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${helmwatch_deb_arch})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Each package depends on what its binaries link, as dpkg-shlibdeps finds it
# for the packages' architecture; cpack-environment.cmake.in says how.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/cpack-environment.cmake)
configure_file(${PROJECT_SOURCE_DIR}/cmake/cpack-environment.cmake.in
               ${PROJECT_BINARY_DIR}/cpack-environment.cmake.genex @ONLY)
file(GENERATE OUTPUT ${CPACK_PROJECT_CONFIG_FILE}
     INPUT ${PROJECT_BINARY_DIR}/cpack-environment.cmake.genex)

set(CPACK_DEBIAN_DAEMON_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_DAEMON_DESCRIPTION "independent standby guard for a boat's autopilot
helmwatch watches the keypad of a marine display unit for a short press
of the autopilot key. When the unit's user-interface application does not
confirm the press within 3 seconds, helmwatch itself commands the
autopilot to standby over the NMEA 2000 bus (CAN) and sounds an alarm
through a speaker, a buzzer or a GPIO line.

The package runs the guard as a hardened systemd service, ships
helmwatch-ctl to ask the guard whether it is idle, and creates the system
group helmwatch, whose members may use the guard's control socket.")
# The group is created in the maintainer scripts, with adduser.
set(CPACK_DEBIAN_DAEMON_PACKAGE_DEPENDS adduser)
set(CPACK_DEBIAN_DAEMON_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)

set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "client library for the helmwatch autopilot guard
helmwatch guards a boat's autopilot on a marine display unit: a short
press of the autopilot key that the unit's user-interface application does
not confirm in time makes it command the autopilot to standby.

This library is the user-interface application's side of the guard's
control socket: it confirms presses and asks whether the guard is idle,
never blocking longer than its time-out.")
# Programs built against the library depend on this package from this
# version on; ldconfig runs from dpkg's trigger, once for all libraries
# installed together. CPack would call ldconfig from maintainer scripts of
# its own when it finds the library itself (see cpack-environment.cmake.in).
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SHLIBDEPS OFF)
file(WRITE ${PROJECT_BINARY_DIR}/packaging/shlibs
     "libhelmwatch-client 1 libhelmwatch-client1 (>= ${PROJECT_VERSION})\n")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/packaging/shlibs ${PROJECT_SOURCE_DIR}/packaging/triggers)

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "client library for the helmwatch autopilot guard - development files
helmwatch guards a boat's autopilot on a marine display unit: a short
press of the autopilot key that the unit's user-interface application does
not confirm in time makes it command the autopilot to standby.

This package holds what building the user-interface application against
the client library needs: the C headers helmwatch_client.h and
helmwatch_protocol.h, the static library and the pkg-config file
helmwatch-client.pc.")
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS library)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
include(CPack)

if(HELMWATCH_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT HELMWATCH_SANITIZE)
  add_test(NAME service_unit
           COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/check-service ${PROJECT_BINARY_DIR})
  add_test(NAME client_development_files
           COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/check-client-dev ${PROJECT_BINARY_DIR})
endif()

# The manual pages document exactly the daemon's options, and render cleanly.
if(HELMWATCH_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT HELMWATCH_SANITIZE)
  add_test(NAME man_page_options
           COMMAND ${PROJECT_SOURCE_DIR}/doc/check-man-page $<TARGET_FILE:helmwatch>
                   ${helmwatch_man_page})
  # helmwatch-ctl ends a command-line error, -h included, with status 2.
  add_test(NAME man_page_options_helmwatch-ctl
           COMMAND ${PROJECT_SOURCE_DIR}/doc/check-man-page --help-status 2
                   $<TARGET_FILE:helmwatch-ctl> ${helmwatch_ctl_man_page})
  foreach(page ${helmwatch_man_page} ${helmwatch_ctl_man_page})
    get_filename_component(name ${page} NAME)
    add_test(NAME man_page_renders_${name}
             COMMAND sh -c "groff -man -Tutf8 -ww -z \"$0\" 2>&1 | grep . && exit 1 || exit 0"
                     ${page})
  endforeach()
endif()
