// The pipe emulation between two real processes: the creating side runs in a
// forked child, the opening side in the test.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/link.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "support/test_support.h"
#include "w95pipe/w95pipe.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A read's or write's result, and the bytes read or the count written.
using Got = std::pair<std::uint32_t, std::string>;
using Wrote = std::pair<std::uint32_t, std::uint32_t>;
inline Got Read(Handle pipe, std::uint32_t size) {
  std::string bytes(size, '\0');
  std::uint32_t n = 7;  // a call that leaves the count alone shows as 7 bytes
  const std::uint32_t result = W95NpipeRead(pipe, bytes.data(), size, &n);
  bytes.resize(n);
  return {result, bytes};
}
inline Wrote Write(Handle pipe, const std::string& bytes) {
  std::uint32_t n = 0;
  const std::uint32_t result =
      W95NpipeWrite(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &n);
  return {result, n};
}

// A mapping opened by name, as another program would open it.
struct View {
  explicit View(std::string name) {
    if (ShmOpen(&view, name.data(), 3, &mapping) != 0) view = nullptr;
  }
  ~View() {
    if (view != nullptr) ShmClose(view, mapping);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  bool ok() const { return view != nullptr; }
  std::int32_t Word(std::size_t offset) const {
    std::int32_t w = 0;
    std::memcpy(&w, static_cast<const std::uint8_t*>(view) + offset, 4);
    return w;
  }
  std::string Bytes(std::size_t offset, std::size_t n) const {
    return std::string(static_cast<const char*>(view) + offset, n);
  }
  void* view = nullptr;
  Handle mapping = 0;
};

// Closes every pipe this process opened, so that each test starts with
// empty tables.
inline void CloseAllOpened() {
  for (std::uint32_t e = 0; e < kW95Entries; ++e) {
    W95PipeEntry& entry = g_w95_opened[e];
    for (std::uint32_t n = 0; entry.name[0] != '\0' && n < entry.max_instances; ++n)
      if (entry.instances[n].in_use != 0) W95NpipeClose(e + n * 65536u);
  }
}

// Each test gets its own platform root and leaves no emulated pipe open.
class W95Test : public ::testing::Test {
 protected:
  ~W95Test() override { CloseAllOpened(); }
  qt::TempRoot root;
  qt::Signal to_child;
  qt::Signal to_parent;
};

TEST(W95Names, ShortNames) {
  const struct {
    const char* path;
    std::uint32_t result;
    const char* short_name;
  } names[] = {
      {"\\pipe\\qoxsmem", 0, "QOXSMEM"},
      {"\\\\.\\pipe\\qoxsmem", 0, "QOXSMEM"},
      {"\\\\OTHERBOX\\Pipe\\Edge", 0, "EDGE"},  // the machine part plays no part
      {"\\PIPE\\qoxevq.12.3", 0, "QOXEVQ.12.3"},
      {"\\\\.\\pipe2\\qoxpipe", 1, ""},
      {"c:\\pipe", 1, ""},
      {"\\pipe\\", 1, ""},  // nothing to name
      {nullptr, 1, ""},
  };
  for (const auto& row : names) {
    char short_name[kW95NameSize] = {};
    EXPECT_EQ(W95NpipeParseName(row.path, short_name), row.result) << (row.path ? row.path : "null");
    if (row.result == 0) {
      EXPECT_STREQ(short_name, row.short_name);
    }
  }
  char short_name[kW95NameSize];
  const std::string long_name = "\\pipe\\" + std::string(kW95NameSize, 'a');
  EXPECT_EQ(W95NpipeParseName(long_name.c_str(), short_name), 1u);
}

// The creating side: the maximum of instances holds, bad arguments are
// refused, and a closed pipe's entry is taken again by the next create.
TEST_F(W95Test, CreatingSideLimitsAndEntries) {
  qt::Child child([] {
    Handle h = 0, multi[3] = {};
    for (Handle& each : multi)
      if (W95NpipeCreate("\\pipe\\multi", &each, 0, 3, 16, 16, 0) != 0) return 10;
    if (W95NpipeCreate("\\PIPE\\MULTI", &h, 0, 3, 16, 16, 0) != 84) return 11;  // no fourth
    if (W95NpipeCreate("\\pipe\\zero", &h, 0, 0, 16, 16, 0) != 87) return 12;  // no instances
    if (W95NpipeCreate("\\nopipe\\x", &h, 0, 1, 16, 16, 0) != 87) return 13;
    // No such instance, no such entry: 6.
    if (W95NpipeClose(multi[2] + 65536) != 6 || W95NpipeClose(32) != 6 || W95NpipeClose(0x10020) != 6)
      return 14;
    for (Handle m : multi)
      if (W95NpipeClose(m) != 0) return 14;
    if (W95NpipeClose(multi[1]) != 6) return 15;  // closed already
    return W95NpipeCreate("\\pipe\\again", &h, 0, 1, 16, 16, 0) == 0 && h == multi[0] ? 0 : 16;
  });
  EXPECT_EQ(child.Wait(), 0);
}

// 65535 after create; an open before the connect takes it (-1) and gives
// 231 at once; the connect offers 0; an open takes it and the word is -1;
// with nothing offered an open polls 50 times, 100 ms apart, then gives 231.
TEST_F(W95Test, HeaderWordAndOpensBeforeConnect) {
  qt::Child child([this] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\life", &h, 0, 2, 32, 32, 0) != 0) return 1;
    to_parent.Post('c');
    if (to_child.Take(30s) != 'g') return 2;
    if (W95NpipeConnect(h) != 0) return 3;
    to_parent.Post('d');
    return to_child.Take(60s) == 'x' ? 0 : 4;
  });
  ASSERT_EQ(to_parent.Take(), 'c');
  View header("\\sharemem\\w95npipe_LIFE");
  ASSERT_TRUE(header.ok());
  EXPECT_EQ(header.Word(0), 65535);

