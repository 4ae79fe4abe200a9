// internal.h - what the files of the pipe emulation share.
//
// Lock rules:
//   * g_w95_struct (a process-local mutex) serialises create, connect's
//     lookup, open and the release part of close: everything that makes,
//     fills, clears or frees entries and records.  Read and write do not take
//     it: they use only the record of their own handle, which nothing else
//     changes while the handle is open (a handle is not closed while another
//     thread of the process still uses it).
//   * The pipe lock (named) guards the pipe header: the offer and the take.
//   * Each direction's lock (named) guards that direction's count and data.
//     Named locks are held only for a copy, never across a wait for an
//     event, and never two at once.
//   * Counts are touched through atomic_ref: the peer changes them from
//     another process under the direction's lock, and a writer also peeks at
//     the count of the other direction without its lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <mutex>

#include "w95pipe/w95pipe.h"

namespace w95 {

extern std::mutex g_struct;

inline constexpr std::uint32_t kSideNone = 0, kSideCreated = 1, kSideOpened = 2;

// Room for "\sharemem\w95npipe_" / "\sem32\w95npipe_mtx_", a short name,
// "out" and an instance number.
inline constexpr std::size_t kObjectNameSize = 256;
using ObjectName = char[kObjectNameSize];

// "<prefix><short name><suffix><n>" (suffix and n only when suffix is given).
void MakeName(ObjectName& out, const char* prefix, const char* short_name,
              const char* suffix = nullptr, std::uint32_t n = 0);
inline constexpr const char* kHeaderPrefix = "\\sharemem\\w95npipe_";
inline constexpr const char* kEventPrefix = "\\sem32\\w95npipe_ev_";
inline constexpr const char* kLockPrefix = "\\sem32\\w95npipe_mtx_";

inline W95PipeEntry* Table(std::uint32_t side) {
  return side == kSideCreated ? g_w95_created : g_w95_opened;
}

// Finds the entry of `short_name` (case ignored) or else the first free one:
// `found` says which; nullptr when neither.
W95PipeEntry* Scan(W95PipeEntry* table, const char* short_name, bool* found);

// The record of a handle in the table of `side`; 6 when there is none.
std::uint32_t Lookup(std::uint32_t side, Handle handle, W95PipeEntry** entry,
                     W95Instance** record);

// Lays the two buffers out in a mapped segment (create step 6) and stores
// them in the record; with `zero_counts` the counts are set to 0.
void LayOut(W95Instance& record, std::uint8_t* segment, Handle mapping, bool zero_counts);
// Lays the segment out in `made` (whose handles are all in place) and makes
// it the live record of its instance; the creating side zeroes the counts.
void Install(W95Instance& record, W95Instance& made, std::uint8_t* segment, Handle mapping,
             bool zero_counts);
// Bytes of the segment of an instance with these capacities.
inline std::uint64_t SegmentSize(std::uint32_t out_capacity, std::uint32_t in_capacity) {
  return std::uint64_t{out_capacity} + in_capacity + 8;
}

// Closes a record's locks, events and segment and marks it free.
void CloseRecord(W95Instance& record);
// Frees an entry whose records are all free: its array, header, pipe lock
// and connect event, and its name.
void ReleaseEntry(W95PipeEntry& entry);
bool AnyInUse(const W95PipeEntry& entry);

// Each side holds the instance's segment while it has the instance: the
// creating side from before its offer until its close, the opening side from
// its open.  True when the peer, once seen holding it, holds it no more (a
// peer that died leaves no closed mark); a look that finds it there marks it
// seen.  False where the system does not tell.
bool PeerGone(W95Instance& record);

// A creator may choose an odd out capacity, which puts the in count off its
// alignment: such a word is copied instead (its lock still guards it).
inline bool Aligned(const std::uint8_t* at) {
  return reinterpret_cast<std::uintptr_t>(at) % alignof(std::int32_t) == 0;
}
inline std::int32_t LoadCount(std::uint8_t* buffer) {
  if (!Aligned(buffer)) {
    std::int32_t value = 0;
    std::memcpy(&value, buffer, sizeof value);
    return value;
  }
  return std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(buffer))
      .load(std::memory_order_acquire);
}
inline void StoreCount(std::uint8_t* buffer, std::int32_t value) {
  if (!Aligned(buffer)) {
    std::memcpy(buffer, &value, sizeof value);
    return;
  }
  std::atomic_ref<std::int32_t>(*reinterpret_cast<std::int32_t*>(buffer))
      .store(value, std::memory_order_release);
}
inline std::int32_t LoadHeaderWord(std::uint8_t* header) { return LoadCount(header); }
inline void StoreHeaderWord(std::uint8_t* header, std::int32_t value) { StoreCount(header, value); }

// A wait outcome as the emulation reports it.
inline std::uint32_t WaitResult(int waited) { return static_cast<std::uint32_t>(waited); }

}  // namespace w95
