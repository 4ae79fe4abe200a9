// data.h - the data requests of the remote connections: the read request as
// an exchange over any transport (the write request is the core's
// WordWriteExchange, byte for byte), and the exported read and write
// functions written once for both kinds of connection (pipe_data.cpp and
// sock_data.cpp name the kind; data.cpp runs the locked requests).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "core/core.h"
#include "core/exchange.h"
#include "core/protocol.h"
#include "core/requests.h"
#include "qnapi.h"
#include "remote/remote.h"

// Data read (100: one byte per bit, 101: words): one piece of 12 x n + 16
// bytes; the reply's payload is the data of the ranges one after another.
//   1000 unknown kind (result 9999)   1001 no memory for the request (100)
//   1002 write failed    1003 written short
//   1004 length failed   1005 length short   1006 length below 8
//   1007 head failed     1008 head short
//   1009 data failed     1010 data short
inline constexpr std::int32_t kReadKindUnknown = 1000;
inline constexpr std::int32_t kReadNoMemory = 1001;
inline constexpr ExchangeCodes kDataReadCodes = CodesFrom(1002, 1, 1);
static_assert(kDataReadCodes.payload[0].short_read == 1010);

// Reads n ranges (area, start, count) of words (kind 1) or bits (kind 0)
// into buffer.  The caller has set QNA_InternalErr to 0 and tested its link.
//
// The buffer holds the data of the ranges asked for and nothing more: a
// reply that carries more has the rest read and dropped (the link stays in
// step), one that carries less fills only the front of the buffer.
template <Transport T>
std::uint32_t DataReadExchange(T& link, std::uint32_t n, const std::uint32_t* areas,
                               const std::uint32_t* starts, const std::uint32_t* counts,
                               void* buffer, std::uint16_t option, std::uint16_t kind) {
  if (n == 0) return QNA_E_ARG;
  if (kind > 1) {
    SetDetail(kReadKindUnknown);
    return QNA_E_INTERNAL;
  }
  // The range count travels in 16 bits: more ranges would be a different request.
  if (n > 0xFFFFu || areas == nullptr || starts == nullptr || counts == nullptr || buffer == nullptr)
    return QNA_E_ARG;
  // A request of a few ranges is built on the stack, a larger one on the heap.
  const std::size_t size = 12 * std::size_t{n} + 16;
  std::uint8_t small[16 + 12 * 4];
  std::unique_ptr<std::uint8_t[]> large;
  std::uint8_t* at = small;
  if (size > sizeof small) {
    large = ConnAlloc(size);
    if (!large) {
      SetDetail(kReadNoMemory);
      return QNA_E_NOMEM;
    }
    at = large.get();
  }
  proto::Put32(at, static_cast<std::uint32_t>(size - 4));
  proto::Put32(at + 4, kind == 1 ? proto::kReadWords : proto::kReadBytes);
  proto::Put32(at + 8, 0);
  proto::Put16(at + 12, static_cast<std::uint16_t>(n));
  proto::Put16(at + 14, option);
  std::uint64_t units = 0;
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint8_t* range = at + 16 + 12 * std::size_t{i};
    proto::Put32(range, areas[i]);
    proto::Put32(range + 4, starts[i]);
    proto::Put32(range + 8, counts[i]);
    units += counts[i];
  }
  if (units == 0) return QNA_E_ARG;
  const std::uint64_t bytes = units * (kind == 1 ? 2u : 1u);
  if (bytes > SIZE_MAX) return QNA_E_ARG;  // no buffer of this process holds it

  const std::span<const std::uint8_t> pieces[] = {{at, size}};
  const std::span<std::uint8_t> parts[] = {
      {static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(bytes)}};
  return RunExchange(link, {.codes = kDataReadCodes,
                            .pieces = pieces,
                            .exact_length = 0,
                            .payload = parts})
      .result;
}

// A range whose last element number passes 2^32: its later requests would
// wrap round to the start of the area and move other data.
inline bool RangeWraps(std::uint32_t start, std::uint32_t count) {
  return std::uint64_t{start} + count - 1 > 0xFFFFFFFFu;
}

