# Fails unless the shared library exports exactly Quenvale.
#   cmake -DLIBRARY=... -DNM=... -P CheckExports.cmake
execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${NM} failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND names "${name}")
endforeach()
if(NOT names STREQUAL "Quenvale")
  message(FATAL_ERROR "expected exactly Quenvale to be exported, found: ${names}")
endif()
message(STATUS "exports: ${names}")
