// other.h - another process of the test program, running one body that the
// tests register by name: forked on POSIX, started again as "PROGRAM --child
// NAME READY ARGUMENT" on Windows (tests/win), so that the same test runs on
// both.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#ifndef _WIN32
#include "support/test_support.h"
#endif

namespace pt {

using Body = int (*)(const std::string& argument);

inline std::map<std::string, Body>& Bodies() {
  static std::map<std::string, Body> bodies;
  return bodies;
}

struct Named {
  Named(const char* name, Body body) { Bodies()[name] = body; }
};

// PT_BODY(name) { ... } defines the body `name`: it gets the test's
// `argument`, and what it returns is the process's exit code.
#define PT_BODY(name)                                    \
  int name(const std::string& argument);                 \
  const pt::Named name##_named(#name, name);             \
  int name([[maybe_unused]] const std::string& argument)

// In the other process: it has reached the state the test waits for.
void Ready();
#ifdef _WIN32
// Runs the body `name` in the process started for it; 2 when there is none.
int RunBody(const std::string& name, const std::string& ready, const std::string& argument);
#endif

// Keeps the other process and what it holds until it is killed (a minute at most).
inline int Hold() {
  for (int i = 0; i < 600; ++i) SysSleep(100);
  return 0;
}

// Killed when the object goes, so a failing test leaves no process behind.
class Other {
 public:
  explicit Other(const std::string& body, const std::string& argument = {});
  ~Other();
  Other(const Other&) = delete;
  Other& operator=(const Other&) = delete;
  std::uint32_t pid() const;
  bool WaitReady(std::chrono::milliseconds limit = std::chrono::seconds(20));
  // The exit code, or -1 while it still runs after `limit`.
  int Wait(std::chrono::milliseconds limit = std::chrono::seconds(30));
  void Kill();

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

#ifndef _WIN32
inline qt::Signal* g_ready = nullptr;
inline void Ready() { g_ready->Post(); }

struct Other::Impl {
  qt::Signal ready;
  std::unique_ptr<qt::Child> child;
};

inline Other::Other(const std::string& body, const std::string& argument)
    : impl_(std::make_unique<Impl>()) {
  const Body run = Bodies().at(body);
  impl_->child = std::make_unique<qt::Child>([&] {
    g_ready = &impl_->ready;
    return run(argument);
  });
}
inline Other::~Other() = default;
inline std::uint32_t Other::pid() const { return static_cast<std::uint32_t>(impl_->child->pid()); }
inline bool Other::WaitReady(std::chrono::milliseconds limit) {
  return impl_->ready.Take(limit) == 1;
}
inline int Other::Wait(std::chrono::milliseconds limit) { return impl_->child->Wait(limit); }
inline void Other::Kill() { impl_->child->Kill(); }
#endif

}  // namespace pt
