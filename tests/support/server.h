// server.h - a stand-in server (quonix) for one test, in the test's own
// platform root.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace qt {

// The pipe a quonix started with `args` serves: \\.\pipe\qoxsmem, or the name
// formed from --server-name NAME.
std::string ServerPipeName(const std::vector<std::string>& args);

// Starts QUONIX_PATH with `args` in the current platform root (create a
// TempRoot first: QNAPI_ROOT is inherited) and waits, at most `limit`, until
// it serves its pipe and shows its "QUONIX RUN" window (which it opens once
// it listens).  With a log path the server's stderr goes to that file.
// The destructor kills and reaps a server that still runs.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args = {}, const std::string& log_path = {},
                  std::chrono::milliseconds limit = std::chrono::seconds(20));
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  const std::string& pipe_name() const { return pipe_; }
  bool running() { return process_ && process_->running(); }
  // SIGTERM, then waits at most `limit`: the exit status, or -1 when it
  // still runs (it is then killed by the destructor).
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  std::unique_ptr<Process> process_;
  std::string pipe_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

}  // namespace qt
