// messages_test.cpp - the message family against a scripted server: the
// detail codes of the send (3000 to 3008) on the local link, a pipe
// connection and a TCP connection, of the receive (3100 to 3110) on the
// local link and a pipe connection, the exact request bytes, and what a
// receive stores.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/messages.h"
#include "support/family.h"

namespace {

using namespace std::chrono_literals;
using qt::Bytes;
using qt::Cat;
using qt::FakeLink;
using qt::Le32;
using qt::Reply;
using qt::Script;
using qt::Wire;

constexpr std::uint32_t kChannel = 7;
const Bytes kBody = {'h', 'e', 'l', 'l', 'o'};

using qt::After;
using qt::BadLengthRows;
using qt::StepRows;
using qt::Row;
using qt::Rows;

// ---- Send ------------------------------------------------------------------------
// Channel 7 (area 107), words 0x11, 0x22, 0x33, "hello", flags 0x40 (passed on
// unchanged): the 36-byte head, then the body.
const Bytes kSendRequest =
    Cat({Le32({5 + 32, 100100, 0x40, 107, 0, 5 + 12, 0x11, 0x22, 0x33}), kBody});

const std::vector<Row> kSendRows = Rows({
    {"done", {Reply(0)}, 0, 0, 41, After::InStep},
    {"server result returned", {Reply(21)}, 21, 0, 41, After::InStep},
}, qt::WriteRows(3000, {36, 5}));

std::uint32_t SendOnFake(FakeLink& link) {
  return MsgSendExchange(link, kChannel, 0x11, 0x22, 0x33, 5, kBody.data(), 0x40);
}

// ---- Receive ----------------------------------------------------------------------
// Channel 7, capacity 16 (count 24), receive option 0x12345 of which the low
// 16 bits travel.
constexpr std::uint32_t kCapacity = 16;
constexpr std::uint32_t kOption = 0x12345;
const Bytes kRecvRequest = Cat({Le32({24, 100, 0}), Bytes{1, 0, 0x45, 0x23}, Le32({107, 0, 24})});
const Bytes kMessage = Cat({Le32({0xA1, 0xB2}), kBody});

const std::vector<Row> kRecvRows = Rows({
    {"message", {Reply(0, kMessage)}, 0, 0, 28, After::InStep},
    {"server result returned", {Reply(20)}, 20, 0, 28, After::InStep},
    {"refusal with a payload", {Reply(23, Le32({1, 2, 3}))}, 23, 0, 28, After::InStep},
    {"no message words (4 payload bytes)", {Reply(0, Le32({9}))}, 0, 0, 28, After::InStep},
    {"body beyond the capacity", {Reply(0, Cat({Le32({1, 2}), Bytes(40, 'x')}))}, 0, 0, 28, After::InStep},
    {"body not read", {.reply = Le32({21, 0, 0, 1, 2}), .close_after = true}, 102, 3109, 28, After::Cut},
    {"body short", {.reply = Reply(0, kMessage), .short_read = 3}, 102, 3110, 28, After::Cut},
}, StepRows(3100, 28, kMessage));

std::uint32_t RecvOnFake(FakeLink& link) {
  std::uint32_t w1 = 0, w2 = 0, length = kCapacity;
  std::uint8_t buffer[kCapacity];
  return MsgRecvExchange(link, kChannel, &w1, &w2, &length, buffer, kOption);
}

std::uint32_t RecvLocal() {
  std::uint32_t w1 = 0, w2 = 0, length = kCapacity;
  std::uint8_t buffer[kCapacity];
  return QNA_RecvMsg(kChannel, &w1, &w2, &length, buffer, kOption);
}

using MessagesTest = qt::LibraryTest;
// The exchanges on a scripted link alone; a private root all the same.
class MessagesExchange : public ::testing::Test {
 protected:
  qt::TempRoot root_;
};

TEST_F(MessagesTest, SendCodesOnEveryLink) {
  qt::RunFamily({.request = kSendRequest,
                 .on_fake = SendOnFake,
                 .local = [] { return QNA_SendMsg(kChannel, 0x11, 0x22, 0x33, 5, kBody.data(), 0x40); },
                 .remote =
                     [](Wire wire, std::uint32_t id) {
                       return wire == Wire::Pipe
                                  ? QNA_SendMsgN(kChannel, 0x11, 0x22, 0x33, 5, kBody.data(), 0x40, id)
                                  : QNA_SendMsgS(kChannel, 0x11, 0x22, 0x33, 5, kBody.data(), 0x40, id);
                     }},
                kSendRows);
}

// There is no receive over TCP: the local link and a pipe connection.
TEST_F(MessagesTest, ReceiveCodesOnTheLocalLinkAndAPipeConnection) {
  qt::RunFamily({.request = kRecvRequest,
                 .on_fake = RecvOnFake,
                 .local = RecvLocal,
                 .remote =
                     [](Wire, std::uint32_t id) {
                       std::uint32_t w1 = 0, w2 = 0, length = kCapacity;
                       std::uint8_t buffer[kCapacity];
                       return QNA_RecvMsgN(kChannel, &w1, &w2, &length, buffer, kOption, id);
                     },
                 .tcp = false},
                kRecvRows);
}

// ---- What the exchanges send and store ----------------------------------------
struct Received {
  std::uint32_t result;
  std::uint32_t w1 = 0xDEAD, w2 = 0xBEEF, length;
  std::uint8_t buffer[24];
};

Received RecvFrom(const Bytes& reply, std::uint32_t capacity = kCapacity) {
  FakeLink link(Script{reply});
  Received r{};
  r.w1 = 0xDEAD;
  r.w2 = 0xBEEF;
  r.length = capacity;
  std::memset(r.buffer, 0xEE, sizeof r.buffer);
  SetDetail(0);
  r.result = MsgRecvExchange(link, kChannel, &r.w1, &r.w2, &r.length, r.buffer, 0);
  EXPECT_EQ(link.at, reply.size()) << "the whole reply is read";
  return r;
}

// What a receive stores: the two words once eight payload bytes came, the
// body up to the capacity and not a byte more (the rest is read and
// dropped, so the link stays in step), nothing at all after a refusal.
TEST_F(MessagesExchange, ReceiveStores) {
  struct Case {
    const char* what;
    Bytes reply;
    std::uint32_t capacity;
    std::uint32_t result, w1, w2, length;
    Bytes buffer;  // its first bytes afterwards, from 0xEE
  };
  const std::vector<Case> cases = {
      {"words and body", Reply(0, kMessage), kCapacity, 0, 0xA1, 0xB2, 5, Cat({kBody, {0xEE}})},
      {"fewer than eight payload bytes", Reply(0, Bytes{1, 2, 3, 4, 5, 6, 7}), kCapacity, 0, 0xDEAD,
       0xBEEF, 0, {0xEE}},
      {"the words alone", Reply(0, Le32({5, 6})), kCapacity, 0, 5, 6, 0, {0xEE}},
      {"refused", Reply(20, kMessage), kCapacity, 20, 0xDEAD, 0xBEEF, kCapacity, {0xEE}},
      {"body beyond the capacity", Reply(0, Cat({Le32({1, 2}), Bytes(20, 'x')})), 4, 0, 1, 2, 4,
       {'x', 'x', 'x', 'x', 0xEE, 0xEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Received r = RecvFrom(c.reply, c.capacity);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(Detail(), 0);
    EXPECT_EQ(r.w1, c.w1);
    EXPECT_EQ(r.w2, c.w2);
    EXPECT_EQ(r.length, c.length);
    EXPECT_EQ(Bytes(r.buffer, r.buffer + c.buffer.size()), c.buffer);
  }
}

TEST_F(MessagesExchange, ZeroCapacityAsksForTheWordsOnly) {
  FakeLink link(Script{Reply(0, Le32({1, 2}))});
  std::uint32_t w1 = 0, w2 = 0, length = 0;
  EXPECT_EQ(MsgRecvExchange(link, 0, &w1, &w2, &length, nullptr, 0), 0u);
  EXPECT_EQ(link.written, Cat({Le32({24, 100, 0}), Bytes{1, 0, 0, 0}, Le32({100, 0, 8})}));
  EXPECT_EQ(w1, 1u);
  EXPECT_EQ(length, 0u);
}

TEST_F(MessagesExchange, EmptyBodyIsSentAsTheHeadAlone) {
  FakeLink link(Script{Reply(0)});
  EXPECT_EQ(MsgSendExchange(link, 0, 1, 2, 3, 0, nullptr, 0), 0u);
  EXPECT_EQ(link.written, Le32({32, 100100, 0, 100, 0, 12, 1, 2, 3}));
  EXPECT_EQ(link.writes, 1);
}

TEST_F(MessagesExchange, SendWithoutReplyReadsNothing) {
  FakeLink link(Script{});
  EXPECT_EQ(MsgSendExchange(link, 3, 1, 2, 3, 5, kBody.data(), 0x41), 0u);
  EXPECT_EQ(link.reads, 0);
  EXPECT_EQ(link.written, Cat({Le32({37, 100100, 0x41, 103, 0, 17, 1, 2, 3}), kBody}));
}

// channel + 100 past 2^32 would wrap round to a data area: a send there
// would be a bit write into area 0 to 5.  Refused before anything goes out.
TEST_F(MessagesExchange, ChannelsThatWrapAreRefused) {
  for (const std::uint32_t channel : {0xFFFFFFFFu, 0xFFFFFF9Cu, 0xFFFFFFA0u}) {
    FakeLink send(Script{Reply(0)});
    EXPECT_EQ(MsgSendExchange(send, channel, 1, 2, 3, 5, kBody.data(), 0), QNA_E_ARG);
    EXPECT_TRUE(send.written.empty());
    FakeLink recv(Script{Reply(0)});
    std::uint32_t w1 = 0, w2 = 0, length = 4;
    std::uint8_t buffer[4];
    EXPECT_EQ(MsgRecvExchange(recv, channel, &w1, &w2, &length, buffer, 0), QNA_E_ARG);
    EXPECT_TRUE(recv.written.empty());
  }
  FakeLink last(Script{Reply(0)});
  EXPECT_EQ(MsgSendExchange(last, 0xFFFFFF9Bu, 1, 2, 3, 0, nullptr, 0), 0u);
  EXPECT_EQ(qt::At32(last.written, 12), 0xFFFFFFFFu);
}

TEST_F(MessagesExchange, MissingPointersAndOversizedCountsAreRefused) {
  FakeLink link(Script{Reply(0)});
  std::uint32_t w = 0, length = 4;
  std::uint8_t buffer[4];
  EXPECT_EQ(MsgSendExchange(link, 1, 1, 2, 3, 5, nullptr, 0), QNA_E_ARG);
  EXPECT_EQ(MsgSendExchange(link, 1, 1, 2, 3, 0xFFFFFFF0u, kBody.data(), 0), QNA_E_ARG);
  EXPECT_EQ(MsgRecvExchange(link, 1, nullptr, &w, &length, buffer, 0), QNA_E_ARG);
  EXPECT_EQ(MsgRecvExchange(link, 1, &w, nullptr, &length, buffer, 0), QNA_E_ARG);
  EXPECT_EQ(MsgRecvExchange(link, 1, &w, &w, nullptr, buffer, 0), QNA_E_ARG);
  EXPECT_EQ(MsgRecvExchange(link, 1, &w, &w, &length, nullptr, 0), QNA_E_ARG);
  length = 0xFFFFFFF8u;  // capacity + 8 would wrap the count
  EXPECT_EQ(MsgRecvExchange(link, 1, &w, &w, &length, buffer, 0), QNA_E_ARG);
  EXPECT_TRUE(link.written.empty());
}

// ---- The locking frames -----------------------------------------------------------
TEST_F(MessagesTest, LocalFunctionsBeforeOpenGive50) {
  SetDetail(77);
  EXPECT_EQ(QNA_SendMsg(1, 1, 2, 3, 5, kBody.data(), 0), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
  SetDetail(77);
  EXPECT_EQ(RecvLocal(), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
}

TEST_F(MessagesTest, UnknownConnectionGives50AndLeavesTheDetail) {
  std::uint32_t w = 0, length = 4;
  std::uint8_t buffer[4];
  SetDetail(1234);
  EXPECT_EQ(QNA_SendMsgN(1, 1, 2, 3, 5, kBody.data(), 0, 99), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_RecvMsgN(1, &w, &w, &length, buffer, 0, 99), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_SendMsgS(1, 1, 2, 3, 5, kBody.data(), 0, 99), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 1234);
}

}  // namespace
