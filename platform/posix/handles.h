// handles.h - the POSIX backend's handle table.
//
// A Handle is an index into one process-wide table plus a generation count,
// so a handle that was closed (or never issued) is recognised and refused
// instead of touching freed memory.  Each slot owns a shared_ptr to its
// object: a thread that looked a handle up keeps the object alive even when
// another thread closes the handle meanwhile (its wait or read then finishes
// on an object that is no longer in the table).
//
// Lock rules: g_table_lock guards the slot vector only; it is never held
// while a caller works on an object, and nothing else is taken under it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/platform.h"

namespace posix {

enum class Kind : std::uint8_t { Mapping, Mutex, Event, Pipe, Listener, Thread, Process };

// One kernel object as this process holds it.  Fields are used by kind; the
// destructor unmaps `shared`, closes `fd` and drops `state`, in that order.
struct Object {
  Kind kind;
  int fd = -1;             // object file (holding its lifetime lock) or socket
  void* shared = nullptr;  // mapped shared state (mutex, event, mapping header)
  std::size_t shared_len = 0;
  std::shared_ptr<void> state;  // heap state of unnamed or local objects
  std::uint64_t size = 0;  // mapping: bytes of the data view
  std::string name;        // object or pipe name, for diagnostics and listeners
  std::uintptr_t extra = 0;  // kind-specific (process id, ...)
  // Set when its handle is closed: a caller that holds the object past the
  // close (a held handle, platform.h) then fails as the handle's lookup would.
  std::atomic<bool> closed{false};

  explicit Object(Kind k) : kind(k) {}
  ~Object();
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;
};

// Adds an object and returns its new handle (never 0, never kInvalidHandle).
Handle HandleAdd(std::shared_ptr<Object> object);
// The object behind a handle, or nullptr (error 6) when the handle is not
// open or, with a kind given, is of another kind.
std::shared_ptr<Object> HandleGet(Handle handle);
std::shared_ptr<Object> HandleGet(Handle handle, Kind kind);
// Removes the handle and marks its object closed; the object dies with its
// last user.  false: not open.
bool HandleRemove(Handle handle);
std::size_t HandleCount();
// Holds and frees the table's lock around fork(), so that a child forked
// while another thread was inside the table does not find it locked for ever.
void HandleTableLockForFork();
void HandleTableUnlockAfterFork();

}  // namespace posix
