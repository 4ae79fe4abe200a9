// tcp_wire.h - the client end of a TCP link to quonix for the server tests,
// with the same calls as wire::Link, and the port a server logged.
//
// Plain BSD sockets, none of the platform layer the server uses, so that the
// server is checked against a client that shares none of its code; every
// wait is bounded by poll, so a server that does not answer fails the test
// instead of hanging it.
#pragma once

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "server/wire.h"
#include "support/test_support.h"

namespace wire {

class TcpLink : public Calls<TcpLink> {
 public:
  explicit TcpLink(std::uint16_t port, const char* address = "127.0.0.1") {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address, nullptr, &hints, &found) != 0 || found == nullptr) {
      error_ = EHOSTUNREACH;
      return;
    }
    sockaddr_in target{};
    std::memcpy(&target, found->ai_addr, sizeof target);
    freeaddrinfo(found);
    target.sin_port = htons(port);
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
    const auto end = std::chrono::steady_clock::now() + limit;
    for (std::size_t done = 0; done < bytes.size();) {
      if (!Wait(POLLOUT, end)) return false;
      const ssize_t put = ::send(fd_, bytes.data() + done, bytes.size() - done,
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
      if (put < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
      if (put > 0) done += static_cast<std::size_t>(put);
    }
    return true;
  }

  // Exactly n bytes within `limit`; false when the link broke or time ran out.
  bool ReadExact(std::uint8_t* at, std::size_t n, milliseconds limit = kReplyLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (n > 0) {
      if (!Wait(POLLIN, end)) return false;
      const ssize_t got = ::recv(fd_, at, n, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
      if (got > 0) {
        at += got;
        n -= static_cast<std::size_t>(got);
      }
    }
    return true;
  }

  // True once the server has ended the link (a receive gives the close or an
  // error) within `limit`; bytes that still arrive are dropped.
  bool Ended(milliseconds limit = kReplyLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    char sink[4096];
    for (;;) {
      if (!ok()) return true;
      if (!Wait(POLLIN, end)) return false;
      const ssize_t got = ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT);
      if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return true;
    }
  }

 private:
  // Whether the socket is ready for `events` (or has an error) before `end`.
  bool Wait(short events, std::chrono::steady_clock::time_point end) {
    if (fd_ < 0) return false;
    for (;;) {
      const auto left = std::chrono::duration_cast<milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() < 0) return false;
      pollfd p{fd_, events, 0};
      const int n = ::poll(&p, 1, static_cast<int>(left.count()) + 1);
      if (n > 0) return true;
      if (n < 0 && errno != EINTR) return false;
    }
  }

  int fd_ = -1;
  int error_ = 0;
};

// What a server's log says its TCP listener listens on: the line
// "tcp listening on ADDRESS:PORT".
struct TcpListening {
  std::string address;
  std::uint16_t port = 0;
};
inline std::optional<TcpListening> ListeningOn(const std::string& log_path) {
  const std::string text = qt::ReadText(log_path);
  constexpr std::string_view kMark = "tcp listening on ";
  const auto at = text.find(kMark);
  if (at == std::string::npos) return std::nullopt;
  const auto start = at + kMark.size();
  const auto end = text.find_first_of(" \n", start);
  const std::string endpoint = text.substr(start, end - start);
  const auto colon = endpoint.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  const unsigned long port = std::strtoul(endpoint.c_str() + colon + 1, nullptr, 10);
  if (port == 0 || port > 65535) return std::nullopt;
  return TcpListening{endpoint.substr(0, colon), static_cast<std::uint16_t>(port)};
}

// The port of the TCP listener of a server that logs to `log`, checked.
inline std::uint16_t TcpPort(const std::string& log) {
  const auto listening = ListeningOn(log);
  EXPECT_TRUE(listening.has_value()) << "no port line in the log:\n" << qt::ReadText(log);
  return listening ? listening->port : 0;
}

enum class Kind { Pipe, HostPipe, Tcp };

inline const char* NameOf(Kind kind) {
  return kind == Kind::Tcp ? "Tcp" : kind == Kind::HostPipe ? "HostPipe" : "Pipe";
}
inline void PrintTo(Kind kind, std::ostream* out) { *out << NameOf(kind); }
inline std::string KindName(const ::testing::TestParamInfo<Kind>& info) { return NameOf(info.param); }

// Runs body(link) with a fresh link of `kind`: the local pipe, the pipe of
// host PLANT7 (served with --host PLANT7), or TCP to `port`.
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
