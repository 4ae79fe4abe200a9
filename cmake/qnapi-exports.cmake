# qnapi-exports.cmake - the exported names of the library, read from its
# public header: every declaration that carries QNA_EXPORT is one export.
# The header is the one list of the public API; the module-definition file
# and the export check are both made from what this reads.

# Sets <functions> and <variables> to the exported functions and variables
# declared in <header>, sorted.
function(qnapi_read_exports header functions variables)
  file(READ "${header}" text)
  # Comments and preprocessor lines (the QNA_EXPORT definitions themselves)
  # are not declarations.
  string(REGEX REPLACE "/\\*([^*]|\\*+[^*/])*\\*+/" " " text "${text}")
  string(REGEX REPLACE "//[^\n]*" "" text "${text}")
  string(REGEX REPLACE "(^|\n)[ \t]*#[^\n]*" "\n" text "${text}")
  # Each match ends before its ';', which would split a CMake list.
  string(REGEX MATCHALL "QNA_EXPORT[^;]*" declarations "${text}")
  set(found_functions "")
  set(found_variables "")
  foreach(declaration IN LISTS declarations)
    string(REGEX REPLACE "[ \t\r\n]+" " " declaration "${declaration}")
    if(declaration MATCHES "\\(")
      string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*) ?\\(" name "${declaration}")
      list(APPEND found_functions "${CMAKE_MATCH_1}")
    else()
      string(REGEX MATCH "([A-Za-z_][A-Za-z0-9_]*) ?(\\[[A-Za-z0-9_ +*]*\\])? ?$" name "${declaration}")
      list(APPEND found_variables "${CMAKE_MATCH_1}")
    endif()
  endforeach()
  if(NOT found_functions)
    message(FATAL_ERROR "no exported function found in ${header}")
  endif()
  list(SORT found_functions)
  list(SORT found_variables)
  set(${functions} "${found_functions}" PARENT_SCOPE)
  set(${variables} "${found_variables}" PARENT_SCOPE)
endfunction()

# On 32-bit Windows these functions are exported only under their decorated
# __stdcall name, as the compilers of the original platform named them.
set(QNAPI_DECORATED_ONLY QNA_EntAppName)
