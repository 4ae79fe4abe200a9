// table.cpp - the connection table shared by the pipe and the TCP
// connections: the records, the id counter, the open count, the connection
// table lock, the remote area flag, and the close that both kinds share.
//
// Lock rules:
//   * g_table_lock (a platform mutex, recursive for its owner) serialises the
//     remote opens and closes.  It guards g_id_counter, g_open_count,
//     g_remote_area_flag and the link while a remote open or close changes
//     it.  It is made by the first open and then kept for the life of the
//     process: a lock made on demand and closed again when the last
//     connection goes could be made twice by two first opens at once, or be
//     closed under a thread that is waiting for it.  g_table_lock_made guards
//     only the making of it and the reading of the handle.
//   * g_list guards g_head and the records' next fields, and nothing else.
//     It is held for one walk of the list at most; nothing is waited for
//     and no other lock is taken under it.  Lookups by id take only g_list,
//     so a request on one connection is safe against the open or close of
//     another.
//   * Order: g_table_lock, then g_list.  Under g_table_lock a close takes the
//     event queue table lock (through the queue closer, to close the
//     connection's queues) and then a connection's request lock (the close
//     handshake reads); neither is ever taken under g_list.
#include <atomic>
#include <mutex>
#include <new>

#include "core/core.h"
#include "core/protocol.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "remote/remote.h"

std::uint16_t g_remote_area_flag = 0;

namespace {

std::mutex g_table_lock_made;
Handle g_table_lock = 0;  // 0 until the first open makes it

std::mutex g_list;
ConnRecord* g_head = nullptr;

std::uint32_t g_id_counter = 0;  // under g_table_lock
std::uint32_t g_open_count = 0;  // under g_table_lock

std::atomic<bool> g_fail_next_alloc{false};

// Set by the event queues when the library loads (ConnSetQueueCloser).
std::atomic<ConnQueueCloser> g_queue_closer{nullptr};

bool AllocFails() { return g_fail_next_alloc.exchange(false, std::memory_order_relaxed); }

// Closes a pipe connection's pipe with the close handshake: the word is read
// before the pipe closes and then polled until the server has changed it (at
// most 20 times, 50 ms apart).  The record's link is None afterwards,
// so the polls (and anything else) see a closed link instead of a handle
// value that the system may already have given to another object.
void ConnClosePipe(ConnRecord* record) {
  const std::int32_t before = ConnHandshakeWord(record->id);
  LinkDrop(record->link.pipe);
  // A held pipe stays open in the system until its last hold goes: the
  // hold goes first, so that the server sees the close it answers.
  record->pipe_held.reset();
  record->link.held = nullptr;
  record->link.Close();
  AwaitHandshake(before, [record] { return ConnHandshakeWord(record->id); });
}

}  // namespace

// ---- The list ----------------------------------------------------------------

ConnRecord* ConnAddEntry() {
  if (AllocFails()) return nullptr;
  auto* record = new (std::nothrow) ConnRecord{};
  if (record == nullptr) return nullptr;
  std::lock_guard guard(g_list);
  ConnRecord** tail = &g_head;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = record;
  return record;
}

void ConnRemoveEntry(ConnRecord* record) {
  {
    std::lock_guard guard(g_list);
    ConnRecord** at = &g_head;
    while (*at != nullptr && *at != record) at = &(*at)->next;
    if (*at == nullptr) return;  // not in the table: left alone
    *at = record->next;
  }
  delete record;
}

ConnRecord* ConnFindEntry(std::uint32_t id) {
  std::lock_guard guard(g_list);
  for (ConnRecord* record = g_head; record != nullptr; record = record->next) {
    if (record->id == id) return record;
  }
  return nullptr;
}

int ConnHasLocalEntry() {
  std::lock_guard guard(g_list);
  for (const ConnRecord* record = g_head; record != nullptr; record = record->next) {
    if (record->host[0] == '\0') return 1;
  }
  return 0;
}

void ConnSetQueueCloser(ConnQueueCloser closer) { g_queue_closer.store(closer); }

