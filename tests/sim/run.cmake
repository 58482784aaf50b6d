# Runs PROGRAM with ARGS; fails unless it exits with EXPECTED (and prints MESSAGE, a regex, when given).
# Runs PROGRAM with ARGS (and INPUT as its standard input when given).
if(DEFINED INPUT)
  execute_process(COMMAND ${PROGRAM} ${ARGS} INPUT_FILE ${INPUT} RESULT_VARIABLE code OUTPUT_VARIABLE out
                  ERROR_VARIABLE err)
else()
  execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
endif()
message("${out}${err}")
if(NOT code STREQUAL "${EXPECTED}")
  message(FATAL_ERROR "exit status ${code}, expected ${EXPECTED}")
endif()
if(DEFINED MESSAGE AND NOT "${out}${err}" MATCHES "${MESSAGE}")
  message(FATAL_ERROR "the output does not say: ${MESSAGE}")
endif()
