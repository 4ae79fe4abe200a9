// What a client sends cannot crash quonix, make it allocate without bound, or
// disturb other clients.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace {

using wire::Link;

class ServerHostileLength : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ServerHostileLength, EndsThatLinkOnlyAndMemoryDoesNotJump) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link bystander;
  wire::Registered(bystander, "CALM");
  const long before = qt::RssKiB(server.pid());
  ASSERT_GT(before, 0);

  Link hostile;
  ASSERT_TRUE(hostile.ok());
  ASSERT_TRUE(hostile.Send(wire::Builder{}.u32(GetParam()).u32(proto::kWriteWords).u32(0).bytes));
  EXPECT_TRUE(hostile.Ended()) << "the link with length " << GetParam() << " was not ended";

  // Others are served as before, and new links come in.
  auto reply = bystander.Call(wire::WordWrite(1, 0, {5}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 0u);
  Link newcomer;
  wire::Registered(newcomer, "NEW");
  EXPECT_TRUE(server.running());
  EXPECT_LT(qt::RssKiB(server.pid()), before + 8 * 1024);
}

// Below the 8 bytes of command and options, or above 1 MiB + 64.
INSTANTIATE_TEST_SUITE_P(Lengths, ServerHostileLength,
                         ::testing::Values(0u, 7u, (1u << 20) + 65, 0x7FFFFFFFu, 0xFFFFFFFFu));

TEST(ServerRobustness, RequestAtTheCapIsReadWhole) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link link;
  ASSERT_TRUE(link.ok());
  // The largest request taken: an unknown command with 1 MiB + 56 bytes of
  // body.  It is answered, and the link stays in step.
  const std::uint32_t length = (1u << 20) + 64;
  auto reply = link.Call(wire::Record(12345, 0, wire::Bytes(length - 8, 0x11)));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 1u);
  wire::Registered(link, "ATCAP");
}

TEST(ServerRobustness, GarbageOnOneLinkDoesNotDisturbAnother) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link good;
  wire::Registered(good, "GOOD");

  std::atomic<bool> stop{false};
  std::thread noise([&] {
    std::mt19937 random(20240611);
    // Several garbage links one after the other: each ends when its bytes
    // make a length the server refuses, or when we drop it.
    for (int round = 0; round < 20 && !stop; ++round) {
      Link bad;
      if (!bad.ok()) continue;
      wire::Bytes junk(4096);
      for (auto& b : junk) b = static_cast<std::uint8_t>(random());
      bad.Send(junk);
      // Some rounds send plausible heads with wrong bodies.
      bad.Send(wire::Builder{}.u32(24).u32(proto::kWriteMasked).u32(0).u32(7).u32(0xFFFFFFFF)
                   .u32(0xFFFFFFFF).u32(0xFFFFFFFF).bytes);
    }
  });
  for (std::uint16_t i = 0; i < 200; ++i) {
    auto write = good.Call(wire::WordWrite(1, i, {i}));
    ASSERT_TRUE(write.has_value());
    ASSERT_EQ(write->result, 0u);
    auto read = good.Call(wire::DataRead(proto::kReadWords, {{1, i, 1}}));
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->result, 0u);
    ASSERT_EQ(read->word(0), i);
  }
  stop = true;
  noise.join();
  EXPECT_TRUE(server.running());
}

TEST(ServerRobustness, LinksBeyondTheLimitAreClosedOthersServed) {
  qt::TempRoot root;
  qt::Server server({"--max-links", "2"});
  ASSERT_TRUE(server.ready());
  Link a, b;
  wire::Registered(a, "A");
  wire::Registered(b, "B");
  wire::AreaView sw(3);
  ASSERT_TRUE(sw.ok());
  const std::uint16_t before = sw.Get(204);
  Link c;
  ASSERT_TRUE(c.ok());
  EXPECT_TRUE(c.Ended()) << "a third link was served";
  c.Close();
  // Its client may wait for the handshake word like after any close.
  EXPECT_TRUE(qt::WaitFor([&] { return sw.Get(204) != before; }, std::chrono::seconds(20)));
  auto reply = a.Call(wire::WordWrite(1, 0, {1}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 0u);
  // Room again once a link closes.
  b.Close();
  EXPECT_TRUE(qt::WaitFor([] {
    Link d;
    if (!d.ok()) return false;
    auto r = d.Call(wire::Register("D"));
    return r.has_value() && r->result == 0;
  }, std::chrono::seconds(20)));
}

TEST(ServerRobustness, AbandonedAreaMutexIsTakenOver) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  // A client that dies while it holds the CW mutex.
  qt::Child holder([] {
    char name[] = "\\sem32\\qoxsemcw";
    Handle mutex = 0;
    if (MtxOpen(name, &mutex) != 0) return 2;
    return MtxWait(mutex, 20000) == kWaitOk ? 0 : 3;
  });
  ASSERT_EQ(holder.Wait(), 0);
  Link link;
  ASSERT_TRUE(link.ok());
  auto reply = link.Call(wire::WordWrite(1, 3, {0x77}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 0u);
  // The server released what it took over: a client gets the mutex at once.
  wire::AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  EXPECT_EQ(cw.Get(3), 0x77u);
}

TEST(ServerRobustness, AreaMutexHeldTooLongGivesTwo) {
  qt::TempRoot root;
  qt::Server server({"--lock-timeout", "300"});
  ASSERT_TRUE(server.ready());
  wire::AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  Link link;
  ASSERT_TRUE(link.ok());
  ASSERT_EQ(MtxWait(cw.mutex(), 20000), kWaitOk);
  auto held = link.Call(wire::WordWrite(1, 0, {9}));
  auto read = link.Call(wire::DataRead(proto::kReadWords, {{1, 0, 1}}));
  MtxRelease(cw.mutex());
  ASSERT_TRUE(held.has_value());
  EXPECT_EQ(held->result, 2u);
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->result, 2u);
  EXPECT_EQ(cw.Get(0), 0u);
  auto later = link.Call(wire::WordWrite(1, 0, {9}));
  ASSERT_TRUE(later.has_value());
  EXPECT_EQ(later->result, 0u);
}

TEST(ServerRobustness, ClientThatDoesNotReadItsRepliesHoldsUpOnlyItself) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  Link stuck;
  ASSERT_TRUE(stuck.ok());
  // 64 KiB replies, far more than the link buffers, never read.
  for (int i = 0; i < 64; ++i)
    ASSERT_TRUE(stuck.Send(wire::DataRead(proto::kReadWords, {{1, 0, 32768}})));
  Link other;
  wire::Registered(other, "OTHER");
  auto reply = other.Call(wire::DataRead(proto::kReadWords, {{1, 0, 32768}}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->payload.size(), 65536u);
  // A stop wakes the link thread blocked in its write.
  EXPECT_EQ(server.Stop(), 0);
}

}  // namespace
