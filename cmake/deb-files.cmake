# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) on the staged files of every package,
# to give them the shape Debian wants:
#  - the documentation directory is named after the package;
#  - the changelog is packaging/changelog.in, whose top entry must be the
#    version being packaged; its trailer gets the maintainer and the date of
#    SOURCE_DATE_EPOCH (the time of the build when that is not set);
#  - lintian's overrides (packaging/lintian-overrides) go where lintian
#    looks for those of this package;
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

set(overrides "${root}/share/lintian/overrides/${CPACK_PACKAGE_NAME}")
foreach(dir IN ITEMS "${root}/share/lintian" "${root}/share/lintian/overrides")
  file(MAKE_DIRECTORY "${dir}")
  file(CHMOD "${dir}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
endforeach()
file(COPY_FILE "${CPACK_MODEM_TOOLS_SOURCE_DIR}/packaging/lintian-overrides" "${overrides}")
file(CHMOD "${overrides}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

file(GLOB pages "${root}/${CPACK_MODEM_TOOLS_MANDIR}/man*/*")
foreach(page IN LISTS pages)
  if(NOT page MATCHES "\\.gz$")
    compress("${page}")
  endif()
endforeach()

