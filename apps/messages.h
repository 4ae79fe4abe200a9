// messages.h - the message requests as exchanges over any transport: the
// local link, a connection's pipe and a TCP connection's socket (for the
// send) are each a Link.  The caller has set QNA_InternalErr to 0 and tested
// its link.
//
// A send is a bit-form data write (100100) and a receive a bit-form data read
// (100) of area channel + 100, start 0, counts in bytes.
#pragma once

#include <cstdint>
#include <span>

#include "core/exchange.h"
#include "core/protocol.h"
#include "qnapi.h"

// Message send (100100): the 36-byte head, then the body (not written when
// the body is empty).
//   3000 head failed     3001 head short     3002 body failed   3003 body short
//   3004 length failed   3005 length short   3006 length not 8
//   3007 head failed     3008 head short
inline constexpr ExchangeCodes kMsgSendCodes = CodesFrom(3000, 2, 0);
static_assert(kMsgSendCodes.head.short_read == 3008);

// Message receive (100): one 28-byte piece; the payload is the two header
// words, then the body.
//   3100 write failed    3101 written short
//   3102 length failed   3103 length short   3104 length below 8
//   3105 head failed     3106 head short
//   3107 words failed    3108 words short
//   3109 body failed     3110 body short
inline constexpr ExchangeCodes kMsgRecvCodes = CodesFrom(3100, 1, 2);
static_assert(kMsgRecvCodes.payload[1].short_read == 3110);

// The wire carries channel + 100 in 32 bits.  A channel above this one would
// wrap round to the areas 0 to 99, and a send to one of the data areas 0 to 5
// would reach the server as a bit write into that area.
inline constexpr std::uint32_t kMaxChannel = 0xFFFFFFFFu - proto::kChannelAreaBase;

template <Transport T>
std::uint32_t MsgSendExchange(T& link, std::uint32_t channel, std::uint32_t word1,
                              std::uint32_t word2, std::uint32_t word3, std::uint32_t length,
                              const void* body, std::uint32_t flags) {
  if (channel > kMaxChannel || (length > 0 && body == nullptr)) return QNA_E_ARG;
  if (std::uint64_t{length} + 32 > 0xFFFFFFFFu) return QNA_E_ARG;  // the length word would wrap
  std::uint8_t head[36];
  proto::Put32(head, length + 32);
  proto::Put32(head + 4, proto::kWriteBytes);
  proto::Put32(head + 8, flags);
  proto::Put32(head + 12, channel + proto::kChannelAreaBase);
  proto::Put32(head + 16, 0);
  proto::Put32(head + 20, length + 12);
  proto::Put32(head + 24, word1);
  proto::Put32(head + 28, word2);
  proto::Put32(head + 32, word3);
  const std::span<const std::uint8_t> pieces[] = {
      head, {static_cast<const std::uint8_t*>(body), length}};
  return RunExchange(link, {.codes = kMsgSendCodes,
                            .pieces = pieces,
                            .no_reply = (flags & proto::kOptNoReply) != 0})
      .result;
}

// Receives one message.  *length is the buffer's capacity on the way in and
// the body bytes delivered on the way out.  The header outs are set only when
// the reply carries both words; with any result but 0 nothing is stored.  A
// body longer than the capacity is never written past it: the rest is read
// and dropped, and *length says what landed.
template <Transport T>
std::uint32_t MsgRecvExchange(T& link, std::uint32_t channel, std::uint32_t* word1,
                              std::uint32_t* word2, std::uint32_t* length, std::uint8_t* buffer,
                              std::uint32_t option) {
  if (channel > kMaxChannel || word1 == nullptr || word2 == nullptr || length == nullptr)
    return QNA_E_ARG;
  const std::uint32_t capacity = *length;
  // The count asks for capacity + 8 bytes in 32 bits.
  if ((capacity > 0 && buffer == nullptr) || capacity > 0xFFFFFFFFu - 8) return QNA_E_ARG;
  std::uint8_t request[28];
  proto::Put32(request, 24);
  proto::Put32(request + 4, proto::kReadBytes);
  proto::Put32(request + 8, 0);
  proto::Put16(request + 12, 1);
  proto::Put16(request + 14, static_cast<std::uint16_t>(option));
  proto::Put32(request + 16, channel + proto::kChannelAreaBase);
  proto::Put32(request + 20, 0);
  proto::Put32(request + 24, capacity + 8);

  std::uint8_t words[8];
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {words, {buffer, capacity}};
  const ExchangeResult r = RunExchange(link, {.codes = kMsgRecvCodes,
                                              .pieces = pieces,
                                              .exact_length = 0,
                                              .payload = parts});
  if (r.result != QNA_OK) return r.result;
  // Fewer than the two words: a reply without a message; the outs stay.
  if (r.delivered[0] < sizeof words) {
    *length = 0;
    return QNA_OK;
  }
  *word1 = proto::Get32(words);
  *word2 = proto::Get32(words + 4);
  *length = r.delivered[1];
  return QNA_OK;
}
