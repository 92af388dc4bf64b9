# Install layout. The daemon is a system service, so it goes to sbin; the
# listener is an ordinary user tool, so bin. Nothing else is installed:
# no libraries, headers, tests or configuration (the daemon takes none).
include(GNUInstallDirs)

install(TARGETS quorvellan-beacon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/docs/man/quorvellan-beacon.8
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The tools are optional (QUORVELLAN_TOOLS=OFF on the device build).
if(QUORVELLAN_TOOLS)
  # Component "discover": what its Debian package holds (cmake/package.cmake).
  install(TARGETS quorvellan-discover RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT discover)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/man/quorvellan-discover.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT discover)
  include(${CMAKE_CURRENT_LIST_DIR}/package.cmake)
endif()

# DOCDIR defaults to share/doc/${PROJECT_NAME}, i.e. share/doc/quorvellan.
# The docs are listed, not globbed, so a new file there is a deliberate
# addition to the install tree rather than an accident.
install(FILES
  ${PROJECT_SOURCE_DIR}/README.md
  ${PROJECT_SOURCE_DIR}/docs/announcement.md
  ${PROJECT_SOURCE_DIR}/docs/announcement.schema.json
  ${PROJECT_SOURCE_DIR}/docs/discover.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
