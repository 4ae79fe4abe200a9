// timers.h - the periodic timers, written once: what the portable part
// (timers.cpp) and each backend's thread start give one another.  Inside the
// platform only.
#pragma once

#include <cstddef>
#include <memory>

#include "platform/platform.h"

namespace timers {

// What a timer thread tells its starter, its stopper and its waiters;
// guarded by the timers' lock.
struct ThreadState {
  bool first_done = false;  // the first set has been tried
  bool first_ok = false;    // ... and succeeded
  bool done = false;        // the thread has left its slot
};

// The body of the timer thread in slot `index`: sets the slot's event now and
// then every interval until stopped or until a set fails.
void Run(std::size_t index, std::shared_ptr<ThreadState> me);

// Waits until the thread of `state` has left its slot; with test_only, only
// looks.  For a backend whose thread handles are not waitable themselves.
void WaitDone(const std::shared_ptr<ThreadState>& state, bool test_only);

// Given by each backend: starts a thread that calls Run(index, state), its
// handle through *thread.  Called with the timers' lock held, so the thread
// reaches its slot only once the starter has filled it in.  0, or -1 with the
// last error set and nothing left open.
int StartThread(std::size_t index, const std::shared_ptr<ThreadState>& state, Handle* thread);

}  // namespace timers
