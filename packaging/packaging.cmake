# Installation (cmake --install) and the Debian packages (cpack). Two packages, so that the
# headless simulator runs on a machine without Qt:
#   quillon-headless  the simulator without a window, its manual page, the service template, the
#                     README and the example QLN.ini (shared by both programs);
#   quillon           the program with its window, desktop entry, icon and manual page; it
#                     depends on quillon-headless for the shared documentation and example.
# The package's paths follow CMAKE_INSTALL_PREFIX: configure with -DCMAKE_INSTALL_PREFIX=/usr
# for a Debian package (scripts/package-test.sh does).
include(GNUInstallDirs)

set(QLN_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(QLN_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(QLN_DOC_DIR ${CMAKE_INSTALL_DATAROOTDIR}/doc)
set(QLN_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING
    "Where the service template goes, relative to the installation prefix")

# The service template names the installed program and the example it copies on first start.
set(QLN_INSTALL_BINDIR ${CMAKE_INSTALL_FULL_BINDIR})
set(QLN_SEED_CONFIG ${CMAKE_INSTALL_FULL_DATADIR}/quillon/QLN.ini)
configure_file(${QLN_PACKAGING_DIR}/quillon-headless@.service.in
               ${QLN_PACKAGING_OUT}/quillon-headless@.service @ONLY)

# Manual pages and changelogs are installed compressed, as Debian keeps them; -n leaves the
# name and time out, so that the same source gives the same bytes.
set(QLN_COMPRESSED)
foreach(source man/quillon-headless.1 man/quillon.1 debian/changelog)
  get_filename_component(name ${source} NAME)
  set(compressed ${QLN_PACKAGING_OUT}/${name}.gz)
  add_custom_command(OUTPUT ${compressed}
    COMMAND sh -c "gzip -9n -c \"$0\" > \"$1\"" ${QLN_PACKAGING_DIR}/${source} ${compressed}
    DEPENDS ${QLN_PACKAGING_DIR}/${source} VERBATIM)
  list(APPEND QLN_COMPRESSED ${compressed})
endforeach()
add_custom_target(qln_packaging_files ALL DEPENDS ${QLN_COMPRESSED})

# Every package carries its copyright and changelog in its own documentation folder.
function(qln_install_package_docs package component)
  install(FILES ${QLN_PACKAGING_DIR}/debian/copyright ${QLN_PACKAGING_OUT}/changelog.gz
          DESTINATION ${QLN_DOC_DIR}/${package} COMPONENT ${component})
endfunction()

install(TARGETS quillon-headless RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT headless)
install(FILES ${QLN_PACKAGING_OUT}/quillon-headless.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${QLN_DOC_DIR}/quillon COMPONENT headless)
install(FILES ${CMAKE_SOURCE_DIR}/examples/QLN.ini
        DESTINATION ${QLN_DOC_DIR}/quillon/examples COMPONENT headless)
# The service's copy of the example: the documentation may be left out of an installation
# (dpkg path-exclude), the service's first start must not depend on it.
install(FILES ${CMAKE_SOURCE_DIR}/examples/QLN.ini
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quillon COMPONENT headless)
install(FILES ${QLN_PACKAGING_OUT}/quillon-headless@.service
        DESTINATION ${QLN_SYSTEMD_UNIT_DIR} COMPONENT headless)
qln_install_package_docs(quillon-headless headless)
set(QLN_PACKAGE_COMPONENTS headless)

if(QLN_BUILD_GUI)
  install(TARGETS quillon RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT gui)
  install(FILES ${QLN_PACKAGING_OUT}/quillon.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT gui)
  install(FILES ${QLN_PACKAGING_DIR}/quillon.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT gui)
  install(FILES ${QLN_PACKAGING_DIR}/icons/quillon.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT gui)
  install(FILES ${QLN_PACKAGING_DIR}/icons/quillon.png
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps COMPONENT gui)
  qln_install_package_docs(quillon gui)
  list(APPEND QLN_PACKAGE_COMPONENTS gui)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Quillon maintainers <maintainers@quillon.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_COMPONENTS_ALL ${QLN_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the programs need come from dpkg-shlibdeps, not from a hand-written list.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_HEADLESS_PACKAGE_NAME quillon-headless)
set(CPACK_DEBIAN_HEADLESS_PACKAGE_CONTROL_EXTRA
    ${QLN_PACKAGING_DIR}/debian/postinst ${QLN_PACKAGING_DIR}/debian/prerm
    ${QLN_PACKAGING_DIR}/debian/postrm)
set(CPACK_COMPONENT_HEADLESS_DESCRIPTION
    "HART field-device simulator without a window
Quillon turns one serial port into up to sixteen simulated HART field
devices (transmitters answering on poll addresses 0 to 15), so that a HART
master can be tested without real instruments. The device data live in one
INI file, QLN.ini.
.
This package holds quillon-headless, the simulator without a window, which
writes its traffic log to standard output, and the systemd service template
quillon-headless@.service that runs one simulator an instance. It needs no Qt.")

set(CPACK_DEBIAN_GUI_PACKAGE_NAME quillon)
set(CPACK_DEBIAN_GUI_PACKAGE_DEPENDS "quillon-headless (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_GUI_DESCRIPTION
    "HART field-device simulator with an operator window
Quillon turns one serial port into up to sixteen simulated HART field
devices (transmitters answering on poll addresses 0 to 15), so that a HART
master can be tested without real instruments. The device data live in one
INI file, QLN.ini.
.
This package holds quillon, the simulator with its Qt window: the grid of the
sixteen devices, the traffic log, the device status and the replies of the
device-specific commands.")

include(CPack)
