// Process-wide basics: errors, sleeps, stops, programs, files by Win32 path.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "closer.h"
#include "other.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using System = qt::RootedTest;

using namespace std::chrono_literals;
namespace fs = std::filesystem;

#ifndef _WIN32
constexpr int kCreate = win::O_RDWR_ | win::O_CREAT_;

void WriteFile(const std::string& path, const std::string& text, bool executable = false) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
  if (executable) fs::permissions(path, fs::perms::owner_all);
}
#endif

TEST_F(System, LastErrorIsKeptPerThread) {
  // Starting and joining a thread may reset the value of the caller (on
  // Windows they do), so each side sets its own while the other spins.
  std::atomic<int> step{0};
  win::DWORD initial_in_thread = 1, seen_in_thread = 0;
  std::thread other([&] {
    initial_in_thread = win::GetLastError();
    while (step.load() != 1) {
    }
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    step = 2;
    while (step.load() != 3) {
    }
    seen_in_thread = win::GetLastError();
  });
  win::SetLastError(win::ERROR_ACCESS_DENIED);
  step = 1;
  while (step.load() != 2) {
  }
  const win::DWORD mine = win::GetLastError();
  step = 3;
  other.join();
  EXPECT_EQ(initial_in_thread, 0u);
  EXPECT_EQ(seen_in_thread, win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(mine, win::ERROR_ACCESS_DENIED);
}

TEST_F(System, SysSleepSleepsTheWholeTimeAndTheTickFollows) {
  const std::uint32_t tick0 = SysTickMs();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SysSleep(60), 0);
  const auto slept = std::chrono::steady_clock::now() - start;
  const std::uint32_t ticks = SysTickMs() - tick0;
  EXPECT_GE(slept, 60ms);
  EXPECT_GE(ticks, 40u);  // whole milliseconds, in steps of up to 16 on Windows
  EXPECT_LT(ticks, 10000u);
}

#ifndef _WIN32  // signals, and a root of files
TEST_F(System, SysSleepSignalsDoNotCutItShort) {
  const Interrupts interrupts;
  std::atomic<bool> done{false};
  std::thread poker([&, sleeper = pthread_self()] { Interrupts::Until(sleeper, done); });
  const auto start = std::chrono::steady_clock::now();
  SysSleep(300);
  const auto slept = std::chrono::steady_clock::now() - start;
  done = true;
  poker.join();
  EXPECT_GE(slept, 300ms);
}

#endif

// Installs the stop handler and ends with 7 once a stop request came.
PT_BODY(stop_handler) {
  if (SysStopRequested()) return 2;
  SysInstallStopHandler();
  pt::Ready();
  for (int i = 0; i < 6000 && !SysStopRequested(); ++i) SysSleep(10);
  return SysStopRequested() ? 7 : 1;
}

PT_BODY(sleeper) {
  pt::Ready();
  return pt::Hold();
}

// A program with a stop handler sees a stop request and ends on its own; one
// without is ended as SIGTERM ends it.  An ended program, reaped or not, is
// not alive.
TEST_F(System, StopRequestsEndAProgramThroughItsHandlerOrAtOnce) {
  for (const std::string body : {"stop_handler", "sleeper"}) {
    SCOPED_TRACE(body);
    pt::Other other(body);
    ASSERT_TRUE(other.WaitReady());
    EXPECT_TRUE(SysProcessAlive(other.pid()));
    EXPECT_EQ(SysProcessStop(other.pid()), 0);
    EXPECT_TRUE(qt::WaitFor([&] { return !SysProcessAlive(other.pid()); }, 20s));
    EXPECT_EQ(other.Wait(), body == "sleeper" ? 143 : 7);
  }
  EXPECT_FALSE(SysProcessAlive(0));
  EXPECT_EQ(SysProcessStop(0), -1);
#ifndef _WIN32
  pt::Other interrupted("stop_handler");
  ASSERT_TRUE(interrupted.WaitReady());
  kill(static_cast<pid_t>(interrupted.pid()), SIGINT);
  EXPECT_EQ(interrupted.Wait(), 7);
#endif
}

#ifdef _WIN32
extern "C" __declspec(dllimport) unsigned long __stdcall GetModuleFileNameA(void*, char*,
                                                                           unsigned long);