void ConnCloseQueues(std::uint32_t id) {
  if (const ConnQueueCloser closer = g_queue_closer.load()) closer(id);
}

// ---- The lock and the counters ---------------------------------------------------

int ConnTableLock(bool make) {
  Handle lock = 0;
  {
    std::lock_guard guard(g_table_lock_made);
    if (g_table_lock == 0 && make) {
      Handle made = 0;
      if (MtxCreate(nullptr, &made, 0) != 0) {
        SetDetail(static_cast<std::int32_t>(win::GetLastError()));
        return -1;
      }
      g_table_lock = made;
    }
    lock = g_table_lock;
  }
  if (lock == 0) return -1;
  // An abandoned lock belongs to this thread now.  A thread that ended inside
  // an open or close cannot have left the list half-linked (every change of
  // it is made under g_list), so the table is usable as it is.
  const int waited = MtxWait(lock, kInfinite);
  return waited == kWaitOk || waited == kWaitAbandoned ? 0 : -1;
}

void ConnTableUnlock() {
  Handle lock = 0;
  {
    std::lock_guard guard(g_table_lock_made);
    lock = g_table_lock;
  }
  if (lock != 0) MtxRelease(lock);
}

std::uint32_t ConnNextId() {
  if (++g_id_counter == 0) ++g_id_counter;
  return g_id_counter;
}

void ConnCountOpened() { ++g_open_count; }

std::uint32_t ConnOpenCount() { return g_open_count; }

void ConnHoldHandles(ConnRecord& record) {
  if (record.request_lock != 0) record.lock_held = MtxHold(record.request_lock);
  if (record.link.kind == LinkKind::Pipe) {
    record.pipe_held = PipeHold(record.link.pipe);
    record.link.held = record.pipe_held.get();
  }
}

std::unique_ptr<std::uint8_t[]> ConnAlloc(std::size_t size) {
  if (AllocFails()) return nullptr;
  return std::unique_ptr<std::uint8_t[]>(new (std::nothrow) std::uint8_t[size]);
}

void ConnFailNextAllocSeam() { g_fail_next_alloc.store(true, std::memory_order_relaxed); }

void ConnSetIdCounterSeam(std::uint32_t value) { g_id_counter = value; }

Handle ConnTableLockSeam() {
  std::lock_guard guard(g_table_lock_made);
  return g_table_lock;
}

// ---- Closing ----------------------------------------------------------------------

std::int32_t ConnHandshakeWord(std::uint32_t id) {
  std::uint16_t word = 0;
  if (QNA_ReadN(proto::kHandshakeArea, proto::kHandshakeWord, 1, &word, 0, id) != QNA_OK) return -1;
  return static_cast<std::int16_t>(word);
}

void ConnCloseRecord(ConnRecord* record) {
  ConnCloseQueues(record->id);
  if (record->request_lock != 0) {
    // The link stops being this connection's pipe first, so that no local
    // request picks up the lock about to be closed.
    if (record->link.IsPipe()) LinkDrop(record->link.pipe);
    record->lock_held.reset();
    HndClose(record->request_lock);
    record->request_lock = 0;
  }
  // A pipe goes with the close handshake; a socket (or nothing, in a
  // connection that never got its link) is simply closed.
  if (record->link.IsPipe())
    ConnClosePipe(record);
  else
    record->link.Close();
  ConnRemoveEntry(record);
  // Every close that leaves no server-less pipe connection closes the data
  // areas, also those that QNA_Open mapped: the local data functions then
  // refuse them (6) until they are mapped again.
  if (ConnHasLocalEntry() == 0) {
    AreaCloseAll();
    g_remote_area_flag = 0;
  }
}

void ConnCleanup(ConnRecord* record) {
  const std::int32_t detail = Detail();  // the handshake reads must not replace it
  ConnCloseRecord(record);
  SetDetail(detail);
}

void ConnClose(std::uint32_t id) {
  if (ConnTableLock(false) != 0) return;  // no connection was ever opened
  ConnRecord* record = ConnFindEntry(id);
  if (record != nullptr) {
    ConnCloseRecord(record);
    --g_open_count;
  }
  ConnTableUnlock();
}
