# Runs inside `cmake --install` (see quorvellan_install_systemd_unit in
# install.cmake), where CMAKE_INSTALL_PREFIX is the prefix installed to.

# quorvellan_write_systemd_unit(TEMPLATE STAGED BINDIR SBINDIR)
# Fills the template's @CMAKE_INSTALL_FULL_BINDIR@ and
# @CMAKE_INSTALL_FULL_SBINDIR@ (BINDIR and SBINDIR under the prefix, unless
# absolute) into STAGED, then installs that into lib/systemd/system.
function(quorvellan_write_systemd_unit template staged bindir sbindir)
  foreach(dir BINDIR SBINDIR)
    string(TOLOWER ${dir} given)
    set(path "${${given}}")
    if(NOT IS_ABSOLUTE "${path}")
      set(path "${CMAKE_INSTALL_PREFIX}/${path}")
    endif()
    set(CMAKE_INSTALL_FULL_${dir} "${path}")
  endforeach()
  configure_file("${template}" "${staged}" @ONLY)
  file(INSTALL "${staged}" DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system"
    PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  set(CMAKE_INSTALL_MANIFEST_FILES "${CMAKE_INSTALL_MANIFEST_FILES}" PARENT_SCOPE)
endfunction()
