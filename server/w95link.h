// w95link.h - the server's link over the Windows 95 pipe emulation: the
// emulated pipe QOXSMEM (the short name of the local pipe), offered beside
// the real pipe to clients on the Windows 95 family, and the emulated
// per-queue pipes of the event queues those clients open.
//
// The server is the creating side: it creates the pipe and one instance at
// a time, offers it (W95NpipeConnect) and, once a client has taken it,
// serves it on a link thread like any other link while it offers the next.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace quonix {

// Buffer sizes of an instance of the server's emulated pipe.  A client
// writes each request in pieces that must fit at once (a write never waits
// for room), so the client-to-server buffer holds the largest request; the
// server writes its replies in as many pieces as it takes.
inline constexpr std::uint32_t kW95ClientToServer = (1u << 20) + 64 + 64;
inline constexpr std::uint32_t kW95ServerToClient = 64u << 10;
// How long a close waits for the client to take what is still waiting.
inline constexpr std::uint32_t kW95CloseMs = 200;

// One taken instance.  Read returns what is there (at least one byte),
// Write what fits (at least one byte, waiting while the buffer is full);
// both fail once the client has closed or the link was woken.
struct W95Link {
  Handle pipe = kInvalidHandle;
  bool Read(std::uint8_t* at, std::uint32_t count, std::uint32_t& got) const;
  bool Write(const std::uint8_t* at, std::uint32_t count, std::uint32_t& put) const;
  void Wake() const;
  void Close() const;
};

// The offering side of the pipe.  Accept creates an instance and offers it;
// it returns once a client took it, or when Wake was called (false), or
// after a pause with WAIT_TIMEOUT when no instance can be made now (all in
// use, or the objects of a closed one still held by its client).
struct W95Listener {
  using Link = W95Link;
  struct State;
  std::shared_ptr<State> state;
  bool Accept(std::uint32_t timeout_ms, W95Link& link) const;
  void Wake() const;
  void Close() const;
};

// A listener for the emulated pipe of `pipe_name` ("\\.\pipe\qoxsmem") with
// at most `instances` clients at once.  The pipe and its first instance are
// made and offered here, before any client may come; false (with `error`)
// when they cannot be.
bool W95ListenerMake(const std::string& pipe_name, std::uint32_t instances,
                     W95Listener& listener, std::string& error);

// An emulated per-queue pipe of one instance: made at the open, offered and
// taken by the delivery thread (W95QueueAccept returns false once woken).
Handle W95QueuePipeCreate(const std::string& pipe_name);
bool W95QueueAccept(Handle pipe);

}  // namespace quonix
