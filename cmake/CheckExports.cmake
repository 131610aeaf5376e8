# Fails unless the shared library exports exactly Quenvale, and carries
# nothing that Quenvale never reaches.
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

# Nor does it carry what the export never reaches: the grid forms, which the
# tests hold the fast paths to, the host's kernels and table of filters, and
# the palette a flatten made.
execute_process(COMMAND "${NM}" -C "${LIBRARY}" OUTPUT_VARIABLE all RESULT_VARIABLE status)
foreach(unreached FlattenColors MatchPaletteEntry ForEachPixel KeepRedChannel GrayscaleAverage ThresholdBlackWhite
                  BoxBlur7x7 DarkestNeighbor5x5 kNamedFilters PrepareKernel DescribeFlattenPalette)
  if(all MATCHES "quenvale::${unreached}[ (\n]")
    message(FATAL_ERROR "the shared library carries ${unreached}, which its export never reaches")
  endif()
endforeach()