  Handle pipe = 0;
  auto start = Clock::now();
  EXPECT_EQ(W95NpipeOpen("\\pipe\\life", &pipe), win::ERROR_PIPE_BUSY);
  EXPECT_LT(MsSince(start), 2000);  // the first attempt stops at once
  EXPECT_EQ(header.Word(0), -1);
  EXPECT_EQ(g_w95_opened[0].name[0], '\0');  // the failed open kept no entry

  to_child.Post('g');
  ASSERT_TRUE(qt::WaitFor([&] { return header.Word(0) == 0; }));
  ASSERT_EQ(W95NpipeOpen("\\\\.\\pipe\\LIFE", &pipe), 0u);
  EXPECT_EQ(pipe, 0u);
  EXPECT_EQ(header.Word(0), -1);
  EXPECT_EQ(to_parent.Take(), 'd');  // the connect saw the client

  // Nothing offered now: 50 polls 100 ms apart.
  Handle second = 0;
  start = Clock::now();
  EXPECT_EQ(W95NpipeOpen("\\pipe\\life", &second), win::ERROR_PIPE_BUSY);
  const auto waited = MsSince(start);
  EXPECT_GE(waited, 4500);
  EXPECT_LT(waited, 30000);
  EXPECT_EQ(W95NpipeClose(pipe), 0u);
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
}

