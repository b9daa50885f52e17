# Installation of the service files and the Debian package (cpack -G DEB).

set(NETWORKPROXY_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# The man page is installed compressed, as Debian expects.
find_program(GZIP_EXECUTABLE gzip REQUIRED)
set(NETWORKPROXY_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/networkproxy.8.gz)
add_custom_command(
  OUTPUT ${NETWORKPROXY_MAN_GZ}
  COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${NETWORKPROXY_PACKAGING_DIR}/networkproxy.8 > ${NETWORKPROXY_MAN_GZ}
  DEPENDS ${NETWORKPROXY_PACKAGING_DIR}/networkproxy.8
  COMMENT "Compressing the man page"
  VERBATIM)
add_custom_target(networkproxy_man ALL DEPENDS ${NETWORKPROXY_MAN_GZ})

install(FILES ${NETWORKPROXY_PACKAGING_DIR}/networkproxy.service
  DESTINATION lib/systemd/system)
install(FILES ${NETWORKPROXY_MAN_GZ}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES
    ${NETWORKPROXY_PACKAGING_DIR}/sudoers.networkproxy
    ${NETWORKPROXY_PACKAGING_DIR}/fw-update.sh.sample
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# Always /etc, whatever the prefix: systemd reads the file from there.
install(FILES ${NETWORKPROXY_PACKAGING_DIR}/networkproxy.default
  DESTINATION /etc/default
  RENAME networkproxy)

# Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME networkproxy)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "NetworkProxy")
set(CPACK_PACKAGE_CONTACT "NetworkProxy maintainers <networkproxy@example.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "site gateway between a controller board and a reporting server")
set(CPACK_PACKAGE_DESCRIPTION
  "The networkproxy daemon sits beside a controller board on a serial port.
It posts each event the controller sends to the reporting server as JSON,
sends the server's instructions back to the controller, and checks an S3
bucket once a minute for new controller firmware, which it downloads and
hands to the site's update script.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_NAME networkproxy)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library packages of Debian 12; curl runs the reports, sudo the update
# script.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6, libstdc++6, libgcc-s1, libcurl4, libjsoncpp25, libssl3, libsystemd0, curl, sudo")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${NETWORKPROXY_PACKAGING_DIR}/postinst
  ${NETWORKPROXY_PACKAGING_DIR}/prerm
  ${NETWORKPROXY_PACKAGING_DIR}/postrm
  ${CMAKE_CURRENT_BINARY_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "/etc/default/networkproxy\n")
include(CPack)
