// services.cpp - the small services of the platform layer that the library
// does not call itself: local time, process and thread exit, beep, memory,
// one critical section, window messages, periodic timers and a plain wait on
// a handle.
//
// Lock rules.  Each group has its own lock and never takes another group's:
//   * CsState::guard guards whether the critical section is initialised and
//     how many callers are inside it or on their way in; it is never held
//     while entering the section itself;
//   * the timers' lock is timers.cpp's; a timer thread is started with it
//     held.
// The state is allocated once and never destroyed.
#include "platform/win32/win32.h"

#include "platform/timers.h"

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
// The timers themselves are portable (timers.cpp); a timer's thread here is a
// system thread with a small stack, its handle waitable as any thread's.

namespace {

constexpr SIZE_T kTimerStack = 8192;

struct TimerLaunch {
  std::size_t index;
  std::shared_ptr<timers::ThreadState> state;
};

::DWORD WINAPI TimerThread(void* parameter) {
  const std::unique_ptr<TimerLaunch> start(static_cast<TimerLaunch*>(parameter));
  timers::Run(start->index, start->state);
  return 0;
}

}  // namespace

int timers::StartThread(std::size_t index, const std::shared_ptr<ThreadState>& state,
                        Handle* thread) {
  auto start = std::make_unique<TimerLaunch>(TimerLaunch{index, state});
  HANDLE system = CreateThread(nullptr, kTimerStack, TimerThread, start.get(), 0, nullptr);
  if (system == nullptr) return -1;
  start.release();  // the thread's now
  *thread = win32::FromHandle(system);
  win32::CountOpened();
  return 0;
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
