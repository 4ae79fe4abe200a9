// requests.cpp - the write requests on the local link: the server itself
// performs these writes (unlike QNA_WriteSmem, which writes the mapped area).
//
// Lock rules: each exchange holds the link's request lock from its first
// write to the last byte of its reply (LinkRequestLock, core.h).  A split
// word write takes and releases it once per request, so requests of other
// threads may come between the pieces of one QNA_Write.
#include <algorithm>

#include "core/core.h"
#include "core/exchange.h"
#include "core/protocol.h"
#include "core/requests.h"
#include "qnapi.h"

std::uint32_t WriteRequest(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                           const void* data, std::uint32_t options, std::uint32_t kind) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return WordWriteExchange(link, area, offset, count, data, options, kind);
}

std::uint32_t WriteLocked(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                          const void* data, std::uint32_t options, std::uint32_t kind) {
  return WithRequestLock(LinkRequestLock(),
                         [&] { return WriteRequest(area, offset, count, data, options, kind); });
}

std::uint32_t MaskedWriteRequest(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                                 const std::uint16_t* data, const std::uint16_t* flags,
                                 std::uint32_t options) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return MaskedWriteExchange(link, area, offset, count, data, flags, options);
}

extern "C" {

std::uint32_t QNA_API QNA_Write(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                                const std::uint16_t* source, std::uint32_t options) {
  constexpr std::uint32_t kChunk = proto::kMaxWordsPerRequest;
  if (count == 0) return QNA_OK;  // nothing is sent, even on a closed link
  // The pieces would each look sound to the server while their offsets wrap
  // past 2^32 to the start of the area: refuse the whole write instead.
  if (source == nullptr || std::uint64_t{offset} + count - 1 > 0xFFFFFFFFu)
    return WriteLocked(area, offset, std::min(count, kChunk), nullptr, options, 1);
  // Each request is an exchange of its own; the first failure ends the write
  // and leaves the earlier requests written.
  std::uint32_t done = 0;
  while (count - done > kChunk) {
    const std::uint32_t result = WriteLocked(area, offset + done, kChunk, source + done, options, 1);
    if (result != QNA_OK) return result;
    done += kChunk;
  }
  return WriteLocked(area, offset + done, count - done, source + done, options, 1);
}

std::uint32_t QNA_API QNA_WriteBit(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                                   const std::uint8_t* source, std::uint32_t options) {
  return WriteLocked(area, bit, count, source, options, 0);
}

std::uint32_t QNA_API QNA_WriteWithFlag(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                                        const std::uint16_t* data, const std::uint16_t* flags,
                                        std::uint32_t options) {
  return WithRequestLock(LinkRequestLock(), [&] {
    return MaskedWriteRequest(area, offset, count, data, flags, options);
  });
}

}  // extern "C"
