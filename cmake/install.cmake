# Install layout. The daemon is a system service, so it goes to sbin; the
# listener is an ordinary user tool, so bin. Nothing else is installed:
# no libraries, headers, tests or configuration (the daemon takes none).
include(GNUInstallDirs)

install(TARGETS quorvellan-beacon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

# The tools are optional (QUORVELLAN_TOOLS=OFF on the device build).
if(QUORVELLAN_TOOLS)
  install(TARGETS quorvellan-discover RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
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
