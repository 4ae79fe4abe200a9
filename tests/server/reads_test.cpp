// Data reads 100 (one byte per bit) and 101 (words) against a real quonix.
#include <gtest/gtest.h>

#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace {

using wire::AreaView;
using wire::Link;
using wire::Range;

class ServerReads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready());
    ASSERT_TRUE(link_.ok());
  }
  qt::TempRoot root_;
  qt::Server server_{{"--cb", "64", "--cw", "256"}};
  Link link_;
};

TEST_F(ServerReads, WordReadPacksSeveralRangesInOrder) {
  AreaView cw(1), sw(3);
  ASSERT_TRUE(cw.ok() && sw.ok());
  cw.Set(7, 0x1234);
  cw.Set(8, 0xFFFE);
  sw.Set(0, 0x8000);
  auto reply = link_.Call(wire::DataRead(proto::kReadWords, {{1, 7, 2}, {3, 0, 1}, {1, 255, 1}}));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->result, 0u);
  EXPECT_EQ(reply->first, proto::kReadWords);
  ASSERT_EQ(reply->length, 8u + 8u);
  const wire::Bytes expected{0x34, 0x12, 0xFE, 0xFF, 0x00, 0x80, 0x00, 0x00};
  EXPECT_EQ(reply->payload, expected);
}

TEST_F(ServerReads, BitReadGivesOneByteZeroOrOnePerBit) {
  AreaView cb(0);
  ASSERT_TRUE(cb.ok());
  cb.Set(0, 0x8000);
  cb.Set(1, 0x0005);
  cb.Set(63, 0x8000);
  auto reply =
      link_.Call(wire::DataRead(proto::kReadBytes, {{0, 14, 5}, {0, 64 * 16 - 1, 1}}));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->result, 0u);
  const wire::Bytes expected{0, 1, 1, 0, 1, 1};
  EXPECT_EQ(reply->payload, expected);
}

TEST_F(ServerReads, WholeDefaultCwInOneBitReadFitsTheCap) {
  // 256 words = 4096 bits: one byte each.
  auto reply = link_.Call(wire::DataRead(proto::kReadBytes, {{1, 0, 4096}}));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->result, 0u);
  EXPECT_EQ(reply->payload.size(), 4096u);
}

struct ReadCase {
  const char* what;
  std::uint32_t command;
  std::vector<Range> ranges;
};

class ServerReadRanges : public ServerReads, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(ServerReadRanges, RefusedWithSixAndNoPayload) {
  auto reply = link_.Call(wire::DataRead(GetParam().command, GetParam().ranges));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 6u);
  EXPECT_EQ(reply->length, 8u);
  // Still in step.
  auto next = link_.Call(wire::DataRead(proto::kReadWords, {{1, 0, 1}}));
  ASSERT_TRUE(next.has_value());
  EXPECT_EQ(next->result, 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerReadRanges,
    ::testing::Values(
        ReadCase{"no_ranges", proto::kReadWords, {}},
        ReadCase{"words_past_end", proto::kReadWords, {{1, 255, 2}}},
        ReadCase{"second_range_out", proto::kReadWords, {{1, 0, 1}, {0, 64, 1}}},
        ReadCase{"all_counts_zero", proto::kReadWords, {{1, 0, 0}}},
        ReadCase{"area6", proto::kReadWords, {{6, 0, 1}}},
        ReadCase{"offset_wraps", proto::kReadWords, {{1, 0xFFFFFFFF, 2}}},
        ReadCase{"bits_past_end", proto::kReadBytes, {{0, 64 * 16 - 1, 2}}},
        ReadCase{"bits_wrap", proto::kReadBytes, {{0, 0xFFFFFFF0u, 0x20}}}),
    wire::CaseName());

TEST(ServerReadCap, ReplyLargerThanTheCapIsRefused) {
  qt::TempRoot root;
  qt::Server server({"--cw", "1048576"});
  ASSERT_TRUE(server.ready());
  Link link;
  // 16 ranges of 65536 words: 2 MiB of reply.
  std::vector<Range> ranges(16, Range{1, 0, 65536});
  auto reply = link.Call(wire::DataRead(proto::kReadWords, ranges));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 6u);
  // Exactly 1 MiB is served.
  ranges.resize(8);
  auto fits = link.Call(wire::DataRead(proto::kReadWords, ranges));
  ASSERT_TRUE(fits.has_value());
  EXPECT_EQ(fits->result, 0u);
  EXPECT_EQ(fits->payload.size(), 1u << 20);
}

TEST_F(ServerReads, RangeCountThatDisagreesWithTheLengthIsRefused) {
  // Says 3 ranges, carries 1.
  auto reply = link_.Call(wire::Record(
      proto::kReadWords, 0, wire::Builder{}.u16(3).u16(0).u32(1).u32(0).u32(1).bytes));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 6u);
  auto empty = link_.Call(wire::Record(proto::kReadBytes, 0, {}));
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->result, 6u);
}

}  // namespace
