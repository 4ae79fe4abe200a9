// closer.h - a handle or a socket closed at the end of a scope, whatever the
// test's outcome.
#pragma once

#include <utility>

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
