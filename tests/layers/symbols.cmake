# Lists the symbols a layer's objects take from elsewhere (nm -C -u) and fails
# when one of them belongs to a layer the layer must not link with: its C++
# namespace (plat::<layer>::) or one of its C entry points (a name prefix).
#
#   -DNM= -DOBJECTS=o1|o2 -DNAMESPACE=wdf -DPREFIX=Wdf
string(REPLACE "|" ";" objects "${OBJECTS}")
if(NOT objects)
  message(FATAL_ERROR "a link probe needs the layer's objects")
endif()
execute_process(COMMAND ${NM} -C -u ${objects} RESULT_VARIABLE code OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT code EQUAL 0)
  message(FATAL_ERROR "nm failed:\n${err}")
endif()
string(REPLACE "\n" ";" lines "${out}")
set(found)
foreach(line ${lines})
  if(line MATCHES "plat::${NAMESPACE}::" OR line MATCHES " U ${PREFIX}[A-Z]")
    list(APPEND found "${line}")
  endif()
endforeach()
if(found)
  list(JOIN found "\n" found)
  message(FATAL_ERROR "the layer links with ${NAMESPACE}:\n${found}")
endif()
list(LENGTH lines count)
message("none of ${count} symbols taken from elsewhere belongs to ${NAMESPACE}")
