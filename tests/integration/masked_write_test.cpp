// Masked writes (QNA_WriteWithFlag) performed by a real quonix: on the bit
// areas 0 and 2 the count counts bits and each flag bit selects one data
// bit; on the other areas the count counts words and each flag bit selects
// one data word.  Only flagged bits or words change.
#include <gtest/gtest.h>

#include "integration.h"

namespace {

using namespace it;

struct MaskedCase {
  const char* situation;
  std::uint32_t area;
  std::uint32_t offset;  // bit number on areas 0 and 2, else word offset
  std::uint32_t count;
  Words data;
  Words flags;
  std::uint32_t at;  // first word compared
  Words before;      // words from `at`, written directly first
  Words after;       // the same words after the masked write
};

Words Sequence(std::uint16_t base, std::size_t n) {
  Words out(n);
  for (std::size_t j = 0; j < n; ++j) out[j] = static_cast<std::uint16_t>(base + j);
  return out;
}

Words Concat(std::initializer_list<Words> parts) {
  Words out;
  for (const Words& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

using MaskedWrites = OpenClient;

TEST_F(MaskedWrites, OnlyFlaggedBitsOrWordsChange) {
  const MaskedCase cases[] = {
      // Bits 8..39: data bits 0..7 (clear) flagged, 8..23 not, 24..31 (set)
      // flagged: bits 8..15 clear, bits 32..39 set, the rest stays.
      {"bit area 0, 32 bits from bit 8", 0, 8, 32, {0x0000, 0xFFFF}, {0x00FF, 0xFF00},
       0, {0xFFFF, 0x0000, 0xF0F0, 0x0000}, {0x00FF, 0x0000, 0xF0FF, 0x0000}},
      // Bits 24..39 straddle two words.
      {"bit area 2, across a word", 2, 24, 16, {0xFFFF}, {0x8001},
       1, {0x0000, 0x0000, 0x0000}, {0x0100, 0x0080, 0x0000}},
      // Words 10..25; flags 0x8001 select data words 0 and 15.
      {"word area 1, 16 words", 1, 10, 16, Sequence(0xD000, 16), {0x8001},
       9, Concat({{0x0009}, Sequence(0x1000, 16), {0x0026}}),
       Concat({{0x0009, 0xD000}, Sequence(0x1001, 14), {0xD00F, 0x0026}})},
      // 32 words, two flag words: only the second group is written.
      {"word area 3, 32 words", 3, 50, 32, Sequence(0xE000, 32), {0x0000, 0xFFFF},
       50, Words(32, 0), Concat({Words(16, 0), Sequence(0xE010, 16)})},
  };
  for (const MaskedCase& c : cases) {
    SCOPED_TRACE(c.situation);
    ASSERT_EQ(QNA_WriteSmem(c.area, c.at, static_cast<std::uint32_t>(c.before.size()),
                            c.before.data(), 0),
              QNA_OK);
    QNA_InternalErr = 77;
    EXPECT_EQ(QNA_WriteWithFlag(c.area, c.offset, c.count, c.data.data(), c.flags.data(), 0), QNA_OK);
    EXPECT_EQ(QNA_InternalErr, 0);
    Words now(c.after.size(), 0xEEEE);
    ASSERT_EQ(QNA_Read(c.area, c.at, static_cast<std::uint32_t>(now.size()), now.data(), 0), QNA_OK);
    EXPECT_EQ(now, c.after);
  }
}

}  // namespace
