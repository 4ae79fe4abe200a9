// The pipe emulation between two real processes: the creating side runs in a
// forked child, the opening side in the test.  The edge cases of the
// emulation's protocol: the header word's life, opens before a connect,
// partial reads, the capacity cut, the closed mark, no-wait mode, handles,
// entries freed by their last close, and paths with a machine part.
#include <atomic>
#include <thread>

#include "qnapi.h"

#include "w95_support.h"

namespace {

using namespace w95t;

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
// buffer 232, a read makes one pass.
TEST_F(W95Test, NoWaitMode) {
  qt::Child child([this] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\nowait", &h, 0, 0x8001, 32, 32, 0) != 0) return 1;
    if (W95NpipeConnect(h) != win::ERROR_PIPE_NOT_CONNECTED) return 2;
    to_parent.Post('o');
    if (to_child.Take(30s) != 'w') return 3;
    std::uint32_t n = 0;
    if (W95NpipeWrite(h, "xyz", 3, &n) != 0 || n != 3) return 4;
    to_parent.Post('r');
    return to_child.Take(30s) == 'x' ? 0 : 5;
  });
  ASSERT_EQ(to_parent.Take(), 'o');
  Handle pipe = 0;
  ASSERT_EQ(W95NpipeOpen("\\pipe\\nowait", &pipe), 0u);  // the offer stayed in the header
  EXPECT_EQ(Read(pipe, 10), Got(win::ERROR_NO_DATA, ""));
  to_child.Post('w');
  ASSERT_EQ(to_parent.Take(), 'r');
  EXPECT_EQ(Read(pipe, 10), Got(0, "xyz"));
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
}

// Capacities are the creator's choice: odd ones put the in count at an odd
// offset, and bytes still go both ways whole.
TEST_F(W95Test, OddCapacities) {
  qt::Child child([] {
    Handle h = 0;
    if (W95NpipeCreate("\\pipe\\odd", &h, 0, 1, 13, 7, 0) != 0) return 1;
    if (W95NpipeConnect(h) != 0) return 2;
    std::uint32_t n = 0;
    if (W95NpipeWrite(h, "ABCDEFGHIJKLMN", 14, &n) != 0 || n != 13) return 3;
    char in[7];
    if (W95NpipeRead(h, in, 7, &n) != 0 || n != 7 || std::string(in, 7) != "1234567") return 4;
    return W95NpipeClose(h) == 0 ? 0 : 5;
  });
  Handle pipe = 0;
  ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\odd", &pipe) == 0; }));
  EXPECT_EQ(Read(pipe, 13), Got(0, "ABCDEFGHIJKLM"));
  EXPECT_EQ(Write(pipe, "12345678"), Wrote(0, 7));
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(W95NpipeClose(pipe), 0u);
}

// Two instances opened by this process share one entry; the entry goes with
// the last close, and a later open of the name starts a new one.  A path
// with a machine part opens the local pipe.
TEST_F(W95Test, OpenedEntryFreedByItsLastClose) {
  qt::Child child([this] {
    Handle h[2] = {};
    for (int i = 0; i < 2; ++i) {
      if (W95NpipeCreate("\\pipe\\shared", &h[i], 0, 4, 16, 16, 0) != 0) return 1;
      if (W95NpipeConnect(h[i]) != 0) return 2;
    }
    to_parent.Post('2');
    if (to_child.Take(30s) != 'x') return 3;
    for (Handle each : h) W95NpipeClose(each);
    Handle again = 0;
    if (W95NpipeCreate("\\pipe\\shared", &again, 0, 4, 16, 16, 0) != 0) return 4;
    if (W95NpipeOffer(again) != 0) return 5;
    to_parent.Post('r');
    if (W95NpipeAwait(again) != 0) return 5;
    return to_child.Take(30s) == 'y' ? 0 : 6;
  });
  Handle a = 0, b = 0;
  ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\\\OTHERBOX\\pipe\\shared", &a) == 0; }));
  ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\SHARED", &b) == 0; }));
  ASSERT_EQ(to_parent.Take(), '2');
  EXPECT_STREQ(g_w95_opened[0].name, "SHARED");
  EXPECT_EQ(a, 0u);
  EXPECT_EQ(b, 65536u);
  EXPECT_EQ(W95NpipeClose(a), 0u);
  EXPECT_STREQ(g_w95_opened[0].name, "SHARED");
  EXPECT_EQ(W95NpipeClose(b), 0u);
  EXPECT_EQ(g_w95_opened[0].name[0], '\0');
  EXPECT_EQ(g_w95_opened[0].instances, nullptr);
  to_child.Post('x');
  Handle c = 0;
  // Once the creator has made the pipe anew (an open in between would hold
  // the old objects, and the create would find them still there).
  ASSERT_EQ(to_parent.Take(), 'r');
  ASSERT_EQ(W95NpipeOpen("\\pipe\\shared", &c), 0u);
  EXPECT_EQ(c, 0u);
  EXPECT_EQ(W95NpipeClose(c), 0u);
  to_child.Post('y');
  EXPECT_EQ(child.Wait(), 0);
}

}  // namespace
