// Application mailboxes on a real quonix: between two client processes,
// writes without a reply, names the server does not know.
#include <gtest/gtest.h>

#include <functional>

#include "integration.h"

namespace {

using namespace it;

// Two clients in processes of their own: WRITER puts words into READER's
// mailbox and READER reads them; then READER answers with a write that asks
// for no reply, which WRITER reads from its own mailbox.
TEST_F(IntegrationTest, MailboxRoundTripBetweenTwoProcesses) {
  ASSERT_TRUE(StartServer());
  ChildReport report;
  qt::Signal reader_ready, writer_go, written, reader_go, answered, writer_read;
  const Words letter = {0x4C01, 0x4C02, 0x4C03, 0x4C04};
  const Words answer = {0xA001, 0xA002, 0xA003};

  qt::Child reader([&] {
    const QNA_REGREC record = Record("READER");
    if (const auto r = QNA_Open(&record); r != QNA_OK) return report.Fail(Got("reader QNA_Open", r));
    reader_ready.Post();
    if (reader_go.Take(60s) != 1) return report.Fail("reader: no go");
    Words got(4, 0xEEEE);
    if (const auto r = QNA_ReadApp("READER", 10, 4, got.data()); r != QNA_OK)
      return report.Fail(Got("reader QNA_ReadApp", r));
    if (got != letter) return report.Fail("reader: the letter did not arrive");
    if (const auto r = QNA_WriteApp("WRITER", 0, 3, answer.data(), 1); r != QNA_OK)
      return report.Fail(Got("reader QNA_WriteApp without reply", r));
    // The next reply on this link is this read's own: the write got none.
    Words echo(3, 0xEEEE);
    if (const auto r = QNA_ReadApp("WRITER", 0, 3, echo.data()); r != QNA_OK)
      return report.Fail(Got("reader QNA_ReadApp after the write", r));
    if (echo != answer) return report.Fail("reader: the answer is not in WRITER's mailbox");
    answered.Post();
    if (writer_read.Take(60s) != 1) return report.Fail("reader: no end");
    QNA_Close();
    return 0;
  });
  ASSERT_EQ(reader_ready.Take(30s), 1) << report.Text();

  qt::Child writer([&] {
    const QNA_REGREC record = Record("WRITER");
    if (const auto r = QNA_Open(&record); r != QNA_OK) return report.Fail(Got("writer QNA_Open", r));
    if (writer_go.Take(60s) != 1) return report.Fail("writer: no go");
    if (const auto r = QNA_WriteApp("READER", 10, 4, letter.data(), 0); r != QNA_OK)
      return report.Fail(Got("writer QNA_WriteApp", r));
    written.Post();
    if (answered.Take(60s) != 1) return report.Fail("writer: no answer");
    Words got(3, 0xEEEE);
    if (const auto r = QNA_ReadApp("WRITER", 0, 3, got.data()); r != QNA_OK)
      return report.Fail(Got("writer QNA_ReadApp", r));
    if (got != answer) return report.Fail("writer: the answer did not arrive");
    writer_read.Post();
    QNA_Close();
    return 0;
  });
  writer_go.Post();
  ASSERT_EQ(written.Take(30s), 1) << report.Text();
  reader_go.Post();
  EXPECT_EQ(writer.Wait(30s), 0) << report.Text();
  EXPECT_EQ(reader.Wait(30s), 0) << report.Text();
}

using Mailboxes = OpenClient;

// Results of mailbox requests the server (or the library) refuses, and of a
// refused write without reply, after each of which the link stays in step.
TEST_F(Mailboxes, RefusalTable) {
  static Words buffer(4);
  static const Words data = {1, 2, 3, 4};
  struct Case {
    const char* situation;
    std::function<std::uint32_t()> call;
    std::uint32_t result;
  };
  const Case cases[] = {
      {"read an unknown application", [] { return QNA_ReadApp("NOBODY", 0, 1, buffer.data()); }, 7},
      {"write an unknown application", [] { return QNA_WriteApp("NOBODY", 0, 1, data.data(), 0); }, 7},
      {"write an unknown application, no reply", [] { return QNA_WriteApp("NOBODY", 0, 1, data.data(), 1); }, 0},
      {"names compare exactly", [] { return QNA_ReadApp("itest", 0, 1, buffer.data()); }, 7},
      {"read past the mailbox", [] { return QNA_ReadApp("ITEST", 2047, 2, buffer.data()); }, 6},
      {"write past the mailbox", [] { return QNA_WriteApp("ITEST", 2048, 1, data.data(), 0); }, 6},
      {"read 0 words", [] { return QNA_ReadApp("ITEST", 0, 0, buffer.data()); }, 6},
      {"write 0 words", [] { return QNA_WriteApp("ITEST", 0, 0, data.data(), 0); }, 6},
      {"last word of the mailbox", [] { return QNA_ReadApp("ITEST", 2047, 1, buffer.data()); }, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    std::fill(buffer.begin(), buffer.end(), 0xEEEE);
    QNA_InternalErr = 77;
    EXPECT_EQ(c.call(), c.result);
    EXPECT_EQ(QNA_InternalErr, 0);
    if (c.result != 0) {
      EXPECT_EQ(buffer[0], 0xEEEE);  // a refused read delivers nothing
    }
    // In step: a write and a read of this client's mailbox get their own replies.
    const std::uint16_t mark = 0x5A5A;
    std::uint16_t back = 0;
    EXPECT_EQ(QNA_WriteApp("ITEST", 100, 1, &mark, 0), QNA_OK);
    EXPECT_EQ(QNA_ReadApp("ITEST", 100, 1, &back), QNA_OK);
    EXPECT_EQ(back, mark);
  }
}

// A name of 8 characters or more is its first 8: registered that way and
// addressed that way.
TEST_F(IntegrationTest, LongNamesUseTheirFirstEightCharacters) {
  ASSERT_TRUE(StartServer());
  const QNA_REGREC record = Record("LONGNAME");  // fills the field, unterminated
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  const Words data = {0x0808};
  EXPECT_EQ(QNA_WriteApp("LONGNAMEANDMORE", 3, 1, data.data(), 0), QNA_OK);
  Words back(1, 0);
  EXPECT_EQ(QNA_ReadApp("LONGNAME", 3, 1, back.data()), QNA_OK);
  EXPECT_EQ(back, data);
  EXPECT_EQ(QNA_ReadApp("LONGNAM", 3, 1, back.data()), 7u);
}

}  // namespace
