// messages.h - message channels: a bounded FIFO of messages per channel
// number, reached as area channel + 100 by the bit-form write (100100, send)
// and the bit-form read (100, receive).
#pragma once

#include <cstdint>

#include "server/server.h"

namespace quonix {

// Results of the message requests, besides 0 and 6.
inline constexpr std::uint32_t kChannelEmpty = 20;    // no message within the wait
inline constexpr std::uint32_t kChannelFull = 21;     // channel (or all channels) full
inline constexpr std::uint32_t kMessageTooLarge = 22; // body above kMaxMessageBody
inline constexpr std::uint32_t kMessageTooLong = 23;  // head message longer than the receiver's room

// Limits: every one of them bounds what clients can make the server keep.
inline constexpr std::uint32_t kMaxMessageBody = 65536;       // bytes of one body
inline constexpr std::uint32_t kChannelDepth = 64;            // messages per channel
inline constexpr std::uint32_t kMaxChannels = 256;            // channels holding messages
inline constexpr std::uint64_t kMaxQueuedBytes = 16u << 20;   // bodies in all channels
inline constexpr std::uint32_t kMaxReceiveWaitMs = 65535;     // the option is 16 bits

// A 100100 or 100 request whose (first) area is a channel: area 100 or
// above, other than the information blocks 1000 and 1001.
bool IsMessageRequest(const Request& request);
Reply HandleMessageSend(const Request& request);
Reply HandleMessageReceive(const Request& request);
// Ends every waiting receive (with 20) and every later wait at once: the
// server stops.
void MessagesStop();

// What the information block reports.
struct ChannelTotals {
  std::uint32_t channels = 0;  // channels holding messages
  std::uint32_t messages = 0;
  std::uint64_t bytes = 0;     // bodies queued
  std::uint64_t sent = 0;      // messages accepted since start
  std::uint64_t received = 0;  // messages delivered since start
};
ChannelTotals MessagesTotals();

}  // namespace quonix
