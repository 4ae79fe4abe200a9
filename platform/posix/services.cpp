// services.cpp - the small services of the platform layer that the library
// does not call itself: local time, process and thread exit, beep, memory,
// one critical section, window messages, periodic timers and a plain wait on
// a handle.
//
// Lock rules.  Each group has its own lock and never takes another group's:
//   * CsState::lock guards the critical section's owner and depth;
//   * MsgState::lock guards the message queue.  It is held while the window
//     table is asked whether a window is ours (that takes the table's flock,
//     never the other way round), so that a window closed meanwhile either
//     is seen closed or has its messages dropped after they were queued;
//   * the timers' lock is timers.cpp's; a timer thread's handle is added here
//     with it held.
// The two states are allocated once and never destroyed.
#include <errno.h>
#include <pthread.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/platform.h"
#include "platform/posix/handles.h"
#include "platform/posix/root.h"
#include "platform/posix/window_table.h"
#include "platform/timers.h"

namespace {

constexpr win::DWORD kErrorNotOwner = 288;
constexpr win::DWORD kErrorInvalidWindowHandle = 1400;

}  // namespace

// ---- Time ------------------------------------------------------------------

int TimeGet(std::uint8_t* record) {
  if (record == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const auto ms = static_cast<unsigned>(now.tv_nsec / 1000000);
  const auto year = static_cast<std::uint16_t>(local.tm_year + 1900);
  record[0] = static_cast<std::uint8_t>(local.tm_hour);
  record[1] = static_cast<std::uint8_t>(local.tm_min);
  record[2] = static_cast<std::uint8_t>(local.tm_sec > 59 ? 59 : local.tm_sec);  // no leap second
  record[3] = static_cast<std::uint8_t>(ms & 0xFFu);
  record[4] = static_cast<std::uint8_t>(local.tm_mday);
  record[5] = static_cast<std::uint8_t>(local.tm_mon + 1);
  record[6] = static_cast<std::uint8_t>(year & 0xFFu);
  record[7] = static_cast<std::uint8_t>(year >> 8);
  record[10] = static_cast<std::uint8_t>(local.tm_wday);  // 0 Sunday, as on Windows
  return 0;
}

int TimeSet(const std::uint8_t* record) {
  if (record == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  tm local{};
  local.tm_hour = record[0];
  local.tm_min = record[1];
  local.tm_sec = record[2];
  local.tm_mday = record[4];
  local.tm_mon = record[5] - 1;
  local.tm_year = (record[6] | (record[7] << 8)) - 1900;
  local.tm_isdst = -1;
  // A field out of range would silently move the clock elsewhere (mktime
  // normalises "February 30" into March): refuse such a record instead.
  tm checked = local;
  const time_t seconds = mktime(&checked);
  if (seconds == static_cast<time_t>(-1) || local.tm_hour > 23 || local.tm_min > 59 ||
      local.tm_sec > 59 || checked.tm_mday != local.tm_mday || checked.tm_mon != local.tm_mon ||
      checked.tm_year != local.tm_year) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  // Only the low 8 bits of the milliseconds travel in the record.
  const timespec when{seconds, static_cast<long>(record[3]) * 1000000L};
  if (clock_settime(CLOCK_REALTIME, &when) != 0) {
    // Without the right to set the clock the call fails, and says so.
    posix::SetErrorFromErrno(errno);
    return -1;
  }
  return 0;
}

// ---- Process, beep, memory, no-op ------------------------------------------------

void ProcExit(int whole_process, std::uint32_t exit_code) {
  if (whole_process == 1) {
    // As ExitProcess: the other threads stop where they are, no static
    // destructor runs under their feet; buffered output is not lost.
    std::fflush(nullptr);
    _exit(static_cast<int>(exit_code));
  }
  pthread_exit(nullptr);
}

int SysBeep(std::uint32_t frequency, std::uint32_t duration_ms) {
  // The range Beep accepts; anything else fails there too.
  if (frequency < 37 || frequency > 32767) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  // No speaker to drive: a terminal on stderr gets its bell, and the call
  // takes as long as the tone would have.
  if (isatty(STDERR_FILENO) == 1) {
    const char bell = '\a';
    [[maybe_unused]] const ssize_t ignored = write(STDERR_FILENO, &bell, 1);
  }
  SysSleep(duration_ms);
  return 0;
}

int MemAlloc(void** out, std::size_t size) {
  if (out == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  *out = std::malloc(size);
  if (*out == nullptr) {
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
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

// A recursive lock owned by a thread.  Built on a constant-initialised mutex,
// so "initialising it on first use" cannot race: there is nothing to set up.
struct CsState {
  std::mutex lock;
  std::condition_variable released;
  std::thread::id owner;
  unsigned depth = 0;
};

CsState& Cs() {
  static CsState* state = new CsState;  // never destroyed: see the lock rules
  return *state;
}

}  // namespace

int CsEnter() {
  CsState& cs = Cs();
  const auto me = std::this_thread::get_id();
  std::unique_lock guard(cs.lock);
  if (cs.depth != 0 && cs.owner == me) {
    ++cs.depth;
    return 0;
  }
  cs.released.wait(guard, [&] { return cs.depth == 0; });
  cs.owner = me;
  cs.depth = 1;
  return 0;
}

int CsLeave() {
  CsState& cs = Cs();
  std::lock_guard guard(cs.lock);
  // Leaving a section one does not hold would hand it to nobody in particular.
  if (cs.depth == 0 || cs.owner != std::this_thread::get_id()) {
    win::SetLastError(kErrorNotOwner);
    return -1;
  }
  if (--cs.depth == 0) {
    cs.owner = std::thread::id();
    cs.released.notify_one();
  }
  return 0;
}

int CsDelete() {
  CsState& cs = Cs();
  std::lock_guard guard(cs.lock);
  // Deleting a section that a thread holds would leave it, and whoever waits
  // for it, in an undefined state; the section stays as it is then.
  if (cs.depth != 0) {
    win::SetLastError(win::ERROR_ACCESS_DENIED);
    return -1;
  }
  return 0;
}

// ---- Window messages -------------------------------------------------------------

namespace {

constexpr std::uint32_t kWmQuit = 0x12;

struct Message {
  win::HWND window;
  std::uint32_t message;
  std::uintptr_t wparam;
  std::intptr_t lparam;
};

struct MsgState {
  std::mutex lock;
  std::condition_variable arrived;
  std::deque<Message> queue;  // in posting order
};

MsgState& Msgs() {
  static MsgState* state = new MsgState;
  return *state;
}

}  // namespace

namespace posix {

void MsgWindowClosed(win::HWND window) {
  MsgState& msgs = Msgs();
  std::lock_guard guard(msgs.lock);
  std::erase_if(msgs.queue, [&](const Message& m) { return m.window == window; });
  msgs.arrived.notify_all();  // a reader of that window now fails
}

}  // namespace posix

int WndMsgPost(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
               std::intptr_t lparam) {
  MsgState& msgs = Msgs();
  std::lock_guard guard(msgs.lock);
  // Window 0 is this process's own queue, as PostMessage(NULL) posts to the
  // caller's thread.  Other processes' windows have no queue here.
  if (window != 0 && !posix::WindowIsOwn(window)) {
    win::SetLastError(kErrorInvalidWindowHandle);
    return 0;
  }
  msgs.queue.push_back({window, message, wparam, lparam});
  msgs.arrived.notify_all();
  return 1;
}

int WndMsgPostParam(std::uintptr_t window, std::uintptr_t wparam, std::uint16_t message,
                    std::intptr_t lparam) {
  return WndMsgPost(window, message, wparam, lparam);
}

int WndMsgGet(std::uintptr_t window, std::uint32_t first, std::uint32_t last,
              std::uint32_t* message, std::uintptr_t* wparam, std::intptr_t* lparam) {
  if (message == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  const bool any = first == 0 && last == 0;
  MsgState& msgs = Msgs();
  std::unique_lock guard(msgs.lock);
  for (;;) {
    // Checked at every wake-up: a window closed while we wait ends the wait.
    if (window != 0 && !posix::WindowIsOwn(window)) {
      win::SetLastError(kErrorInvalidWindowHandle);
      return -1;
    }
    for (auto it = msgs.queue.begin(); it != msgs.queue.end(); ++it) {
      if (window != 0 && it->window != window) continue;
      // The quit message passes any filter, as GetMessage's does.
      if (!any && it->message != kWmQuit && (it->message < first || it->message > last)) continue;
      const Message got = *it;
      msgs.queue.erase(it);
      *message = got.message;
      if (wparam != nullptr) *wparam = got.wparam;
      if (lparam != nullptr) *lparam = got.lparam;
      return got.message == kWmQuit ? 0 : 1;
    }
    msgs.arrived.wait(guard);
  }
}

// ---- Timers ----------------------------------------------------------------------
// The timers themselves are portable (timers.cpp); a timer's thread here is a
// handle table entry that holds the thread's state, which HndWait waits on.

int timers::StartThread(std::size_t index, const std::shared_ptr<ThreadState>& state,
                        Handle* thread) {
  auto object = std::make_shared<posix::Object>(posix::Kind::Thread);
  object->state = state;
  object->name = "timer";
  const Handle handle = posix::HandleAdd(object);
  try {
    std::thread(Run, index, state).detach();
  } catch (...) {
    posix::HandleRemove(handle);
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  *thread = handle;
  return 0;
}

// ---- Plain wait ------------------------------------------------------------------

int HndWait(const Handle* handle, int test_only) {
  if (handle == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  const std::uint32_t timeout = test_only != 0 ? 0 : kInfinite;
  const std::shared_ptr<posix::Object> object = posix::HandleGet(*handle);
  if (!object) return -1;
  switch (object->kind) {
    case posix::Kind::Event:
      return EvWait(*handle, timeout) == kWaitFailed ? -1 : 0;
    case posix::Kind::Mutex: {
      // A wait takes the mutex; this plain wait gives it back at once.
      const int result = MtxWait(*handle, timeout);
      if (result == kWaitOk || result == kWaitAbandoned) MtxRelease(*handle);
      return result == kWaitFailed ? -1 : 0;
    }
    case posix::Kind::Thread: {
      if (object->name != "timer" || !object->state) break;
      timers::WaitDone(std::static_pointer_cast<timers::ThreadState>(object->state),
                       test_only != 0);
      return 0;
    }
    default:
      break;
  }
  win::SetLastError(win::ERROR_INVALID_HANDLE);
  return -1;
}
