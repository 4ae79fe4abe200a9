// Opening and closing the connection to a real quonix: an absent server (its
// objects gone, whatever way it went), the sizes learnt at registration, the
// close handshake across processes, reopening.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "integration.h"
#include "platform/platform.h"

namespace {

using namespace it;

std::size_t CountOf(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

std::uint16_t HandshakeWord() {
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_Read(3, 204, 1, &word, 0), QNA_OK);
  return word;
}

// Whatever way the server is missing (never started, stopped, killed), its
// areas are gone: the open fails with 51 and detail -1, leaves nothing open,
// and the link stays closed; a later server is found by the next open.
TEST_F(IntegrationTest, WithoutAServerOpenGives51AndTheLinkStaysClosed) {
  QNA_Close();  // harmless without an open
  const QNA_REGREC record = Record("NOSERVER");
  for (const char* absence : {"never started", "stopped", "killed"}) {
    SCOPED_TRACE(absence);
    const std::size_t handles = PlatformOpenHandles();
    QNA_InternalErr = 77;
    EXPECT_EQ(QNA_Open(&record), QNA_E_OPEN);
    EXPECT_EQ(QNA_InternalErr, -1);
    EXPECT_EQ(PlatformOpenHandles(), handles);
    std::uint16_t word = 0xEEEE;
    EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_E_NOTOPEN);
    EXPECT_EQ(QNA_Write(1, 0, 1, &word, 0), QNA_E_NOTOPEN);
    ASSERT_TRUE(StartServer());
    EXPECT_EQ(QNA_Open(&record), QNA_OK) << ServerLog();
    QNA_Close();
    // The next round's absence.
    if (std::string(absence) == "never started")
      ASSERT_EQ(server_->Stop(), 0);
    else
      KillServer();
  }
}

// QNA_SizeTb holds what the server serves, and the data functions work to
// exactly the end of each area, even and uneven ones.
TEST_F(IntegrationTest, RegisteredSizesAreTheServersAndBoundTheAccesses) {
  const std::array<std::uint32_t, 6> uneven = {1, 70001, 17, 205, 1000, 3};
  ASSERT_TRUE(StartServer(SizeArgs(uneven)));
  const QNA_REGREC record = Record("SIZES");
  ASSERT_EQ(QNA_Open(&record), QNA_OK) << ServerLog();
  for (std::uint32_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(testing::Message() << "area " << i);
    EXPECT_EQ(QNA_SizeTb[i], uneven[i]);
    std::uint16_t word = 0xEEEE;
    EXPECT_EQ(QNA_Read(i, uneven[i] - 1, 1, &word, 0), QNA_OK);
    EXPECT_EQ(QNA_Read(i, uneven[i], 1, &word, 0), QNA_E_ARG);
    EXPECT_EQ(QNA_Write(i, uneven[i] - 1, 1, &word, 0), QNA_OK);
    EXPECT_EQ(QNA_Write(i, uneven[i], 1, &word, 0), QNA_E_ARG);
  }
}

// A client in another process closes while the server is held still for a
// moment (SIGSTOP), so that its change of word 204 of area 3 comes late: the
// close returns promptly all the same (a loose bound here), yet only after
// that change, which the closing process checks in a view of its own that
// outlives the library's.  Another client sees the change too.
TEST_F(IntegrationTest, CloseWaitsForTheServerToSeeIt) {
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  qt::Signal ready, go;
  qt::Child closer([&] {
    const QNA_REGREC record = Record("CLOSER");
    if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open", r));
    char area_name[] = "\\sharemem\\qoxmemsw";
    char mutex_name[] = "\\sem32\\qoxsemsw";
    void* view = nullptr;
    Handle mapping = 0;
    Handle mutex = 0;
    if (ShmOpen(&view, area_name, 3, &mapping) != 0 || MtxOpen(mutex_name, &mutex) != 0)
      return ChildFail("own view of area 3 not opened");
    const auto handshake = [&] {
      MtxWait(mutex, kInfinite);
      const std::uint16_t word = static_cast<volatile std::uint16_t*>(view)[204];
      MtxRelease(mutex);
      return word;
    };
    ready.Post();
    if (go.Take(60s) != 1) return ChildFail("no go");
    const std::uint16_t before = handshake();
    const auto start = Clock::now();
    QNA_Close();
    const std::uint16_t after = handshake();
    if (const auto ms = MsSince(start); ms > 2500)
      return ChildFail("QNA_Close took " + std::to_string(ms) + " ms");
    if (after == before) return ChildFail("QNA_Close returned before the server changed word 204");
    return 0;
  });
  ASSERT_EQ(ready.Take(30s), 1);

  const QNA_REGREC record = Record("WATCHER");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  const std::uint16_t before = HandshakeWord();
  {
    Paused late(server_->pid());
    EXPECT_TRUE(late.stopped());
    go.Post();
    std::this_thread::sleep_for(250ms);  // well inside the close's second of waiting
  }
  ASSERT_EQ(closer.Wait(30s), 0);
  const std::uint16_t after = HandshakeWord();
  EXPECT_NE(after, before);
  EXPECT_EQ(after & 0x8000, 0);

  // This process's own close is as prompt.
  const auto start = Clock::now();
  QNA_Close();
  EXPECT_LT(MsSince(start), 2500);
}

// A second open on an open connection registers nothing and opens no link.
// After a close the link is closed; a reopen registers again (the sizes come
// back) and finds the server's state as it was left.
TEST_F(IntegrationTest, ReopenRegistersAgain) {
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  const QNA_REGREC record = Record("REOPEN");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  const QNA_REGREC other = Record("OTHER");
  EXPECT_EQ(QNA_Open(&other), QNA_OK);
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_ReadApp("OTHER", 0, 1, &word), 7u) << "OTHER registered";
  const Words mail = {0xAB01, 0xCD02};
  ASSERT_EQ(QNA_WriteApp("REOPEN", 5, 2, mail.data(), 0), QNA_OK);
  const std::uint16_t value = 0x1234;
  ASSERT_EQ(QNA_Write(1, 10, 1, &value, 0), QNA_OK);
  const std::uint16_t before = HandshakeWord();

  const auto start = Clock::now();
  QNA_Close();
  EXPECT_LT(MsSince(start), 2500);
  EXPECT_EQ(QNA_ReadApp("REOPEN", 5, 1, &word), QNA_E_NOTOPEN);

  for (std::uint32_t& size : QNA_SizeTb) size = 0;
  ASSERT_EQ(QNA_Open(&record), QNA_OK) << ServerLog();
  for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(QNA_SizeTb[i], kSmallWords[i]) << i;
  EXPECT_NE(HandshakeWord(), before);
  EXPECT_EQ(QNA_Read(1, 10, 1, &word, 0), QNA_OK);
  EXPECT_EQ(word, 0x1234);
  Words back(2, 0);
  EXPECT_EQ(QNA_ReadApp("REOPEN", 5, 2, back.data()), QNA_OK);
  EXPECT_EQ(back, mail);
  EXPECT_EQ(CountOf(ServerLog(), " open on "), 2u) << ServerLog();
}

}  // namespace
