# Debian packages: cpack -G DEB in the build folder.
#
# Two packages, because the two kinds of machine need different things:
#   quorvia-arvento     workstations: the launcher in its own writable folder,
#                       quorvia-update, desktop entry, icon, example settings
#   quorvia-fileserver  the server: the HTTP file server and its systemd unit;
#                       no desktop libraries come with it.
# Library dependencies are found by dpkg-shlibdeps from the built programs.

set(CPACK_PACKAGE_NAME quorvia)
set(CPACK_PACKAGE_VENDOR "Quorvia")
set(CPACK_PACKAGE_CONTACT "Quorvia support <suporte@quorvia.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
# The launcher's folder and /etc/default are absolute destinations.
set(CPACK_SET_DESTDIR ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${QUORVIA_COMPONENT_WORKSTATION} ${QUORVIA_COMPONENT_SERVER})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)

set(generated ${PROJECT_BINARY_DIR}/deploy/debian)

set(CPACK_DEBIAN_ARVENTO_PACKAGE_NAME quorvia-arvento)
set(CPACK_COMPONENT_ARVENTO_DESCRIPTION
  "Quorvia Arvento launcher panel and quorvia-update
The launcher panel of the Quorvia hospital suite, installed in
${QUORVIA_INSTALL_FOLDER}, which members of the group ${QUORVIA_GROUP} may
write to (the launcher refreshes itself and the suite's files there), and the
command-line update run quorvia-update.")
# The Qt platform plugin for X is a plugin, not a linked library.
set(CPACK_DEBIAN_ARVENTO_PACKAGE_DEPENDS "qt6-qpa-plugins, adduser")
set(CPACK_DEBIAN_ARVENTO_PACKAGE_RECOMMENDS "fonts-dejavu-core")
set(CPACK_DEBIAN_ARVENTO_PACKAGE_CONTROL_EXTRA ${generated}/arvento/postinst)

set(CPACK_DEBIAN_FILESERVER_PACKAGE_NAME quorvia-fileserver)
set(CPACK_COMPONENT_FILESERVER_DESCRIPTION
  "Quorvia central file server
Serves the central copy of a Quorvia installation to the launchers over HTTP,
as a hardened systemd service.")
set(CPACK_DEBIAN_FILESERVER_PACKAGE_CONTROL_EXTRA
  "${generated}/fileserver/postinst;${generated}/fileserver/prerm;${generated}/fileserver/postrm;${generated}/fileserver/conffiles")

include(CPack)
