// Messages through quonix.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "integration/integration.h"
#include "server/tcp_wire.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kChannelEmpty = 20;
constexpr std::uint32_t kChannelFull = 21;
constexpr std::uint32_t kMessageTooLarge = 22;
constexpr std::uint32_t kMessageTooLong = 23;

using MessagesServerTest = it::IntegrationTest;

struct Got {
  std::uint32_t result;
  std::uint32_t w1 = 0, w2 = 0;
  std::string body;
};

// A receive on the local link, or through a connection when id is not 0.
Got Receive(std::uint32_t channel, std::uint32_t wait_ms, std::uint32_t capacity = 256,
            std::uint32_t id = 0) {
  std::vector<std::uint8_t> buffer(capacity + 1);
  Got got{};
  std::uint32_t length = capacity;
  got.result = id == 0 ? QNA_RecvMsg(channel, &got.w1, &got.w2, &length, buffer.data(), wait_ms)
                       : QNA_RecvMsgN(channel, &got.w1, &got.w2, &length, buffer.data(), wait_ms, id);
  if (got.result == 0) got.body.assign(reinterpret_cast<const char*>(buffer.data()), length);
  return got;
}

std::uint32_t Send(std::uint32_t channel, const std::string& body, std::uint32_t w1 = 1,
                   std::uint32_t w2 = 2, std::uint32_t w3 = 0) {
  return QNA_SendMsg(channel, w1, w2, w3, static_cast<std::uint32_t>(body.size()), body.data(), 0);
}

// Another process sends (host pipe or TCP) to waiting receives.
TEST_F(MessagesServerTest, FromAnotherProcessOverEachLink) {
  ASSERT_TRUE(StartServer({"--host", "plant", "--tcp", "127.0.0.1:0"}));
  const auto listening = wire::ListeningOn(root_.path() + "/quonix.log");
  ASSERT_TRUE(listening) << ServerLog();
  for (const bool tcp : {false, true}) {
    SCOPED_TRACE(tcp ? "tcp to the local pipe" : "host pipe to host pipe");
    const std::uint32_t channel = tcp ? 11 : 9;
    qt::Child sender([&] {
      QNA_CONNPARAM params = tcp ? it::Connection("SENDS", "127.0.0.1", listening->port) : it::Connection("SENDN", "plant");
      std::uint32_t id = 0;
      const std::uint32_t opened = tcp ? QNA_OpenS(&params, &id) : QNA_OpenN(&params, &id);
      if (opened != 0) return it::ChildFail(it::Got("open", opened));
      SysSleep(500);  // the first receive is waiting by then
      std::uint32_t result = 0;
      for (std::uint32_t i = 0; i < 3 && result == 0; ++i) {
        const std::string body = "message " + std::to_string(i);
        const auto size = static_cast<std::uint32_t>(body.size());
        result = tcp ? QNA_SendMsgS(channel, i, 100 + i, 0, size, body.data(), 0, id)
                     : QNA_SendMsgN(channel, i, 100 + i, 0, size, body.data(), 0, id);
      }
      tcp ? QNA_CloseS(id) : QNA_CloseN(id);
      return result == 0 ? 0 : it::ChildFail(it::Got("send", result));
    });
    std::uint32_t id = 0;
    if (tcp) {
      QNA_REGREC record = it::Record("RECVP");
      ASSERT_EQ(QNA_Open(&record), 0u);
    } else {
      const QNA_CONNPARAM params = it::Connection("RECVN", "plant");
      ASSERT_EQ(QNA_OpenN(&params, &id), 0u) << ServerLog();
    }
    const auto start = it::Clock::now();
    for (std::uint32_t i = 0; i < 3; ++i) {
      const Got got = Receive(channel, 15000, 256, id);
      ASSERT_EQ(got.result, 0u) << ServerLog();
      EXPECT_EQ(got.w1, i);
      EXPECT_EQ(got.w2, 100 + i);
      EXPECT_EQ(got.body, "message " + std::to_string(i));
    }
    EXPECT_LT(it::MsSince(start), 15000);  // answered as the messages came
    EXPECT_EQ(sender.Wait(30s), 0);
  }
}

