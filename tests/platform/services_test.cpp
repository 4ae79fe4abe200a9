// The services the library does not call itself.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <pthread.h>
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "closer.h"
#include "other.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using Services = qt::RootedTest;

using namespace std::chrono_literals;

TEST_F(Services, TimeGetFillsTheRecordFromLocalTime) {
  std::uint8_t record[11];
  std::memset(record, 0xAB, sizeof record);
  const std::time_t before = std::time(nullptr);
  ASSERT_EQ(TimeGet(record), 0);
  const std::time_t after = std::time(nullptr);

  std::tm got{};
  got.tm_hour = record[0];
  got.tm_min = record[1];
  got.tm_sec = record[2];
  got.tm_mday = record[4];
  got.tm_mon = record[5] - 1;
  got.tm_year = (record[6] | (record[7] << 8)) - 1900;
  got.tm_isdst = -1;
  const std::time_t when = std::mktime(&got);
  // A change of daylight saving can blur one second; std::time may read a
  // coarse clock a tick behind the one TimeGet reads.
  EXPECT_GE(when, before - 1);
  EXPECT_LE(when, after + 1);
  const std::tm local = *std::localtime(&when);  // no other thread asks
  EXPECT_EQ(record[10], local.tm_wday);
  EXPECT_EQ(record[8] << 8 | record[9], 0xABAB);  // untouched
}

// What the services cannot take fails (-1), with the error where one is kept.
TEST_F(Services, RefuseWhatTheyCannotTake) {
  // Normalised, February 30 would move the clock into March.
  static const std::uint8_t february_30[11] = {12, 0, 0, 0, 30, 2, 0xE8, 0x07, 0, 0, 0};
  static const Handle bogus = 0x4242;
  struct Row {
    const char* what;
    std::function<int()> call;
    win::DWORD error;  // 0: none is kept
  };
  const Row rows[] = {
      {"TimeGet without a record", [] { return TimeGet(nullptr); }, 0},
      {"TimeSet without a record", [] { return TimeSet(nullptr); }, win::ERROR_INVALID_PARAMETER},
      {"TimeSet of February 30", [] { return TimeSet(february_30); }, win::ERROR_INVALID_PARAMETER},
      {"MemAlloc without an out-pointer", [] { return MemAlloc(nullptr, 64); }, 0},
      {"MemFree of nothing", [] { return MemFree(nullptr) == 0 ? -1 : 0; }, 0},
      {"CsLeave of a section not held", [] { return CsLeave(); }, 0},
      {"TimerStart without an out-handle", [] { return TimerStart(10, 0x7777, nullptr); }, 0},
      {"TimerStop of no timer", [] { return TimerStop(0x7777); }, 0},
      {"HndWait of no handle", [] { return HndWait(&bogus, 0); }, 0},
      {"HndWait without a handle", [] { return HndWait(nullptr, 0); }, 0},
#ifndef _WIN32  // Windows' own Beep does not check the tone
      {"SysBeep below 37 Hz", [] { return SysBeep(36, 1); }, 0},
      {"SysBeep above 32767 Hz", [] { return SysBeep(32768, 1); }, 0},
#endif
  };
  for (const Row& row : rows) {
    win::SetLastError(0);
    EXPECT_EQ(row.call(), -1) << row.what;
    EXPECT_TRUE(row.error == 0 || win::GetLastError() == row.error) << row.what;
  }
}

// Writes the argument's file through a stream buffer that nothing flushes,
// with another thread still running, and ends the process with 7.
PT_BODY(exit_with_a_buffered_stream) {
  std::FILE* out = std::fopen(argument.c_str(), "w");
  if (out == nullptr) return 2;
  std::fputs("buffered", out);
  std::thread([] {
    for (;;) std::this_thread::sleep_for(1s);
  }).detach();
  ProcExit(1, 7);
  return 1;
}

TEST_F(Services, ProcExitEndsTheProcessWithTheCodeAndFlushesStreams) {
  const std::string file = (root.path().empty() ? "" : root.path() + "/") + "qnatest-exit-" +
                           std::to_string(SysProcessId()) + ".txt";
  pt::Other other("exit_with_a_buffered_stream", file);
  EXPECT_EQ(other.Wait(), 7);
  std::stringstream text;
  text << std::ifstream(file).rdbuf();
  EXPECT_EQ(text.str(), "buffered");
  std::remove(file.c_str());
}

#ifndef _WIN32  // a thread of its own, in a forked child
TEST_F(Services, ProcExitOtherwiseEndsOnlyTheCallingThread) {
  qt::Child child([] {
    static std::atomic<bool> after_exit{false};
    pthread_t thread;
    pthread_create(
        &thread, nullptr,
        [](void*) -> void* {
          ProcExit(0, 5);
          after_exit = true;
          return nullptr;
        },
        nullptr);
    pthread_join(thread, nullptr);
    return after_exit ? 1 : 0;
  });
  EXPECT_EQ(child.Wait(30s), 0);
}
#endif

