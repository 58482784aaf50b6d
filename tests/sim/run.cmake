# Runs PROGRAM with ARGS; fails unless it exits with EXPECTED (and prints MESSAGE, a regex, when given).
execute_process(COMMAND ${PROGRAM} ${ARGS} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT code STREQUAL "${EXPECTED}")
  message(FATAL_ERROR "exit status ${code}, expected ${EXPECTED}")
endif()
if(DEFINED MESSAGE AND NOT "${out}${err}" MATCHES "${MESSAGE}")
  message(FATAL_ERROR "the output does not say: ${MESSAGE}")
endif()