// QNA_ReadN and QNA_ReadS: requests of at most 16384 words; a server-less
// pipe connection reads the mapped area instead.  A failed request leaves
// its result in QNA_InternalErr; the words of the requests before it are in
// the buffer.
template <ConnKind kFamily>
std::uint32_t RemoteReadWords(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                              std::uint16_t* buffer, [[maybe_unused]] std::uint32_t no_lock,
                              std::uint32_t id) {
  if (count == 0 || buffer == nullptr) return QNA_E_ARG;
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOTOPEN;
  SetDetail(0);
  if constexpr (kFamily == ConnKind::Pipe) {
    if (connection->host[0] == '\0') return AreaReadWords(area, start, count, buffer, no_lock);
  }
  if (RangeWraps(start, count)) return QNA_E_ARG;
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t n = std::min(count - done, proto::kMaxWordsPerRequest);
    const std::uint32_t result = ConnDataRead(*connection, kFamily, area, start + done, n, buffer + done, 1);
    if (result != QNA_OK) {
      SetDetail(static_cast<std::int32_t>(result));
      return result;
    }
    done += n;
  }
  return QNA_OK;
}

// QNA_ReadBitN and QNA_ReadBitS: one request for the whole count.
template <ConnKind kFamily>
std::uint32_t RemoteReadBits(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                             std::uint8_t* buffer, [[maybe_unused]] std::uint32_t no_lock,
                             std::uint32_t id) {
  SetDetail(0);
  if (count == 0 || buffer == nullptr) return QNA_E_ARG;
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOTOPEN;
  if constexpr (kFamily == ConnKind::Pipe) {
    if (connection->host[0] == '\0') return AreaReadBits(area, start, count, buffer, no_lock);
  }
  if (RangeWraps(start, count)) return QNA_E_ARG;
  const std::uint32_t result = ConnDataRead(*connection, kFamily, area, start, count, buffer, 0);
  if (result != QNA_OK) SetDetail(static_cast<std::int32_t>(result));
  return result;
}

// QNA_ReadMuxN and QNA_ReadMuxS: each range is a read of its own, packed
// after the words of the ranges before it.
template <ConnKind kFamily>
std::uint32_t RemoteReadMux(std::uint32_t n, const std::uint32_t* areas, const std::uint32_t* starts,
                            const std::uint32_t* counts, std::uint16_t* buffer, std::uint32_t id) {
  if (n == 0) return QNA_OK;
  if (areas == nullptr || starts == nullptr || counts == nullptr || buffer == nullptr) {
    SetDetail(0);
    return ConnFindEntry(id) == nullptr ? QNA_E_NOTOPEN : QNA_E_ARG;
  }
  std::size_t at = 0;  // words already delivered
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t result = RemoteReadWords<kFamily>(areas[i], starts[i], counts[i], buffer + at, 0, id);
    if (result != QNA_OK) return result;
    at += counts[i];
  }
  return QNA_OK;
}

// QNA_WriteN, QNA_WriteBitN and their TCP twins: requests of at most 16384
// words (kind 1) or 32768 bits (kind 0), each its own exchange; the first
// failure ends the write with the exchange's detail code, and what the
// requests before it wrote stays written.  Writes of a server-less pipe
// connection go over its pipe as well.
template <ConnKind kFamily>
std::uint32_t RemoteWrite(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                          const void* data, std::uint32_t options, std::uint32_t id,
                          std::uint16_t kind) {
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOTOPEN;
  if (count == 0) return QNA_OK;  // nothing is sent
  const std::uint32_t chunk = kind == 1 ? proto::kMaxWordsPerRequest : proto::kMaxBitsPerRequest;
  const std::size_t unit = kind == 1 ? 2 : 1;
  // Nothing to send from, or pieces that would wrap round: the request's own
  // tests answer (50 on a closed link, else 6) before a byte goes out.
  if (data == nullptr || RangeWraps(start, count))
    return ConnDataWrite(*connection, kFamily, area, start, std::min(count, chunk), nullptr, options, kind);
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::uint32_t done = 0;
  for (;;) {
    const std::uint32_t n = std::min(count - done, chunk);
    const std::uint32_t result =
        ConnDataWrite(*connection, kFamily, area, start + done, n, bytes + unit * done, options, kind);
    done += n;
    if (result != QNA_OK || done == count) return result;
  }
}
