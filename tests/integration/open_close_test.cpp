// Opening and closing the connection to a real quonix.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "integration.h"
#include "platform/platform.h"

namespace {

using namespace it;

std::uint16_t HandshakeWord() {
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_Read(3, 204, 1, &word, 0), QNA_OK);
  return word;
}

// Whatever way the server is missing, the open fails with 51 and leaves
// nothing open; a later server is found by the next open.
TEST_F(IntegrationTest, WithoutAServerOpenGives51AndTheLinkStaysClosed) {
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
    if (std::string(absence) == "never started")
      ASSERT_EQ(server_->Stop(), 0);
    else
      KillServer();
  }
}

// A close while the server is stopped for a moment returns promptly, yet
// only after the server changed the handshake word (204 of area 3).
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
}

}  // namespace
