# The boot service's systemd units, part of the "service" install
# component: dsl-modem.service (the configuration) and
# dsl-modem-rename.service (the interface rename, before networking). Both
# run the boot script installed as /etc/init.d/dsl-modem. They go to
# /lib/systemd/system, where Debian 12's packages keep their units; the
# destination is absolute, so DESTDIR (and so the package) still prefixes
# it, whatever the prefix.

set(MODEM_TOOLS_UNITS
  ${PROJECT_SOURCE_DIR}/systemd/dsl-modem.service
  ${PROJECT_SOURCE_DIR}/systemd/dsl-modem-rename.service)
set(MODEM_TOOLS_UNIT_DIR /lib/systemd/system)
install(FILES ${MODEM_TOOLS_UNITS} DESTINATION ${MODEM_TOOLS_UNIT_DIR} COMPONENT service)

if(BUILD_TESTING)
  # systemd-analyze verify of the installed units, against a root holding
  # what cmake --install puts there and the machine's own units.
  add_test(NAME systemd_units_verify
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/verify-units.sh ${CMAKE_BINARY_DIR}
                   ${MODEM_TOOLS_UNIT_DIR})
  set_tests_properties(systemd_units_verify PROPERTIES SKIP_RETURN_CODE 77)
endif()
