# mingw-common.cmake - what the two MinGW-w64 toolchain files share.  Set
# QNAPI_MINGW_TRIPLE and CMAKE_SYSTEM_PROCESSOR, then include this file.
#
# The compilers are the "-posix" ones: only their C++ library has std::thread
# and std::mutex.  Every program and qnapi.dll link the GCC run-time, the C++
# library and winpthreads statically, so they need no DLL beyond the system's.
set(CMAKE_SYSTEM_NAME Windows)

set(_triple ${QNAPI_MINGW_TRIPLE})
find_program(CMAKE_C_COMPILER NAMES ${_triple}-gcc-posix REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${_triple}-g++-posix REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${_triple}-windres)
find_program(CMAKE_AR NAMES ${_triple}-ar REQUIRED)
find_program(CMAKE_RANLIB NAMES ${_triple}-ranlib REQUIRED)
find_program(CMAKE_NM NAMES ${_triple}-nm REQUIRED)
find_program(CMAKE_OBJDUMP NAMES ${_triple}-objdump REQUIRED)
find_program(CMAKE_DLLTOOL NAMES ${_triple}-dlltool REQUIRED)

set(CMAKE_FIND_ROOT_PATH /usr/${_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
