# mingw-i686.cmake - toolchain for 32-bit Windows with MinGW-w64, where the
# exported functions are __stdcall.  Its programs run under Debian's 32-bit
# Wine (wine32:i386), which ctest uses to run the tests.
set(QNAPI_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# The 32-bit loader itself: /usr/bin/wine picks it too, but says nothing
# useful when wine32 is missing.
find_program(QNAPI_WINE32 NAMES wine PATHS /usr/lib/wine NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(QNAPI_WINE32)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${QNAPI_WINE32})
endif()
