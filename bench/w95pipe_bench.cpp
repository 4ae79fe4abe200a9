// w95pipe_bench.cpp - the link over the Windows 95 pipe emulation against
// the same link over the real pipe.
//
// Pair (ours / limit):
//   WriteWordEmulated / WriteWordPipe  a one-word QNA_Write round trip through
//                                      quonix over the emulated pipe QOXSMEM,
//                                      and over \\.\pipe\qoxsmem
// Each benchmark opens its own link (the platform reports the Windows 95
// family for the emulated one) outside the timed loop.
#include <benchmark/benchmark.h>

#include "bench_support.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

bench::Server* g_server = nullptr;

void WriteWord(benchmark::State& state, win::DWORD platform) {
  win::SetVersionPlatformSeam(platform);
  QNA_REGREC me{0, 0, {'W', '9', '5', 'B', 'E', 'N', 'C', 'H'}};
  if (!g_server->ok() || QNA_Open(&me) != 0) {
    win::SetVersionPlatformSeam(0);
    return state.SkipWithError("no server");
  }
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    if (QNA_Write(1, 100, 1, &word, 0) != 0) {
      state.SkipWithError("write failed");
      break;
    }
  }
  QNA_Close();
  win::SetVersionPlatformSeam(0);
}

void WriteWordEmulated(benchmark::State& state) { WriteWord(state, 1); }
void WriteWordPipe(benchmark::State& state) { WriteWord(state, 0); }

BENCHMARK(WriteWordEmulated)->UseRealTime();
BENCHMARK(WriteWordPipe)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::Server server;
  g_server = &server;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
