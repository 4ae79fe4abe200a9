// soak.cpp - the sustained load for a long run: client processes of several
// threads each (bench/load_client.h) against one quonix for a while; prints
// the server's VmRSS minute by minute, the calls and the longest one, and
// exits 1 when a client lost, doubled or reordered a value or the server's
// memory grew (the mean of the last minute more than 5% off the first's).
// Usage: soak [seconds (600)] [clients (32)] [threads (4)]
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "load_client.h"

namespace {

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

int Arg(int argc, char** argv, int i, int fallback) {
  const int n = argc > i ? std::atoi(argv[i]) : 0;
  return n > 0 ? n : fallback;
}

double Mean(const std::vector<long>& samples, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += static_cast<double>(samples[i]);
  return to > from ? sum / static_cast<double>(to - from) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = Arg(argc, argv, 1, 600), clients = Arg(argc, argv, 2, 32), threads = Arg(argc, argv, 3, 4);
  bench::Server server({"--max-links", std::to_string(clients + 64)});
  if (!server.ok()) return 1;
  // The figures of every client, written by the forked clients.
  const std::size_t bytes = sizeof(load::Figures) * static_cast<std::size_t>(clients);
  void* shared = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (shared == MAP_FAILED) return 1;
  auto* figures = static_cast<load::Figures*>(shared);

  const auto start = load::Clock::now();
  const auto end = start + std::chrono::seconds(seconds);
  std::vector<pid_t> pids;
  for (int k = 0; k < clients; ++k) {
    const pid_t pid = fork();
    if (pid == 0) _exit(load::RunClient(k, threads, end, figures[k]));
    pids.push_back(pid);
  }

  // One sample a second; a client that has not ended two minutes after the
  // end counts as failed.
  std::vector<long> rss;
  int failed = 0, running = clients;
  for (int second = 1; running > 0; ++second) {
    std::this_thread::sleep_until(start + std::chrono::seconds(second));
    for (pid_t& pid : pids) {
      int status = 0;
      if (pid > 0 && waitpid(pid, &status, WNOHANG) == pid) {
        failed += WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 0 : 1;
        pid = -1;
        --running;
      } else if (pid > 0 && second > seconds + 120) {
        kill(pid, SIGKILL);
      }
    }
    if (second > seconds) continue;
    rss.push_back(RssKiB(server.pid()));
    if (second % 60 == 0)
      std::printf("minute %d: server VmRSS mean %.0f KiB\n", second / 60, Mean(rss, rss.size() - 60, rss.size()));
    std::fflush(stdout);
  }

  load::Figures all;
  for (int k = 0; k < clients; ++k) {
    all.calls += figures[k].calls;
    all.exchanges += figures[k].exchanges;
    all.worst_us = std::max(all.worst_us, figures[k].worst_us);
  }
  const std::size_t window = std::min<std::size_t>(60, rss.size() / 2);
  const double first = Mean(rss, 0, window), last = Mean(rss, rss.size() - window, rss.size());
  const double growth = first > 0 ? (last - first) / first * 100 : 0;
  std::printf("%d clients x %d threads for %d s: %llu calls (%.0f per second), %llu of them server "
              "exchanges (%.0f per second); longest call %.1f ms\n",
              clients, threads, seconds, static_cast<unsigned long long>(all.calls),
              static_cast<double>(all.calls) / seconds, static_cast<unsigned long long>(all.exchanges),
              static_cast<double>(all.exchanges) / seconds, static_cast<double>(all.worst_us) / 1000);
  std::printf("server VmRSS: first minute %.0f KiB, last minute %.0f KiB (%+.1f%%)\n", first, last, growth);
  std::printf("clients that lost, doubled or reordered a value (or did not end): %d\n", failed);
  return failed == 0 && growth <= 5 && growth >= -5 ? 0 : 1;
}
