# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files of every package,
# to give them the shape Debian wants:
#  - the documentation directory is named after the package;
#  - the changelog is packaging/changelog.in, whose top entry must be the
#    version being packaged; its trailer gets the maintainer and the date of
#    SOURCE_DATE_EPOCH (the time of the build when that is not set);
#  - the changelog and the manual pages are compressed with gzip -9n: no name
#    and no time stamp inside, so the package stays reproducible.
# Inputs from CPackConfig.cmake: CPACK_PACKAGE_NAME, CPACK_PACKAGE_VERSION,
# CPACK_PACKAGE_CONTACT, CPACK_PACKAGING_INSTALL_PREFIX,
# CPACK_MODEM_TOOLS_SOURCE_DIR, CPACK_MODEM_TOOLS_DOCDIR and
# CPACK_MODEM_TOOLS_MANDIR (install directories relative to the prefix).

set(root "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(changelog_in "${CPACK_MODEM_TOOLS_SOURCE_DIR}/packaging/changelog.in")

get_filename_component(docdir "${root}/${CPACK_MODEM_TOOLS_DOCDIR}" DIRECTORY)
set(docdir "${docdir}/${CPACK_PACKAGE_NAME}")
if(NOT "${root}/${CPACK_MODEM_TOOLS_DOCDIR}" STREQUAL docdir)
  file(RENAME "${root}/${CPACK_MODEM_TOOLS_DOCDIR}" "${docdir}")
endif()

# Replaces file with file.gz, compressed as Debian asks.
function(compress file)
  execute_process(COMMAND gzip -9nf "${file}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9nf ${file} failed (${status})")
  endif()
endfunction()

file(READ "${changelog_in}" changelog)
if(NOT changelog MATCHES "^[^ ]+ \\(([^)]+)\\)")
  message(FATAL_ERROR "${changelog_in}: the first line is not \"PACKAGE (VERSION) ...\"")
endif()
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
  message(FATAL_ERROR "${changelog_in}: the top entry is version ${CMAKE_MATCH_1}, "
                      "the package ${CPACK_PACKAGE_VERSION}: add an entry for it")
endif()
string(TIMESTAMP date "%a, %d %b %Y %H:%M:%S +0000" UTC)
string(REPLACE "@MAINTAINER@" "${CPACK_PACKAGE_CONTACT}" changelog "${changelog}")
string(REPLACE "@DATE@" "${date}" changelog "${changelog}")
file(WRITE "${docdir}/changelog" "${changelog}")
# The modes of an installed file, whatever the umask.
file(CHMOD "${docdir}/changelog" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
compress("${docdir}/changelog")

file(GLOB pages "${root}/${CPACK_MODEM_TOOLS_MANDIR}/man*/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    compress("${page}")
  endif()
endforeach()

# What lintian asks of a package with a boot script that this one does not
# do yet: a systemd unit beside it, and registering it with update-rc.d in
# maintainer scripts. Each override goes once the package does it (lintian
# then reports it as unused).
set(overrides "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
file(WRITE "${overrides}"
"# The boot service has no systemd unit yet; systemd runs it as an init script.
${CPACK_PACKAGE_NAME}: missing-systemd-service-for-init.d-script dsl-modem [etc/init.d/dsl-modem]
# Not enabled by the package: a board image links it into its boot (busybox
# init's S40dsl-modem) or runs update-rc.d, once /etc/default/dsl-modem holds
# the modem's settings.
${CPACK_PACKAGE_NAME}: script-in-etc-init.d-not-registered-via-update-rc.d [etc/init.d/dsl-modem]
")
file(CHMOD "${overrides}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
