// What a client sends cannot crash quonix, make it allocate without bound, or
// disturb other clients, over the pipe and TCP alike; stops with links open.
#include <gtest/gtest.h>

#include <tuple>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::Bytes;
using wire::Kind;
using wire::Link;
using wire::TcpLink;

using wire::Served;

class ServerHostileLength : public ::testing::TestWithParam<std::tuple<Kind, std::uint32_t>> {};

TEST_P(ServerHostileLength, EndsThatLinkOnlyAndMemoryDoesNotJump) {
  const auto [kind, length] = GetParam();
  Served s;
  ASSERT_TRUE(s.server.ready());
  TcpLink over_tcp(s.port);
  wire::Registered(over_tcp, "CALM");
  Link piped;
  wire::Registered(piped, "PIPED");
  const long before = qt::RssKiB(s.server.pid());
  ASSERT_GT(before, 0);

  wire::OnLink(kind, s.port, [&](auto& hostile) {
    ASSERT_TRUE(hostile.ok());
    ASSERT_TRUE(hostile.Send(wire::Builder{}.u32(length).u32(proto::kWriteWords).u32(0).bytes));
    EXPECT_TRUE(hostile.Ended()) << "the link with length " << length << " was not ended";
  });
  EXPECT_EQ(over_tcp.Result(wire::WordWrite(1, 0, {5})), 0u);
  EXPECT_EQ(piped.Result(wire::WordWrite(1, 1, {6})), 0u);
  wire::OnLink(kind, s.port, [](auto& newcomer) { wire::Registered(newcomer, "NEW"); });
  EXPECT_TRUE(s.server.running());
  EXPECT_LT(qt::RssKiB(s.server.pid()), before + 8 * 1024);
}

// Below the 8 bytes of command and options, or above 1 MiB + 64.
INSTANTIATE_TEST_SUITE_P(Lengths, ServerHostileLength,
                         ::testing::Combine(::testing::Values(Kind::Pipe, Kind::Tcp),
                                            ::testing::Values(0u, 7u, (1u << 20) + 65,
                                                              0x7FFFFFFFu, 0xFFFFFFFFu)));

// Requests back to back in one piece, crossing the reader's read-ahead in
// every way, are answered one by one, in order.
template <class AnyLink>
void BackToBack(AnyLink& link) {
  Bytes batch;
  std::vector<std::uint32_t> answered;
  for (std::uint16_t i = 0; i < 100; ++i) {
    const bool silent = i % 3 == 0;
    const Bytes write = wire::WordWrite(1, i, {static_cast<std::uint16_t>(i + 1)},
                                        silent ? proto::kOptNoReply : 0);
    batch.insert(batch.end(), write.begin(), write.end());
    if (!silent) answered.push_back(proto::kWriteWords);
  }
  std::vector<std::uint16_t> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint16_t>(0x4000 + i);
  for (const Bytes& more : {wire::WordWrite(1, 200, big),
                            wire::DataRead(proto::kReadWords, {{1, 0, 100}}),
                            wire::DataRead(proto::kReadWords, {{1, 200, 3000}})}) {
    batch.insert(batch.end(), more.begin(), more.end());
    answered.push_back(proto::Get32(more.data() + 4));
  }
  ASSERT_TRUE(link.Send(batch));
  std::vector<wire::Reply> replies;
  for (std::size_t i = 0; i < answered.size(); ++i) {
    auto reply = link.ReadReply();
    ASSERT_TRUE(reply.has_value()) << "reply " << i;
    EXPECT_EQ(std::make_pair(reply->first, reply->result), std::make_pair(answered[i], 0u)) << "reply " << i;
    replies.push_back(*reply);
  }
  std::vector<std::uint16_t> small(100);
  for (std::uint16_t i = 0; i < 100; ++i) small[i] = static_cast<std::uint16_t>(i + 1);
  EXPECT_EQ(replies[replies.size() - 2].payload, wire::Builder{}.words(small).bytes);
  EXPECT_EQ(replies.back().payload, wire::Builder{}.words(big).bytes);
}

class ServerStreams : public ::testing::TestWithParam<Kind> {};

