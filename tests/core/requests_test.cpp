// The writes and the mailboxes on the local link, and the exchange's guard.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "core/requests.h"
#include "support/family.h"
#include "support/holder.h"
#include "apps/mailbox.h"

namespace {

using namespace qt;

using WriteTest = LibraryTest;

// `call` on the local link, answered with `replies` first: the requests seen.
std::vector<Bytes> OnLocalLink(const std::function<std::uint32_t()>& call, std::uint32_t result,
                               std::vector<Bytes> replies = {}) {
  Peer peer([replies = std::move(replies)](PeerConn& conn) {
    for (std::size_t n = 0;; ++n) {
      const Bytes request = conn.ReadRequest();
      if (request.empty()) return;
      const std::optional<Bytes> reply = n < replies.size() ? replies[n] : Answer(request);
      if (reply && !conn.Send(*reply)) return;
    }
  });
  LinkSession session;
  EXPECT_TRUE(session.ok());
  EXPECT_EQ(call(), result);
  EXPECT_EQ(Probe(), QNA_OK);
  peer.Finish();
  const std::vector<Bytes> seen = Records(peer.received());
  EXPECT_FALSE(seen.empty() || seen.back() != kProbeRequest);
  return seen;
}

// QNA_Write and its twins (1, 100, 3, kProbeWords, 0).
TEST_F(WriteTest, WordWriteDetailCodes) {
  const Family family{
      .request = kProbeRequest,
      .on_fake = [](FakeLink& link) { return WordWriteExchange(link, 1, 100, 3, kProbeWords, 0, 1); },
      .local = [] { return QNA_Write(1, 100, 3, kProbeWords, 0); },
      .remote = [](Wire w, std::uint32_t id) { return WriteWords(w, 1, 100, 3, kProbeWords, 0, id); }};
  const std::vector<Row> rows = {
      {"server writes", {.reply = Reply(0)}, 0, 0, 30, After::InStep},
      {"server refuses the range", {.reply = Reply(6)}, 6, 0, 30, After::InStep},
      {"server result passed on", {.reply = Reply(7, {}, 0xABCD)}, 7, 0, 30, After::InStep},
      {"link closes in the head", {.reply = Le32({8, 0}), .close_after = true}, 102, 1108, 30,
       After::Cut},
  };
  RunFamily(family, Rows(rows, WriteRows(1101, {24, 6})));
}

// QNA_WriteWithFlag(0, 16, 32, ...): 2 data and 2 flag words.
TEST_F(WriteTest, MaskedWriteDetailCodes) {
  static const std::uint16_t data[2] = {0xAAAA, 0x5555};
  static const std::uint16_t flags[2] = {0xFFFF, 0x00FF};
  const Bytes request =
      Cat({Le32({28, 100120, 0, 0, 16, 4}), {0xaa, 0xaa, 0x55, 0x55, 0xff, 0xff, 0xff, 0}});
  const Family family{
      .request = request,
      .on_fake = [](FakeLink& link) { return MaskedWriteExchange(link, 0, 16, 32, data, flags, 0); },
      .local = [] { return QNA_WriteWithFlag(0, 16, 32, data, flags, 0); }};
  const std::vector<Row> rows = {
      {"server writes", {.reply = Reply(0)}, 0, 0, 32, After::InStep},
      {"server refuses the range", {.reply = Reply(6)}, 6, 0, 32, After::InStep},
  };
  RunFamily(family, Rows(rows, WriteRows(5000, {24, 4, 4})));
}

// A split write whose second piece is refused sends no third.
TEST_F(WriteTest, FailedRequestEndsASplitWrite) {
  std::vector<std::uint16_t> words(40000, 0x4242);
  const auto seen = OnLocalLink([&] { return QNA_Write(1, 0, 40000, words.data(), 0); }, 9, {Reply(0), Reply(9)});
  EXPECT_EQ(seen.size(), 3u);
}

// Refused before anything is sent (a range past 2^32 would wrap).
TEST_F(WriteTest, UnusableArgumentsSendNothing) {
  Peer peer(AnswerOne);
  LinkSession session;
  ASSERT_TRUE(session.ok());
  static std::vector<std::uint16_t> words(40000);
  static const std::uint8_t bits[2] = {1, 1};
  static const std::uint16_t sixteen[2] = {};
  struct Case {
    const char* what;
    std::uint32_t (*call)();
    std::uint32_t result;
    std::int32_t detail;
  };
  const Case cases[] = {
      {"0 words", [] { return QNA_Write(1, 100, 0, kProbeWords, 0); }, 0, 77},
      {"0 bits", [] { return QNA_WriteBit(0, 0, 0, bits, 0); }, 6, 0},
      {"0 masked bits", [] { return QNA_WriteWithFlag(0, 0, 0, sixteen, sixteen, 0); }, 6, 0},
      {"24 masked bits", [] { return QNA_WriteWithFlag(0, 0, 24, sixteen, sixteen, 0); }, 6, 0},
      {"null words", [] { return QNA_Write(1, 0, 3, nullptr, 0); }, 6, 0},
      {"word range wraps", [] { return QNA_Write(1, 0xFFFFC000u, 40000, words.data(), 0); }, 6, 0},
      {"null bits", [] { return QNA_WriteBit(0, 0, 2, nullptr, 0); }, 6, 0},
      {"bit range wraps", [] { return QNA_WriteBit(0, 0xFFFFFFFFu, 2, bits, 0); }, 6, 0},
      {"null flags", [] { return QNA_WriteWithFlag(1, 0, 16, words.data(), nullptr, 0); }, 6, 0},
      {"null data", [] { return QNA_WriteWithFlag(0, 0, 16, nullptr, sixteen, 0); }, 6, 0},
      {"unknown kind", [] { return WriteRequest(1, 100, 3, kProbeWords, 0, 2); }, 9999, 1100},
      {"mailbox read of 0 words", [] { return QNA_ReadApp("PUMP", 0, 0, words.data()); }, 6, 0},
      {"mailbox write of 0 words", [] { return QNA_WriteApp("PUMP", 0, 0, words.data(), 0); }, 6, 0},
      {"mailbox read into no buffer", [] { return QNA_ReadApp("PUMP", 0, 1, nullptr); }, 6, 0},
      {"mailbox write from no buffer", [] { return QNA_WriteApp("PUMP", 0, 1, nullptr, 0); }, 6, 0},
      {"mailbox read without a name", [] { return QNA_ReadApp(nullptr, 0, 1, words.data()); }, 6, 0},
      {"mailbox write without a name", [] { return QNA_WriteApp(nullptr, 0, 1, words.data(), 0); }, 6, 0},
      {"registration without a record", [] { return QNA_EntAppName(nullptr); }, 6, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetDetail(77);
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(QNA_InternalErr, c.detail);
  }
  EXPECT_EQ(Probe(), QNA_OK);
  peer.Finish();
  EXPECT_EQ(peer.received(), kProbeRequest);
}

// Options bit 0: the request goes whole and no reply is read.
TEST_F(WriteTest, NoReplyOptionReadsNothing) {
  static const std::uint16_t words[16] = {};
  static const std::uint16_t flags[1] = {0xFFFF};
  static const std::uint8_t bits[2] = {1, 0};
  struct Case {
    const char* what;
    std::uint32_t (*call)();
    std::size_t bytes;
  };
  const Case cases[] = {
      {"word write", [] { return QNA_Write(1, 0, 16, words, 1); }, 24 + 32},
      {"bit write", [] { return QNA_WriteBit(0, 0, 2, bits, 3); }, 24 + 2},
      {"masked write", [] { return QNA_WriteWithFlag(2, 0, 16, words, flags, 1); }, 24 + 4},
      {"mailbox write", [] { return QNA_WriteApp("A", 0, 16, words, 1); }, 28 + 32},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto seen = OnLocalLink(c.call, QNA_OK);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].size(), c.bytes);
    EXPECT_EQ(At32(seen[0], 8) & 1u, 1u);
  }
}

