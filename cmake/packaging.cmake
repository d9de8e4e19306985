# Install rules and packages: a .deb with a systemd unit on Linux, a ZIP with the
# service host on Windows. Included from the top-level CMakeLists.txt after the targets.
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME quillmesh)
set(CPACK_PACKAGE_VENDOR "Quillmesh")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Print-sharing server: remote peers print on this machine's printers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES TRUE)

if(WIN32)
  install(TARGETS quillmesh quillmesh-service RUNTIME DESTINATION .)
  install(FILES README.md packaging/THIRD-PARTY-NOTICES.md DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x64)
else()
  set(QM_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Where the systemd unit is installed, relative to the install prefix")
  set(QM_BIN_DIR ${CMAKE_INSTALL_FULL_BINDIR})
  set(QM_DOC_DIR ${CMAKE_INSTALL_FULL_DOCDIR})
  set(QM_SETTINGS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/quillmesh)
  set(packaging_out ${CMAKE_BINARY_DIR}/packaging)
  configure_file(packaging/linux/quillmesh.service.in ${packaging_out}/quillmesh.service @ONLY)
  configure_file(packaging/linux/conffiles.in ${packaging_out}/conffiles @ONLY)
  foreach(script postinst prerm postrm)
    configure_file(packaging/linux/${script} ${packaging_out}/${script} COPYONLY)
  endforeach()

  install(TARGETS quillmesh quillmesh-peer RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${packaging_out}/quillmesh.service DESTINATION ${QM_UNIT_DIR})
  install(FILES packaging/linux/quillmesh.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
    RENAME quillmesh)
  install(FILES README.md packaging/THIRD-PARTY-NOTICES.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Quillmesh maintainers <quillmesh@localhost>")
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  # The libraries (libgs, libcups, cairo, libgxps) come from the binaries themselves.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups-daemon")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${packaging_out}/postinst ${packaging_out}/prerm ${packaging_out}/postrm
    ${packaging_out}/conffiles)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
endif()

include(CPack)
