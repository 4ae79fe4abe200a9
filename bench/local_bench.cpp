// local_bench.cpp - the local connection against its limits.
//
// Pairs (ours / limit):
//   ReadWordLocked   / BareLockWordRead   one word read under the area mutex
//   ReadBitLocked    / BareLockBitRead    one bit read under the area mutex
//   WriteWordLocked  / BareLockWordWrite  one word written with QNA_WriteSmem
//   ReadWordNoLock   / PlainWordCopy      one word read with the no-lock flag
//                                         against a copy of 2 bytes (a length
//                                         known at run time) from the view
//   ReadAreaLocked   / BareLockAreaCopy   a whole 32768-word area read
//   WriteWordServer  / RawPingPong        a one-word write through the server
//                                         against the same bytes over a bare pipe
// The bare locks are a robust process-shared pthread mutex in shared memory,
// locked, one copy, unlocked: no time-out, no handle table, nothing else a
// locked access could leave out.
//
// Figures (absolute): OpenLocal, a QNA_Open of the local server (its close
// runs outside the timing).
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <sys/mman.h>

#include <cstring>
#include <vector>

#include "bench_support.h"
#include "core/link.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

bench::Server* g_server = nullptr;
QNA_REGREC g_me{0, 0, {'B', 'E', 'N', 'C', 'H', 0, 0, 0}};

// Opens the library once for the whole program.
bool Connected() {
  static const bool ok = g_server->ok() && QNA_Open(&g_me) == 0;
  return ok;
}

// The area's own mapping, opened the way any client does.
struct RawArea {
  std::uint16_t* view = nullptr;
  Handle mapping = 0;
  RawArea() {
    char area[] = "\\sharemem\\qoxmemcw";
    void* v = nullptr;
    if (ShmOpen(&v, area, 3, &mapping) == 0) view = static_cast<std::uint16_t*>(v);
  }
  ~RawArea() {
    if (view != nullptr) ShmClose(view, mapping);
  }
};

// A robust process-shared mutex and 32768 words, in shared memory of their
// own: the least a locked access can cost.
struct BareArea {
  static constexpr std::size_t kBytes = 4096 + 65536;
  void* base = MAP_FAILED;
  pthread_mutex_t* mutex = nullptr;
  std::uint16_t* words = nullptr;
  BareArea() {
    base = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) return;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    mutex = static_cast<pthread_mutex_t*>(base);
    if (pthread_mutex_init(mutex, &attr) != 0) mutex = nullptr;
    pthread_mutexattr_destroy(&attr);
    words = reinterpret_cast<std::uint16_t*>(static_cast<char*>(base) + 4096);
  }
  ~BareArea() {
    if (mutex != nullptr) pthread_mutex_destroy(mutex);
    if (base != MAP_FAILED) munmap(base, kBytes);
  }
  bool ok() const { return mutex != nullptr; }
};

void ReadWordLocked(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::uint16_t word = 0;
  for (auto _ : state) {
    QNA_Read(1, 100, 1, &word, 0);
    benchmark::DoNotOptimize(word);
  }
}

void BareLockWordRead(benchmark::State& state) {
  BareArea area;
  if (!area.ok()) return state.SkipWithError("no shared memory");
  std::uint16_t word = 0;
  for (auto _ : state) {
    pthread_mutex_lock(area.mutex);
    std::memcpy(&word, area.words + 100, 2);
    pthread_mutex_unlock(area.mutex);
    benchmark::DoNotOptimize(word);
  }
}

void ReadBitLocked(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::uint8_t bit = 0;
  for (auto _ : state) {
    QNA_ReadBit(1, 1605, 1, &bit, 0);
    benchmark::DoNotOptimize(bit);
  }
}

void BareLockBitRead(benchmark::State& state) {
  BareArea area;
  if (!area.ok()) return state.SkipWithError("no shared memory");
  std::uint8_t bit = 0;
  for (auto _ : state) {
    pthread_mutex_lock(area.mutex);
    bit = (area.words[100] & (1u << 5)) != 0 ? 1 : 0;
    pthread_mutex_unlock(area.mutex);
    benchmark::DoNotOptimize(bit);
  }
}

void WriteWordLocked(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    QNA_WriteSmem(1, 100, 1, &word, 0);
    benchmark::DoNotOptimize(word);
  }
}

void BareLockWordWrite(benchmark::State& state) {
  BareArea area;
  if (!area.ok()) return state.SkipWithError("no shared memory");
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    pthread_mutex_lock(area.mutex);
    std::memcpy(area.words + 100, &word, 2);
    pthread_mutex_unlock(area.mutex);
    benchmark::DoNotOptimize(word);
  }
}

void ReadWordNoLock(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  std::uint16_t word = 0;
  for (auto _ : state) {
    QNA_Read(1, 100, 1, &word, 1);
    benchmark::DoNotOptimize(word);
  }
}

// A copy of a length known only at run time, as a caller's count is: what
// any read of `count` words into a caller's buffer has to do.
void PlainWordCopy(benchmark::State& state) {
  RawArea area;
  if (area.view == nullptr) return state.SkipWithError("no area");
  std::uint16_t word = 0;
  std::size_t count = 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(count);
    std::memcpy(&word, area.view + 100, count * 2);
    benchmark::DoNotOptimize(word);
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

void BareLockAreaCopy(benchmark::State& state) {
  BareArea area;
  RawArea real;  // the same source pages as ours
  if (!area.ok() || real.view == nullptr) return state.SkipWithError("no area");
  std::vector<std::uint16_t> buffer(32768);
  for (auto _ : state) {
    pthread_mutex_lock(area.mutex);
    std::memcpy(buffer.data(), real.view, 65536);
    pthread_mutex_unlock(area.mutex);
    benchmark::DoNotOptimize(buffer.data());
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

// The library stays open for the other benchmarks: each open is undone
// outside the timing, and the last one is kept.
void OpenLocal(benchmark::State& state) {
  if (!Connected()) return state.SkipWithError("no server");
  for (auto _ : state) {
    state.PauseTiming();
    QNA_Close();
    state.ResumeTiming();
    if (QNA_Open(&g_me) != 0) return state.SkipWithError("open failed");
  }
}

BENCHMARK(ReadWordLocked);
BENCHMARK(BareLockWordRead);
BENCHMARK(ReadBitLocked);
BENCHMARK(BareLockBitRead);
BENCHMARK(WriteWordLocked);
BENCHMARK(BareLockWordWrite);
BENCHMARK(ReadWordNoLock);
BENCHMARK(PlainWordCopy);
BENCHMARK(ReadAreaLocked);
BENCHMARK(BareLockAreaCopy);
BENCHMARK(WriteWordServer)->UseRealTime();
BENCHMARK(RawPingPong)->UseRealTime();
BENCHMARK(OpenLocal)->UseRealTime()->Iterations(5);

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
