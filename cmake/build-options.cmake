# Build settings of the two programs that go onto the board: static linking,
# size flags for MinSizeRel, their install rule, and the check-sizes target.

option(MODEM_TOOLS_STATIC
       "Link serial-modem-setup and netif-rename statically (for a board image without the C++ runtime)"
       OFF)

# MinSizeRel is the firmware build: keep only what is reached, drop unused
# sections at link time. Other build types get nothing here, so a firmware
# build system that passes its own flags is not overridden. The distribution's
# hardening (PIE, RELRO) stays whatever the compiler and linker default to.
add_compile_options(
  "$<$<CONFIG:MinSizeRel>:-ffunction-sections;-fdata-sections>")
add_link_options(
  "$<$<CONFIG:MinSizeRel>:LINKER:--gc-sections;LINKER:--as-needed;LINKER:--hash-style=gnu>")

# Link-time optimisation, for MinSizeRel only, where the compiler has it.
include(CheckIPOSupported)
check_ipo_supported(RESULT MODEM_TOOLS_IPO_SUPPORTED LANGUAGES C CXX)

# Size settings of a program's own code in MinSizeRel: link-time optimisation
# across its files.
function(modem_tools_size_settings)
  if(MODEM_TOOLS_IPO_SUPPORTED)
    set_property(TARGET ${ARGN} PROPERTY INTERPROCEDURAL_OPTIMIZATION_MINSIZEREL ON)
  endif()
endfunction()

# Called by each program's directory: static linking when asked for, the size
# settings, and the install into sbin as part of the "programs" component
# (what the package and a board image take; test tools and the simulator
# have no install rule).
function(modem_tools_program target)
  if(MODEM_TOOLS_STATIC)
    target_link_options(${target} PRIVATE -static)
  endif()
  modem_tools_size_settings(${target})
  install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT programs)
endfunction()

# cmake --build <dir> --target check-sizes: strips copies of both programs
# (into <dir>/stripped) and fails when one is over its budget. The board
# preset sets the budgets; other builds are only measured.
set(MODEM_TOOLS_SIZE_BUDGETS "" CACHE STRING
    "Stripped size budgets in bytes checked by the check-sizes target, as program=bytes;...")
add_custom_target(check-sizes
  COMMAND ${CMAKE_COMMAND}
          -D STRIP=${CMAKE_STRIP}
          -D OUT_DIR=${CMAKE_BINARY_DIR}/stripped
          "-D PROGRAMS=$<TARGET_FILE:serial-modem-setup>$<SEMICOLON>$<TARGET_FILE:netif-rename>"
          "-D BUDGETS=${MODEM_TOOLS_SIZE_BUDGETS}"
          -P ${PROJECT_SOURCE_DIR}/cmake/check-sizes.cmake
  VERBATIM)
add_dependencies(check-sizes serial-modem-setup netif-rename)
