// instructions.cpp - a fixed number of calls for counting instructions with
// callgrind, which makes the counts repeatable where times are not.
//
//   instructions read      1000 one-word locked QNA_Read calls
//   instructions readbit   1000 one-bit locked QNA_ReadBit calls
//   instructions writesmem 1000 one-word locked QNA_WriteSmem calls
//   instructions write     1000 one-word QNA_Write exchanges (the client's side)
//   instructions writen, readn, writes, reads
//                          the same with QNA_WriteN, QNA_ReadN (a host pipe
//                          connection), QNA_WriteS and QNA_ReadS (TCP)
//   instructions event     1000 events of 16 bytes, each posted with
//                          QNA_WriteEvQueue and taken with QNA_ReadEvQueue
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

std::uint32_t g_pipe = 0;  // connection ids
std::uint32_t g_tcp = 0;
std::uint32_t g_queue = 0;  // the reader's queue handle

template <typename Call>
std::uint32_t Calls(Call&& call) {
  std::uint32_t failed = 0;
  std::uint16_t word = 7;
  for (int i = 0; i < kCalls; ++i) failed += call(&word) != 0;
  return failed;
}

[[gnu::noinline]] std::uint32_t MeasuredWritesN() {
  return Calls([](std::uint16_t* w) { return QNA_WriteN(1, 100, 1, w, 0, g_pipe); });
}
[[gnu::noinline]] std::uint32_t MeasuredReadsN() {
  return Calls([](std::uint16_t* w) { return QNA_ReadN(1, 100, 1, w, 0, g_pipe); });
}
[[gnu::noinline]] std::uint32_t MeasuredWritesS() {
  return Calls([](std::uint16_t* w) { return QNA_WriteS(1, 100, 1, w, 0, g_tcp); });
}
[[gnu::noinline]] std::uint32_t MeasuredReadsS() {
  return Calls([](std::uint16_t* w) { return QNA_ReadS(1, 100, 1, w, 0, g_tcp); });
}

std::uint32_t PostAndRead() {
  std::uint8_t out[16] = {1, 2, 3};
  std::uint8_t in[16];
  QNA_EVENT posted{7, sizeof out, out};
  QNA_EVENT taken{0, sizeof in, in};
  return QNA_WriteEvQueue(g_pipe, 1, &posted) | QNA_ReadEvQueue(g_queue, nullptr, nullptr, &taken, 0);
}

[[gnu::noinline]] std::uint32_t MeasuredEvents() {
  return Calls([](std::uint16_t*) { return PostAndRead(); });
}

// Both kinds of remote connection and a queue, and one call of each kind
// outside the count.
bool RemoteReady(std::uint16_t tcp_port) {
  QNA_CONNPARAM pipe{};
  std::strcpy(pipe.name, "COUNTN");
  std::strcpy(pipe.host, "COUNTHOST");
  QNA_CONNPARAM tcp{};
  std::strcpy(tcp.name, "COUNTS");
  std::strcpy(tcp.host, "127.0.0.1");
  tcp.port = tcp_port;
  tcp.attempts = 5;
  std::uint16_t word = 0;
  return QNA_OpenN(&pipe, &g_pipe) == 0 && QNA_OpenS(&tcp, &g_tcp) == 0 &&
         QNA_OpenEvQueue(g_pipe, 1, nullptr, nullptr, &g_queue, 0) == 0 &&
         QNA_WriteN(1, 100, 1, &word, 0, g_pipe) == 0 && QNA_ReadN(1, 100, 1, &word, 0, g_pipe) == 0 &&
         QNA_WriteS(1, 100, 1, &word, 0, g_tcp) == 0 && QNA_ReadS(1, 100, 1, &word, 0, g_tcp) == 0 &&
         PostAndRead() == 0;
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
                             {"writen", MeasuredWritesN},
                             {"readn", MeasuredReadsN},
                             {"writes", MeasuredWritesS},
                             {"reads", MeasuredReadsS},
                             {"event", MeasuredEvents},
                             {"bare", MeasuredBare}};
  const Mode* mode = nullptr;
  for (const Mode& m : kModes)
    if (argc == 2 && std::strcmp(argv[1], m.name) == 0) mode = &m;
  if (mode == nullptr) {
    std::fprintf(stderr, "usage: instructions read|readbit|writesmem|write|writen|readn|writes|reads|event|bare\n");
    return 2;
  }
  if (mode->measured == MeasuredBare) return BareReady() && MeasuredBare() == 0 ? 0 : 1;
  bench::Server server({"--host", "COUNTHOST", "--tcp", "127.0.0.1:0"});
  QNA_REGREC me{0, 0, {'C', 'O', 'U', 'N', 'T', 0, 0, 0}};
  if (!server.ok() || QNA_Open(&me) != 0) {
    std::fprintf(stderr, "no server\n");
    return 1;
  }
  // One call outside the count warms lazy binding and the caches.
  std::uint16_t word = 0;
  std::uint8_t bit = 0;
  const bool warm = QNA_Read(1, 100, 1, &word, 0) == 0 && QNA_ReadBit(1, 1605, 1, &bit, 0) == 0 &&
                    QNA_WriteSmem(1, 100, 1, &word, 0) == 0 && QNA_Write(1, 100, 1, &word, 0) == 0 &&
                    RemoteReady(server.tcp_port());
  const std::uint32_t failed = warm ? mode->measured() : kCalls;
  if (g_queue != 0) QNA_CloseEvQueue(g_queue, 0);
  if (g_pipe != 0) QNA_CloseN(g_pipe);
  if (g_tcp != 0) QNA_CloseS(g_tcp);
  QNA_Close();
  if (failed != 0) std::fprintf(stderr, "%u calls failed\n", failed);
  return failed == 0 ? 0 : 1;
}
