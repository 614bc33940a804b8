# Run as a test (cmake -DDOC=... -DTESTS_DIR=... -P): every row of the
# table of failures in DOC (the table whose header starts "| what goes
# wrong |", wherever it stands in the page) names, in its last column, the
# tests that reproduce it, as `Suite.Name`, and each of them exists in the
# test sources (TEST, TEST_F or TEST_P), so a row cannot lose its check
# unnoticed.

cmake_minimum_required(VERSION 3.25)

file(READ "${DOC}" doc)
string(FIND "${doc}" "\n| what goes wrong |" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${DOC}: no table whose header starts \"| what goes wrong |\"")
endif()
math(EXPR start "${start} + 1")
string(SUBSTRING "${doc}" ${start} -1 section)
# The table ends at the first line that is not a row.
string(REGEX MATCH "^(\\|[^\n]*\n?)+" section "${section}")

file(GLOB sources "${TESTS_DIR}/*.cpp")
set(defined "")
foreach(source IN LISTS sources)
  file(STRINGS "${source}" lines REGEX "^TEST(_F|_P)?\\(")
  foreach(line IN LISTS lines)
    if(line MATCHES "^TEST(_F|_P)?\\(([A-Za-z0-9_]+), *([A-Za-z0-9_]+)\\)")
      list(APPEND defined "${CMAKE_MATCH_2}.${CMAKE_MATCH_3}")
    endif()
  endforeach()
endforeach()

# A list element must not end in a backslash or hold a semicolon.
string(REPLACE ";" "," section "${section}")
string(REPLACE "\n" ";" lines "${section}")
set(rows 0)
set(problems "")
foreach(line IN LISTS lines)
  if(NOT line MATCHES "^\\|" OR line MATCHES "^\\|---" OR line MATCHES "^\\| what goes wrong \\|")
    continue()
  endif()
  math(EXPR rows "${rows} + 1")
  if(NOT line MATCHES "\\|([^|]*)\\|[ ]*$")
    list(APPEND problems "not a table row: ${line}")
    continue()
  endif()
  set(last "${CMAKE_MATCH_1}")
  string(REGEX MATCHALL "`[A-Za-z0-9_]+\\.[A-Za-z0-9_]+`" named "${last}")
  if(NOT named)
    list(APPEND problems "a row names no test: ${line}")
  endif()
  foreach(test IN LISTS named)
    string(REPLACE "`" "" test "${test}")
    if(NOT test IN_LIST defined)
      list(APPEND problems "no test ${test} in ${TESTS_DIR}: ${line}")
    endif()
  endforeach()
endforeach()

if(rows EQUAL 0)
  list(APPEND problems "the table has no rows")
endif()
if(problems)
  list(JOIN problems "\n" text)
  message(FATAL_ERROR "${DOC}, the table of failures:\n${text}")
endif()
message(STATUS "${rows} rows, each checked by tests that exist")
