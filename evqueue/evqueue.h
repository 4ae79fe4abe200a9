// evqueue.h - event queues: the table of the queues this process has open,
// and the event queue requests as exchanges over any transport.
//
// Lock rules (the locks live in table.cpp and queue.cpp):
//   * The table lock (a platform mutex, waited for with 1000 ms) serialises
//     QNA_OpenEvQueue and QNA_CloseEvQueue, which hold it for their whole
//     run, and the lookup of QNA_ReadEvQueue.  It is made by the first open
//     and kept for the life of the process, so it is never made twice at
//     once nor closed under a thread that waits for it; whether it "exists"
//     for the callers (from the first open to the close that leaves no queue
//     open) is a flag beside it.
//   * The list guard (a plain mutex in table.cpp) guards the links of the
//     list and the entries' reference counts; nothing is waited for under it.
//   * Each entry's own lock is held by one QNA_ReadEvQueue for its pipe read,
//     so that one reader at a time takes whole records from a queue; it
//     guards the bytes the entry has read ahead and its broken flag.
//   * A connection's request lock (QNA_MtxTimeOut) is held for one exchange.
//   * Order: connection table lock, then the table lock, then a
//     connection's request lock.  An entry's lock is taken with no other.
//
// Entry lifetime: an entry carries a reference count.  The table holds one
// reference while the entry is linked; a read takes another for as long as
// it uses the entry.  Whoever lets go of the last one closes the entry's
// lock and pipe and frees it, so a close on one thread never pulls the pipe
// or the lock from under a read on another: the read ends (woken by the
// close, which disconnects the pipe) and then the entry goes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>

#include "core/core.h"
#include "core/exchange.h"
#include "core/protocol.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "remote/remote.h"

// ---- The table (table.cpp) ---------------------------------------------------

// A real pipe's read takes what has come, up to this many bytes: the records
// behind the one asked for wait in the entry, so that a record costs one read
// of the pipe, and a burst far fewer.
inline constexpr std::uint32_t kEvReadAhead = 4096;

struct EvQueueEntry {
  std::uint32_t handle;      // never 0
  std::uint32_t connection;  // the connection id it was opened through
  Link link;                 // the per-queue pipe (real or emulated)
  Handle lock;               // the entry's own lock
  std::uint32_t queue;       // the number the server assigned
  char name[12];             // as sent, zero-terminated; empty when none
  std::uint32_t option;      // the open option, unchanged
  EvQueueEntry* next;
  // Not part of the caller's copy: kept by the table.
  bool broken;          // a read lost its place in the pipe; under the entry's lock
  std::uint32_t refs;   // under the list guard
  // The entry's lock in pinned form (nullptr when it has none), taken by a
  // read without the handle table; valid while the entry is referenced.
  MutexPin lock_pin;
  // A real pipe's object, held while the entry is referenced (link.held):
  // a read takes it without the handle table.
  HeldObject pipe_held;
  // Bytes read from the pipe and not yet taken: ahead[ahead_begin,
  // ahead_end).  Under the entry's lock.
  std::uint32_t ahead_begin;
  std::uint32_t ahead_end;
  std::uint8_t ahead[kEvReadAhead];
};

// Adds a copy of `entry` at the tail; nullptr when memory is exhausted.
EvQueueEntry* EvQueueAddEntry(const EvQueueEntry& entry);
// Unlinks the entry with the handle and lets go of the table's reference: 1,
// or 0 when there is none.
int EvQueueRemoveEntry(std::uint32_t handle);
EvQueueEntry* EvQueueFindHandle(std::uint32_t handle);
// The handle of the oldest entry of the connection, or 0.
std::uint32_t EvQueueFirstOfConnection(std::uint32_t connection);
// Closes every queue opened through the connection, oldest first (the hook
// that the connection table calls when a connection closes).
void EvQueueCloseOfConnection(std::uint32_t connection);
EvQueueEntry* EvQueueFindNumber(std::uint32_t connection, std::uint32_t queue);
// The entry with the handle with one more reference, or nullptr; and letting
// go of such a reference (the last one closes the lock and pipe and frees).
EvQueueEntry* EvQueueAcquire(std::uint32_t handle);
void EvQueueRelease(EvQueueEntry* entry);
// The next handle: 1, 2, ... 4294967295, 1, ... (never 0).
std::uint32_t EvQueueNextHandle();

