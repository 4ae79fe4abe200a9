# qnapi-def.cmake - writes qnapi.def, the module-definition file of qnapi.dll,
# and exports.txt, the names its export table must hold, no more and no fewer
# (run as a script at build time, once the library's objects exist).
#
#   -DFUNCTIONS=... -DVARIABLES=...  the exports (qnapi-exports.cmake)
#   -DDECORATED=...   functions exported only under their decorated name (i686)
#   -DNM=... -DOBJECTS=...   the nm tool and the library's object files
#   -DSTDCALL=ON|OFF  exported functions are __stdcall (32-bit Windows)
#   -DOUTPUT=...      the module-definition file to write
#   -DLIST=...        the list of export names to write
#
# On 32-bit Windows the entries name the decorated symbols (QNA_Open@4): the
# DLL is linked with --kill-at, so they are exported as QNA_Open, and the
# import library made from the same file lets __stdcall callers reach them.
# The byte counts come from the compiled objects, not from the header, so
# they are what the compiler made.
cmake_minimum_required(VERSION 3.25)

set(lines "LIBRARY qnapi.dll" "EXPORTS")
set(names "")
execute_process(COMMAND ${NM} -g --defined-only ${OBJECTS}
                OUTPUT_VARIABLE symbols RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "${NM} failed on the library's objects")
endif()
set(missing "")
foreach(name IN LISTS FUNCTIONS)
  # A function the header declares but no object defines yet is left out of
  # the DLL (its link would fail) but stays in the list, so that the export
  # check names it.
  if(STDCALL)
    string(REGEX MATCH " T _${name}@([0-9]+)\n" match "${symbols}")
  else()
    string(REGEX MATCH " T ${name}\n" match "${symbols}")
  endif()
  if(NOT match)
    list(APPEND missing "${name}")
    list(APPEND names "${name}")
    continue()
  endif()
  if(NOT STDCALL)
    list(APPEND lines "  ${name}")
    list(APPEND names "${name}")
    continue()
  endif()
  set(decorated "${name}@${CMAKE_MATCH_1}")
  if(name IN_LIST DECORATED)
    list(APPEND lines "  ${decorated} == _${decorated}")
    list(APPEND names "_${decorated}")
  else()
    list(APPEND lines "  ${decorated}")
    list(APPEND names "${name}")
  endif()
endforeach()
foreach(name IN LISTS VARIABLES)
  string(REGEX MATCH " [BDR] _?${name}\n" match "${symbols}")
  if(NOT match)
    list(APPEND missing "${name}")
  else()
    list(APPEND lines "  ${name} DATA")
  endif()
  list(APPEND names "${name}")
endforeach()
if(missing)
  list(JOIN missing ", " text)
  message(WARNING "declared in qnapi.h but not defined by the library (not exported): ${text}")
endif()

# Written only when changed, so that the DLL is not linked again for nothing.
function(write_if_changed file text)
  file(WRITE "${file}.new" "${text}")
  file(COPY_FILE "${file}.new" "${file}" ONLY_IF_DIFFERENT)
  file(REMOVE "${file}.new")
endfunction()
list(JOIN lines "\n" text)
write_if_changed("${OUTPUT}" "${text}\n")
list(SORT names)
list(JOIN names "\n" text)
write_if_changed("${LIST}" "${text}\n")
