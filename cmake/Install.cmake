# Where things go on a workstation or server. Included before the programs'
# folders so that their install() lines can use these.
#
# The launcher keeps its own folder current (it replaces itself, the modules and
# the support files there), so it does not go to a bin folder shared with the
# system: it gets a folder of its own that the group below may write to.

if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  # What the Debian packages use; the unit file names the server under it.
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

set(QUORVIA_INSTALL_FOLDER /opt/quorvia CACHE PATH
    "The launcher's installation folder (writable by the group QUORVIA_GROUP)")
set(QUORVIA_GROUP quorvia CACHE STRING
    "The group whose members may start the launcher and so refresh its folder")
set(QUORVIA_DEFAULTS_FILE /etc/default/quorvia-fileserver)
set(QUORVIA_DOC_DIR ${CMAKE_INSTALL_FULL_DATADIR}/doc/quorvia-arvento)
set(QUORVIA_SYSTEMD_UNIT_DIR lib/systemd/system)

# The two packages: workstations get the launcher and quorvia-update, the
# server gets quorvia-fileserver and its service.
set(QUORVIA_COMPONENT_WORKSTATION arvento)
set(QUORVIA_COMPONENT_SERVER fileserver)
