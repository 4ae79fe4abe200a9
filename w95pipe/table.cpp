// table.cpp - the emulation's pipe tables, the side flag, names, handles and
// the release of records and entries (lock rules in internal.h).
#include <cctype>
#include <cstdio>
#include <new>

#include "w95pipe/internal.h"

W95PipeEntry g_w95_created[kW95Entries] = {};
W95PipeEntry g_w95_opened[kW95Entries] = {};
std::atomic<std::uint32_t> g_w95_side{0};

namespace w95 {

std::mutex g_struct;

void MakeName(ObjectName& out, const char* prefix, const char* short_name, const char* suffix,
              std::uint32_t n) {
  if (suffix == nullptr)
    std::snprintf(out, sizeof out, "%s%s", prefix, short_name);
  else
    std::snprintf(out, sizeof out, "%s%s%s%u", prefix, short_name, suffix, n);
}

W95PipeEntry* Scan(W95PipeEntry* table, const char* short_name, bool* found) {
  W95PipeEntry* free_entry = nullptr;
  for (std::uint32_t i = 0; i < kW95Entries; ++i) {
    W95PipeEntry& entry = table[i];
    if (entry.name[0] == '\0') {
      if (free_entry == nullptr) free_entry = &entry;
      continue;
    }
    bool same = true;
    for (std::size_t k = 0; same; ++k) {
      const auto a = static_cast<unsigned char>(entry.name[k]);
      const auto b = static_cast<unsigned char>(short_name[k]);
      if (std::toupper(a) != std::toupper(b)) same = false;
      if (a == 0 || b == 0) break;
    }
    if (same) {
      *found = true;
      return &entry;
    }
  }
  *found = false;
  return free_entry;
}

std::uint32_t Lookup(std::uint32_t side, Handle handle, W95PipeEntry** entry,
                     W95Instance** record) {
  std::uint32_t index = 0;
  std::uint32_t instance = 0;
  if (side == kSideNone || W95NpipeSplitHandle(handle, &index, &instance) != 0)
    return win::ERROR_INVALID_HANDLE;
  W95PipeEntry& found = Table(side)[index];
  if (W95NpipeGetInstance(found, instance, record) != 0) return win::ERROR_INVALID_HANDLE;
  *entry = &found;
  return 0;
}

void LayOut(W95Instance& record, std::uint8_t* segment, Handle mapping, bool zero_counts) {
  std::uint8_t* at = segment;
  if (record.out.capacity != 0) {
    record.out.buffer = at;
    record.out.mapping = mapping;
    if (zero_counts) StoreCount(at, 0);
    at += std::size_t{record.out.capacity} + 4;
  }
  if (record.in.capacity != 0) {
    record.in.buffer = at;
    record.in.mapping = mapping;
    if (zero_counts) StoreCount(at, 0);
  }
}

void Install(W95Instance& record, W95Instance& made, std::uint8_t* segment, Handle mapping,
             bool zero_counts) {
  made.out.buffer = nullptr;
  made.out.mapping = 0;
  LayOut(made, segment, mapping, zero_counts);
  record.no_wait = made.no_wait;
  record.unused = 0;
  record.in = made.in;
  record.out = made.out;
  record.cut.store(false);
  record.peer_seen.store(false);
  record.in_use = 1;
}

void CloseRecord(W95Instance& record) {
  for (W95Direction* d : {&record.in, &record.out}) {
    if (d->lock != 0) HndClose(d->lock);
    if (d->event != 0) HndClose(d->event);
  }
  // Both buffers share one segment: unmap it once, from its start.
  std::uint8_t* start = record.out.buffer != nullptr ? record.out.buffer : record.in.buffer;
  const Handle mapping = record.out.buffer != nullptr ? record.out.mapping : record.in.mapping;
  if (start != nullptr) ShmClose(start, mapping);
  record.in_use = 0;
  record.no_wait = 0;
  record.unused = 0;
  record.in = {};
  record.out = {};
  record.cut.store(false);
  record.peer_seen.store(false);
}

bool PeerGone(W95Instance& record) {
  // Both buffers lie in the one segment.
  const Handle mapping = record.out.buffer != nullptr ? record.out.mapping : record.in.mapping;
  const int held = ShmHeldElsewhere(mapping);
  if (held == 1) record.peer_seen.store(true);
  return held == 0 && record.peer_seen.load();
}

bool AnyInUse(const W95PipeEntry& entry) {
  if (entry.instances == nullptr) return false;
  for (std::uint32_t i = 0; i < entry.max_instances; ++i)
    if (entry.instances[i].in_use != 0) return true;
  return false;
}

void ReleaseEntry(W95PipeEntry& entry) {
  delete[] entry.instances;
  if (entry.header != nullptr) ShmClose(entry.header, entry.header_mapping);
  if (entry.pipe_lock != 0) HndClose(entry.pipe_lock);
  if (entry.connect_event != 0) HndClose(entry.connect_event);
  entry = W95PipeEntry{};
}

}  // namespace w95

