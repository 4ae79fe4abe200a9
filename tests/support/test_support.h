// test_support.h - helpers shared by every test program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace qt {

// A private platform root for one test: created empty, set as QNAPI_ROOT,
// removed with everything in it at the end.  Tests that each make their own
// root never see each other's objects, so they can run in parallel.
class TempRoot {
 public:
  TempRoot();
  ~TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::string previous_;
  bool had_previous_ = false;
};

// A forked child that runs a function and exits with its return value.  The
// destructor kills (SIGKILL) and reaps it if it still runs, so a failing test
// never leaves a process behind.
class Child {
 public:
  explicit Child(const std::function<int()>& body);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // Waits at most `limit` for the child to end; returns its exit status
  // (128 + signal when killed), or -1 when it is still running.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  void Kill();  // SIGKILL and reap

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// A program started with posix_spawn (arguments as given, no shell).  Killed
// and reaped by the destructor.  With a stderr (stdout) path, the program's
// standard error (output) goes to that file, created or truncated, instead of
// the test's.  In a process group of its own, kill(-pid()) reaches whatever
// it started too.
class Process {
 public:
  Process(const std::string& program, const std::vector<std::string>& args,
          const std::string& stderr_path = {}, const std::string& stdout_path = {},
          bool own_group = false);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  pid_t pid() const { return pid_; }
  bool running();
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  void Signal(int signal);
  void Kill();

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// The whole text of a file (empty when it cannot be read).
std::string ReadText(const std::string& path);
// The bytes of a file (empty when it cannot be read), and a file made of
// `data` with the folders it needs.
std::vector<std::uint8_t> ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& data);
// A little-endian word of a byte string.
inline std::uint32_t Word32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// Resident memory of a process, in KiB (0 when unknown).
long RssKiB(pid_t pid);

// Polls `condition` every few milliseconds until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// A pipe between a parent and a forked child to pass a few bytes of state
// (a handle's readiness, a value read) without any shared memory of ours.
class Signal {
 public:
  Signal();
  ~Signal();
  void Post(char value = 1);
  // The next byte, or -1 after `limit` without one.
  int Take(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace qt
