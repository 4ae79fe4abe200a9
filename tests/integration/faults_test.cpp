// Area mutexes between processes around a real quonix: a client killed
// while it holds one, and one that never lets go.
#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "integration.h"
#include "platform/platform.h"

namespace {

using namespace it;

// Accesses of area 1 after its mutex was abandoned: all 0 but at most one 2
// with 95 before them.  The abandoned waits seen, or -1 with `why`.
int AccessAfterAbandon(int rounds, std::string& why) {
  int abandoned = 0;
  bool succeeded = false;
  for (int i = 0; i < rounds; ++i) {
    std::uint16_t word = 0;
    const std::uint16_t value = static_cast<std::uint16_t>(i);
    const std::uint32_t r = i % 2 == 0 ? QNA_Read(1, 7, 1, &word, 0) : QNA_WriteSmem(1, 9, 1, &value, 0);
    const std::int32_t detail = QNA_InternalErr;
    if (r == QNA_E_MUTEX && detail == QNA_WAIT_ABANDONED && abandoned == 0 && !succeeded) {
      ++abandoned;
      continue;
    }
    if (r != QNA_OK) {
      why = Got(i % 2 == 0 ? "QNA_Read" : "QNA_WriteSmem", r) + " in round " + std::to_string(i);
      return -1;
    }
    succeeded = true;
  }
  return abandoned;
}

// Two clients race for area 1's mutex after its holder was killed: exactly
// one of their waits finds the owner dead, and both go on.
TEST_F(IntegrationTest, AKilledMutexHolderDoesNotStopOtherClients) {
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  qt::Signal held, ready, go, seen;
  qt::Child holder(HoldAreaMutex(held));
  ASSERT_EQ(held.Take(30s), 1);
  qt::Child bystander([&] {
    const QNA_REGREC record = Record("BYSTAND");
    if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open", r));
    ready.Post();
    if (go.Take(60s) != 1) return ChildFail("no go");
    std::string why;
    const int abandoned = AccessAfterAbandon(40, why);
    if (abandoned < 0) return ChildFail("bystander: " + why);
    const std::uint16_t value = 0x0B0B;
    if (const auto r = QNA_Write(1, 11, 1, &value, 0); r != QNA_OK)
      return ChildFail(Got("bystander QNA_Write", r));
    seen.Post(static_cast<char>(abandoned));
    QNA_Close();
    return 0;
  });
  ASSERT_EQ(ready.Take(30s), 1);

  const QNA_REGREC record = Record("SURVIVOR");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  holder.Kill();
  go.Post();
  std::string why;
  const int racing = AccessAfterAbandon(40, why);
  EXPECT_GE(racing, 0) << why;
  const int theirs = seen.Take(30s);
  EXPECT_EQ(bystander.Wait(30s), 0);
  EXPECT_EQ(racing + theirs, 1) << "this process saw " << racing << ", the other client " << theirs;
  // The server still writes area 1, and this process sees both clients' words.
  const std::uint16_t value = 0x5A5A;
  EXPECT_EQ(QNA_Write(1, 12, 1, &value, 0), QNA_OK);
  Words words(2, 0);
  EXPECT_EQ(QNA_Read(1, 11, 2, words.data(), 0), QNA_OK);
  EXPECT_EQ(words, (Words{0x0B0B, 0x5A5A}));
}

// A live process keeps area 1's mutex: only locked accesses of area 1 wait,
// and a close (in a child, so that a hang fails the test) gives up in time.
TEST_F(IntegrationTest, AHeldAreaMutexStopsOnlyLockedAccessesAndNoClose) {
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  qt::Signal held, ready, go;
  qt::Child holder(HoldAreaMutex(held));
  ASSERT_EQ(held.Take(30s), 1);
  qt::Child closer([&] {
    const QNA_REGREC record = Record("CLOSER");
    if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open", r));
    QNA_TimeOut = 300;
    const auto start = Clock::now();
    QNA_Close();
    if (const auto ms = MsSince(start); ms > 2500)
      return ChildFail("QNA_Close took " + std::to_string(ms) + " ms");
    // Closed all the same: a new open works and registers.
    if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open again", r));
    std::uint16_t word = 0;
    if (const auto r = QNA_Read(3, 0, 1, &word, 0); r != QNA_OK) return ChildFail(Got("QNA_Read", r));
    QNA_Close();
    return 0;
  });
  EXPECT_EQ(closer.Wait(30s), 0);
  const QNA_REGREC me = Record("NOLOCK");
  ASSERT_EQ(QNA_Open(&me), QNA_OK);
  const std::uint16_t value = 0x7777;
  std::uint16_t held_word = 0;
  EXPECT_EQ(QNA_WriteSmem(1, 7, 1, &value, 1), QNA_OK);
  EXPECT_EQ(QNA_Read(1, 7, 1, &held_word, 1), QNA_OK);
  EXPECT_EQ(held_word, value);
  QNA_TimeOut = 300;
  held_word = 0;
  const auto waited = Clock::now();
  EXPECT_EQ(QNA_Read(1, 7, 1, &held_word, 0), QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
  EXPECT_GE(MsSince(waited), 250);
  EXPECT_EQ(held_word, 0);
  EXPECT_EQ(QNA_Read(3, 7, 1, &held_word, 0), QNA_OK);
}

}  // namespace
