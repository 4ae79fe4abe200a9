// transports.h - how bytes move on a link: a pipe instance or a TCP socket.
//
// The server's request reader, reply writer and link loop are written once,
// as templates over these transports (requests.h, links.cpp).  A transport
// moves bytes and nothing else: it knows nothing of records, lengths or
// commands, so whatever a link carries is handled by the same code whichever
// way it came in.
#pragma once

#include <concepts>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace quonix {

// One connected link.  Read and Write move at least one byte or fail (a peer
// that closed, a broken link, a link woken by Wake); they may move fewer bytes
// than asked.  Wake makes a read or write blocked on the link, in any thread,
// fail; the link stays open until Close.
template <class T>
concept Transport = requires(const T& link, std::uint8_t* in, const std::uint8_t* out,
                             std::uint32_t count, std::uint32_t& moved) {
  { link.Read(in, count, moved) } -> std::same_as<bool>;
  { link.Write(out, count, moved) } -> std::same_as<bool>;
  link.Wake();
  link.Close();
};

// A server pipe instance (the local pipe, the host pipe).
struct PipeLink {
  Handle pipe = kInvalidHandle;
  bool Read(std::uint8_t* at, std::uint32_t count, std::uint32_t& got) const;
  bool Write(const std::uint8_t* at, std::uint32_t count, std::uint32_t& put) const;
  void Wake() const;
  void Close() const;
};

// An accepted TCP connection.
struct SocketLink {
  win::SOCKET socket = win::INVALID_SOCKET;
  bool Read(std::uint8_t* at, std::uint32_t count, std::uint32_t& got) const;
  bool Write(const std::uint8_t* at, std::uint32_t count, std::uint32_t& put) const;
  void Wake() const;
  void Close() const;
};

static_assert(Transport<PipeLink> && Transport<SocketLink>);

// Listeners hand out links of their transport.  Accept waits at most
// `timeout_ms`; false with win::WAIT_TIMEOUT behind win::GetLastError() when
// no client came, false with another error when accepting failed.
struct PipeListener {
  using Link = PipeLink;
  Handle handle = kInvalidHandle;
  bool Accept(std::uint32_t timeout_ms, PipeLink& link) const;
  void Close() const;
};

struct TcpListener {
  using Link = SocketLink;
  win::SOCKET socket = win::INVALID_SOCKET;
  bool Accept(std::uint32_t timeout_ms, SocketLink& link) const;
  void Close() const;
};

// Where a TCP listener listens: an IPv4 address (or a name that resolves to
// one; "0.0.0.0" is every interface) and a port, 0 for one the system picks.
struct TcpEndpoint {
  std::string address;
  std::uint16_t port = 0;
};

// True for the loopback addresses 127.x.x.x and the name "localhost": a
// listener there is reachable from this machine only.
bool IsLoopback(const std::string& address);

}  // namespace quonix
