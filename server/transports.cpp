// transports.cpp - the pipe and the socket transports of the server's links.
#include "server/transports.h"

#include <algorithm>
#include <climits>

namespace quonix {
namespace {

// send and recv take an int count; a request or reply is far below this, but
// a transport must not rely on its callers for that.
constexpr std::uint32_t kMaxSocketChunk = 1u << 30;

int SocketCount(std::uint32_t count) {
  return static_cast<int>(std::min(count, kMaxSocketChunk));
}

}  // namespace

bool PipeLink::Read(std::uint8_t* at, std::uint32_t count, std::uint32_t& got) const {
  got = 0;
  // A zero-byte success is taken as a failure all the same, so a broken peer
  // cannot make a reader spin.
  return PipeReadRaw(pipe, at, count, &got) == 0 && got > 0 && got <= count;
}

bool PipeLink::Write(const std::uint8_t* at, std::uint32_t count, std::uint32_t& put) const {
  put = 0;
  return PipeWriteRaw(pipe, at, count, &put) == 0 && put > 0 && put <= count;
}

void PipeLink::Wake() const { NpipeDisconnect(pipe); }
void PipeLink::Close() const { HndClose(pipe); }

bool SocketLink::Read(std::uint8_t* at, std::uint32_t count, std::uint32_t& got) const {
  got = 0;
  // 0 is the peer's orderly close, below 0 an error: both end the link.
  const int n = win::recv(socket, reinterpret_cast<char*>(at), SocketCount(count), 0);
  if (n <= 0 || static_cast<std::uint32_t>(n) > count) return false;
  got = static_cast<std::uint32_t>(n);
  return true;
}

bool SocketLink::Write(const std::uint8_t* at, std::uint32_t count, std::uint32_t& put) const {
  put = 0;
  const int n = win::send(socket, reinterpret_cast<const char*>(at), SocketCount(count), 0);
  if (n <= 0 || static_cast<std::uint32_t>(n) > count) return false;
  put = static_cast<std::uint32_t>(n);
  return true;
}

// Shutting both directions down wakes a recv or send blocked on the socket
// and tells the client the link is over; the descriptor stays ours until
// Close, so no other thread can be handed its number in between.
void SocketLink::Wake() const { win::TcpShutdown(socket); }
void SocketLink::Close() const { win::closesocket(socket); }

bool PipeListener::Accept(std::uint32_t timeout_ms, PipeLink& link) const {
  link.pipe = NpipeAccept(handle, timeout_ms);
  return link.pipe != kInvalidHandle;
}

void PipeListener::Close() const { HndClose(handle); }

bool TcpListener::Accept(std::uint32_t timeout_ms, SocketLink& link) const {
  link.socket = win::TcpAccept(socket, timeout_ms);
  return link.socket != win::INVALID_SOCKET;
}

void TcpListener::Close() const { win::closesocket(socket); }

bool IsLoopback(const std::string& address) {
  // A dotted address in 127.0.0.0/8; a name that only starts with "127." is
  // not one.
  const bool dotted = !address.empty() && std::all_of(address.begin(), address.end(), [](char c) {
    return (c >= '0' && c <= '9') || c == '.';
  });
  return address == "localhost" || (dotted && address.starts_with("127."));
}

}  // namespace quonix
