# check-elf-exports.cmake - fails unless the dynamic symbol table of a shared
# library defines exactly the names of a list, one a line (run as a test).
#   -DNM=...  -DLIBRARY=...  -DLIST=...
cmake_minimum_required(VERSION 3.25)

execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE table RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} -D failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${table}")
set(defined "")
foreach(line IN LISTS lines)
  # "address type name"; a versioned name would carry "@...".
  string(REGEX REPLACE "^.* " "" name "${line}")
  list(APPEND defined "${name}")
endforeach()
file(STRINGS ${LIST} wanted)

set(extra ${defined})
list(REMOVE_ITEM extra ${wanted})
set(missing ${wanted})
list(REMOVE_ITEM missing ${defined})
if(extra OR missing)
  list(JOIN extra " " extra)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "${LIBRARY}: exported beyond the interface: [${extra}]; missing: [${missing}]")
endif()
list(LENGTH wanted count)
message(STATUS "${LIBRARY} exports exactly the ${count} names of the interface")
