// requests.cpp - the request reader, the reply writer and the dispatch of
// commands to their families.
#include "server/requests.h"

#include <algorithm>
#include <cstring>

#include "core/protocol.h"
#include "server/appctl.h"
#include "server/evqueues.h"
#include "server/info.h"
#include "server/messages.h"

namespace quonix {
namespace {

static_assert(kReplyHeadRoom == proto::kReplyHead);

template <Transport Link>
bool WriteAll(const Link& link, const std::uint8_t* at, std::uint32_t count) {
  while (count > 0) {
    std::uint32_t put = 0;
    if (!link.Write(at, count, put)) return false;
    at += put;
    count -= put;
  }
  return true;
}

// Writes whose options bit 0 tells the client not to read a reply.
bool IsWrite(std::uint32_t command) {
  return command == proto::kWriteBytes || command == proto::kWriteWords ||
         command == proto::kWriteMasked || command == proto::kMailboxWrite;
}

}  // namespace

Reply Refuse(std::uint32_t result, std::string why) {
  Reply reply;
  reply.result = result;
  reply.refusal = std::move(why);
  return reply;
}

std::string NameOf(const std::uint8_t* field) {
  std::string name;
  for (int i = 0; i < 8 && field[i] != 0; ++i) name.push_back(static_cast<char>(field[i]));
  return name;
}

template <Transport Link>
bool RequestReader<Link>::Fill(std::uint8_t* at, std::uint32_t count) {
  while (count > 0) {
    if (ahead_begin_ == ahead_end_) {
      std::uint32_t got = 0;
      if (count >= kReadAhead) {
        // Large: straight to its place, and never past this request.
        if (!link_.Read(at, count, got)) return false;
        at += got;
        count -= got;
        continue;
      }
      if (!link_.Read(ahead_, kReadAhead, got)) return false;
      ahead_begin_ = 0;
      ahead_end_ = got;
    }
    const std::uint32_t take = std::min(count, ahead_end_ - ahead_begin_);
    std::memcpy(at, ahead_ + ahead_begin_, take);
    ahead_begin_ += take;
    at += take;
    count -= take;
  }
  return true;
}

template <Transport Link>
ReadOutcome RequestReader<Link>::Next(Request& request, std::string& why) {
  std::uint8_t length_bytes[4];
  if (!Fill(length_bytes, 4)) return ReadOutcome::Closed;
  const std::uint32_t length = proto::Get32(length_bytes);
  if (length < 8 || length > kMaxRequestLength) {
    why = "length word " + std::to_string(length) + " outside 8.." +
          std::to_string(kMaxRequestLength);
    return ReadOutcome::Refused;
  }
  // The buffer grows with the bytes that come, not with what the length word
  // announces: a length word alone costs no megabyte.
  buffer_.clear();
  for (std::uint32_t have = 0; have < length;) {
    constexpr std::uint32_t kFirstStep = 64 * 1024;
    const std::uint32_t next = std::min(length, std::max(2 * have, kFirstStep));
    buffer_.resize(next);
    if (!Fill(buffer_.data() + have, next - have)) return ReadOutcome::Closed;
    have = next;
  }
  request.command = proto::Get32(buffer_.data());
  request.options = proto::Get32(buffer_.data() + 4);
  request.body = std::span<const std::uint8_t>(buffer_.data() + 8, length - 8);
  return ReadOutcome::Ok;
}

namespace {
// Kept per link thread; one library transfer fits, a larger buffer goes.
thread_local std::vector<std::uint8_t> t_spare_reply;
constexpr std::size_t kKeepReplyBytes = 64 * 1024 + kReplyHeadRoom;
}  // namespace

std::vector<std::uint8_t> TakeReplyBuffer(std::size_t size) {
  std::vector<std::uint8_t> buffer;
  buffer.swap(t_spare_reply);
  buffer.resize(size);  // fills only what grows
  return buffer;
}

void GiveBackReplyBuffer(std::vector<std::uint8_t>&& buffer) {
  // The larger one stays, so that the small replies in between do not push
  // out the buffer of the large ones.
  if (buffer.capacity() <= kKeepReplyBytes && buffer.capacity() > t_spare_reply.capacity())
    t_spare_reply = std::move(buffer);
}

template <Transport Link>
void RequestReader<Link>::Trim() {
  // More than one largest library transfer (32 KiB of data and a head).
  constexpr std::size_t kKeepBytes = 64 * 1024;
  if (buffer_.capacity() > kKeepBytes) std::vector<std::uint8_t>().swap(buffer_);
}

template <Transport Link>
bool WriteReply(const Link& link, std::uint32_t command, Reply& reply) {
  const std::span<const std::uint8_t> payload = reply.Payload();
  const auto size = static_cast<std::uint32_t>(payload.size());
  std::uint8_t head[kReplyHeadRoom];
  proto::Put32(head, 8 + size);
  proto::Put32(head + 4, command);
  proto::Put32(head + 8, reply.result);
  // The whole record goes out in one write where that costs no large copy: a
  // head written on its own reaches the client as a piece of its own and
  // wakes it once more for every reply.
  if (reply.head_room == kReplyHeadRoom) {
    std::memcpy(reply.payload.data(), head, kReplyHeadRoom);
    return WriteAll(link, reply.payload.data(), kReplyHeadRoom + size);
  }
  constexpr std::uint32_t kOnStack = 4096;
  if (size <= kOnStack) {
    std::uint8_t record[kReplyHeadRoom + kOnStack];
    std::memcpy(record, head, kReplyHeadRoom);
    if (size != 0) std::memcpy(record + kReplyHeadRoom, payload.data(), size);
    return WriteAll(link, record, kReplyHeadRoom + size);
  }
  return WriteAll(link, head, kReplyHeadRoom) && WriteAll(link, payload.data(), size);
}

template class RequestReader<PipeLink>;
template class RequestReader<SocketLink>;
template bool WriteReply(const PipeLink&, std::uint32_t, Reply&);
template bool WriteReply(const SocketLink&, std::uint32_t, Reply&);
template class RequestReader<W95Link>;
template bool WriteReply(const W95Link&, std::uint32_t, Reply&);

Reply Dispatch(const Request& request, LinkState& link) {
  Reply reply;
  switch (request.command) {
    case proto::kRegister:
      reply = HandleRegister(request, link);
      if (reply.result == kOk) InfoLinkRegistered(link);
      break;
    case proto::kReadBytes:
    case proto::kReadWords:
      // Message channels and the information blocks have area numbers of
      // their own, above the data areas.
      reply = IsInfoRead(request)         ? HandleInfoRead(request)
              : IsMessageRequest(request) ? HandleMessageReceive(request)
                                          : HandleRead(request);
      break;
    case proto::kMailboxRead:
      reply = HandleMailboxRead(request);
      break;
    case proto::kMailboxWrite:
      reply = HandleMailboxWrite(request);
      break;
    case proto::kWriteBytes:
    case proto::kWriteWords:
      reply = IsMessageRequest(request) ? HandleMessageSend(request) : HandleWrite(request);
      break;
    case proto::kWriteMasked:
      reply = HandleMaskedWrite(request);
      break;
    case proto::kAppControlFirst:
    case proto::kAppControlFirst + 1:
    case proto::kAppControlFirst + 2:
    case proto::kAppControlFirst + 3:
    case proto::kAppControlLast:
      reply = HandleAppControl(request);
      break;
    case proto::kEvQueueOpen:
      reply = HandleEvQueueOpen(request, link);
      break;
    case proto::kEvQueueClose:
      reply = HandleEvQueueClose(request, link);
      break;
    case proto::kEvQueuePost:
      reply = HandleEvQueuePost(request, link);
      break;
    case proto::kEvQueueInfoFirst:
    case proto::kEvQueueInfoFirst + 1:
    case proto::kEvQueueInfoFirst + 2:
      reply = HandleEvQueueCount(request);
      break;
    case proto::kEvQueueInfoFirst + 3:
      reply = HandleEvQueueName(request);
      break;
    case proto::kEvQueueInfoLast:
      reply = HandleEvQueueMax(request);
      break;
    default:
      // The stream is still in step (the whole record was read), so the
      // client gets an answer instead of a dropped link.
      reply = Refuse(kUnknownCommand, "unknown command");
      break;
  }
  // A write sent with options bit 0 is not answered, refused or not: the
  // client reads nothing, and a reply would be taken for the next one.
  if (IsWrite(request.command) && (request.options & proto::kOptNoReply) != 0) reply.send = false;
  return reply;
}

}  // namespace quonix
