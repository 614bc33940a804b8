# Lints one manual page: cmake -D PAGE=file -D GROFF=groff [-D MANDOC=mandoc]
# -P lint-man.cmake. Any diagnostic fails, not just a non-zero exit.

if(NOT GROFF OR GROFF MATCHES "-NOTFOUND$")
  message(FATAL_ERROR "groff not found: install groff-base")
endif()

# All warnings, no output: what is left is the diagnostics.
execute_process(COMMAND ${GROFF} -man -ww -z ${PAGE}
                RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT status EQUAL 0 OR NOT out STREQUAL "")
  message(FATAL_ERROR "groff -man -ww -z ${PAGE} (exit ${status}):\n${out}")
endif()

if(MANDOC AND NOT MANDOC MATCHES "-NOTFOUND$")
  execute_process(COMMAND ${MANDOC} -T lint -W warning ${PAGE}
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0 OR NOT out STREQUAL "")
    message(FATAL_ERROR "mandoc -T lint -W warning ${PAGE} (exit ${status}):\n${out}")
  endif()
  message(STATUS "${PAGE}: clean for groff and mandoc")
else()
  message(STATUS "${PAGE}: clean for groff (mandoc not installed)")
endif()
