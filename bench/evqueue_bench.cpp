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
//   EvQueueBurst
//     1,000 posts, then 1,000 reads: every event arrives, in order (an error
//     otherwise); the figure is the time per event.
#include <benchmark/benchmark.h>

#include <cstring>

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

void PostRoundTrip(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no server");
  bench::EchoPeer peer("\\\\.\\pipe\\benchpost", kPostRequest, kPostReply);
  const Handle link = win::CreateFileA("\\\\.\\pipe\\benchpost", win::GENERIC_READ | win::GENERIC_WRITE,
                                       0, nullptr, win::OPEN_EXISTING, 0, 0);
  if (link == kInvalidHandle) return state.SkipWithError("no echo peer");
  std::uint8_t request[kPostRequest] = {kPostRequest - 4};
  std::uint8_t reply[kPostReply];
  for (auto _ : state) {
    std::uint32_t n = 0;
    if (PipeWrite(link, request, sizeof request, &n) != 0 ||
        NpipeRead(reinterpret_cast<void*>(link), reply, sizeof reply, &n) != 0)
      return state.SkipWithError("echo failed");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  HndClose(link);
}
BENCHMARK(PostRoundTrip)->UseRealTime();

void EvQueueBurst(benchmark::State& state) {
  if (!Ready()) return state.SkipWithError("no server or no queue");
  std::uint8_t data[kData] = {};
  for (auto _ : state) {
    for (std::uint32_t i = 0; i < kBurst; ++i) {
      QNA_EVENT posted{i, kData, data};
      if (QNA_WriteEvQueue(g_poster, 1, &posted) != QNA_OK) return state.SkipWithError("post failed");
    }
    for (std::uint32_t i = 0; i < kBurst; ++i) {
      QNA_EVENT taken{0, kData, data};
      if (QNA_ReadEvQueue(g_handle, nullptr, nullptr, &taken, 0) != QNA_OK || taken.value != i)
        return state.SkipWithError("an event of the burst was lost");
    }
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * kBurst);
}
BENCHMARK(EvQueueBurst)->UseRealTime()->Iterations(3);

}  // namespace

BENCHMARK_MAIN();