#ifndef _WIN32  // Windows' own Beep neither waits under Wine nor checks the tone
TEST_F(Services, SysBeepTakesTheToneTimeAndChecksTheFrequency) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(SysBeep(440, 30), 0);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 30ms);
  EXPECT_EQ(SysBeep(37, 0), 0);
  EXPECT_EQ(SysBeep(32767, 0), 0);
}
#endif

TEST_F(Services, CriticalSectionIsRecursiveForItsOwnerAndExcludesOthers) {
  ASSERT_EQ(CsEnter(), 0);
  ASSERT_EQ(CsEnter(), 0);  // again, by the owner
  std::atomic<bool> entered{false};
  std::atomic<int> leave_by_stranger{0};
  std::thread other([&] {
    leave_by_stranger = CsLeave();
    CsEnter();
    entered = true;
    CsLeave();
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(entered);
  EXPECT_EQ(leave_by_stranger, -1);
  ASSERT_EQ(CsLeave(), 0);
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(entered) << "entered while the owner still held it once";
  EXPECT_EQ(CsDelete(), -1);  // still held
  ASSERT_EQ(CsLeave(), 0);
  EXPECT_TRUE(qt::WaitFor([&] { return entered.load(); }, 30s));
  other.join();
  EXPECT_EQ(CsDelete(), 0);
  EXPECT_EQ(CsDelete(), 0);
  EXPECT_EQ(CsEnter(), 0);  // usable again after a delete
  EXPECT_EQ(CsLeave(), 0);
}

// The window table's queues; Windows queues a thread's messages (its tests).
#ifndef _WIN32

using Messages = qt::RootedTest;

struct Got {
  int result;
  std::uint32_t message;
  std::uintptr_t wparam;
  std::intptr_t lparam;
  bool operator==(const Got&) const = default;
};

Got Get(win::HWND w, std::uint32_t first = 0, std::uint32_t last = 0) {
  Got g{};
  g.result = WndMsgGet(w, first, last, &g.message, &g.wparam, &g.lparam);
  return g;
}

TEST_F(Messages, RoundTripInOrderAndByRangeUntilTheWindowCloses) {
  const win::HWND w = win::WindowOpen("messages");
  const win::HWND other = win::WindowOpen("other");
  ASSERT_EQ(WndMsgPost(w, 0x400, 1, -1), 1);
  ASSERT_EQ(WndMsgPostParam(w, 2, 0x401, -2), 1);
  ASSERT_EQ(WndMsgPost(other, 0x402, 3, -3), 1);
  ASSERT_EQ(WndMsgPost(w, 0x500, 4, -4), 1);

  // The range skips the older ones outside it.
  EXPECT_TRUE(Get(w, 0x500, 0x5FF) == (Got{1, 0x500, 4, -4}));
  EXPECT_TRUE(Get(w) == (Got{1, 0x400, 1, -1}));
  EXPECT_TRUE(Get(w) == (Got{1, 0x401, 2, -2})) << "WndMsgPostParam's own argument order";
  EXPECT_TRUE(Get(other) == (Got{1, 0x402, 3, -3}));
  ASSERT_EQ(WndMsgPost(w, 0x12, 0, 0), 1);
  EXPECT_TRUE(Get(w, 0x600, 0x600) == (Got{0, 0x12, 0, 0})) << "WM_QUIT passes any filter";
  // An empty queue: the get waits for the next post.
  Got g{};
  std::thread reader([&] { g = Get(w); });
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(WndMsgPost(w, 0x401, 9, 10), 1);
  reader.join();
  EXPECT_TRUE(g == (Got{1, 0x401, 9, 10}));
  // Closing the window ends a wait (here one outside the waiting range) and
  // drops its messages.
  std::atomic<int> result{99};
  std::thread waiting([&] { result = Get(w, 0x700, 0x700).result; });
  ASSERT_EQ(WndMsgPost(w, 0x401, 0, 0), 1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(result, 99);
  ASSERT_EQ(win::WindowClose(w), 1);
  waiting.join();
  EXPECT_EQ(result, -1);
  EXPECT_EQ(WndMsgPost(w, 0x401, 0, 0), 0);
  EXPECT_EQ(Get(w).result, -1);
}

TEST_F(Messages, OnlyThisProcessesWindowsTakeMessages) {
  pt::Other other("window", "foreign");
  ASSERT_TRUE(other.WaitReady());
  const win::HWND shell = win::GetTopWindow(0);
  const win::HWND foreign = win::GetWindow(shell, win::GW_HWNDNEXT);
  ASSERT_NE(foreign, 0u);
  EXPECT_EQ(WndMsgPost(foreign, 0x400, 0, 0), 0);
  EXPECT_EQ(WndMsgPost(shell, 0x400, 0, 0), 0);
  EXPECT_EQ(WndMsgPost(0x12345600, 0x400, 0, 0), 0);
  EXPECT_EQ(Get(foreign).result, -1);
  std::uint32_t message = 0;
  const win::HWND own = win::WindowOpen("own");
  EXPECT_EQ(WndMsgGet(own, 0, 0, nullptr, nullptr, nullptr), -1);
  ASSERT_EQ(WndMsgPost(own, 0x400, 0, 0), 1);
  EXPECT_EQ(WndMsgGet(own, 0, 0, &message, nullptr, nullptr), 1);
  EXPECT_EQ(message, 0x400u);
}
#endif

struct Event {
  Handle handle = 0;
  Event() { EXPECT_EQ(EvCreate(nullptr, &handle, 0), 0); }
  ~Event() { HndClose(handle); }
};

TEST_F(Services, TimersSignalTheirEventRepeatedlyUntilStopped) {
  Event event;
  Handle thread = 0;
  ASSERT_EQ(TimerStart(20, event.handle, &thread), 0);
  ASSERT_NE(thread, 0u);
  EXPECT_EQ(HndWait(&thread, 1), 0);  // running: the test does not block
  for (int round = 0; round < 3; ++round) {
    std::uint32_t zero = 1;
    ASSERT_EQ(EvWait(event.handle, 10000), kWaitOk) << round;
    ASSERT_EQ(EvReset(event.handle, &zero), 0);
  }
  ASSERT_EQ(TimerStop(thread), 0);
  std::uint32_t zero = 1;
  ASSERT_EQ(EvReset(event.handle, &zero), 0);
  EXPECT_EQ(EvWait(event.handle, 200), kWaitTimeout);  // no set after the stop
  EXPECT_EQ(HndWait(&thread, 0), 0);                   // the thread has ended
  EXPECT_EQ(TimerStop(thread), -1);
  EXPECT_EQ(HndClose(thread), 0);
  // A bad event starts nothing.
  const std::size_t handles = PlatformOpenHandles();
  thread = 123;
  EXPECT_EQ(TimerStart(10, 0x7777, &thread), -1);
  EXPECT_EQ(thread, 0u);
  EXPECT_EQ(PlatformOpenHandles(), handles);
}

TEST_F(Services, TimersThirtyTwoAtMostEvenWhenStartedAtOnce) {
  Event event;
  std::vector<Handle> threads(32, 0);
  std::vector<int> results(32, 1);
  std::vector<std::thread> starters;
  for (int s = 0; s < 8; ++s)
    starters.emplace_back([&, s] {
      for (int i = s * 4; i < s * 4 + 4; ++i)
        results[static_cast<std::size_t>(i)] =
            TimerStart(600000, event.handle, &threads[static_cast<std::size_t>(i)]);
    });
  for (auto& t : starters) t.join();
  for (int r : results) EXPECT_EQ(r, 0);
  EXPECT_EQ(std::set<Handle>(threads.begin(), threads.end()).size(), 32u);

  Handle extra = 123;
  EXPECT_EQ(TimerStart(600000, event.handle, &extra), -1);
  EXPECT_EQ(extra, 0u);
  ASSERT_EQ(TimerStop(threads[5]), 0);
  HndClose(threads[5]);
  EXPECT_EQ(TimerStart(600000, event.handle, &threads[5]), 0);  // the freed slot
  // Stops are prompt, long as the intervals are.
  const auto start = std::chrono::steady_clock::now();
  for (Handle t : threads) {
    EXPECT_EQ(TimerStop(t), 0);
    HndClose(t);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 30s);
}

TEST_F(Services, HndWaitWaitsOnEventsAndMutexesWithoutKeepingThem) {
  Event event;
  EXPECT_EQ(HndWait(&event.handle, 1), 0);  // a test of an unset event is no failure
  ASSERT_EQ(EvSet(event.handle), 0);
  EXPECT_EQ(HndWait(&event.handle, 0), 0);
  EXPECT_EQ(HndWait(&event.handle, 1), 0);

#ifndef _WIN32  // the Win32 layer's wait takes the mutex, as WaitForSingleObject does
  Handle mutex = 0;
  ASSERT_EQ(MtxCreate(nullptr, &mutex, 0), 0);
  EXPECT_EQ(HndWait(&mutex, 0), 0);
  std::atomic<int> other{-2};
  std::thread([&] {
    other = MtxWait(mutex, 0);
    if (other == kWaitOk) MtxRelease(mutex);
  }).join();
  EXPECT_EQ(other, kWaitOk) << "HndWait kept the mutex";
  HndClose(mutex);
#endif
}

}  // namespace