#endif

std::string ThisProgram() {
#ifdef _WIN32
  char path[520] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  return path;
#else
  return fs::read_symlink("/proc/self/exe").string();
#endif
}

// A started program is known by its id alone, and a missing one is not started.
TEST_F(System, CreateProcessAStartsAProgramKnownByItsId) {
  std::string command = ThisProgram() + " --gtest_list_tests --gtest_filter=none";
  win::PROCESS_INFORMATION info{};
  info.hProcess = 77;
  ASSERT_EQ(win::CreateProcessA(nullptr, command.data(), nullptr, nullptr, 0, 0, nullptr, nullptr,
                                nullptr, &info),
            1);
  EXPECT_NE(info.dwProcessId, 0u);
  EXPECT_EQ(info.hProcess, 0u);
  EXPECT_TRUE(qt::WaitFor([&] { return !SysProcessAlive(info.dwProcessId); }, 30s));
  char missing[] = "C:\\qna-no-such-folder\\QUONIX.EXE";
  info = {};
  win::SetLastError(0);
  EXPECT_EQ(win::CreateProcessA(nullptr, missing, nullptr, nullptr, 0, 0, nullptr, nullptr,
                                nullptr, &info),
            0);
  EXPECT_NE(win::GetLastError(), 0u);
  EXPECT_EQ(info.dwProcessId, 0u);
}

// Both sizes of the record are filled (a base record: the kernel's version,
// no service pack), nothing past them; other sizes are refused.
TEST_F(System, GetVersionExAFillsBothRecordSizesAndRefusesOthers) {
  win::OSVERSIONINFOA base;
  std::memset(&base, 0x5A, sizeof base);
  base.dwOSVersionInfoSize = 148;
  ASSERT_EQ(win::GetVersionExA(&base), 1);
  EXPECT_EQ(base.dwPlatformId, 2u);
#ifndef _WIN32
  EXPECT_EQ(base.szCSDVersion[0], '\0');
  EXPECT_EQ(base.dwOSVersionInfoSize, 148u);
  utsname name{};
  unsigned major = 0, minor = 0;
  ASSERT_EQ(uname(&name), 0);
  ASSERT_EQ(std::sscanf(name.release, "%u.%u", &major, &minor), 2);
  EXPECT_EQ(base.dwMajorVersion, major);
  EXPECT_EQ(base.dwMinorVersion, minor);
#endif
  unsigned char record[160];
  std::memset(record, 0x5A, sizeof record);
  const win::DWORD size = 156;
  std::memcpy(record, &size, sizeof size);
  auto* info = reinterpret_cast<win::OSVERSIONINFOA*>(record);
  ASSERT_EQ(win::GetVersionExA(info), 1);
  EXPECT_EQ(info->dwPlatformId, 2u);
#ifdef _WIN32
  EXPECT_NE(record[154], 0x5A);  // wProductType, which Windows fills in
#else
  for (int i = 148; i < 156; ++i) EXPECT_EQ(record[i], 0) << i;  // no service pack
#endif
  for (int i = 156; i < 160; ++i) EXPECT_EQ(record[i], 0x5A) << i;  // beyond the record

#ifdef _WIN32
  constexpr win::DWORD kWrongSize = 122;  // ERROR_INSUFFICIENT_BUFFER, as Windows says it
#else
  constexpr win::DWORD kWrongSize = win::ERROR_INVALID_PARAMETER;
#endif
  for (const win::DWORD wrong : {0u, 147u, 149u, 155u, 157u, 284u, 0xFFFFFFFFu}) {
    win::OSVERSIONINFOA other{};
    other.dwOSVersionInfoSize = wrong;
    win::SetLastError(0);
    EXPECT_EQ(win::GetVersionExA(&other), 0) << wrong;
    EXPECT_EQ(win::GetLastError(), kWrongSize) << wrong;
  }
  EXPECT_EQ(Failed(win::GetVersionExA(nullptr) != 0), win::ERROR_INVALID_PARAMETER);
}

