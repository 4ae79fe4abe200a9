// table.cpp - the event queue table: the entries of the queues this process
// has open, their handles and reference counts, the table lock and the count
// of open queues.
//
// Lock rules:
//   * g_list guards g_head, the entries' next fields and their reference
//     counts, and nothing else.  It is held for one walk of the list at
//     most; nothing is waited for and no other lock is taken under it (the
//     last release closes an entry's handles after letting go of it).
//   * g_table (a platform mutex) is the table lock of evqueue.h.  It is made
//     once, under g_made, and kept for the life of the process; g_exists
//     says whether it exists for the callers.  g_counter and g_count are
//     changed only under it.  Its pin, g_table_pin, is published once it is
//     made and never changes, so waits and releases read it without g_made.
#include <atomic>
#include <mutex>
#include <new>

#include "evqueue/evqueue.h"
#include "platform/platform.h"

namespace {

std::mutex g_list;
EvQueueEntry* g_head = nullptr;

std::mutex g_made;
Handle g_table = 0;
std::atomic<MutexPin> g_table_pin{nullptr};
std::atomic<bool> g_exists{false};

std::uint32_t g_counter = 0;  // under g_table
std::uint32_t g_count = 0;    // under g_table

std::atomic<EvQueueFault> g_fault{EvQueueFault::None};

// The connection table closes a connection's queues through this hook.
[[maybe_unused]] const bool g_closer_set = (ConnSetQueueCloser(&EvQueueCloseOfConnection), true);

// The entry's handles go with its last reference.
void CloseEntry(EvQueueEntry* entry) {
  if (entry->lock != 0) HndClose(entry->lock);
  entry->link.Close();
  delete entry;
}

}  // namespace

// ---- The list ------------------------------------------------------------------

EvQueueEntry* EvQueueAddEntry(const EvQueueEntry& entry) {
  if (EvQueueFails(EvQueueFault::AddEntry)) return nullptr;
  auto* added = new (std::nothrow) EvQueueEntry(entry);
  if (added == nullptr) return nullptr;
  added->next = nullptr;
  added->refs = 1;  // the table's
  added->lock_pin = entry.lock != 0 ? MtxPin(entry.lock) : nullptr;
  if (added->link.kind == LinkKind::Pipe) {
    added->pipe_held = PipeHold(added->link.pipe);
    added->link.held = added->pipe_held.get();
  }
  std::lock_guard guard(g_list);
  EvQueueEntry** tail = &g_head;
  while (*tail != nullptr) tail = &(*tail)->next;
  *tail = added;
  return added;
}

int EvQueueRemoveEntry(std::uint32_t handle) {
  EvQueueEntry* removed = nullptr;
  {
    std::lock_guard guard(g_list);
    EvQueueEntry** at = &g_head;
    while (*at != nullptr && (*at)->handle != handle) at = &(*at)->next;
    if (*at == nullptr) return 0;
    removed = *at;
    *at = removed->next;
    removed->next = nullptr;
  }
  EvQueueRelease(removed);
  return 1;
}

EvQueueEntry* EvQueueFindHandle(std::uint32_t handle) {
  std::lock_guard guard(g_list);
  for (EvQueueEntry* e = g_head; e != nullptr; e = e->next)
    if (e->handle == handle) return e;
  return nullptr;
}

std::uint32_t EvQueueFirstOfConnection(std::uint32_t connection) {
  std::lock_guard guard(g_list);
  for (const EvQueueEntry* e = g_head; e != nullptr; e = e->next)
    if (e->connection == connection) return e->handle;
  return 0;
}

// A close that cannot take the event queue table lock leaves its entry in
// the table; the walk then tries that handle at most three times and gives
// up on the rest, rather than trying it again without end.
void EvQueueCloseOfConnection(std::uint32_t connection) {
  constexpr int kTriesPerHandle = 3;
  std::uint32_t last = 0;
  int tries = 0;
  for (;;) {
    const std::uint32_t handle = EvQueueFirstOfConnection(connection);
    if (handle == 0) return;
    tries = handle == last ? tries + 1 : 1;
    if (tries > kTriesPerHandle) return;
    last = handle;
    QNA_CloseEvQueue(handle, 0);
  }
}

EvQueueEntry* EvQueueFindNumber(std::uint32_t connection, std::uint32_t queue) {
  std::lock_guard guard(g_list);
  for (EvQueueEntry* e = g_head; e != nullptr; e = e->next)
    if (e->connection == connection && e->queue == queue) return e;
  return nullptr;
}

EvQueueEntry* EvQueueAcquire(std::uint32_t handle) {
  std::lock_guard guard(g_list);
  for (EvQueueEntry* e = g_head; e != nullptr; e = e->next) {
    if (e->handle == handle) {
      ++e->refs;
      return e;
    }
  }
  return nullptr;
}

void EvQueueRelease(EvQueueEntry* entry) {
  {
    std::lock_guard guard(g_list);
    if (--entry->refs != 0) return;
  }
  CloseEntry(entry);
}

std::uint32_t EvQueueNextHandle() {
  if (++g_counter == 0) ++g_counter;
  return g_counter;
}

// ---- The table lock and the count ----------------------------------------------------

int EvQueueTableMake() {
  std::lock_guard guard(g_made);
  // The lock is made again for the callers whenever none exists for them;
  // the seam stands for that making failing.
  if (!g_exists && EvQueueFails(EvQueueFault::TableLock)) {
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  if (g_table == 0) {
    Handle made = 0;
    if (MtxCreate(nullptr, &made, 0) != 0) return -1;
    const MutexPin pin = MtxPin(made);
    if (pin == nullptr) {
      HndClose(made);
      return -1;
    }
    g_table = made;
    g_table_pin.store(pin, std::memory_order_release);
  }
  return 0;
}

int EvQueuePinWait(MutexPin lock, std::uint32_t timeout_ms) {
  const int tried = MtxPinTry(lock);
  return tried == 0 ? kWaitOk : MtxPinWaitAfter(lock, tried, timeout_ms);
}

int EvQueueTableWait(std::uint32_t timeout_ms, bool opening) {
  const MutexPin lock = g_table_pin.load(std::memory_order_acquire);
  if (lock == nullptr || (!opening && !g_exists)) {
    // As a wait on a lock that was closed.
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  int waited = EvQueuePinWait(lock, timeout_ms);
  if (waited == kWaitAbandoned) waited = kWaitOk;
  // An open makes the lock exist again, also when a close that left no
  // queue open came between its making and its wait.
  if (waited == kWaitOk && opening) g_exists = true;
  return waited;
}

bool EvQueueTableExists() { return g_exists; }

void EvQueueTableRelease() {
  if (const MutexPin lock = g_table_pin.load(std::memory_order_acquire)) MtxPinRelease(lock);
}

void EvQueueCountUp() { ++g_count; }

void EvQueueCountDown() {
  if (g_count > 0) --g_count;
  // The close that leaves no queue open ends the lock for the callers: a
  // read now finds none (499) and a close answers 401 until the next open.
  if (g_count == 0) g_exists = false;
}

std::uint32_t EvQueueCount() { return g_count; }

// ---- Seams ---------------------------------------------------------------------------

void EvQueueFailNextSeam(EvQueueFault fault) { g_fault = fault; }

bool EvQueueFails(EvQueueFault fault) {
  EvQueueFault armed = fault;
  return g_fault.compare_exchange_strong(armed, EvQueueFault::None);
}

void EvQueueSetHandleCounterSeam(std::uint32_t value) { g_counter = value; }

Handle EvQueueTableLockSeam() {
  std::lock_guard guard(g_made);
  return g_table;
}
