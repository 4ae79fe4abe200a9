// Direct access to the data areas: ranges, bits, gathered reads, the area
// mutexes, areas that are not mapped.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/family.h"

namespace {

using namespace qt;

const std::array<std::uint32_t, 6> kWords = {16, 300, 32, 256, 8, 9};

// A client opened against the test's own areas and a scripted server.
class AreasTest : public LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(objects_.ok());
    peer_.Serve(Answering(objects_.SizesPayload()));
    ASSERT_EQ(QNA_Open(&record_), QNA_OK);
  }
  ServerObjects objects_{kWords};
  Peer peer_;
  QNA_REGREC record_{0, 0, {'A', 'R', 'E', 'A', 'S', 0, 0, 0}};
};

// Results of the data functions at the edges of the areas that a real
// server cannot show (the integration tests have the rest); every refusal
// leaves QNA_InternalErr at 0 and touches nothing.
TEST_F(AreasTest, RangeTable) {
  static std::uint16_t words[4];
  static std::uint8_t bits[4];
  static const std::uint16_t source[4] = {1, 2, 3, 4};
  static const std::uint8_t source_bits[4] = {1, 1, 1, 1};
  struct Case {
    const char* situation;
    std::uint32_t (*call)();
    std::uint32_t result;
  };
  const Case cases[] = {
      {"count 0", [] { return QNA_Read(1, 0, 0, words, 0); }, 6},
      {"count 0 inside the area", [] { return QNA_Read(1, 5, 0, words, 0); }, 6},  // 5 + 0 - 1 is in range
      {"no buffer", [] { return QNA_Read(1, 0, 1, nullptr, 0); }, 6},
      {"word range wraps", [] { return QNA_Read(1, 0xFFFFFFFFu, 2, words, 0); }, 6},
      {"bits across the end", [] { return QNA_ReadBit(0, 16 * 16 - 2, 3, bits, 0); }, 6},
      {"bits into no buffer", [] { return QNA_ReadBit(0, 0, 1, nullptr, 0); }, 6},
      {"write the last word", [] { return QNA_WriteSmem(5, 8, 1, source, 0); }, 0},
      {"write past the end", [] { return QNA_WriteSmem(5, 8, 2, source, 0); }, 6},
      {"write 0 words", [] { return QNA_WriteSmem(5, 0, 0, source, 0); }, 6},
      {"write from no buffer", [] { return QNA_WriteSmem(5, 0, 1, nullptr, 0); }, 6},
      {"set the last bit", [] { return QNA_WriteSmemBit(4, 8 * 16 - 1, 1, source_bits, 0); }, 0},
      {"set bits past the end", [] { return QNA_WriteSmemBit(4, 8 * 16 - 1, 2, source_bits, 0); }, 6},
      {"set 0 bits", [] { return QNA_WriteSmemBit(4, 0, 0, source_bits, 0); }, 6},
      {"set bits from no buffer", [] { return QNA_WriteSmemBit(4, 0, 1, nullptr, 0); }, 6},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    SetDetail(77);
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(QNA_InternalErr, 0);
  }
  // Only the two successful writes reached the areas.
  EXPECT_EQ(objects_.area(5)[7], 0);
  EXPECT_EQ(objects_.area(5)[8], 1);
  EXPECT_EQ(objects_.area(4)[7], 0x8000);
  EXPECT_EQ(objects_.area(4)[6], 0);
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

// A gathered read of no ranges has nothing to do; without offsets it is
// refused (a bad range is in the integration tests).
TEST_F(AreasTest, GatheredReadArguments) {
  const std::uint32_t areas[2] = {1, 3};
  const std::uint32_t counts[2] = {2, 1};
  std::uint16_t buffer[3];
  EXPECT_EQ(QNA_ReadMux(0, nullptr, nullptr, nullptr, nullptr), QNA_OK);
  EXPECT_EQ(QNA_ReadMux(2, areas, nullptr, counts, buffer), QNA_E_ARG);
}

// A range whose end passes 2^32 is refused even in an area that claims to
// be that large; computed in 32 bits it would wrap to the area's start.
TEST_F(AreasTest, RangesNeverWrap) {
  AreaSetSize(1, 0xFFFFFFFFu);
  std::uint16_t words[2] = {};
  std::uint8_t bits[32] = {};
  EXPECT_EQ(QNA_Read(1, 0xFFFFFFFFu, 2, words, 0), QNA_E_ARG);
  EXPECT_EQ(QNA_WriteSmem(1, 0xFFFFFFFFu, 2, words, 0), QNA_E_ARG);
  EXPECT_EQ(QNA_ReadBit(1, 0xFFFFFFF0u, 32, bits, 0), QNA_E_ARG);
  EXPECT_EQ(QNA_WriteSmemBit(1, 0xFFFFFFF0u, 32, bits, 0), QNA_E_ARG);
}

// Threads read while another closes the areas and opens them again: each
// read either works or finds the area closed (6), and none touches a view
// that was unmapped or a mutex that was closed (which would crash the test).
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

// Before any registration every size is 0: once the link is open, every
// access is refused.
using AreasBeforeRegistration = LibraryTest;
TEST_F(AreasBeforeRegistration, EverySizeIsZero) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  Peer peer;
  peer.Serve([](PeerConn& conn) { conn.WaitFinish(); });
  {
    LinkSession session;
    ASSERT_TRUE(session.ok());
    ASSERT_EQ(AreaOpenAll(), 0);
    std::uint16_t word = 0;
    std::uint8_t bit = 0;
    EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_E_ARG);
    EXPECT_EQ(QNA_ReadBit(0, 0, 1, &bit, 0), QNA_E_ARG);
    EXPECT_EQ(QNA_WriteSmem(1, 0, 1, &word, 0), QNA_E_ARG);
    EXPECT_EQ(QNA_WriteSmemBit(0, 0, 1, &bit, 0), QNA_E_ARG);
  }
}

}  // namespace
