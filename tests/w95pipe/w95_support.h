// w95_support.h - helpers of the pipe emulation tests: the creating side in a
// forked child, the opening side in the test process, and a look at the
// shared memory as a third party sees it.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "core/link.h"
#include "platform/platform.h"
#include "support/test_support.h"
#include "w95pipe/w95pipe.h"

namespace w95t {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline std::int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// A read's or write's result, and the bytes read or the count written.
using Got = std::pair<std::uint32_t, std::string>;
using Wrote = std::pair<std::uint32_t, std::uint32_t>;
inline Got Read(Handle pipe, std::uint32_t size) {
  std::string bytes(size, '\0');
  std::uint32_t n = 7;  // a call that leaves the count alone shows as 7 bytes
  const std::uint32_t result = W95NpipeRead(pipe, bytes.data(), size, &n);
  bytes.resize(n);
  return {result, bytes};
}
inline Wrote Write(Handle pipe, const std::string& bytes) {
  std::uint32_t n = 0;
  const std::uint32_t result =
      W95NpipeWrite(pipe, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &n);
  return {result, n};
}

// A mapping opened by name, as another program would open it.
struct View {
  explicit View(std::string name) {
    if (ShmOpen(&view, name.data(), 3, &mapping) != 0) view = nullptr;
  }
  ~View() {
    if (view != nullptr) ShmClose(view, mapping);
  }
  View(const View&) = delete;
  View& operator=(const View&) = delete;
  bool ok() const { return view != nullptr; }
  std::int32_t Word(std::size_t offset) const {
    std::int32_t w = 0;
    std::memcpy(&w, static_cast<const std::uint8_t*>(view) + offset, 4);
    return w;
  }
  std::string Bytes(std::size_t offset, std::size_t n) const {
    return std::string(static_cast<const char*>(view) + offset, n);
  }
  void* view = nullptr;
  Handle mapping = 0;
};

// Closes every pipe this process opened, so that each test starts with
// empty tables.
inline void CloseAllOpened() {
  for (std::uint32_t e = 0; e < kW95Entries; ++e) {
    W95PipeEntry& entry = g_w95_opened[e];
    for (std::uint32_t n = 0; entry.name[0] != '\0' && n < entry.max_instances; ++n)
      if (entry.instances[n].in_use != 0) W95NpipeClose(e + n * 65536u);
  }
}

// Each test gets its own platform root and leaves no emulated pipe open.
class W95Test : public ::testing::Test {
 protected:
  ~W95Test() override { CloseAllOpened(); }
  qt::TempRoot root;
  qt::Signal to_child;
  qt::Signal to_parent;
};

}  // namespace w95t
