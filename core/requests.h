// requests.h - the registration and write requests, as exchanges over any
// transport: the local link uses them through the pipe, the remote
// connections through their pipe or socket.  Each function makes the tests
// that belong to the request itself; the caller has set QNA_InternalErr to 0
// and tested its link.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

#include "core/exchange.h"
#include "core/protocol.h"
#include "qnapi.h"

// Registration (100000): one 28-byte piece; the reply carries the six area
// sizes.
//   4000 write failed    4001 written short
//   4002 length failed   4003 length short   4004 length below 8
//   4005 head failed     4006 head short
//   4007 sizes failed    4008 sizes short
inline constexpr ExchangeCodes kRegisterCodes = CodesFrom(4000, 1, 1);
static_assert(kRegisterCodes.payload[0].short_read == 4008);

// Word and bit writes (100101, 100100): the 24-byte head, then the data.
//   1100 unknown kind (result 9999)
//   1101 head failed     1102 head short     1103 data failed   1104 data short
//   1105 length failed   1106 length short   1107 length not 8
//   1108 head failed     1109 head short
inline constexpr std::int32_t kWriteKindUnknown = 1100;
inline constexpr ExchangeCodes kWordWriteCodes = CodesFrom(1101, 2, 0);
static_assert(kWordWriteCodes.head.short_read == 1109);

// Masked write (100120): the 24-byte head, the data words, the flag words.
//   5000 head failed     5001 head short     5002 data failed   5003 data short
//   5004 flags failed    5005 flags short
//   5006 length failed   5007 length short   5008 length not 8
//   5009 head failed     5010 head short
inline constexpr ExchangeCodes kMaskedWriteCodes = CodesFrom(5000, 3, 0);
static_assert(kMaskedWriteCodes.head.short_read == 5010);

inline constexpr std::uint64_t kWireLimit = 0xFFFFFFFFu;

// Sends the registration record unchanged and, on success, takes the sizes:
// at most six values, whole values only; a longer payload is read and
// dropped.  A null record is refused with 6.
template <Transport T>
std::uint32_t RegisterExchange(T& link, const QNA_REGREC* record) {
  if (record == nullptr) return QNA_E_ARG;
  std::uint8_t request[28];
  proto::Put32(request, 24);
  proto::Put32(request + 4, proto::kRegister);
  proto::Put32(request + 8, 0);
  proto::Put32(request + 12, record->first);
  proto::Put32(request + 16, record->second);
  std::memcpy(request + 20, record->name, 8);

  std::uint8_t sizes[4 * kAreaCount];
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {sizes};
  const ExchangeResult r = RunExchange(
      link, {.codes = kRegisterCodes, .pieces = pieces, .exact_length = 0, .payload = parts});
  if (r.result != 0) return r.result;
  for (std::uint32_t i = 0; i < r.delivered[0] / 4; ++i) QNA_SizeTb[i] = proto::Get32(sizes + 4 * i);
  for (std::uint32_t i = 0; i < kAreaCount; ++i) AreaSetSize(i, QNA_SizeTb[i]);
  return QNA_OK;
}

// Word (kind 1) or bit (kind 0) write of `count` elements from `data`.  The
// data goes out from the caller's buffer as the second piece, uncopied.
template <Transport T>
std::uint32_t WordWriteExchange(T& link, std::uint32_t area, std::uint32_t first,
                                std::uint32_t count, const void* data, std::uint32_t options,
                                std::uint32_t kind) {
  if (count == 0 || data == nullptr) return QNA_E_ARG;
  if (kind > 1) {
    SetDetail(kWriteKindUnknown);
    return QNA_E_INTERNAL;
  }
  const std::uint64_t bytes = std::uint64_t{count} * (kind == 1 ? 2u : 1u);
  // A length that does not fit its field, or a range whose end passes 2^32,
  // would reach the server as a different request.
  if (bytes + 20 > kWireLimit || std::uint64_t{first} + count - 1 > kWireLimit) return QNA_E_ARG;

  std::uint8_t head[24];
  proto::Put32(head, static_cast<std::uint32_t>(bytes + 20));
  proto::Put32(head + 4, kind == 1 ? proto::kWriteWords : proto::kWriteBytes);
  proto::Put32(head + 8, options);
  proto::Put32(head + 12, area);
  proto::Put32(head + 16, first);
  proto::Put32(head + 20, count);
  const std::span<const std::uint8_t> pieces[] = {
      head, {static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(bytes)}};
  return RunExchange(link, {.codes = kWordWriteCodes,
                            .pieces = pieces,
                            .no_reply = (options & proto::kOptNoReply) != 0})
      .result;
}

// Masked write.  The count is a nonzero multiple of 16; on the bit areas 0
// and 2 it counts bits (count / 16 data words), elsewhere words.  There is
// one flag word per 16 counted units.
template <Transport T>
std::uint32_t MaskedWriteExchange(T& link, std::uint32_t area, std::uint32_t offset,
                                  std::uint32_t count, const std::uint16_t* data,
                                  const std::uint16_t* flags, std::uint32_t options) {
  if (count == 0 || count % 16 != 0 || data == nullptr || flags == nullptr) return QNA_E_ARG;
  const std::uint32_t flag_words = count / 16;
  const std::uint32_t data_words = (area == 0 || area == 2) ? flag_words : count;
  const std::uint64_t words = std::uint64_t{data_words} + flag_words;
  if (20 + 2 * words > kWireLimit) return QNA_E_ARG;

  std::uint8_t head[24];
  proto::Put32(head, static_cast<std::uint32_t>(20 + 2 * words));
  proto::Put32(head + 4, proto::kWriteMasked);
  proto::Put32(head + 8, options);
  proto::Put32(head + 12, area);
  proto::Put32(head + 16, offset);
  proto::Put32(head + 20, static_cast<std::uint32_t>(words));
  const std::span<const std::uint8_t> pieces[] = {
      head,
      {reinterpret_cast<const std::uint8_t*>(data), std::size_t{data_words} * 2},
      {reinterpret_cast<const std::uint8_t*>(flags), std::size_t{flag_words} * 2}};
  return RunExchange(link, {.codes = kMaskedWriteCodes,
                            .pieces = pieces,
                            .no_reply = (options & proto::kOptNoReply) != 0})
      .result;
}
