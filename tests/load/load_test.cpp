// Sustained load (docs/reliability.md): 32 client processes of three threads
// keep counters, mailbox words and numbered messages of their own; at the end
// nothing is lost, doubled or reordered and the server's memory is bounded.
// QNAPI_LOAD_SECONDS sets the length of the run (default 2).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
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

std::uint32_t Value(const std::uint16_t* w) {
  return w[0] | static_cast<std::uint32_t>(w[1]) << 16;
}

// One client: three threads for `seconds`, then a check of what it left.
int RunClient(int k, int seconds) {
  const std::string name = "LOAD" + std::to_string(k);
  // About what is kept, not how fast: on two loaded cores a thread may wait
  // longer than the default second for the shared link.
  QNA_MtxTimeOut = 30000;
  QNA_TimeOut = 30000;
  const QNA_REGREC record = Record(name.c_str());
  if (const auto r = QNA_Open(&record); r != QNA_OK) return ChildFail(Got("QNA_Open", r));
  const auto end = Clock::now() + std::chrono::seconds(seconds);
  std::atomic<bool> failed{false};
  // step(n, the words of n) for n = 1, 2, ...; `done`: the last that went well.
  const auto loop = [&](std::uint32_t& done, const char* what, auto step) {
    for (std::uint32_t n = 1; Clock::now() < end && !failed; ++n) {
      const std::uint16_t w[2] = {static_cast<std::uint16_t>(n & 0xFFFF),
                                  static_cast<std::uint16_t>(n >> 16)};
      if (!step(n, w)) {
        // In steps: GCC 12 -O1 warns of a false overflow in a chain of +.
        std::string note(what);
        note += " failed at ";
        note += std::to_string(n);
        if (!failed.exchange(true)) ChildFail(note);
        return;
      }
      done = n;
    }
  };
  const auto offset1 = static_cast<std::uint32_t>(4 * k);
  const auto offset4 = static_cast<std::uint32_t>(2 * k);
  const auto channel = static_cast<std::uint32_t>(200 + k);
  std::uint32_t server_writes = 0, direct_writes = 0, mailbox_writes = 0;
  std::thread server([&] {
    loop(server_writes, "QNA_Write", [&](std::uint32_t, const std::uint16_t* w) {
      return QNA_Write(1, offset1, 2, w, 0) == QNA_OK;
    });
  });
  std::thread direct([&] {
    loop(direct_writes, "QNA_WriteSmem/QNA_Read", [&](std::uint32_t, const std::uint16_t* w) {
      std::uint16_t back[2] = {};
      return QNA_WriteSmem(4, offset4, 2, w, 0) == QNA_OK &&
             QNA_Read(4, offset4, 2, back, 0) == QNA_OK && Value(back) == Value(w);
    });
  });
  loop(mailbox_writes, "mailbox or message", [&](std::uint32_t n, const std::uint16_t* w) {
    std::uint16_t back[2] = {};
    std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
    auto* got = reinterpret_cast<std::uint8_t*>(&body);
    return QNA_WriteApp(name.c_str(), 0, 2, w, 0) == QNA_OK &&
           QNA_ReadApp(name.c_str(), 0, 2, back) == QNA_OK && Value(back) == Value(w) &&
           QNA_SendMsg(channel, n, static_cast<std::uint32_t>(k), 0, 4, &n, 0) == QNA_OK &&
           QNA_RecvMsg(channel, &w1, &w2, &length, got, 0) == QNA_OK && w1 == n &&
           w2 == static_cast<std::uint32_t>(k) && length == 4 && body == n;
  });
  server.join();
  direct.join();
  if (failed) return 1;
  // Every counter as it was last written, and no message delivered twice.
  std::uint16_t w[2] = {};
  if (server_writes == 0 || QNA_Read(1, offset1, 2, w, 0) != QNA_OK || Value(w) != server_writes)
    return ChildFail("server writes: " + std::to_string(server_writes) + ", read " +
                     std::to_string(Value(w)));
  if (QNA_Read(4, offset4, 2, w, 0) != QNA_OK || Value(w) != direct_writes)
    return ChildFail("direct writes");
  if (QNA_ReadApp(name.c_str(), 0, 2, w) != QNA_OK || Value(w) != mailbox_writes)
    return ChildFail("mailbox");
  std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
  if (QNA_RecvMsg(channel, &w1, &w2, &length, reinterpret_cast<std::uint8_t*>(&body), 0) != 20)
    return ChildFail("a message came twice");
  QNA_Close();
  return 0;
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
  std::vector<std::unique_ptr<qt::Child>> clients;
  for (int k = 0; k < kClients; ++k)
    clients.push_back(std::make_unique<qt::Child>([k, seconds] { return RunClient(k, seconds); }));

  // The server's memory once warm (a quarter in) and at its highest.
  const auto start = Clock::now();
  long warm = 0, highest = 0;
  std::vector<int> status(clients.size(), -1);
  while (std::count(status.begin(), status.end(), -1) > 0 &&
         MsSince(start) < (seconds + 120) * 1000) {
    for (std::size_t k = 0; k < clients.size(); ++k)
      if (status[k] == -1) status[k] = clients[k]->Wait(std::chrono::milliseconds(0));
    const long rss = qt::RssKiB(server_->pid());
    if (warm == 0 && MsSince(start) > seconds * 250) warm = rss;
    highest = std::max(highest, rss);
    std::this_thread::sleep_for(50ms);
  }
  for (std::size_t k = 0; k < clients.size(); ++k) EXPECT_EQ(status[k], 0) << "client " << k;
  EXPECT_GT(warm, 0);
  EXPECT_LT(highest, warm + 64 * 1024)
      << "server VmRSS " << highest << " KiB, " << warm << " KiB when warm";
}

}  // namespace
