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
// Receivers that wait do so on their own channel's condition, so a send wakes
// only the receivers of its channel, however many others wait; a stop wakes
// them all.  A channel that holds no message lives while receivers wait on
// it.
//
// Lock rules: g_lock guards g_channels (every channel's messages and waiter
// count), the totals and g_stopping; it is held for one lookup, insert or
// removal, and released while a receive waits.  Nothing else is taken under
// it.
#include "server/messages.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/protocol.h"

namespace quonix {
namespace {

struct Message {
  std::uint32_t word1;
  std::uint32_t word2;
  bool urgent;
  std::vector<std::uint8_t> body;
};

struct Channel {
  std::deque<Message> messages;
  std::uint32_t waiting = 0;  // receives waiting on `arrived`
  std::condition_variable arrived;
};

std::mutex g_lock;
std::map<std::uint32_t, std::unique_ptr<Channel>> g_channels;
std::uint32_t g_holding = 0;  // channels holding messages
std::uint64_t g_bytes = 0;
std::uint64_t g_sent = 0;
std::uint64_t g_received = 0;
bool g_stopping = false;

bool IsChannelArea(std::uint32_t area) {
  return area >= proto::kChannelAreaBase && area != proto::kInfoBlockServer &&
         area != proto::kInfoBlockApps;
}

std::string ChannelText(std::uint32_t area) {
  return "channel " + std::to_string(area - proto::kChannelAreaBase);
}

// Puts a message whose receiver never got it back at the head of its
// channel (behind the urgent ones that came meanwhile, for a normal one).
// It held that room a moment ago, so the channel's bounds are not asked.
void PutBack(std::uint32_t channel, Message message) {
  std::lock_guard guard(g_lock);
  std::unique_ptr<Channel>& entry = g_channels[channel];
  if (!entry) entry = std::make_unique<Channel>();
  std::deque<Message>& queue = entry->messages;
  if (queue.empty()) ++g_holding;
  auto at = queue.begin();
  if (!message.urgent)
    while (at != queue.end() && at->urgent) ++at;
  g_bytes += message.body.size();
  --g_received;
  queue.insert(at, std::move(message));
  entry->arrived.notify_one();
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
  std::lock_guard guard(g_lock);
  const auto found = g_channels.find(channel);
  const bool holding = found != g_channels.end() && !found->second->messages.empty();
  const bool room = holding ? found->second->messages.size() < kChannelDepth
                            : g_holding < kMaxChannels;
  if (!room || g_bytes + length > kMaxQueuedBytes)
    return Refuse(kChannelFull, "message send to " + ChannelText(area) + ": full");
  std::unique_ptr<Channel>& entry = g_channels[channel];
  if (!entry) entry = std::make_unique<Channel>();
  std::deque<Message>& queue = entry->messages;
  auto at = queue.end();
  if (message.urgent) {
    at = queue.begin();
    while (at != queue.end() && at->urgent) ++at;
  }
  queue.insert(at, std::move(message));
  if (!holding) ++g_holding;
  g_bytes += length;
  ++g_sent;
  // One message for one receiver; a woken receiver whose message another
  // one took first waits on.
  entry->arrived.notify_one();
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
  std::unique_ptr<Channel>& entry = g_channels[channel];
  if (!entry) entry = std::make_unique<Channel>();
  Channel& ch = *entry;
  Reply reply;
  reply.result = kChannelEmpty;  // an answer, not a refusal: not logged
  for (;;) {
    if (!ch.messages.empty()) {
      const Message& head = ch.messages.front();
      // The message stays where it is: a receiver with too little room may
      // ask again with more, and nothing is lost or cut.
      if (std::uint64_t{head.body.size()} + 8 > room) {
        reply = Refuse(kMessageTooLong, "message receive from " + ChannelText(area) + ": " +
                                            std::to_string(head.body.size()) +
                                            " bytes, room for " + std::to_string(room - 8));
        break;
      }
      reply.result = kOk;
      reply.payload.resize(8 + head.body.size());
      proto::Put32(reply.payload.data(), head.word1);
      proto::Put32(reply.payload.data() + 4, head.word2);
      std::copy(head.body.begin(), head.body.end(), reply.payload.begin() + 8);
      g_bytes -= head.body.size();
      ++g_received;
      reply.unsent = [channel, taken = std::move(ch.messages.front())]() mutable {
        PutBack(channel, std::move(taken));
      };
      ch.messages.pop_front();
      if (ch.messages.empty()) --g_holding;
      break;
    }
    if (g_stopping || std::chrono::steady_clock::now() >= deadline) break;
    ++ch.waiting;
    ch.arrived.wait_until(lock, deadline);
    --ch.waiting;
  }
  // Messages are left (this receive took none, or there were more): the next
  // waiting receiver is to have a look, since each send woke only one.
  if (!ch.messages.empty() && ch.waiting != 0) ch.arrived.notify_one();
  if (ch.messages.empty() && ch.waiting == 0) g_channels.erase(channel);
  return reply;
}

void MessagesStop() {
  std::lock_guard guard(g_lock);
  g_stopping = true;
  for (const auto& [number, channel] : g_channels) channel->arrived.notify_all();
}

ChannelTotals MessagesTotals() {
  std::lock_guard guard(g_lock);
  ChannelTotals totals;
  totals.channels = g_holding;
  for (const auto& [number, channel] : g_channels)
    totals.messages += static_cast<std::uint32_t>(channel->messages.size());
  totals.bytes = g_bytes;
  totals.sent = g_sent;
  totals.received = g_received;
  return totals;
}

}  // namespace quonix
