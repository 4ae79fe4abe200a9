// Clients killed at random moments: inside an exchange (holding their
// request lock, a request or reply half through the link) or inside an area
// copy (holding the area's mutex).  The server ends each dead client's link,
// keeps no thread for it, and serves the others; a live client sees at most
// one abandoned wait per area and otherwise works.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <random>
#include <thread>

#include "integration/integration.h"

namespace {

using namespace it;

std::size_t ThreadsOf(pid_t pid) {
  std::size_t n = 0;
  std::error_code error;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    (void)task;
    ++n;
  }
  return n;
}

// One call that may find an area mutex abandoned once: 0, or 2 with 95.
bool AcceptAbandoned(std::uint32_t r, int& abandoned) {
  if (r == QNA_OK) return true;
  if (r == QNA_E_MUTEX && QNA_InternalErr == QNA_WAIT_ABANDONED && abandoned++ < 6) return true;
  return false;
}

TEST_F(IntegrationTest, ClientsKilledInsideExchangesAndAreaCopies) {
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords))) << ServerLog();
  const std::size_t idle_threads = ThreadsOf(server_->pid());
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);

  constexpr int kVictims = 4;
  qt::Signal ready;
  std::vector<std::unique_ptr<qt::Child>> victims;
  for (int v = 0; v < kVictims; ++v) {
    victims.push_back(std::make_unique<qt::Child>([&, v] {
      const std::string name = "VICTIM" + std::to_string(v);
      const QNA_REGREC record = Record(name.c_str());
      if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open", r));
      // Two threads: one in exchanges all the time (request lock), one in
      // area copies all the time (area mutexes of areas 1 and 3).
      std::thread exchanges([&] {
        Words words(32, static_cast<std::uint16_t>(v));
        for (;;) {
          QNA_Write(1, 0, 32, words.data(), 0);
          QNA_WriteApp(name.c_str(), 0, 32, words.data(), 0);
          QNA_ReadApp(name.c_str(), 0, 32, words.data());
        }
      });
      ready.Post();
      Words area(kSmallWords[1], 0);
      for (;;) {
        QNA_Read(1, 0, kSmallWords[1], area.data(), 0);
        QNA_WriteSmem(3, 0, 64, area.data(), 0);
      }
      exchanges.join();
      return 0;
    }));
  }
  for (int v = 0; v < kVictims; ++v) ASSERT_EQ(ready.Take(30s), 1);

  // This process opens only now, after the forks (integration.h).
  const QNA_REGREC record = Record("SURVIVOR");
  ASSERT_EQ(QNA_Open(&record), QNA_OK) << ServerLog();
  int abandoned = 0;
  for (int v = 0; v < kVictims; ++v) {
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 200)(random)));
    victims[static_cast<std::size_t>(v)]->Kill();
    // Everything still works for the survivor, at once.
    for (std::uint16_t i = 0; i < 8; ++i) {
      const std::uint16_t value = static_cast<std::uint16_t>(0x5000 + v * 16 + i);
      std::uint16_t word = 0;
      ASSERT_EQ(QNA_Write(1, 100 + i, 1, &value, 0), QNA_OK) << "after victim " << v;
      EXPECT_TRUE(AcceptAbandoned(QNA_Read(1, 100 + i, 1, &word, 0), abandoned)) << "QNA_Read after victim " << v;
      EXPECT_TRUE(AcceptAbandoned(QNA_WriteSmem(3, 100 + i, 1, &value, 0), abandoned));
      EXPECT_EQ(QNA_WriteApp("SURVIVOR", i, 1, &value, 0), QNA_OK);
      std::uint16_t mailbox = 0;
      EXPECT_EQ(QNA_ReadApp("SURVIVOR", i, 1, &mailbox), QNA_OK);
      EXPECT_EQ(mailbox, value);
    }
    std::uint16_t word = 0;
    ASSERT_EQ(QNA_Read(1, 107, 1, &word, 0), QNA_OK);
    EXPECT_EQ(word, 0x5000 + v * 16 + 7);
  }
  EXPECT_LE(abandoned, kVictims) << "at most one abandoned wait per killed holder";
  // The dead clients' link threads have all ended: the server is back to
  // its idle threads and the survivor's link thread.
  EXPECT_TRUE(qt::WaitFor([&] { return ThreadsOf(server_->pid()) <= idle_threads + 1; }, 20s))
      << ThreadsOf(server_->pid()) << " threads, " << idle_threads << " when idle";
  EXPECT_TRUE(server_->running());
}

}  // namespace
