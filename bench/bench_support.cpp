#include "bench_support.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "core/protocol.h"
#include "platform/platform.h"

extern char** environ;

namespace bench {
namespace {

std::string FileText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The port of the server's line "tcp listening on ADDRESS:PORT", or 0.
std::uint16_t LoggedPort(const std::string& log) {
  const std::string text = FileText(log);
  const auto at = text.find("tcp listening on ");
  if (at == std::string::npos) return 0;
  const auto end = text.find_first_of(" \n", at + 17);
  const auto colon = text.rfind(':', end);
  if (colon == std::string::npos || colon < at) return 0;
  const unsigned long port = std::strtoul(text.c_str() + colon + 1, nullptr, 10);
  return port <= 65535 ? static_cast<std::uint16_t>(port) : 0;
}

bool WantsTcp(const std::vector<std::string>& args) {
  for (const auto& arg : args)
    if (arg.starts_with("--tcp")) return true;
  return false;
}

}  // namespace

Server::Server(const std::vector<std::string>& args) {
  char pattern[] = "/tmp/qnapi-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  root_ = pattern;
  setenv("QNAPI_ROOT", root_.c_str(), 1);
  const std::string log = root_ + "/quonix.log";
  std::vector<std::string> words{QUONIX_PATH};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    pid_ = -1;
    return;
  }
  // Ready once its pipe answers and, with TCP, once it has logged its port.
  const bool tcp = WantsTcp(args);
  for (int i = 0; i < 500; ++i) {
    if (win::WaitNamedPipeA("\\\\.\\pipe\\qoxsmem", 0) &&
        (!tcp || (tcp_port_ = LoggedPort(log)) != 0))
      return;
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
    usleep(10000);
  }
  std::fprintf(stderr, "quonix did not come up; its log:\n%s\n", FileText(log).c_str());
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Server::~Server() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  if (!root_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
}

EchoPeer::EchoPeer(const char* pipe_name, unsigned request_bytes, unsigned reply_bytes) {
  // The parent keeps its listener handle until the peer is gone: closing a
  // listener removes the pipe's name, also when a forked copy still listens.
  listener_ = NpipeListen(pipe_name);
  if (listener_ == kInvalidHandle) return;
  pid_ = fork();
  if (pid_ != 0) return;
  const Handle link = NpipeAccept(listener_, 10000);
  std::vector<std::uint8_t> request(request_bytes), reply(reply_bytes, 0);
  proto::Put32(reply.data(), reply_bytes - 4);  // a well-formed reply length
  for (;;) {
    std::uint32_t got = 0, put = 0;
    if (NpipeRead(reinterpret_cast<void*>(link), request.data(), request_bytes, &got) != 0) break;
    if (PipeWriteRaw(link, reply.data(), reply_bytes, &put) != 0) break;
  }
  _exit(0);
}

EchoPeer::~EchoPeer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (listener_ != kInvalidHandle) HndClose(listener_);
}

TcpEchoPeer::TcpEchoPeer(unsigned request_bytes, unsigned reply_bytes) {
  const win::SOCKET listener = win::TcpListen("127.0.0.1", 0);
  if (listener == win::INVALID_SOCKET) return;
  port_ = win::TcpLocalPort(listener);
  pid_ = fork();
  if (pid_ != 0) {
    win::closesocket(listener);
    return;
  }
  const win::SOCKET link = win::TcpAccept(listener, 10000);
  std::vector<std::uint8_t> request(request_bytes), reply(reply_bytes, 0);
  proto::Put32(reply.data(), reply_bytes - 4);
  while (link != win::INVALID_SOCKET && RecvAll(link, request.data(), request_bytes) &&
         SendAll(link, reply.data(), reply_bytes)) {
  }
  _exit(0);
}

TcpEchoPeer::~TcpEchoPeer() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

std::intptr_t TcpConnect(std::uint16_t port) {
  const win::SOCKET s = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
  if (s == win::INVALID_SOCKET) return -1;
  win::SOCKADDR_IN target{};
  target.sin_family = win::AF_INET_;
  target.sin_port = win::htons(port);
  const std::uint8_t loopback[4] = {127, 0, 0, 1};
  std::memcpy(&target.sin_addr, loopback, 4);
  if (win::connect(s, &target, sizeof target) != 0) {
    win::closesocket(s);
    return -1;
  }
  return s;
}

bool SendAll(std::intptr_t socket, const void* bytes, unsigned count) {
  const char* at = static_cast<const char*>(bytes);
  while (count > 0) {
    const int put = win::send(socket, at, static_cast<int>(count), 0);
    if (put <= 0) return false;
    at += put;
    count -= static_cast<unsigned>(put);
  }
  return true;
}

bool RecvAll(std::intptr_t socket, void* bytes, unsigned count) {
  char* at = static_cast<char*>(bytes);
  while (count > 0) {
    const int got = win::recv(socket, at, static_cast<int>(count), 0);
    if (got <= 0) return false;
    at += got;
    count -= static_cast<unsigned>(got);
  }
  return true;
}

void TcpClose(std::intptr_t socket) {
  if (socket >= 0) win::closesocket(socket);
}

}  // namespace bench
