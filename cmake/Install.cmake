# Where an installation puts the programs, the manual pages, the example
# configuration (with the documentation) and the systemd unit. `cmake --install BUILD --prefix DIR`
# keeps everything below DIR; the Debian package (cmake/Packaging.cmake)
# installs with the prefix /usr, which puts the configuration into /etc.
include(GNUInstallDirs)

set(AGENT_PACKAGE_NAME vestrel-agent)
# Named after the package, as Debian wants it.
set(AGENT_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${AGENT_PACKAGE_NAME})
set(AGENT_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit; relative paths are taken from the installation prefix")

install(TARGETS agent RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS grfsclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages, compressed as Debian wants them; man reads them either way.
set(_agent_man_pages
    ${PROJECT_SOURCE_DIR}/docs/man/agent.8
    ${PROJECT_SOURCE_DIR}/docs/man/agent.cfg.5
    ${PROJECT_SOURCE_DIR}/docs/man/grfsclient.1)
set(_agent_man_gz)
foreach(_page IN LISTS _agent_man_pages)
  get_filename_component(_name ${_page} NAME)
  string(REGEX MATCH "[0-9]$" _section ${_name})
  set(_gz ${PROJECT_BINARY_DIR}/man/${_name}.gz)
  add_custom_command(OUTPUT ${_gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND gzip -9n -c ${_page} > ${_gz}
    DEPENDS ${_page}
    COMMENT "Compressing manual page ${_name}"
    VERBATIM)
  list(APPEND _agent_man_gz ${_gz})
  install(FILES ${_gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${_section})
endforeach()
add_custom_target(manpages ALL DEPENDS ${_agent_man_gz})

# The README and the administrator's guide with the depth the protocol reaches,
# the format of grfsclient's archives and of the streams of extended attributes
# (keyword xattrs) and of times and inode flags (keyword linux_metadata), and the example
# configuration: documentation only, since the configuration itself is the
# administrator's.
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/admin-guide.md ${PROJECT_SOURCE_DIR}/packaging/copyright
              ${PROJECT_SOURCE_DIR}/docs/archive-format.md ${PROJECT_SOURCE_DIR}/docs/acl-stream.md ${PROJECT_SOURCE_DIR}/docs/lxat-stream.md
              ${PROJECT_SOURCE_DIR}/docs/linux-metadata-stream.md ${PROJECT_SOURCE_DIR}/docs/wire-depth-limit.md
              ${PROJECT_SOURCE_DIR}/packaging/agent.cfg.example
        DESTINATION ${AGENT_INSTALL_DOCDIR})

# The configuration directory and the unit's paths depend on the prefix the
# installation finally uses (`--prefix`, or /usr for the package), so they are
# worked out when installing, by cmake/InstallSystemFiles.cmake.
install(CODE "
  set(AGENT_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
  set(AGENT_UNITDIR \"${AGENT_SYSTEMD_UNIT_DIR}\")
  set(AGENT_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(AGENT_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
  set(AGENT_BINARY_DIR \"${PROJECT_BINARY_DIR}\")
")
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/InstallSystemFiles.cmake)
