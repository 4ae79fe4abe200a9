// Application mailboxes (200 read, 100200 write) against a real quonix.
#include <gtest/gtest.h>

#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace {

using wire::Link;

TEST(ServerMailbox, WriteOnOneLinkIsReadOnAnother) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link owner;
  wire::Registered(owner, "OWNER");
  Link other;
  wire::Registered(other, "OTHER");

  auto write = other.Call(wire::MailboxWrite("OWNER", 10, {0x0102, 0xFFFF, 0x8000}));
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->result, 0u);
  EXPECT_EQ(write->length, 8u);
  EXPECT_EQ(write->first, proto::kMailboxWrite);

  auto read = owner.Call(wire::MailboxRead("OWNER", 9, 5));
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->result, 0u);
  ASSERT_EQ(read->length, 8u + 10u);
  // Little-endian words on the wire, untouched words are 0; reading consumes nothing.
  const wire::Bytes expected{0, 0, 0x02, 0x01, 0xFF, 0xFF, 0x00, 0x80, 0, 0};
  EXPECT_EQ(read->payload, expected);
  auto again = owner.Call(wire::MailboxRead("OWNER", 9, 5));
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->payload, expected);
}

TEST(ServerMailbox, MailboxOutlivesTheLinkThatRegisteredIt) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  {
    Link first;
    wire::Registered(first, "GONE");
    auto write = first.Call(wire::MailboxWrite("GONE", 0, {77}));
    ASSERT_TRUE(write.has_value());
    ASSERT_EQ(write->result, 0u);
  }
  Link later;
  auto read = later.Call(wire::MailboxRead("GONE", 0, 1));
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->result, 0u);
  EXPECT_EQ(read->word(0), 77u);
}

struct RangeCase {
  const char* what;
  std::uint32_t index;
  std::uint32_t count;
  std::uint32_t result;
};

class ServerMailboxRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(ServerMailboxRange, ReadAndWriteCheckTheRange) {
  qt::TempRoot root;
  qt::Server server({"--mailbox-words", "1000"});
  ASSERT_TRUE(server.ready());
  Link link;
  wire::Registered(link, "RANGES");
  const auto& c = GetParam();
  auto read = link.Call(wire::MailboxRead("RANGES", c.index, c.count));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->result, c.result);
  EXPECT_EQ(read->payload.size(), c.result == 0 ? 2u * c.count : 0u);
  // Writes carry their data, so only counts that fit in a request are sent.
  if (c.count <= 4096) {
    auto write = link.Call(wire::MailboxWrite(
        "RANGES", c.index, std::vector<std::uint16_t>(c.count, 0x5A5A)));
    ASSERT_TRUE(write.has_value());
    EXPECT_EQ(write->result, c.result);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerMailboxRange,
    ::testing::Values(RangeCase{"whole", 0, 1000, 0}, RangeCase{"last word", 999, 1, 0},
                      RangeCase{"one past the end", 999, 2, 6},
                      RangeCase{"index at the end", 1000, 1, 6}, RangeCase{"count 0", 0, 0, 6},
                      RangeCase{"index wraps", 0xFFFFFFFFu, 2, 6},
                      RangeCase{"count wraps", 10, 0xFFFFFFF8u, 6}),
    wire::CaseName());

TEST(ServerMailbox, UnknownApplicationGetsSeven) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  auto read = link.Call(wire::MailboxRead("NOBODY", 0, 1));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->result, 7u);
  EXPECT_TRUE(read->payload.empty());
  auto write = link.Call(wire::MailboxWrite("NOBODY", 0, {1}));
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->result, 7u);
}

TEST(ServerMailbox, WriteWhoseLengthDisagreesWithItsCountIsRefused) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  wire::Registered(link, "LAYOUT");
  // Count 3 but two words of data, then count 1 with three words.
  for (auto [count, words] : {std::pair{3u, 2u}, std::pair{1u, 3u}}) {
    wire::Builder body;
    body.name("LAYOUT").u32(0).u32(count).words(std::vector<std::uint16_t>(words, 9));
    auto reply = link.Call(wire::Record(proto::kMailboxWrite, 0, body.bytes));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->result, 6u);
  }
  auto read = link.Call(wire::MailboxRead("LAYOUT", 0, 3));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->payload, wire::Bytes(6, 0)) << "a refused write changed the mailbox";
}

TEST(ServerMailbox, WriteWithOptionsBitZeroGetsNoReply) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  wire::Registered(link, "QUIET");
  ASSERT_TRUE(link.Send(wire::MailboxWrite("QUIET", 4, {0xBEEF}, 1)));
  // Also a refused one (unknown application) stays unanswered.
  ASSERT_TRUE(link.Send(wire::MailboxWrite("NOBODY", 4, {0xBEEF}, 1)));
  // The next thing on the link is the reply to the read.
  auto read = link.Call(wire::MailboxRead("QUIET", 4, 1));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->first, proto::kMailboxRead);
  ASSERT_EQ(read->result, 0u);
  EXPECT_EQ(read->word(0), 0xBEEF);
}

}  // namespace
