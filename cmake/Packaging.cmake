# The Debian package, built from the install rules (cmake/Install.cmake):
#   cpack -G DEB --config BUILD/CPackConfig.cmake
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${AGENT_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "Vestrel Software")
set(CPACK_PACKAGE_CONTACT "Vestrel Software <support@vestrel.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Vestrel Unix Agent: network backup agent")
set(CPACK_PACKAGE_DESCRIPTION
    "The agent lets Vestrel backup servers back up, restore and verify the
directory trees a host exports. It advertises itself to the configured
backup servers and serves their sessions over TCP (port 8192).
Includes grfsclient, a command-line peer that lists, backs up, restores and
verifies exports the way a backup server does, and a systemd unit.")
# Always the Debian layout: programs under /usr, configuration in /etc.
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The library dependencies are computed from the programs where
# dpkg-shlibdeps (package dpkg-dev) is there; otherwise the C and C++ run-time
# libraries every build links against are named.
find_program(AGENT_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(AGENT_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
