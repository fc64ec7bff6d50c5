# Installation and the Debian package (cpack -G DEB): the program, its manual
# page, the systemd template unit, the README with its documents and the
# examples. Included by the top level.
include(GNUInstallDirs)

# The manual page is installed compressed, as Debian's are.
find_program(ZV_GZIP gzip)
if(ZV_GZIP)
  set(_man ${CMAKE_CURRENT_BINARY_DIR}/zvmail32.1.gz)
  add_custom_command(OUTPUT ${_man}
    COMMAND ${ZV_GZIP} -9 -n -c ${CMAKE_CURRENT_SOURCE_DIR}/man/zvmail32.1 > ${_man}
    DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/man/zvmail32.1 VERBATIM)
else()
  set(_man ${CMAKE_CURRENT_SOURCE_DIR}/man/zvmail32.1)
endif()
add_custom_target(zv_manpage ALL DEPENDS ${_man})

install(TARGETS zvmail32 RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${_man} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/dist/zvmail32@.service DESTINATION lib/systemd/system)
# The README with the documents and pictures it links, where its links find
# them, and the examples it names.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/docs/architecture.md ${CMAKE_CURRENT_SOURCE_DIR}/docs/phonebook.md
              ${CMAKE_CURRENT_SOURCE_DIR}/docs/setup-dialog.png ${CMAKE_CURRENT_SOURCE_DIR}/docs/main-window.png
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs)
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/examples/ZVMAIL32.INI ${CMAKE_CURRENT_SOURCE_DIR}/examples/phonebook
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

set(ZV_PACKAGE_MAINTAINER "zvmail32 developers <zvmail32@localhost>" CACHE STRING
    "Maintainer field of the Debian package")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zvmail32)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "mail transport agent for Zorvik transaction messages")
set(CPACK_PACKAGE_DESCRIPTION "zvmail32 submits the outbound work files of Zorvik applications by SMTP
and files the Zorvik messages of a POP3 mailbox as numbered work files,
once or as a daemon, one instance per directory.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ZV_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links come from dpkg-shlibdeps when it is there;
# Qt's platform plugins and OpenSSL (loaded by Qt for TLS) are named, since
# they are loaded at run time.
find_program(ZV_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(_depends "qt6-qpa-plugins, libssl3, adduser")
if(ZV_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  string(PREPEND _depends "libc6, libstdc++6, libqt6core6, libqt6gui6, libqt6widgets6, libx11-6, ")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS ${_depends})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postinst ${CMAKE_CURRENT_SOURCE_DIR}/dist/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
