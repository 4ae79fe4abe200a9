// The data areas and mailboxes of a real quonix: direct reads and writes
// (QNA_Read..., QNA_WriteSmem...), writes the server performs (QNA_Write,
// QNA_WriteBit, QNA_WriteWithFlag) and mailboxes, at the edges of the areas
// and across processes.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <thread>

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

// Words and bits written one way are read back the other way: direct writes
// through the server's mapping, server writes in this process's view, a bit
// range across a word boundary both ways, a no-lock read of the same words.
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

// A gathered read packs its ranges one after another; one out of bounds
// gives 6 with the ranges before it copied and nothing after it.
TEST_F(DataAreas, GatheredReadPacksAndStopsAtABadRange) {
  const Words first = {0x0A01, 0x0A02};
  const Words third = {0x0C01};
  ASSERT_EQ(QNA_Write(1, 4, 2, first.data(), 0), QNA_OK);
  ASSERT_EQ(QNA_Write(5, 0, 1, third.data(), 0), QNA_OK);
  const std::uint32_t areas[3] = {1, 3, 5};
  const std::uint32_t counts[3] = {2, 2, 1};
  Words buffer(5, 0xEEEE);
  const std::uint32_t good[3] = {4, 0, 0};
  EXPECT_EQ(QNA_ReadMux(3, areas, good, counts, buffer.data()), QNA_OK);
  EXPECT_EQ(buffer, (Words{0x0A01, 0x0A02, 0, 0, 0x0C01}));
  std::fill(buffer.begin(), buffer.end(), 0xEEEE);
  const std::uint32_t bad[3] = {4, kSmallWords[3] - 1, 0};
  QNA_InternalErr = 77;
  EXPECT_EQ(QNA_ReadMux(3, areas, bad, counts, buffer.data()), QNA_E_ARG);
  EXPECT_EQ(QNA_InternalErr, 0);
  EXPECT_EQ(buffer, (Words{0x0A01, 0x0A02, 0xEEEE, 0xEEEE, 0xEEEE}));
}

