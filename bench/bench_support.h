// bench_support.h - a private stand-in server and raw echo peers for the
// benchmarks.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bench {

// Starts quonix with `args` in a fresh private root (QNAPI_ROOT) and stops it
// at exit.  Its log goes to a file in the root; it is printed when the
// server does not come up.  With --tcp among the arguments (port 0 lets the
// server pick one), tcp_port() is the port it logged.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args = {});
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;
  bool ok() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  std::uint16_t tcp_port() const { return tcp_port_; }

 private:
  std::string root_;
  pid_t pid_ = -1;
  std::uint16_t tcp_port_ = 0;
};

// A forked process that listens on a pipe and answers every request of
// `request_bytes` bytes with `reply_bytes` bytes, the shape of a server's
// request/reply exchange without any work behind it.
class EchoPeer {
 public:
  EchoPeer(const char* pipe_name, unsigned request_bytes, unsigned reply_bytes);
  ~EchoPeer();
  EchoPeer(const EchoPeer&) = delete;
  EchoPeer& operator=(const EchoPeer&) = delete;

 private:
  pid_t pid_ = -1;
  std::uintptr_t listener_ = ~std::uintptr_t{0};  // a platform Handle
};

// The same over TCP: a forked process that listens on 127.0.0.1 (a port the
// system picks), takes one client, and answers every `request_bytes` bytes
// with `reply_bytes` bytes in one send.
class TcpEchoPeer {
 public:
  TcpEchoPeer(unsigned request_bytes, unsigned reply_bytes);
  ~TcpEchoPeer();
  TcpEchoPeer(const TcpEchoPeer&) = delete;
  TcpEchoPeer& operator=(const TcpEchoPeer&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  std::uint16_t port_ = 0;
};

// A connected client socket to 127.0.0.1:port (the platform's Windows
// Sockets stand-in, TCP_NODELAY set), or -1.  SendAll and RecvAll move all
// the bytes or fail.
std::intptr_t TcpConnect(std::uint16_t port);
bool SendAll(std::intptr_t socket, const void* bytes, unsigned count);
bool RecvAll(std::intptr_t socket, void* bytes, unsigned count);
void TcpClose(std::intptr_t socket);

}  // namespace bench