// In pieces, back to back, at the size caps, and cut off in the middle.
TEST_P(ServerStreams, PiecesBatchesCapsAndAHalfRequest) {
  // A read of the whole area is a reply of 1 MiB, the most one carries.
  Served s({"--cw", "524288", "--tcp", "0"});
  ASSERT_TRUE(s.server.ready());
  wire::AreaView cw(1), sw(3);
  ASSERT_TRUE(cw.ok() && sw.ok());
  wire::OnLink(GetParam(), s.port, [&](auto& link) {
    ASSERT_TRUE(link.ok());
    for (std::uint8_t byte : wire::Register("PIECES")) ASSERT_TRUE(link.Send({byte}));
    auto reg = link.ReadReply();
    ASSERT_TRUE(reg.has_value());
    EXPECT_EQ(reg->result, 0u);
    EXPECT_EQ(reg->first, proto::kRegister);
    BackToBack(link);

    // The library's largest word write and read: 16384 words.
    std::vector<std::uint16_t> words(16384);
    for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i * 7 + 3);
    EXPECT_EQ(link.Result(wire::WordWrite(1, 10000, words)), 0u);
    auto read = link.Call(wire::DataRead(proto::kReadWords, {{1, 10000, 16384}}));
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->payload, wire::Builder{}.words(words).bytes);

    // The whole area in one reply; one word more is refused.
    cw.Set(524287, 0xCAFE);
    auto whole = link.Call(wire::DataRead(proto::kReadWords, {{1, 0, 524288}}));
    ASSERT_TRUE(whole.has_value());
    ASSERT_EQ(whole->payload.size(), 1u << 20);
    EXPECT_EQ(whole->word(10000), words[0]);
    EXPECT_EQ(whole->word(524287), 0xCAFEu);
    EXPECT_EQ(link.Result(wire::DataRead(proto::kReadWords, {{1, 0, 524288}, {1, 0, 1}})), 6u);

    // A request many times the reader's first buffer comes whole.
    std::vector<std::uint16_t> many(300000);
    for (std::size_t i = 0; i < many.size(); ++i) many[i] = static_cast<std::uint16_t>(i * 13 + 1);
    EXPECT_EQ(link.Result(wire::WordWrite(1, 200000, many)), 0u);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < many.size(); ++i) wrong += cw.Get(200000 + static_cast<std::uint32_t>(i)) != many[i];
    EXPECT_EQ(wrong, 0u);

    // The largest request taken (1 MiB + 64 bytes) is answered in step.
    EXPECT_EQ(link.Result(wire::Record(12345, 0, Bytes((1u << 20) + 56, 0x11))), 1u);
    wire::Registered(link, "ATCAP");
  });
  // A client gone in the middle of a request is a link close, the half
  // request not acted on.
  const std::uint16_t before = sw.Get(204);
  wire::OnLink(GetParam(), s.port, [](auto& link) {
    wire::Registered(link, "HALF");
    const Bytes write = wire::WordWrite(1, 500000, {1, 2, 3, 4});
    ASSERT_TRUE(link.Send(Bytes(write.begin(), write.begin() + 17)));
  });
  EXPECT_TRUE(qt::WaitFor([&] { return sw.Get(204) != (before + 1) % 0x8000; },
                          std::chrono::seconds(20)));
  EXPECT_EQ(cw.Get(500000), 0u) << "half a request was acted on";
  wire::OnLink(GetParam(), s.port, [](auto& next) { wire::Registered(next, "NEXT"); });
}

INSTANTIATE_TEST_SUITE_P(Links, ServerStreams, ::testing::Values(Kind::Pipe, Kind::Tcp),
                         wire::KindName);