// A receiver that dies waiting does not take the next message with it.
TEST_F(MessagesServerTest, ReceiverThatDiesWhileItWaitsLosesNoMessage) {
  ASSERT_TRUE(StartServer());
  qt::Signal receiving;
  qt::Child receiver([&] {
    QNA_REGREC record = it::Record("DYING");
    if (QNA_Open(&record) != 0) return 1;
    receiving.Post();
    Receive(9, 60000);
    return 2;
  });
  // Killed once its receive waits in the server (earlier, the message just
  // waits): the reply to it cannot be sent.
  ASSERT_EQ(receiving.Take(30s), 1);
  SysSleep(500);
  receiver.Kill();
  QNA_REGREC record = it::Record("NEXT");
  ASSERT_EQ(QNA_Open(&record), 0u);
  ASSERT_EQ(Send(9, "kept", 5, 6, 1), 0u);
  const Got got = Receive(9, 10000);
  EXPECT_EQ(got.result, 0u);
  EXPECT_EQ(got.body, "kept");
  EXPECT_EQ(got.w1, 5u);
  EXPECT_EQ(Receive(9, 0).result, kChannelEmpty);
}

class ChannelTest : public it::OpenClient {};

// In order, urgent first; an empty channel gives 20 after the wait.
TEST_F(ChannelTest, OrderAndEmptyChannel) {
  EXPECT_EQ(Receive(1, 0).result, kChannelEmpty);
  const auto start = it::Clock::now();
  EXPECT_EQ(Receive(1, 300).result, kChannelEmpty);
  EXPECT_GE(it::MsSince(start), 250);
  ASSERT_EQ(Send(2, "a"), 0u);
  ASSERT_EQ(Send(2, "b"), 0u);
  ASSERT_EQ(Send(2, "urgent 1", 1, 2, 1), 0u);
  ASSERT_EQ(Send(2, "urgent 2", 1, 2, 7), 0u);
  ASSERT_EQ(Send(2, ""), 0u);  // a message without a body
  ASSERT_EQ(QNA_SendMsg(2, 1, 2, 0, 5, "quiet", QNA_MSG_NOREPLY), 0u);
  for (const char* expected : {"urgent 1", "urgent 2", "a", "b", "", "quiet"}) {
    const Got got = Receive(2, 2000);
    EXPECT_EQ(got.result, 0u);
    EXPECT_EQ(got.body, expected);
  }
  EXPECT_EQ(Receive(2, 0).result, kChannelEmpty);
}

// A full channel (21), too large (22), too little room (23): none lost.
TEST_F(ChannelTest, LimitsKeepEveryMessage) {
  for (std::uint32_t i = 0; i < 64; ++i) ASSERT_EQ(Send(4, std::to_string(i)), 0u) << i;
  EXPECT_EQ(Send(4, "one too many"), kChannelFull);
  EXPECT_EQ(Send(5, "another channel"), 0u);
  for (std::uint32_t i = 0; i < 64; ++i) EXPECT_EQ(Receive(4, 0).body, std::to_string(i));
  EXPECT_EQ(Receive(4, 0).result, kChannelEmpty);

  ASSERT_EQ(Send(6, "before"), 0u);
  EXPECT_EQ(Send(6, std::string(65537, 'x')), kMessageTooLarge);
  EXPECT_EQ(Send(6, std::string(65536, 'y')), 0u);
  EXPECT_EQ(Receive(6, 0).body, "before");
  EXPECT_EQ(Receive(6, 0, 65536).body, std::string(65536, 'y'));

  ASSERT_EQ(Send(8, "twelve bytes"), 0u);
  EXPECT_EQ(Receive(8, 0, 11).result, kMessageTooLong);
  EXPECT_EQ(Receive(8, 0, 12).body, "twelve bytes");
}

// The information blocks are not channels; the last channel is one.
TEST_F(ChannelTest, InformationBlocksAreNoChannelsTheLastChannelIs) {
  EXPECT_EQ(Send(900, "x"), 6u);
  EXPECT_EQ(Send(0xFFFFFF9Bu, "last"), 0u);
  EXPECT_EQ(Receive(0xFFFFFF9Bu, 0).body, "last");
}

}  // namespace
