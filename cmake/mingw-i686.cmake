# mingw-i686.cmake - toolchain for 32-bit Windows with MinGW-w64, where the
# exported functions are __stdcall.  Its programs need a 32-bit Wine to run,
# which this toolchain does not ask for: the 32-bit build is checked by its
# exports and by compiling and linking against qnapi.dll.
set(QNAPI_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
