# What `cmake --install` puts on a unit, and the Debian package made of it
# (`cpack` in the build folder): the daemon, its service, manual page and
# keypad rule, and the UI side's client, header and library.

set(helmwatch_service ${PROJECT_BINARY_DIR}/helmwatch.service)
configure_file(${PROJECT_SOURCE_DIR}/packaging/helmwatch.service.in ${helmwatch_service} @ONLY)
# systemd reads units below the prefix's lib/systemd/system, /usr and
# /usr/local alike; not the multiarch library folder.
install(FILES ${helmwatch_service} DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/doc/helmwatch.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/60-helmwatch-keypad.rules
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# The package's architecture is Debian's name for the one built for.
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
  set(helmwatch_deb_arch armhf)
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE helmwatch_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME helmwatch)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "helmwatch developers <helmwatch@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Independent standby guard for a boat's autopilot")
set(CPACK_PACKAGE_DESCRIPTION "helmwatch commands the autopilot to standby over NMEA 2000 when \
a short press of the autopilot key is not confirmed by the UI application within 3 s, and \
sounds the alarm.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY helmwatch)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The service names the daemon by its installed path: the package installs
# where the build was configured to (-DCMAKE_INSTALL_PREFIX=/usr for a unit).
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${helmwatch_deb_arch})
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the daemon and the client link, as Debian 12 names
# their runtime packages; the same for every architecture.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6 (>= 2.34), libgcc-s1, libsocketcan2 (>= 0.0.11), libasound2 (>= 1.2)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

if(HELMWATCH_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT HELMWATCH_SANITIZE)
  add_test(NAME service_unit
           COMMAND sh ${PROJECT_SOURCE_DIR}/packaging/check-service ${PROJECT_BINARY_DIR})
endif()

# The manual page documents exactly the daemon's options, and renders cleanly.
if(HELMWATCH_TESTS AND NOT CMAKE_CROSSCOMPILING AND NOT HELMWATCH_SANITIZE)
  add_test(NAME man_page_options
           COMMAND ${PROJECT_SOURCE_DIR}/doc/check-man-page $<TARGET_FILE:helmwatch>
                   ${PROJECT_SOURCE_DIR}/doc/helmwatch.8)
  add_test(NAME man_page_renders
           COMMAND sh -c "groff -man -Tutf8 -ww -z \"$0\" 2>&1 | grep . && exit 1 || exit 0"
                   ${PROJECT_SOURCE_DIR}/doc/helmwatch.8)
endif()
