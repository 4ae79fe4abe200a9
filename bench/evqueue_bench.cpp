// evqueue_bench.cpp - events per second through the server, and its limit.
//
//   EvQueueEvent / EvQueueRawRecord
//     one event of 16 data bytes posted with QNA_WriteEvQueue and taken
//     with QNA_ReadEvQueue from another connection, through quonix; against
//     the same 64-byte record written into a pipe of the same kind and read
//     from its other end, with no server between.  The event's way has two
//     pipe round trips (the post and its reply) and a hand-over to the
//     open's delivery thread that the raw record does not have, so its goal
//     is a bound on that overhead (about 19 times on a quiet machine), not
//     parity.
#include <benchmark/benchmark.h>

#include <cstring>

#include "bench_support.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

constexpr std::uint32_t kData = 16;
constexpr std::uint32_t kRecord = 48 + kData;

bench::Server* g_server = nullptr;
std::uint32_t g_poster = 0;
std::uint32_t g_reader = 0;
std::uint32_t g_handle = 0;

bool Ready() {
  if (g_handle != 0) return true;
  static bench::Server server;
  g_server = &server;
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
  for (auto _ : state) {
    QNA_EVENT posted{7, kData, out};
    QNA_EVENT taken{0, kData, in};
    if (QNA_WriteEvQueue(g_poster, 1, &posted) != QNA_OK ||
        QNA_ReadEvQueue(g_handle, nullptr, nullptr, &taken, 0) != QNA_OK)
      return state.SkipWithError("event lost");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}
BENCHMARK(EvQueueEvent)->UseRealTime();

void EvQueueRawRecord(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no server");
  const Handle listener = NpipeListen("\\\\.\\pipe\\benchraw");
  const Handle client = win::CreateFileA("\\\\.\\pipe\\benchraw", win::GENERIC_READ | win::GENERIC_WRITE, 0,
                                         nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0);
  const Handle server = NpipeAccept(listener, 5000);
  if (client == kInvalidHandle || server == kInvalidHandle) return state.SkipWithError("no pipe");
  std::uint8_t record[kRecord] = {};
  std::uint8_t in[kRecord];
  for (auto _ : state) {
    std::uint32_t moved = 0;
    if (PipeWriteRaw(server, record, kRecord, &moved) != 0 || moved != kRecord)
      return state.SkipWithError("write failed");
    std::uint32_t got = 0;
    if (NpipeRead(reinterpret_cast<void*>(client), in, kRecord, &got) != 0 || got != kRecord)
      return state.SkipWithError("read failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  HndClose(client);
  HndClose(server);
  HndClose(listener);
}
BENCHMARK(EvQueueRawRecord)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
