# Runs at install time (install(SCRIPT) from cmake/Install.cmake): installs
# the systemd unit, whose place and contents depend on the prefix in force
# now. Nothing is installed into the configuration directory: agent.cfg is
# the administrator's, and the unit starts only once it exists.
#
# The configuration directory follows the rules of GNUInstallDirs: the
# prefixes / and /usr keep their configuration in /etc, /opt/NAME in
# /etc/opt/NAME, any other prefix in PREFIX/etc. An absolute
# CMAKE_INSTALL_SYSCONFDIR given when configuring is used as it is.
if(NOT IS_ABSOLUTE "${AGENT_SYSCONFDIR}")
  if(AGENT_SYSCONFDIR STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(AGENT_SYSCONFDIR "/etc")
  elseif(AGENT_SYSCONFDIR STREQUAL "etc" AND CMAKE_INSTALL_PREFIX MATCHES "^/opt/([^/]+)/?$")
    set(AGENT_SYSCONFDIR "/etc/opt/${CMAKE_MATCH_1}")
  else()
    set(AGENT_SYSCONFDIR "${CMAKE_INSTALL_PREFIX}/${AGENT_SYSCONFDIR}")
  endif()
endif()
foreach(_dir AGENT_UNITDIR AGENT_SBINDIR)
  if(NOT IS_ABSOLUTE "${${_dir}}")
    set(${_dir} "${CMAKE_INSTALL_PREFIX}/${${_dir}}")
  endif()
endforeach()

# The unit runs the agent installed now, on the configuration in the
# configuration directory of this prefix.
set(AGENT_CONFIG_FILE "${AGENT_SYSCONFDIR}/vestrel/agent.cfg")
configure_file("${AGENT_SOURCE_DIR}/packaging/vestrel-agent.service.in"
               "${AGENT_BINARY_DIR}/packaging/vestrel-agent.service" @ONLY)
file(INSTALL DESTINATION "${AGENT_UNITDIR}" TYPE FILE
     FILES "${AGENT_BINARY_DIR}/packaging/vestrel-agent.service")
