# Install layout. The daemon is a system service, so it goes to sbin, with
# its systemd unit; the listener is an ordinary user tool, so bin, with the
# units that run it as a service and the one configuration file of those:
# the attach service's rules. Nothing else is installed: no libraries,
# headers or tests, and no configuration for the daemon (it takes none).
include(GNUInstallDirs)

# OpenWrt starts the daemon with procd, and its recipe builds from a copy of
# the sources without packaging/: it turns this off.
option(QUORVELLAN_SYSTEMD_UNITS "Install the systemd units" ON)

# quorvellan_install_systemd_unit(UNIT [COMPONENT <component>])
# Installs packaging/systemd/UNIT.in as PREFIX/lib/systemd/system/UNIT, where
# systemd looks under /usr and /usr/local alike. A unit names its program
# and its configuration by full path, and `cmake --install --prefix` can
# move the whole tree, so the template's @CMAKE_INSTALL_FULL_SBINDIR@,
# @CMAKE_INSTALL_FULL_BINDIR@ and @CMAKE_INSTALL_FULL_SYSCONFDIR@ are
# filled in when installing, from the prefix used then.
function(quorvellan_install_systemd_unit unit)
  if(NOT QUORVELLAN_SYSTEMD_UNITS)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 1 arg "" "COMPONENT" "")
  set(component)
  if(arg_COMPONENT)
    set(component COMPONENT ${arg_COMPONENT})
  endif()
  install(CODE "
    include(\"${PROJECT_SOURCE_DIR}/cmake/systemd_unit.cmake\")
    quorvellan_write_systemd_unit(\"${PROJECT_SOURCE_DIR}/packaging/systemd/${unit}.in\"
      \"${PROJECT_BINARY_DIR}/systemd/${unit}\" \"${CMAKE_INSTALL_BINDIR}\"
      \"${CMAKE_INSTALL_SBINDIR}\" \"${CMAKE_INSTALL_SYSCONFDIR}\")" ${component})
endfunction()

# quorvellan_install_attach_rules()
# The attach service's rules file, a commented example that attaches
# nothing, as SYSCONFDIR/quorvellan/attach.rules for the prefix installed
# to (/etc for /usr, as its unit names it); one already there is kept.
function(quorvellan_install_attach_rules)
  install(CODE "
    include(\"${PROJECT_SOURCE_DIR}/cmake/systemd_unit.cmake\")
    quorvellan_install_config_file(\"${PROJECT_SOURCE_DIR}/packaging/systemd/attach.rules\"
      quorvellan \"${CMAKE_INSTALL_SYSCONFDIR}\")" COMPONENT discover)
endfunction()

# quorvellan_install_manual_page(PAGE SECTION_DIR [COMPONENT <component>])
# Installs docs/man/PAGE compressed, as Debian's policy wants it: gzip -n,
# so that the bytes do not depend on when they were built.
function(quorvellan_install_manual_page page section)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "COMPONENT" "")
  set(compressed ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND sh -c "gzip -9n -c '${PROJECT_SOURCE_DIR}/docs/man/${page}' > '${compressed}'"
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page} VERBATIM)
  add_custom_target(manual_page_${page} ALL DEPENDS ${compressed})
  set(component)
  if(arg_COMPONENT)
    set(component COMPONENT ${arg_COMPONENT})
  endif()
  install(FILES ${compressed} DESTINATION ${CMAKE_INSTALL_MANDIR}/${section} ${component})
endfunction()

install(TARGETS quorvellan-beacon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
quorvellan_install_systemd_unit(quorvellan-beacon.service)
quorvellan_install_manual_page(quorvellan-beacon.8 man8)

# The tools are optional (QUORVELLAN_TOOLS=OFF on the device build).
if(QUORVELLAN_TOOLS)
  # Component "discover": what its Debian package holds (cmake/package.cmake).
  install(TARGETS quorvellan-discover RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
    COMPONENT discover)
  quorvellan_install_systemd_unit(quorvellan-discover.service COMPONENT discover)
  # The service that keeps chosen shared USB devices attached, and its rules.
  quorvellan_install_systemd_unit(quorvellan-attach.service COMPONENT discover)
  quorvellan_install_attach_rules()
  quorvellan_install_manual_page(quorvellan-discover.1 man1 COMPONENT discover)
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
  ${PROJECT_SOURCE_DIR}/docs/collector.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# The collector's alerting rules, for a Prometheus server, beside its docs.
# Only with the tools: a device build's copy of the sources (OpenWrt's) has
# no packaging/.
if(QUORVELLAN_TOOLS)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/prometheus/quorvellan.rules.yml
    DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()
