# Debian packages (scripts/package): "morlanex", the desktop program, and "morlanex-directory",
# the directory service. Library dependencies come from dpkg-shlibdeps; the GStreamer plugins
# and the font are loaded at run time, so they are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morlanex)
set(CPACK_PACKAGE_VENDOR Ulma)
set(CPACK_PACKAGE_CONTACT "Morlanex developers <developers@morlanex.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL https://morlanex.example/)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL program directory)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PROGRAM_PACKAGE_NAME morlanex)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PROGRAM_PACKAGE_DEPENDS
  "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, gstreamer1.0-libav, fonts-arphic-uming")
set(CPACK_DEBIAN_PROGRAM_PACKAGE_RECOMMENDS
  "gstreamer1.0-pipewire | gstreamer1.0-pulseaudio, pavucontrol, qt6-wayland")
set(CPACK_COMPONENT_PROGRAM_DESCRIPTION "live video channel from a webcam and a microphone
Morlanex previews a webcam in a small window, encodes picture and sound live as
Windows Media (WMV8 video, WMA audio), serves the stream itself over HTTP to up
to 6000 viewers and registers the channel with a Morlanex directory server.
The interface is in Traditional Chinese.")

set(CPACK_DEBIAN_DIRECTORY_PACKAGE_NAME morlanex-directory)
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_SECTION net)
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/directory/conffiles
  ${CMAKE_CURRENT_LIST_DIR}/directory/postinst
  ${CMAKE_CURRENT_LIST_DIR}/directory/prerm
  ${CMAKE_CURRENT_LIST_DIR}/directory/postrm)
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_DIRECTORY_DESCRIPTION "directory server for Morlanex live channels
morlanex-directory keeps the list of live Morlanex channels and forwards
viewers to them over UDP ports 20 and 22. It runs as a systemd service under
a dynamic unprivileged user with only the capability to bind those ports.
Example configurations of an HTTP cache tier (nginx edges and shield, HAProxy)
that relays the live channels' browser streams are included.")
set(CPACK_DEBIAN_DIRECTORY_PACKAGE_SUGGESTS "nginx, haproxy")

# The cache tier's configuration, as examples: an operator fills in the addresses.
install(FILES
  ${CMAKE_CURRENT_LIST_DIR}/relay/morlanex-edge.conf
  ${CMAKE_CURRENT_LIST_DIR}/relay/morlanex-shield.conf
  ${CMAKE_CURRENT_LIST_DIR}/relay/haproxy.cfg
  ${CMAKE_CURRENT_LIST_DIR}/relay/morlanex-ingest-clean.service
  ${CMAKE_CURRENT_LIST_DIR}/relay/morlanex-ingest-clean.timer
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/morlanex-directory/relay COMPONENT directory)
install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/relay/morlanex-ingest-clean
  DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/morlanex-directory/relay COMPONENT directory)

include(CPack)
