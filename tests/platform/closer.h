// closer.h - what the platform tests share: a handle or a socket closed at
// the end of a scope, whatever the test's outcome, and the error of a call.
#pragma once

#include <utility>

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
