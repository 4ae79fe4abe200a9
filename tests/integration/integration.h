// integration.h - helpers of the integration tests: the library against a
// real quonix in the test's own platform root.
//
// QNA_Open and QNA_Close act on process-wide state, and a forked child
// inherits that state.  A client in another process is therefore always
// forked while this process holds no link (before its own QNA_Open, or after
// its QNA_Close), and opens its own link in the child.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "qnapi.h"
#include "support/family.h"
#include "support/server.h"

namespace it {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Words = std::vector<std::uint16_t>;

// Small areas, so that the tests reach their ends.  Area 3 keeps word 204,
// the close handshake word.
inline constexpr std::array<std::uint32_t, 6> kSmallWords = {64, 256, 64, 256, 32, 48};
inline std::vector<std::string> SizeArgs(const std::array<std::uint32_t, 6>& words) {
  static constexpr const char* kOptions[6] = {"--cb", "--cw", "--sb", "--sw", "--lgp", "--tman"};
  std::vector<std::string> args;
  for (std::size_t i = 0; i < 6; ++i) {
    args.emplace_back(kOptions[i]);
    args.push_back(std::to_string(words[i]));
  }
  return args;
}

inline QNA_REGREC Record(const char* name, std::uint32_t first = 0) {
  QNA_REGREC record{first, 0, {}};
  // The field holds at most 8 characters, unterminated at 8.
  std::memcpy(record.name, name, std::min(std::strlen(name), sizeof record.name));
  return record;
}

// A connection's parameters: application `name` at `host` ("": this one).
inline QNA_CONNPARAM Connection(const char* name, const char* host = "", std::uint16_t port = 0) {
  QNA_CONNPARAM p{};
  std::strncpy(p.name, name, sizeof p.name);
  std::strncpy(p.host, host, sizeof p.host - 1);
  p.port = port;
  p.attempts = 5;
  return p;
}

inline std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What a forked client says when one of its checks fails: a line on its
// standard error, which the test's output shows beside the parent's failure
// at the child's exit status; returns that status.
inline int ChildFail(const std::string& why) {
  std::fprintf(stderr, "child %d: %s\n", static_cast<int>(getpid()), why.c_str());
  return 1;
}

inline std::string Got(const char* call, std::uint32_t result) {
  return std::string(call) + " gave " + std::to_string(result) + " (detail " +
         std::to_string(QNA_InternalErr) + ")";
}

// The body of a child that takes area 1's mutex (MtxOpen and MtxWait, as the
// library does), posts `held`, and keeps it until it is killed.
inline std::function<int()> HoldAreaMutex(qt::Signal& held) {
  return [&held] {
    char name[] = "\\sem32\\qoxsemcw";
    Handle mutex = 0;
    if (MtxOpen(name, &mutex) != 0) return ChildFail("MtxOpen failed");
    if (MtxWait(mutex, kInfinite) != kWaitOk) return ChildFail("MtxWait failed");
    held.Post();
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  };
}

// Holds a process still (SIGSTOP) until the end of the scope, so that a test
// can make a server late.  The constructor returns once every thread of the
// process has stopped (a stop is delivered asynchronously).  Nothing in the
// scope may wait for the process: it resumes only when the scope ends.
class Paused {
 public:
  explicit Paused(pid_t pid) : pid_(pid) {
    kill(pid_, SIGSTOP);
    stopped_ = qt::WaitFor([this] { return AllStopped(); }, 10s);
  }
  ~Paused() { kill(pid_, SIGCONT); }
  Paused(const Paused&) = delete;
  Paused& operator=(const Paused&) = delete;

  // False when the process did not stop in time (the test cannot rely on it).
  bool stopped() const { return stopped_; }

 private:
  // Every task of the process in state T (stopped).
  bool AllStopped() const {
    const std::string tasks = "/proc/" + std::to_string(pid_) + "/task";
    std::error_code error;
    bool any = false;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
      std::ifstream stat(task.path() / "stat");
      std::string line;
      std::getline(stat, line);
      const std::size_t close = line.rfind(')');
      if (close == std::string::npos || close + 2 >= line.size()) return false;
      if (line[close + 2] != 'T' && line[close + 2] != 't') return false;
      any = true;
    }
    return any && !error;
  }

  pid_t pid_;
  bool stopped_ = false;
};

// Every test runs in a root of its own, leaves the library as it found it
// (closed, settings at their initial values) and stops what it started.
class IntegrationTest : public ::testing::Test {
 protected:
  // Runs before the members go, so a link is closed while its server lives.
  void TearDown() override { qt::ResetLibrary(); }

  // Starts quonix in this test's root, once the one started before has
  // ended, and waits until it serves.
  bool StartServer(const std::vector<std::string>& args = {}) {
    if (server_) server_->Stop();
    server_.reset();
    server_ = std::make_unique<qt::Server>(args, root_.path() + "/quonix.log");
    return server_->ready();
  }
  // SIGKILL, as a crash: nothing of the server runs its exit path.
  void KillServer() {
    if (!server_) return;
    kill(server_->pid(), SIGKILL);
    EXPECT_TRUE(qt::WaitFor([this] { return !server_->running(); }, 20s));
  }
  // The server's log so far (for failure messages).
  std::string ServerLog() const { return qt::ReadText(root_.path() + "/quonix.log"); }

  qt::TempRoot root_;
  std::unique_ptr<qt::Server> server_;
};

// A test with quonix serving the small areas, and this process open on it.
class OpenClient : public IntegrationTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
    ASSERT_EQ(QNA_Open(&record_), QNA_OK) << ServerLog();
  }
  // Eight characters: the field holds the name unterminated.
  QNA_REGREC record_ = Record("ITESTING");
};

}  // namespace it