// Results at the edges of the areas and mailboxes, for the direct functions
// and for the requests the server serves.  Every refusal is 6 (7 for an
// unknown mailbox) with detail 0, a refused read copies nothing, and the
// link stays in step after each.
TEST_F(DataAreas, EdgeTable) {
  static Words words(4);
  static Bits bits(4);
  static const Words source = {0x1111, 0x2222};
  static const Bits source_bits = {1, 1};
  static const Words flags = {0xFFFF, 0xFFFF};
  static const Words masked(32, 0xFFFF);
  static const std::uint32_t mux_areas[1] = {6};
  static const std::uint32_t mux_offsets[1] = {0};
  static const std::uint32_t mux_counts[1] = {1};
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
      {"write the last word directly", [] { return QNA_WriteSmem(1, kCw - 1, 1, source.data(), 0); }, 0},
      {"write two words from the last directly", [] { return QNA_WriteSmem(1, kCw - 1, 2, source.data(), 0); }, 6},
      {"set the last bit directly", [] { return QNA_WriteSmemBit(0, 16 * kCb - 1, 1, source_bits.data(), 0); }, 0},
      {"set one bit past directly", [] { return QNA_WriteSmemBit(0, 16 * kCb, 1, source_bits.data(), 0); }, 6},
      {"server writes the last word", [] { return QNA_Write(1, kCw - 1, 1, source.data(), 0); }, 0},
      {"server writes two words from the last", [] { return QNA_Write(1, kCw - 1, 2, source.data(), 0); }, 6},
      {"server sets the last bit", [] { return QNA_WriteBit(0, 16 * kCb - 1, 1, source_bits.data(), 0); }, 0},
      {"server sets one bit past", [] { return QNA_WriteBit(0, 16 * kCb, 1, source_bits.data(), 0); }, 6},
      {"server sets bits across the end", [] { return QNA_WriteBit(0, 16 * kCb - 1, 2, source_bits.data(), 0); }, 6},
      {"read 0 words", [] { return QNA_Read(1, 0, 0, words.data(), 0); }, 6},
      {"read 0 bits", [] { return QNA_ReadBit(0, 0, 0, bits.data(), 0); }, 6},
      {"server writes 0 bits", [] { return QNA_WriteBit(0, 0, 0, source_bits.data(), 0); }, 6},
      {"read area 6", [] { return QNA_Read(6, 0, 1, words.data(), 0); }, 6},
      {"gather from area 6", [] { return QNA_ReadMux(1, mux_areas, mux_offsets, mux_counts, words.data()); }, 6},
      {"server writes area 6", [] { return QNA_Write(6, 0, 1, source.data(), 0); }, 6},
      {"server masked write of area 6", [] { return QNA_WriteWithFlag(6, 0, 16, masked.data(), flags.data(), 0); }, 6},
      {"masked count 24", [] { return QNA_WriteWithFlag(1, 0, 24, masked.data(), flags.data(), 0); }, 6},
      {"masked words past area 1", [] { return QNA_WriteWithFlag(1, kCw - 8, 16, masked.data(), flags.data(), 0); }, 6},
      {"masked bits past area 0", [] { return QNA_WriteWithFlag(0, 16 * kCb - 8, 16, masked.data(), flags.data(), 0); }, 6},
      {"masked bit offset past area 2", [] { return QNA_WriteWithFlag(2, 16 * kSmallWords[2], 16, masked.data(), flags.data(), 0); }, 6},
      {"masked offset that wraps", [] { return QNA_WriteWithFlag(1, 0xFFFFFFF8u, 16, masked.data(), flags.data(), 0); }, 6},
      {"read an unknown application", [] { return QNA_ReadApp("NOBODY", 0, 1, words.data()); }, 7},
      {"write an unknown application", [] { return QNA_WriteApp("NOBODY", 0, 1, source.data(), 0); }, 7},
      {"write an unknown application, no reply", [] { return QNA_WriteApp("NOBODY", 0, 1, source.data(), 1); }, 0},
      {"names compare exactly", [] { return QNA_ReadApp("itesting", 0, 1, words.data()); }, 7},
      {"a long name is its first eight", [] { return QNA_WriteApp("ITESTINGMORE", 3, 1, source.data(), 0); }, 0},
      {"seven characters are another name", [] { return QNA_ReadApp("ITESTIN", 3, 1, words.data()); }, 7},
      {"read past the mailbox", [] { return QNA_ReadApp("ITESTING", 2047, 2, words.data()); }, 6},
      {"write past the mailbox", [] { return QNA_WriteApp("ITESTING", 2048, 1, source.data(), 0); }, 6},
      {"read 0 mailbox words", [] { return QNA_ReadApp("ITESTING", 0, 0, words.data()); }, 6},
      {"last word of the mailbox", [] { return QNA_ReadApp("ITESTING", 2047, 1, words.data()); }, 0},
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
  // holds the first source word (written twice), the last bit of area 0 is
  // set, and nothing else anywhere.
  Words cw(kCw, 0), cb(kCb, 0);
  cw.back() = 0x1111;
  cb.back() = 0x8000;
  EXPECT_EQ(ReadWords(1, 0, kCw), cw);
  EXPECT_EQ(ReadWords(0, 0, kCb), cb);
  EXPECT_EQ(ReadWords(2, 0, kSmallWords[2]), Words(kSmallWords[2], 0));
  // The long name's write is in the mailbox.
  EXPECT_EQ(QNA_ReadApp("ITESTING", 3, 1, words.data()), QNA_OK);
  EXPECT_EQ(words[0], 0x1111);
}

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

// Masked writes performed by the server: on the bit areas 0 and 2 the count
// counts bits and each flag bit selects one data bit; on the other areas the
// count counts words and each flag bit selects one data word.  Only flagged
// bits or words change.
TEST_F(DataAreas, MaskedWritesChangeOnlyFlaggedBitsOrWords) {
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

// A word write larger than one request goes out in pieces of 16384 words,
// each at its own offset: all of it lands.  When a later piece leaves the
// area, that piece is refused with 6 and the pieces before it stay written.
TEST_F(IntegrationTest, LargeWritesGoInPieces) {
  constexpr std::uint32_t kArea = 65536;
  constexpr std::uint32_t kCount = 40000;  // 16384 + 16384 + 7232
  ASSERT_TRUE(StartServer({"--cw", std::to_string(kArea)}));
  const QNA_REGREC record = Record("LARGE");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  Words data(kCount);
  for (std::uint32_t i = 0; i < kCount; ++i) data[i] = static_cast<std::uint16_t>(i * 7 + 1);

  ASSERT_EQ(QNA_Write(1, 100, kCount, data.data(), 0), QNA_OK);
  Words back(kCount + 2, 0xEEEE);
  ASSERT_EQ(QNA_Read(1, 99, kCount + 2, back.data(), 0), QNA_OK);
  EXPECT_EQ(back.front(), 0);
  EXPECT_EQ(back.back(), 0);
  EXPECT_TRUE(std::equal(data.begin(), data.end(), back.begin() + 1));

  // The third piece would end one word past the area.
  const std::uint32_t offset = kArea - kCount + 1;
  ASSERT_EQ(QNA_WriteSmem(1, 0, kCount, Words(kCount, 0).data(), 0), QNA_OK);
  ASSERT_EQ(QNA_WriteSmem(1, kCount, kArea - kCount, Words(kArea - kCount, 0).data(), 0), QNA_OK);
  EXPECT_EQ(QNA_Write(1, offset, kCount, data.data(), 0), QNA_E_ARG);
  Words all(kArea, 0xEEEE);
  ASSERT_EQ(QNA_Read(1, 0, kArea, all.data(), 0), QNA_OK);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 2 * 16384, all.begin() + offset));
  EXPECT_TRUE(std::all_of(all.begin() + offset + 2 * 16384, all.end(), [](std::uint16_t w) { return w == 0; }));
  EXPECT_EQ(all[offset - 1], 0);
}

