// tcp_wire.h - the client end of a TCP link to quonix for the server tests,
// with the same calls as wire::Link, and the port a server logged.
//
// Sockets have no peek-and-wait in the platform layer, so reads are bounded
// by a watchdog thread: when a read or send runs past its limit, the watchdog
// shuts the socket down, which wakes the blocked call with a failure.  A
// server that does not answer fails the test instead of hanging it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "server/wire.h"
#include "support/test_support.h"

namespace wire {

class TcpLink : public Calls<TcpLink> {
 public:
  explicit TcpLink(std::uint16_t port, const char* address = "127.0.0.1") {
    win::WSADATA data;
    win::WSAStartup(0x0101, &data);
    socket_ = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
    if (socket_ == win::INVALID_SOCKET) {
      error_ = win::GetLastError();
      return;
    }
    win::SOCKADDR_IN target{};
    target.sin_family = win::AF_INET_;
    target.sin_port = win::htons(port);
    const win::HOSTENT* host = win::gethostbyname(address);
    if (host != nullptr && host->h_length == 4)
      std::memcpy(&target.sin_addr, host->h_addr_list[0], 4);
    if (host == nullptr || host->h_length != 4 ||
        win::connect(socket_, &target, sizeof target) != 0) {
      error_ = win::GetLastError();
      win::closesocket(socket_);
      socket_ = win::INVALID_SOCKET;
      return;
    }
    watchdog_ = std::thread([this] { Watch(); });
  }
  ~TcpLink() { Close(); }
  TcpLink(const TcpLink&) = delete;
  TcpLink& operator=(const TcpLink&) = delete;

  bool ok() const { return socket_ != win::INVALID_SOCKET; }
  win::DWORD error() const { return error_; }

  void Close() {
    if (watchdog_.joinable()) {
      {
        std::lock_guard lock(mutex_);
        quit_ = true;
      }
      wake_.notify_all();
      watchdog_.join();
    }
    if (socket_ != win::INVALID_SOCKET) win::closesocket(socket_);
    socket_ = win::INVALID_SOCKET;
  }

  bool Send(const Bytes& bytes, milliseconds limit = kReplyLimit) {
    if (!ok()) return false;
    Armed armed(*this, limit);
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int put = win::send(socket_, reinterpret_cast<const char*>(bytes.data() + done),
                                static_cast<int>(bytes.size() - done), 0);
      if (put <= 0) return false;
      done += static_cast<std::size_t>(put);
    }
    return true;
  }

  // Exactly n bytes within `limit`; false when the link broke or time ran out.
  bool ReadExact(std::uint8_t* at, std::size_t n, milliseconds limit = kReplyLimit) {
    if (!ok()) return false;
    Armed armed(*this, limit);
    while (n > 0) {
      const int got = win::recv(socket_, reinterpret_cast<char*>(at), static_cast<int>(n), 0);
      if (got <= 0) return false;
      at += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }

  // True once the server has ended the link (a receive gives the close or an
  // error) within `limit`; bytes that still arrive are dropped.  After a
  // time-out the socket is shut down and the link is of no further use.
  bool Ended(milliseconds limit = kReplyLimit) {
    if (!ok()) return true;
    Armed armed(*this, limit);
    char sink[4096];
    while (win::recv(socket_, sink, sizeof sink, 0) > 0) {
    }
    std::lock_guard lock(mutex_);
    return !fired_;
  }

 private:
  // Arms the watchdog for one call.
  struct Armed {
    TcpLink& link;
    Armed(TcpLink& owner, milliseconds limit) : link(owner) {
      {
        std::lock_guard lock(link.mutex_);
        link.deadline_ = std::chrono::steady_clock::now() + limit;
      }
      link.wake_.notify_all();
    }
    ~Armed() {
      {
        std::lock_guard lock(link.mutex_);
        link.deadline_.reset();
      }
      link.wake_.notify_all();
    }
  };

  void Watch() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      if (!deadline_) {
        wake_.wait(lock);
        continue;
      }
      const auto deadline = *deadline_;
      wake_.wait_until(lock, deadline);
      if (deadline_ && *deadline_ == deadline && std::chrono::steady_clock::now() >= deadline) {
        fired_ = true;
        win::TcpShutdown(socket_);
        deadline_.reset();
      }
    }
  }

  win::SOCKET socket_ = win::INVALID_SOCKET;
  win::DWORD error_ = 0;
  std::thread watchdog_;
  std::mutex mutex_;  // guards deadline_, quit_ and fired_
  std::condition_variable wake_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool quit_ = false;
  bool fired_ = false;
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

enum class Kind { Pipe, Tcp };

// Runs body(link) with a fresh link of `kind` (the local pipe, or TCP to `port`).
template <class Body>
void OnLink(Kind kind, std::uint16_t port, Body&& body) {
  if (kind == Kind::Tcp) {
    TcpLink link(port);
    body(link);
  } else {
    Link link;
    body(link);
  }
}

}  // namespace wire
