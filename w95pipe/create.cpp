// create.cpp - the creating side of the emulation: W95NpipeCreate makes a
// pipe or a further instance of it, W95NpipeConnect offers an instance and
// waits until a client has taken it (lock rules in internal.h).
#include <new>

#include "w95pipe/internal.h"

namespace {

using namespace w95;

// Makes the objects of instance `n` and fills its record: 0 or the failed
// create's result, with nothing of this instance left open.
std::uint32_t MakeInstance(const W95PipeEntry& entry, std::uint32_t n, std::uint16_t mode,
                           std::uint32_t out_capacity, std::uint32_t in_capacity,
                           W95Instance& record) {
  // A pipe without a buffer could carry nothing; a segment must fit a u32.
  const std::uint64_t size = SegmentSize(out_capacity, in_capacity);
  if ((out_capacity == 0 && in_capacity == 0) || size > 0x7FFFFFFFu)
    return win::ERROR_INVALID_PARAMETER;
  ObjectName name;
  W95Instance made{};
  made.no_wait = (mode & kW95NoWait) != 0 ? kW95NoWait : 0;
  made.out.capacity = out_capacity;
  made.in.capacity = in_capacity;
  void* segment = nullptr;
  Handle mapping = 0;
  MakeName(name, kHeaderPrefix, entry.name, "", n);
  if (ShmCreate(&segment, name, static_cast<std::uint32_t>(size), 2, &mapping) != 0)
    return kW95WaitFailed;
  int rc = 0;
  MakeName(name, kLockPrefix, entry.name, "out", n);
  rc = MtxCreate(name, &made.out.lock, 0);
  MakeName(name, kLockPrefix, entry.name, "in", n);
  if (rc == 0) rc = MtxCreate(name, &made.in.lock, 0);
  if (made.no_wait == 0) {
    MakeName(name, kEventPrefix, entry.name, "out", n);
    if (rc == 0) rc = EvCreate(name, &made.out.event, 0);
    MakeName(name, kEventPrefix, entry.name, "in", n);
    if (rc == 0) rc = EvCreate(name, &made.in.event, 0);
  }
  // The record owns the segment from here, so CloseRecord can undo all of it.
  made.out.buffer = static_cast<std::uint8_t*>(segment);
  made.out.mapping = mapping;
  if (rc != 0) {
    CloseRecord(made);
    return kW95WaitFailed;
  }
  Install(record, made, static_cast<std::uint8_t*>(segment), mapping, true);
  return 0;
}

// A new entry: its objects and its zeroed instance array.  0 or the failure.
std::uint32_t MakeEntry(W95PipeEntry& entry, const char* short_name, std::uint16_t mode,
                        std::uint32_t timeout_ms) {
  entry.max_instances = mode & 0xFFu;
  if (entry.max_instances == 0) return win::ERROR_INVALID_PARAMETER;
  entry.close_timeout_ms = timeout_ms != 0 ? timeout_ms : kW95DefaultCloseMs;
  std::memcpy(entry.name, short_name, std::strlen(short_name) + 1);
  ObjectName name;
  MakeName(name, kEventPrefix, entry.name);
  if (EvCreate(name, &entry.connect_event, 0) != 0) return kW95WaitFailed;
  MakeName(name, kLockPrefix, entry.name);
  if (MtxCreate(name, &entry.pipe_lock, 0) != 0) return kW95WaitFailed;
  void* header = nullptr;
  MakeName(name, kHeaderPrefix, entry.name);
  if (ShmCreate(&header, name, kW95HeaderSize, 2, &entry.header_mapping) != 0) return kW95WaitFailed;
  entry.header = static_cast<std::uint8_t*>(header);
  entry.instances = new (std::nothrow) W95Instance[entry.max_instances]();
  if (entry.instances == nullptr) return win::ERROR_NOT_ENOUGH_MEMORY;
  return 0;
}

}  // namespace

