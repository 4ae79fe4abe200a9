// Application mailboxes on the local link, against a scripted server.
#include <gtest/gtest.h>

#include <vector>

#include "apps/mailbox.h"
#include "support/family.h"

namespace {

using namespace qt;

using MailboxTest = LibraryTest;

// QNA_ReadApp("PUMP", 5, 2, ...): length 24, command 200, options 0, the
// name zero-padded to 8 bytes, index 5, count 2.
const Bytes kMailboxRead = {0x18, 0x00, 0x00, 0x00, 0xc8, 0x00, 0x00, 0x00, 0x00, 0x00,
                            0x00, 0x00, 'P',  'U',  'M',  'P',  0x00, 0x00, 0x00, 0x00,
                            0x05, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00};

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
  };
  RunFamily(family, Rows(rows, StepRows(2000, 28, two_words)));
}

// QNA_WriteApp("PUMP", 5, 2, {0x0102, 0x0304}, 0): the 28-byte head (length
// 28, command 100200), then the 4 data bytes.
TEST_F(MailboxTest, WriteDetailCodes) {
  static const std::uint16_t words[2] = {0x0102, 0x0304};
  const Bytes request = {0x1c, 0x00, 0x00, 0x00, 0x68, 0x87, 0x01, 0x00, 0x00, 0x00, 0x00,
                         0x00, 'P',  'U',  'M',  'P',  0x00, 0x00, 0x00, 0x00, 0x05, 0x00,
                         0x00, 0x00, 0x02, 0x00, 0x00, 0x00, 0x02, 0x01, 0x04, 0x03};
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

// The caller's buffer holds count words: a reply never writes past them,
// and only a successful reply with words writes into it at all.
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
    Peer peer;
    const Bytes reply = c.reply;
    peer.Serve([reply](PeerConn& conn) {
      if (conn.ReadRequest().empty() || !conn.Send(reply)) return;
      if (!conn.ReadRequest().empty()) conn.Send(Reply(0));
      conn.WaitFinish();
    });
    LinkSession session;
    ASSERT_TRUE(session.ok());
    std::vector<std::uint16_t> buffer(3, 0xEEEE);
    EXPECT_EQ(QNA_ReadApp("PUMP", 0, 2, buffer.data()), c.result);
    EXPECT_EQ(buffer, c.buffer);
    EXPECT_EQ(Probe(), QNA_OK);  // whatever the reply carried was read to its end
  }
}

}  // namespace