// The table lock.  EvQueueTableMake makes it unless it was made before (0,
// or -1 with the operating system's error in win::GetLastError()).
// EvQueueTableWait: kWaitOk when held (an abandoned lock is taken over: every
// change of the list is made under the list guard, so the table is whole),
// 640 after `timeout_ms`, -1 when it does not exist or the wait failed (error
// in win::GetLastError(): 6 when it does not exist).  An open (`opening`)
// makes it exist; the close that leaves no queue open ends it for the
// callers (EvQueueCountDown).
int EvQueueTableMake();
int EvQueueTableWait(std::uint32_t timeout_ms, bool opening);
bool EvQueueTableExists();
void EvQueueTableRelease();
// Waits for a pinned lock as MtxWait does (kWaitOk, 95, 640, -1), with the
// uncontended wait a bare try.
int EvQueuePinWait(MutexPin lock, std::uint32_t timeout_ms);
// The count of open queues, under the table lock.  When a close brings it to
// 0 the table lock stops existing for the callers.
void EvQueueCountUp();
void EvQueueCountDown();
std::uint32_t EvQueueCount();

// Test seams, not in the public header.
enum class EvQueueFault { None, TableLock, EntryLock, AddEntry };
void EvQueueFailNextSeam(EvQueueFault fault);
bool EvQueueFails(EvQueueFault fault);  // true once for the armed fault
void EvQueueSetHandleCounterSeam(std::uint32_t value);
Handle EvQueueTableLockSeam();  // the lock itself (0 before the first open)

// ---- Constants -----------------------------------------------------------------
inline constexpr std::uint32_t kEvTableTimeoutMs = 1000;
inline constexpr std::uint32_t kEvQueueLockTimeoutMs = 500;
inline constexpr int kEvAttempts = 10;
inline constexpr std::uint32_t kEvAttemptPauseMs = 10;
inline constexpr std::uint32_t kEvOpenAny = QNA_EVQ_ANY;
// No memory for a post request (the write's own code for it).
inline constexpr std::uint32_t kEvNoMemory = 8;

// Event record: u32 length of what follows, then u16 kind, 6 bytes, char[32]
// name, u32 value, data.
inline constexpr std::uint32_t kEvRecordHead = 44;
// The most data an event carries: what a post request can hold on quonix.
// A record announcing more is not an event, and nothing is taken for it.
inline constexpr std::uint32_t kEvMaxData = 1u << 20;
inline constexpr std::int32_t kEvRecordSmall = QNA_EVQ_RECORD_SMALL;
inline constexpr std::int32_t kEvRecordShort = QNA_EVQ_RECORD_SHORT;
inline constexpr std::int32_t kEvRecordLarge = QNA_EVQ_RECORD_LARGE;

// ---- Exchanges -------------------------------------------------------------------
// Open (200100) and close (200101): one piece each.
//   7000 write failed    7001 written short
//   7002 length failed   7003 length short   7004 length below 8
//   7005 head failed     7006 head short
//   7007 payload failed  7008 payload short (open only)
inline constexpr ExchangeCodes kEvOpenCodes = CodesFrom(7000, 1, 1);
inline constexpr ExchangeCodes kEvCloseCodes = CodesFrom(7000, 1, 0);
static_assert(kEvOpenCodes.payload[0].short_read == 7008);
// Post (200102): 9000 to 9006 in the same order.
inline constexpr ExchangeCodes kEvPostCodes = CodesFrom(9000, 1, 0);
static_assert(kEvPostCodes.head.short_read == 9006);
// Counts (200105 to 200107): 10000 to 10006; 10007/10008 count and n,
// 10009/10010 entries.  Name (200108): 10100 to 10108.  Maximum (200109):
// 10200 to 10208.
inline constexpr ExchangeCodes kEvCountCodes = CodesFrom(10000, 1, 2);
inline constexpr ExchangeCodes kEvNameCodes = CodesFrom(10100, 1, 1);
inline constexpr ExchangeCodes kEvMaxCodes = CodesFrom(10200, 1, 1);
static_assert(kEvCountCodes.payload[1].short_read == 10010);
static_assert(kEvNameCodes.payload[0].short_read == 10108);
static_assert(kEvMaxCodes.payload[0].short_read == 10208);

inline constexpr std::uint32_t kEvOpenReply = 36;  // u32 queue number, char[32] pipe name

// The 12-byte name field: false for a name of 12 characters or more, which
// does not fit and is refused rather than cut (a cut name names another
// queue).  Null is the empty name.
inline bool EvQueuePutName12(std::uint8_t* at, const char* name) {
  std::memset(at, 0, 12);
  if (name == nullptr) return true;
  const void* end = std::memchr(name, '\0', 12);
  if (end == nullptr) return false;
  std::memcpy(at, name, static_cast<std::size_t>(static_cast<const char*>(end) - name));
  return true;
}

