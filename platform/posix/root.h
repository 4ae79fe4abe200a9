// root.h - where the POSIX backend keeps every named thing.
//
// The root is $QNAPI_ROOT when set, else /dev/shm/qnapi-<uid> (or
// /tmp/qnapi-<uid> without /dev/shm).  It is read at every use, so a test can
// switch roots between cases.  Folders are made on demand with mode 0700.
#pragma once

#include <string>

namespace posix {

std::string Root();
// <root>/<sub>, created (with the root) when missing; empty on failure with
// the Win32 error set (3 path not found, 5 access denied).
std::string RootDir(const std::string& sub);
// Creates every missing folder of `path` with mode 0700; false on failure.
bool MakeDirs(const std::string& path);
// Sets the Win32 last error from an errno value.
void SetErrorFromErrno(int error);

}  // namespace posix
