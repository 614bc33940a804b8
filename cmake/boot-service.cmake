# The boot service: examples/dsl-modem.init installed as
# /etc/init.d/dsl-modem (mode 0755), part of the "programs" component, so a
# board image and the packages get it with the programs it runs.
#
# /etc is the configuration directory of the prefix the install is made for,
# decided when installing: `cmake --install --prefix /usr` and the packages
# (prefix /usr) put it in /etc whatever the build was configured with, as
# GNUInstallDirs does for the prefixes / and /usr; any other prefix gets
# PREFIX/etc. DESTDIR applies as to every other file.
set(MODEM_TOOLS_INIT_SCRIPT ${PROJECT_SOURCE_DIR}/examples/dsl-modem.init)
string(CONFIGURE [[
  if(CMAKE_INSTALL_PREFIX MATCHES "^/(usr/?)?$")
    set(modem_tools_sysconfdir /etc)
  else()
    set(modem_tools_sysconfdir "${CMAKE_INSTALL_PREFIX}/etc")
  endif()
  file(INSTALL "@MODEM_TOOLS_INIT_SCRIPT@"
       DESTINATION "${modem_tools_sysconfdir}/init.d" RENAME dsl-modem
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
]] install_init_script @ONLY)
install(CODE "${install_init_script}" COMPONENT programs)
