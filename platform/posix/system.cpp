// system.cpp - process-wide basics of the POSIX backend: the last-error value,
// the process-wide barrier, sleeping and clocks, stop requests, the version
// probe, starting programs and files by Win32 path.
//
// Lock rules: none of this file's state needs a lock but the page of the
// barrier without membarrier, which its own lock guards.  The last error is
// per thread, the version seam and the stop flag are lock-free atomics (the
// stop flag is written from a signal handler), and every other function works
// on its arguments only.
#include <errno.h>
#include <fcntl.h>
#include <linux/membarrier.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/root.h"

extern char** environ;

namespace win {

namespace {
// Win32 keeps the last error per thread; so does this stand-in.
thread_local DWORD t_last_error = 0;
}  // namespace

DWORD GetLastError() { return t_last_error; }
void SetLastError(DWORD error) { t_last_error = error; }

void FlushProcessWriteBuffers() {
  // The kernel interrupts every CPU that runs a thread of this process; a
  // thread that does not run has passed a barrier in its last switch.  Kernels
  // without membarrier get the same from the shootdown of a TLB entry that
  // every CPU running this process may hold, as a change of a present page's
  // protection makes it.
  static const bool expedited =
      syscall(SYS_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
  if (expedited && syscall(SYS_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) == 0) return;
  static std::mutex lock;
  static void* page = nullptr;
  const std::lock_guard guard(lock);
  const auto size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  if (page == nullptr) {
    void* made = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (made == MAP_FAILED) {
      // A full barrier of this thread at least (a locked instruction; a
      // fence of its own is not understood by the thread sanitizer).
      static std::atomic<int> word{0};
      word.fetch_add(0, std::memory_order_seq_cst);
      return;
    }
    page = made;
  }
  *static_cast<volatile char*>(page) = 1;  // present, so that its entry is flushed
  mprotect(page, size, PROT_READ);
  mprotect(page, size, PROT_READ | PROT_WRITE);
}

}  // namespace win

// ---- Sleeping, clocks, identity --------------------------------------------

int SysSleep(std::uint32_t ms) {
  timespec left{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
  // A signal must not cut the sleep short: callers pace retries by it.
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
  return 0;
}

std::uint32_t SysTickMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);  // wraps every 49.7 days, as GetTickCount does
}

std::uint32_t SysProcessId() { return static_cast<std::uint32_t>(getpid()); }

std::string PlatformRoot() { return posix::Root(); }

void PlatformSetRoot(const std::string& path) { setenv("QNAPI_ROOT", path.c_str(), 1); }

// ---- Stop requests -----------------------------------------------------------

namespace {

std::atomic<bool> g_stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

extern "C" void OnStopSignal(int) { g_stop_requested.store(true, std::memory_order_relaxed); }

}  // namespace

void SysInstallStopHandler() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  // Blocking calls elsewhere in the process are restarted rather than failed:
  // whoever waits for the stop flag polls it with a time-out.
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A parent (a shell script, a CI runner, a service manager) may have started
  // us with these signals blocked; a stop request must still get through.
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  pthread_sigmask(SIG_UNBLOCK, &stops, nullptr);
}

bool SysStopRequested() { return g_stop_requested.load(std::memory_order_relaxed); }

// Many systems start a process with a soft limit of 1024 open files and a far
// higher hard limit: the soft limit may be raised up to the hard one.
std::uint32_t SysRaiseHandleLimit(std::uint32_t wanted) {
  rlimit files{};
  if (getrlimit(RLIMIT_NOFILE, &files) != 0) return 0;
  if (files.rlim_cur < wanted) {
    rlimit raised = files;
    raised.rlim_cur = files.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, files.rlim_max);
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) files = raised;
  }
  return files.rlim_cur >= UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(files.rlim_cur);
}

