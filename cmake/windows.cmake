# windows.cmake - the Windows build (MinGW-w64): qnapi.dll with exactly the
# public API as its exports, its import library, and what the programs need
# from the system.  Included by the top-level CMakeLists.txt on WIN32 only,
# after the library's targets are defined and its exports read
# (qnapi-exports.cmake).
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QNAPI_STDCALL ON)   # QNA_API is __stdcall on 32-bit Windows
else()
  set(QNAPI_STDCALL OFF)
endif()

# Winsock for the TCP connections; the window and kernel calls come from the
# libraries every MinGW program links anyway.
target_link_libraries(qnapi_objects PUBLIC ws2_32)
target_link_libraries(qnapi PRIVATE ws2_32)

# ---- The module-definition file ---------------------------------------------------
# qnapi.def, and beside it exports.txt: the names the export table of
# qnapi.dll must hold, which tools/windows-check.sh compares with the DLL.
set(QNAPI_DEF ${CMAKE_BINARY_DIR}/qnapi.def)
add_custom_command(
  OUTPUT ${QNAPI_DEF} ${CMAKE_BINARY_DIR}/exports.txt
  COMMAND ${CMAKE_COMMAND}
          "-DFUNCTIONS=${QNAPI_EXPORTED_FUNCTIONS}"
          "-DVARIABLES=${QNAPI_EXPORTED_VARIABLES}"
          "-DDECORATED=${QNAPI_DECORATED_ONLY}"
          "-DNM=${CMAKE_NM}"
          "-DOBJECTS=$<TARGET_OBJECTS:qnapi_objects>"
          "-DSTDCALL=${QNAPI_STDCALL}"
          "-DOUTPUT=${QNAPI_DEF}"
          "-DLIST=${CMAKE_BINARY_DIR}/exports.txt"
          -P ${CMAKE_CURRENT_LIST_DIR}/qnapi-def.cmake
  DEPENDS qnapi_objects $<TARGET_OBJECTS:qnapi_objects> ${QNAPI_HEADERS}
          ${CMAKE_CURRENT_LIST_DIR}/qnapi-def.cmake
  COMMENT "Writing the module-definition file qnapi.def"
  VERBATIM)

# qnapi.dll, not libqnapi.dll; its import library stays libqnapi.dll.a.
target_sources(qnapi PRIVATE ${QNAPI_DEF})
set_target_properties(qnapi PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
if(QNAPI_STDCALL)
  # Exported as QNA_Open, not QNA_Open@4; the import library that ld would
  # write alongside then lacks the decoration __stdcall callers link against,
  # so it is made again from the module-definition file.
  target_link_options(qnapi PRIVATE -Wl,--kill-at)
  add_custom_command(TARGET qnapi POST_BUILD
    COMMAND ${CMAKE_DLLTOOL} --kill-at --input-def ${QNAPI_DEF} --dllname qnapi.dll
            --output-lib $<TARGET_LINKER_FILE:qnapi>
    COMMENT "Writing the import library of qnapi.dll"
    VERBATIM)
endif()

# ---- CLI11 for the qna command ------------------------------------------------------
# A header-only library, installed for the build machine; its package file
# would add the machine's /usr/include to the cross compiler's search path.
# The headers are copied and offered under the same package name instead.
if(NOT CLI11_DIR OR NOT EXISTS ${CLI11_DIR}/CLI11Config.cmake)
  find_path(QNAPI_CLI11_INCLUDE CLI/CLI.hpp PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH NO_DEFAULT_PATH)
  if(QNAPI_CLI11_INCLUDE)
    set(cli11 ${CMAKE_BINARY_DIR}/cli11)
    file(COPY ${QNAPI_CLI11_INCLUDE}/CLI DESTINATION ${cli11}/include)
    file(WRITE ${cli11}/CLI11Config.cmake
      "if(NOT TARGET CLI11::CLI11)\n"
      "  add_library(CLI11::CLI11 INTERFACE IMPORTED)\n"
      "  set_target_properties(CLI11::CLI11 PROPERTIES INTERFACE_INCLUDE_DIRECTORIES \"${cli11}/include\")\n"
      "endif()\n")
    set(CLI11_DIR ${cli11} CACHE PATH "CLI11 headers for the Windows build" FORCE)
  endif()
endif()
