# The Debian package: cpack --config <build>/CPackConfig.cmake, or the
# "package" target. It holds the two programs, the boot script
# (/etc/init.d/dsl-modem) and its systemd units (/lib/systemd/system),
# their manual pages, the examples (a command file and the boot script's
# settings file) and the licence notice (install components "programs",
# "service" and "docs"), with maintainer scripts that enable the service,
# plus the changelog that cmake/deb-files.cmake adds to the staged
# files, which it also gives the shape Debian wants.
#
# A statically linked build (MODEM_TOOLS_STATIC) is its own package,
# dsl-modem-tools-static: the same files, so each package conflicts with and
# replaces the other, and the static one provides dsl-modem-tools for anything
# that depends on the programs.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "serial-modem-setup logs into a DSL modem's management console over a serial\n"
    "line, sends it the commands of a command file (for example to put it into\n"
    "bridge mode) and can then kick the DHCP client of an interface.\n"
    "netif-rename gives a network interface a new name.")
if(MODEM_TOOLS_STATIC)
  set(CPACK_PACKAGE_NAME ${PROJECT_NAME}-static)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
      "Serial DSL modem setup and network interface rename, statically linked")
  list(APPEND CPACK_DEBIAN_PACKAGE_DESCRIPTION
       "\n.\n"
       "Both programs are linked statically: they need no C or C++ library,\n"
       "for a board image without the C++ runtime.")
  set(CPACK_DEBIAN_PACKAGE_PROVIDES "${PROJECT_NAME} (= ${PROJECT_VERSION})")
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${PROJECT_NAME})
  set(CPACK_DEBIAN_PACKAGE_REPLACES ${PROJECT_NAME})
else()
  set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${PROJECT_NAME}-static)
  set(CPACK_DEBIAN_PACKAGE_REPLACES ${PROJECT_NAME}-static)
endif()
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")

# The maintainer is whoever builds and distributes the package: the project
# cannot know who that is and has no address of its own to put there, so
# making a package without one fails (see the end) rather than shipping a
# made-up address.
set(MODEM_TOOLS_DEB_MAINTAINER "" CACHE STRING
    "Maintainer of the .deb, as 'Name <address>' (required to make a package)")
set(CPACK_PACKAGE_CONTACT "${MODEM_TOOLS_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};programs;/"
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};docs;/"
    "${CMAKE_BINARY_DIR};${PROJECT_NAME};service;/")
set(CPACK_MODEM_TOOLS_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_MODEM_TOOLS_DOCDIR ${CMAKE_INSTALL_DOCDIR})
set(CPACK_MODEM_TOOLS_MANDIR ${CMAKE_INSTALL_MANDIR})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-files.cmake)
# The boot script in /etc/init.d is a configuration file: dpkg keeps what an
# administrator changed in it. The maintainer scripts enable the boot
# service on installation and disable it on removal, as debhelper's would
# (see each script). Scripts 0755, the other control files 0644, whatever
# the source's modes.
file(WRITE ${CMAKE_BINARY_DIR}/deb-control/conffiles "/etc/init.d/dsl-modem\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_BINARY_DIR}/deb-control/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst
    ${PROJECT_SOURCE_DIR}/packaging/prerm
    ${PROJECT_SOURCE_DIR}/packaging/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# The architecture is the compiler's target, not the build machine's.
execute_process(COMMAND ${CMAKE_C_COMPILER} -dumpmachine
                OUTPUT_VARIABLE target_triplet OUTPUT_STRIP_TRAILING_WHITESPACE)
find_program(MODEM_TOOLS_DPKG_ARCHITECTURE dpkg-architecture)
set(deb_arch "")
if(MODEM_TOOLS_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${MODEM_TOOLS_DPKG_ARCHITECTURE} -t ${target_triplet} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE deb_arch ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT deb_arch)
  if(target_triplet MATCHES "^x86_64-")
    set(deb_arch amd64)
  elseif(target_triplet MATCHES "^aarch64-")
    set(deb_arch arm64)
  elseif(target_triplet MATCHES "^arm.*-gnueabihf$")
    set(deb_arch armhf)
  elseif(target_triplet MATCHES "^arm.*-gnueabi$")
    set(deb_arch armel)
  elseif(target_triplet MATCHES "^i[3-6]86-")
    set(deb_arch i386)
  else()
    message(WARNING "No Debian architecture known for ${target_triplet}; set CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
  endif()
endif()
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})

# Depends: none for static programs; dpkg-shlibdeps for a native build; for a
# cross build, the symbol versions the programs need (cmake/deb-depends.cmake),
# since dpkg knows nothing of the target's libraries without multiarch.
set(MODEM_TOOLS_DEB_DEPENDS "" CACHE STRING
    "Depends of the .deb, instead of the computed ones")
if(MODEM_TOOLS_DEB_DEPENDS)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${MODEM_TOOLS_DEB_DEPENDS}")
elseif(MODEM_TOOLS_STATIC)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "")
elseif(NOT CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_MODEM_TOOLS_READELF ${CMAKE_READELF})
  set(CPACK_MODEM_TOOLS_CXX_VERSION ${CMAKE_CXX_COMPILER_VERSION})
  list(APPEND CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/deb-depends.cmake)
endif()

# Without a valid maintainer the package target only says what to set, so
# that this is the last thing it prints (cpack would follow such a message
# with errors of its own).
if(MODEM_TOOLS_DEB_MAINTAINER MATCHES "^[^<>]*[^<> ] <[^<>@ ]+@[^<>@ ]+\\.[^<>@ ]+>$")
  include(CPack)
else()
  # A package target of cpack's own, from an earlier configuration with a
  # maintainer, would keep this name taken.
  file(REMOVE ${CMAKE_BINARY_DIR}/CPackConfig.cmake ${CMAKE_BINARY_DIR}/CPackSourceConfig.cmake)
  add_custom_target(package
    COMMAND ${CMAKE_COMMAND} "-DMAINTAINER=${MODEM_TOOLS_DEB_MAINTAINER}"
            -P ${PROJECT_SOURCE_DIR}/cmake/no-maintainer.cmake
    VERBATIM)
endif()
