// instructions.cpp - a fixed number of calls for counting instructions with
// callgrind, which makes the counts repeatable where times are not.
//
//   instructions read      1000 one-word locked QNA_Read calls
//   instructions readbit   1000 one-bit locked QNA_ReadBit calls
//   instructions writesmem 1000 one-word locked QNA_WriteSmem calls
//   instructions write     1000 one-word QNA_Write exchanges (the client's side)
//   instructions bare      1000 lock + one-word copy + unlock of a robust
//                          process-shared mutex: the limit of the locked calls
//
// Count only what Measured* runs, after one call outside it has warmed up
// lazy binding and the caches of the C library:
//   valgrind --tool=callgrind --toggle-collect='Measured*'
//            build/bench/bench/instructions read
// and divide the total Ir by 1000 (docs/performance.md has the figures).
#include <pthread.h>
#include <sys/mman.h>

#include <cstdio>
#include <cstring>

#include "bench_support.h"
#include "qnapi.h"

namespace {

constexpr int kCalls = 1000;

[[gnu::noinline]] std::uint32_t MeasuredReads() {
  std::uint32_t failed = 0;
  std::uint16_t word = 0;
  for (int i = 0; i < kCalls; ++i) failed += QNA_Read(1, 100, 1, &word, 0) != 0;
  return failed;
}

[[gnu::noinline]] std::uint32_t MeasuredBitReads() {
  std::uint32_t failed = 0;
  std::uint8_t bit = 0;
  for (int i = 0; i < kCalls; ++i) failed += QNA_ReadBit(1, 1605, 1, &bit, 0) != 0;
  return failed;
}

[[gnu::noinline]] std::uint32_t MeasuredSmemWrites() {
  std::uint32_t failed = 0;
  std::uint16_t word = 7;
  for (int i = 0; i < kCalls; ++i) failed += QNA_WriteSmem(1, 100, 1, &word, 0) != 0;
  return failed;
}

[[gnu::noinline]] std::uint32_t MeasuredWrites() {
  std::uint32_t failed = 0;
  std::uint16_t word = 7;
  for (int i = 0; i < kCalls; ++i) failed += QNA_Write(1, 100, 1, &word, 0) != 0;
  return failed;
}

// A robust process-shared mutex and the words it guards, in shared memory,
// as the areas are.
struct BareArea {
  pthread_mutex_t mutex;
  std::uint16_t words[128];
};
BareArea* g_bare = nullptr;

[[gnu::noinline]] std::uint32_t MeasuredBare() {
  std::uint32_t failed = 0;
  std::uint16_t word = 0;
  for (int i = 0; i < kCalls; ++i) {
    failed += pthread_mutex_lock(&g_bare->mutex) != 0;
    std::memcpy(&word, &g_bare->words[100], 2);
    failed += pthread_mutex_unlock(&g_bare->mutex) != 0;
  }
  return failed + (word == 0xFFFF);
}

bool BareReady() {
  void* at = mmap(nullptr, sizeof(BareArea), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return false;
  g_bare = static_cast<BareArea*>(at);
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
  const bool ok = pthread_mutex_init(&g_bare->mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok && pthread_mutex_lock(&g_bare->mutex) == 0 && pthread_mutex_unlock(&g_bare->mutex) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  struct Mode {
    const char* name;
    std::uint32_t (*measured)();
  };
  constexpr Mode kModes[] = {{"read", MeasuredReads},
                             {"readbit", MeasuredBitReads},
                             {"writesmem", MeasuredSmemWrites},
                             {"write", MeasuredWrites},
                             {"bare", MeasuredBare}};
  const Mode* mode = nullptr;
  for (const Mode& m : kModes)
    if (argc == 2 && std::strcmp(argv[1], m.name) == 0) mode = &m;
  if (mode == nullptr) {
    std::fprintf(stderr, "usage: instructions read|readbit|writesmem|write|bare\n");
    return 2;
  }
  if (mode->measured == MeasuredBare) return BareReady() && MeasuredBare() == 0 ? 0 : 1;
  bench::Server server;
  QNA_REGREC me{0, 0, {'C', 'O', 'U', 'N', 'T', 0, 0, 0}};
  if (!server.ok() || QNA_Open(&me) != 0) {
    std::fprintf(stderr, "no server\n");
    return 1;
  }
  // One call outside the count warms lazy binding and the caches.
  std::uint16_t word = 0;
  std::uint8_t bit = 0;
  const bool warm = QNA_Read(1, 100, 1, &word, 0) == 0 && QNA_ReadBit(1, 1605, 1, &bit, 0) == 0 &&
                    QNA_WriteSmem(1, 100, 1, &word, 0) == 0 && QNA_Write(1, 100, 1, &word, 0) == 0;
  const std::uint32_t failed = warm ? mode->measured() : kCalls;
  QNA_Close();
  if (failed != 0) std::fprintf(stderr, "%u calls failed\n", failed);
  return failed == 0 ? 0 : 1;
}
