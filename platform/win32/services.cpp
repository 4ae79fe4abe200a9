// services.cpp - the small services of the platform layer that the library
// does not call itself: local time, process and thread exit, beep, memory,
// one critical section, window messages, periodic timers and a plain wait on
// a handle.
//
// Lock rules.  Each group has its own lock and never takes another group's:
//   * CsState::guard guards whether the critical section is initialised and
//     how many callers are inside it or on their way in; it is never held
//     while entering the section itself;
//   * TimerState::lock guards the 32 timer slots and every timer thread's
//     state.  It is never held while an event is set or reset.
// Both states are allocated once and never destroyed, so a timer thread still
// running while the process exits never touches a destroyed lock.
#include "platform/win32/win32.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace {

constexpr ::DWORD kErrorNotOwner = ERROR_NOT_OWNER;

}  // namespace

// ---- Time ------------------------------------------------------------------

int TimeGet(std::uint8_t* record) {
  if (record == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  SYSTEMTIME now{};
  GetLocalTime(&now);
  record[0] = static_cast<std::uint8_t>(now.wHour);
  record[1] = static_cast<std::uint8_t>(now.wMinute);
  record[2] = static_cast<std::uint8_t>(now.wSecond);
  record[3] = static_cast<std::uint8_t>(now.wMilliseconds & 0xFFu);
  record[4] = static_cast<std::uint8_t>(now.wDay);
  record[5] = static_cast<std::uint8_t>(now.wMonth);
  record[6] = static_cast<std::uint8_t>(now.wYear & 0xFFu);
  record[7] = static_cast<std::uint8_t>(now.wYear >> 8);
  record[10] = static_cast<std::uint8_t>(now.wDayOfWeek);  // 0 Sunday
  return 0;
}

int TimeSet(const std::uint8_t* record) {
  if (record == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  SYSTEMTIME when{};
  when.wHour = record[0];
  when.wMinute = record[1];
  when.wSecond = record[2];
  when.wMilliseconds = record[3];  // only the low 8 bits travel in the record
  when.wDay = record[4];
  when.wMonth = record[5];
  when.wYear = static_cast<WORD>(record[6] | (record[7] << 8));
  // A date that does not exist is refused here rather than left to the
  // system to interpret.
  FILETIME check{};
  if (!SystemTimeToFileTime(&when, &check)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  return SetLocalTime(&when) ? 0 : -1;
}

// ---- Process, beep, memory, no-op ------------------------------------------------

void ProcExit(int whole_process, std::uint32_t exit_code) {
  if (whole_process == 1) {
    std::fflush(nullptr);  // buffered output is not lost
    ExitProcess(exit_code);
  }
  ExitThread(exit_code);
}

int SysBeep(std::uint32_t frequency, std::uint32_t duration_ms) {
  return Beep(frequency, duration_ms) ? 0 : -1;
}

int MemAlloc(void** out, std::size_t size) {
  if (out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  *out = std::malloc(size);
  if (*out == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  return 0;
}

int MemFree(void* block) {
  std::free(block);
  return 0;
}

int Nop() { return 0; }

// ---- The critical section ------------------------------------------------------

namespace {

struct CsState {
  std::mutex guard;
  bool initialised = false;
  unsigned users = 0;  // entries not yet left, and callers on their way in
  CRITICAL_SECTION section;
  // Changed only by the thread inside the section.
  std::atomic<::DWORD> owner{0};
  unsigned depth = 0;
};

CsState& Cs() {
  static CsState* state = new CsState;  // never destroyed: see the lock rules
  return *state;
}

}  // namespace

int CsEnter() {
  CsState& cs = Cs();
  {
    // Initialised on first use, under a lock, so that two first entries
    // cannot both initialise it.
    std::lock_guard guard(cs.guard);
    if (!cs.initialised) {
      InitializeCriticalSection(&cs.section);
      cs.initialised = true;
    }
    ++cs.users;
  }
  EnterCriticalSection(&cs.section);
  const ::DWORD me = GetCurrentThreadId();
  if (cs.owner.load() == me) {
    ++cs.depth;
  } else {
    cs.owner.store(me);
    cs.depth = 1;
  }
  return 0;
}

int CsLeave() {
  CsState& cs = Cs();
  // Leaving a section one does not hold is undefined for the system's
  // critical section; it is refused here.
  if (cs.owner.load() != GetCurrentThreadId()) {
    SetLastError(kErrorNotOwner);
    return -1;
  }
  if (--cs.depth == 0) cs.owner.store(0);
  LeaveCriticalSection(&cs.section);
  std::lock_guard guard(cs.guard);
  --cs.users;
  return 0;
}

int CsDelete() {
  CsState& cs = Cs();
  std::lock_guard guard(cs.guard);
  if (!cs.initialised) return 0;
  // Deleting a section that a thread holds or waits for would leave them on
  // freed system state: it stays as it is then.
  if (cs.users != 0) {
    SetLastError(ERROR_BUSY);
    return -1;
  }
  DeleteCriticalSection(&cs.section);
  cs.initialised = false;
  return 0;
}

// ---- Window messages -------------------------------------------------------------

int WndMsgPost(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
               std::intptr_t lparam) {
  return PostMessageA(reinterpret_cast<HWND>(window), message, wparam, lparam) ? 1 : 0;
}

int WndMsgPostParam(std::uintptr_t window, std::uintptr_t wparam, std::uint16_t message,
                    std::intptr_t lparam) {
  return WndMsgPost(window, message, wparam, lparam);
}

int WndMsgGet(std::uintptr_t window, std::uint32_t first, std::uint32_t last,
              std::uint32_t* message, std::uintptr_t* wparam, std::intptr_t* lparam) {
  if (message == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  MSG got{};
  const BOOL result = GetMessageA(&got, reinterpret_cast<HWND>(window), first, last);
  if (result == -1) return -1;
  *message = got.message;
  if (wparam != nullptr) *wparam = got.wParam;
  if (lparam != nullptr) *lparam = got.lParam;
  return result == 0 ? 0 : 1;
}

// ---- Timers ----------------------------------------------------------------------

namespace {

constexpr std::size_t kTimerSlots = 32;
constexpr SIZE_T kTimerStack = 8192;

// What a timer thread tells its starter and its stopper.
struct ThreadState {
  bool first_done = false;  // the first set has been tried
  bool first_ok = false;    // ... and succeeded
  bool done = false;        // the thread has left its slot
};

struct TimerSlot {
  bool in_use = false;  // taken by a start, until the thread frees it
  bool active = false;  // the thread runs
  bool stop = false;
  Handle event = 0;
  std::uint32_t interval = 0;
  Handle thread = 0;
  std::shared_ptr<ThreadState> state;
};

struct TimerState {
  std::mutex lock;
  std::condition_variable changed;  // any slot or thread state changed
  std::array<TimerSlot, kTimerSlots> slots;
};

TimerState& Timers() {
  static TimerState* state = new TimerState;
  return *state;
}

struct TimerLaunch {
  std::size_t index;
  std::shared_ptr<ThreadState> state;
};

::DWORD WINAPI TimerThread(void* parameter) {
  const std::unique_ptr<TimerLaunch> start(static_cast<TimerLaunch*>(parameter));
  const std::shared_ptr<ThreadState> me = start->state;
  TimerState& timers = Timers();
  std::unique_lock guard(timers.lock);
  TimerSlot& slot = timers.slots[start->index];
  slot.active = true;
  const Handle event = slot.event;
  const auto interval = std::chrono::milliseconds(slot.interval);
  guard.unlock();

  bool ok = EvSet(event) == 0;
  if (ok) {
    std::uint32_t ignored = 0;
    EvReset(event, &ignored);
  }
  guard.lock();
  me->first_done = true;
  me->first_ok = ok;
  timers.changed.notify_all();
  while (ok) {
    // The sleep ends early when the timer is stopped.
    const auto wake = std::chrono::steady_clock::now() + interval;
    if (timers.changed.wait_until(guard, wake, [&] { return slot.stop; })) break;
    guard.unlock();
    ok = EvSet(event) == 0;
    guard.lock();
    if (slot.stop) break;
  }
  slot = TimerSlot{};
  me->done = true;
  timers.changed.notify_all();
  return 0;
}

}  // namespace

int TimerStart(std::uint32_t interval_ms, Handle event, Handle* thread_out) {
  if (thread_out == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  *thread_out = 0;
  try {
    TimerState& timers = Timers();
    std::unique_lock guard(timers.lock);
    std::size_t index = 0;
    while (index < kTimerSlots && timers.slots[index].in_use) ++index;
    if (index == kTimerSlots) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    auto state = std::make_shared<ThreadState>();
    auto start = std::make_unique<TimerLaunch>(TimerLaunch{index, state});
    TimerSlot& slot = timers.slots[index];
    slot.in_use = true;
    slot.event = event;
    slot.interval = interval_ms;
    slot.state = state;
    // Suspended until the slot knows its thread, which TimerStop looks for.
    HANDLE thread = CreateThread(nullptr, kTimerStack, TimerThread, start.get(), CREATE_SUSPENDED,
                                 nullptr);
    if (thread == nullptr) {
      slot = TimerSlot{};
      return -1;
    }
    start.release();  // the thread's now
    const Handle handle = win32::FromHandle(thread);
    win32::CountOpened();
    slot.thread = handle;
    ResumeThread(thread);
    // The thread's first set comes before any sleep, so this wait is short;
    // it is not cut at one interval, which would report a timer whose first
    // set failed (a bad event) as started.
    timers.changed.wait(guard, [&] { return state->first_done; });
    if (!state->first_ok) {
      timers.changed.wait(guard, [&] { return state->done; });
      guard.unlock();
      win32::CloseAny(handle);
      SetLastError(ERROR_INVALID_HANDLE);
      return -1;
    }
    *thread_out = handle;
    return 0;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
}

int TimerStop(Handle thread) {
  TimerState& timers = Timers();
  std::unique_lock guard(timers.lock);
  for (TimerSlot& slot : timers.slots) {
    if (!slot.active || slot.thread != thread || slot.stop) continue;
    slot.stop = true;
    const std::shared_ptr<ThreadState> state = slot.state;
    timers.changed.notify_all();
    // Once stopped, the event is not set again: wait for the thread to leave
    // (its sleep was cut short, so this is prompt).
    timers.changed.wait(guard, [&] { return state->done; });
    return 0;
  }
  SetLastError(ERROR_INVALID_HANDLE);
  return -1;
}

// ---- Plain wait ------------------------------------------------------------------

int HndWait(const Handle* handle, int test_only) {
  if (handle == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return -1;
  }
  // Cleared first, so that only this wait's own failure counts.
  SetLastError(ERROR_SUCCESS);
  WaitForSingleObject(win32::ToHandle(*handle), test_only != 0 ? 0 : INFINITE);
  return GetLastError() != ERROR_SUCCESS ? -1 : 0;
}
