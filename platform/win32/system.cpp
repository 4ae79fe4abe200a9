// system.cpp - process-wide basics of the Win32 backend: the last error,
// sleeping and clocks, stop requests, other programs, the version probe, and
// files by Win32 path.
//
// Stop requests.  A console control event (Ctrl+C, Ctrl+Break, closing the
// console, log-off, shut-down) raises the stop flag, and so does the named
// event "QNAPI-STOP-<process id>" that SysInstallStopHandler creates: that is
// how SysProcessStop asks another program to stop, as SIGTERM does on POSIX.
// A program without the event (it installed no handler) is ended instead,
// which is what SIGTERM does to a program that does not handle it.
//
// Lock rules: none of this file's state needs a lock.  The stop flag is an
// atomic written from the console handler's thread, the stop event is made
// once under std::call_once and never closed, and the version seam is atomic.
#include "platform/win32/win32.h"

#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace win {

DWORD GetLastError() { return static_cast<DWORD>(::GetLastError()); }
void SetLastError(DWORD error) { ::SetLastError(error); }
void FlushProcessWriteBuffers() { ::FlushProcessWriteBuffers(); }

}  // namespace win

// ---- Sleeping, clocks, identity --------------------------------------------

int SysSleep(std::uint32_t ms) {
  Sleep(ms);
  return 0;
}

std::uint32_t SysTickMs() {
  return static_cast<std::uint32_t>(GetTickCount64());  // wraps as GetTickCount does
}

std::uint32_t SysProcessId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

// Named objects live in the object folder of the session, not in a folder of
// files; this names it for the server's log.
std::string PlatformRoot() {
  ::DWORD session = 0;
  if (!ProcessIdToSessionId(GetCurrentProcessId(), &session)) return "\\BaseNamedObjects";
  return "\\Sessions\\" + std::to_string(session) + "\\BaseNamedObjects";
}

// Every program of a Windows session shares one object namespace: there is
// no private world to switch to.
void PlatformSetRoot(const std::string&) {}

// ---- Stop requests -----------------------------------------------------------

namespace {

// A program asked to stop that did not install a handler ends with the code
// a shell reports for a program ended by SIGTERM.
constexpr UINT kStoppedExitCode = 143;
// After a close, log-off or shut-down event the system ends the process once
// the handler returns; this much time is left to the program to stop cleanly.
constexpr ::DWORD kCloseGraceMs = 4000;

std::atomic<bool> g_stop_requested{false};
std::atomic<bool> g_handler_installed{false};
std::once_flag g_stop_event_once;
HANDLE g_stop_event = nullptr;

std::string StopEventName(std::uint32_t pid) { return "QNAPI-STOP-" + std::to_string(pid); }

BOOL WINAPI OnConsoleEvent(::DWORD type) {
  g_stop_requested.store(true);
  switch (type) {
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      Sleep(kCloseGraceMs);
      return TRUE;
    default:
      return TRUE;
  }
}

}  // namespace

namespace win32 {

bool RequestStop() {
  if (!g_handler_installed.load()) return false;
  g_stop_requested.store(true);
  return true;
}

}  // namespace win32

void SysInstallStopHandler() {
  std::call_once(g_stop_event_once, [] {
    g_stop_event = CreateEventA(nullptr, TRUE, FALSE, StopEventName(SysProcessId()).c_str());
  });
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
  g_handler_installed.store(true);
}

bool SysStopRequested() {
  if (g_stop_requested.load()) return true;
  if (g_stop_event != nullptr && WaitForSingleObject(g_stop_event, 0) == WAIT_OBJECT_0) {
    g_stop_requested.store(true);
    return true;
  }
  return false;
}

// Windows keeps no per-process limit this low on kernel handles.
std::uint32_t SysRaiseHandleLimit(std::uint32_t wanted) { return wanted; }

bool SysProcessAlive(std::uint32_t pid) {
  if (pid == 0) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;  // there, not ours
  const bool alive = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return alive;
}

int SysProcessStop(std::uint32_t pid) {
  if (pid == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, StopEventName(pid).c_str())) {
    const BOOL set = SetEvent(event);
    CloseHandle(event);
    return set ? 0 : -1;
  }
  HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid);
  if (process == nullptr) return -1;
  const BOOL ended = TerminateProcess(process, kStoppedExitCode);
  CloseHandle(process);
  return ended ? 0 : -1;
}