// A program that ended but is not reaped yet (its waiter thread is about to)
// counts as gone.
bool SysProcessAlive(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return false;
  if (kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%u/stat", pid);
  std::FILE* stat_file = std::fopen(path, "re");
  if (stat_file == nullptr) return true;  // no /proc: trust kill()
  char line[512] = {};
  const bool read = std::fgets(line, sizeof line, stat_file) != nullptr;
  std::fclose(stat_file);
  const char* close_paren = read ? std::strrchr(line, ')') : nullptr;
  if (close_paren == nullptr || close_paren[1] == '\0') return true;
  return close_paren[2] != 'Z' && close_paren[2] != 'X';
}

int SysProcessStop(std::uint32_t pid) {
  if (pid == 0 || pid > static_cast<std::uint32_t>(INT_MAX)) return -1;
  return kill(static_cast<pid_t>(pid), SIGTERM) == 0 ? 0 : -1;
}

namespace win {

// ---- Version probe -------------------------------------------------------------

namespace {

std::atomic<DWORD> g_platform_seam{0};

// Reads the decimal number at `pos` and moves past it and one following dot.
DWORD TakeNumber(std::string_view text, std::size_t& pos) {
  std::uint64_t value = 0;
  while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos])) != 0) {
    value = value * 10u + static_cast<unsigned>(text[pos] - '0');
    if (value > 0xFFFFFFFFu) value = 0xFFFFFFFFu;
    ++pos;
  }
  if (pos < text.size() && text[pos] == '.') ++pos;
  return static_cast<DWORD>(value);
}

}  // namespace

BOOL GetVersionExA(OSVERSIONINFOA* info) {
  constexpr DWORD kExtendedSize = 156;  // OSVERSIONINFOEXA
  if (info == nullptr ||
      (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) &&
       info->dwOSVersionInfoSize != kExtendedSize)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  utsname name{};
  if (uname(&name) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const std::string_view release(name.release);
  std::size_t pos = 0;
  info->dwMajorVersion = TakeNumber(release, pos);
  info->dwMinorVersion = TakeNumber(release, pos);
  info->dwBuildNumber = TakeNumber(release, pos);
  const DWORD seam = g_platform_seam.load();
  info->dwPlatformId = seam != 0 ? seam : 2;
  std::memset(info->szCSDVersion, 0, sizeof info->szCSDVersion);
  if (info->dwOSVersionInfoSize == kExtendedSize) {
    // Service pack, suite and product fields of the extended record: none.
    std::memset(reinterpret_cast<unsigned char*>(info) + sizeof(OSVERSIONINFOA), 0,
                kExtendedSize - sizeof(OSVERSIONINFOA));
  }
  return 1;
}

void SetVersionPlatformSeam(DWORD platform_id) { g_platform_seam.store(platform_id); }

// ---- Files by Win32 path -------------------------------------------------------

namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool HasDrive(const char* path) {
  return std::isalpha(static_cast<unsigned char>(path[0])) != 0 && path[1] == ':';
}

// The folder a drive letter stands for, made on demand: a drive exists as on
// Windows, the folders in it only when someone made them.
bool EnsureDrive(const char* path) {
  if (!HasDrive(path)) return true;
  const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
  return !posix::RootDir(std::string("drive/") + letter).empty();
}

// Host path for a file function, or empty with the Win32 error set.
std::string HostPathFor(const char* path) {
  if (path == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    errno = EINVAL;
    return {};
  }
  std::string host = HostPath(path);
  if (host.empty()) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    errno = ENOENT;
    return {};
  }
  if (!EnsureDrive(path)) {
    errno = ENOENT;
    return {};
  }
  return host;
}

void Fail(int error) {
  posix::SetErrorFromErrno(error);
  errno = error;
}

// As Fail, for a call on `host`: a missing folder on the way is "path not
// found" (3) rather than "file not found" (2), as Windows tells them apart.
void FailOn(const std::string& host, int error) {
  Fail(error);
  if (error != ENOENT) return;
  const std::size_t slash = host.rfind('/');
  if (slash == std::string::npos || slash == 0) return;
  struct stat st {};
  if (stat(host.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
    SetLastError(ERROR_PATH_NOT_FOUND);
  errno = error;
}

}  // namespace

std::string HostPath(const char* path) {
  if (path == nullptr || path[0] == '\0') return {};
  if (!HasDrive(path)) {
    std::string host(path);
    for (char& c : host)
      if (c == '\\') c = '/';
    return host;
  }
  // Drive path: rebuild it component by component so that "." and ".." are
  // resolved here and can never climb out of the drive's folder.
  std::vector<std::string> parts;
  const char* p = path + 2;
  while (*p != '\0') {
    while (IsSeparator(*p)) ++p;
    const char* start = p;
    while (*p != '\0' && !IsSeparator(*p)) ++p;
    std::string part(start, p);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (parts.empty()) return {};
      parts.pop_back();
      continue;
    }
    for (char& c : part) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    parts.push_back(std::move(part));
  }
  std::string host = posix::Root() + "/drive/";
  host += static_cast<char>(std::tolower(static_cast<unsigned char>(path[0])));
  for (const auto& part : parts) host += "/" + part;
  return host;
}

