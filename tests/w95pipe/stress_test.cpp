// Two processes push data both ways through one instance at once, each with
// a writer thread and a reader thread, in random piece sizes (many larger
// than the buffers, so writes are cut and reads wait for the rest).  Every
// byte is checked: none lost, duplicated or reordered, and no hang.
//
// The amount is a few MiB each way by default; QNAPI_STRESS=full makes it
// 100 MB each way.  In the TSan build the test process's two threads
// working on one instance at once are what is checked for races.
#include <cstdlib>
#include <future>
#include <random>
#include <thread>
#include <vector>

#include "w95_support.h"

namespace {

using namespace w95t;

constexpr std::uint32_t kCapacity = 64u << 10;
constexpr std::uint32_t kMaxPiece = 150u << 10;

std::uint64_t StressBytes() {
  const char* mode = std::getenv("QNAPI_STRESS");
  return mode != nullptr && std::string(mode) == "full" ? 100'000'000ull : 4ull << 20;
}

// The byte stream of one direction: the same from any start, on both sides.
struct Stream {
  explicit Stream(std::uint32_t seed) : state(seed) {}
  std::uint8_t Next() {
    state = state * 1103515245u + 12345u;
    return static_cast<std::uint8_t>(state >> 23);
  }
  std::uint32_t state;
};

// Writes `total` bytes of the stream in random pieces; false on a failure.
bool Push(Handle pipe, std::uint64_t total, std::uint32_t seed, std::uint32_t piece_seed) {
  Stream stream(seed);
  std::mt19937 random(piece_seed);
  std::vector<std::uint8_t> piece(kMaxPiece);
  std::uint64_t sent = 0;
  while (sent < total) {
    const auto size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(total - sent, 1 + random() % kMaxPiece));
    for (std::uint32_t i = 0; i < size; ++i) piece[i] = stream.Next();
    std::uint32_t done = 0;
    int idle = 0;
    while (done < size) {
      std::uint32_t n = 0;
      if (W95NpipeWrite(pipe, piece.data() + done, size - done, &n) != 0) return false;
      done += n;
      // Full: the reader is behind; let it run.
      idle = n == 0 ? idle + 1 : 0;
      if (idle > 100) SysSleep(1);
    }
    sent += size;
  }
  return true;
}

// Reads `total` bytes in random pieces and checks each against the stream.
// The offset of the first bad byte, or -1 when all were right; -2 on a
// failed or closed read.
std::int64_t Pull(Handle pipe, std::uint64_t total, std::uint32_t seed, std::uint32_t piece_seed) {
  Stream stream(seed);
  std::mt19937 random(piece_seed);
  std::vector<std::uint8_t> piece(kMaxPiece);
  std::uint64_t got = 0;
  while (got < total) {
    const auto size = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(total - got, 1 + random() % kMaxPiece));
    std::uint32_t n = 0;
    if (W95NpipeRead(pipe, piece.data(), size, &n) != 0 || n != size) return -2;
    for (std::uint32_t i = 0; i < size; ++i)
      if (piece[i] != stream.Next()) return static_cast<std::int64_t>(got + i);
    got += size;
  }
  return -1;
}

TEST_F(W95Test, BothWaysThroughOneInstance) {
  const std::uint64_t total = StressBytes();
  const auto limit = total > (64ull << 20) ? 600s : 90s;
  qt::Child child([&] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\stress", &h, 0, 1, kCapacity, kCapacity, 0) != 0) return 1;
    if (W95NpipeConnect(h) != 0) return 2;
    std::int64_t checked = 0;
    std::thread reader([&] { checked = Pull(h, total, 2, 20); });
    const bool pushed = Push(h, total, 1, 10);
    reader.join();
    to_parent.Post('e');
    if (to_child.Take(limit) != 'x') return 3;
    W95NpipeClose(h);
    return !pushed ? 4 : checked == -1 ? 0 : 5;
  });
  Handle pipe = 0;
  ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\stress", &pipe) == 0; }));
  auto pulled = std::async(std::launch::async, [&] { return Pull(pipe, total, 1, 11); });
  auto pushed = std::async(std::launch::async, [&] { return Push(pipe, total, 2, 21); });
  // A hang ends the pipe here, so that the threads return and the test fails.
  const auto deadline = Clock::now() + limit;
  if (pulled.wait_until(deadline) != std::future_status::ready ||
      pushed.wait_until(deadline) != std::future_status::ready) {
    ADD_FAILURE() << "no progress within the limit";
    child.Kill();
    W95NpipeCut(pipe);
  }
  EXPECT_EQ(pulled.get(), -1) << "first wrong byte (-2: the read failed)";
  EXPECT_TRUE(pushed.get());
  EXPECT_EQ(to_parent.Take(limit), 'e');
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(W95NpipeClose(pipe), 0u);
}

}  // namespace

namespace {

using namespace w95t;

constexpr int kInstances = 4;
constexpr std::uint32_t kEchoBytes = 256u << 10;
constexpr std::uint32_t kEchoPiece = 16u << 10;

// Sends what comes back until the client closes (0 bytes), then closes.
void Echo(Handle h, std::atomic<int>& failures) {
  std::vector<std::uint8_t> buffer(kEchoPiece);
  for (;;) {
    std::uint32_t n = 0;
    if (W95NpipeReadSome(h, buffer.data(), kEchoPiece, &n) != 0) {
      ++failures;
      break;
    }
    if (n == 0) break;
    std::uint32_t done = 0;
    while (done < n) {
      std::uint32_t put = 0;
      if (W95NpipeWrite(h, buffer.data() + done, n - done, &put) != 0) {
        ++failures;
        return;
      }
      done += put;
    }
  }
  W95NpipeClose(h);
}

// One client: a stream out and its echo back at once, every byte checked.
bool Client(int index) {
  Handle pipe = 0;
  if (!qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\many", &pipe) == 0; }, 30s)) return false;
  const auto seed = static_cast<std::uint32_t>(index);
  auto echoed = std::async(std::launch::async, [&] { return Pull(pipe, kEchoBytes, seed, seed + 10); });
  const bool pushed = Push(pipe, kEchoBytes, seed, seed + 20);
  return echoed.get() == -1 && pushed && W95NpipeClose(pipe) == 0;
}

// Several instances of one pipe at once: the creating side serves each on a
// thread while it offers the next; the opening side opens, talks and closes
// from several threads.  Each process's tables and records are shared by
// its threads.
TEST_F(W95Test, ManyInstancesServedByThreads) {
  qt::Child child([] {
    std::atomic<int> failures{0};
    std::vector<std::thread> served;
    for (int i = 0; i < kInstances; ++i) {
      Handle h = 0;
      if (W95NpipeCreate("\\pipe\\many", &h, 0, kInstances, 64u << 10, 64u << 10, 0) != 0) return 1;
      if (W95NpipeConnect(h) != 0) return 2;
      served.emplace_back(Echo, h, std::ref(failures));
    }
    for (auto& t : served) t.join();
    return failures == 0 ? 0 : 3;
  });
  std::vector<std::future<bool>> clients;
  for (int i = 0; i < kInstances; ++i) clients.push_back(std::async(std::launch::async, Client, i));
  for (auto& c : clients) EXPECT_TRUE(c.get());
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
