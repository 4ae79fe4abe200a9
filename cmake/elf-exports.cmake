# elf-exports.cmake - libqnapi.so exports exactly the public API.  Hidden
# visibility alone leaves the C++ library's typeinfo and template code weak
# and global in the dynamic symbol table, so that an application linking
# another C++ library could bind to ours, or ours to it; a linker version
# script made from the public headers keeps every other symbol local.
# Included by the top-level CMakeLists.txt off Windows, after the library's
# targets are defined and its exports read (qnapi-exports.cmake).
set(QNAPI_VERSION_SCRIPT ${CMAKE_BINARY_DIR}/qnapi.map)
set(names ${QNAPI_EXPORTED_FUNCTIONS} ${QNAPI_EXPORTED_VARIABLES})
list(SORT names)
set(script "{\n  global:\n")
foreach(name IN LISTS names)
  string(APPEND script "    ${name};\n")
endforeach()
string(APPEND script "  local: *;\n};\n")
# Written only when changed, so that the library is not linked again for nothing.
file(CONFIGURE OUTPUT ${QNAPI_VERSION_SCRIPT} CONTENT "${script}")
list(JOIN names "\n" list)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/exports.txt CONTENT "${list}\n")

target_link_options(qnapi PRIVATE "LINKER:--version-script=${QNAPI_VERSION_SCRIPT}")
set_property(TARGET qnapi APPEND PROPERTY LINK_DEPENDS ${QNAPI_VERSION_SCRIPT})

# The test reads the dynamic symbol table of the built library.
if(QNAPI_TESTS)
  add_test(NAME library_exports_exactly_the_interface
           COMMAND ${CMAKE_COMMAND} -DNM=${CMAKE_NM} -DLIBRARY=$<TARGET_FILE:qnapi>
                   -DLIST=${CMAKE_BINARY_DIR}/exports.txt
                   -P ${CMAKE_CURRENT_LIST_DIR}/check-elf-exports.cmake)
endif()
