// Sustained load (docs/reliability.md): 32 client processes of three threads
// keep counters, mailbox words and numbered messages of their own
// (bench/load_client.h, which the soak shares); at the end nothing is lost,
// doubled or reordered and the server's memory is bounded.
// QNAPI_LOAD_SECONDS sets the length of the run (default 2).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/load_client.h"
#include "integration/integration.h"

namespace {

using namespace it;

constexpr int kClients = 32;

int Seconds() {
  const char* text = std::getenv("QNAPI_LOAD_SECONDS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 2;
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
    clients.push_back(std::make_unique<qt::Child>([k, seconds] {
      load::Figures figures;
      return load::RunClient(k, 3, Clock::now() + std::chrono::seconds(seconds), figures);
    }));

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
