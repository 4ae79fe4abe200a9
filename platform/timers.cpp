// timers.cpp - the periodic timers of the platform, written once over the
// event calls and the thread start that each backend provides.  A timer is a
// thread that sets an event now and then every interval; at most 32 run at
// once.
//
// Lock rules: TimerState::lock guards the 32 slots and every timer thread's
// state.  It is never held while an event is set or reset, and nothing else
// is locked under it but a backend's handle table while a thread is started.
// The state is allocated once and never destroyed, so a timer thread still
// running while the process exits never touches a destroyed lock.
#include "platform/timers.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

constexpr std::size_t kTimerSlots = 32;

struct TimerSlot {
  bool in_use = false;  // taken by a start, until the thread frees it
  bool active = false;  // the thread runs
  bool stop = false;
  Handle event = 0;
  std::uint32_t interval = 0;
  Handle thread = 0;
  std::shared_ptr<timers::ThreadState> state;
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

}  // namespace

namespace timers {

void Run(std::size_t index, std::shared_ptr<ThreadState> me) {
  TimerState& timers = Timers();
  std::unique_lock guard(timers.lock);
  TimerSlot& slot = timers.slots[index];
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
}

void WaitDone(const std::shared_ptr<ThreadState>& state, bool test_only) {
  TimerState& timers = Timers();
  std::unique_lock guard(timers.lock);
  if (!test_only) timers.changed.wait(guard, [&] { return state->done; });
}

}  // namespace timers

int TimerStart(std::uint32_t interval_ms, Handle event, Handle* thread_out) {
  if (thread_out == nullptr) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  *thread_out = 0;
  try {
    TimerState& timers = Timers();
    std::unique_lock guard(timers.lock);
    std::size_t index = 0;
    while (index < kTimerSlots && timers.slots[index].in_use) ++index;
    if (index == kTimerSlots) {
      win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
      return -1;
    }
    auto state = std::make_shared<timers::ThreadState>();
    TimerSlot& slot = timers.slots[index];
    Handle handle = 0;
    if (timers::StartThread(index, state, &handle) != 0) return -1;
    // The thread waits for the lock held here, so it finds its slot filled.
    slot.in_use = true;
    slot.event = event;
    slot.interval = interval_ms;
    slot.thread = handle;
    slot.state = state;
    // The thread's first set comes before any sleep, so this wait is short;
    // it is not cut at one interval, which would report a timer whose first
    // set failed (a bad event) as started.
    timers.changed.wait(guard, [&] { return state->first_done; });
    if (!state->first_ok) {
      timers.changed.wait(guard, [&] { return state->done; });
      guard.unlock();
      HndClose(handle);
      win::SetLastError(win::ERROR_INVALID_HANDLE);
      return -1;
    }
    *thread_out = handle;
    return 0;
  } catch (...) {
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
}

int TimerStop(Handle thread) {
  TimerState& timers = Timers();
  std::unique_lock guard(timers.lock);
  for (TimerSlot& slot : timers.slots) {
    if (!slot.active || slot.thread != thread || slot.stop) continue;
    slot.stop = true;
    const std::shared_ptr<timers::ThreadState> state = slot.state;
    timers.changed.notify_all();
    // Once stopped, the event is not set again: wait for the thread to leave
    // (its sleep was cut short, so this is prompt).
    timers.changed.wait(guard, [&] { return state->done; });
    return 0;
  }
  win::SetLastError(win::ERROR_INVALID_HANDLE);
  return -1;
}
