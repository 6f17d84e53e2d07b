# Compiles the layout probe to assembly: cmake -DCOMPILER=... -DRESPONSE_FILE=... -DOUTPUT=...
#   -DDEPFILE=... -DSOURCE=... -P compile_probe.cmake
#
# A compile that fails (one side lacks a declaration the probe measures) does not fail the
# build: the output then holds a marker and the compiler's diagnostics, and the layout test fails
# with them. One missing declaration should cost one red test, not every other target.

foreach(var COMPILER RESPONSE_FILE OUTPUT DEPFILE SOURCE)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "compile_probe.cmake: ${var} not given")
  endif()
endforeach()

execute_process(
  COMMAND "${COMPILER}" "@${RESPONSE_FILE}" -S -o "${OUTPUT}.tmp" -MD -MF "${DEPFILE}" -MT "${OUTPUT}" "${SOURCE}"
  RESULT_VARIABLE result
  OUTPUT_VARIABLE out
  ERROR_VARIABLE err)

if(result EQUAL 0)
  file(RENAME "${OUTPUT}.tmp" "${OUTPUT}")
  return()
endif()

file(REMOVE "${OUTPUT}.tmp")
string(REPLACE "\n" "\n# " commented "${out}${err}")
file(WRITE "${OUTPUT}" "# tovrik-layout-probe: compile failed (exit ${result})\n# ${COMPILER}\n# ${commented}\n")
# The dependency list still matters after a failure: the fix is usually in a header, and the next
# build has to see that header change to try again. Preprocessing alone usually still works.
execute_process(
  COMMAND "${COMPILER}" "@${RESPONSE_FILE}" -M -MF "${DEPFILE}" -MT "${OUTPUT}" "${SOURCE}"
  RESULT_VARIABLE deps_result OUTPUT_QUIET ERROR_QUIET)
if(NOT deps_result EQUAL 0)
  file(WRITE "${DEPFILE}" "${OUTPUT}: ${SOURCE} ${RESPONSE_FILE}\n")
endif()
message(WARNING "layout probe did not compile with ${COMPILER}; the layout test will fail:\n${out}${err}")
