# Install layout and the Debian package.
#
# With CMAKE_INSTALL_PREFIX=/usr (as the package is built) the defaults file
# goes to /etc/default; with any other prefix it stays under that prefix.
include(GNUInstallDirs)

set(OMBRIX_DEFAULTS_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/ombrix)
configure_file(${CMAKE_CURRENT_LIST_DIR}/ombrix.service.in
               ${CMAKE_BINARY_DIR}/packaging/ombrix.service @ONLY)

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(OMBRIX_UNIT_DIR /lib/systemd/system)
else()
  set(OMBRIX_UNIT_DIR ${CMAKE_INSTALL_LIBDIR}/systemd/system)
endif()
install(FILES ${CMAKE_BINARY_DIR}/packaging/ombrix.service DESTINATION ${OMBRIX_UNIT_DIR})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/ombrix.default
        DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default RENAME ombrix)
# Manual pages are installed compressed, as man-db expects on Debian.
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/Ombrix.8.gz
                   COMMAND gzip -9n -c ${CMAKE_CURRENT_LIST_DIR}/Ombrix.8 >
                           ${CMAKE_BINARY_DIR}/packaging/Ombrix.8.gz
                   DEPENDS ${CMAKE_CURRENT_LIST_DIR}/Ombrix.8)
add_custom_target(manpage ALL DEPENDS ${CMAKE_BINARY_DIR}/packaging/Ombrix.8.gz)
install(FILES ${CMAKE_BINARY_DIR}/packaging/Ombrix.8.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ombrix)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "Ombrix developers <ombrix@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a SQLite catalogue of the media in shared folders")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # ombrix_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "diffutils, findutils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/postinst ${CMAKE_CURRENT_LIST_DIR}/prerm
    ${CMAKE_CURRENT_LIST_DIR}/postrm ${CMAKE_CURRENT_LIST_DIR}/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
