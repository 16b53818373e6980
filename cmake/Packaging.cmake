# Installing qel-upgrade and packing it as a Debian package:
#
#   cmake --build BUILD --target deb    the program and the files the package
#                                       holds, then BUILD/package/qel-upgrade_*.deb
#
# The package holds the stripped program, its menu entry and icons, its
# manual page, and copyright and changelog under /usr/share/doc/qel-upgrade.
# Packing builds only those: the install step (and so cpack) does not build
# the whole tree first, tests included; the deb target builds what it needs.
#
# Serving the firmware needs a UDP port in 69..168, which Linux gives only to
# root or to a program with CAP_NET_BIND_SERVICE. The install step and the
# package's postinst give the installed program that capability; neither
# fails when it cannot (no setcap, no root, a file system without extended
# attributes): the program then says how to fix it before its first dialog.
include(GNUInstallDirs)

set(QEL_PACKAGE_PREFIX /usr)
set(QEL_MAINTAINER "qel-upgrade maintainers <maintainers@qel-upgrade.invalid>")
set(qel_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(qel_staged ${PROJECT_BINARY_DIR}/packaging)

set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS qel-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A staged install (DESTDIR, as cpack does) is no place for the capability:
# the package's postinst sets it where the program finally lands.
install(CODE [[
  set(qel_program "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/bin/qel-upgrade")
  find_program(QEL_SETCAP setcap PATHS /usr/sbin /sbin)
  if("$ENV{DESTDIR}" STREQUAL "")
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
  endif()
]])

# The menu entry, and the program's icon in the sizes desktops look for,
# drawn by the tool that draws the Windows icon.
install(FILES ${qel_packaging}/qel-upgrade.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
set(qel_package_outputs)
if(TARGET qel-make-icon)
  foreach(size 16 32 48 64 128)
    set(png ${qel_staged}/icons/${size}x${size}/qel-upgrade.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${qel_staged}/icons/${size}x${size}
      COMMAND qel-make-icon --png ${size} ${png}
      DEPENDS qel-make-icon
      COMMENT "Drawing the ${size} x ${size} icon"
      VERBATIM)
    list(APPEND qel_package_outputs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

# The manual page and the changelog, compressed as Debian wants them (gzip
# -9, without name or time, so the same sources give the same bytes).
file(STRINGS ${qel_packaging}/changelog qel_changelog_top LIMIT_COUNT 1)
if(NOT qel_changelog_top MATCHES "^qel-upgrade \\(${PROJECT_VERSION}\\) ")
  message(WARNING "packaging/changelog: its newest entry is not for version ${PROJECT_VERSION}")
endif()
configure_file(${qel_packaging}/qel-upgrade.1.in ${qel_staged}/man/qel-upgrade.1 @ONLY)
find_program(QEL_GZIP gzip)
if(QEL_GZIP)
  foreach(pair "${qel_staged}/man/qel-upgrade.1|${qel_staged}/qel-upgrade.1"
               "${qel_packaging}/changelog|${qel_staged}/changelog")
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 source)
    list(GET pair 1 copy)
    add_custom_command(OUTPUT ${copy}.gz
      COMMAND ${CMAKE_COMMAND} -E copy ${source} ${copy}
      COMMAND ${QEL_GZIP} -9nf ${copy}
      DEPENDS ${source}
      VERBATIM)
    list(APPEND qel_package_outputs ${copy}.gz)
  endforeach()
  install(FILES ${qel_staged}/qel-upgrade.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${qel_staged}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
else()
  message(WARNING "gzip not found: the manual page and the changelog are left out of the install")
endif()
install(FILES ${qel_packaging}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
add_custom_target(qel_package_files ALL DEPENDS ${qel_package_outputs})

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
set(CPACK_PACKAGE_CONTACT "${QEL_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Firmware upgrade wizard for QEL network voice devices")
set(CPACK_PACKAGE_DESCRIPTION
    "Finds a QEL device by its address, shows what it runs and serves it the new\nfirmware over TFTP, on the desktop (Qt 6) or in a terminal (newt).")
set(CPACK_PACKAGING_INSTALL_PREFIX ${QEL_PACKAGE_PREFIX})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries as dpkg-shlibdeps finds them, each once, plus what
# no library link shows: the X11 platform plugin, loaded at run time, and
# setcap, run by postinst. Without dpkg-shlibdeps, the libraries by name.
find_program(QEL_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(QEL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libcap2-bin")
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6widgets6, qt6-qpa-plugins, libnewt0.52, libcap2-bin")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QEL_POSTINST})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)

add_custom_target(deb
  COMMAND ${CMAKE_CPACK_COMMAND} --config ${PROJECT_BINARY_DIR}/CPackConfig.cmake
  WORKING_DIRECTORY ${PROJECT_BINARY_DIR}
  COMMENT "Packing qel-upgrade as a Debian package in ${PROJECT_BINARY_DIR}/package"
  VERBATIM)
add_dependencies(deb qel-upgrade qel_package_files)
