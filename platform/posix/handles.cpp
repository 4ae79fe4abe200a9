// handles.cpp - the POSIX handle table (see handles.h for the lock rules).
#include "platform/posix/handles.h"

#include <sys/mman.h>
#include <unistd.h>

#include <mutex>
#include <vector>

namespace posix {
namespace {

struct Slot {
  std::shared_ptr<Object> object;
  std::uint32_t generation = 1;
};

std::mutex g_table_lock;
std::vector<Slot> g_slots;
std::vector<std::uint32_t> g_free;  // indexes of empty slots

// Handle layout: bits 0..31 hold index + 1, bits 32..62 the generation, so a
// value is never 0 and never all bits set.
Handle Encode(std::size_t index, std::uint32_t generation) {
  return (static_cast<Handle>(generation & 0x7FFFFFFFu) << 32) | static_cast<Handle>(index + 1);
}

}  // namespace

Object::~Object() {
  if (shared != nullptr) munmap(shared, shared_len);
  if (fd >= 0) close(fd);
}

Handle HandleAdd(std::shared_ptr<Object> object) {
  std::lock_guard guard(g_table_lock);
  std::size_t index;
  if (!g_free.empty()) {
    index = g_free.back();
    g_free.pop_back();
  } else {
    index = g_slots.size();
    g_slots.emplace_back();
  }
  g_slots[index].object = std::move(object);
  return Encode(index, g_slots[index].generation);
}

std::shared_ptr<Object> HandleGet(Handle handle) {
  const std::uint64_t low = handle & 0xFFFFFFFFu;
  if (handle == 0 || handle == kInvalidHandle || low == 0) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  const std::size_t index = static_cast<std::size_t>(low - 1);
  std::lock_guard guard(g_table_lock);
  if (index >= g_slots.size() || !g_slots[index].object ||
      Encode(index, g_slots[index].generation) != handle) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return g_slots[index].object;
}

std::shared_ptr<Object> HandleGet(Handle handle, Kind kind) {
  auto object = HandleGet(handle);
  if (object && object->kind != kind) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

bool HandleRemove(Handle handle) {
  std::shared_ptr<Object> doomed;  // destroyed after the table lock is released
  {
    const std::uint64_t low = handle & 0xFFFFFFFFu;
    if (handle == 0 || handle == kInvalidHandle || low == 0) {
      win::SetLastError(win::ERROR_INVALID_HANDLE);
      return false;
    }
    const std::size_t index = static_cast<std::size_t>(low - 1);
    std::lock_guard guard(g_table_lock);
    if (index >= g_slots.size() || !g_slots[index].object ||
        Encode(index, g_slots[index].generation) != handle) {
      win::SetLastError(win::ERROR_INVALID_HANDLE);
      return false;
    }
    doomed = std::move(g_slots[index].object);
    doomed->closed.store(true, std::memory_order_release);
    g_slots[index].generation++;
    g_free.push_back(static_cast<std::uint32_t>(index));
  }
  return true;
}

std::size_t HandleCount() {
  std::lock_guard guard(g_table_lock);
  std::size_t n = 0;
  for (const auto& slot : g_slots) n += slot.object ? 1 : 0;
  return n;
}

void HandleTableLockForFork() { g_table_lock.lock(); }
void HandleTableUnlockAfterFork() { g_table_lock.unlock(); }

}  // namespace posix