int _access(const char* path, int mode) {
  if ((mode & ~6) != 0) {
    Fail(EINVAL);
    return -1;
  }
  const std::string host = HostPathFor(path);
  if (host.empty()) return -1;
  int how = F_OK;
  if ((mode & 2) != 0) how |= W_OK;
  if ((mode & 4) != 0) how |= R_OK;
  if (::access(host.c_str(), how) != 0) {
    FailOn(host, errno);
    return -1;
  }
  return 0;
}

std::FILE* fopen(const char* path, const char* mode) {
  if (mode == nullptr || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) {
    Fail(EINVAL);
    return nullptr;
  }
  const std::string host = HostPathFor(path);
  if (host.empty()) return nullptr;
  // Keep the access letter and '+'; "b" and "t" mean nothing here.  The
  // stream is close-on-exec so started programs do not inherit it.
  std::string posix_mode(1, mode[0]);
  if (std::strchr(mode, '+') != nullptr) posix_mode += '+';
  posix_mode += 'e';
  std::FILE* file = std::fopen(host.c_str(), posix_mode.c_str());
  if (file == nullptr) FailOn(host, errno);
  return file;
}

int _open(const char* path, int flags, int permission) {
  int posix_flags = O_CLOEXEC;
  switch (flags & 3) {
    case O_RDONLY_: posix_flags |= O_RDONLY; break;
    case O_WRONLY_: posix_flags |= O_WRONLY; break;
    case O_RDWR_: posix_flags |= O_RDWR; break;
    default:
      Fail(EINVAL);
      return -1;
  }
  if ((flags & O_CREAT_) != 0) posix_flags |= O_CREAT;
  if ((flags & O_TRUNC_) != 0) posix_flags |= O_TRUNC;
  if ((flags & O_EXCL_) != 0) posix_flags |= O_EXCL;
  const std::string host = HostPathFor(path);
  if (host.empty()) return -1;
  // The CRT's _S_IREAD / _S_IWRITE are 0400 / 0200, the owner bits here.
  const int fd = ::open(host.c_str(), posix_flags, static_cast<mode_t>(permission & 0777));
  if (fd < 0) FailOn(host, errno);
  return fd;
}

