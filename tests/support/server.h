// server.h - quonix for one test, in the test's own platform root.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace qt {

// Starts quonix in the current TempRoot and waits until it serves its pipe
// and shows its window; its stderr goes to `log_path` when given.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args = {}, const std::string& log_path = {},
                  std::chrono::milliseconds limit = std::chrono::seconds(20));
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  bool ready() const { return ready_; }
  pid_t pid() const { return pid_; }
  bool running() { return process_ && process_->running(); }
  // SIGTERM: the exit status, or -1 when it still runs after `limit`.
  int Stop(std::chrono::milliseconds limit = std::chrono::seconds(30));

 private:
  std::unique_ptr<Process> process_;
  std::string pipe_;
  pid_t pid_ = -1;
  bool ready_ = false;
};

// Whether a server window ("QUONIX RUN...") is open: of `pid`, or of anyone.
bool ServerWindowShown(pid_t pid = 0);

}  // namespace qt
