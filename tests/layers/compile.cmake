# Compiles the probe source against one layer's include path and flags, once
# for each header. Each header of SEES must compile: it shows the flags are
# sound. Each of HIDDEN must fail because the file is not found: a layer
# cannot include a layer above it or beside it.
#
#   -DCOMPILER= -DPROBE=probe.cpp -DFLAGS=a|b|... -DSEES=h1|h2 -DHIDDEN=h3|h4
string(REPLACE "|" ";" flags "${FLAGS}")
string(REPLACE "|" ";" sees "${SEES}")
string(REPLACE "|" ";" hidden "${HIDDEN}")
list(FILTER flags EXCLUDE REGEX "^(-[ID])?$")  # an empty include or definition list leaves a bare flag
if(NOT sees OR NOT hidden)
  message(FATAL_ERROR "a layer probe needs headers it sees and headers it must not see")
endif()

function(probe header result output)
  execute_process(COMMAND ${COMPILER} ${flags} -fsyntax-only "-DTVRX_PROBE_HEADER=<${header}>" ${PROBE}
                  RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
  set(${result} ${code} PARENT_SCOPE)
  set(${output} "${out}${err}" PARENT_SCOPE)
endfunction()

foreach(header ${sees})
  probe(${header} code out)
  if(NOT code EQUAL 0)
    message(FATAL_ERROR "the layer's own flags do not compile an include of ${header}:\n${out}")
  endif()
  message("sees ${header}")
endforeach()
foreach(header ${hidden})
  probe(${header} code out)
  if(code EQUAL 0)
    message(FATAL_ERROR "the layer compiled an include of ${header}, which it must not see")
  endif()
  string(REPLACE "." "\\." pattern "${header}")
  # gcc: "tvrx.h: No such file or directory"; clang: "'tvrx.h' file not found".
  if(NOT out MATCHES "${pattern}: No such file" AND NOT out MATCHES "'${pattern}' file not found")
    message(FATAL_ERROR "an include of ${header} failed, but not for want of the file:\n${out}")
  endif()
  message("does not see ${header}")
endforeach()
