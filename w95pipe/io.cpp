// io.cpp - reading, writing, cutting and closing an instance (lock rules in
// internal.h).
//
// Faults of the original design that are mended here:
//   * an abandoned direction lock (95) is reported, and released: a lock
//     whose owner died is not left owned by a thread that goes on;
//   * a count that cannot be true (below -1, above the capacity) is
//     reported as 13 before any byte is copied;
//   * a write stores nothing once its buffer carries the closed mark, or once
//     the peer has closed (the buffer it writes shows the mark): 232, as a
//     write to a pipe whose reader has gone;
//   * a close first lets the reader take what is still waiting (within the
//     close time-out, while the reader is there), since the closed mark takes
//     the place of the count: a last request written just before the close
//     would otherwise be lost;
//   * a read that waits for data looks every so often whether the peer
//     process still holds the segment, and so does a write that finds no
//     room: a peer that died leaves no closed mark, and the other side would
//     wait for ever (a client for its reply, a server for a request or for
//     room in a dead client's buffer).
#include <algorithm>
#include <thread>

#include "w95pipe/internal.h"

namespace {

using namespace w95;

// What one read or write needs of its record, copied out of it.
struct Side {
  W95Instance* record;
  W95Direction mine;   // the direction this call works on
  W95Direction other;  // the opposite one
  bool no_wait;
};

// The direction a side reads (reading) or writes.
std::uint32_t Find(Handle handle, bool reading, Side* side) {
  const std::uint32_t which = g_w95_side;
  W95PipeEntry* entry = nullptr;
  W95Instance* record = nullptr;
  if (Lookup(which, handle, &entry, &record) != 0) return win::ERROR_INVALID_HANDLE;
  // The creating side reads "in" and writes "out"; the opening side the reverse.
  const bool use_in = (which == kSideCreated) == reading;
  side->record = record;
  side->mine = use_in ? record->in : record->out;
  side->other = use_in ? record->out : record->in;
  side->no_wait = record->no_wait != 0;
  return 0;
}

// Takes a direction's lock: 0, or the wait's outcome with the lock not held.
std::uint32_t Take(const W95Direction& d, bool no_wait) {
  const int locked = MtxWait(d.lock, no_wait ? 0 : kInfinite);
  if (locked == kWaitOk) return 0;
  if (locked == kWaitAbandoned) MtxRelease(d.lock);
  return WaitResult(locked);
}

// Waits until the writer signals data; 109, as from a closed pipe, once the
// writer is gone.
std::uint32_t AwaitData(W95Instance& record, const W95Direction& d) {
  constexpr std::uint32_t kPeerCheckMs = 200;
  for (;;) {
    const int waited = EvWait(d.event, kPeerCheckMs);
    if (waited == kWaitOk) break;
    if (waited != kWaitTimeout) return WaitResult(waited);
    if (PeerGone(record)) return win::ERROR_BROKEN_PIPE;
  }
  std::uint32_t ignored = 0;
  EvReset(d.event, &ignored);
  return 0;
}

bool CountValid(std::int32_t count, std::uint32_t capacity) {
  return count >= -1 && (count < 0 || static_cast<std::uint32_t>(count) <= capacity);
}

std::uint32_t ReadLoop(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read,
                       bool some) {
  Side side{};
  if (read == nullptr) return win::ERROR_INVALID_PARAMETER;
  *read = 0;
  const std::uint32_t found = Find(handle, true, &side);
  if (found != 0) return found;
  const W95Direction& d = side.mine;
  if (d.buffer == nullptr || d.lock == 0) return win::ERROR_BROKEN_PIPE;
  if (buffer == nullptr && size != 0) return win::ERROR_INVALID_PARAMETER;
  auto* out = static_cast<std::uint8_t*>(buffer);
  std::uint8_t* data = d.buffer + 4;
  // The size is taken as signed: a size above 2^31 asks for nothing.
  auto wanted = static_cast<std::int32_t>(size);
  while (wanted > 0) {
    if (side.record->cut.load()) return win::ERROR_BROKEN_PIPE;
    const std::uint32_t taken = Take(d, side.no_wait);
    if (taken != 0) return taken;
    std::int32_t count = LoadCount(d.buffer);
    if (!CountValid(count, d.capacity)) {
      MtxRelease(d.lock);
      return kW95BadShared;
    }
    if (count > 0) {
      const std::int32_t n = std::min(count, wanted);
      std::memcpy(out + *read, data, static_cast<std::size_t>(n));
      *read += static_cast<std::uint32_t>(n);
      wanted -= n;
      // The rest moves to the front: data always start at the first byte.
      std::memmove(data, data + n, static_cast<std::size_t>(count - n));
      count -= n;
      StoreCount(d.buffer, count);
    }
    MtxRelease(d.lock);
    if (count == -1) {
      // The writer has closed: the read ends with nothing.
      *read = 0;
      return 0;
    }
    if (d.event == 0) return *read > 0 ? 0 : win::ERROR_NO_DATA;
    if (some && *read > 0) return 0;
    if (wanted > 0 && count == 0) {
      const std::uint32_t waited = AwaitData(*side.record, d);
      if (waited != 0) return waited;
    }
  }
  return 0;
}

}  // namespace

