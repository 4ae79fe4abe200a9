// requests.cpp - the request reader, the reply writer and the dispatch of
// commands to their families.
#include "server/requests.h"

#include <cstring>

#include "core/protocol.h"

namespace quonix {
namespace {

bool ReadExact(Handle link, std::uint8_t* at, std::uint32_t count) {
  while (count > 0) {
    std::uint32_t got = 0;
    // A read returns at least one byte or fails; a zero-byte success is
    // taken as a failure all the same, so a broken peer cannot make us spin.
    if (PipeReadRaw(link, at, count, &got) != 0 || got == 0 || got > count) return false;
    at += got;
    count -= got;
  }
  return true;
}

bool WriteAll(Handle link, const std::uint8_t* at, std::uint32_t count) {
  while (count > 0) {
    std::uint32_t put = 0;
    if (PipeWriteRaw(link, at, count, &put) != 0 || put == 0 || put > count) return false;
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

ReadOutcome ReadRequest(Handle link, std::vector<std::uint8_t>& buffer, Request& request,
                        std::string& why) {
  std::uint8_t length_bytes[4];
  if (!ReadExact(link, length_bytes, 4)) return ReadOutcome::Closed;
  const std::uint32_t length = proto::Get32(length_bytes);
  if (length < 8 || length > kMaxRequestLength) {
    why = "length word " + std::to_string(length) + " outside 8.." +
          std::to_string(kMaxRequestLength);
    return ReadOutcome::Refused;
  }
  buffer.resize(length);
  if (!ReadExact(link, buffer.data(), length)) return ReadOutcome::Closed;
  request.command = proto::Get32(buffer.data());
  request.options = proto::Get32(buffer.data() + 4);
  request.body = std::span<const std::uint8_t>(buffer.data() + 8, length - 8);
  return ReadOutcome::Ok;
}

bool WriteReply(Handle link, std::uint32_t command, const Reply& reply) {
  const auto payload = static_cast<std::uint32_t>(reply.payload.size());
  // Small replies go out in one write; a large payload is written from where
  // it lies instead of being copied behind the head.
  constexpr std::uint32_t kJoinBelow = 4096;
  constexpr auto kHead = static_cast<std::uint32_t>(proto::kReplyHead);
  std::uint8_t record[kHead + kJoinBelow];
  proto::Put32(record, 8 + payload);
  proto::Put32(record + 4, command);
  proto::Put32(record + 8, reply.result);
  if (payload <= kJoinBelow) {
    if (payload != 0) std::memcpy(record + kHead, reply.payload.data(), payload);
    return WriteAll(link, record, kHead + payload);
  }
  return WriteAll(link, record, kHead) &&
         WriteAll(link, reply.payload.data(), payload);
}

Reply Dispatch(const Request& request, LinkState& link) {
  Reply reply;
  switch (request.command) {
    case proto::kRegister:
      reply = HandleRegister(request, link);
      break;
    case proto::kReadBytes:
    case proto::kReadWords:
      reply = HandleRead(request);
      break;
    case proto::kMailboxRead:
      reply = HandleMailboxRead(request);
      break;
    case proto::kMailboxWrite:
      reply = HandleMailboxWrite(request);
      break;
    case proto::kWriteBytes:
    case proto::kWriteWords:
      reply = HandleWrite(request);
      break;
    case proto::kWriteMasked:
      reply = HandleMaskedWrite(request);
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
