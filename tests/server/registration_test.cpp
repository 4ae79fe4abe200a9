// Registration (100000), unknown commands and the RAVOWLD mailbox, against a
// real quonix.
#include <gtest/gtest.h>

#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace {

using wire::Link;

TEST(ServerRegistration, ReplyCarriesTheSixDefaultSizes) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  ASSERT_TRUE(link.ok());
  ASSERT_TRUE(link.Send(wire::Register("APPONE", 1, 2)));
  std::uint8_t bytes[36];
  ASSERT_TRUE(link.ReadExact(bytes, sizeof bytes));
  // length 32, first word (the command echoed), result 0, six sizes.
  const std::uint32_t expected[9] = {32, 100000, 0, 4096, 32768, 4096, 4096, 8192, 8192};
  for (int i = 0; i < 9; ++i) EXPECT_EQ(proto::Get32(bytes + 4 * i), expected[i]) << "field " << i;
  EXPECT_TRUE(link.Silent(std::chrono::milliseconds(100))) << "more than one reply";
}

struct SizeCase {
  std::vector<std::string> args;
  std::uint32_t sizes[6];
};

class ServerSizes : public ::testing::TestWithParam<SizeCase> {};

TEST_P(ServerSizes, OptionsSetTheSizesInTheReplyAndTheMappings) {
  qt::TempRoot root;
  qt::Server server(GetParam().args);
  ASSERT_TRUE(server.ready());
  Link link;
  const auto reply = link.Call(wire::Register("SIZES"));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->result, 0u);
  ASSERT_EQ(reply->length, 32u);
  for (std::uint32_t i = 0; i < 6; ++i) {
    EXPECT_EQ(reply->u32(i), GetParam().sizes[i]) << "area " << i;
    // The last word of each area is writable through the server; one past
    // it is refused.
    const std::uint32_t last = GetParam().sizes[i] - 1;
    auto in = link.Call(wire::WordWrite(i, last, {0x1234}));
    ASSERT_TRUE(in.has_value());
    EXPECT_EQ(in->result, 0u) << "area " << i;
    auto out = link.Call(wire::WordWrite(i, last + 1, {0x1234}));
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->result, 6u) << "area " << i;
    wire::AreaView view(i);
    ASSERT_TRUE(view.ok());
    EXPECT_EQ(view.Get(last), 0x1234) << "area " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, ServerSizes,
    ::testing::Values(
        SizeCase{{}, {4096, 32768, 4096, 4096, 8192, 8192}},
        SizeCase{{"--cb", "16", "--cw", "100", "--sb", "17", "--sw", "205", "--lgp", "1",
                  "--tman", "3"},
                 {16, 100, 17, 205, 1, 3}},
        SizeCase{{"--cw=65536", "--tman=20000"}, {4096, 65536, 4096, 4096, 8192, 20000}}));

TEST(ServerRegistration, RegistrationCreatesTheApplicationsMailbox) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  auto before = link.Call(wire::MailboxRead("FRESH", 0, 1));
  ASSERT_TRUE(before.has_value());
  EXPECT_EQ(before->result, 7u) << "mailbox before registration";
  // Bytes after the name's terminator are not part of the name.
  wire::Builder record;
  record.u32(0).u32(0).raw({'F', 'R', 'E', 'S', 'H', 0, 'x', 'y'});
  auto reg = link.Call(wire::Record(proto::kRegister, 0, record.bytes));
  ASSERT_TRUE(reg.has_value());
  ASSERT_EQ(reg->result, 0u);
  auto after = link.Call(wire::MailboxRead("FRESH", 0, 1));
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->result, 0u);
  ASSERT_EQ(after->payload.size(), 2u);
  EXPECT_EQ(after->word(0), 0u);
}

TEST(ServerRegistration, AnEightCharacterNameHasNoTerminator) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  wire::Registered(link, "EIGHTCHR");
  auto read = link.Call(wire::MailboxRead("EIGHTCHR", 0, 1));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->result, 0u);
  auto shorter = link.Call(wire::MailboxRead("EIGHTCH", 0, 1));
  ASSERT_TRUE(shorter.has_value());
  EXPECT_EQ(shorter->result, 7u);
}

TEST(ServerRegistration, WrongLayoutIsRefusedAndTheLinkGoesOn) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  for (std::size_t size : {0u, 15u, 17u, 40u}) {
    auto reply = link.Call(wire::Record(proto::kRegister, 0, wire::Bytes(size, 'A')));
    ASSERT_TRUE(reply.has_value()) << size;
    EXPECT_EQ(reply->result, 6u) << size;
    EXPECT_EQ(reply->length, 8u) << size;
  }
  wire::Registered(link, "AFTER");
}

TEST(ServerRegistration, FullMailboxTableRefusesNewNamesWithEight) {
  qt::TempRoot root;
  qt::Server server({"--max-mailboxes", "3"});  // RAVOWLD + two
  ASSERT_TRUE(server.ready());
  Link link;
  wire::Registered(link, "ONE");
  wire::Registered(link, "TWO");
  auto third = link.Call(wire::Register("THREE"));
  ASSERT_TRUE(third.has_value());
  EXPECT_EQ(third->result, 8u);
  EXPECT_EQ(third->length, 8u);
  // A name that has its mailbox registers again.
  wire::Registered(link, "ONE");
  wire::Registered(link, "RAVOWLD");
}

TEST(ServerRegistration, UnknownCommandsGetResultOneAndTheLinkGoesOn) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  for (std::uint32_t command : {0u, 99u, 102u, 300105u, 0xFFFFFFFFu}) {
    auto reply = link.Call(wire::Record(command, 0, wire::Bytes(20, 0xAB)));
    ASSERT_TRUE(reply.has_value()) << command;
    EXPECT_EQ(reply->result, 1u) << command;
    EXPECT_EQ(reply->first, command);
    EXPECT_EQ(reply->length, 8u);
  }
  wire::Registered(link, "STILL");
}

TEST(ServerRavowld, MailboxHoldsTheProjectDriveAndName) {
  qt::TempRoot root;
  qt::Server server({"--project", "D:PLANT_7"});
  ASSERT_TRUE(server.ready());
  Link link;
  auto reply = link.Call(wire::MailboxRead("RAVOWLD", 0, 576));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->result, 0u);
  ASSERT_EQ(reply->payload.size(), 1152u);
  const std::uint8_t expected[] = {'D', 0, 'P', 'L', 'A', 'N', 'T', '_', '7', 0};
  for (std::size_t i = 0; i < sizeof expected; ++i) EXPECT_EQ(reply->payload[i], expected[i]) << i;
  for (std::size_t i = sizeof expected; i < reply->payload.size(); ++i)
    ASSERT_EQ(reply->payload[i], 0) << i;
}

TEST(ServerRavowld, MailboxExistsWithoutProjectAndIsZero) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  auto reply = link.Call(wire::MailboxRead("RAVOWLD", 0, 576));
  ASSERT_TRUE(reply.has_value());
  ASSERT_EQ(reply->result, 0u);
  for (auto b : reply->payload) ASSERT_EQ(b, 0);
}

}  // namespace
