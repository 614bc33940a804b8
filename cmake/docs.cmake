# Manual pages (section 8) and the example command file, part of the "docs"
# install component, and a lint test for the pages.

set(MODEM_TOOLS_MAN_PAGES
  ${PROJECT_SOURCE_DIR}/man/serial-modem-setup.8
  ${PROJECT_SOURCE_DIR}/man/netif-rename.8)

install(FILES ${MODEM_TOOLS_MAN_PAGES}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT docs)
install(FILES ${PROJECT_SOURCE_DIR}/examples/bridge.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT docs)

if(BUILD_TESTING)
  # groff (package groff-base) is required; mandoc's stricter lint runs too
  # where it is installed.
  find_program(MODEM_TOOLS_GROFF groff)
  find_program(MODEM_TOOLS_MANDOC mandoc)
  foreach(page IN LISTS MODEM_TOOLS_MAN_PAGES)
    get_filename_component(name ${page} NAME)
    add_test(NAME man_lint_${name}
             COMMAND ${CMAKE_COMMAND}
                     -D PAGE=${page}
                     -D GROFF=${MODEM_TOOLS_GROFF}
                     -D MANDOC=${MODEM_TOOLS_MANDOC}
                     -P ${PROJECT_SOURCE_DIR}/cmake/lint-man.cmake)
  endforeach()
endif()