// Open: the 36 bytes of the reply land in `reply`; a longer payload is read
// and dropped, a shorter one is a short read (7008).  The name field has
// been checked by the caller.
template <Transport T>
std::uint32_t EvQueueOpenExchange(T& link, std::uint32_t queue, const std::uint8_t (&name)[12],
                                  std::uint32_t option, std::uint8_t (&reply)[kEvOpenReply]) {
  std::uint8_t request[32];
  proto::Put32(request, 28);
  proto::Put32(request + 4, proto::kEvQueueOpen);
  proto::Put32(request + 8, 0);
  proto::Put32(request + 12, queue);
  std::memcpy(request + 16, name, 12);
  proto::Put32(request + 28, option);
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {reply};
  const ExchangeResult r = RunExchange(
      link, {.codes = kEvOpenCodes, .pieces = pieces, .exact_length = 0, .payload = parts});
  if (r.result == QNA_OK && r.delivered[0] < kEvOpenReply) {
    SetDetail(kEvOpenCodes.payload[0].short_read);
    return QNA_E_READ;
  }
  return r.result;
}

// Close: a payload the server adds is read and dropped.
template <Transport T>
std::uint32_t EvQueueCloseExchange(T& link, std::uint32_t queue) {
  std::uint8_t request[20];
  proto::Put32(request, 16);
  proto::Put32(request + 4, proto::kEvQueueClose);
  proto::Put32(request + 8, 0);
  proto::Put32(request + 12, queue);
  proto::Put32(request + 16, 0);
  const std::span<const std::uint8_t> pieces[] = {request};
  return RunExchange(link, {.codes = kEvCloseCodes, .pieces = pieces, .exact_length = 0}).result;
}

// Post: the whole request in one write (its codes name one piece).  A small
// request is built on the stack; a larger one on the heap: 8 when there is
// no memory for it, also for a length whose record would not fit the length
// word.
inline constexpr std::size_t kEvPostOnStack = 256;
template <Transport T>
std::uint32_t EvQueuePostExchange(T& link, std::uint32_t queue, std::uint32_t value,
                                  std::uint32_t length, const void* data) {
  if (length > 0xFFFFFFFFu - 20) return kEvNoMemory;
  const std::size_t size = std::size_t{length} + 24;
  std::uint8_t small[kEvPostOnStack];
  std::unique_ptr<std::uint8_t[]> large;
  std::uint8_t* at = small;
  if (size > sizeof small) {
    large = ConnAlloc(size);
    if (!large) return kEvNoMemory;
    at = large.get();
  }
  proto::Put32(at, length + 20);
  proto::Put32(at + 4, proto::kEvQueuePost);
  proto::Put32(at + 8, 0);
  proto::Put32(at + 12, queue);
  proto::Put32(at + 16, value);
  proto::Put32(at + 20, length);
  if (length != 0) std::memcpy(at + 24, data, length);
  const std::span<const std::uint8_t> pieces[] = {{at, size}};
  return RunExchange(link, {.codes = kEvPostCodes, .pieces = pieces, .exact_length = 0}).result;
}

// Counts: kind 0 named (200105), 1 usable (200106), 2 used (200107).  The
// entries land straight in the caller's list, at most `list_word` of them;
// the rest of the reply is read and dropped.  The reply must hold the n
// entries it announces (else 10010) and at least the count and n (10008).
template <Transport T>
std::uint32_t EvQueueCountExchange(T& link, std::uint32_t kind, const std::uint8_t (&name)[12],
                                   std::uint32_t* count, std::uint32_t* list,
                                   std::uint32_t list_word) {
  std::uint8_t request[28];
  std::size_t size = 16;
  proto::Put32(request + 4, proto::kEvQueueInfoFirst + kind);
  proto::Put32(request + 8, 0);
  if (kind == 0) {
    std::memcpy(request + 12, name, 12);
    proto::Put32(request + 24, list_word);
    size = 28;
  } else {
    proto::Put32(request + 12, list_word);
  }
  proto::Put32(request, static_cast<std::uint32_t>(size - 4));
  std::uint8_t head[8];
  // The exchange never reads more than its largest reply; so no list span
  // is larger than that, whatever the list word says.
  const std::size_t entries =
      list == nullptr ? 0 : std::min<std::size_t>(list_word, kMaxReplyLength / 4);
  const std::span<const std::uint8_t> pieces[] = {{request, size}};
  const std::span<std::uint8_t> parts[] = {
      head, {reinterpret_cast<std::uint8_t*>(list), entries * 4}};
  const ExchangeResult r = RunExchange(
      link, {.codes = kEvCountCodes, .pieces = pieces, .exact_length = 0, .payload = parts});
  if (r.result != QNA_OK) return r.result;
  if (r.delivered[0] < sizeof head) {
    SetDetail(kEvCountCodes.payload[0].short_read);
    return QNA_E_READ;
  }
  const std::uint32_t n = proto::Get32(head + 4);
  if (r.payload < 8 + std::uint64_t{n} * 4) {
    SetDetail(kEvCountCodes.payload[1].short_read);
    return QNA_E_READ;
  }
  if (count != nullptr) *count = proto::Get32(head);
  return QNA_OK;
}

