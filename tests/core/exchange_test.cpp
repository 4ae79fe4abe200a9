// The exchange itself, on a scripted link: the numbering of the detail codes
// and the rules that keep the link in step.
#include <gtest/gtest.h>

#include <vector>

#include "core/exchange.h"
#include "support/family.h"

namespace {

using namespace qt;

using ExchangeTest = LibraryTest;  // no platform object here, but the same clean state

constexpr ExchangeCodes kCodes = CodesFrom(100, 2, 2);  // 100..103, 104..108, 109..112

struct Outcome {
  ExchangeResult result;
  std::int32_t detail;
  FakeLink link;
};

Outcome Exchange2(Script server, std::span<std::uint8_t> first, std::span<std::uint8_t> second,
                  std::uint32_t exact = 0, Bytes body = {1, 2, 3}) {
  Outcome out{{}, 0, FakeLink(std::move(server))};
  const Bytes head = {9, 9, 9, 9};
  const std::span<const std::uint8_t> pieces[] = {head, body};
  const std::span<std::uint8_t> parts[] = {first, second};
  SetDetail(0);
  out.result = RunExchange(out.link, {.codes = kCodes, .pieces = pieces, .exact_length = exact, .payload = parts});
  out.detail = Detail();
  return out;
}

TEST_F(ExchangeTest, PayloadLandsPartByPartAndNeverBeyond) {
  struct Case {
    const char* situation;
    Bytes payload;
    std::uint32_t delivered0, delivered1;
    Bytes first, second;  // 4 and 3 bytes, starting as 0xEE
  };
  const std::vector<Case> cases = {
      {"exact fit", {1, 2, 3, 4, 5, 6, 7}, 4, 3, {1, 2, 3, 4}, {5, 6, 7}},
      {"short of the first part", {1, 2}, 2, 0, {1, 2, 0xEE, 0xEE}, {0xEE, 0xEE, 0xEE}},
      {"into the second part", {1, 2, 3, 4, 5}, 4, 1, {1, 2, 3, 4}, {5, 0xEE, 0xEE}},
      {"beyond both parts", {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, 4, 3, {1, 2, 3, 4}, {5, 6, 7}},
      {"none", {}, 0, 0, {0xEE, 0xEE, 0xEE, 0xEE}, {0xEE, 0xEE, 0xEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    Bytes first(4, 0xEE), second(3, 0xEE);
    const Outcome out = Exchange2({.reply = Reply(0, c.payload)}, first, second);
    EXPECT_EQ(out.result.result, 0u);
    EXPECT_EQ(out.result.payload, c.payload.size());
    EXPECT_EQ(out.result.delivered[0], c.delivered0);
    EXPECT_EQ(out.result.delivered[1], c.delivered1);
    EXPECT_EQ(first, c.first);
    EXPECT_EQ(second, c.second);
    EXPECT_EQ(out.link.at, out.link.server.reply.size());  // the whole reply was read
    EXPECT_FALSE(out.link.cut);
  }
}

// A family may demand a fixed reply length other than 8 (a record that comes
// back whole); any other length is refused without reading a byte more, and
// the link is cut.
TEST_F(ExchangeTest, ExactLengthOtherThanEight) {
  Bytes first(4), second(3);
  const Outcome fits = Exchange2({.reply = Reply(0, {1, 2, 3, 4, 5, 6, 7})}, first, second, 15);
  EXPECT_EQ(fits.result.result, 0u);
  EXPECT_EQ(fits.result.delivered[1], 3u);
  const Outcome refused = Exchange2({.reply = Reply(0, {1, 2, 3})}, first, second, 15);
  EXPECT_EQ(refused.result.result, 102u);
  EXPECT_EQ(refused.detail, 106);
  EXPECT_EQ(refused.link.at, 4u);
  EXPECT_TRUE(refused.link.cut);
}

// Bytes beyond the caller's parts that cannot be read leave the link at an
// unknown place: the last part's code, and the link is cut.
TEST_F(ExchangeTest, LostExcessCutsTheLink) {
  Bytes first(4), second(3);
  const Bytes reply = Cat({Le32({8 + 20, 0, 0}), Bytes(10, 1)});  // 20 announced, 10 sent
  const Outcome out = Exchange2({.reply = reply}, first, second);
  EXPECT_EQ(out.result.result, 102u);
  EXPECT_EQ(out.detail, 111);
  EXPECT_TRUE(out.link.cut);
}

// The bound on a sane reply: at it the reply is read to its end, past it the
// link is cut without reading.
TEST_F(ExchangeTest, ReplyLengthBound) {
  Bytes first(4), second(3);
  const Bytes at_bound = Cat({Le32({kMaxReplyLength, 0, 0}), Bytes(kMaxReplyLength - 8, 0)});
  const Outcome read = Exchange2({.reply = at_bound}, first, second);
  EXPECT_EQ(read.result.result, 0u);
  EXPECT_EQ(read.link.at, at_bound.size());
  const Outcome cut = Exchange2({.reply = Le32({kMaxReplyLength + 1, 0, 0})}, first, second);
  EXPECT_EQ(cut.result.result, 102u);
  EXPECT_EQ(cut.detail, 106);
  EXPECT_TRUE(cut.link.cut);
  EXPECT_EQ(cut.link.at, 4u);
}

// A family described beyond what its code table names is refused before a
// byte is written.
TEST_F(ExchangeTest, UnnamedPiecesAreRefused) {
  const Bytes piece = {1};
  const std::span<const std::uint8_t> pieces[] = {piece, piece, piece, piece};
  FakeLink link({.reply = Reply(0)});
  SetDetail(0);
  EXPECT_EQ(RunExchange(link, {.codes = kCodes, .pieces = pieces}).result, QNA_E_INTERNAL);
  EXPECT_EQ(Detail(), -1);
  EXPECT_EQ(link.writes, 0);
}

}  // namespace