std::uint32_t W95NpipeCreate(const char* path, Handle* handle, std::uint32_t, std::uint16_t mode,
                             std::uint32_t out_capacity, std::uint32_t in_capacity,
                             std::uint32_t timeout_ms) {
  char short_name[kW95NameSize];
  if (handle == nullptr || W95NpipeParseName(path, short_name) != 0)
    return win::ERROR_INVALID_PARAMETER;
  std::lock_guard guard(g_struct);
  bool existing = false;
  W95PipeEntry* entry = Scan(g_w95_created, short_name, &existing);
  if (entry == nullptr) return 84;  // ERROR_OUT_OF_STRUCTURES
  std::uint32_t n = 0;
  if (!existing) {
    const std::uint32_t made = MakeEntry(*entry, short_name, mode, timeout_ms);
    if (made != 0) {
      ReleaseEntry(*entry);
      return made;
    }
  } else {
    while (n < entry->max_instances && entry->instances[n].in_use != 0) ++n;
    if (n >= entry->max_instances) return 84;
  }
  const std::uint32_t made =
      MakeInstance(*entry, n, mode, out_capacity, in_capacity, entry->instances[n]);
  if (made != 0) {
    if (!existing) ReleaseEntry(*entry);
    return made;
  }
  *handle = static_cast<Handle>(entry - g_w95_created) + static_cast<Handle>(n) * 65536u;
  // The 16-bit store of the original leaves 65535 in the zeroed word.
  if (!existing) StoreHeaderWord(entry->header, 0xFFFF);
  g_w95_side = kSideCreated;
  return 0;
}

namespace {

// The instance of a handle of the creating side: 0, or 6.
std::uint32_t Created(Handle handle, W95PipeEntry** entry, W95Instance** record,
                      std::uint32_t* n) {
  if (g_w95_side == kSideOpened) return win::ERROR_INVALID_HANDLE;
  std::lock_guard guard(g_struct);
  std::uint32_t index = 0;
  if (W95NpipeSplitHandle(handle, &index, n) != 0) return win::ERROR_INVALID_HANDLE;
  *entry = &g_w95_created[index];
  return W95NpipeGetInstance(**entry, *n, record) != 0 ? win::ERROR_INVALID_HANDLE : 0;
}

}  // namespace

std::uint32_t W95NpipeOffer(Handle handle) {
  W95PipeEntry* entry = nullptr;
  W95Instance* record = nullptr;
  std::uint32_t n = 0;
  if (Created(handle, &entry, &record, &n) != 0) return win::ERROR_INVALID_HANDLE;
  const int locked = MtxWait(entry->pipe_lock, record->no_wait != 0 ? 0 : kInfinite);
  if (locked == kWaitTimeout) return win::ERROR_PIPE_NOT_CONNECTED;
  // An abandoned lock (a client died while taking an offer) is ours now and
  // the header is rewritten whole; any other failure leaves the header alone.
  if (locked != kWaitOk && locked != kWaitAbandoned) return WaitResult(locked);
  W95WireRecord wire;
  W95RecordToWire(*record, wire);
  std::memcpy(entry->header + 4, wire, sizeof wire);
  StoreHeaderWord(entry->header, static_cast<std::int32_t>(n));
  MtxRelease(entry->pipe_lock);
  return 0;
}

std::uint32_t W95NpipeAwait(Handle handle) {
  W95PipeEntry* entry = nullptr;
  W95Instance* record = nullptr;
  std::uint32_t n = 0;
  if (Created(handle, &entry, &record, &n) != 0) return win::ERROR_INVALID_HANDLE;
  const std::uint32_t wait = record->no_wait != 0 ? 0 : kInfinite;
  // The event may be set by a cut of this process as well as by a client:
  // a client is there only once the offer is gone from the header.
  for (;;) {
    const int waited = EvWait(entry->connect_event, wait);
    if (waited == kWaitTimeout) return win::ERROR_PIPE_NOT_CONNECTED;
    if (waited != kWaitOk) return WaitResult(waited);
    std::uint32_t ignored = 0;
    EvReset(entry->connect_event, &ignored);
    if (record->cut.load()) return win::ERROR_PIPE_NOT_CONNECTED;
    if (LoadHeaderWord(entry->header) != static_cast<std::int32_t>(n)) {
      // A client sets the event once it holds the instance, so this look
      // marks it seen; a wake-up for another reason may come while it is
      // still opening, and then a later look sees it.
      PeerGone(*record);
      return 0;
    }
    if (wait == 0) return win::ERROR_PIPE_NOT_CONNECTED;
  }
}

std::uint32_t W95NpipeConnect(Handle handle) {
  const std::uint32_t offered = W95NpipeOffer(handle);
  return offered != 0 ? offered : W95NpipeAwait(handle);
}
