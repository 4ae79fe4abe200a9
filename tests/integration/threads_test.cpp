// Many threads of one process on the one link to a real quonix: every
// exchange gets its own reply, never a piece of another thread's.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "integration.h"

namespace {

using namespace it;

constexpr std::uint32_t kThreads = 8;
constexpr std::uint32_t kRounds = 150;
constexpr std::uint32_t kAreaWords = 24;  // per thread, in area 1
constexpr std::uint32_t kBoxWords = 40;   // per thread, in the mailbox

// Words that name their thread, round and place, so a reply meant for
// another thread (or an earlier round) cannot pass for this one.
Words Pattern(std::uint32_t thread, std::uint32_t round, std::uint32_t n, std::uint16_t salt) {
  Words words(n);
  for (std::uint32_t i = 0; i < n; ++i)
    words[i] = static_cast<std::uint16_t>(salt ^ (thread << 12) ^ (round << 4) ^ i);
  return words;
}

using ConcurrentLink = OpenClient;

// Each thread writes its own words through the server (sometimes without a
// reply) and into its own part of the mailbox, and checks both back: with the
// direct read and with a mailbox read on the shared link.
TEST_F(ConcurrentLink, ThreadsNeverGetATornReply) {
  // Waits for the request lock are not what this test is about.
  QNA_MtxTimeOut = 30000;
  std::atomic<std::uint32_t> failures{0};
  std::mutex first_lock;
  std::string first;
  const auto fail = [&](std::uint32_t thread, std::uint32_t round, const std::string& what) {
    if (failures.fetch_add(1) == 0) {
      std::lock_guard guard(first_lock);
      first = "thread " + std::to_string(thread) + " round " + std::to_string(round) + ": " + what;
    }
  };

  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint32_t round = 0; round < kRounds && failures.load() == 0; ++round) {
        const std::uint32_t options = round % 3 == 2 ? 1 : 0;  // now and then no reply
        const Words area = Pattern(t, round, kAreaWords, 0x0A00);
        if (const auto r = QNA_Write(1, t * kAreaWords, kAreaWords, area.data(), options); r != QNA_OK)
          return fail(t, round, "QNA_Write gave " + std::to_string(r));
        const Words box = Pattern(t, round, kBoxWords, 0x0B00);
        if (const auto r = QNA_WriteApp("ITESTING", t * kBoxWords, kBoxWords, box.data(), options); r != QNA_OK)
          return fail(t, round, "QNA_WriteApp gave " + std::to_string(r));
        // The mailbox read comes back after the writes before it on the
        // link, with or without their replies.
        Words got(kBoxWords, 0xEEEE);
        if (const auto r = QNA_ReadApp("ITESTING", t * kBoxWords, kBoxWords, got.data()); r != QNA_OK)
          return fail(t, round, "QNA_ReadApp gave " + std::to_string(r));
        if (got != box) return fail(t, round, "QNA_ReadApp returned other words");
        Words seen(kAreaWords, 0xEEEE);
        if (const auto r = QNA_Read(1, t * kAreaWords, kAreaWords, seen.data(), 0); r != QNA_OK)
          return fail(t, round, "QNA_Read gave " + std::to_string(r));
        if (seen != area) return fail(t, round, "the server wrote other words");
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0u) << first;

  // The link is still in step.
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_ReadApp("ITESTING", 0, 1, &word), QNA_OK);
  EXPECT_EQ(word, Pattern(0, kRounds - 1, 1, 0x0B00)[0]);
}

// A thread whose exchange waits for a server that is held still keeps the
// request lock: another thread's request gives up after QNA_MtxTimeOut with 2
// and 640, having sent nothing; once the server goes on, both go on.
TEST_F(ConcurrentLink, RequestLockTimesOutBehindAStalledExchange) {
  std::uint32_t stalled_result = 0xDEAD;
  std::atomic<bool> stalled_started{false};
  std::atomic<bool> stalled_done{false};
  std::thread stalled;
  struct Join {
    std::thread& thread;
    ~Join() {
      if (thread.joinable()) thread.join();
    }
  } join{stalled};
  // Set while no other thread uses the library: the settings are plain
  // variables, read at each wait.
  QNA_MtxTimeOut = 300;
  {
    Paused still(server_->pid());
    ASSERT_TRUE(still.stopped());
    stalled = std::thread([&] {
      std::uint16_t word = 0;
      stalled_started = true;
      stalled_result = QNA_ReadApp("ITESTING", 0, 1, &word);
      stalled_done = true;
    });
    ASSERT_TRUE(qt::WaitFor([&] { return stalled_started.load(); }, 10s));
    std::this_thread::sleep_for(300ms);  // the read is written and waits for its reply
    const std::uint16_t value = 0x0707;
    const auto start = Clock::now();
    EXPECT_EQ(QNA_Write(1, 0, 1, &value, 0), QNA_E_MUTEX);
    EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
    EXPECT_GE(MsSince(start), 250);
    EXPECT_FALSE(stalled_done.load());
  }
  stalled.join();
  EXPECT_EQ(stalled_result, QNA_OK);
  QNA_MtxTimeOut = 1000;
  const std::uint16_t value = 0x0808;
  EXPECT_EQ(QNA_Write(1, 0, 1, &value, 0), QNA_OK);
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_OK);
  EXPECT_EQ(word, value);  // the refused write never reached the server
}

// Large word writes go out in several requests, each its own exchange; with
// other threads writing meanwhile, each thread still finds all its words.
TEST_F(IntegrationTest, SplitWritesOfSeveralThreads) {
  constexpr std::uint32_t kWords = 16384 + 100;  // two requests each
  constexpr std::uint32_t kSplitThreads = 3;
  ASSERT_TRUE(StartServer({"--cw", std::to_string(kSplitThreads * kWords)}));
  const QNA_REGREC record = Record("SPLIT");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  QNA_MtxTimeOut = 30000;
  std::atomic<std::uint32_t> failures{0};
  std::vector<std::thread> threads;
  for (std::uint32_t t = 0; t < kSplitThreads; ++t) {
    threads.emplace_back([&, t] {
      for (std::uint32_t round = 0; round < 5; ++round) {
        const Words words = Pattern(t, round, kWords, 0x0C00);
        if (QNA_Write(1, t * kWords, kWords, words.data(), 0) != QNA_OK) {
          ++failures;
          return;
        }
        Words seen(kWords, 0);
        if (QNA_Read(1, t * kWords, kWords, seen.data(), 0) != QNA_OK || seen != words) {
          ++failures;
          return;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0u);
}

}  // namespace