namespace win {

// ---- Version probe -------------------------------------------------------------

namespace {

std::atomic<DWORD> g_platform_seam{0};

static_assert(sizeof(::OSVERSIONINFOA) == sizeof(OSVERSIONINFOA));
static_assert(sizeof(::OSVERSIONINFOEXA) == 156);

}  // namespace

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  if (info == nullptr) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // The record the caller gave: the plain one or the extended one.
  const DWORD size = info->dwOSVersionInfoSize;
  if (size != sizeof(::OSVERSIONINFOA) && size != sizeof(::OSVERSIONINFOEXA)) {
    ::SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  ::OSVERSIONINFOEXA real{};
  real.dwOSVersionInfoSize = size;
  if (!::GetVersionExA(reinterpret_cast<::OSVERSIONINFOA*>(&real))) return 0;
  info->dwMajorVersion = static_cast<DWORD>(real.dwMajorVersion);
  info->dwMinorVersion = static_cast<DWORD>(real.dwMinorVersion);
  info->dwBuildNumber = static_cast<DWORD>(real.dwBuildNumber);
  info->dwPlatformId = static_cast<DWORD>(real.dwPlatformId);
  std::memcpy(info->szCSDVersion, real.szCSDVersion, sizeof info->szCSDVersion);
  if (size == sizeof(::OSVERSIONINFOEXA)) {
    // The caller's record is the extended one: its tail follows ours.
    std::memcpy(reinterpret_cast<unsigned char*>(info) + sizeof(OSVERSIONINFOA),
                reinterpret_cast<const unsigned char*>(&real) + sizeof(::OSVERSIONINFOA),
                sizeof(::OSVERSIONINFOEXA) - sizeof(::OSVERSIONINFOA));
  }
  const DWORD seam = g_platform_seam.load();
  if (seam != 0) info->dwPlatformId = seam;
  return 1;
}

void SetVersionPlatformSeam(DWORD platform_id) { g_platform_seam.store(platform_id); }

// ---- Files by Win32 path -------------------------------------------------------

namespace {

// The Win32 error of a failed run-time call: the system's, when the run-time
// library got one, else the nearest one to errno.
void NoteRuntimeError() {
  const unsigned long system_error = _doserrno;
  if (system_error != 0) {
    ::SetLastError(system_error);
    return;
  }
  switch (errno) {
    case ENOENT: ::SetLastError(ERROR_FILE_NOT_FOUND); break;
    case EACCES: ::SetLastError(ERROR_ACCESS_DENIED); break;
    case EEXIST: ::SetLastError(ERROR_ALREADY_EXISTS); break;
    case EBADF: ::SetLastError(ERROR_INVALID_HANDLE); break;
    case ENOMEM: ::SetLastError(ERROR_NOT_ENOUGH_MEMORY); break;
    case EMFILE: ::SetLastError(ERROR_TOO_MANY_OPEN_FILES); break;
    default: ::SetLastError(ERROR_INVALID_PARAMETER); break;
  }
}

void Refuse() {
  errno = EINVAL;
  ::SetLastError(ERROR_INVALID_PARAMETER);
}

template <typename Result>
Result Checked(Result result, Result failure) {
  if (result == failure) NoteRuntimeError();
  return result;
}

}  // namespace

std::string HostPath(const char* path) { return path != nullptr ? std::string(path) : std::string(); }

int _access(const char* path, int mode) {
  if (path == nullptr || (mode & ~6) != 0) {
    Refuse();
    return -1;
  }
  _doserrno = 0;
  return Checked(::_access(path, mode), -1);
}

std::FILE* fopen(const char* path, const char* mode) {
  // The run-time library takes a bad mode for a programming error; here it is
  // an ordinary failure.
  if (path == nullptr || mode == nullptr || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
    Refuse();
    return nullptr;
  }
  _doserrno = 0;
  return Checked<std::FILE*>(std::fopen(path, mode), nullptr);
}

int _open(const char* path, int flags, int permission) {
  static_assert(O_RDONLY_ == _O_RDONLY && O_WRONLY_ == _O_WRONLY && O_RDWR_ == _O_RDWR &&
                O_CREAT_ == _O_CREAT && O_TRUNC_ == _O_TRUNC && O_EXCL_ == _O_EXCL &&
                O_BINARY_ == _O_BINARY);
  if (path == nullptr || (flags & 3) == 3) {
    Refuse();
    return -1;
  }
  // POSIX-style owner bits (0400 read, 0200 write) are the run-time
  // library's _S_IREAD and _S_IWRITE.
  const int mode = ((permission & 0400) != 0 ? _S_IREAD : 0) | ((permission & 0200) != 0 ? _S_IWRITE : 0);
  _doserrno = 0;
  return Checked(::_open(path, flags, mode), -1);
}

int _read(int fd, void* buffer, unsigned count) {
  _doserrno = 0;
  return Checked(::_read(fd, buffer, count), -1);
}

int _write(int fd, const void* buffer, unsigned count) {
  _doserrno = 0;
  return Checked(::_write(fd, buffer, count), -1);
}

long _lseek(int fd, long offset, int origin) {
  _doserrno = 0;
  return Checked(::_lseek(fd, offset, origin), -1L);
}

int _close(int fd) {
  _doserrno = 0;
  return Checked(::_close(fd), -1);
}

int _mkdir(const char* path) {
  if (path == nullptr) {
    Refuse();
    return -1;
  }
  _doserrno = 0;
  return Checked(::_mkdir(path), -1);
}

int _unlink(const char* path) {
  if (path == nullptr) {
    Refuse();
    return -1;
  }
  _doserrno = 0;
  return Checked(::_unlink(path), -1);
}

// ---- Starting programs ---------------------------------------------------------

BOOL CreateProcessA(const char* application, char* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const char* directory, STARTUPINFOA* startup, PROCESS_INFORMATION* info) {
  ::STARTUPINFOA real_startup{};
  real_startup.cb = sizeof real_startup;
  if (startup != nullptr) {
    real_startup.dwFlags = startup->dwFlags;
    real_startup.wShowWindow = startup->wShowWindow;
  }
  ::PROCESS_INFORMATION started{};
  // An empty folder is the caller's own, as everywhere else in the layer.
  const char* folder = directory != nullptr && directory[0] != '\0' ? directory : nullptr;
  if (!::CreateProcessA(application, command_line,
                        static_cast<LPSECURITY_ATTRIBUTES>(process_security),
                        static_cast<LPSECURITY_ATTRIBUTES>(thread_security),
                        inherit_handles != 0 ? TRUE : FALSE, flags, environment, folder,
                        &real_startup, &started))
    return 0;
  // Programs are known by their process id (SysProcessAlive, SysProcessStop);
  // the handles would only leak, since no caller closes them.
  ::CloseHandle(started.hThread);
  ::CloseHandle(started.hProcess);
  if (info != nullptr) {
    info->hProcess = 0;
    info->hThread = 0;
    info->dwProcessId = static_cast<DWORD>(started.dwProcessId);
    info->dwThreadId = static_cast<DWORD>(started.dwThreadId);
  }
  return 1;
}

}  // namespace win
