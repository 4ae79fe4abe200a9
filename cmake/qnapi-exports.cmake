# qnapi-exports.cmake - the exported names of the library, read from its
# public header: every declaration that carries QNA_EXPORT is one export.
# The header is the one list of the public API; the module-definition file
# of qnapi.dll, the version script of libqnapi.so and the export checks are
# all made from what this reads.

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

# The public headers are the one list of the public API: qnapi.h and the
# result texts of qnapi_text.h.  A change of them configures again, so that
# the export lists follow.
set(QNAPI_HEADERS ${PROJECT_SOURCE_DIR}/include/qnapi.h ${PROJECT_SOURCE_DIR}/include/qnapi_text.h)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QNAPI_HEADERS})
set(QNAPI_EXPORTED_FUNCTIONS "")
set(QNAPI_EXPORTED_VARIABLES "")
foreach(header IN LISTS QNAPI_HEADERS)
  qnapi_read_exports(${header} functions variables)
  list(APPEND QNAPI_EXPORTED_FUNCTIONS ${functions})
  list(APPEND QNAPI_EXPORTED_VARIABLES ${variables})
endforeach()
list(SORT QNAPI_EXPORTED_FUNCTIONS)
list(SORT QNAPI_EXPORTED_VARIABLES)
