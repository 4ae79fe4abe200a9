// The services the library does not call itself: time, memory, the critical
// section, window messages, timers and the plain handle wait.
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

TEST(Time, GetFillsTheRecordFromLocalTime) {
  std::uint8_t record[11];
  std::memset(record, 0xAB, sizeof record);
  SYSTEMTIME before{};
  GetLocalTime(&before);
  ASSERT_EQ(TimeGet(record), 0);
  EXPECT_EQ(record[4], before.wDay);  // a test run at midnight may see the next day
  EXPECT_EQ(record[5], before.wMonth);
  EXPECT_EQ(record[6] | (record[7] << 8), before.wYear);
  EXPECT_EQ(record[10], before.wDayOfWeek);
  EXPECT_LT(record[0], 24);
  EXPECT_EQ(record[8], 0xAB);  // untouched
  EXPECT_EQ(record[9], 0xAB);
  EXPECT_EQ(TimeGet(nullptr), -1);
}

TEST(Time, SetRefusesNoRecordAndADayThatDoesNotExist) {
  EXPECT_EQ(TimeSet(nullptr), -1);
  const std::uint8_t february_30[11] = {12, 0, 0, 0, 30, 2, 0xE8, 0x07, 0, 0, 0};
  EXPECT_EQ(TimeSet(february_30), -1);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST(Memory, AllocatesAndFrees) {
  void* block = nullptr;
  ASSERT_EQ(MemAlloc(&block, 100), 0);
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, 100);
  EXPECT_EQ(MemFree(block), 0);
  EXPECT_EQ(MemAlloc(nullptr, 1), -1);
}

TEST(CriticalSection, IsRecursiveExclusiveAndOnlyItsOwnerLeaves) {
  ASSERT_EQ(CsEnter(), 0);
  ASSERT_EQ(CsEnter(), 0);
  std::atomic<bool> entered{false};
  std::thread other([&] {
    EXPECT_EQ(CsLeave(), -1);  // not the owner
    EXPECT_EQ(CsEnter(), 0);
    entered = true;
    EXPECT_EQ(CsLeave(), 0);
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(entered.load());
  EXPECT_EQ(CsDelete(), -1);  // held: stays
  EXPECT_EQ(CsLeave(), 0);
  EXPECT_FALSE(entered.load());  // still held once
  EXPECT_EQ(CsLeave(), 0);
  other.join();
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(CsDelete(), 0);
  EXPECT_EQ(CsEnter(), 0);  // made again on the next use
  EXPECT_EQ(CsLeave(), 0);
}

TEST(Messages, PostedToTheThreadAreGotInOrderWithinTheRange) {
  EXPECT_EQ(MsgPost(0, WM_APP + 1, 11, 12), 1);
  EXPECT_EQ(MsgPostParam(0, 21, static_cast<std::uint16_t>(WM_APP + 2), 22), 1);
  std::uint32_t message = 0;
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
  ASSERT_EQ(MsgGet(0, WM_APP + 2, WM_APP + 2, &message, &wparam, &lparam), 1);
  EXPECT_EQ(message, WM_APP + 2u);
  EXPECT_EQ(wparam, 21u);
  EXPECT_EQ(lparam, 22);
  ASSERT_EQ(MsgGet(0, 0, 0, &message, &wparam, &lparam), 1);
  EXPECT_EQ(message, WM_APP + 1u);
  EXPECT_EQ(wparam, 11u);
  PostQuitMessage(3);
  EXPECT_EQ(MsgGet(0, 0, 0, &message, &wparam, &lparam), 0);
  EXPECT_EQ(MsgGet(0, 0, 0, nullptr, nullptr, nullptr), -1);
}

TEST(Timers, SetTheirEventPeriodicallyUntilStopped) {
  Handle event = 0;
  ASSERT_EQ(EvCreate(nullptr, &event, 0), 0);
  Handle thread = 0;
  ASSERT_EQ(TimerStart(20, event, &thread), 0);
  ASSERT_NE(thread, 0u);
  for (int tick = 0; tick < 3; ++tick) {
    EXPECT_EQ(EvWait(event, 2000), kWaitOk);
    std::uint32_t ignored = 0;
    EvReset(event, &ignored);
  }
  EXPECT_EQ(TimerStop(thread), 0);
  EXPECT_EQ(TimerStop(thread), -1);  // stopped already
  EXPECT_EQ(HndWait(&thread, 0), 0);  // its thread has ended
  std::uint32_t ignored = 0;
  EvReset(event, &ignored);
  EXPECT_EQ(EvWait(event, 100), kWaitTimeout);
  EXPECT_EQ(HndClose(thread), 0);

  // A bad event fails the start, and there are 32 slots.
  Handle none = 0;
  EXPECT_EQ(TimerStart(20, kInvalidHandle, &none), -1);
  EXPECT_EQ(none, 0u);
  std::vector<Handle> threads(32);
  for (Handle& t : threads) ASSERT_EQ(TimerStart(60000, event, &t), 0);
  EXPECT_EQ(TimerStart(60000, event, &none), -1);
  for (Handle t : threads) {
    EXPECT_EQ(TimerStop(t), 0);
    EXPECT_EQ(HndClose(t), 0);
  }
  EXPECT_EQ(HndClose(event), 0);
}

TEST(HandleWait, WaitsOrTestsAndFailsOnABadHandle) {
  Handle event = 0;
  ASSERT_EQ(EvCreate(nullptr, &event, 0), 0);
  EXPECT_EQ(HndWait(&event, 1), 0);  // a test: not signalled, no failure
  EvSet(event);
  EXPECT_EQ(HndWait(&event, 0), 0);
  const Handle bad = 0x12340;
  EXPECT_EQ(HndWait(&bad, 1), -1);
  EXPECT_EQ(HndWait(nullptr, 1), -1);
  EXPECT_EQ(HndClose(event), 0);
}

}  // namespace
