// The data areas and mailboxes of a real quonix, where the library's view of
// them and the server's must agree.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "integration.h"
#include "platform/platform.h"

namespace {

using namespace it;

using Bits = std::vector<std::uint8_t>;
constexpr std::uint32_t kCw = kSmallWords[1];  // words of area 1
constexpr std::uint32_t kCb = kSmallWords[0];  // words of area 0

Words ReadWords(std::uint32_t area, std::uint32_t offset, std::uint32_t count) {
  Words words(count, 0xEEEE);
  EXPECT_EQ(QNA_Read(area, offset, count, words.data(), 0), QNA_OK);
  return words;
}

Bits ReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count) {
  Bits bits(count, 0xEE);
  EXPECT_EQ(QNA_ReadBit(area, bit, count, bits.data(), 0), QNA_OK);
  return bits;
}

using DataAreas = OpenClient;

// Words and bits written one way (direct or served) are read back the other.
TEST_F(DataAreas, WritesOfEitherKindAreReadBackEitherWay) {
  const Words direct = {0x0102, 0x0304, 0xFFFF, 0x8000};
  ASSERT_EQ(QNA_WriteSmem(1, 20, 4, direct.data(), 0), QNA_OK);
  EXPECT_EQ(ReadWords(1, 19, 6), (Words{0, 0x0102, 0x0304, 0xFFFF, 0x8000, 0}));
  const Words served = {0xA0A0, 0x0B0B, 0x00C0};
  ASSERT_EQ(QNA_Write(3, 100, 3, served.data(), 0), QNA_OK);
  EXPECT_EQ(ReadWords(3, 99, 5), (Words{0, 0xA0A0, 0x0B0B, 0x00C0, 0}));
  Words unlocked(3, 0);
  EXPECT_EQ(QNA_Read(3, 100, 3, unlocked.data(), 1), QNA_OK);
  EXPECT_EQ(unlocked, served);
  // A gathered read packs its ranges one after another.
  const std::uint32_t areas[3] = {1, 3, 1}, offsets[3] = {21, 100, 20}, counts[3] = {2, 3, 1};
  Words gathered(6, 0xEEEE);
  EXPECT_EQ(QNA_ReadMux(3, areas, offsets, counts, gathered.data()), QNA_OK);
  EXPECT_EQ(gathered, (Words{0x0304, 0xFFFF, 0xA0A0, 0x0B0B, 0x00C0, 0x0102}));

  // Bit 15 with a count of 2 is bit 15 of one word and bit 0 of the next;
  // source bytes 0x00, 0x80, 0x01 clear one bit and set two.
  using WriteBits = std::uint32_t (*)(std::uint32_t, std::uint32_t, std::uint32_t, const std::uint8_t*, std::uint32_t);
  const std::pair<const char*, WriteBits> writers[] = {{"direct", QNA_WriteSmemBit}, {"served", QNA_WriteBit}};
  for (const auto& [how, write] : writers) {
    SCOPED_TRACE(how);
    const Words cleared = {0, 0};
    ASSERT_EQ(QNA_WriteSmem(2, 0, 2, cleared.data(), 0), QNA_OK);
    const Bits two = {1, 1};
    ASSERT_EQ(write(2, 15, 2, two.data(), 0), QNA_OK);
    EXPECT_EQ(ReadWords(2, 0, 2), (Words{0x8000, 0x0001}));
    EXPECT_EQ(ReadBits(2, 14, 4), (Bits{0, 1, 1, 0}));
    const Bits mixed = {0x00, 0x80, 0x01};
    ASSERT_EQ(write(2, 15, 3, mixed.data(), 0), QNA_OK);
    EXPECT_EQ(ReadWords(2, 0, 2), (Words{0x0000, 0x0003}));
  }
}

// The ends of small areas and mailboxes: a refused read copies nothing, and
// the link stays in step after each row.
TEST_F(DataAreas, EdgeTable) {
  static Words words(4);
  static Bits bits(4);
  static const Words source = {0x1111, 0x2222};
  static const Bits source_bits = {1, 1};
  static const Words flags = {0xFFFF, 0xFFFF};
  static const Words masked(32, 0xFFFF);
  struct Case {
    const char* situation;
    std::function<std::uint32_t()> call;
    std::uint32_t result;
  };
  const Case cases[] = {
      {"read the last word of area 1", [] { return QNA_Read(1, kCw - 1, 1, words.data(), 0); }, 0},
      {"read two words from the last", [] { return QNA_Read(1, kCw - 1, 2, words.data(), 0); }, 6},
      {"read the last bit of area 0", [] { return QNA_ReadBit(0, 16 * kCb - 1, 1, bits.data(), 0); }, 0},
      {"read one bit past area 0", [] { return QNA_ReadBit(0, 16 * kCb, 1, bits.data(), 0); }, 6},
      {"server writes the last word", [] { return QNA_Write(1, kCw - 1, 1, source.data(), 0); }, 0},
      {"server writes two words from the last", [] { return QNA_Write(1, kCw - 1, 2, source.data(), 0); }, 6},
      {"server sets the last bit", [] { return QNA_WriteBit(0, 16 * kCb - 1, 1, source_bits.data(), 0); }, 0},
      {"server sets bits across the end", [] { return QNA_WriteBit(0, 16 * kCb - 1, 2, source_bits.data(), 0); }, 6},
      {"server writes area 6", [] { return QNA_Write(6, 0, 1, source.data(), 0); }, 6},
      {"masked words past area 1", [] { return QNA_WriteWithFlag(1, kCw - 8, 16, masked.data(), flags.data(), 0); }, 6},
      {"write an unknown application, no reply", [] { return QNA_WriteApp("NOBODY", 0, 1, source.data(), 1); }, 0},
      {"a long name is its first eight", [] { return QNA_WriteApp("ITESTINGMORE", 3, 1, source.data(), 0); }, 0},
      {"seven characters are another name", [] { return QNA_ReadApp("ITESTIN", 3, 1, words.data()); }, 7},
      {"write past the mailbox", [] { return QNA_WriteApp("ITESTING", 2048, 1, source.data(), 0); }, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    std::fill(words.begin(), words.end(), 0xEEEE);
    std::fill(bits.begin(), bits.end(), 0xEE);
    QNA_InternalErr = 77;
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(QNA_InternalErr, 0);
    if (c.result != 0) {
      EXPECT_EQ(words[0], 0xEEEE);
      EXPECT_EQ(bits[0], 0xEE);
    }
    const std::uint16_t mark = 0x5A5A;
    std::uint16_t back = 0;
    EXPECT_EQ(QNA_WriteApp("ITESTING", 100, 1, &mark, 0), QNA_OK);
    EXPECT_EQ(QNA_ReadApp("ITESTING", 100, 1, &back), QNA_OK);
    EXPECT_EQ(back, mark);
  }
  // Only the accepted writes reached the areas: the last word of area 1
  // holds the first source word, the last bit of area 0 is set, and nothing
  // else anywhere; the long name's write is in the mailbox.
  Words cw(kCw, 0), cb(kCb, 0);
  cw.back() = 0x1111;
  cb.back() = 0x8000;
  EXPECT_EQ(ReadWords(1, 0, kCw), cw);
  EXPECT_EQ(ReadWords(0, 0, kCb), cb);
  EXPECT_EQ(QNA_ReadApp("ITESTING", 3, 1, words.data()), QNA_OK);
  EXPECT_EQ(words[0], 0x1111);
}

}  // namespace
