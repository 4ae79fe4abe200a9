// Sustained load (docs/reliability.md): 32 client processes of three threads
// keep counters, mailbox words and numbered messages of their own; at the end
// nothing is lost, doubled or reordered and the server's memory is bounded.
// QNAPI_LOAD_SECONDS sets the length of the run (default 2).
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "integration/integration.h"

namespace {

using namespace it;

constexpr int kClients = 32;

int Seconds() {
  const char* text = std::getenv("QNAPI_LOAD_SECONDS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 2;
}

using qt::RssKiB;

struct Tally {
  std::int32_t client;
  std::uint32_t server_writes;  // counter in area 1 words 4k, 4k+1
  std::uint32_t direct_writes;  // counter in area 4 words 2k, 2k+1
  std::uint32_t mailbox_writes; // counter in mailbox words 0, 1; as many messages
  char failure[64];
};

std::string AppName(int k) { return "LOAD" + std::to_string(k); }

constexpr std::uint32_t kMismatch = 0xBAD;

Tally RunClient(int k, int seconds) {
  Tally tally{};
  tally.client = k;
  const std::string name = AppName(k);
  // About what is kept, not how fast: on two loaded cores a thread may wait
  // longer than the default second for the shared link.
  QNA_MtxTimeOut = 30000;
  QNA_TimeOut = 30000;
  const QNA_REGREC record = Record(name.c_str());
  if (QNA_Open(&record) != QNA_OK) {
    std::snprintf(tally.failure, sizeof tally.failure, "QNA_Open %d", QNA_InternalErr);
    return tally;
  }
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<bool> failed{false};
  char failure[64] = {};
  // step(n, the words of n) for n = 1, 2, ...; `done`: the last that went well.
  const auto loop = [&](std::uint32_t& done, const char* what, auto step) {
    for (std::uint32_t n = 1; Clock::now() < end && !failed; ++n) {
      const std::uint16_t w[2] = {static_cast<std::uint16_t>(n & 0xFFFF), static_cast<std::uint16_t>(n >> 16)};
      const std::uint32_t r = step(n, w);
      if (r != QNA_OK) {
        if (!failed.exchange(true)) std::snprintf(failure, sizeof failure, "%s gave %u at %u", what, r, n);
        return;
      }
      done = n;
    }
  };
  const auto offset1 = static_cast<std::uint32_t>(4 * k);
  const auto offset4 = static_cast<std::uint32_t>(2 * k);
  const auto channel = static_cast<std::uint32_t>(200 + k);
  std::thread server_writes([&] {
    loop(tally.server_writes, "QNA_Write",
         [&](std::uint32_t, const std::uint16_t* w) { return QNA_Write(1, offset1, 2, w, 0); });
  });
  std::thread direct([&] {
    loop(tally.direct_writes, "QNA_WriteSmem/QNA_Read", [&](std::uint32_t, const std::uint16_t* w) {
      std::uint16_t back[2] = {};
      std::uint32_t r = QNA_WriteSmem(4, offset4, 2, w, 0);
      if (r == QNA_OK) r = QNA_Read(4, offset4, 2, back, 0);
      return r == QNA_OK && (back[0] != w[0] || back[1] != w[1]) ? kMismatch : r;
    });
  });
  loop(tally.mailbox_writes, "mailbox or message", [&](std::uint32_t n, const std::uint16_t* w) {
    std::uint16_t back[2] = {};
    std::uint32_t r = QNA_WriteApp(name.c_str(), 0, 2, w, 0);
    if (r == QNA_OK) r = QNA_ReadApp(name.c_str(), 0, 2, back);
    if (r == QNA_OK && (back[0] != w[0] || back[1] != w[1])) return kMismatch;
    if (r == QNA_OK) r = QNA_SendMsg(channel, n, static_cast<std::uint32_t>(k), 0, 4, &n, 0);
    std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
    if (r == QNA_OK) r = QNA_RecvMsg(channel, &w1, &w2, &length, reinterpret_cast<std::uint8_t*>(&body), 0);
    return r == QNA_OK && (w1 != n || w2 != static_cast<std::uint32_t>(k) || length != 4 || body != n) ? kMismatch
                                                                                                       : r;
  });
  server_writes.join();
  direct.join();
  std::memcpy(tally.failure, failure, sizeof failure);
  QNA_Close();
  return tally;
}

TEST_F(IntegrationTest, ThirtyTwoClientsKeepEveryValue) {
  const int seconds = Seconds();
  // ASan's quarantine of freed memory would look like growth.
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=16";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
  ASSERT_TRUE(StartServer({"--max-links", "128"})) << ServerLog();
  if (asan != nullptr)
    setenv("ASAN_OPTIONS", asan, 1);
  else
    unsetenv("ASAN_OPTIONS");
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::vector<std::unique_ptr<qt::Child>> clients;
  for (int k = 0; k < kClients; ++k) {
    clients.push_back(std::make_unique<qt::Child>([&, k] {
      close(fds[0]);
      const Tally tally = RunClient(k, seconds);
      return write(fds[1], &tally, sizeof tally) == sizeof tally ? 0 : 1;
    }));
  }
  close(fds[1]);

  // The server's memory once warm (a quarter in) and at its highest.
  const pid_t server = server_->pid();
  const auto start = Clock::now();
  long warm = 0, highest = 0;
  std::vector<Tally> tallies;
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  const auto limit = start + std::chrono::seconds(seconds + 120);
  while (tallies.size() < kClients && Clock::now() < limit) {
    Tally tally{};
    const ssize_t n = read(fds[0], &tally, sizeof tally);
    if (n == sizeof tally) {
      tallies.push_back(tally);
      continue;
    }
    const long rss = RssKiB(server);
    if (warm == 0 && MsSince(start) > seconds * 250) warm = rss;
    highest = std::max(highest, rss);
    std::this_thread::sleep_for(50ms);
  }
  close(fds[0]);
  for (auto& client : clients) EXPECT_EQ(client->Wait(60s), 0);
  ASSERT_EQ(tallies.size(), static_cast<std::size_t>(kClients)) << "clients that reported";

  const QNA_REGREC record = Record("CHECKER");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  for (const Tally& t : tallies) {
    SCOPED_TRACE(testing::Message() << "client " << t.client);
    EXPECT_STREQ(t.failure, "");
    EXPECT_GT(t.server_writes, 0u);
    std::uint16_t w[2] = {};
    ASSERT_EQ(QNA_Read(1, static_cast<std::uint32_t>(4 * t.client), 2, w, 0), QNA_OK);
    EXPECT_EQ(w[0] | static_cast<std::uint32_t>(w[1]) << 16, t.server_writes);
    ASSERT_EQ(QNA_Read(4, static_cast<std::uint32_t>(2 * t.client), 2, w, 0), QNA_OK);
    EXPECT_EQ(w[0] | static_cast<std::uint32_t>(w[1]) << 16, t.direct_writes);
    ASSERT_EQ(QNA_ReadApp(AppName(t.client).c_str(), 0, 2, w), QNA_OK);
    EXPECT_EQ(w[0] | static_cast<std::uint32_t>(w[1]) << 16, t.mailbox_writes);
    // Empty: no message was delivered twice.
    std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
    EXPECT_EQ(QNA_RecvMsg(static_cast<std::uint32_t>(200 + t.client), &w1, &w2, &length,
                          reinterpret_cast<std::uint8_t*>(&body), 0), 20u);
  }
  EXPECT_GT(warm, 0);
  EXPECT_LT(highest, warm + 64 * 1024) << "server VmRSS " << highest << " KiB, " << warm << " KiB when warm";
}

}  // namespace