// Name: 9 bytes; the caller's name gets at most 8 characters and a zero,
// whether or not the server's 9 bytes hold one.
template <Transport T>
std::uint32_t EvQueueNameExchange(T& link, std::uint32_t queue, char* name) {
  std::uint8_t request[16];
  proto::Put32(request, 12);
  proto::Put32(request + 4, proto::kEvQueueInfoFirst + 3);
  proto::Put32(request + 8, 0);
  proto::Put32(request + 12, queue);
  std::uint8_t reply[9];
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {reply};
  const ExchangeResult r = RunExchange(
      link, {.codes = kEvNameCodes, .pieces = pieces, .exact_length = 0, .payload = parts});
  if (r.result != QNA_OK) return r.result;
  if (r.delivered[0] < sizeof reply) {
    SetDetail(kEvNameCodes.payload[0].short_read);
    return QNA_E_READ;
  }
  if (name != nullptr) {
    std::size_t n = 0;
    while (n < 8 && reply[n] != 0) ++n;
    std::memcpy(name, reply, n);
    name[n] = '\0';
  }
  return QNA_OK;
}

// Maximum: 4 bytes.
template <Transport T>
std::uint32_t EvQueueMaxExchange(T& link, std::uint32_t* max) {
  std::uint8_t request[12];
  proto::Put32(request, 8);
  proto::Put32(request + 4, proto::kEvQueueInfoLast);
  proto::Put32(request + 8, 0);
  std::uint8_t reply[4];
  const std::span<const std::uint8_t> pieces[] = {request};
  const std::span<std::uint8_t> parts[] = {reply};
  const ExchangeResult r = RunExchange(
      link, {.codes = kEvMaxCodes, .pieces = pieces, .exact_length = 0, .payload = parts});
  if (r.result != QNA_OK) return r.result;
  if (r.delivered[0] < sizeof reply) {
    SetDetail(kEvMaxCodes.payload[0].short_read);
    return QNA_E_READ;
  }
  if (max != nullptr) *max = proto::Get32(reply);
  return QNA_OK;
}

// ---- On a connection (queue.cpp) ---------------------------------------------------
// Each request is one exchange on the connection's link (a pipe connection's
// pipe, a TCP connection's socket) under its request lock, with the event
// queue answers for a lock not had (ConnExchange, LockFailure::EvQueue).

// The three requests of the queue operations, each one exchange.
std::uint32_t EvQueueRequestOpen(const ConnRecord& connection, std::uint32_t queue,
                                 const std::uint8_t (&name)[12], std::uint32_t option,
                                 std::uint8_t (&reply)[kEvOpenReply]);
std::uint32_t EvQueueRequestClose(const ConnRecord& connection, std::uint32_t queue);
std::uint32_t EvQueueRequestPost(const ConnRecord& connection, std::uint32_t queue,
                                 std::uint32_t value, std::uint32_t length, const void* data);

// The name of the per-queue pipe: "\\HOST\pipe\NAME" for a connection with
// a host name, else "\\.\pipe\NAME"; with the emulation the leading "\\."
// goes (LinkStripLocal).  The pipe name of the reply is at most its 32 bytes.
void EvQueuePipeName(const char* host, const std::uint8_t* reply_name, bool emulation, char* out,
                     std::size_t size);

// ---- Information (info.cpp) ------------------------------------------------------------
std::uint32_t EvQueueRequestCount(std::uint32_t kind, std::uint32_t id, const char* name,
                                  std::uint32_t* count, std::uint32_t* list,
                                  std::uint32_t list_word);
std::uint32_t EvQueueRequestName(std::uint32_t id, std::uint32_t queue, char* name);
std::uint32_t EvQueueRequestMax(std::uint32_t id, std::uint32_t* max);
