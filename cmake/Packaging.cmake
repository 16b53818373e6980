# Installing qel-upgrade and packing it as a Debian package (cpack -G DEB).
#
# Serving the firmware needs a UDP port in 69..168, which Linux gives only to
# root or to a program with CAP_NET_BIND_SERVICE. The install step and the
# package's postinst give the installed program that capability; neither
# fails when it cannot (no setcap, no root, a file system without extended
# attributes): the program then says how to fix it when the bind fails.
include(GNUInstallDirs)

install(TARGETS qel-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(CODE [[
  set(qel_program "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/qel-upgrade")
  find_program(QEL_SETCAP setcap PATHS /usr/sbin /sbin)
  if(NOT QEL_SETCAP)
    message(WARNING "setcap not found (package libcap2-bin): ${qel_program} needs root to serve the firmware")
  else()
    execute_process(COMMAND ${QEL_SETCAP} cap_net_bind_service=+ep ${qel_program}
                    RESULT_VARIABLE qel_result ERROR_VARIABLE qel_error)
    if(NOT qel_result EQUAL 0)
      message(WARNING "could not give ${qel_program} cap_net_bind_service (${qel_error}); "
                      "run: sudo setcap cap_net_bind_service=+ep ${qel_program}")
    endif()
  endif()
]])

set(QEL_PACKAGE_PREFIX /usr)
set(QEL_POSTINST ${PROJECT_BINARY_DIR}/debian/postinst)
file(WRITE ${QEL_POSTINST}.in [[#!/bin/sh
# Lets qel-upgrade bind the TFTP ports 69-168 without running as root.
set -e
if [ "$1" = configure ]; then
  if command -v setcap >/dev/null 2>&1 &&
     setcap cap_net_bind_service=+ep @QEL_PACKAGE_PREFIX@/bin/qel-upgrade; then
    :
  else
    echo "qel-upgrade: could not set cap_net_bind_service; run it as root, or:" >&2
    echo "  sudo setcap cap_net_bind_service=+ep @QEL_PACKAGE_PREFIX@/bin/qel-upgrade" >&2
  fi
fi
exit 0
]])
configure_file(${QEL_POSTINST}.in ${QEL_POSTINST} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qel-upgrade)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "QEL")
set(CPACK_PACKAGE_CONTACT "qel-upgrade maintainers <qel-upgrade@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade wizard for QEL network voice devices")
set(CPACK_PACKAGE_DESCRIPTION
    "Finds a QEL device by its address, shows what it runs and serves it the new\nfirmware over TFTP, on the desktop (Qt 6) or in a terminal (newt).")
set(CPACK_PACKAGING_INSTALL_PREFIX ${QEL_PACKAGE_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries as dpkg-shlibdeps finds them when it is there, plus
# what is loaded at run time or run by postinst: the X11 platform plugin and
# setcap.
find_program(QEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, qt6-qpa-plugins, libnewt0.52, libcap2-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QEL_POSTINST})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
