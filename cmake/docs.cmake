# Manual pages (section 8), the examples and the licence notice,
# part of the "docs" install component, a lint test for the pages and a
# check of the table of failures in docs/troubleshooting.md.

set(MODEM_TOOLS_MAN_PAGES
  ${PROJECT_SOURCE_DIR}/man/serial-modem-setup.8
  ${PROJECT_SOURCE_DIR}/man/netif-rename.8
  ${PROJECT_SOURCE_DIR}/man/dsl-modem.8)

install(FILES ${MODEM_TOOLS_MAN_PAGES}
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT docs)
# The example command file (the boot service's settings example goes beside
# it, see boot-service/CMakeLists.txt).
install(FILES ${PROJECT_SOURCE_DIR}/examples/bridge.conf
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT docs)

# The licence notice goes wherever the programs go (a firmware image too), as
# share/doc/dsl-modem-tools/copyright in Debian's machine-readable format,
# made from LICENSE: its copyright line, then its text indented by one space
# with " ." for an empty line.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/LICENSE)
file(READ ${PROJECT_SOURCE_DIR}/LICENSE license)
if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n\n(.+[^\n])\n*$")
  message(FATAL_ERROR "LICENSE: expected a line \"Copyright (c) YEARS HOLDER\", "
                      "an empty line and the licence text")
endif()
set(copyright_holder "${CMAKE_MATCH_1}")
string(REPLACE "\n" "\n " license_text " ${CMAKE_MATCH_2}")
string(REPLACE "\n \n" "\n .\n" license_text "${license_text}")
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/copyright @ONLY CONTENT
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${PROJECT_NAME}

Files: *
Copyright: ${copyright_holder}
License: ${MODEM_TOOLS_LICENSE}

License: ${MODEM_TOOLS_LICENSE}
${license_text}
")
install(FILES ${CMAKE_BINARY_DIR}/copyright
        DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT docs)

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
  # Every row of the table of failures in docs/troubleshooting.md names the
  # tests that reproduce it, and they exist.
  add_test(NAME docs_trouble_table
           COMMAND ${CMAKE_COMMAND}
                   -D DOC=${PROJECT_SOURCE_DIR}/docs/troubleshooting.md
                   -D TESTS_DIR=${PROJECT_SOURCE_DIR}/tests
                   -P ${PROJECT_SOURCE_DIR}/cmake/check-trouble-table.cmake)
endif()
