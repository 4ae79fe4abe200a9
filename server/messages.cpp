// messages.cpp - message channels (send: 100100, receive: 100, on area
// channel + 100).
//
// A channel is a FIFO of messages, made by its first message and dropped when
// it is empty again, so only channels that hold something take memory.  A
// message is what the sender gave: its first two header words, which the
// receiver gets back unchanged, the third word (the priority), and the body.
// A message that is urgent (third word not 0) goes ahead of every normal
// message of its channel, behind the urgent ones sent before it.
//
// Send body:    u32 area, u32 start (0), u32 count (12 + body bytes),
//               u32 word 1, u32 word 2, u32 word 3, body.
// Receive body: u16 range count (1), u16 option (wait in ms), u32 area,
//               u32 start (0), u32 count (room: 8 + body bytes).
// Receive reply payload: u32 word 1, u32 word 2, body.
//
// Lock rules: g_lock guards g_channels and the totals; it is held for one
// lookup, insert or removal, and released while a receive waits (g_arrived).
// Nothing else is taken under it.
#include "server/messages.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "platform/platform.h"

namespace quonix {
namespace {

struct Message {
  std::uint32_t word1;
  std::uint32_t word2;
  bool urgent;
  std::vector<std::uint8_t> body;
};

std::mutex g_lock;
std::condition_variable g_arrived;
std::map<std::uint32_t, std::deque<Message>> g_channels;
std::uint64_t g_bytes = 0;
std::uint64_t g_sent = 0;
std::uint64_t g_received = 0;

// A waiting receive looks at the stop request this often, so a stop is not
// held up by a client that waits for a message.
constexpr auto kWaitSlice = std::chrono::milliseconds(100);

bool IsChannelArea(std::uint32_t area) {
  return area >= proto::kChannelAreaBase && area != proto::kInfoBlockServer &&
         area != proto::kInfoBlockApps;
}

std::string ChannelText(std::uint32_t area) {
  return "channel " + std::to_string(area - proto::kChannelAreaBase);
}

}  // namespace

bool IsMessageRequest(const Request& request) {
  const std::uint8_t* body = request.body.data();
  if (request.command == proto::kWriteBytes)
    return request.body.size() >= 4 && proto::Get32(body) >= proto::kChannelAreaBase;
  if (request.command == proto::kReadBytes)
    return request.body.size() >= 8 && IsChannelArea(proto::Get32(body + 4));
  return false;
}

Reply HandleMessageSend(const Request& request) {
  const std::uint8_t* b = request.body.data();
  if (request.body.size() < 24) return Refuse(kRange, "message send: layout");
  const std::uint32_t area = proto::Get32(b);
  const std::uint32_t start = proto::Get32(b + 4);
  const std::uint32_t count = proto::Get32(b + 8);
  // The information blocks are read only.
  if (!IsChannelArea(area))
    return Refuse(kRange, "message send: area " + std::to_string(area) + " is not a channel");
  if (start != 0 || count != request.body.size() - 12)
    return Refuse(kRange, "message send to " + ChannelText(area) + ": start " +
                              std::to_string(start) + " count " + std::to_string(count) +
                              " do not match the body");
  const std::size_t length = count - 12;
  if (length > kMaxMessageBody)
    return Refuse(kMessageTooLarge, "message send to " + ChannelText(area) + ": " +
                                        std::to_string(length) + " bytes, more than " +
                                        std::to_string(kMaxMessageBody));
  Message message{proto::Get32(b + 12), proto::Get32(b + 16), proto::Get32(b + 20) != 0,
                  std::vector<std::uint8_t>(b + 24, b + 24 + length)};
  const std::uint32_t channel = area - proto::kChannelAreaBase;
  {
    std::lock_guard guard(g_lock);
    const auto found = g_channels.find(channel);
    const bool room = found != g_channels.end() ? found->second.size() < kChannelDepth
                                                : g_channels.size() < kMaxChannels;
    if (!room || g_bytes + length > kMaxQueuedBytes)
      return Refuse(kChannelFull, "message send to " + ChannelText(area) + ": full");
    std::deque<Message>& queue = g_channels[channel];
    auto at = queue.end();
    if (message.urgent) {
      at = queue.begin();
      while (at != queue.end() && at->urgent) ++at;
    }
    queue.insert(at, std::move(message));
    g_bytes += length;
    ++g_sent;
  }
  g_arrived.notify_all();
  return Reply{};
}

Reply HandleMessageReceive(const Request& request) {
  const std::uint8_t* b = request.body.data();
  if (request.body.size() != 16 || proto::Get16(b) != 1)
    return Refuse(kRange, "message receive: layout (one range)");
  const std::uint32_t wait_ms = proto::Get16(b + 2);
  const std::uint32_t area = proto::Get32(b + 4);
  const std::uint32_t start = proto::Get32(b + 8);
  const std::uint32_t room = proto::Get32(b + 12);
  if (start != 0 || room < 8)
    return Refuse(kRange, "message receive from " + ChannelText(area) + ": start " +
                              std::to_string(start) + " count " + std::to_string(room));
  const std::uint32_t channel = area - proto::kChannelAreaBase;

  std::unique_lock lock(g_lock);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    const auto found = g_channels.find(channel);
    if (found != g_channels.end()) {
      std::deque<Message>& queue = found->second;
      const Message& head = queue.front();
      // The message stays where it is: a receiver with too little room may
      // ask again with more, and nothing is lost or cut.
      if (std::uint64_t{head.body.size()} + 8 > room)
        return Refuse(kMessageTooLong, "message receive from " + ChannelText(area) + ": " +
                                           std::to_string(head.body.size()) +
                                           " bytes, room for " + std::to_string(room - 8));
      Reply reply;
      reply.payload.resize(8 + head.body.size());
      proto::Put32(reply.payload.data(), head.word1);
      proto::Put32(reply.payload.data() + 4, head.word2);
      std::copy(head.body.begin(), head.body.end(), reply.payload.begin() + 8);
      g_bytes -= head.body.size();
      ++g_received;
      queue.pop_front();
      if (queue.empty()) g_channels.erase(found);
      return reply;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline || SysStopRequested()) break;
    g_arrived.wait_until(lock, std::min(deadline, now + kWaitSlice));
  }
  Reply empty;
  empty.result = kChannelEmpty;  // an answer, not a refusal: not logged
  return empty;
}

ChannelTotals MessagesTotals() {
  std::lock_guard guard(g_lock);
  ChannelTotals totals;
  totals.channels = static_cast<std::uint32_t>(g_channels.size());
  for (const auto& [channel, queue] : g_channels)
    totals.messages += static_cast<std::uint32_t>(queue.size());
  totals.bytes = g_bytes;
  totals.sent = g_sent;
  totals.received = g_received;
  return totals;
}

}  // namespace quonix
