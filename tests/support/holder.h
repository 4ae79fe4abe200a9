// holder.h - a thread of its own that holds a platform mutex, so that a test
// can see what the library does while someone else has it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/platform.h"

namespace qt {

class MutexHolder {
 public:
  // Holds `mutex` for `hold` or until Release(); with `release` false the
  // thread ends holding it, which abandons it.  Returns once it holds it (or
  // gave up waiting for it: taken() says which).
  explicit MutexHolder(Handle mutex, std::chrono::milliseconds hold = std::chrono::minutes(1),
                       bool release = true) {
    thread_ = std::thread([this, mutex, hold, release] {
      const bool taken = MtxWait(mutex, 5000) == kWaitOk;
      std::unique_lock lock(mutex_);
      taken_ = taken;
      held_ = true;
      changed_.notify_all();
      changed_.wait_for(lock, hold, [this] { return released_; });
      if (taken && release) MtxRelease(mutex);
    });
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return held_; });
  }
  ~MutexHolder() { Release(); }
  MutexHolder(const MutexHolder&) = delete;
  MutexHolder& operator=(const MutexHolder&) = delete;

  bool taken() const { return taken_; }
  // Lets go of the mutex now and waits for the thread to end.
  void Release() {
    {
      std::lock_guard guard(mutex_);
      released_ = true;
      changed_.notify_all();
    }
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  bool released_ = false;
  std::atomic<bool> taken_{false};
  std::thread thread_;
};

}  // namespace qt
