# install.cmake - what `cmake --install` puts where (GNUInstallDirs), and how
# other projects find the library: the CMake package qnapi (qnapi::qnapi,
# qnapi::qnapi_static), usable from the install and from this build tree
# (qnapi_DIR=build/<preset>), and qnapi.pc.  Included at the end of the
# top-level CMakeLists.txt, once every target exists.
include(CMakePackageConfigHelpers)

# ---- The static library as applications link it --------------------------------
# The same objects as qnapi_static, but with only the public headers and
# the system libraries its C++ code needs: a C program's link lacks the C++
# run-time (libstdc++ and libm with GCC; whatever the C++ compiler adds
# beyond the C compiler) and may lack the threads library.
set(QNAPI_CXX_RUNTIME ${CMAKE_CXX_IMPLICIT_LINK_LIBRARIES})
if(CMAKE_C_IMPLICIT_LINK_LIBRARIES)
  list(REMOVE_ITEM QNAPI_CXX_RUNTIME ${CMAKE_C_IMPLICIT_LINK_LIBRARIES})
endif()
list(REMOVE_DUPLICATES QNAPI_CXX_RUNTIME)

add_library(qnapi_archive STATIC $<TARGET_OBJECTS:qnapi_objects>)
set_target_properties(qnapi_archive PROPERTIES OUTPUT_NAME qnapi EXPORT_NAME qnapi_static)
target_include_directories(qnapi_archive INTERFACE $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>)
# On Windows the header then declares no DLL imports.
target_compile_definitions(qnapi_archive INTERFACE QNAPI_STATIC)
target_link_libraries(qnapi_archive INTERFACE Threads::Threads ${QNAPI_CXX_RUNTIME})
if(WIN32)
  target_link_libraries(qnapi_archive INTERFACE ws2_32)
endif()

# ---- The library, its headers, the programs ---------------------------------------
install(TARGETS qnapi qnapi_archive EXPORT qnapi-targets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/qnapi.h include/qnapi_text.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(TARGET quonix)
  install(TARGETS quonix RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  if(NOT WIN32)
    # The launcher (QNA_StartQuonix) looks for QUONIX.EXE in the folder it
    # is given.  (On Windows quonix.exe is that name already.)
    install(CODE "
      set(link \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/QUONIX.EXE\")
      message(STATUS \"Installing: \${link} -> quonix\")
      file(CREATE_LINK quonix \"\${link}\" SYMBOLIC)")
  endif()
endif()
if(TARGET qna)
  install(TARGETS qna RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/docs FILES_MATCHING PATTERN "*.md" PATTERN man EXCLUDE)
install(FILES examples/monitor.c examples/panel.cpp examples/plant.csv examples/python/plant.py
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(NOT CMAKE_CROSSCOMPILING)
  add_subdirectory(docs/man)
endif()

# ---- The CMake package --------------------------------------------------------------
set(QNAPI_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/qnapi)
install(EXPORT qnapi-targets NAMESPACE qnapi:: DESTINATION ${QNAPI_CMAKE_DIR})
# The same targets for this build tree, where they name the files built here.
export(EXPORT qnapi-targets NAMESPACE qnapi:: FILE ${PROJECT_BINARY_DIR}/qnapi-targets.cmake)
configure_file(cmake/qnapi-config.cmake ${PROJECT_BINARY_DIR}/qnapi-config.cmake COPYONLY)
# 0.x releases keep the soname libqnapi.so.0, so any 0.x satisfies a 0.y request.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/qnapi-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/qnapi-config.cmake ${PROJECT_BINARY_DIR}/qnapi-config-version.cmake
        DESTINATION ${QNAPI_CMAKE_DIR})

# ---- pkg-config ---------------------------------------------------------------------
# Written when installing, with the prefix of that install (`cmake --install
# --prefix DIR`, or /usr in the Debian package), so that its paths are the
# real ones: pkg-config leaves out -I/usr/include only when it reads it so.
set(QNAPI_PC_PRIVATE "")
foreach(library IN LISTS QNAPI_CXX_RUNTIME)
  string(APPEND QNAPI_PC_PRIVATE " -l${library}")
endforeach()
if(CMAKE_THREAD_LIBS_INIT)
  string(APPEND QNAPI_PC_PRIVATE " ${CMAKE_THREAD_LIBS_INIT}")
endif()
string(STRIP "${QNAPI_PC_PRIVATE}" QNAPI_PC_PRIVATE)
set(QNAPI_PC_PREFIX "@QNAPI_PC_PREFIX@")  # kept for the install step
configure_file(cmake/qnapi.pc.in ${PROJECT_BINARY_DIR}/qnapi.pc.in @ONLY)
install(CODE "
  set(QNAPI_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/qnapi.pc.in\" \"${PROJECT_BINARY_DIR}/install/qnapi.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/install/qnapi.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
