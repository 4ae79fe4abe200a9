// reads.cpp - data reads of the data areas: 100 (one byte, 0 or 1, per bit)
// and 101 (words).
//
// Body: u16 range count n (at least 1), u16 option (not used for the data
// areas), then n ranges of u32 area, u32 start, u32 count.  The reply holds
// the ranges' data one after another.  Every range is checked, and the size
// of the whole reply is worked out and capped, before anything is allocated
// or locked; each range is then copied under its own area's mutex.
#include <bit>
#include <cstring>

#include "core/protocol.h"
#include "server/areas.h"
#include "server/server.h"

namespace quonix {

Reply HandleRead(const Request& request) {
  const bool words = request.command == proto::kReadWords;
  const char* what = words ? "word read" : "bit read";
  if (request.body.size() < 4) return Refuse(kRange, std::string(what) + ": layout");
  const std::uint8_t* body = request.body.data();
  const std::uint32_t n = proto::Get16(body);
  if (n == 0 || request.body.size() != 4 + 12u * std::size_t{n})
    return Refuse(kRange, std::string(what) + ": layout of " + std::to_string(n) + " ranges");

  std::uint64_t total = 0;  // bytes of the reply's payload
  for (std::uint32_t r = 0; r < n; ++r) {
    const std::uint8_t* range = body + 4 + 12u * r;
    const std::uint32_t area = proto::Get32(range);
    const std::uint64_t start = proto::Get32(range + 4);
    const std::uint64_t count = proto::Get32(range + 8);
    // Area numbers past the six data areas are not served here.
    const bool fits = words ? start + count <= AreaSize(area)
                            : count == 0 || (start + count - 1) / 16 < AreaSize(area);
    if (area >= kAreaCount || !fits)
      return Refuse(kRange, std::string(what) + ": range " + std::to_string(r) + " (area " +
                                std::to_string(area) + " start " + std::to_string(start) +
                                " count " + std::to_string(count) + ")");
    total += words ? 2 * count : count;
  }
  if (total == 0) return Refuse(kRange, std::string(what) + ": nothing to read");
  if (total > kMaxReplyPayload)
    return Refuse(kRange, std::string(what) + ": " + std::to_string(total) +
                              " bytes, more than one reply carries");

  Reply reply;
  reply.head_room = kReplyHeadRoom;
  reply.payload = TakeReplyBuffer(kReplyHeadRoom + static_cast<std::size_t>(total));
  std::uint8_t* out = reply.payload.data() + kReplyHeadRoom;
  for (std::uint32_t r = 0; r < n; ++r) {
    const std::uint8_t* range = body + 4 + 12u * r;
    const std::uint32_t area = proto::Get32(range);
    const std::uint32_t start = proto::Get32(range + 4);
    const std::uint32_t count = proto::Get32(range + 8);
    if (count == 0) continue;
    AreaLock lock(area);
    if (!lock.held())
      return Refuse(kLockTimeout, std::string(what) + ": area " + std::to_string(area) +
                                      " mutex not had");
    const std::uint16_t* source = AreaWords(area);
    if (words && std::endian::native == std::endian::little) {
      // The area's words are already the wire's bytes: one copy, so the
      // area's mutex is held as briefly as it can be.
      std::memcpy(out, source + start, 2 * std::size_t{count});
      out += 2 * std::size_t{count};
      continue;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      if (words) {
        proto::Put16(out, source[start + i]);
        out += 2;
      } else {
        const std::uint64_t bit = std::uint64_t{start} + i;
        *out++ = static_cast<std::uint8_t>(source[bit / 16] >> (bit % 16) & 1u);
      }
    }
  }
  return reply;
}

}  // namespace quonix