// One instance with 64-byte buffers, driven step by step from both sides.
TEST_F(W95Test, ReadsWritesCapacityAndClose) {
  qt::Child child([this] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\data", &h, 0, 1, 64, 64, 0) != 0) return 1;
    if (W95NpipeConnect(h) != 0) return 2;
    std::uint32_t n = 0;
    // A read of 10 that finds 4 waits for the other 6.
    if (W95NpipeWrite(h, "0123", 4, &n) != 0 || n != 4) return 3;
    if (to_child.Take(30s) != 'a') return 4;
    if (W95NpipeWrite(h, "456789", 6, &n) != 0 || n != 6) return 5;
    // A read of 4 of 10 leaves 6 at the front.
    if (W95NpipeWrite(h, "abcdefghij", 10, &n) != 0 || n != 10) return 6;
    to_parent.Post('b');
    // The parent fills our in buffer past its capacity.
    if (to_child.Take(30s) != 'c') return 7;
    char in[64];
    if (W95NpipeRead(h, in, 64, &n) != 0 || n != 64) return 8;
    for (int i = 0; i < 64; ++i)
      if (in[i] != static_cast<char>(i)) return 9;
    // The closed mark wakes the parent's blocked read.
    if (to_child.Take(30s) != 'd') return 10;
    return W95NpipeClose(h) == 0 ? 0 : 11;
  });
  Handle pipe = 0;
  ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\data", &pipe) == 0; }));

  char got[16] = {};
  std::uint32_t n = 0;
  std::atomic<bool> done{false};
  std::uint32_t result = 99;
  std::thread reader([&] {
    result = W95NpipeRead(pipe, got, 10, &n);
    done = true;
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_FALSE(done.load());  // 4 of 10 bytes: still waiting
  to_child.Post('a');
  reader.join();
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(got, 10), "0123456789");

  ASSERT_EQ(to_parent.Take(), 'b');
  EXPECT_EQ(Read(pipe, 4), Got(0, "abcd"));
  {
    View segment("\\sharemem\\w95npipe_DATA0");
    ASSERT_TRUE(segment.ok());
    EXPECT_EQ(segment.Word(0), 6);  // out count
    EXPECT_EQ(segment.Bytes(4, 6), "efghij");
  }
  EXPECT_EQ(Read(pipe, 6), Got(0, "efghij"));

  // 60 bytes, then 100 into the 4 left: 4 written; then nothing fits.
  std::string pattern(160, '\0');
  for (int i = 0; i < 160; ++i) pattern[i] = static_cast<char>(i);
  EXPECT_EQ(Write(pipe, pattern.substr(0, 60)), Wrote(0, 60));
  EXPECT_EQ(Write(pipe, pattern.substr(60)), Wrote(0, 4));
  EXPECT_EQ(Write(pipe, "x"), Wrote(0, 0));
  to_child.Post('c');

  done = false;
  n = 77;
  std::thread blocked([&] {
    result = W95NpipeRead(pipe, got, 5, &n);
    done = true;
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(done.load());
  to_child.Post('d');
  blocked.join();
  EXPECT_EQ(result, 0u);
  EXPECT_EQ(n, 0u);
  // The mark stays: reads end with nothing, a write stores nothing (232).
  EXPECT_EQ(Read(pipe, 5), Got(0, ""));
  EXPECT_EQ(Write(pipe, "z"), Wrote(win::ERROR_NO_DATA, 0));
  {
    // Through the link's dispatch: NpipeRead fails (109) instead of asking
    // again for ever, PipeWrite fails.
    g_emulation = 1;
    const std::int32_t read = NpipeRead(reinterpret_cast<void*>(pipe), got, 5, &n);
    const std::uint32_t error = win::GetLastError();
    const int wrote = PipeWrite(pipe, "z", 1, &n);
    g_emulation = 0;
    EXPECT_EQ(read, -1);
    EXPECT_EQ(error, win::ERROR_BROKEN_PIPE);
    EXPECT_EQ(wrote, -1);
  }
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(W95NpipeClose(pipe), 0u);
  EXPECT_EQ(W95NpipeClose(pipe), 6u);
}

// No-wait mode: a connect without a client gives 233, a read of an empty
// buffer 232, a read makes one pass.  Odd capacities put the in count at an
// odd offset, and bytes still go both ways whole, cut at the capacity.
TEST_F(W95Test, NoWaitModeAndOddCapacities) {
  qt::Child child([this] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\nowait", &h, 0, 0x8001, 13, 7, 0) != 0) return 1;
    if (W95NpipeConnect(h) != win::ERROR_PIPE_NOT_CONNECTED) return 2;
    to_parent.Post('o');
    if (to_child.Take(30s) != 'w') return 3;
    std::uint32_t n = 0;
    if (W95NpipeWrite(h, "ABCDEFGHIJKLMN", 14, &n) != 0 || n != 13) return 4;
    to_parent.Post('r');
    if (to_child.Take(30s) != 'x') return 5;
    char in[7];
    if (W95NpipeRead(h, in, 7, &n) != 0 || n != 7 || std::string(in, 7) != "1234567") return 6;
    return 0;
  });
  ASSERT_EQ(to_parent.Take(), 'o');
  Handle pipe = 0;
  ASSERT_EQ(W95NpipeOpen("\\pipe\\nowait", &pipe), 0u);  // the offer stayed in the header
  EXPECT_EQ(Read(pipe, 10), Got(win::ERROR_NO_DATA, ""));
  to_child.Post('w');
  ASSERT_EQ(to_parent.Take(), 'r');
  EXPECT_EQ(Read(pipe, 20), Got(0, "ABCDEFGHIJKLM"));
  EXPECT_EQ(Write(pipe, "12345678"), Wrote(0, 7));
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
}

// Pipe headers and instance segments written by a hostile creating side give
// an error and touch nothing outside the segment.
struct Row {
  const char* name;
  std::int32_t offered;
  std::uint32_t out_capacity, in_capacity, segment;
  std::int32_t out_count, in_count;
  std::uint32_t open, read, write;  // expected results (read and write after a good open)
};

constexpr Row kRows[] = {
    {"RANGE", 300, 16, 16, 40, 0, 0, win::ERROR_PIPE_BUSY, 0, 0},
    {"MAXIMUM", 255, 16, 16, 40, 0, 0, win::ERROR_PIPE_BUSY, 0, 0},
    {"SMALLSEGMENT", 0, 4096, 4096, 64, 0, 0, kW95BadShared, 0, 0},
    {"WRAPPING", 0, 0xFFFFFFF8u, 0x10, 64, 0, 0, kW95BadShared, 0, 0},
    {"NOBUFFERS", 0, 0, 0, 64, 0, 0, kW95BadShared, 0, 0},
    {"OUTHIGH", 0, 16, 16, 40, 17, 0, 0, kW95BadShared, 0},
    {"OUTLOW", 0, 16, 16, 40, -5, 0, 0, kW95BadShared, 0},
    {"INHIGH", 0, 16, 16, 40, 0, 1000, 0, win::ERROR_NO_DATA, kW95BadShared},
    {"INLOW", 0, 16, 16, 40, 0, -2, 0, win::ERROR_NO_DATA, kW95BadShared},
};

void Put(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }

// Makes a pipe's objects by hand, as a hostile creating side would, with the
// row's header and segment; false when an object cannot be made.
bool Forge(const Row& row, std::vector<Handle>& held) {
  const std::string name = row.name;
  Handle h = 0;
  void* view = nullptr;
  std::string object = "\\sem32\\w95npipe_ev_" + name;
  if (EvCreate(object.data(), &h, 0) != 0) return false;
  held.push_back(h);
  object = "\\sem32\\w95npipe_mtx_" + name;
  if (MtxCreate(object.data(), &h, 0) != 0) return false;
  held.push_back(h);
  for (const char* direction : {"out", "in"}) {
    object = "\\sem32\\w95npipe_mtx_" + name + direction + "0";
    if (MtxCreate(object.data(), &h, 0) != 0) return false;
    held.push_back(h);
  }
  object = "\\sharemem\\w95npipe_" + name;
  if (ShmCreate(&view, object.data(), kW95HeaderSize, 2, &h) != 0) return false;
  held.push_back(h);
  auto* header = static_cast<std::uint8_t*>(view);
  Put(header, static_cast<std::uint32_t>(row.offered));
  Put(header + 4, 1);
  Put(header + 8, kW95NoWait);  // no events: a wrong read cannot block the test
  Put(header + 12, row.in_capacity);
  Put(header + 32, row.out_capacity);
  object = "\\sharemem\\w95npipe_" + name + "0";
  if (ShmCreate(&view, object.data(), row.segment, 2, &h) != 0) return false;
  held.push_back(h);
  auto* segment = static_cast<std::uint8_t*>(view);
  Put(segment, static_cast<std::uint32_t>(row.out_count));
  if (std::uint64_t{row.out_capacity} + 8 <= row.segment)
    Put(segment + row.out_capacity + 4, static_cast<std::uint32_t>(row.in_count));
  return true;
}

TEST_F(W95Test, HostileHeadersAndCounts) {
  qt::Child child([this] {
    std::vector<Handle> held;
    for (const Row& row : kRows)
      if (!Forge(row, held)) return 1;
    to_parent.Post('f');
    return to_child.Take(60s) == 'x' ? 0 : 2;
  });
  ASSERT_EQ(to_parent.Take(), 'f');
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    Handle pipe = 0;
    const std::string path = std::string("\\pipe\\") + row.name;
    ASSERT_EQ(W95NpipeOpen(path.c_str(), &pipe), row.open);
    if (row.open != 0) continue;
    EXPECT_EQ(Read(pipe, 4), Got(row.read, ""));
    EXPECT_EQ(Write(pipe, "abcd"), Wrote(row.write, row.write == 0 ? 4 : 0));
    // Nobody reads what was written: the close need not wait for a reader.
    // Cut here, the instance fails every read and write from then on.
    EXPECT_EQ(W95NpipeCut(pipe), 0u);
    EXPECT_EQ(Read(pipe, 4), Got(win::ERROR_BROKEN_PIPE, ""));
    EXPECT_EQ(Write(pipe, "abcd"), Wrote(win::ERROR_NO_DATA, 0));
    EXPECT_EQ(W95NpipeClose(pipe), 0u);
  }
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
}

