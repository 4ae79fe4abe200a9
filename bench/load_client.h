// load_client.h - one client process of the sustained load, shared by the
// load test (tests/load) and the soak (bench/soak.cpp).
//
// Each thread owns what it writes: thread j of client k keeps a counter in
// two words of area 1 (written through the server), or two words of area 4
// (written directly and read back under the mutex), or two mailbox words and
// a message channel to which it sends numbered messages two at a time and
// receives them back in order, by j % 3.  At the end every counter must be exactly the last value
// its thread wrote and every channel empty (nothing delivered twice).
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "qnapi.h"

namespace load {

using Clock = std::chrono::steady_clock;

// What one client did: its calls (of them, server exchanges) and the
// longest call.
struct Figures {
  std::uint64_t calls = 0;
  std::uint64_t exchanges = 0;
  std::uint64_t worst_us = 0;
};

inline std::uint32_t Value(const std::uint16_t* w) { return w[0] | static_cast<std::uint32_t>(w[1]) << 16; }

inline int Fail(int k, const std::string& why) {
  std::fprintf(stderr, "client %d (pid %d): %s\n", k, static_cast<int>(getpid()), why.c_str());
  return 1;
}

// One thread's share: its kind of work, its words and channel, the last value
// that went well.
struct Share {
  int kind;
  std::uint32_t slot;
  std::uint32_t mailbox_word;
  std::uint32_t done = 0;
  Figures figures;
};

// Client k with `threads` threads until `end`, then the check: 0 when every
// value was kept, else 1 (the reason on stderr).
inline int RunClient(int k, int threads, Clock::time_point end, Figures& out) {
  const std::string name = "LOAD" + std::to_string(k);
  // About what is kept, not how fast: on two loaded cores a thread may wait
  // longer than the default second for the shared link.
  QNA_MtxTimeOut = 30000;
  QNA_TimeOut = 30000;
  QNA_REGREC record{0, 0, {}};
  std::memcpy(record.name, name.data(), std::min(name.size(), sizeof record.name));
  if (const auto r = QNA_Open(&record); r != QNA_OK) return Fail(k, "QNA_Open gave " + std::to_string(r));

  std::vector<Share> shares;
  for (int j = 0; j < threads; ++j)
    shares.push_back({j % 3, static_cast<std::uint32_t>(k * threads + j), static_cast<std::uint32_t>(2 * (j / 3)), 0, {}});
  std::atomic<bool> failed{false};
  const auto work = [&](Share& s) {
    const std::uint32_t channel = 200 + s.slot;
    // Each call timed; false ends the thread.
    const auto call = [&](auto&& body) {
      const auto start = Clock::now();
      const bool ok = body();
      const auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
      s.figures.worst_us = std::max(s.figures.worst_us, static_cast<std::uint64_t>(us));
      ++s.figures.calls;
      s.figures.exchanges += s.kind == 1 ? 0 : 1;
      return ok;
    };
    // A message is "received" when it is the one sent and comes in its turn.
    const auto received = [&](std::uint32_t m) {
      std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
      auto* got = reinterpret_cast<std::uint8_t*>(&body);
      return call([&] { return QNA_RecvMsg(channel, &w1, &w2, &length, got, 0) == QNA_OK; }) && w1 == m &&
             w2 == s.slot && length == 4 && body == m;
    };
    const auto sent = [&](std::uint32_t m) {
      return call([&] { return QNA_SendMsg(channel, m, s.slot, 0, 4, &m, 0) == QNA_OK; });
    };
    // At least one round each: a client whose open came after `end` (a
    // slow start under a sanitizer) still checks what it wrote.
    for (std::uint32_t n = 1; (n == 1 || Clock::now() < end) && !failed; ++n) {
      const std::uint16_t w[2] = {static_cast<std::uint16_t>(n & 0xFFFF), static_cast<std::uint16_t>(n >> 16)};
      std::uint16_t back[2] = {};
      bool ok = false;
      if (s.kind == 0) {
        ok = call([&] { return QNA_Write(1, 2 * s.slot, 2, w, 0) == QNA_OK; });
      } else if (s.kind == 1) {
        ok = call([&] { return QNA_WriteSmem(4, 2 * s.slot, 2, w, 0) == QNA_OK; }) &&
             call([&] { return QNA_Read(4, 2 * s.slot, 2, back, 0) == QNA_OK; }) && Value(back) == n;
      } else {
        ok = call([&] { return QNA_WriteApp(name.c_str(), s.mailbox_word, 2, w, 0) == QNA_OK; }) &&
             call([&] { return QNA_ReadApp(name.c_str(), s.mailbox_word, 2, back) == QNA_OK; }) &&
             Value(back) == n && sent(2 * n) && sent(2 * n + 1) && received(2 * n) && received(2 * n + 1);
      }
      if (!ok) {
        if (!failed.exchange(true)) Fail(k, "kind " + std::to_string(s.kind) + " failed at " + std::to_string(n));
        return;
      }
      s.done = n;
    }
  };
  std::vector<std::thread> running;
  for (int j = 1; j < threads; ++j) running.emplace_back(work, std::ref(shares[static_cast<std::size_t>(j)]));
  work(shares[0]);
  for (auto& t : running) t.join();
  for (const Share& s : shares) {
    out.calls += s.figures.calls;
    out.exchanges += s.figures.exchanges;
    out.worst_us = std::max(out.worst_us, s.figures.worst_us);
  }
  if (failed) return 1;

  // Every counter as it was last written, and no message delivered twice.
  for (const Share& s : shares) {
    std::uint16_t w[2] = {};
    const std::string what = "kind " + std::to_string(s.kind) + ", last written " + std::to_string(s.done);
    if (s.done == 0) return Fail(k, what + ": nothing done");
    const std::uint32_t r = s.kind == 0   ? QNA_Read(1, 2 * s.slot, 2, w, 0)
                            : s.kind == 1 ? QNA_Read(4, 2 * s.slot, 2, w, 0)
                                          : QNA_ReadApp(name.c_str(), s.mailbox_word, 2, w);
    if (r != QNA_OK || Value(w) != s.done) return Fail(k, what + ", read " + std::to_string(Value(w)));
    std::uint32_t w1 = 0, w2 = 0, length = 4, body = 0;
    if (s.kind == 2 && QNA_RecvMsg(200 + s.slot, &w1, &w2, &length, reinterpret_cast<std::uint8_t*>(&body), 0) != 20)
      return Fail(k, "a message came twice");
  }
  QNA_Close();
  return 0;
}

}  // namespace load