// Two clients in processes of their own share one set of areas and one
// server: the direct writes of one reach the other's view, the server's
// writes of the other reach this one, and each puts words into the other's
// mailbox, the answer without a reply (the next reply on that link is then
// the read's own).
TEST_F(IntegrationTest, AreasAndMailboxesAreSharedBetweenProcesses) {
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  qt::Signal ready, go, done;
  const Words mine = {0x1001, 0x1002, 0x1003};
  const Words theirs = {0x2001, 0x2002};
  const Words letter = {0x4C01, 0x4C02, 0x4C03, 0x4C04};
  const Words answer = {0xA001, 0xA002, 0xA003};
  qt::Child other([&] {
    const QNA_REGREC record = Record("OTHER");
    if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open", r));
    ready.Post();
    if (go.Take(60s) != 1) return ChildFail("no go");
    Words seen(3, 0);
    if (const auto r = QNA_Read(1, 30, 3, seen.data(), 0); r != QNA_OK)
      return ChildFail(Got("QNA_Read", r));
    if (seen != mine) return ChildFail("the direct write did not arrive");
    std::uint8_t bit = 0;
    if (QNA_ReadBit(0, 16 * 3 + 2, 1, &bit, 0) != QNA_OK || bit != 1)
      return ChildFail("the direct bit did not arrive");
    Words got(4, 0xEEEE);
    if (const auto r = QNA_ReadApp("OTHER", 10, 4, got.data()); r != QNA_OK)
      return ChildFail(Got("QNA_ReadApp", r));
    if (got != letter) return ChildFail("the letter did not arrive");
    if (const auto r = QNA_Write(1, 40, 2, theirs.data(), 0); r != QNA_OK)
      return ChildFail(Got("QNA_Write", r));
    const std::uint8_t set = 1;
    if (const auto r = QNA_WriteBit(2, 17, 1, &set, 0); r != QNA_OK)
      return ChildFail(Got("QNA_WriteBit", r));
    if (const auto r = QNA_WriteApp("MINE", 0, 3, answer.data(), 1); r != QNA_OK)
      return ChildFail(Got("QNA_WriteApp without reply", r));
    Words echo(3, 0xEEEE);
    if (const auto r = QNA_ReadApp("MINE", 0, 3, echo.data()); r != QNA_OK)
      return ChildFail(Got("QNA_ReadApp after the write", r));
    if (echo != answer) return ChildFail("the answer is not in MINE's mailbox");
    done.Post();
    QNA_Close();
    return 0;
  });
  ASSERT_EQ(ready.Take(30s), 1);

  const QNA_REGREC record = Record("MINE");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  ASSERT_EQ(QNA_WriteSmem(1, 30, 3, mine.data(), 0), QNA_OK);
  const std::uint8_t set = 1;
  ASSERT_EQ(QNA_WriteSmemBit(0, 16 * 3 + 2, 1, &set, 0), QNA_OK);
  ASSERT_EQ(QNA_WriteApp("OTHER", 10, 4, letter.data(), 0), QNA_OK);
  go.Post();
  ASSERT_EQ(done.Take(30s), 1);
  EXPECT_EQ(ReadWords(1, 40, 2), theirs);
  EXPECT_EQ(ReadWords(2, 1, 1), (Words{0x0002}));
  Words got(3, 0xEEEE);
  EXPECT_EQ(QNA_ReadApp("MINE", 0, 3, got.data()), QNA_OK);
  EXPECT_EQ(got, answer);
  EXPECT_EQ(other.Wait(30s), 0);
}

}  // namespace