// The request lock held elsewhere: every local request gives 2 with 640.
TEST_F(WriteTest, RequestLockTimeOut) {
  Peer peer(AnswerOne);
  LinkSession session;
  ASSERT_TRUE(session.ok());
  MutexHolder holder(LinkRequestLock());
  ASSERT_TRUE(holder.taken());
  QNA_MtxTimeOut = 100;
  const std::uint16_t sixteen[1] = {};
  std::uint16_t word = 0;
  const std::uint8_t bit = 1;
  const auto start = std::chrono::steady_clock::now();
  std::uint32_t w1 = 0, w2 = 0, length = 1;
  std::uint8_t byte = 0;
  const std::uint32_t results[] = {QNA_Write(1, 100, 3, kProbeWords, 0),
                                   QNA_WriteBit(0, 0, 1, &bit, 0),
                                   QNA_WriteWithFlag(0, 0, 16, sixteen, sixteen, 0),
                                   QNA_ReadApp("A", 0, 1, &word),
                                   QNA_WriteApp("A", 0, 1, sixteen, 0),
                                   QNA_SendMsg(1, 1, 2, 3, 1, &bit, 0),
                                   QNA_RecvMsg(1, &w1, &w2, &length, &byte, 0)};
  const auto waited = std::chrono::steady_clock::now() - start;
  for (std::uint32_t r : results) EXPECT_EQ(r, QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
  EXPECT_GE(waited, std::chrono::milliseconds(7 * 90));
  holder.Release();
  EXPECT_EQ(Probe(), QNA_OK);
  peer.Finish();
  EXPECT_EQ(peer.received(), kProbeRequest);
}

// An abandoned request lock: 2 with 95, and the lock given back.
TEST_F(WriteTest, AbandonedRequestLockIsGivenBack) {
  Peer peer(AnswerOne);
  LinkSession session;
  ASSERT_TRUE(session.ok());
  std::thread([] { MtxWait(LinkRequestLock(), kInfinite); }).join();
  QNA_MtxTimeOut = 2000;
  EXPECT_EQ(Probe(), QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_ABANDONED);
  std::uint32_t other = 0;
  std::thread([&other] { other = Probe(); }).join();
  EXPECT_EQ(other, QNA_OK);
  peer.Finish();
  EXPECT_EQ(peer.received(), kProbeRequest);
}

TEST_F(WriteTest, ClosedLinkGivesFiftyBeforeAnything) {
  const std::uint16_t words[16] = {};
  const std::uint8_t bits[1] = {1};
  std::uint16_t word = 0;
  std::uint8_t out_bits[1] = {};
  const QNA_REGREC record{0, 0, {'A', 0}};
  SetDetail(77);
  const std::uint32_t results[] = {
      QNA_Write(1, 0, 1, words, 0),       QNA_WriteBit(0, 0, 1, bits, 0),
      QNA_WriteWithFlag(0, 0, 16, words, words, 0), QNA_ReadApp("A", 0, 1, &word),
      QNA_WriteApp("A", 0, 1, words, 0),  QNA_EntAppName(&record),
      QNA_Read(1, 0, 1, &word, 0),        QNA_WriteSmem(1, 0, 1, words, 0),
      QNA_ReadBit(0, 0, 1, out_bits, 0),
      QNA_WriteSmemBit(0, 0, 1, bits, 0)};
  for (std::uint32_t r : results) EXPECT_EQ(r, QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
}

using MailboxTest = LibraryTest;

const Bytes kPump = {'P', 'U', 'M', 'P', 0, 0, 0, 0};
const Bytes kMailboxRead = Cat({Le32({24, 200, 0}), kPump, Le32({5, 2})});

TEST_F(MailboxTest, ReadDetailCodes) {
  static std::uint16_t words[2];
  const Family family{.request = kMailboxRead,
                      .on_fake = [](FakeLink& link) { return MailboxReadExchange(link, "PUMP", 5, 2, words); },
                      .local = [] { return QNA_ReadApp("PUMP", 5, 2, words); }};
  const Bytes two_words = {1, 2, 3, 4};
  const std::vector<Row> rows = {
      {"server answers", {.reply = Reply(0, two_words)}, 0, 0, 28, After::InStep},
      {"server answers without words", {.reply = Reply(0)}, 0, 0, 28, After::InStep},
      {"more words than asked", {.reply = Reply(0, Bytes(40, 9))}, 0, 0, 28, After::InStep},
      {"server refuses, words follow", {.reply = Reply(6, two_words)}, 6, 0, 28, After::InStep},
      {"link closes in the words", {.reply = Cat({Le32({12, 0, 0}), Bytes{1, 2}}), .close_after = true},
       102, 2007, 28, After::Cut},
      // The bound on a sane reply: at it the reply is read, past it the link is cut.
      {"reply at the bound",
       {.reply = Cat({Le32({kMaxReplyLength, 0, 0}), Bytes(kMaxReplyLength - 8, 0)})}, 0, 0, 28,
       After::InStep},
      {"past the bound", {.reply = Le32({kMaxReplyLength + 1})}, 102, 2004, 28, After::Cut},
  };
  RunFamily(family, Rows(rows, StepRows(2000, 28, two_words)));
}

TEST_F(MailboxTest, WriteDetailCodes) {
  static const std::uint16_t words[2] = {0x0102, 0x0304};
  const Bytes request = Cat({Le32({28, 100200, 0}), kPump, Le32({5, 2}), {0x02, 0x01, 0x04, 0x03}});
  const Family family{.request = request,
                      .on_fake = [](FakeLink& link) { return MailboxWriteExchange(link, "PUMP", 5, 2, words, 0); },
                      .local = [] { return QNA_WriteApp("PUMP", 5, 2, words, 0); }};
  const std::vector<Row> rows = {
      {"server writes", {.reply = Reply(0)}, 0, 0, 32, After::InStep},
      {"server refuses the range", {.reply = Reply(6)}, 6, 0, 32, After::InStep},
      {"server result passed on", {.reply = Reply(7)}, 7, 0, 32, After::InStep},
  };
  RunFamily(family, Rows(rows, WriteRows(2100, {28, 4})));
}

// Only a successful reply writes the buffer, and never past count words.
TEST_F(MailboxTest, ReadWritesOnlyTheWordsAsked) {
  struct Case {
    const char* what;
    Bytes reply;
    std::uint32_t result;
    std::vector<std::uint16_t> buffer;  // 2 words asked, then a guard word
  };
  const std::vector<Case> cases = {
      {"two words", Reply(0, {0x01, 0x02, 0x03, 0x04}), 0, {0x0201, 0x0403, 0xEEEE}},
      {"five words", Reply(0, {1, 0, 2, 0, 3, 0, 4, 0, 5, 0}), 0, {1, 2, 0xEEEE}},
      {"one word", Reply(0, {0x34, 0x12}), 0, {0x1234, 0xEEEE, 0xEEEE}},
      {"no words", Reply(0), 0, {0xEEEE, 0xEEEE, 0xEEEE}},
      {"refused with words", Reply(6, {1, 0, 2, 0}), 6, {0xEEEE, 0xEEEE, 0xEEEE}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint16_t> buffer(3, 0xEEEE);
    OnLocalLink([&] { return QNA_ReadApp("PUMP", 0, 2, buffer.data()); }, c.result, {c.reply});
    EXPECT_EQ(buffer, c.buffer);  // whatever the reply carried was read to its end
  }
}


constexpr ExchangeCodes kCodes = CodesFrom(100, 2, 2);  // 100..103, 104..108, 109..112

// Pieces beyond the code table: refused before a byte is written.
TEST_F(WriteTest, ExchangeRefusesUnnamedPieces) {
  const Bytes piece = {1};
  const std::span<const std::uint8_t> pieces[] = {piece, piece, piece, piece};
  FakeLink link({.reply = Reply(0)});
  SetDetail(0);
  EXPECT_EQ(RunExchange(link, {.codes = kCodes, .pieces = pieces}).result, QNA_E_INTERNAL);
  EXPECT_EQ(Detail(), -1);
  EXPECT_EQ(link.writes, 0);
}

}  // namespace
