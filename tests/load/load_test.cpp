// Sustained load: 32 client processes of three threads each run mixed
// requests against one server (server writes, direct area writes and reads,
// mailbox writes and reads, messages).  Every client keeps counters in words
// and a mailbox of its own, and sends numbered messages to a channel of its
// own; at the end every counter is exactly what was written and every
// message arrived once, in order.  The server's memory must stay bounded.
// Prints throughput and the worst latency of a call.
//
// QNAPI_LOAD_SECONDS sets the length of the run (default 2; 60 for the long
// run of docs/reliability.md).
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

// What a client reports at the end, in one pipe write.
struct Tally {
  std::int32_t client;
  std::uint32_t server_writes;  // counter in area 1 words 4k, 4k+1
  std::uint32_t direct_writes;  // counter in area 4 words 2k, 2k+1
  std::uint32_t mailbox_writes; // counter in mailbox words 0, 1; as many messages
  std::uint32_t calls;
  std::uint32_t worst_us;
  char failure[64];
};

std::string AppName(int k) { return "LOAD" + std::to_string(k); }

constexpr std::uint32_t kMismatch = 0xBAD;

// One client: three threads for `seconds`, then its tally.
Tally RunClient(int k, int seconds) {
  Tally tally{};
  tally.client = k;
  const std::string name = AppName(k);
  // Two threads share the link, and on a loaded machine (a sanitizer build,
  // 32 processes on two cores) an exchange may take longer than the default
  // second the other waits for the request lock.  The test is about what is
  // kept, not how fast: the waits are long.
  QNA_MtxTimeOut = 30000;
  QNA_TimeOut = 30000;
  const QNA_REGREC record = Record(name.c_str());
  if (QNA_Open(&record) != QNA_OK) {
    std::snprintf(tally.failure, sizeof tally.failure, "QNA_Open %d", QNA_InternalErr);
    return tally;
  }
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<std::uint32_t> worst{0}, calls{0};
  std::atomic<bool> failed{false};
  char failure[64] = {};
  // Runs step(n, the words of n) for n = 1, 2, ... until the end or the
  // first failure; `done` is the last n that went well.
  const auto loop = [&](std::uint32_t& done, std::uint32_t per_step, const char* what, auto step) {
    for (std::uint32_t n = 1; Clock::now() < end && !failed; ++n) {
      const std::uint16_t w[2] = {static_cast<std::uint16_t>(n & 0xFFFF), static_cast<std::uint16_t>(n >> 16)};
      const auto start = Clock::now();
      const std::uint32_t r = step(n, w);
      const auto us = static_cast<std::uint32_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count());
      for (std::uint32_t seen = worst.load(); us > seen && !worst.compare_exchange_weak(seen, us);) {
      }
      calls += per_step;
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
    loop(tally.server_writes, 1, "QNA_Write",
         [&](std::uint32_t, const std::uint16_t* w) { return QNA_Write(1, offset1, 2, w, 0); });
  });
  std::thread direct([&] {
    loop(tally.direct_writes, 2, "QNA_WriteSmem/QNA_Read", [&](std::uint32_t, const std::uint16_t* w) {
      std::uint16_t back[2] = {};
      std::uint32_t r = QNA_WriteSmem(4, offset4, 2, w, 0);
      if (r == QNA_OK) r = QNA_Read(4, offset4, 2, back, 0);
      return r == QNA_OK && (back[0] != w[0] || back[1] != w[1]) ? kMismatch : r;
    });
  });
  // The mailbox, and a numbered message to the client's own channel that
  // comes back as the next one: nothing lost, doubled or reordered.
  loop(tally.mailbox_writes, 4, "mailbox or message", [&](std::uint32_t n, const std::uint16_t* w) {
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
  tally.calls = calls;
  tally.worst_us = worst;
  std::memcpy(tally.failure, failure, sizeof failure);
  QNA_Close();
  return tally;
}

TEST_F(IntegrationTest, ThirtyTwoClientsKeepEveryValue) {
  const int seconds = Seconds();
  // Under AddressSanitizer freed memory waits in a quarantine of up to
  // 256 MiB before reuse, which a long run would take for growth; the bound
  // is about the server's own memory, so the server gets a small one.
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

  // The server's memory, sampled through the run: once the clients are
  // warm (a quarter in), and its highest value afterwards.
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
  const double elapsed = static_cast<double>(MsSince(start)) / 1000.0;
  close(fds[0]);
  for (auto& client : clients) EXPECT_EQ(client->Wait(60s), 0);
  ASSERT_EQ(tallies.size(), static_cast<std::size_t>(kClients)) << "clients that reported";

  // Every counter exactly as its client last wrote it.
  const QNA_REGREC record = Record("CHECKER");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  std::uint64_t calls = 0, exchanges = 0;
  std::uint32_t worst = 0;
  for (const Tally& t : tallies) {
    SCOPED_TRACE(testing::Message() << "client " << t.client);
    EXPECT_STREQ(t.failure, "");
    EXPECT_GT(t.server_writes, 0u);
    calls += t.calls;
    // The calls that went to the server (the area copies did not).
    exchanges += t.server_writes + 4ull * t.mailbox_writes;
    worst = std::max(worst, t.worst_us);
    std::uint16_t w[2] = {};
    ASSERT_EQ(QNA_Read(1, static_cast<std::uint32_t>(4 * t.client), 2, w, 0), QNA_OK);
    EXPECT_EQ(w[0] | static_cast<std::uint32_t>(w[1]) << 16, t.server_writes);
    ASSERT_EQ(QNA_Read(4, static_cast<std::uint32_t>(2 * t.client), 2, w, 0), QNA_OK);
    EXPECT_EQ(w[0] | static_cast<std::uint32_t>(w[1]) << 16, t.direct_writes);
    ASSERT_EQ(QNA_ReadApp(AppName(t.client).c_str(), 0, 2, w), QNA_OK);
    EXPECT_EQ(w[0] | static_cast<std::uint32_t>(w[1]) << 16, t.mailbox_writes);
    // The channel is empty: no message was delivered twice.
    std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
    EXPECT_EQ(QNA_RecvMsg(static_cast<std::uint32_t>(200 + t.client), &w1, &w2, &length,
                          reinterpret_cast<std::uint8_t*>(&body), 0), 20u);
  }
  // Bounded: what the server holds once warm may grow by buffers that come
  // and go, not with the number of requests served.
  EXPECT_GT(warm, 0);
  EXPECT_LT(highest, warm + 64 * 1024) << "server VmRSS " << highest << " KiB, " << warm << " KiB when warm";
  std::printf("load: %d clients x 3 threads, %.1f s, %llu calls (%.0f/s), %llu server exchanges "
              "(%.0f/s), worst call %.1f ms, server VmRSS %ld KiB warm, %ld KiB highest\n",
              kClients, elapsed, static_cast<unsigned long long>(calls),
              static_cast<double>(calls) / elapsed, static_cast<unsigned long long>(exchanges),
              static_cast<double>(exchanges) / elapsed, worst / 1000.0, warm, highest);
  RecordProperty("calls", static_cast<int>(calls));
  RecordProperty("worst_us", static_cast<int>(worst));
}

}  // namespace
