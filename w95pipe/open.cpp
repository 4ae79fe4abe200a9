// open.cpp - the opening side: W95NpipeOpen opens a pipe by name and takes
// the instance its creator offers (lock rules in internal.h).
//
// What the header holds was written by another process and is checked
// before it is used: an instance number outside the table is no offer
// (231), and capacities that the segment cannot hold are refused (13)
// before any count or data is touched.
#include <algorithm>
#include <new>

#include "w95pipe/internal.h"

namespace {

using namespace w95;

constexpr int kOfferPolls = 50;
constexpr std::uint32_t kOfferPollMs = 100;

std::uint32_t Word(const std::uint8_t* wire, int index) {
  std::uint32_t v = 0;
  for (int b = 3; b >= 0; --b) v = (v << 8) | wire[index * 4 + b];
  return v;
}

// Opens the entry's own objects: 0, 2 when the pipe was never created, 13
// when its header is too small to be one, 8 without memory.
std::uint32_t OpenEntry(W95PipeEntry& entry, const char* short_name) {
  entry.max_instances = kW95OpenInstances;
  entry.close_timeout_ms = kW95DefaultCloseMs;
  std::memcpy(entry.name, short_name, std::strlen(short_name) + 1);
  ObjectName name;
  MakeName(name, kEventPrefix, entry.name);
  if (EvOpen(name, &entry.connect_event) != 0) return win::ERROR_FILE_NOT_FOUND;
  MakeName(name, kLockPrefix, entry.name);
  if (MtxOpen(name, &entry.pipe_lock) != 0) return win::ERROR_FILE_NOT_FOUND;
  void* header = nullptr;
  MakeName(name, kHeaderPrefix, entry.name);
  if (ShmOpen(&header, name, 3, &entry.header_mapping) != 0) return win::ERROR_FILE_NOT_FOUND;
  entry.header = static_cast<std::uint8_t*>(header);
  if (ShmSize(entry.header_mapping) < 4 + kW95RecordSize) return kW95BadShared;
  entry.instances = new (std::nothrow) W95Instance[entry.max_instances]();
  if (entry.instances == nullptr) return win::ERROR_NOT_ENOUGH_MEMORY;
  return 0;
}

// Takes the offer from the header: the offered word and the record's copy.
// 0, or 231 when the pipe lock could not be had.
std::uint32_t TakeOffer(W95PipeEntry& entry, std::int32_t* word, W95WireRecord& wire) {
  for (int attempt = 1;; ++attempt) {
    const int locked = MtxWait(entry.pipe_lock, kInfinite);
    if (locked != kWaitOk) {
      // An abandoned lock is ours now; it is not kept.
      if (locked == kWaitAbandoned) MtxRelease(entry.pipe_lock);
      return win::ERROR_PIPE_BUSY;
    }
    *word = LoadHeaderWord(entry.header);
    if (*word >= 0 || attempt == kOfferPolls) break;
    MtxRelease(entry.pipe_lock);
    SysSleep(kOfferPollMs);
  }
  std::memcpy(wire, entry.header + 4, sizeof wire);
  StoreHeaderWord(entry.header, -1);
  MtxRelease(entry.pipe_lock);
  return 0;
}

// Opens the objects of instance `n` as the offer describes them and fills
// the record: 0, the failed open's result, or 13 for an offer the segment
// cannot hold.
std::uint32_t OpenInstance(const W95PipeEntry& entry, std::uint32_t n, const W95WireRecord& wire,
                           W95Instance& record) {
  W95Instance made{};
  made.no_wait = static_cast<std::uint16_t>((Word(wire, 1) & kW95NoWait) != 0 ? kW95NoWait : 0);
  made.in.capacity = Word(wire, 2);
  made.out.capacity = Word(wire, 7);
  ObjectName name;
  void* segment = nullptr;
  Handle mapping = 0;
  MakeName(name, kHeaderPrefix, entry.name, "", n);
  if (ShmOpen(&segment, name, 3, &mapping) != 0) return kW95WaitFailed;
  made.out.buffer = static_cast<std::uint8_t*>(segment);  // owned for CloseRecord
  made.out.mapping = mapping;
  // The capacities come from the other process: the segment must hold them
  // (and a buffer) before any count is read.
  const std::uint64_t needed = SegmentSize(made.out.capacity, made.in.capacity);
  if ((made.out.capacity == 0 && made.in.capacity == 0) || needed > ShmSize(mapping)) {
    CloseRecord(made);
    return kW95BadShared;
  }
  int rc = 0;
  MakeName(name, kLockPrefix, entry.name, "out", n);
  rc = MtxOpen(name, &made.out.lock);
  MakeName(name, kLockPrefix, entry.name, "in", n);
  if (rc == 0) rc = MtxOpen(name, &made.in.lock);
  if (made.no_wait == 0) {
    MakeName(name, kEventPrefix, entry.name, "out", n);
    if (rc == 0) rc = EvOpen(name, &made.out.event);
    MakeName(name, kEventPrefix, entry.name, "in", n);
    if (rc == 0) rc = EvOpen(name, &made.in.event);
  }
  if (rc != 0) {
    CloseRecord(made);
    return kW95WaitFailed;
  }
  Install(record, made, static_cast<std::uint8_t*>(segment), mapping, false);
  return 0;
}

}  // namespace

std::uint32_t W95NpipeOpen(const char* path, Handle* handle) {
  char short_name[kW95NameSize];
  if (handle == nullptr || W95NpipeParseName(path, short_name) != 0)
    return win::ERROR_INVALID_PARAMETER;
  std::lock_guard guard(g_struct);
  bool existing = false;
  W95PipeEntry* entry = Scan(g_w95_opened, short_name, &existing);
  if (entry == nullptr) return 84;  // ERROR_OUT_OF_STRUCTURES
  // A failure releases an entry that this open took from the free ones.
  const auto fail = [&](std::uint32_t result) {
    if (!existing) ReleaseEntry(*entry);
    return result;
  };
  if (!existing) {
    const std::uint32_t opened = OpenEntry(*entry, short_name);
    if (opened != 0) return fail(opened);
  } else if (!std::any_of(entry->instances, entry->instances + entry->max_instances,
                          [](const W95Instance& r) { return r.in_use == 0; })) {
    return 84;
  }
  std::int32_t word = -1;
  W95WireRecord wire;
  const std::uint32_t taken = TakeOffer(*entry, &word, wire);
  if (taken != 0) return fail(taken);
  if (word < 0 || static_cast<std::uint32_t>(word) >= entry->max_instances)
    return fail(win::ERROR_PIPE_BUSY);
  const auto n = static_cast<std::uint32_t>(word);
  if (entry->instances[n].in_use != 0) return fail(110);  // ERROR_OPEN_FAILED
  const std::uint32_t opened = OpenInstance(*entry, n, wire, entry->instances[n]);
  if (opened != 0) return fail(opened);
  // The creating side held the segment before it offered the instance.
  entry->instances[n].peer_seen.store(true);
  EvSet(entry->connect_event);
  *handle = static_cast<Handle>(entry - g_w95_opened) + static_cast<Handle>(n) * 65536u;
  g_w95_side = kSideOpened;
  return 0;
}
