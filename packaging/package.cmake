# The service unit, the configuration folder and the Debian package.

configure_file(packaging/tolvek@.service.in tolvek@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tolvek@.service DESTINATION ${TOLVEK_UNIT_DIR})
# The root step of the unit's start and reload: checks the file and hands
# a copy to the service.
configure_file(packaging/libexec/stage-config.in libexec/stage-config @ONLY)
install(PROGRAMS ${PROJECT_BINARY_DIR}/libexec/stage-config DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/tolvek)
# The exporter's unit, disabled until an instance is enabled.
configure_file(packaging/tolvek-stats@.service.in tolvek-stats@.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tolvek-stats@.service DESTINATION ${TOLVEK_UNIT_DIR})
# Prometheus alerts for the metrics of tolvek-stats, for a rules file.
install(FILES contrib/prometheus/tolvek-alerts.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/tolvek)
# The loopback example, ready to run as tolvek@example and to copy.
install(FILES examples/tolvek.conf DESTINATION ${TOLVEK_CONFIG_DIR} RENAME example.conf)

# The licence, in the place and the format a Debian system keeps it, and the
# package's changelog, compressed as Debian wants it: without a name or a
# time stamp, so that the same source gives the same file.
install(FILES packaging/deb/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
configure_file(packaging/deb/changelog deb/changelog.Debian COPYONLY)
add_custom_command(OUTPUT deb/changelog.Debian.gz
                   COMMAND gzip -9nkf changelog.Debian
                   DEPENDS ${PROJECT_BINARY_DIR}/deb/changelog.Debian
                   WORKING_DIRECTORY ${PROJECT_BINARY_DIR}/deb
                   VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS deb/changelog.Debian.gz)
install(FILES ${PROJECT_BINARY_DIR}/deb/changelog.Debian.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES packaging/deb/lintian-overrides DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME tolvek)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tolvek)
set(CPACK_PACKAGE_VENDOR "tolvek developers")
set(CPACK_PACKAGE_CONTACT "tolvek developers <maintainers@tolvek.invalid>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "UDP stream repeater for embedded Linux")
set(CPACK_PACKAGE_DESCRIPTION
    "tolvek receives one real-time RTP stream over UDP (unicast or multicast) and
re-sends every datagram, unchanged, to each client in its client table.
Receivers register themselves with small control packets; repeaters can be
chained, fail over between two inputs and serve JSON statistics, which the
tolvek-stats program fetches. tolvek-join registers on behalf of any RTP
player, such as ffplay, VLC or GStreamer.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends: from the libraries the programs link (dpkg-shlibdeps).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The unit's reload sends SIGHUP with /bin/kill; its staging step uses
# coreutils, which every system has.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "procps")
configure_file(packaging/deb/conffiles.in deb/conffiles @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_BINARY_DIR}/deb/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/deb/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
