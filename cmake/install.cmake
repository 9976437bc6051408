# Installation on a controller (or into a staging folder with DESTDIR):
#   <prefix>/sbin/mqtt_k482916_demon         the daemon
#   <prefix>/bin/k482916_ctl                 the controller simulator
#   <prefix>/share/mqtt_k482916_demon/       brokerAccess.json.example, brokerSetup.json.example,
#                                            mosquitto.acl.example, rabbitmq-definitions.example.json
#                                            (a broker's access rules)
#   <etc>/init.d/mqtt_k482916_demon          the init script (SysV, BusyBox sh)
#   <prefix>/share/man/man8/                 mqtt_k482916_demon.8, the manual page
# <etc> is /etc for the prefix /usr and <prefix>/etc otherwise, as GNUInstallDirs has it.
#   DESTDIR=/tmp/stage cmake --install build-mipsel --prefix /usr --strip
include(GNUInstallDirs)

install(TARGETS mqtt_k482916_demon RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(TARGETS k482916_ctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/dist/brokerAccess.json.example
              ${CMAKE_SOURCE_DIR}/dist/brokerSetup.json.example
              ${CMAKE_SOURCE_DIR}/dist/mosquitto.acl.example
              ${CMAKE_SOURCE_DIR}/dist/rabbitmq-definitions.example.json
        DESTINATION ${CMAKE_INSTALL_DATADIR}/mqtt_k482916_demon)
install(FILES ${CMAKE_SOURCE_DIR}/dist/mqtt_k482916_demon.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)

# The init script names the daemon by its installed path. `cmake --install --prefix` can change the
# prefix after configuration, so the path and the script's folder are worked out at install time.
install(CODE "set(K482916_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
set(K482916_SYSCONFDIR \"${CMAKE_INSTALL_SYSCONFDIR}\")
set(K482916_INIT_SOURCE \"${CMAKE_SOURCE_DIR}/dist/init.d/mqtt_k482916_demon\")
set(K482916_INIT_STAGE \"${CMAKE_BINARY_DIR}/dist/init.d/mqtt_k482916_demon\")")
install(CODE [[
  string(REGEX REPLACE "/+$" "" k482916_prefix "${CMAKE_INSTALL_PREFIX}")
  if(IS_ABSOLUTE "${K482916_SBINDIR}")
    set(k482916_sbin "${K482916_SBINDIR}")
  else()
    set(k482916_sbin "${k482916_prefix}/${K482916_SBINDIR}")
  endif()
  if(IS_ABSOLUTE "${K482916_SYSCONFDIR}")
    set(k482916_etc "${K482916_SYSCONFDIR}")
  elseif(k482916_prefix STREQUAL "/usr")
    set(k482916_etc "/etc")
  else()
    set(k482916_etc "${k482916_prefix}/${K482916_SYSCONFDIR}")
  endif()
  file(READ "${K482916_INIT_SOURCE}" k482916_script)
  string(REPLACE ":-/usr/sbin/mqtt_k482916_demon}" ":-${k482916_sbin}/mqtt_k482916_demon}"
         k482916_script "${k482916_script}")
  file(WRITE "${K482916_INIT_STAGE}" "${k482916_script}")
  file(INSTALL "${K482916_INIT_STAGE}" DESTINATION "${k482916_etc}/init.d"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
]])
