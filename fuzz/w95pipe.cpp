// w95pipe.cpp - fuzz target: the emulated pipe's opening side against a
// creating side made by hand from the input (header, locks, events, one
// segment), opened, read and written a few times and closed.  Nothing may
// block: an instance is always offered, and a normal-mode read never asks for
// more than the peer's data hold.
// Input layout (little-endian; past the end everything is zero):
//   byte    flags: bit 0 events even in no-wait mode, bit 1 no direction
//           locks, bit 2 segment under the wrong instance number, bits 3-4
//           how the peer ends (0 cut, 1 drains the in buffer, 2 closes its
//           out buffer)
//   byte    offered instance; 255: a u32 follows (its top bit cleared)
//   u32 x4  in-use word, mode word (0x8000: no-wait), in capacity, out capacity
//   u16     segment size (0 taken as 1)
//   u32 x2  out count, in count
//   4 x (byte kind, u32 size): bit 0 of kind write, else read; the size's
//           low 16 bits count, and bit 1 of a read's kind sets its top bit
//   rest    the segment's bytes (before the counts are put in)
#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "w95pipe/w95pipe.h"

namespace {

constexpr const char* kPath = "\\pipe\\fuzz";
constexpr int kOps = 4;

// One of the creating side's objects: 'e' an event, 'm' a mutex, 's' a
// mapping of `size` bytes.
struct Object {
  char kind;
  std::string name;
  std::uint32_t size = 0;
  Handle handle = 0;
  void* view = nullptr;
  bool operator==(const Object& o) const { return kind == o.kind && name == o.name && size == o.size; }
};

// Makes `wanted` the creating side's objects.  Making and removing a named
// object is most of an input's cost, so one the input before had is kept and
// made as new (zeroed, reset, let go); the others go before the library looks.
void Provide(std::vector<Object>& wanted) {
  static std::vector<Object> kept;
  for (const Object& k : kept) {
    if (std::find(wanted.begin(), wanted.end(), k) == wanted.end())
      k.kind == 's' ? ShmClose(k.view, k.handle) : HndClose(k.handle);
  }
  for (Object& w : wanted) {
    std::string text = w.name;  // upper-cased by the calls
    if (const auto k = std::find(kept.begin(), kept.end(), w); k != kept.end()) {
      w = *k;
      if (w.kind == 's') std::memset(w.view, 0, w.size);
      if (w.kind == 'e') EvReset(w.handle, nullptr);
      while (w.kind == 'm' && MtxRelease(w.handle) == 0) {
      }
    } else if ((w.kind == 's'   ? ShmCreate(&w.view, text.data(), w.size, 2, &w.handle)
                : w.kind == 'e' ? EvCreate(text.data(), &w.handle, 0)
                                : MtxCreate(text.data(), &w.handle, 0)) != 0) {
      std::abort();
    }
  }
  kept = wanted;
}

void Put(std::uint8_t* at, std::uint32_t value) { std::memcpy(at, &value, 4); }
std::int32_t Get(const std::uint8_t* at) {
  std::int32_t value = 0;
  std::memcpy(&value, at, 4);
  return value;
}

// Where the segment holds a count word, or nullptr: the buffers lie as the
// record's capacities say, when the segment is large enough for them.
struct Layout {
  std::uint8_t* out = nullptr;  // count word of creating -> opening
  std::uint8_t* in = nullptr;   // count word of opening -> creating
};
Layout Locate(std::uint8_t* segment, std::uint32_t size, std::uint32_t out_capacity,
              std::uint32_t in_capacity) {
  Layout l;
  if (std::uint64_t{out_capacity} + in_capacity + 8 > size) return l;
  if (out_capacity != 0) l.out = segment;
  if (in_capacity != 0) l.in = segment + (out_capacity != 0 ? std::size_t{out_capacity} + 4 : 0);
  return l;
}

// The opening side's tables hold nothing once every handle is closed.
bool TablesEmpty() {
  for (const W95PipeEntry& entry : g_w95_opened)
    if (entry.name[0] != '\0' || entry.instances != nullptr) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::MakePrivateRoot("w95pipe");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fz::Input in(data, size);
  const std::uint8_t flags = in.Byte();
  std::uint32_t offered = in.Byte();
  if (offered == 0xFF) offered = in.Word() & 0x7FFFFFFFu;
  const std::uint32_t in_use = in.Word();
  const std::uint32_t mode = in.Word();
  const std::uint32_t in_capacity = in.Word();
  const std::uint32_t out_capacity = in.Word();
  std::uint32_t segment_size = in.Byte();
  segment_size |= std::uint32_t{in.Byte()} << 8;
  if (segment_size == 0) segment_size = 1;
  const std::uint32_t out_count = in.Word();
  const std::uint32_t in_count = in.Word();
  struct Op {
    bool write;
    std::uint32_t size;
  } ops[kOps];
  for (Op& op : ops) {
    const std::uint8_t kind = in.Byte();
    op.write = (kind & 1) != 0;
    // A write takes as many bytes as it is given: only a read gets a size
    // with the top bit (which asks for nothing).
    op.size = in.Word() & 0xFFFFu;
    if (!op.write && (kind & 2) != 0) op.size |= 0x80000000u;
  }
  const std::span<const std::uint8_t> contents = in.Rest();
  const bool no_wait = (mode & kW95NoWait) != 0;

  {
    const std::string name = "\\w95npipe_FUZZ";
    // A segment under another number than the offered one: the open finds none.
    const std::string number = std::to_string((flags & 4) != 0 ? offered + 1 : offered);
    std::vector<Object> objects{{'s', "\\sharemem" + name, kW95HeaderSize},
                                {'s', "\\sharemem" + name + number, segment_size},
                                {'e', "\\sem32\\w95npipe_ev_FUZZ"},
                                {'m', "\\sem32\\w95npipe_mtx_FUZZ"}};
    for (const char* direction : {"out", "in"}) {
      if ((flags & 2) == 0)
        objects.push_back({'m', "\\sem32\\w95npipe_mtx_FUZZ" + (direction + number)});
      if (!no_wait || (flags & 1) != 0)
        objects.push_back({'e', "\\sem32\\w95npipe_ev_FUZZ" + (direction + number)});
    }
    Provide(objects);
    auto* header = static_cast<std::uint8_t*>(objects[0].view);
    Put(header, offered);
    Put(header + 4, in_use);
    Put(header + 8, mode);
    Put(header + 12, in_capacity);
    Put(header + 32, out_capacity);
    auto* segment = static_cast<std::uint8_t*>(objects[1].view);
    if (!contents.empty())
      std::memcpy(segment, contents.data(), std::min<std::size_t>(contents.size(), segment_size));
    const Layout counts = Locate(segment, segment_size, out_capacity, in_capacity);
    if (counts.out != nullptr) Put(counts.out, out_count);
    if (counts.in != nullptr) Put(counts.in, in_count);

    const std::size_t handles_before = PlatformOpenHandles();
    Handle pipe = 0;
    const std::uint32_t opened = W95NpipeOpen(kPath, &pipe);
    if (opened == 0) {
      for (const Op& op : ops) {
        std::uint32_t done = 0;
        // Exactly the size asked for (the top bit asks for nothing: one byte).
        const std::size_t room = (op.size & 0x80000000u) != 0 ? 1 : op.size;
        if (op.write) {
          std::vector<std::uint8_t> bytes(room, 0x5A);
          W95NpipeWrite(pipe, bytes.data(), op.size, &done);
          continue;
        }
        std::uint32_t wanted = op.size;
        // A normal-mode read waits while it lacks bytes: no more than a true
        // count offers (a false count or the closed mark ends it at once).
        if (!no_wait && counts.out != nullptr && wanted < 0x80000000u) {
          const std::int32_t c = Get(counts.out);
          if (c >= 0 && static_cast<std::uint32_t>(c) <= out_capacity) {
            if (c == 0) continue;
            wanted = std::min(wanted, static_cast<std::uint32_t>(c));
          }
        }
        std::vector<std::uint8_t> buffer(std::max<std::size_t>(room, 1));
        W95NpipeRead(pipe, buffer.data(), wanted, &done);
        if (done > wanted) std::abort();
      }
      // So that the close need not wait for a reader of what was written.
      const unsigned end = (flags >> 3) & 3;
      if (end == 2 && counts.out != nullptr) {
        Put(counts.out, 0xFFFFFFFFu);
      } else if (end != 0 && counts.in != nullptr) {
        Put(counts.in, 0);
      } else {
        W95NpipeCut(pipe);
      }
      if (W95NpipeClose(pipe) != 0) std::abort();
    }
    // Every object the library opened is closed again.
    if (!TablesEmpty() || PlatformOpenHandles() != handles_before) std::abort();
  }
  return 0;
}
