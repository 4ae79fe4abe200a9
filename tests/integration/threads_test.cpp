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

}  // namespace
