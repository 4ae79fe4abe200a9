// test_support.h - helpers shared by every test program.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace qt {

// A private platform root (QNAPI_ROOT) for one test, removed at the end.
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

// A test in a private root of its own.
class RootedTest : public ::testing::Test {
 protected:
  TempRoot root;
};

// The current folder is `folder` for the scope.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) { std::filesystem::current_path(folder); }
  ~InFolder() { std::filesystem::current_path(previous_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  const std::filesystem::path previous_ = std::filesystem::current_path();
};

// A forked child that exits with the function's result; killed and reaped
// by the destructor, so a failing test leaves no process behind.
class Child {
 public:
  explicit Child(const std::function<int()>& body);
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  pid_t pid() const { return pid_; }
  // The exit status (128 + signal when killed), or -1 while it still runs.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  void Kill();  // SIGKILL and reap

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// A program started without a shell, killed and reaped by the destructor;
// stderr and stdout may go to files.  With own_group, kill(-pid()) reaches
// whatever it started too.
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

// Empty when the file cannot be read; WriteBytes makes the folders it needs.
std::string ReadText(const std::string& path);
std::vector<std::uint8_t> ReadBytes(const std::string& path);
bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& data);
inline std::uint32_t Word32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// In KiB, 0 when unknown.
long RssKiB(pid_t pid);

bool WaitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// A pipe that passes a few bytes between a parent and a forked child.
class Signal {
 public:
  Signal();
  ~Signal();
  void Post(char value = 1);
  // -1 when no byte came within `limit`.
  int Take(std::chrono::milliseconds limit = std::chrono::seconds(10));

 private:
  int fds_[2] = {-1, -1};
};

}  // namespace qt
