// mailbox.h - the application mailbox requests as exchanges over any
// transport.  The caller has set QNA_InternalErr to 0 and tested its link.
#pragma once

#include <cstdint>
#include <span>

#include "core/exchange.h"
#include "core/protocol.h"
#include "qnapi.h"

// Mailbox read (200): one 28-byte piece; the payload is the words asked for.
//   2000 write failed    2001 written short
//   2002 length failed   2003 length short   2004 length below 8
//   2005 head failed     2006 head short
//   2007 words failed    2008 words short
inline constexpr ExchangeCodes kMailboxReadCodes = CodesFrom(2000, 1, 1);
static_assert(kMailboxReadCodes.payload[0].short_read == 2008);

// Mailbox write (100200): the 28-byte head, then the words.
//   2100 head failed     2101 head short     2102 data failed   2103 data short
//   2104 length failed   2105 length short   2106 length not 8
//   2107 head failed     2108 head short
inline constexpr ExchangeCodes kMailboxWriteCodes = CodesFrom(2100, 2, 0);
static_assert(kMailboxWriteCodes.head.short_read == 2108);

// The head shared by both requests: length, command, options, the 8-byte
// name field (zero-padded, unterminated at 8 characters), index, count.
inline void MailboxHead(std::uint8_t* head, std::uint32_t length, std::uint32_t command,
                        std::uint32_t options, const char* name, std::uint32_t index,
                        std::uint32_t count) {
  proto::Put32(head, length);
  proto::Put32(head + 4, command);
  proto::Put32(head + 8, options);
  proto::PutName8(head + 12, name);
  proto::Put32(head + 20, index);
  proto::Put32(head + 24, count);
}

// Reads count words into buffer.  The buffer receives at most count words
// whatever length the reply announces; more is read and dropped.
template <Transport T>
std::uint32_t MailboxReadExchange(T& link, const char* name, std::uint32_t index,
                                  std::uint32_t count, std::uint16_t* buffer) {
  if (count == 0 || name == nullptr || buffer == nullptr) return QNA_E_ARG;
  std::uint8_t request[28];
  MailboxHead(request, 24, proto::kMailboxRead, 0, name, index, count);
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {
      {reinterpret_cast<std::uint8_t*>(buffer), std::size_t{count} * 2}};
  return RunExchange(link, {.codes = kMailboxReadCodes,
                            .pieces = pieces,
                            .exact_length = 0,
                            .payload = parts})
      .result;
}

// Writes count words; flags bit 0: no reply is read.
template <Transport T>
std::uint32_t MailboxWriteExchange(T& link, const char* name, std::uint32_t index,
                                   std::uint32_t count, const std::uint16_t* data,
                                   std::uint32_t flags) {
  if (count == 0 || name == nullptr || data == nullptr) return QNA_E_ARG;
  const std::uint64_t bytes = std::uint64_t{count} * 2;
  if (bytes + 24 > 0xFFFFFFFFu) return QNA_E_ARG;  // the length would not fit its field
  std::uint8_t head[28];
  MailboxHead(head, static_cast<std::uint32_t>(bytes + 24), proto::kMailboxWrite, flags, name,
              index, count);
  const std::span<const std::uint8_t> pieces[] = {
      head, {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(bytes)}};
  return RunExchange(link, {.codes = kMailboxWriteCodes,
                            .pieces = pieces,
                            .no_reply = (flags & proto::kOptNoReply) != 0})
      .result;
}
