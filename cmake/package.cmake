# The Debian package of the listener, quorvellan-discover_VERSION_ARCH.deb,
# built by CPack from the "discover" install component (scripts/package).
# The daemon is not in it: it belongs on the device, not on a laptop.

# Debian keeps a package's licence in /usr/share/doc/PACKAGE/copyright, in
# the machine-readable format (License: ISC, an SPDX identifier); only the
# package installs it.
file(READ ${PROJECT_SOURCE_DIR}/LICENSE QUORVELLAN_LICENSE_TEXT)
string(REGEX REPLACE "\n\n" "\n.\n" QUORVELLAN_LICENSE_TEXT "${QUORVELLAN_LICENSE_TEXT}")
string(REGEX REPLACE "\n([^\n])" "\n \\1" QUORVELLAN_LICENSE_TEXT "${QUORVELLAN_LICENSE_TEXT}")
file(WRITE ${PROJECT_BINARY_DIR}/debian/copyright
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
  "Upstream-Name: quorvellan\n\n"
  "Files: *\nCopyright: 2026 The quorvellan developers\nLicense: ISC\n "
  "${QUORVELLAN_LICENSE_TEXT}")
install(FILES ${PROJECT_BINARY_DIR}/debian/copyright
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvellan-discover
  COMPONENT discover EXCLUDE_FROM_ALL)
# And its changelog, compressed without a time stamp, as for the manual pages.
set(QUORVELLAN_CHANGELOG ${PROJECT_BINARY_DIR}/debian/changelog.gz)
add_custom_command(OUTPUT ${QUORVELLAN_CHANGELOG}
  COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/packaging/debian/changelog' > '${QUORVELLAN_CHANGELOG}'"
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog VERBATIM)
add_custom_target(debian_changelog ALL DEPENDS ${QUORVELLAN_CHANGELOG})
# The docs its manual page and unit name, and the pages they link to; the
# alerting rules, for the Prometheus server, as an example to copy there.
install(FILES ${QUORVELLAN_CHANGELOG} ${PROJECT_SOURCE_DIR}/docs/collector.md
  ${PROJECT_SOURCE_DIR}/docs/discover.md ${PROJECT_SOURCE_DIR}/docs/announcement.md
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvellan-discover
  COMPONENT discover EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/prometheus/quorvellan.rules.yml
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/quorvellan-discover/examples
  COMPONENT discover EXCLUDE_FROM_ALL)

# The attach service's rules are the person's once installed: a conffile,
# which dpkg keeps through upgrades and asks about when both changed. The
# package installs to /usr, so its configuration goes to /etc.
file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/quorvellan/attach.rules\n")
set(CPACK_DEBIAN_DISCOVER_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvellan-discover)
set(CPACK_PACKAGE_VENDOR "The quorvellan developers")
set(CPACK_PACKAGE_CONTACT "The quorvellan developers <maintainers@quorvellan.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "lists the Quorvellan Link devices on the local network")
# Lines within 80 columns, as Debian's policy asks of the long description.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "quorvellan-discover listens for the announcements that
Quorvellan Link devices broadcast on the local network and shows them in a
live terminal table, as change lines or as JSON. It can serve them to
Prometheus over HTTP (--metrics), as a collector run by the systemd unit
it ships, not enabled. It never sends on the network it listens to; its
HTTP server answers whoever may reach it, on loopback by default.
A second unit, not enabled either, keeps the USB devices that the rules in
/etc/quorvellan/attach.rules name attached here over USB/IP, each checked
before any driver sees it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL discover)
set(CPACK_DEBIAN_DISCOVER_PACKAGE_NAME quorvellan-discover)
set(CPACK_DEBIAN_DISCOVER_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the libraries the binary links, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS OFF)
include(CPack)
