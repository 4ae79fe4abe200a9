// faults.h - fault knobs: a server that misbehaves on purpose, for the
// fault tests and for application developers who test their own error
// handling.  Every knob is off unless its option is given (docs/server.md,
// "Fault knobs").  Counts are over the whole server, all links together,
// except --fault-close-after, which counts each link's own requests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "core/protocol.h"
#include "server/options.h"
#include "server/requests.h"
#include "server/server.h"
#include "server/transports.h"

namespace quonix {

void FaultsInit(const FaultOptions& options);
bool FaultsActive();  // any knob set (the log says so at start)

// A link ends (without a reply) when this, its request number `n` (from 1),
// is the one --fault-close-after names.
bool FaultCloseLink(std::uint64_t n);
// True when this request is to be refused without being acted on; `reply`
// is then the refusal (not sent for a write that asked for no reply).
bool FaultRefuse(const Request& request, Reply& reply);
// Sleeps for --fault-delay before a reply.
void FaultDelay();
// Event delivery stalls: the per-queue pipes are not written.
bool FaultEvQueuesStalled();

// What to do with the reply about to be written.
enum class ReplyFault { None, WrongLength, Die };
ReplyFault FaultNextReply();

// Writes the reply, or the reply as a fault knob bends it: with two bytes
// more than it carries (and a length that says so, so the stream stays in
// step), or cut in the middle of its bytes, after which the server ends
// itself as a crash would.
template <Transport Link>
bool FaultWriteReply(const Link& link, std::uint32_t command, Reply& reply) {
  switch (FaultNextReply()) {
    case ReplyFault::None:
      break;
    case ReplyFault::WrongLength:
      reply.payload.resize(reply.payload.size() + 2, 0);
      break;
    case ReplyFault::Die: {
      const std::span<const std::uint8_t> payload = reply.Payload();
      std::vector<std::uint8_t> record(proto::kReplyHead + payload.size());
      proto::Put32(record.data(), static_cast<std::uint32_t>(8 + payload.size()));
      proto::Put32(record.data() + 4, command);
      proto::Put32(record.data() + 8, reply.result);
      std::copy(payload.begin(), payload.end(), record.begin() + proto::kReplyHead);
      // Half of it, at least one byte and never all.
      std::uint32_t left = static_cast<std::uint32_t>(record.size() / 2);
      const std::uint8_t* at = record.data();
      while (left > 0) {
        std::uint32_t put = 0;
        if (!link.Write(at, left, put)) break;
        at += put;
        left -= put;
      }
      // Ends at once, as a crash: no exit path, no destructor, no close of
      // anything but what the system closes for a dead process.  137 is the
      // status a shell shows for SIGKILL.
      std::_Exit(137);
    }
  }
  return WriteReply(link, command, reply);
}

}  // namespace quonix
