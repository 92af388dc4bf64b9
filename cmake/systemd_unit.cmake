# Runs inside `cmake --install` (see quorvellan_install_systemd_unit and
# quorvellan_install_attach_rules in install.cmake), where
# CMAKE_INSTALL_PREFIX is the prefix installed to.

# quorvellan_full_dir(OUT DIR)
# DIR under the prefix, unless absolute.
function(quorvellan_full_dir out dir)
  if(NOT IS_ABSOLUTE "${dir}")
    set(dir "${CMAKE_INSTALL_PREFIX}/${dir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# quorvellan_full_sysconfdir(OUT SYSCONFDIR)
# Where the configuration goes for this prefix, as GNUInstallDirs reckons it
# when configuring: /etc for the prefixes / and /usr (so /etc in the Debian
# package), /etc/opt/NAME for /opt/NAME, else under the prefix
# (/usr/local/etc); SYSCONFDIR itself when absolute.
function(quorvellan_full_sysconfdir out sysconfdir)
  if(IS_ABSOLUTE "${sysconfdir}")
    set(dir "${sysconfdir}")
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(dir "/${sysconfdir}")
  elseif(CMAKE_INSTALL_PREFIX MATCHES "^/opt/(.*)")
    set(dir "/${sysconfdir}/opt/${CMAKE_MATCH_1}")
  else()
    set(dir "${CMAKE_INSTALL_PREFIX}/${sysconfdir}")
  endif()
  set(${out} "${dir}" PARENT_SCOPE)
endfunction()

# quorvellan_write_systemd_unit(TEMPLATE STAGED BINDIR SBINDIR SYSCONFDIR)
# Fills the template's @CMAKE_INSTALL_FULL_BINDIR@,
# @CMAKE_INSTALL_FULL_SBINDIR@ and @CMAKE_INSTALL_FULL_SYSCONFDIR@ (the
# directories for this prefix, as above) into STAGED, then installs that
# into lib/systemd/system.
function(quorvellan_write_systemd_unit template staged bindir sbindir sysconfdir)
  quorvellan_full_dir(CMAKE_INSTALL_FULL_BINDIR "${bindir}")
  quorvellan_full_dir(CMAKE_INSTALL_FULL_SBINDIR "${sbindir}")
  quorvellan_full_sysconfdir(CMAKE_INSTALL_FULL_SYSCONFDIR "${sysconfdir}")
  configure_file("${template}" "${staged}" @ONLY)
  file(INSTALL "${staged}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()

# quorvellan_install_config_file(FILE SUBDIR SYSCONFDIR)
# Installs FILE into SUBDIR of the configuration directory (as above),
# unless a file of that name is there already: it is the person's, edited
# or not, as dpkg keeps a conffile, and a reinstall must not undo their
# edits.
function(quorvellan_install_config_file file subdir sysconfdir)
  quorvellan_full_sysconfdir(dir "${sysconfdir}")
  set(dir "${dir}/${subdir}")
  get_filename_component(name "${file}" NAME)
  if(EXISTS "$ENV{DESTDIR}${dir}/${name}")
    message(STATUS "Kept: $ENV{DESTDIR}${dir}/${name}")
    return()
  endif()
  file(INSTALL "${file}" DESTINATION "${dir}"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
