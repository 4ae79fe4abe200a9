# mingw-x86_64.cmake - toolchain for 64-bit Windows with MinGW-w64.  The
# programs it builds run under wine64 here, which ctest uses to run the tests.
set(QNAPI_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

find_program(QNAPI_WINE64 NAMES wine64 PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(QNAPI_WINE64)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QNAPI_WINE64})
endif()
