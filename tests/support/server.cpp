#include "support/server.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

namespace qt {

namespace {

std::string ServerPipeName(const std::vector<std::string>& args) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == "--server-name") return "\\\\.\\" + args[i + 1] + "\\qoxpipe";
  return "\\\\.\\pipe\\qoxsmem";
}

}  // namespace

bool ServerWindowShown(pid_t pid) {
  char title[128];
  for (win::HWND w = win::GetTopWindow(0); w != 0; w = win::GetWindow(w, win::GW_HWNDNEXT)) {
    if (pid != 0 && win::WindowProcessId(w) != static_cast<win::DWORD>(pid)) continue;
    title[0] = '\0';
    win::GetWindowTextA(w, title, sizeof title);
    if (std::strncmp(title, "QUONIX RUN", 10) == 0) return true;
  }
  return false;
}

Server::Server(const std::vector<std::string>& args, const std::string& log_path,
               std::chrono::milliseconds limit)
    : pipe_(ServerPipeName(args)) {
#ifndef QUONIX_PATH
  ADD_FAILURE() << "this build has no quonix";
  (void)args;
  (void)log_path;
  (void)limit;
#else
  // Without a private root the server would land in the user's own one.
  if (std::getenv("QNAPI_ROOT") == nullptr) {
    ADD_FAILURE() << "qt::Server needs a qt::TempRoot first";
    return;
  }
  process_ = std::make_unique<Process>(QUONIX_PATH, args, log_path);
  pid_ = process_->pid();
  if (pid_ <= 0) return;
  // WaitNamedPipeA opens no link; the window comes once every pipe listens.
  ready_ = WaitFor(
               [&] {
                 return !process_->running() ||
                        (win::WaitNamedPipeA(pipe_.c_str(), 0) != 0 && ServerWindowShown(pid_));
               },
               limit) &&
           process_->running();
#endif
}

// Asked to stop first: a server ended by SIGKILL leaves no coverage counts.
Server::~Server() {
  if (running()) Stop(std::chrono::seconds(10));
}

int Server::Stop(std::chrono::milliseconds limit) {
  if (!process_) return -1;
  process_->Signal(SIGTERM);
  return process_->Wait(limit);
}

}  // namespace qt
