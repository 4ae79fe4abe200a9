// w95pipe.h - the pipe emulation for the Windows 95 family: a two-way byte
// stream between two processes built from named shared memory, mutexes and
// events.
//
// One process creates a pipe under a name and offers instances of it
// (W95NpipeCreate, W95NpipeConnect); another opens the pipe by the same name
// and takes the offered instance (W95NpipeOpen).  Each instance has two
// linear buffers in one shared segment: "out" (creating side -> opening side)
// and "in" (opening side -> creating side).  Other programs rely on the
// layouts and object names below, so they are fixed:
//
//   pipe header  "\sharemem\w95npipe_NAME", 4096 bytes:
//       0  i32  offered instance: 65535 after create, n offered, -1 taken
//       4  48   copy of the offered instance's record (W95WireRecord)
//   instance segment "\sharemem\w95npipe_NAMEn", out + in + 8 bytes:
//       0          i32 out count, then out capacity bytes of data
//       out + 4    i32 in count, then in capacity bytes of data
//     (no out buffer: the in buffer starts at 0).  A count is the number of
//     bytes waiting at the start of the data; -1 is the closed mark.
//   connect event "\sem32\w95npipe_ev_NAME", pipe lock "\sem32\w95npipe_mtx_NAME",
//   per instance n: locks "...mtx_NAMEoutn" / "...mtx_NAMEinn" and, unless in
//   no-wait mode, events "...ev_NAMEoutn" / "...ev_NAMEinn".
//
// Every operation returns a Win32 error number, 0 for success (the waits'
// 95, 640 and -1 pass through as 95, 640 and 0xFFFFFFFF).
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

inline constexpr std::uint32_t kW95Entries = 32;
inline constexpr std::uint32_t kW95NameSize = 204;
inline constexpr std::uint32_t kW95HeaderSize = 4096;
inline constexpr std::uint32_t kW95RecordSize = 48;
inline constexpr std::uint32_t kW95OpenInstances = 255;  // the opening side's maximum
inline constexpr std::uint16_t kW95NoWait = 0x8000;
inline constexpr std::uint32_t kW95DefaultCloseMs = 1000;
// A pipe header or instance record that a peer wrote and that cannot be
// true (a segment smaller than its capacities, a count below -1 or above
// its capacity): ERROR_INVALID_DATA.  Nothing outside the segment is touched.
inline constexpr std::uint32_t kW95BadShared = 13;
// Not an error number of Win32: a wait that failed (-1) passed through.
inline constexpr std::uint32_t kW95WaitFailed = 0xFFFFFFFFu;

// One direction of an instance as this process holds it.  `buffer` points
// at the count word; the data follow it.
struct W95Direction {
  std::uint32_t capacity;
  Handle event;  // 0 in no-wait mode
  Handle lock;
  std::uint8_t* buffer;
  Handle mapping;  // the segment's mapping, kept with each buffer
};

// An instance record, in the field order of the shared record.  Handles and
// pointers are this process's own.
struct W95Instance {
  std::uint32_t in_use;
  std::uint16_t no_wait;  // kW95NoWait or 0
  std::uint16_t unused;
  W95Direction in;   // opening side -> creating side
  W95Direction out;  // creating side -> opening side
  // This process has ended the instance (W95NpipeCut): its reads fail with
  // 109 and its writes with 232 from then on.  Not part of the shared record.
  std::atomic<bool> cut;
  // The peer process has been seen holding the instance's segment, so a
  // segment nobody else holds means a peer that is gone, not one still on
  // its way in.  Not part of the shared record.
  std::atomic<bool> peer_seen;
};

// One pipe name in one process.
struct W95PipeEntry {
  char name[kW95NameSize];  // short name, upper case; empty: free
  std::uint32_t max_instances;
  Handle connect_event;
  Handle pipe_lock;
  std::uint8_t* header;
  Handle header_mapping;
  std::uint32_t close_timeout_ms;
  W95Instance* instances;  // max_instances records
};

// The two tables (pipes this process created, pipes it opened) and the side
// flag: 0 before any create or open, 1 after a create, 2 after an open; it
// says which table read, write and close use.
extern W95PipeEntry g_w95_created[kW95Entries];
extern W95PipeEntry g_w95_opened[kW95Entries];
extern std::atomic<std::uint32_t> g_w95_side;

// The shared record: 12 little-endian words.  The opening side takes only
// the no-wait flag (word 1, low half) and the capacities (words 2 and 7).
using W95WireRecord = std::uint8_t[kW95RecordSize];
void W95RecordToWire(const W95Instance& record, std::uint8_t* wire);

// 0, or 1 when the path is none, holds no "\PIPE\", or names nothing (or a
// name of 204 characters or more) after it.  The short name is the upper-cased
// rest of the path; a machine part before "\pipe\" plays no part.
std::uint32_t W95NpipeParseName(const char* path, char (&short_name)[kW95NameSize]);
// 0, or 6 when the entry index is 32 or more.
std::uint32_t W95NpipeSplitHandle(Handle handle, std::uint32_t* entry, std::uint32_t* instance);
// 0 and the record, or 6 (entry not live, instance not below the maximum or
// not in use).
std::uint32_t W95NpipeGetInstance(W95PipeEntry& entry, std::uint32_t instance, W95Instance** record);

// Creating side.  mode: low 8 bits the maximum instances, bit 15 no-wait.
std::uint32_t W95NpipeCreate(const char* path, Handle* handle, std::uint32_t unused,
                             std::uint16_t mode, std::uint32_t out_capacity,
                             std::uint32_t in_capacity, std::uint32_t timeout_ms);
std::uint32_t W95NpipeConnect(Handle handle);
// The two halves of W95NpipeConnect: write the offer into the header (under
// the pipe lock), then wait until a client has taken it.  A server offers
// its first instance before it announces itself, so that no client finds a
// pipe with nothing offered.
std::uint32_t W95NpipeOffer(Handle handle);
std::uint32_t W95NpipeAwait(Handle handle);

// Opening side: opens the pipe `path` ("\pipe\qoxsmem") and takes the offered
// instance: 0 and a handle that PipeRead and PipeWrite accept.
std::uint32_t W95NpipeOpen(const char* path, Handle* handle);

// Reads `size` bytes (normal mode: waits until all have come, or returns 0
// with 0 bytes once the writer has closed; no-wait mode: one pass, 232 when
// nothing was waiting).  Writes append what fits and never wait for room.
std::uint32_t W95NpipeRead(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* read);
std::uint32_t W95NpipeWrite(Handle handle, const void* bytes, std::uint32_t size,
                            std::uint32_t* written);
// Marks the written buffer closed, releases the instance and, with the last
// one, the pipe.
std::uint32_t W95NpipeClose(Handle handle);

// Extras of this implementation (the stand-in server, the library's own
// link handling):
// A read in normal mode that returns as soon as at least one byte came,
// waiting only while nothing is there: what a stream reader with its own
// buffer needs.  0 bytes with 0: the writer has closed.
std::uint32_t W95NpipeReadSome(Handle handle, void* buffer, std::uint32_t size,
                               std::uint32_t* read);
// Ends an instance in this process without releasing it: the peer sees the
// closed mark, a thread of this process blocked in a read (or, on the
// creating side, in a connect) wakes, and later reads fail with 109 and
// writes with 232.  W95NpipeClose still releases it.
std::uint32_t W95NpipeCut(Handle handle);
