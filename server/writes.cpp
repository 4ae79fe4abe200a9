// writes.cpp - writes the server performs in the data areas: words (100101),
// bits (100100) and masked writes (100120).
//
// Head of each body: u32 area, u32 offset, u32 count, then the data.  Every
// range is checked in 64 bits before the area is locked, so no count can wrap
// past the end of an area.
#include "core/protocol.h"
#include "server/areas.h"
#include "server/server.h"

namespace quonix {
namespace {

constexpr std::size_t kHeadBytes = 12;

struct Head {
  std::uint32_t area;
  std::uint32_t offset;
  std::uint32_t count;
};

Head HeadOf(const Request& request) {
  const std::uint8_t* b = request.body.data();
  return {proto::Get32(b), proto::Get32(b + 4), proto::Get32(b + 8)};
}

std::string Describe(const char* what, const Head& head) {
  return std::string(what) + ": area " + std::to_string(head.area) + " offset " +
         std::to_string(head.offset) + " count " + std::to_string(head.count);
}

// Words [first, first + count) lie inside the area.
bool WordsFit(std::uint32_t area, std::uint64_t first, std::uint64_t count) {
  return count != 0 && first + count <= AreaSize(area);
}

// The words holding bits [first, first + count) lie inside the area.
bool BitsFit(std::uint32_t area, std::uint64_t first, std::uint64_t count) {
  return count != 0 && (first + count - 1) / 16 < AreaSize(area);
}

void PutBit(std::uint16_t* words, std::uint64_t bit, bool value) {
  std::uint16_t& word = words[bit / 16];
  const auto mask = static_cast<std::uint16_t>(1u << (bit % 16));
  word = static_cast<std::uint16_t>(value ? word | mask : word & ~mask);
}

bool GetBit(const std::uint8_t* packed_words, std::uint64_t bit) {
  return (proto::Get16(packed_words + 2 * (bit / 16)) >> (bit % 16) & 1u) != 0;
}

}  // namespace

Reply HandleWrite(const Request& request) {
  const bool words = request.command == proto::kWriteWords;
  const char* what = words ? "word write" : "bit write";
  if (request.body.size() < kHeadBytes) return Refuse(kRange, std::string(what) + ": layout");
  const Head head = HeadOf(request);
  const std::uint64_t unit = words ? 2 : 1;
  if (request.body.size() != kHeadBytes + unit * head.count)
    return Refuse(kRange, Describe(what, head) + ": length does not match");
  if (words ? !WordsFit(head.area, head.offset, head.count)
            : !BitsFit(head.area, head.offset, head.count))
    return Refuse(kRange, Describe(what, head) + ": range");

  const std::uint8_t* data = request.body.data() + kHeadBytes;
  AreaLock lock(head.area);
  if (!lock.held()) return Refuse(kLockTimeout, Describe(what, head) + ": area mutex not had");
  std::uint16_t* area = AreaWords(head.area);
  for (std::uint32_t i = 0; i < head.count; ++i) {
    if (words)
      area[head.offset + i] = proto::Get16(data + 2u * i);
    else
      PutBit(area, std::uint64_t{head.offset} + i, data[i] != 0);
  }
  return Reply{};
}

// The count of the client's call is not on the wire, only the total of data
// and flag words, so the split is worked back from the total:
//   areas 0 and 2: count/16 data words of packed bits + count/16 flag words,
//                  total 2 x count/16; the offset is a bit number and flag
//                  bit i (bit i%16 of flag word i/16) selects data bit i;
//   other areas:   count data words + count/16 flag words, total
//                  17 x count/16; the offset is a word offset and flag bit j
//                  selects data word j.
// A total that no nonzero count gives is refused.
Reply HandleMaskedWrite(const Request& request) {
  if (request.body.size() < kHeadBytes) return Refuse(kRange, "masked write: layout");
  const Head head = HeadOf(request);
  if (request.body.size() != kHeadBytes + 2 * std::uint64_t{head.count})
    return Refuse(kRange, Describe("masked write", head) + ": length does not match");
  if (head.area >= kAreaCount) return Refuse(kRange, Describe("masked write", head) + ": area");
  const bool bit_area = head.area == 0 || head.area == 2;
  const std::uint32_t groups = head.count / (bit_area ? 2u : 17u);  // count / 16
  if (groups == 0 || head.count % (bit_area ? 2u : 17u) != 0)
    return Refuse(kRange, Describe("masked write", head) + ": total fits no count");
  const std::uint32_t data_words = bit_area ? groups : 16u * groups;
  const bool fits = bit_area ? BitsFit(head.area, head.offset, 16u * std::uint64_t{groups})
                             : WordsFit(head.area, head.offset, data_words);
  if (!fits) return Refuse(kRange, Describe("masked write", head) + ": range");

  const std::uint8_t* data = request.body.data() + kHeadBytes;
  const std::uint8_t* flags = data + 2u * data_words;
  AreaLock lock(head.area);
  if (!lock.held())
    return Refuse(kLockTimeout, Describe("masked write", head) + ": area mutex not had");
  std::uint16_t* area = AreaWords(head.area);
  if (bit_area) {
    for (std::uint32_t i = 0; i < 16u * groups; ++i)
      if (GetBit(flags, i)) PutBit(area, std::uint64_t{head.offset} + i, GetBit(data, i));
  } else {
    for (std::uint32_t j = 0; j < data_words; ++j)
      if (GetBit(flags, j)) area[head.offset + j] = proto::Get16(data + 2u * j);
  }
  return Reply{};
}

}  // namespace quonix
