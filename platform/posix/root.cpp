#include "platform/posix/root.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/platform.h"

namespace posix {

std::string Root() {
  if (const char* env = std::getenv("QNAPI_ROOT"); env != nullptr && env[0] != '\0') return env;
  const std::string uid = std::to_string(getuid());
  struct stat st {};
  if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode)) return "/dev/shm/qnapi-" + uid;
  return "/tmp/qnapi-" + uid;
}

bool MakeDirs(const std::string& path) {
  if (path.empty()) return true;
  // Mostly the folder is there already: one call then, not one per level.
  if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  if (errno == ENOENT) {
    const std::size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && slash != 0) {
      if (!MakeDirs(path.substr(0, slash))) return false;
      if (mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
    }
  }
  SetErrorFromErrno(errno);
  return false;
}

std::string RootDir(const std::string& sub) {
  std::string dir = Root();
  if (!sub.empty()) dir += "/" + sub;
  if (!MakeDirs(dir)) return {};
  return dir;
}

void SetErrorFromErrno(int error) {
  win::DWORD code = win::ERROR_INVALID_PARAMETER;
  switch (error) {
    case ENOENT: code = win::ERROR_FILE_NOT_FOUND; break;
    case ENOTDIR: code = win::ERROR_PATH_NOT_FOUND; break;
    case EACCES:
    case EPERM: code = win::ERROR_ACCESS_DENIED; break;
    case EBADF: code = win::ERROR_INVALID_HANDLE; break;
    case ENOMEM: code = win::ERROR_NOT_ENOUGH_MEMORY; break;
    case EMFILE:
    case ENFILE: code = win::ERROR_TOO_MANY_OPEN_FILES; break;
    case EEXIST: code = win::ERROR_ALREADY_EXISTS; break;
    case ENAMETOOLONG: code = win::ERROR_FILENAME_EXCED_RANGE; break;
    case EPIPE:
    case ECONNRESET: code = win::ERROR_NO_DATA; break;
    case ENOTCONN: code = win::ERROR_PIPE_NOT_CONNECTED; break;
    case ECONNREFUSED: code = win::ERROR_FILE_NOT_FOUND; break;
    case EAGAIN: code = win::ERROR_PIPE_BUSY; break;
    default: break;
  }
  win::SetLastError(code);
}

}  // namespace posix
