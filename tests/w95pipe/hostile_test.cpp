// A creating side that does not keep to the protocol: pipe headers and
// instance segments written by a hostile peer (instance numbers out of
// range, capacities the segment cannot hold, counts below -1 or above the
// capacity) give a documented error and touch nothing outside the segment;
// a peer that dies holding a direction's lock leaves it abandoned, and the
// reader that gets 95 does not keep it.
#include <thread>
#include <vector>

#include "w95_support.h"

namespace {

using namespace w95t;

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
    EXPECT_EQ(W95NpipeCut(pipe), 0u);
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
  int other_out = -2, other_in = -2;
  std::thread other([&] {
    other_out = MtxWait(record.out.lock, 0);
    other_in = MtxWait(record.in.lock, 0);
    if (other_out == 0) MtxRelease(record.out.lock);
    if (other_in == 0) MtxRelease(record.in.lock);
  });
  other.join();
  EXPECT_EQ(other_out, kWaitOk);
  EXPECT_EQ(other_in, kWaitOk);
  // The pipe still works for what is left of it.
  EXPECT_EQ(Write(pipe, "ab"), Wrote(0, 2));
  EXPECT_EQ(W95NpipeCut(pipe), 0u);
  EXPECT_EQ(W95NpipeClose(pipe), 0u);
}

}  // namespace
