// tcp_wire.h - a TCP link to quonix with the calls of wire::Link, on plain
// BSD sockets (none of the platform layer the server uses), and the port a
// server logged.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>

#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace wire {

// A link to 127.0.0.1:port.
class TcpLink : public Calls<TcpLink> {
 public:
  explicit TcpLink(std::uint16_t port) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
      error_ = errno;
      Close();
    }
  }
  ~TcpLink() { Close(); }
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  bool ok() const { return fd_ >= 0; }
  int error() const { return error_; }
  void Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool Send(const Bytes& bytes, milliseconds limit = kReplyLimit) {
    const auto end = Clock::now() + limit;
    for (std::size_t done = 0; done < bytes.size();) {
      if (!Ready(POLLOUT, end)) return false;
      const ssize_t put = ::send(fd_, bytes.data() + done, bytes.size() - done,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (put > 0) done += static_cast<std::size_t>(put);
    }
    return true;
  }
  long Some(std::uint8_t* at, std::size_t n, Clock::time_point end) {
    if (fd_ < 0) return -1;
    if (!Ready(POLLIN, end)) return 0;
    const ssize_t got = ::recv(fd_, at, n, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    return got > 0 ? static_cast<long>(got) : -1;
  }

 private:
  // Ready for `events` (or failed) before `end`.
  bool Ready(short events, Clock::time_point end) {
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now());
      if (fd_ < 0 || left.count() < 0) return false;
      pollfd p{fd_, events, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }

  int fd_ = -1;
  int error_ = 0;
};

// Where a server's log says its TCP listener listens: "tcp listening on ADDRESS:PORT".
struct TcpListening {
  std::string address;
  std::uint16_t port = 0;
};
inline std::optional<TcpListening> ListeningOn(const std::string& log_path) {
  const std::string text = qt::ReadText(log_path);
  const auto start = text.find("tcp listening on ");
  if (start == std::string::npos) return std::nullopt;
  char address[256] = {};
  unsigned port = 0;
  if (std::sscanf(text.c_str() + start, "tcp listening on %255[^: \n]:%u", address, &port) != 2 ||
      port == 0 || port > 65535)
    return std::nullopt;
  return TcpListening{address, static_cast<std::uint16_t>(port)};
}

inline std::uint16_t TcpPort(const std::string& log) {
  const auto listening = ListeningOn(log);
  EXPECT_TRUE(listening.has_value()) << "no port line in the log:\n" << qt::ReadText(log);
  return listening ? listening->port : 0;
}

// A server in a root of its own, with a log and the TCP listener its
// arguments ask for.
struct Served {
  qt::TempRoot root;
  std::string log = root.path() + "/server.log";
  qt::Server server;
  std::uint16_t port = 0;
  explicit Served(std::vector<std::string> args = {"--tcp", "0"}) : server(std::move(args), log) {
    if (server.ready()) port = TcpPort(log);
  }
};

enum class Kind { Pipe, HostPipe, Tcp };

inline std::string KindName(const ::testing::TestParamInfo<Kind>& info) {
  return info.param == Kind::Tcp ? "Tcp" : info.param == Kind::HostPipe ? "HostPipe" : "Pipe";
}

// body(link) on a fresh link of `kind`: the local pipe, the pipe of host
// PLANT7 (served with --host PLANT7), or TCP to `port`.
template <class Body>
void OnLink(Kind kind, std::uint16_t port, Body&& body) {
  if (kind == Kind::Tcp) {
    TcpLink link(port);
    body(link);
  } else {
    Link link(kind == Kind::HostPipe ? "\\\\plant7\\pipe\\qoxsmem" : "\\\\.\\pipe\\qoxsmem");
    body(link);
  }
}

}  // namespace wire