// Pipe and TCP links count against one limit; a link beyond it is closed
// like any other, and there is room again once a link closes.
TEST(ServerRobustness, LinksBeyondTheLimitAreClosedOthersServed) {
  Served s({"--max-links", "2", "--tcp", "0"});
  ASSERT_TRUE(s.server.ready());
  Link piped;
  wire::Registered(piped, "PIPED");
  TcpLink first(s.port);
  wire::Registered(first, "FIRST");
  wire::AreaView sw(3);
  ASSERT_TRUE(sw.ok());
  for (Kind kind : {Kind::Pipe, Kind::Tcp}) {
    const std::uint16_t before = sw.Get(204);
    wire::OnLink(kind, s.port, [](auto& third) {
      ASSERT_TRUE(third.ok());
      EXPECT_TRUE(third.Ended()) << "a third link was served";
    });
    EXPECT_TRUE(qt::WaitFor([&] { return sw.Get(204) != before; }, std::chrono::seconds(20)));
  }
  EXPECT_EQ(first.Result(wire::WordWrite(1, 0, {1})), 0u);
  piped.Close();
  const std::uint16_t port = s.port;
  EXPECT_TRUE(qt::WaitFor([port] { return TcpLink(port).Result(wire::Register("AGAIN")) == 0; },
                          std::chrono::seconds(20)));
}

TEST(ServerRobustness, AreaMutexHeldTooLongGivesTwo) {
  qt::TempRoot root;
  qt::Server server({"--lock-timeout", "300"});
  ASSERT_TRUE(server.ready());
  wire::AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  Link link;
  ASSERT_EQ(MtxWait(cw.mutex(), 20000), kWaitOk);
  const std::uint32_t held = link.Result(wire::WordWrite(1, 0, {9}));
  const std::uint32_t read = link.Result(wire::DataRead(proto::kReadWords, {{1, 0, 1}}));
  MtxRelease(cw.mutex());
  EXPECT_EQ(held, 2u);
  EXPECT_EQ(read, 2u);
  EXPECT_EQ(cw.Get(0), 0u);
  EXPECT_EQ(link.Result(wire::WordWrite(1, 0, {9})), 0u);
}

// Links idle, cut in a request, not reading 16 MiB of replies, or waiting in
// a receive: others are served, and SIGTERM ends all of them at once.
TEST(ServerRobustness, SigtermStopsCleanlyWithLinksOfEveryKindOpen) {
  Served s;
  ASSERT_TRUE(s.server.ready());
  Link idle, half, stuck;
  TcpLink tcp_idle(s.port), tcp_half(s.port), tcp_stuck(s.port);
  const long before = qt::RssKiB(s.server.pid());
  const auto open = [](auto& i, auto& h, auto& st) {
    wire::Registered(i, "IDLE");
    wire::Registered(h, "HALF");
    ASSERT_TRUE(h.Send(wire::Builder{}.u32(100).u32(proto::kWriteWords).bytes));
    wire::Registered(st, "STUCK");
    for (int k = 0; k < 256; ++k)
      ASSERT_TRUE(st.Send(wire::DataRead(proto::kReadWords, {{1, 0, 32768}})));
  };
  open(idle, half, stuck);
  open(tcp_idle, tcp_half, tcp_stuck);
  Link waiting, other;
  wire::Registered(waiting, "WAITING");
  ASSERT_TRUE(waiting.Send(wire::DataRead(proto::kReadBytes, {{600, 0, 24}}, 60000)));
  wire::Registered(other, "OTHER");
  auto reply = other.Call(wire::DataRead(proto::kReadWords, {{1, 0, 32768}}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->payload.size(), 65536u);
  EXPECT_LT(qt::RssKiB(s.server.pid()), before + 16 * 1024) << "unread replies piled up";

  EXPECT_EQ(s.server.Stop(), 0);
  EXPECT_TRUE(idle.Ended() && half.Ended() && stuck.Ended() && waiting.Ended() && other.Ended());
  EXPECT_TRUE(tcp_idle.Ended() && tcp_half.Ended() && tcp_stuck.Ended());
  for (std::uint32_t area = 0; area < 6; ++area) EXPECT_FALSE(wire::MappingExists(area)) << area;
  EXPECT_FALSE(win::WaitNamedPipeA("\\\\.\\pipe\\qoxsmem", 0)) << "the pipe is still served";
  TcpLink late(s.port);
  EXPECT_FALSE(late.ok()) << "the port still takes links";
}

}  // namespace
