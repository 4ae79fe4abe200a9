// Direct access to the data areas.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "support/family.h"

namespace {

using namespace qt;

// Area 1 fills one page, area 5 ends inside one; more is announced.
constexpr std::array<std::uint32_t, 6> kMapped = {16, 2048, 32, 256, 8, 300};
constexpr std::array<std::uint32_t, 6> kAnnounced = {64, 32768, 4096, 4096, 8192, 8192};

Bytes SizesPayload(const std::array<std::uint32_t, 6>& words) {
  Bytes out;
  for (std::uint32_t w : words) Add32(out, w);
  return out;
}

class AreasTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(objects_.ok());
    peer_.Serve(Answering(SizesPayload(kAnnounced)));
    ASSERT_EQ(QNA_Open(&record_), QNA_OK);
  }
  ServerObjects objects_{kMapped};
  Peer peer_;
  QNA_REGREC record_{0, 0, {'A', 'R', 'E', 'A', 'S', 0, 0, 0}};
};

using W = std::uint16_t*;
using B = std::uint8_t*;
constexpr std::uint16_t kUntouched = 0xEEEE;
constexpr std::uint8_t kUntouchedBit = 0xEE;

// Edges a real server cannot show; a refusal leaves the detail at 0 and
// touches neither buffer nor area.
TEST_F(AreasTest, RangeTable) {
  objects_.area(1)[2047] = 0x2047;
  objects_.area(0)[15] = 0x8000;
  objects_.area(5)[299] = 0x0299;
  static const std::uint16_t two[2] = {1, 2};
  static const std::uint8_t ones[32] = {1, 1, 1, 1};
  static const std::uint32_t areas[2] = {1, 3}, counts[2] = {2, 1};
  struct Case {
    const char* situation;
    std::uint32_t (*call)(W words, B bits);
    std::uint32_t result;
    std::uint16_t word = kUntouched;  // words[0] afterwards
    std::uint8_t bit = kUntouchedBit;  // bits[0] afterwards
    std::int32_t detail = 0;
  };
  const Case cases[] = {
      {"count 0", [](W w, B) { return QNA_Read(1, 0, 0, w, 0); }, 6},
      {"count 0 inside", [](W w, B) { return QNA_Read(1, 5, 0, w, 0); }, 6},
      {"no buffer", [](W, B) { return QNA_Read(1, 0, 1, nullptr, 0); }, 6},
      {"word range wraps", [](W w, B) { return QNA_Read(1, 0xFFFFFFFFu, 2, w, 0); }, 6},
      {"bits into no buffer", [](W, B) { return QNA_ReadBit(0, 0, 1, nullptr, 0); }, 6},
      {"write the last word", [](W, B) { return QNA_WriteSmem(3, 255, 1, two, 0); }, 0},
      {"write past the end", [](W, B) { return QNA_WriteSmem(3, 255, 2, two, 0); }, 6},
      {"write 0 words", [](W, B) { return QNA_WriteSmem(5, 0, 0, two, 0); }, 6},
      {"write from no buffer", [](W, B) { return QNA_WriteSmem(5, 0, 1, nullptr, 0); }, 6},
      {"set the last bit", [](W, B) { return QNA_WriteSmemBit(4, 127, 1, ones, 0); }, 0},
      {"set bits past the end", [](W, B) { return QNA_WriteSmemBit(4, 127, 2, ones, 0); }, 6},
      {"set 0 bits", [](W, B) { return QNA_WriteSmemBit(4, 0, 0, ones, 0); }, 6},
      {"set bits from no buffer", [](W, B) { return QNA_WriteSmemBit(4, 0, 1, nullptr, 0); }, 6},
      {"gathered read of no ranges",
       [](W, B) { return QNA_ReadMux(0, nullptr, nullptr, nullptr, nullptr); }, 0, kUntouched,
       kUntouchedBit, 77},
      {"gathered, no offsets", [](W w, B) { return QNA_ReadMux(2, areas, nullptr, counts, w); }, 6},
      {"last mapped word of area 1", [](W w, B) { return QNA_Read(1, 2047, 1, w, 0); }, 0, 0x2047},
      {"first word past the page", [](W w, B) { return QNA_Read(1, 2048, 1, w, 0); }, 6},
      {"range across the mapping's end", [](W w, B) { return QNA_Read(1, 2047, 2, w, 0); }, 6},
      {"no-lock read past the page", [](W w, B) { return QNA_Read(1, 4096, 1, w, 1); }, 6},
      {"last mapped word of area 5", [](W w, B) { return QNA_Read(5, 299, 1, w, 0); }, 0, 0x0299},
      {"past a mapping ending in a page", [](W w, B) { return QNA_Read(5, 300, 1, w, 0); }, 6},
      {"last mapped bit", [](W, B b) { return QNA_ReadBit(0, 255, 1, b, 0); }, 0, kUntouched, 1},
      {"bits across the mapping's end", [](W, B b) { return QNA_ReadBit(0, 255, 2, b, 0); }, 6},
      {"write across the end", [](W, B) { return QNA_WriteSmem(5, 299, 2, two, 0); }, 6},
      {"set bits past the mapping", [](W, B) { return QNA_WriteSmemBit(2, 512, 2, ones, 0); }, 6},
      // In an area of 2^32 words (from here on) a range past 2^32 would wrap.
      {"word range wraps in the largest area",
       [](W w, B) {
         AreaSetSize(1, 0xFFFFFFFFu);
         return QNA_Read(1, 0xFFFFFFFFu, 2, w, 0);
       },
       6},
      {"write wraps", [](W w, B) { return QNA_WriteSmem(1, 0xFFFFFFFFu, 2, w, 0); }, 6},
      {"bits wrap", [](W, B b) { return QNA_ReadBit(1, 0xFFFFFFF0u, 32, b, 0); }, 6},
      {"set bits wrap", [](W, B) { return QNA_WriteSmemBit(1, 0xFFFFFFF0u, 32, ones, 0); }, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    std::uint16_t words[2] = {kUntouched, kUntouched};
    std::uint8_t bits[32] = {kUntouchedBit, kUntouchedBit};
    SetDetail(77);
    EXPECT_EQ(c.call(words, bits), c.result);
    EXPECT_EQ(QNA_InternalErr, c.detail);
    EXPECT_EQ(words[0], c.word);
    EXPECT_EQ(bits[0], c.bit);
  }
  // Only the two successful writes reached the areas.
  EXPECT_EQ(objects_.area(3)[254], 0);
  EXPECT_EQ(objects_.area(3)[255], 1);
  EXPECT_EQ(objects_.area(4)[7], 0x8000);
  EXPECT_EQ(objects_.area(4)[6], 0);
  EXPECT_EQ(objects_.area(5)[299], 0x0299);
  EXPECT_EQ(objects_.area(2)[31], 0);
}

TEST_F(AreasTest, BitReads) {
  struct Case {
    const char* situation;
    std::uint16_t word0, word1;
    std::uint32_t bit, count;
    std::vector<std::uint8_t> expected;
  };
  const Case cases[] = {
      {"bit 15, then bit 0 of the next word", 0x8000, 0x0001, 15, 2, {1, 1}},
      {"bit 15 set, next word clear", 0x8000, 0x0000, 15, 2, {1, 0}},
      {"bit 0 is the least significant", 0x0005, 0, 0, 4, {1, 0, 1, 0}},
      {"a whole word and one more", 0xF0F0, 0xFFFF, 0, 17, {0, 0, 0, 0, 1, 1, 1, 1, 0, 0, 0, 0, 1, 1, 1, 1, 1}},
      {"one bit of the next word", 0xFFFF, 0x0008, 19, 1, {1}},
      {"one clear bit among set ones", 0xFF7F, 0xFFFF, 7, 1, {0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    objects_.area(0)[0] = c.word0;
    objects_.area(0)[1] = c.word1;
    std::vector<std::uint8_t> buffer(c.count + 1, 0xEE);
    EXPECT_EQ(QNA_ReadBit(0, c.bit, c.count, buffer.data(), 0), QNA_OK);
    std::vector<std::uint8_t> expected = c.expected;
    expected.push_back(0xEE);  // nothing past count bytes
    EXPECT_EQ(buffer, expected);
  }
}

// Reads while another thread closes and reopens the areas: done or 6.
TEST_F(AreasTest, CloseWhileOthersRead) {
  std::atomic<bool> stop{false};
  std::atomic<int> wrong{0};
  std::vector<std::thread> readers;
  for (const std::uint32_t no_lock : {0u, 1u})
    readers.emplace_back([&stop, &wrong, no_lock] {
      std::uint16_t words[300];
      while (!stop.load()) {
        const std::uint32_t r = QNA_Read(1, 0, 300, words, no_lock);
        if (r != QNA_OK && r != QNA_E_ARG) ++wrong;
      }
    });
  int reopened = 0;
  for (; reopened < 300; ++reopened) {
    AreaCloseAll();
    if (AreaOpenAll() != 0) break;
  }
  stop = true;
  for (auto& reader : readers) reader.join();
  EXPECT_EQ(reopened, 300);
  EXPECT_EQ(wrong.load(), 0);
}

// A gathered read stops at the range past the mapping.
TEST_F(AreasTest, GatheredReadStopsAtTheMapping) {
  objects_.area(1)[0] = 0x0101;
  objects_.area(1)[1] = 0x0102;
  const std::uint32_t areas[2] = {1, 1};
  const std::uint32_t offsets[2] = {0, 2040};
  const std::uint32_t counts[2] = {2, 16};
  std::vector<std::uint16_t> buffer(18, 0xEEEE);
  EXPECT_EQ(QNA_ReadMux(2, areas, offsets, counts, buffer.data()), QNA_E_ARG);
  EXPECT_EQ(buffer[0], 0x0101);
  EXPECT_EQ(buffer[1], 0x0102);
  for (std::size_t i = 2; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEEEE) << i;
}

// The bound follows the mapping of a reopen.
using AreaBoundsReopen = LibraryTest;
TEST_F(AreaBoundsReopen, BoundFollowsTheNewMapping) {
  const QNA_REGREC record{0, 0, {'R', 'E', 'O', 'P', 'E', 'N', 0, 0}};
  std::uint16_t word = 0xEEEE;
  {
    ServerObjects small(kMapped);
    ASSERT_TRUE(small.ok());
    Peer peer(Answering(SizesPayload(kAnnounced)));
    ASSERT_EQ(QNA_Open(&record), QNA_OK);
    EXPECT_EQ(QNA_Read(1, 4000, 1, &word, 0), QNA_E_ARG);
    QNA_Close();
  }
  ServerObjects large(kAnnounced);
  ASSERT_TRUE(large.ok());
  large.area(1)[4000] = 0x4000;
  Peer peer(Answering(SizesPayload(kAnnounced)));
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  EXPECT_EQ(QNA_Read(1, 4000, 1, &word, 0), QNA_OK);
  EXPECT_EQ(word, 0x4000);
  EXPECT_EQ(QNA_Read(1, 32767, 1, &word, 0), QNA_OK);
  QNA_Close();
}

// ShmSize: the mapping's bytes through either handle; none for others.
using MappingSize = LibraryTest;
TEST_F(MappingSize, IsWhatTheMappingHolds) {
  char name[] = "\\sharemem\\sized", same[] = "\\sharemem\\sized";
  void *created_view = nullptr, *opened_view = nullptr;
  Handle created = 0, opened = 0, mutex = 0;
  ASSERT_EQ(ShmCreate(&created_view, name, 1002, 3, &created), 0);
  ASSERT_EQ(ShmOpen(&opened_view, same, 3, &opened), 0);
  ASSERT_EQ(MtxCreate(nullptr, &mutex, 0), 0);
  EXPECT_EQ(ShmSize(created), 1002u);
  EXPECT_EQ(ShmSize(opened), 1002u);
  EXPECT_EQ(ShmSize(mutex), 0u);
  ASSERT_EQ(ShmClose(opened_view, opened), 0);
  EXPECT_EQ(ShmSize(opened), 0u);
  ShmClose(created_view, created);
  HndClose(mutex);
}

}  // namespace