int _read(int fd, void* buffer, unsigned count) {
  const std::size_t want = count > INT_MAX ? INT_MAX : count;
  ssize_t got;
  do {
    got = ::read(fd, buffer, want);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<int>(got);
}

int _write(int fd, const void* buffer, unsigned count) {
  const std::size_t want = count > INT_MAX ? INT_MAX : count;
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  std::size_t done = 0;
  // Files take everything they can; a short count means the disk is full.
  while (done < want) {
    const ssize_t put = ::write(fd, bytes + done, want - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      if (done == 0) {
        Fail(put < 0 ? errno : ENOSPC);
        return -1;
      }
      break;
    }
    done += static_cast<std::size_t>(put);
  }
  return static_cast<int>(done);
}

long _lseek(int fd, long offset, int origin) {
  int whence;
  switch (origin) {
    case 0: whence = SEEK_SET; break;
    case 1: whence = SEEK_CUR; break;
    case 2: whence = SEEK_END; break;
    default:
      Fail(EINVAL);
      return -1;
  }
  const off_t at = ::lseek(fd, static_cast<off_t>(offset), whence);
  if (at < 0) {
    Fail(errno);
    return -1;
  }
  return static_cast<long>(at);
}

int _close(int fd) {
  if (::close(fd) != 0) {
    Fail(errno);
    return -1;
  }
  return 0;
}

int _mkdir(const char* path) {
  const std::string host = HostPathFor(path);
  if (host.empty()) return -1;
  if (::mkdir(host.c_str(), 0700) != 0) {
    FailOn(host, errno);
    return -1;
  }
  return 0;
}

int _unlink(const char* path) {
  const std::string host = HostPathFor(path);
  if (host.empty()) return -1;
  if (::unlink(host.c_str()) != 0) {
    FailOn(host, errno);
    return -1;
  }
  return 0;
}

// ---- Starting programs ---------------------------------------------------------

namespace {

std::vector<std::string> SplitAtBlanks(const char* text) {
  std::vector<std::string> tokens;
  if (text == nullptr) return tokens;
  const char* p = text;
  while (*p != '\0') {
    while (*p == ' ' || *p == '\t') ++p;
    const char* start = p;
    while (*p != '\0' && *p != ' ' && *p != '\t') ++p;
    if (p != start) tokens.emplace_back(start, p);
  }
  return tokens;
}

// A Win32 environment block ("A=1\0B=2\0\0") as an environment vector.
std::vector<std::string> SplitEnvironment(const char* block) {
  std::vector<std::string> entries;
  for (const char* p = block; *p != '\0'; p += std::strlen(p) + 1) entries.emplace_back(p);
  return entries;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  for (;;) {
    if (getcwd(buffer.data(), buffer.size()) != nullptr) return buffer.data();
    if (errno != ERANGE || buffer.size() > (1u << 20)) return {};
    buffer.resize(buffer.size() * 2);
  }
}

// Reaps a started program when it ends.  A waiter thread rather than a double
// fork: the program keeps being our child, so the process id we report is the
// program's own and stays valid (kill(pid, 0)) exactly while it runs.
void ReapWhenDone(pid_t pid) {
  try {
    std::thread([pid] {
      int status = 0;
      while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
  } catch (...) {
    // No thread to spare: the ended program stays a zombie until we exit.
  }
}

// The working folder of a program to start, absolute (the child changes
// into it): 0, or the error.  No folder given: the caller's own.
DWORD WorkingFolder(const char* directory, std::string& cwd) {
  if (directory == nullptr || directory[0] == '\0') {
    cwd = CurrentDirectory();
    return 0;
  }
  cwd = HostPath(directory);
  if (cwd.empty() || !EnsureDrive(directory)) return ERROR_PATH_NOT_FOUND;
  if (cwd[0] != '/') cwd = CurrentDirectory() + "/" + cwd;
  struct stat st {};
  if (stat(cwd.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return ERROR_PATH_NOT_FOUND;
  return 0;
}

// The program's file as a host path: 0, or the error.  A relative program
// name is found from the caller's current directory, as Windows does, not
// from the folder the program is going to run in.
DWORD ProgramFile(std::string& program) {
  program = HostPath(program.c_str());
  if (program.empty()) return ERROR_PATH_NOT_FOUND;
  if (program[0] != '/') program = CurrentDirectory() + "/" + program;
  struct stat st {};
  if (stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return ERROR_FILE_NOT_FOUND;
  return 0;
}

// The spawn's file actions, destroyed with the scope.
struct SpawnActions {
  posix_spawn_file_actions_t actions;
  SpawnActions() { posix_spawn_file_actions_init(&actions); }
  ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
  SpawnActions(const SpawnActions&) = delete;
  SpawnActions& operator=(const SpawnActions&) = delete;
};

// Starts the program in `cwd` with `args` and the environment block (null:
// ours): 0 and its process id, or the errno of the spawn.
int Spawn(const std::string& program, std::vector<std::string>& args, const void* environment,
          const std::string& cwd, BOOL inherit_handles, pid_t* pid) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_entries;
  std::vector<char*> envp;
  char** env = environ;
  if (environment != nullptr) {
    env_entries = SplitEnvironment(static_cast<const char*>(environment));
    for (auto& e : env_entries) envp.push_back(e.data());
    envp.push_back(nullptr);
    env = envp.data();
  }
  SpawnActions spawn;
  posix_spawn_file_actions_addchdir_np(&spawn.actions, cwd.c_str());
  // Without inheritance the program gets only the standard streams: a link
  // the launcher holds must not stay open in the program after it closed it.
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  if (inherit_handles == 0) posix_spawn_file_actions_addclosefrom_np(&spawn.actions, 3);
#else
  (void)inherit_handles;  // every descriptor of ours is opened close-on-exec
#endif
  return posix_spawn(pid, program.c_str(), &spawn.actions, nullptr, argv.data(), env);
}

}  // namespace

BOOL CreateProcessA(const char* application, char* command_line, void* /*process_security*/,
                    void* /*thread_security*/, BOOL inherit_handles, DWORD /*flags*/,
                    void* environment, const char* directory, STARTUPINFOA* /*startup*/,
                    PROCESS_INFORMATION* info) {
  std::vector<std::string> args = SplitAtBlanks(command_line);
  std::string program = application != nullptr ? std::string(application)
                                               : (args.empty() ? std::string() : args.front());
  if (program.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (args.empty()) args.push_back(program);
  std::string cwd;
  DWORD failed = WorkingFolder(directory, cwd);
  if (failed == 0) failed = ProgramFile(program);
  if (failed != 0) {
    SetLastError(failed);
    return 0;
  }
  pid_t pid = -1;
  if (const int error = Spawn(program, args, environment, cwd, inherit_handles, &pid); error != 0) {
    Fail(error);
    return 0;
  }
  ReapWhenDone(pid);
  if (info != nullptr) {
    info->hProcess = 0;
    info->hThread = 0;
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = 0;
  }
  return 1;
}

}  // namespace win