// The creating side dies holding both direction locks.  Read and write
// report 95 and let the lock go: another thread can take it at once.
TEST_F(W95Test, AbandonedLocksAreNotKept) {
  qt::Child child([this] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\dying", &h, 0, 0x8001, 32, 32, 0) != 0) return 1;
    if (W95NpipeConnect(h) != win::ERROR_PIPE_NOT_CONNECTED) return 2;
    to_parent.Post('o');
    if (to_child.Take(30s) != 'l') return 3;
    const W95Instance& record = g_w95_created[0].instances[0];
    if (MtxWait(record.out.lock, 0) != 0 || MtxWait(record.in.lock, 0) != 0) return 4;
    return 0;  // ends holding both
  });
  ASSERT_EQ(to_parent.Take(), 'o');
  Handle pipe = 0;
  ASSERT_EQ(W95NpipeOpen("\\pipe\\dying", &pipe), 0u);
  to_child.Post('l');
  ASSERT_EQ(child.Wait(), 0);
  EXPECT_EQ(Read(pipe, 8).first, static_cast<std::uint32_t>(kWaitAbandoned));
  EXPECT_EQ(Write(pipe, "ab").first, static_cast<std::uint32_t>(kWaitAbandoned));
  const W95Instance& record = g_w95_opened[0].instances[0];
  std::thread([&] {
    for (Handle lock : {record.out.lock, record.in.lock}) {
      EXPECT_EQ(MtxWait(lock, 0), kWaitOk);
      MtxRelease(lock);
    }
  }).join();
  // The pipe still works for what is left of it.
  EXPECT_EQ(Write(pipe, "ab"), Wrote(0, 2));
  EXPECT_EQ(W95NpipeCut(pipe), 0u);
  EXPECT_EQ(W95NpipeClose(pipe), 0u);
}

