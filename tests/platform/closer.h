// closer.h - what the platform tests share: a handle or a socket closed at
// the end of a scope, whatever the test's outcome, the error of a call, and
// a call that blocks until something ends it.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#include <utility>
#ifndef _WIN32
#include <pthread.h>
#include <signal.h>
#endif

#include "platform/platform.h"

// The error a failed call left (0 when it succeeded).
inline win::DWORD Failed(bool ok) { return ok ? 0 : win::GetLastError(); }

template <typename T, T kNone, auto Close>
class Closer {
 public:
  explicit Closer(T h = kNone) : h_(h) {}
  ~Closer() { reset(); }
  Closer(Closer&& other) noexcept : h_(std::exchange(other.h_, kNone)) {}
  Closer& operator=(Closer&& other) noexcept {
    if (this != &other) {
      reset();
      h_ = std::exchange(other.h_, kNone);
    }
    return *this;
  }
  T get() const { return h_; }
  bool valid() const { return h_ != kNone; }
  void reset() {
    if (h_ != kNone) Close(h_);
    h_ = kNone;
  }

 private:
  T h_;
};

// Runs `call` on a thread of its own: it must still be blocked after 100 ms
// and end once `wake` has run; if it does not, `unblock` ends it so that the
// test can end.  The call's result, or -2 when `wake` did not end it.
inline int EndedBy(const std::function<int()>& call, const std::function<void()>& wake,
                   const std::function<void()>& unblock) {
  std::atomic<int> result{-2};
  std::atomic<bool> done{false};
  std::thread thread([&] {
    result = call();
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const bool blocked = !done;
  wake();
  bool ended = false;
  for (int i = 0; i < 2000 && !ended; ++i) {
    ended = done;
    if (!ended) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!ended) unblock();
  thread.join();
  return blocked && ended ? result.load() : -2;
}

#ifndef _WIN32
// A SIGUSR1 handler without SA_RESTART while the object lives, so that the
// signal interrupts the calls of the thread it is sent to.
class Interrupts {
 public:
  Interrupts() {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, &previous_);
  }
  ~Interrupts() { sigaction(SIGUSR1, &previous_, nullptr); }
  Interrupts(const Interrupts&) = delete;
  Interrupts& operator=(const Interrupts&) = delete;

  // Signals `thread` every 20 ms until `done` holds or 10 s pass.
  static bool Until(pthread_t thread, const std::atomic<bool>& done) {
    for (int i = 0; i < 500 && !done; ++i) {
      pthread_kill(thread, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return done;
  }

 private:
  struct sigaction previous_ {};
};
#endif
