// local_bench.cpp - the local connection against its limits.
//
// Pairs (ours / limit):
//   ReadWordLocked   / MutexWordCopy    one word read under the area mutex
//   ReadAreaLocked   / MutexAreaMemcpy  a whole 32768-word area under the mutex
//   WriteWordServer  / RawPingPong      a one-word write through the server
//                                       against the same bytes over a bare pipe
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench_support.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

bench::Server* g_server = nullptr;

// Opens the library once for the whole program.
bool Connected() {
  static const bool ok = [] {
    QNA_REGREC me{0, 0, {'B', 'E', 'N', 'C', 'H', 0, 0, 0}};
    return g_server->ok() && QNA_Open(&me) == 0;
  }();
  return ok;
}

// The area's own mapping and mutex, opened the way any client does.
struct RawArea {
  std::uint16_t* view = nullptr;
  Handle mutex = 0;
  Handle mapping = 0;
  RawArea() {
    char area[] = "\\sharemem\\qoxmemcw";
    char mtx[] = "\\sem32\\qoxsemcw";
    void* v = nullptr;
    if (ShmOpen(&v, area, 3, &mapping) == 0) view = static_cast<std::uint16_t*>(v);
    MtxOpen(mtx, &mutex);
  }
  ~RawArea() {
    if (view != nullptr) ShmClose(view, mapping);
    if (mutex != 0) HndClose(mutex);
  }
};

void ReadWordLocked(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::uint16_t word = 0;
  for (auto _ : state) {
    QNA_Read(1, 100, 1, &word, 0);
    benchmark::DoNotOptimize(word);
  }
}

void MutexWordCopy(benchmark::State& state) {
  RawArea area;
  if (area.view == nullptr || area.mutex == 0) return state.SkipWithError("no area");
  std::uint16_t word = 0;
  for (auto _ : state) {
    MtxWait(area.mutex, 5000);
    word = area.view[100];
    benchmark::DoNotOptimize(word);
    MtxRelease(area.mutex);
  }
}

void ReadAreaLocked(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::vector<std::uint16_t> buffer(32768);
  for (auto _ : state) {
    QNA_Read(1, 0, 32768, buffer.data(), 0);
    benchmark::DoNotOptimize(buffer.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}

void MutexAreaMemcpy(benchmark::State& state) {
  RawArea area;
  if (area.view == nullptr || area.mutex == 0) return state.SkipWithError("no area");
  std::vector<std::uint16_t> buffer(32768);
  for (auto _ : state) {
    MtxWait(area.mutex, 5000);
    std::memcpy(buffer.data(), area.view, 65536);
    benchmark::DoNotOptimize(buffer.data());
    MtxRelease(area.mutex);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 65536);
}

void WriteWordServer(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    if (QNA_Write(1, 100, 1, &word, 0) != 0) return state.SkipWithError("write failed");
  }
}

// The same 26 request bytes in the same two pieces, and a 12-byte reply, over
// the same kind of pipe to a peer process that does nothing else.
void RawPingPong(benchmark::State& state) {
  bench::EchoPeer peer("\\\\.\\pipe\\benchecho", 26, 12);
  const Handle link = win::CreateFileA("\\\\.\\pipe\\benchecho", win::GENERIC_READ | win::GENERIC_WRITE,
                                       0, nullptr, win::OPEN_EXISTING, 0, 0);
  if (link == kInvalidHandle) return state.SkipWithError("no echo peer");
  unsigned char head[24] = {22}, data[2] = {1, 0}, reply[12];
  std::uint32_t n = 0;
  for (auto _ : state) {
    PipeWrite(link, head, sizeof head, &n);
    PipeWrite(link, data, sizeof data, &n);
    NpipeRead(reinterpret_cast<void*>(link), reply, sizeof reply, &n);
  }
  HndClose(link);
}

BENCHMARK(ReadWordLocked);
BENCHMARK(MutexWordCopy);
BENCHMARK(ReadAreaLocked);
BENCHMARK(MutexAreaMemcpy);
BENCHMARK(WriteWordServer)->UseRealTime();
BENCHMARK(RawPingPong)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  bench::Server server;
  g_server = &server;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  QNA_Close();
  return 0;
}