// A peer that ends without a close leaves no closed mark.  The side left
// sees that nobody else holds the instance: a read that waits for data gives
// 109, a write into a full buffer 232, whichever side died.
TEST_F(W95Test, APeerThatEndsWithoutACloseIsNoticed) {
  for (const bool creator_dies : {true, false}) {
    SCOPED_TRACE(creator_dies ? "the creating side ends" : "the opening side ends");
    Handle pipe = 0;
    std::unique_ptr<qt::Child> child;
    if (creator_dies) {
      child = std::make_unique<qt::Child>([] {
        Handle h = 0;
        if (W95NpipeCreate("\\pipe\\gone", &h, 0, 1, 16, 16, 0) != 0) return 1;
        return W95NpipeConnect(h) == 0 ? 0 : 2;  // ends holding the instance
      });
      ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\gone", &pipe) == 0; }));
    } else {
      // Forked first: a child forked later would share this process's
      // hold on the segment instead of taking its own.
      child = std::make_unique<qt::Child>([this] {
        Handle h = 0;
        if (!qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\gone", &h) == 0; })) return 1;
        return to_child.Take(30s) == 'e' ? 0 : 2;  // ends once connected
      });
      ASSERT_EQ(W95NpipeCreate("\\pipe\\gone", &pipe, 0, 1, 16, 16, 0), 0u);
      ASSERT_EQ(W95NpipeConnect(pipe), 0u);
      to_child.Post('e');
    }
    ASSERT_EQ(child->Wait(), 0);
    EXPECT_EQ(Read(pipe, 4), Got(win::ERROR_BROKEN_PIPE, ""));
    EXPECT_EQ(Write(pipe, std::string(16, 'f')), Wrote(0, 16));
    EXPECT_EQ(Write(pipe, "x"), Wrote(win::ERROR_NO_DATA, 0));
    EXPECT_EQ(W95NpipeClose(pipe), 0u);
  }
}

// Two processes push data both ways at once through several instances, in
// random piece sizes (many larger than the buffers), and check every byte.
// QNAPI_STRESS=full makes it 100 MB each way.
constexpr int kInstances = 3;
constexpr std::uint32_t kCapacity = 64u << 10;
constexpr std::uint32_t kMaxPiece = 150u << 10;

std::uint64_t StressBytes() {
  const char* mode = std::getenv("QNAPI_STRESS");
  return mode != nullptr && std::string(mode) == "full" ? 100'000'000ull : 2ull << 20;
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

std::uint32_t PieceSize(std::mt19937& random, std::uint64_t left) {
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(left, 1 + random() % kMaxPiece));
}

// Writes `total` bytes of the stream in random pieces; false on a failure.
bool Push(Handle pipe, std::uint64_t total, std::uint32_t seed) {
  Stream stream(seed);
  std::mt19937 random(seed + 100);
  std::vector<std::uint8_t> piece(kMaxPiece);
  std::uint64_t sent = 0;
  while (sent < total) {
    const std::uint32_t size = PieceSize(random, total - sent);
    for (std::uint32_t i = 0; i < size; ++i) piece[i] = stream.Next();
    std::uint32_t done = 0;
    int idle = 0;
    while (done < size) {
      std::uint32_t n = 0;
      if (W95NpipeWrite(pipe, piece.data() + done, size - done, &n) != 0) return false;
      done += n;
      idle = n == 0 ? idle + 1 : 0;  // full: let the reader run
      if (idle > 100) SysSleep(1);
    }
    sent += size;
  }
  return true;
}

// Reads `total` bytes in random pieces and checks them: the offset of the
// first bad byte, -1 when all were right, -2 on a failed or closed read.
std::int64_t Pull(Handle pipe, std::uint64_t total, std::uint32_t seed) {
  Stream stream(seed);
  std::mt19937 random(seed + 200);
  std::vector<std::uint8_t> piece(kMaxPiece);
  std::uint64_t got = 0;
  while (got < total) {
    const std::uint32_t size = PieceSize(random, total - got);
    std::uint32_t n = 0;
    if (W95NpipeRead(pipe, piece.data(), size, &n) != 0 || n != size) return -2;
    for (std::uint32_t i = 0; i < size; ++i)
      if (piece[i] != stream.Next()) return static_cast<std::int64_t>(got + i);
    got += size;
  }
  return -1;
}

// Both directions of one instance at once; a wrong byte cuts the instance.
bool BothWays(Handle pipe, std::uint64_t total, bool creating) {
  std::uint32_t entry = 0, instance = 0;
  if (W95NpipeSplitHandle(pipe, &entry, &instance) != 0) return false;
  const std::uint32_t out = 2 * instance + (creating ? 1 : 2);
  const std::uint32_t in = 2 * instance + (creating ? 2 : 1);
  auto pulled = std::async(std::launch::async, [&] {
    const std::int64_t checked = Pull(pipe, total, in);
    if (checked != -1) W95NpipeCut(pipe);
    return checked;
  });
  const bool pushed = Push(pipe, total, out);
  return pulled.get() == -1 && pushed;
}

TEST_F(W95Test, BothWaysThroughSeveralInstancesAtOnce) {
  const std::uint64_t total = StressBytes();
  const auto limit = total > (64ull << 20) ? 600s : 90s;
  qt::Child child([&] {
    std::vector<std::future<bool>> served;
    for (std::uint32_t i = 0; i < kInstances; ++i) {
      Handle h = 0;
      if (W95NpipeCreate("\\pipe\\stress", &h, 0, kInstances, kCapacity, kCapacity, 0) != 0)
        return 1;
      if (W95NpipeConnect(h) != 0) return 2;
      served.push_back(std::async(std::launch::async, [=] { return BothWays(h, total, true); }));
    }
    bool ok = true;
    for (auto& s : served) ok = s.get() && ok;
    to_parent.Post('e');
    if (to_child.Take(limit) != 'x') return 3;
    return ok ? 0 : 4;
  });
  std::vector<Handle> pipes(kInstances, kInvalidHandle);
  std::vector<std::future<bool>> clients;
  for (std::uint32_t i = 0; i < kInstances; ++i) {
    clients.push_back(std::async(std::launch::async, [&, i] {
      return qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\stress", &pipes[i]) == 0; }, 30s) &&
             BothWays(pipes[i], total, false);
    }));
  }
  // A hang ends the pipes here, so that the threads return and the test fails.
  const auto deadline = Clock::now() + limit;
  for (std::uint32_t i = 0; i < kInstances; ++i) {
    if (clients[i].wait_until(deadline) != std::future_status::ready) {
      ADD_FAILURE() << "no progress within the limit";
      child.Kill();
      for (Handle pipe : pipes) W95NpipeCut(pipe);
      break;
    }
  }
  for (auto& c : clients) EXPECT_TRUE(c.get()) << "a wrong byte, a failed read or a failed write";
  EXPECT_EQ(to_parent.Take(limit), 'e');
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
