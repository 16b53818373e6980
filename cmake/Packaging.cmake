# What `cmake --install` puts where, as the Debian packages take it
# (debian/*.install split it in two; scripts/build-deb.sh builds them):
#
#   bin/qel-upgrade                         qel-upgrade: scan/upgrade/fleet, the wizard's door
#   libexec/qel-upgrade/qel-upgrade-terminal qel-upgrade: the terminal wizard
#   libexec/qel-upgrade/qel-upgrade-bind    qel-upgrade: the port helper
#   share/man/man1/qel-upgrade.1            qel-upgrade
#   libexec/qel-upgrade/qel-upgrade-desktop qel-upgrade-desktop: the Qt dialogs
#   share/applications, share/icons         qel-upgrade-desktop: menu entry, icons
#
# Installing builds nothing (the tests stay out of it): build the programs
# and qel_package_files first. No file gets a capability here: the package's
# postinst gives it to the helper when the administrator allows it.
include(GNUInstallDirs)

set(qel_packaging ${PROJECT_SOURCE_DIR}/packaging)
set(qel_staged ${PROJECT_BINARY_DIR}/packaging)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

install(TARGETS qel-upgrade RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS qel-upgrade-bind RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/qel-upgrade)
foreach(program qel-upgrade-terminal qel-upgrade-desktop)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/qel-upgrade)
  endif()
endforeach()

# The menu entry, and the program's icon in the sizes desktops look for,
# drawn by the tool that draws the Windows icon.
install(FILES ${qel_packaging}/qel-upgrade.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
set(qel_package_outputs)
# A cross build takes the drawer from a native build (QEL_HOST_TOOLS).
set(qel_icon_drawer)
if(TARGET qel-make-icon)
  set(qel_icon_drawer qel-make-icon)
elseif(QEL_MAKE_ICON)
  set(qel_icon_drawer ${QEL_MAKE_ICON})
endif()
if(qel_icon_drawer)
  foreach(size 16 32 48 64 128)
    set(png ${qel_staged}/icons/${size}x${size}/qel-upgrade.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${qel_staged}/icons/${size}x${size}
      COMMAND ${qel_icon_drawer} --png ${size} ${png}
      DEPENDS ${qel_icon_drawer}
      COMMENT "Drawing the ${size} x ${size} icon"
      VERBATIM)
    list(APPEND qel_package_outputs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
endif()

# The manual page with the version filled in and the subcommands' part
# written from the table their --help prints (dh_installman compresses it).
# A cross build takes the writer from a native build (QEL_HOST_TOOLS).
configure_file(${qel_packaging}/qel-upgrade.1.in ${qel_staged}/man/qel-upgrade.1.in @ONLY)
if(CMAKE_CROSSCOMPILING)
  find_program(QEL_MAKE_MANUAL qel-admin-manual REQUIRED HINTS ${QEL_HOST_TOOLS})
  set(qel_manual_writer ${QEL_MAKE_MANUAL})
else()
  set(qel_manual_writer qel-admin-manual)
endif()
add_custom_command(OUTPUT ${qel_staged}/man/qel-upgrade.1
  COMMAND ${qel_manual_writer} ${qel_staged}/man/qel-upgrade.1.in ${qel_staged}/man/qel-upgrade.1
  DEPENDS ${qel_manual_writer} ${qel_staged}/man/qel-upgrade.1.in
  COMMENT "Writing the manual page"
  VERBATIM)
list(APPEND qel_package_outputs ${qel_staged}/man/qel-upgrade.1)
install(FILES ${qel_staged}/man/qel-upgrade.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
add_custom_target(qel_package_files ALL DEPENDS ${qel_package_outputs})

# The packages' version is debian/changelog's newest entry.
file(STRINGS ${PROJECT_SOURCE_DIR}/debian/changelog qel_changelog_top LIMIT_COUNT 1)
if(NOT qel_changelog_top MATCHES "^qel-upgrade \\(${PROJECT_VERSION}\\) ")
  message(WARNING "debian/changelog: its newest entry is not for version ${PROJECT_VERSION}")
endif()

# Both Debian packages, from a copy of this source tree, with Debian's tools.
add_custom_target(deb
  COMMAND ${PROJECT_SOURCE_DIR}/scripts/build-deb.sh ${PROJECT_BINARY_DIR}/package
  USES_TERMINAL
  COMMENT "Building the Debian packages in ${PROJECT_BINARY_DIR}/package"
  VERBATIM)
