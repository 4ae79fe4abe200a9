// instructions.cpp - a fixed number of calls for counting instructions with
// callgrind, which makes the counts repeatable where times are not.
//
//   instructions read    1000 one-word locked QNA_Read calls
//   instructions write   1000 one-word QNA_Write exchanges (the client's side)
//
// Count only what Measured* runs, after one call outside it has warmed up
// lazy binding and the caches of the C library:
//   valgrind --tool=callgrind --toggle-collect='Measured*'
//            build/bench/bench/instructions read
// and divide the total Ir by 1000 (docs/performance.md has the figures).
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

[[gnu::noinline]] std::uint32_t MeasuredWrites() {
  std::uint32_t failed = 0;
  std::uint16_t word = 7;
  for (int i = 0; i < kCalls; ++i) failed += QNA_Write(1, 100, 1, &word, 0) != 0;
  return failed;
}

}  // namespace

int main(int argc, char** argv) {
  const bool read = argc == 2 && std::strcmp(argv[1], "read") == 0;
  const bool write = argc == 2 && std::strcmp(argv[1], "write") == 0;
  if (!read && !write) {
    std::fprintf(stderr, "usage: instructions read|write\n");
    return 2;
  }
  bench::Server server;
  QNA_REGREC me{0, 0, {'C', 'O', 'U', 'N', 'T', 0, 0, 0}};
  if (!server.ok() || QNA_Open(&me) != 0) {
    std::fprintf(stderr, "no server\n");
    return 1;
  }
  std::uint16_t word = 0;
  const bool warm = read ? QNA_Read(1, 100, 1, &word, 0) == 0 : QNA_Write(1, 100, 1, &word, 0) == 0;
  const std::uint32_t failed = warm ? (read ? MeasuredReads() : MeasuredWrites()) : kCalls;
  QNA_Close();
  if (failed != 0) std::fprintf(stderr, "%u calls failed\n", failed);
  return failed == 0 ? 0 : 1;
}
