# Installation of the service files and the Debian package (cpack -G DEB).

set(NETWORKPROXY_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})

# The distribution's hardening flags (fortified functions, stack protector,
# read-only relocations bound at start, PIE) for what the package ships, as
# dpkg-buildflags gives them for the architecture built for. Not with the
# sanitizers or the fuzzers, which bring their own instrumentation, nor
# without optimisation, where fortification does nothing but warn.
find_program(DPKG_BUILDFLAGS_EXECUTABLE dpkg-buildflags)
option(NETWORKPROXY_DEB_BUILDFLAGS "Build with the flags dpkg-buildflags gives" ON)
if(NETWORKPROXY_DEB_BUILDFLAGS AND DPKG_BUILDFLAGS_EXECUTABLE AND NOT NETWORKPROXY_SANITIZE
   AND NOT NETWORKPROXY_FUZZ AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(_np_host_arch "")
  if(NETWORKPROXY_CROSS_DEB_ARCH)
    set(_np_host_arch "DEB_HOST_ARCH=${NETWORKPROXY_CROSS_DEB_ARCH}")
  endif()
  foreach(_np_kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${_np_host_arch}
              ${DPKG_BUILDFLAGS_EXECUTABLE} --get ${_np_kind}
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE _np_flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(_np_${_np_kind} UNIX_COMMAND "${_np_flags}")
  endforeach()
  foreach(_np_target networkproxy_core networkproxy networkproxyctl)
    target_compile_options(${_np_target} PRIVATE ${_np_CPPFLAGS} ${_np_CXXFLAGS})
  endforeach()
  target_link_options(networkproxy PRIVATE ${_np_LDFLAGS})
  target_link_options(networkproxyctl PRIVATE ${_np_LDFLAGS})
endif()

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
# The operator's tool's page, once the tree has it.
if(EXISTS ${NETWORKPROXY_PACKAGING_DIR}/networkproxyctl.8)
  set(NETWORKPROXYCTL_MAN_GZ ${CMAKE_CURRENT_BINARY_DIR}/networkproxyctl.8.gz)
  add_custom_command(
    OUTPUT ${NETWORKPROXYCTL_MAN_GZ}
    COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${NETWORKPROXY_PACKAGING_DIR}/networkproxyctl.8 > ${NETWORKPROXYCTL_MAN_GZ}
    DEPENDS ${NETWORKPROXY_PACKAGING_DIR}/networkproxyctl.8
    VERBATIM)
  add_custom_target(networkproxyctl_man ALL DEPENDS ${NETWORKPROXYCTL_MAN_GZ})
  install(FILES ${NETWORKPROXYCTL_MAN_GZ} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()

# The unit names the daemon where this installation puts it: /usr/sbin in
# the package, /usr/local/sbin after a plain "cmake --install". Made at
# install time, when the prefix is known.
set(NETWORKPROXY_UNIT ${CMAKE_CURRENT_BINARY_DIR}/networkproxy.service)
install(CODE "
  set(NETWORKPROXY_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
  set(NETWORKPROXY_DOCDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}\")
  set(NETWORKPROXY_UNIT_PORT \"${NETWORKPROXY_UNIT_PORT}\")
  set(NETWORKPROXY_UNIT_CREDENTIALS_FILE \"${NETWORKPROXY_UNIT_CREDENTIALS_FILE}\")
  set(NETWORKPROXY_ENVIRONMENT_FILE \"${NETWORKPROXY_ENVIRONMENT_FILE}\")
  set(NETWORKPROXY_STATE_DIR \"${NETWORKPROXY_STATE_DIR}\")
  configure_file(\"${NETWORKPROXY_PACKAGING_DIR}/networkproxy.service.in\"
                 \"${NETWORKPROXY_UNIT}\" @ONLY)
")
install(FILES ${NETWORKPROXY_UNIT} DESTINATION lib/systemd/system)
install(FILES ${NETWORKPROXY_MAN_GZ}
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
set(NETWORKPROXY_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz)
add_custom_command(
  OUTPUT ${NETWORKPROXY_CHANGELOG_GZ}
  COMMAND ${GZIP_EXECUTABLE} -9 -n -c ${NETWORKPROXY_PACKAGING_DIR}/changelog > ${NETWORKPROXY_CHANGELOG_GZ}
  DEPENDS ${NETWORKPROXY_PACKAGING_DIR}/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(networkproxy_changelog ALL DEPENDS ${NETWORKPROXY_CHANGELOG_GZ})
install(FILES
    ${NETWORKPROXY_PACKAGING_DIR}/fw-update.sh.sample
    ${NETWORKPROXY_PACKAGING_DIR}/copyright
    ${NETWORKPROXY_CHANGELOG_GZ}
  DESTINATION ${CMAKE_INSTALL_DOCDIR})
# What the fleet's Prometheus and dashboard tool load (README, "Watching a
# fleet"); shipped with every site so the matching version is at hand.
install(FILES ${PROJECT_SOURCE_DIR}/monitoring/networkproxy-alerts.yml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/networkproxy/prometheus)
install(FILES ${PROJECT_SOURCE_DIR}/monitoring/networkproxy-fleet.json
  DESTINATION ${CMAKE_INSTALL_DATADIR}/networkproxy/grafana)
# Always /etc, whatever the prefix: systemd reads the file from there.
install(FILES ${NETWORKPROXY_PACKAGING_DIR}/networkproxy.default
  DESTINATION /etc/default
  RENAME networkproxy)
# The hand-off's sudo rule, read-only as sudo wants it. The working folder
# /var/lib/networkproxy (the service user's) and the site's settings folder
# /etc/networkproxy (root's, the service group may read) are made by
# postinst after the user exists, or by systemd (StateDirectory=), and are
# not the package's: an upgrade leaves their owners and modes alone.
install(FILES ${NETWORKPROXY_PACKAGING_DIR}/sudoers.networkproxy
  DESTINATION /etc/sudoers.d
  RENAME networkproxy
  PERMISSIONS OWNER_READ GROUP_READ)

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
# script, adduser makes the service's user in postinst. The maintainer scripts' deb-systemd-* come with
# init-system-helpers, which is essential.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "libc6, libstdc++6, libgcc-s1, libcurl4, libjsoncpp25, libssl3, libsystemd0, libsqlite3-0, curl, sudo, adduser")
# postinst starts the service only when the unit's port exists, so it
# takes the unit's values from the same build settings.
configure_file(${NETWORKPROXY_PACKAGING_DIR}/postinst.in ${CMAKE_CURRENT_BINARY_DIR}/postinst @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_BINARY_DIR}/postinst
  ${NETWORKPROXY_PACKAGING_DIR}/prerm
  ${NETWORKPROXY_PACKAGING_DIR}/postrm
  ${CMAKE_CURRENT_BINARY_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles
  "/etc/default/networkproxy\n/etc/sudoers.d/networkproxy\n")
include(CPack)
