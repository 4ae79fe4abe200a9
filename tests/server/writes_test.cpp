// Word (100101), bit (100100) and masked (100120) writes against a real
// quonix, checked in the mapped areas.
#include <gtest/gtest.h>

#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace {

using wire::AreaView;
using wire::Link;

class ServerWrites : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready());
    ASSERT_TRUE(link_.ok());
  }
  std::uint32_t Result(const wire::Bytes& request) {
    auto reply = link_.Call(request);
    EXPECT_TRUE(reply.has_value());
    if (!reply) return 0xDEAD;
    EXPECT_EQ(reply->length, 8u);
    return reply->result;
  }
  qt::TempRoot root_;
  qt::Server server_{{"--cb", "64", "--cw", "256"}};
  Link link_;
};

TEST_F(ServerWrites, WordWriteLandsInTheArea) {
  EXPECT_EQ(Result(wire::WordWrite(1, 100, {1, 0xFFFF, 0x8001})), 0u);
  AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  EXPECT_EQ(cw.Get(99), 0u);
  EXPECT_EQ(cw.Get(100), 1u);
  EXPECT_EQ(cw.Get(101), 0xFFFFu);
  EXPECT_EQ(cw.Get(102), 0x8001u);
  EXPECT_EQ(cw.Get(103), 0u);
}

TEST_F(ServerWrites, BitWriteSetsAndClearsAcrossAWordBoundary) {
  AreaView cb(0);
  ASSERT_TRUE(cb.ok());
  cb.Set(0, 0x8000);  // bit 15 set beforehand
  // Bits 15, 16, 17: any nonzero byte sets.
  EXPECT_EQ(Result(wire::BitWrite(0, 15, {0x00, 0x80, 0x01})), 0u);
  EXPECT_EQ(cb.Get(0), 0x0000u);
  EXPECT_EQ(cb.Get(1), 0x0003u);
  // The last bit of the area.
  EXPECT_EQ(Result(wire::BitWrite(0, 64 * 16 - 1, {1})), 0u);
  EXPECT_EQ(cb.Get(63), 0x8000u);
}

struct WriteRange {
  const char* what;
  std::uint32_t command;
  std::uint32_t area, offset, count;
};

class ServerWriteRanges : public ServerWrites, public ::testing::WithParamInterface<WriteRange> {};

