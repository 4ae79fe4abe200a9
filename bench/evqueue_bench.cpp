// evqueue_bench.cpp - events through the server, and their limit.
//
//   EvQueueEvent / PostRoundTrip
//     one event of 16 data bytes posted with QNA_WriteEvQueue and taken with
//     QNA_ReadEvQueue from another connection, alternately, through quonix;
//     against a request/reply round trip of the post's sizes (a 40-byte
//     request in one write, a 12-byte reply) over a pipe of the same kind to
//     a peer process that does nothing else.  The server writes the event
//     into the queue's pipe before it answers the post, so a read after the
//     post finds it there: what the event costs beyond the round trip is the
//     read of the queue's pipe and the work on both sides.
//   RecordSendRecv
//     what the event path does beyond its limit's system calls: one send of
//     an event's 64-byte record and one receive of it, on a connected Unix
//     stream socket pair (what the platform's pipes are) in this one thread,
//     so without any wake-up.  PostRoundTrip + RecordSendRecv is the least an
//     event can cost through a server that writes it into a pipe of its own.
//   EvQueueBurst
//     1,000 posts, then 1,000 reads: every event arrives, whole, in order,
//     and nothing more (an error otherwise); the figure is the time per event.
//
// EvQueueEvent and PostRoundTrip also count the CPU time that both
// processes spend per item (cpu_ns: this one's and its children's, the
// server or the peer): on a machine shared with other work the elapsed time
// swings with the others' load, the CPU time much less.
#include <benchmark/benchmark.h>
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "bench_support.h"
#include "core/link.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

constexpr std::uint32_t kData = 16;
constexpr unsigned kPostRequest = 24 + kData;
constexpr unsigned kPostReply = 12;
constexpr std::uint32_t kBurst = 1000;

std::uint32_t g_poster = 0;
std::uint32_t g_reader = 0;
std::uint32_t g_handle = 0;

// The run time of every thread of a process, in ns (the first field of
// each thread's schedstat).
std::uint64_t ProcessRunNs(const std::string& pid) {
  std::uint64_t total = 0;
  const std::string tasks = "/proc/" + pid + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    if (FILE* f = std::fopen((tasks + "/" + entry->d_name + "/schedstat").c_str(), "r")) {
      unsigned long long ns = 0;
      if (std::fscanf(f, "%llu", &ns) == 1) total += ns;
      std::fclose(f);
    }
  }
  closedir(dir);
  return total;
}

// CPU time of this process and of its children so far, in ns.
std::uint64_t CpuNs() {
  timespec self{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &self);
  std::uint64_t total = static_cast<std::uint64_t>(self.tv_sec) * 1000000000u + static_cast<std::uint64_t>(self.tv_nsec);
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return total;
  const long me = getpid();
  while (const dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    const std::string pid = entry->d_name;
    FILE* f = std::fopen(("/proc/" + pid + "/stat").c_str(), "r");
    if (f == nullptr) continue;
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, f) != nullptr;
    std::fclose(f);
    // "pid (name) state ppid ...": the name may hold blanks, not ')'.
    const char* after = read ? std::strrchr(line, ')') : nullptr;
    char state = 0;
    long parent = 0;
    if (after != nullptr && std::sscanf(after + 1, " %c %ld", &state, &parent) == 2 && parent == me)
      total += ProcessRunNs(pid);
  }
  closedir(proc);
  return total;
}

// Runs the loop `body` times the state asks, and counts the CPU time of
// both sides per item.
template <typename Body>
void Measured(benchmark::State& state, Body&& body) {
  const std::uint64_t before = CpuNs();
  for (auto _ : state)
    if (!body()) return;
  state.counters["cpu_ns"] = benchmark::Counter(static_cast<double>(CpuNs() - before),
                                                benchmark::Counter::kAvgIterations);
}