std::uint32_t W95NpipeRead(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read) {
  return ReadLoop(handle, buffer, size, read, false);
}

std::uint32_t W95NpipeReadSome(Handle handle, void* buffer, std::uint32_t size,
                               std::uint32_t* read) {
  return ReadLoop(handle, buffer, size, read, true);
}

std::uint32_t W95NpipeWrite(Handle handle, const void* bytes, std::uint32_t size,
                            std::uint32_t* written) {
  Side side{};
  if (written == nullptr) return win::ERROR_INVALID_PARAMETER;
  *written = 0;
  const std::uint32_t found = Find(handle, false, &side);
  if (found != 0) return found;
  const W95Direction& d = side.mine;
  if (d.buffer == nullptr || d.lock == 0) return 29;  // ERROR_WRITE_FAULT
  if (bytes == nullptr && size != 0) return win::ERROR_INVALID_PARAMETER;
  // Nobody reads any more once the peer has closed (its closed mark) or this
  // process has cut the instance.
  if (side.record->cut.load() || (side.other.buffer != nullptr && LoadCount(side.other.buffer) == -1))
    return win::ERROR_NO_DATA;
  const std::uint32_t taken = Take(d, side.no_wait);
  if (taken != 0) return taken;
  const std::int32_t count = LoadCount(d.buffer);
  if (!CountValid(count, d.capacity)) {
    MtxRelease(d.lock);
    return kW95BadShared;
  }
  if (count == -1) {
    MtxRelease(d.lock);
    return win::ERROR_NO_DATA;
  }
  const std::uint32_t room = d.capacity - static_cast<std::uint32_t>(count);
  const std::uint32_t n = std::min(size, room);
  if (n > 0) {
    std::memcpy(d.buffer + 4 + count, bytes, n);
    StoreCount(d.buffer, count + static_cast<std::int32_t>(n));
    MtxRelease(d.lock);
    *written = n;
    if (d.event != 0) EvSet(d.event);
  } else {
    MtxRelease(d.lock);
    // No room, and nobody left to make any: as a write to a closed pipe.
    if (size > 0 && PeerGone(*side.record)) return win::ERROR_NO_DATA;
  }
  // A reader waiting for these bytes runs at once.  This is Sleep(0) on
  // Windows: a yield, where a zero-length sleep on POSIX would idle for the
  // timer slack (some 50 us) on every write.
  std::this_thread::yield();
  return 0;
}

std::uint32_t W95NpipeCut(Handle handle) {
  const std::uint32_t which = g_w95_side;
  W95PipeEntry* entry = nullptr;
  W95Instance* record = nullptr;
  if (Lookup(which, handle, &entry, &record) != 0) return win::ERROR_INVALID_HANDLE;
  record->cut.store(true);
  const bool created = which == kSideCreated;
  const W95Direction& written = created ? record->out : record->in;
  const W95Direction& read = created ? record->in : record->out;
  if (written.buffer != nullptr && written.lock != 0) {
    const int locked = MtxWait(written.lock, entry->close_timeout_ms);
    if (locked == kWaitOk || locked == kWaitAbandoned) {
      StoreCount(written.buffer, -1);
      MtxRelease(written.lock);
      if (written.event != 0) EvSet(written.event);
    }
  }
  // Our own reader wakes, sees the cut and fails.
  if (read.event != 0) EvSet(read.event);
  // A connect waiting for a client of this instance returns 233.  Another
  // instance's connect wakes too, finds its offer still there and waits on.
  if (created) EvSet(entry->connect_event);
  return 0;
}

std::uint32_t W95NpipeClose(Handle handle) {
  const std::uint32_t which = g_w95_side;
  W95PipeEntry* entry = nullptr;
  W95Instance* record = nullptr;
  {
    std::lock_guard guard(g_struct);
    if (Lookup(which, handle, &entry, &record) != 0) return win::ERROR_INVALID_HANDLE;
  }
  const bool created = which == kSideCreated;
  const W95Direction written = created ? record->out : record->in;
  const W95Direction read = created ? record->in : record->out;
  if (written.buffer != nullptr && written.lock != 0) {
    const std::uint32_t deadline = SysTickMs() + entry->close_timeout_ms;
    for (;;) {
      const std::uint32_t now = SysTickMs();
      const std::uint32_t left = static_cast<std::int32_t>(deadline - now) > 0 ? deadline - now : 0;
      const int locked = MtxWait(written.lock, left);
      if (locked != kWaitOk && locked != kWaitAbandoned) break;
      const std::int32_t count = LoadCount(written.buffer);
      const bool peer_gone = (read.buffer != nullptr && LoadCount(read.buffer) == -1) ||
                             (count > 0 && PeerGone(*record));
      if (count > 0 && left > 0 && !peer_gone && !record->cut.load()) {
        MtxRelease(written.lock);
        SysSleep(1);
        continue;
      }
      StoreCount(written.buffer, -1);
      MtxRelease(written.lock);
      if (written.event != 0) EvSet(written.event);
      break;
    }
  }
  std::lock_guard guard(g_struct);
  if (record->in_use == 0) return win::ERROR_INVALID_HANDLE;  // closed meanwhile
  CloseRecord(*record);
  if (!AnyInUse(*entry)) ReleaseEntry(*entry);
  return 0;
}
