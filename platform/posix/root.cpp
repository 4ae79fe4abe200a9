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
  std::string partial;
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    partial = path.substr(0, pos);
    if (partial.empty()) continue;
    if (mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      SetErrorFromErrno(errno);
      return false;
    }
  }
  return true;
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
