# Fails when a source under one of the folders includes a header that only
# the given file may include, by whatever path it names it ("tvrx.h",
# "driver/tvrx.h", "../../driver/tvrx.h", <tvrx.h>). Every other source sees
# the header's owner only through the one that may.
#
#   -DROOTS=dir1|dir2 -DHEADER=tvrx.h -DALLOWED=file
string(REPLACE "|" ";" roots "${ROOTS}")
if(NOT roots OR NOT HEADER OR NOT ALLOWED)
  message(FATAL_ERROR "an include check needs the folders, the header and the one file that may include it")
endif()
if(NOT EXISTS "${ALLOWED}")
  message(FATAL_ERROR "${ALLOWED}, the one file that may include ${HEADER}, does not exist")
endif()
get_filename_component(allowed "${ALLOWED}" REALPATH)
string(REPLACE "." "\\." header "${HEADER}")

set(found)
set(count 0)
foreach(root ${roots})
  file(GLOB_RECURSE sources "${root}/*.c" "${root}/*.cc" "${root}/*.cpp" "${root}/*.h" "${root}/*.hpp")
  foreach(source ${sources})
    get_filename_component(real "${source}" REALPATH)
    if(real STREQUAL allowed)
      continue()
    endif()
    math(EXPR count "${count} + 1")
    file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include")
    foreach(line ${lines})
      if(line MATCHES "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*/)?${header}[>\"]")
        list(APPEND found "${source}: ${line}")
      endif()
    endforeach()
  endforeach()
endforeach()
if(found)
  list(JOIN found "\n" found)
  message(FATAL_ERROR "only ${ALLOWED} may include ${HEADER}:\n${found}")
endif()
message("none of ${count} sources but ${ALLOWED} includes ${HEADER}")
