# Installation beside the binary, and the packages CPack makes of it: a Debian package and a tarball.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/doc/hold-listener.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB TGZ)
set(CPACK_PACKAGE_NAME hold-listener)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR hold-listener)
set(CPACK_PACKAGE_CONTACT "hold-listener maintainers <hold-listener@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "report when one key or mouse button goes down and up, for push-to-talk hosts")
set(CPACK_PACKAGE_DESCRIPTION
    "A helper that a host application starts as a child process to watch one keyboard key or \
mouse button system-wide. It writes a line on its standard output each time that input goes down \
and each time it comes up, never changes or swallows input, and ends when the host closes its \
standard input.")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_STRIP_FILES ON)
# Tarballs unpack into one folder named after the package, version and system.
set(CPACK_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
# Dependencies on the shared libraries the binary links, as dpkg-shlibdeps finds them.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

include(CPack)