bool Ready() {
  if (g_handle != 0) return true;
  static bench::Server server;
  if (!server.ok()) return false;
  QNA_CONNPARAM params{};
  std::strcpy(params.name, "BENCH");
  if (QNA_OpenN(&params, &g_poster) != QNA_OK || QNA_OpenN(&params, &g_reader) != QNA_OK) return false;
  return QNA_OpenEvQueue(g_reader, 1, nullptr, nullptr, &g_handle, 0) == QNA_OK;
}

void EvQueueEvent(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no server or no queue");
  std::uint8_t out[kData] = {1, 2, 3};
  std::uint8_t in[kData];
  Measured(state, [&] {
    QNA_EVENT posted{7, kData, out};
    QNA_EVENT taken{0, kData, in};
    if (QNA_WriteEvQueue(g_poster, 1, &posted) == QNA_OK &&
        QNA_ReadEvQueue(g_handle, nullptr, nullptr, &taken, 0) == QNA_OK)
      return true;
    state.SkipWithError("event lost");
    return false;
  });
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(EvQueueEvent)->UseRealTime();

void PostRoundTrip(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no server");
  bench::EchoPeer peer("\\\\.\\pipe\\benchpost", kPostRequest, kPostReply);
  const Handle link = win::CreateFileA("\\\\.\\pipe\\benchpost", win::GENERIC_READ | win::GENERIC_WRITE,
                                       0, nullptr, win::OPEN_EXISTING, 0, 0);
  if (link == kInvalidHandle) return state.SkipWithError("no echo peer");
  std::uint8_t request[kPostRequest] = {kPostRequest - 4};
  std::uint8_t reply[kPostReply];
  Measured(state, [&] {
    std::uint32_t n = 0;
    if (PipeWrite(link, request, sizeof request, &n) == 0 &&
        NpipeRead(reinterpret_cast<void*>(link), reply, sizeof reply, &n) == 0)
      return true;
    state.SkipWithError("echo failed");
    return false;
  });
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  HndClose(link);
}
BENCHMARK(PostRoundTrip)->UseRealTime();

void RecordSendRecv(benchmark::State& state) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) return state.SkipWithError("no socket pair");
  std::uint8_t record[4 + 44 + kData] = {44 + kData};
  std::uint8_t in[sizeof record];
  for (auto _ : state) {
    if (send(pair[0], record, sizeof record, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof record) ||
        recv(pair[1], in, sizeof in, 0) != static_cast<ssize_t>(sizeof in)) {
      state.SkipWithError("send or receive failed");
      break;
    }
  }
  close(pair[0]);
  close(pair[1]);
}
BENCHMARK(RecordSendRecv)->UseRealTime();

void EvQueueBurst(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no server or no queue");
  std::uint8_t data[kData];
  for (std::uint32_t k = 0; k < kData; ++k) data[k] = static_cast<std::uint8_t>(7 * k + 1);
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kBurst; ++i) {
      QNA_EVENT posted{i, kData, data};
      if (QNA_WriteEvQueue(g_poster, 1, &posted) != QNA_OK) return state.SkipWithError("post failed");
    }
    for (std::uint32_t i = 0; i < kBurst; ++i) {
      std::uint8_t in[kData] = {};
      QNA_EVENT taken{0, kData, in};
      std::uint16_t kind = 0;
      if (QNA_ReadEvQueue(g_handle, &kind, nullptr, &taken, 0) != QNA_OK || kind != 1 || taken.value != i ||
          taken.length != kData || std::memcmp(in, data, kData) != 0)
        return state.SkipWithError("an event of the burst was lost");
    }
    QNA_EVENT none{0, kData, data};
    if (QNA_ReadEvQueue(g_handle, nullptr, nullptr, &none, QNA_EVQ_NOWAIT) != QNA_E_EVQ_EMPTY)
      return state.SkipWithError("the burst brought more events than were posted");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBurst);
}
BENCHMARK(EvQueueBurst)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