// A folder for the file tests by Win32 path: on drive C: of the root here, in
// the current folder on Windows.
class Files : public qt::RootedTest {
 protected:
  void SetUp() override { ASSERT_EQ(win::_mkdir(folder_.c_str()), 0); }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(win::HostPath(folder_.c_str()), ignored);
  }
  std::string In(const std::string& name) const { return folder_ + "\\" + name; }

#ifdef _WIN32
  std::string folder_ = "qnatest-files-" + std::to_string(SysProcessId());
#else
  std::string folder_ = "C:\\Files";
#endif
};

TEST_F(Files, DescriptorsAndStreamsWorkInAnyCase) {
  const std::string path = In("Data.Bin");
  const int flags = win::O_RDWR_ | win::O_CREAT_ | win::O_TRUNC_ | win::O_BINARY_;
  const int fd = win::_open(path.c_str(), flags, 0600);
  ASSERT_GE(fd, 0);
#ifndef _WIN32
  EXPECT_NE(fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
#endif
  EXPECT_EQ(win::_write(fd, "line\n12345", 10), 10);
  EXPECT_EQ(win::_lseek(fd, 0, 1), 10);
  EXPECT_EQ(win::_lseek(fd, 5, 0), 5);
  char buffer[16] = {};
  EXPECT_EQ(win::_read(fd, buffer, 3), 3);
  EXPECT_STREQ(buffer, "123");
  EXPECT_EQ(win::_lseek(fd, -2, 2), 8);
  EXPECT_EQ(win::_read(fd, buffer, 8), 2);
  EXPECT_EQ(win::_read(fd, buffer, 8), 0);  // end of file
#ifndef _WIN32  // the Windows run-time library takes it for a programming error
  EXPECT_EQ(Failed(win::_lseek(fd, 0, 3) != -1), win::ERROR_INVALID_PARAMETER);
#endif
  EXPECT_EQ(win::_close(fd), 0);
  EXPECT_EQ(win::_read(fd, buffer, 1), -1);  // closed
  EXPECT_EQ(win::_close(fd), -1);
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(stat(win::HostPath(path.c_str()).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif

  // Binary mode keeps "\n", and the case of a path does not matter.
  EXPECT_EQ(win::_access(In("DATA.BIN").c_str(), 0), 0);
  std::FILE* in = win::fopen(In("data.bin").c_str(), "rb");
  ASSERT_NE(in, nullptr);
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(std::fread(buffer, 1, sizeof buffer, in), 10u);
  std::fclose(in);
  EXPECT_STREQ(buffer, "line\n12345");

  errno = 0;
  EXPECT_EQ(win::_open(path.c_str(), win::O_WRONLY_ | win::O_CREAT_ | win::O_EXCL_), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(Failed(win::_open(In("other.bin").c_str(), win::O_RDWR_) != -1),
            win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Failed(win::_open(path.c_str(), 3) != -1), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Failed(win::fopen(path.c_str(), "q") != nullptr), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::fopen(nullptr, "rb"), nullptr);
  EXPECT_EQ(win::_access(nullptr, 0), -1);
  EXPECT_EQ(win::HostPath(nullptr), "");
  EXPECT_EQ(win::_unlink(In("data.BIN").c_str()), 0);
  EXPECT_EQ(Failed(win::_access(path.c_str(), 0) != -1), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Failed(win::_unlink(path.c_str()) != -1), win::ERROR_FILE_NOT_FOUND);
}

// Folders are made one at a time, and nothing is made in a missing one.
TEST_F(Files, NeedExistingFolders) {
  EXPECT_EQ(Failed(win::_open(In("no\\such.txt").c_str(), win::O_RDWR_ | win::O_CREAT_) != -1),
            win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(win::fopen(In("no\\such.txt").c_str(), "wb") != nullptr),
            win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(win::_mkdir(In("No\\Sub").c_str()) != -1), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(win::HostPath(In("no").c_str())));
  EXPECT_EQ(win::_mkdir(In("No").c_str()), 0);
  EXPECT_EQ(win::_mkdir(In("NO\\sub").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(win::HostPath(In("no\\sub").c_str())));
  errno = 0;
  EXPECT_EQ(Failed(win::_mkdir(In("no").c_str()) != -1), win::ERROR_ALREADY_EXISTS);
  EXPECT_EQ(errno, EEXIST);
}

#ifndef _WIN32  // drive letters map into the root; Windows has its own
TEST_F(System, HostPathMapsWin32Paths) {
  const std::string r = root.path();
  struct Case {
    const char* win32;
    std::string host;  // empty: refused
  };
  const Case cases[] = {
      {"C:\\Quonix\\Usr\\Bob\\smemcmnt.bin", r + "/drive/c/quonix/usr/bob/smemcmnt.bin"},
      {"c:\\RAVOWLD\\USR\\PLANT\\PLANT.TAG", r + "/drive/c/ravowld/usr/plant/plant.tag"},
      {"D:/Mixed\\Separators/File.Txt", r + "/drive/d/mixed/separators/file.txt"},
      {"E:\\a\\\\b\\.\\c\\", r + "/drive/e/a/b/c"},
      {"C:\\a\\..\\b", r + "/drive/c/b"},
      {"C:\\a\\b\\..\\..\\c", r + "/drive/c/c"},
      {"C:", r + "/drive/c"},
      {"C:\\", r + "/drive/c"},
      {"Z:file", r + "/drive/z/file"},
      {"C:\\..", ""},
      {"C:\\..\\etc\\passwd", ""},
      {"C:\\a\\..\\..\\x", ""},
      {"c:/quonix/../../x", ""},
      {"relative\\Dir\\File.TXT", "relative/Dir/File.TXT"},
      {"/abs/Path\\Name", "/abs/Path/Name"},
      {"..\\up", "../up"},
      {"QUONIX.EXE", "QUONIX.EXE"},
      {"1:\\x", "1:/x"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(win::HostPath(c.win32), c.host) << c.win32;
  EXPECT_EQ(win::HostPath(nullptr), "");
}

// Paths that would leave the drive's folder are refused, and nothing is made.
TEST_F(Files, PathsOutsideTheDriveAreRefused) {
  EXPECT_EQ(Failed(win::_access("C:\\..\\escape", 0) != -1), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(win::fopen("C:\\..\\escape", "wb") != nullptr), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(win::_open("C:\\..\\escape", kCreate) != -1), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(win::_mkdir("C:\\..\\outside") != -1), win::ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(Failed(win::_unlink("C:\\..\\x") != -1), win::ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(fs::exists(root.path() + "/drive/escape"));
  EXPECT_FALSE(fs::exists(root.path() + "/drive/outside"));
}

// Records its working folder and arguments in out.txt of its working folder;
// written under another name first so the test never reads half a file.
constexpr const char* kScript =
    "#!/bin/sh\n"
    "pwd > out.tmp\n"
    "echo \"$#:$1:$2\" >> out.tmp\n"
    "ls /proc/$$/fd >> out.tmp\n"
    "mv out.tmp out.txt\n";

win::STARTUPINFOA Startup(win::WORD show) {
  win::STARTUPINFOA startup{};
  startup.cb = 68;
  startup.dwFlags = win::STARTF_USESHOWWINDOW;
  startup.wShowWindow = show;
  return startup;
}

bool Gone(win::DWORD pid) { return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH; }

// The program runs in the given folder with its arguments, by a host path, a
// path in backslashes or a drive path, with only the standard streams unless
// asked to inherit handles, and is reaped when it ends.
TEST_F(System, CreateProcessARunsTheProgramInTheDirectory) {
  const std::string work = root.path() + "/work", data = root.path() + "/drive/c/data";
  WriteFile(work + "/prog.sh", kScript, true);
  WriteFile(root.path() + "/bin/prog.sh", kScript, true);
  WriteFile(root.path() + "/drive/c/tools/prog.sh", kScript, true);
  fs::create_directories(data);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  // Not close-on-exec, so only the flag decides; far above what the shell
  // running the script uses for itself.
  const int high = fcntl(fds[1], F_DUPFD, 60);
  ASSERT_GE(high, 60);
  const std::string entry = std::string("\n").append(std::to_string(high)).append("\n");
  struct Case {
    std::string command;
    std::string directory;
    std::string ran_in;  // the host folder, where out.txt appears
    const char* args;
    int inherit;
  };
  const Case cases[] = {
      {work + "/prog.sh   alpha  beta", work, work, "\n2:alpha:beta\n", 0},
      {root.path() + "\\bin\\prog.sh one", work, work, "\n1:one:\n", 1},
      {"C:\\Tools\\Prog.sh two", "C:\\DATA", data, "\n1:two:\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.command);
    fs::remove(c.ran_in + "/out.txt");
    auto startup = Startup(win::SW_SHOWMINNOACTIVE);
    win::PROCESS_INFORMATION info{};
    info.hProcess = 77;
    std::string command = c.command;
    ASSERT_EQ(win::CreateProcessA(nullptr, command.data(), nullptr, nullptr, c.inherit, 0, nullptr,
                                  c.directory.c_str(), &startup, &info),
              1);
    EXPECT_GT(info.dwProcessId, 0u);
    EXPECT_EQ(info.hProcess, 0u);
    EXPECT_EQ(info.hThread, 0u);
    ASSERT_TRUE(qt::WaitFor([&] { return fs::exists(c.ran_in + "/out.txt"); }, 30s));
    const std::string out = qt::ReadText(c.ran_in + "/out.txt");
    EXPECT_EQ(out.substr(0, out.find('\n')), c.ran_in);
    EXPECT_NE(out.find(c.args), std::string::npos) << out;
    EXPECT_EQ(out.find(entry) != std::string::npos, c.inherit == 1) << "handle " << high;
    // Ended programs are reaped: no zombie keeps the process id alive.
    EXPECT_TRUE(qt::WaitFor([&] { return Gone(info.dwProcessId); }, 30s));
  }
  for (int fd : {fds[0], fds[1], high}) close(fd);
}

// Relative program names and folders are taken from the caller's current
// directory, not from the folder the program runs in; what is missing is
// told apart.
TEST_F(System, CreateProcessARelativeNamesStartFromTheCurrentDirectory) {
  const std::string here = root.path() + "/here";
  WriteFile(here + "/prog.sh", kScript, true);
  WriteFile(here + "/bin/prog.sh", kScript, true);
  WriteFile(here + "/work/other.sh", kScript, true);
  struct Case {
    const char* command;
    const char* directory;
    const char* out;   // where the program leaves its output
    win::DWORD error;  // or why it is not started
  };
  const Case cases[] = {
      {"prog.sh", nullptr, "out.txt", 0},
      {"bin/prog.sh x", "work", "work/out.txt", 0},
      {"bin\\prog.sh", "work", "work/out.txt", 0},
      {"other.sh", "work", nullptr, win::ERROR_FILE_NOT_FOUND},  // in the program's folder only
      {"QUONIX.EXE -v", "work", nullptr, win::ERROR_FILE_NOT_FOUND},
      {"work", nullptr, nullptr, win::ERROR_FILE_NOT_FOUND},  // a folder is no program
      {"prog.sh", "nowhere", nullptr, win::ERROR_PATH_NOT_FOUND},
      {"prog.sh", "C:\\..\\..", nullptr, win::ERROR_PATH_NOT_FOUND},
      {"C:\\..\\prog.sh", "work", nullptr, win::ERROR_PATH_NOT_FOUND},
      {"   ", "work", nullptr, win::ERROR_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    fs::remove(here + "/out.txt");
    fs::remove(here + "/work/out.txt");
    // The current directory is process-wide: change it in a child only.
    qt::Child child([&] {
      if (chdir(here.c_str()) != 0) return 2;
      std::string command = c.command;
      win::PROCESS_INFORMATION info{};
      const auto started = win::CreateProcessA(nullptr, command.data(), nullptr, nullptr, 0, 0,
                                               nullptr, c.directory, nullptr, &info);
      if (c.error == 0) return started == 1 ? 0 : 1;
      return started == 0 && win::GetLastError() == c.error && info.dwProcessId == 0 ? 0 : 3;
    });
    ASSERT_EQ(child.Wait(30s), 0);
    if (c.out == nullptr) continue;
    const std::string out = here + "/" + c.out;
    ASSERT_TRUE(qt::WaitFor([&] { return fs::exists(out); }, 30s));
    const std::string text = qt::ReadText(out);
    EXPECT_EQ(text.substr(0, text.find('\n')), fs::path(out).parent_path().string());
  }
  EXPECT_FALSE(fs::exists(here + "/work/out.txt"));
}

#endif

}  // namespace
