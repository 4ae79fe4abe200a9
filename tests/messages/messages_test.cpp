// The message family against a scripted server.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/messages.h"
#include "support/family.h"

namespace {

using namespace std::chrono_literals;
using namespace qt;

constexpr std::uint32_t kChannel = 7;
const Bytes kBody = {'h', 'e', 'l', 'l', 'o'};

// Send: channel 7 (area 107), words 0x11, 0x22, 0x33, "hello", flags 0x40.
const Bytes kSendRequest =
    Cat({Le32({5 + 32, 100100, 0x40, 107, 0, 5 + 12, 0x11, 0x22, 0x33}), kBody});

const std::vector<Row> kSendRows = Rows({
    {"done", {Reply(0)}, 0, 0, 41, After::InStep},
    {"server result returned", {Reply(21)}, 21, 0, 41, After::InStep},
}, qt::WriteRows(3000, {36, 5}));

std::uint32_t SendOnFake(FakeLink& link) {
  return MsgSendExchange(link, kChannel, 0x11, 0x22, 0x33, 5, kBody.data(), 0x40);
}

// Receive: channel 7, capacity 16, option 0x12345 (the low 16 bits travel).
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

// A receive of `capacity` bytes (no buffer at 0) on channel 7.
Received RecvFrom(const Bytes& reply, std::uint32_t capacity) {
  FakeLink link(Script{reply});
  Received r{};
  r.length = capacity;
  std::memset(r.buffer, 0xEE, sizeof r.buffer);
  SetDetail(0);
  r.result = MsgRecvExchange(link, kChannel, &r.w1, &r.w2, &r.length, capacity == 0 ? nullptr : r.buffer, 0);
  EXPECT_EQ(link.written, Cat({Le32({24, 100, 0}), Bytes{1, 0, 0, 0}, Le32({107, 0, capacity + 8})}));
  EXPECT_EQ(link.at, reply.size()) << "the whole reply is read";
  return r;
}

// The words once 8 bytes came, the body up to the capacity, none if refused.
TEST_F(MessagesTest, ReceiveStores) {
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
      {"capacity 0: the words only", Reply(0, Le32({1, 2})), 0, 0, 1, 2, 0, {0xEE}},
      {"refused", Reply(20, kMessage), kCapacity, 20, 0xDEAD, 0xBEEF, kCapacity, {0xEE}},
      {"body beyond the capacity", Reply(0, Cat({Le32({1, 2}), Bytes(20, 'x')})), 4, 0, 1, 2, 4,
       {'x', 'x', 'x', 'x', 0xEE, 0xEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Received r = RecvFrom(c.reply, c.capacity);
    EXPECT_EQ(r.result, c.result);
    EXPECT_EQ(Detail(), 0);
    EXPECT_EQ(std::vector<std::uint32_t>({r.w1, r.w2, r.length}), std::vector<std::uint32_t>({c.w1, c.w2, c.length}));
    EXPECT_EQ(Bytes(r.buffer, r.buffer + c.buffer.size()), c.buffer);
  }
}

// A send with an empty body, with no reply, and to the last channel.
TEST_F(MessagesTest, SendsWrite) {
  struct Case {
    const char* what;
    std::uint32_t channel, length, flags;
    Bytes written;
    int writes, reads;
  };
  const Case cases[] = {
      {"empty body", 0, 0, 0, Le32({32, 100100, 0, 100, 0, 12, 1, 2, 3}), 1, 2},
      {"no reply", 3, 5, 0x41, Cat({Le32({37, 100100, 0x41, 103, 0, 17, 1, 2, 3}), kBody}), 2, 0},
      {"last channel", 0xFFFFFF9Bu, 0, 0, Le32({32, 100100, 0, 0xFFFFFFFFu, 0, 12, 1, 2, 3}), 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLink link(Script{Reply(0)});
    EXPECT_EQ(MsgSendExchange(link, c.channel, 1, 2, 3, c.length, c.length ? kBody.data() : nullptr, c.flags), 0u);
    EXPECT_EQ(link.written, c.written);
    EXPECT_EQ(link.writes, c.writes);
    EXPECT_EQ(link.reads, c.reads);
  }
}

// Refused unsent: channels that wrap to a data area, no pointers, wraps.
TEST_F(MessagesTest, RefusedBeforeAnythingIsWritten) {
  using Call = std::uint32_t (*)(FakeLink&);
  static std::uint32_t w = 0, length = 4;
  static std::uint8_t buffer[4];
  const Call calls[] = {
      [](FakeLink& l) { return MsgSendExchange(l, 0xFFFFFFFFu, 1, 2, 3, 5, kBody.data(), 0); },
      [](FakeLink& l) { return MsgSendExchange(l, 0xFFFFFF9Cu, 1, 2, 3, 5, kBody.data(), 0); },
      [](FakeLink& l) { return MsgSendExchange(l, 0xFFFFFFA0u, 1, 2, 3, 5, kBody.data(), 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 0xFFFFFFFFu, &w, &w, &(length = 4), buffer, 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 0xFFFFFF9Cu, &w, &w, &(length = 4), buffer, 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 0xFFFFFFA0u, &w, &w, &(length = 4), buffer, 0); },
      [](FakeLink& l) { return MsgSendExchange(l, 1, 1, 2, 3, 5, nullptr, 0); },
      [](FakeLink& l) { return MsgSendExchange(l, 1, 1, 2, 3, 0xFFFFFFF0u, kBody.data(), 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 1, nullptr, &w, &(length = 4), buffer, 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 1, &w, nullptr, &(length = 4), buffer, 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 1, &w, &w, nullptr, buffer, 0); },
      [](FakeLink& l) { return MsgRecvExchange(l, 1, &w, &w, &(length = 4), nullptr, 0); },
      // capacity + 8 would wrap the count
      [](FakeLink& l) { return MsgRecvExchange(l, 1, &w, &w, &(length = 0xFFFFFFF8u), buffer, 0); },
  };
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    FakeLink link(Script{Reply(0)});
    EXPECT_EQ(calls[i](link), QNA_E_ARG) << "call " << i;
    EXPECT_TRUE(link.written.empty()) << "call " << i;
  }
}

// Before an open: 50 with detail 0; an unknown connection: 50.
TEST_F(MessagesTest, NoLinkGives50) {
  std::uint32_t w = 0, length = 4;
  std::uint8_t buffer[4];
  SetDetail(77);
  EXPECT_EQ(QNA_SendMsg(1, 1, 2, 3, 5, kBody.data(), 0), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
  SetDetail(77);
  EXPECT_EQ(RecvLocal(), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
  SetDetail(1234);
  EXPECT_EQ(QNA_SendMsgN(1, 1, 2, 3, 5, kBody.data(), 0, 99), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_RecvMsgN(1, &w, &w, &length, buffer, 0, 99), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_SendMsgS(1, 1, 2, 3, 5, kBody.data(), 0, 99), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 1234);
}

}  // namespace