TEST_P(ServerWriteRanges, OutOfRangeIsRefusedWithSixAndNothingIsWritten) {
  const auto& c = GetParam();
  const wire::Bytes data(c.command == proto::kWriteWords ? 2u * c.count : c.count, 0xFF);
  wire::Builder body;
  body.u32(c.area).u32(c.offset).u32(c.count).raw(data);
  EXPECT_EQ(Result(wire::Record(c.command, 0, body.bytes)), 6u);
  for (std::uint32_t area : {0u, 1u}) {
    AreaView view(area);
    ASSERT_TRUE(view.ok());
    const std::uint32_t words = area == 0 ? 64 : 256;
    for (std::uint32_t w = 0; w < words; ++w) ASSERT_EQ(view.Get(w), 0u) << area << ":" << w;
  }
  // The link is still in step.
  EXPECT_EQ(Result(wire::WordWrite(1, 0, {0})), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerWriteRanges,
    ::testing::Values(
        WriteRange{"words_past_end", proto::kWriteWords, 1, 255, 2},
        WriteRange{"words_at_end", proto::kWriteWords, 1, 256, 1},
        WriteRange{"words_count0", proto::kWriteWords, 1, 0, 0},
        WriteRange{"words_area6", proto::kWriteWords, 6, 0, 1},
        WriteRange{"words_area_huge", proto::kWriteWords, 0xFFFFFFFF, 0, 1},
        WriteRange{"words_offset_wraps", proto::kWriteWords, 1, 0xFFFFFFFF, 2},
        WriteRange{"bits_past_end", proto::kWriteBytes, 0, 64 * 16 - 1, 2},
        WriteRange{"bits_at_end", proto::kWriteBytes, 0, 64 * 16, 1},
        WriteRange{"bits_count0", proto::kWriteBytes, 0, 0, 0},
        WriteRange{"bits_area6", proto::kWriteBytes, 6, 0, 1},
        WriteRange{"bits_offset_wraps", proto::kWriteBytes, 0, 0xFFFFFFFF, 2}),
    wire::CaseName());

TEST_F(ServerWrites, LengthThatDisagreesWithTheCountIsRefused) {
  // Count 3 words with 4 words of data; count 2 bits with 1 byte; a body
  // shorter than its head.
  EXPECT_EQ(Result(wire::Record(proto::kWriteWords, 0,
                                wire::Builder{}.u32(1).u32(0).u32(3).words({1, 2, 3, 4}).bytes)),
            6u);
  EXPECT_EQ(Result(wire::Record(proto::kWriteBytes, 0,
                                wire::Builder{}.u32(0).u32(0).u32(2).raw({1}).bytes)),
            6u);
  EXPECT_EQ(Result(wire::Record(proto::kWriteWords, 0, wire::Builder{}.u32(1).bytes)), 6u);
  AreaView cw(1);
  EXPECT_EQ(cw.Get(0), 0u);
}

TEST_F(ServerWrites, OptionsBitZeroGivesNoReplyEvenWhenRefused) {
  ASSERT_TRUE(link_.Send(wire::WordWrite(1, 5, {42}, 1)));
  ASSERT_TRUE(link_.Send(wire::WordWrite(1, 9999, {42}, 1)));  // out of range
  ASSERT_TRUE(link_.Send(wire::BitWrite(0, 3, {1}, 0x3)));     // other bits ride along
  // The next reply on the link is the one to this read.
  auto reply = link_.Call(wire::DataRead(proto::kReadWords, {{1, 5, 1}}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->first, proto::kReadWords);
  ASSERT_EQ(reply->result, 0u);
  EXPECT_EQ(reply->word(0), 42u);
  AreaView cb(0);
  EXPECT_TRUE(cb.Bit(3));
  // Options bit 0 is only for writes: a read with it set is still answered.
  auto read = link_.Call(wire::Record(proto::kReadWords, 1,
                                      wire::Builder{}.u16(1).u16(0).u32(1).u32(5).u32(1).bytes));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->result, 0u);
}

// Masked writes.  Areas 0 and 2: offset is a bit number, data packed bits,
// flag bit i selects data bit i.  Other areas: offset is a word offset and
// flag bit j selects data word j.
TEST_F(ServerWrites, MaskedWriteOnABitAreaWritesOnlyFlaggedBits) {
  AreaView cb(0);
  ASSERT_TRUE(cb.ok());
  cb.Set(2, 0xFFFF);
  cb.Set(3, 0x0000);
  cb.Set(4, 0xFFFF);
  // Count 32 at bit 40 (word 2, bit 8): data bits 0..31 go to bits 40..71.
  // Flags select data bits 0..3 (values 1,0,1,0) and 28..31 (values 1,1,1,1).
  EXPECT_EQ(Result(wire::MaskedWrite(0, 40, {0x0005, 0xF000}, {0x000F, 0xF000})), 0u);
  // Word 2 bits 8..11 <- 1,0,1,0 ; bits 12..15 untouched (1).
  EXPECT_EQ(cb.Get(2), 0xF5FFu);
  EXPECT_EQ(cb.Get(3), 0x0000u);
  // Data bits 28..31 -> bits 68..71 = word 4 bits 4..7: were 1, written 1.
  EXPECT_EQ(cb.Get(4), 0xFFFFu);
  // Clear through the mask: data 0 under flags.
  EXPECT_EQ(Result(wire::MaskedWrite(0, 64, {0x0000, 0x0000}, {0x00F0, 0x0000})), 0u);
  EXPECT_EQ(cb.Get(4), 0xFF0Fu);
}

TEST_F(ServerWrites, MaskedWriteOnAWordAreaWritesOnlyFlaggedWords) {
  AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  for (std::uint32_t w = 10; w < 42; ++w) cw.Set(w, 0x1111);
  std::vector<std::uint16_t> data(32);
  for (std::uint16_t j = 0; j < 32; ++j) data[j] = static_cast<std::uint16_t>(0xA000 + j);
  // Count 32 words: two flag words; select words 0, 15, 16 and 31.
  EXPECT_EQ(Result(wire::MaskedWrite(1, 10, data, {0x8001, 0x8001})), 0u);
  for (std::uint32_t j = 0; j < 32; ++j) {
    const bool flagged = j == 0 || j == 15 || j == 16 || j == 31;
    EXPECT_EQ(cw.Get(10 + j), flagged ? 0xA000u + j : 0x1111u) << j;
  }
}

struct MaskedCase {
  const char* what;
  std::uint32_t area, offset;
  std::uint32_t data_words, flag_words;
  std::uint32_t result;
};

class ServerMaskedRanges : public ServerWrites, public ::testing::WithParamInterface<MaskedCase> {};

TEST_P(ServerMaskedRanges, TotalsAndRangesAreChecked) {
  const auto& c = GetParam();
  EXPECT_EQ(Result(wire::MaskedWrite(c.area, c.offset, std::vector<std::uint16_t>(c.data_words, 0xFFFF),
                                     std::vector<std::uint16_t>(c.flag_words, 0xFFFF))),
            c.result);
}

// Area 0 holds 64 words (1024 bits), area 1 256 words.
INSTANTIATE_TEST_SUITE_P(
    Table, ServerMaskedRanges,
    ::testing::Values(MaskedCase{"bits_whole_area", 0, 0, 64, 64, 0},
                      MaskedCase{"bits_unaligned_last", 0, 1024 - 16, 1, 1, 0},
                      MaskedCase{"bits_one_past", 0, 1024 - 15, 1, 1, 6},
                      MaskedCase{"bits_odd_total", 0, 0, 2, 1, 6},
                      MaskedCase{"bits_nothing", 0, 0, 0, 0, 6},
                      MaskedCase{"words_last_block", 1, 256 - 16, 16, 1, 0},
                      MaskedCase{"words_one_past", 1, 256 - 15, 16, 1, 6},
                      MaskedCase{"words_total_not_17s", 1, 0, 16, 2, 6},
                      MaskedCase{"words_bit_layout", 1, 0, 1, 1, 6},
                      MaskedCase{"sb_is_a_bit_area", 2, 4096 * 16 - 16, 1, 1, 0},
                      MaskedCase{"tman_words", 5, 8192 - 32, 32, 2, 0},
                      MaskedCase{"area6", 6, 0, 16, 1, 6},
                      MaskedCase{"offset_wraps", 1, 0xFFFFFFF0u, 16, 1, 6}),
    wire::CaseName());

TEST_F(ServerWrites, MaskedWriteLengthMustMatchTheTotal) {
  // Total says 34 words, 17 are there.
  wire::Builder body;
  body.u32(1).u32(0).u32(34).words(std::vector<std::uint16_t>(17, 0xFFFF));
  EXPECT_EQ(Result(wire::Record(proto::kWriteMasked, 0, body.bytes)), 6u);
  AreaView cw(1);
  EXPECT_EQ(cw.Get(0), 0u);
}

}  // namespace