void W95RecordToWire(const W95Instance& r, std::uint8_t* wire) {
  // Handles and pointers mean nothing to the other process; they go out as
  // their low 32 bits, which on 32-bit Windows are the whole values.
  const auto h = [](Handle v) { return static_cast<std::uint32_t>(v & 0xFFFFFFFFu); };
  const auto p = [&h](const void* v) { return h(reinterpret_cast<std::uintptr_t>(v)); };
  const std::uint32_t words[12] = {r.in_use,
                                   static_cast<std::uint32_t>(r.no_wait) |
                                       (static_cast<std::uint32_t>(r.unused) << 16),
                                   r.in.capacity,  h(r.in.event),  h(r.in.lock),
                                   p(r.in.buffer), h(r.in.mapping), r.out.capacity,
                                   h(r.out.event), h(r.out.lock),  p(r.out.buffer),
                                   h(r.out.mapping)};
  for (int i = 0; i < 12; ++i)
    for (int b = 0; b < 4; ++b)
      wire[i * 4 + b] = static_cast<std::uint8_t>(words[i] >> (8 * b));
}

std::uint32_t W95NpipeParseName(const char* path, char (&short_name)[kW95NameSize]) {
  if (path == nullptr) return 1;
  // Upper-cased in a copy: callers pass their names as constants.
  char upper[512];
  const std::size_t length = strnlen(path, sizeof upper);
  if (length == sizeof upper) return 1;
  for (std::size_t i = 0; i <= length; ++i)
    upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(path[i])));
  const char* found = std::strstr(upper, "\\PIPE\\");
  if (found == nullptr) return 1;
  const char* rest = found + 6;
  const std::size_t n = std::strlen(rest);
  // An empty name would make objects of the bare prefixes; a name that does
  // not fit the entry is refused rather than cut to another pipe's name.
  if (n == 0 || n >= kW95NameSize) return 1;
  std::memcpy(short_name, rest, n + 1);
  return 0;
}

std::uint32_t W95NpipeSplitHandle(Handle handle, std::uint32_t* entry, std::uint32_t* instance) {
  // The handle is a u32: bits 0..15 the entry, 16..31 the instance.
  if (handle > 0xFFFFFFFFu || (handle & 0xFFFFu) >= kW95Entries) return win::ERROR_INVALID_HANDLE;
  *entry = static_cast<std::uint32_t>(handle & 0xFFFFu);
  *instance = static_cast<std::uint32_t>(handle >> 16);
  return 0;
}

std::uint32_t W95NpipeGetInstance(W95PipeEntry& entry, std::uint32_t instance,
                                  W95Instance** record) {
  if (entry.name[0] == '\0' || entry.connect_event == 0 || entry.pipe_lock == 0 ||
      entry.header == nullptr || entry.instances == nullptr || instance >= entry.max_instances ||
      entry.instances[instance].in_use == 0)
    return win::ERROR_INVALID_HANDLE;
  *record = &entry.instances[instance];
  return 0;
}
