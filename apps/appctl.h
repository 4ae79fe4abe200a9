// appctl.h - the application control request as an exchange over any
// transport.  The exported functions use it on a connection's pipe.
//
// Every request and every reply carries the whole 676-byte control record;
// the reply's length word must be exactly 684 (first word, result, record)
// whatever the result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "core/exchange.h"
#include "core/protocol.h"
#include "qnapi.h"

// The control record.
namespace appctl {
inline constexpr std::size_t kRecordSize = 676;
inline constexpr std::size_t kKind = 4;        // u16 request kind
inline constexpr std::size_t kTextSize = 128;  // char[128], zero-terminated
inline constexpr std::size_t kText[4] = {6, 134, 262, 390};
inline constexpr std::size_t kValue[5] = {648, 652, 656, 660, 672};  // values 1 to 5
inline constexpr std::size_t kRequestId = 664;
inline constexpr std::size_t kStatus = 668;
inline constexpr std::uint32_t kReplyLength = 8 + kRecordSize;  // 684

enum Kind : std::uint16_t { kStart = 0, kClose = 1, kTop = 2, kStatusOf = 3, kCancel = 4 };

// Copies at most 127 characters of text into a zero-filled field, so the
// last byte of the field always stays its terminator; null is empty.
inline void PutText(std::uint8_t* record, int which, const char* text) {
  if (text == nullptr) return;
  std::uint8_t* field = record + kText[which];
  for (std::size_t i = 0; i + 1 < kTextSize && text[i] != '\0'; ++i)
    field[i] = static_cast<std::uint8_t>(text[i]);
}
}  // namespace appctl

// Application control (300100 + kind): one 688-byte piece, a reply of
// exactly 684 bytes after its length word.  The codes are those of the write
// requests for the same steps; the record after the head is read as the
// same 684-byte read, so its failures give the head's codes.
//   1101 write failed    1102 written short
//   1105 length failed   1106 length short   1107 length not 684
//   1108 reply failed    1109 reply short
inline constexpr ExchangeCodes kAppControlCodes = [] {
  ExchangeCodes codes = CodesFrom(1101, 2, 0);  // 1101..1109, the data piece unused
  codes.payload[0] = codes.head;
  return codes;
}();
static_assert(kAppControlCodes.write[0].failed == 1101 && kAppControlCodes.length.failed == 1105 &&
              kAppControlCodes.length_wrong == 1107 && kAppControlCodes.payload[0].short_read == 1109);

// One exchange: sends `record` under the kind's command and, on a result of
// 0, leaves the server's record in `reply`.
template <Transport T>
std::uint32_t AppControlExchange(T& link, std::uint16_t kind, const std::uint8_t* record,
                                 std::uint8_t* reply) {
  std::uint8_t request[12 + appctl::kRecordSize];
  proto::Put32(request, appctl::kReplyLength);
  proto::Put32(request + 4, proto::kAppControlFirst + kind);
  proto::Put32(request + 8, 0);
  std::memcpy(request + 12, record, appctl::kRecordSize);
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {{reply, appctl::kRecordSize}};
  return RunExchange(link, {.codes = kAppControlCodes,
                            .pieces = pieces,
                            .exact_length = appctl::kReplyLength,
                            .payload = parts})
      .result;
}
