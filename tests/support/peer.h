// peer.h - a scripted server on a real pipe or loopback socket, the data
// areas a server publishes, and a fake link for the faults no real link makes.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/exchange.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "support/test_support.h"

namespace qt {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kLocalPipe = "\\\\.\\pipe\\qoxsmem";

inline void Add32(Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline Bytes Le32(std::initializer_list<std::uint32_t> values) {
  Bytes out;
  for (std::uint32_t v : values) Add32(out, v);
  return out;
}
inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
inline Bytes Reply(std::uint32_t result, const Bytes& payload = {}, std::uint32_t first = 0) {
  return Cat({Le32({static_cast<std::uint32_t>(8 + payload.size()), first, result}), payload});
}
inline Bytes Prefix(const Bytes& bytes, std::size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}
inline std::uint32_t At32(const Bytes& b, std::size_t at) { return Word32(b, at); }
inline std::uint16_t At16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

enum class Wire { Pipe, Tcp };

// No end: both kInvalidHandle and INVALID_SOCKET.
inline constexpr std::uintptr_t kNoEnd = ~std::uintptr_t{0};

inline int EndRead(Wire wire, std::uintptr_t end, std::uint8_t* buffer, std::uint32_t size,
                   std::uint32_t* got) {
  if (wire == Wire::Pipe) return PipeReadRaw(end, buffer, size, got);
  const int n = win::recv(static_cast<win::SOCKET>(end), reinterpret_cast<char*>(buffer),
                          static_cast<int>(size), 0);
  *got = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return n > 0 ? 0 : -1;
}
inline int EndWrite(Wire wire, std::uintptr_t end, const std::uint8_t* data, std::uint32_t size,
                    std::uint32_t* moved) {
  if (wire == Wire::Pipe) return PipeWriteRaw(end, data, size, moved);
  const int n = win::send(static_cast<win::SOCKET>(end), reinterpret_cast<const char*>(data),
                          static_cast<int>(size), 0);
  *moved = n > 0 ? static_cast<std::uint32_t>(n) : 0;
  return n >= 0 ? 0 : -1;
}
// Both sides' reads and writes fail; the end stays open.
inline void EndDisconnect(Wire wire, std::uintptr_t end) {
  if (end != kNoEnd && wire == Wire::Pipe) NpipeDisconnect(end);
  if (end != kNoEnd && wire == Wire::Tcp) win::TcpShutdown(static_cast<win::SOCKET>(end));
}
inline void EndClose(Wire wire, std::uintptr_t end) {
  if (end != kNoEnd && wire == Wire::Pipe) HndClose(end);
  if (end != kNoEnd && wire == Wire::Tcp) win::closesocket(static_cast<win::SOCKET>(end));
}

class PeerConn {
 public:
  explicit PeerConn(Wire wire = Wire::Pipe) : wire_(wire) {}
  // Exactly n bytes, kept in received(); false when the link failed first.
  bool Read(std::size_t n) {
    std::uint8_t buffer[4096];
    while (n > 0) {
      if (!WaitReadable()) return false;
      std::uint32_t got = 0;
      const auto ask = static_cast<std::uint32_t>(std::min(n, sizeof buffer));
      if (EndRead(wire_, end_.load(), buffer, ask, &got) != 0 || got == 0) return false;
      received_.insert(received_.end(), buffer, buffer + got);
      n -= got;
    }
    return true;
  }
  // One request record; empty on failure.
  Bytes ReadRequest() {
    const std::size_t start = received_.size();
    Bytes request;
    if (Read(4) && Read(At32(received_, start)))
      request.assign(received_.begin() + static_cast<std::ptrdiff_t>(start), received_.end());
    return request;
  }
  bool Send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::uint32_t moved = 0;
      const auto ask = static_cast<std::uint32_t>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
      if (EndWrite(wire_, end_.load(), bytes.data() + done, ask, &moved) != 0 || moved == 0) return false;
      done += moved;
    }
    return true;
  }
  void Close() { EndDisconnect(wire_, end_.load()); }
  void WaitFinish() {
    std::unique_lock lock(mutex_);
    finished_cv_.wait_for(lock, 60s, [this] { return finishing_; });
  }
  const Bytes& received() const { return received_; }

 private:
  friend class Peer;
  // False once the test has finished and nothing is left: a script waiting
  // for a request that never comes ends at once.
  bool WaitReadable() {
    for (;;) {
      const std::uintptr_t end = end_.load();
      if (wire_ == Wire::Pipe) {
        win::DWORD available = 0;
        if (win::PeekNamedPipe(end, nullptr, 0, nullptr, &available, nullptr) == 0 || available > 0)
          return true;
      } else {
        pollfd ready{static_cast<int>(end), POLLIN, 0};
        if (poll(&ready, 1, 0) != 0) return true;
      }
      {
        std::lock_guard guard(mutex_);
        if (finishing_) return false;
      }
      std::this_thread::sleep_for(1ms);
    }
  }

  Wire wire_;
  std::atomic<std::uintptr_t> end_{kNoEnd};
  Bytes received_;
  std::mutex mutex_;
  std::condition_variable finished_cv_;
  bool finishing_ = false;
};

// Runs a script on the next client in a thread of its own; a watchdog cuts
// the connection after a minute, so that a wait for bytes that never come
// fails the test instead of hanging it.
class Peer {
 public:
  explicit Peer(const char* pipe_name = kLocalPipe) : Peer(Wire::Pipe, pipe_name) {}
  explicit Peer(Wire wire, const char* pipe_name = kLocalPipe) : wire_(wire) {
    if (wire_ == Wire::Pipe) {
      listener_ = NpipeListen(pipe_name);
    } else {
      const win::SOCKET s = win::TcpListen("127.0.0.1", 0);
      listener_ = static_cast<std::uintptr_t>(s);
      if (s != win::INVALID_SOCKET) port_ = win::TcpLocalPort(s);
    }
  }
  explicit Peer(std::function<void(PeerConn&)> script) : Peer(Wire::Pipe, kLocalPipe, std::move(script)) {}
  Peer(Wire wire, const char* pipe_name, std::function<void(PeerConn&)> script) : Peer(wire, pipe_name) {
    Serve(std::move(script));
  }
  ~Peer() {
    Finish();
    EndClose(wire_, listener_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool listening() const { return listener_ != kNoEnd; }
  Wire wire() const { return wire_; }
  std::uint16_t port() const { return port_; }  // TCP only

  void Serve(std::function<void(PeerConn&)> script) {
    Finish();
    conn_ = std::make_unique<PeerConn>(wire_);
    done_ = false;
    PeerConn* conn = conn_.get();
    script_ = std::thread([this, conn, script = std::move(script)] {
      // In short steps, so that a test that finishes without a client does
      // not wait for the whole bound.
      std::uintptr_t end = kNoEnd;
      const auto deadline = std::chrono::steady_clock::now() + 30s;
      while (end == kNoEnd && std::chrono::steady_clock::now() < deadline) {
        end = Accept(50);
        if (end == kNoEnd && Finishing(*conn)) break;
      }
      conn->end_.store(end);
      if (end != kNoEnd) script(*conn);
      std::lock_guard guard(conn->mutex_);
      done_ = true;
      conn->finished_cv_.notify_all();
    });
    watchdog_ = std::thread([this, conn] {
      std::unique_lock lock(conn->mutex_);
      if (!conn->finished_cv_.wait_for(lock, 60s, [conn] { return conn->finishing_; }))
        EndDisconnect(wire_, conn->end_.load());
    });
  }

  bool ScriptDone() {
    if (!conn_) return true;
    std::lock_guard guard(conn_->mutex_);
    return done_;
  }
  bool WaitScript() { return WaitFor([this] { return ScriptDone(); }, 30s); }

  // Tells the script the test is done, waits for it, cuts its connection.
  void Finish() {
    if (!conn_) return;
    {
      std::lock_guard guard(conn_->mutex_);
      conn_->finishing_ = true;
      conn_->finished_cv_.notify_all();
    }
    watchdog_.join();
    if (!WaitFor([this] { return ScriptDone(); }, 10s)) EndDisconnect(wire_, conn_->end_.load());
    script_.join();
    const std::uintptr_t end = conn_->end_.load();
    EndDisconnect(wire_, end);
    EndClose(wire_, end);
    received_ = conn_->received_;
    conn_.reset();
  }
  const Bytes& received() const { return received_; }

 private:
  static bool Finishing(PeerConn& conn) {
    std::lock_guard guard(conn.mutex_);
    return conn.finishing_;
  }
  std::uintptr_t Accept(std::uint32_t timeout_ms) const {
    if (wire_ == Wire::Pipe) return NpipeAccept(listener_, timeout_ms);
    return static_cast<std::uintptr_t>(win::TcpAccept(static_cast<win::SOCKET>(listener_), timeout_ms));
  }

  Wire wire_;
  std::uintptr_t listener_ = kNoEnd;
  std::uint16_t port_ = 0;
  std::unique_ptr<PeerConn> conn_;
  bool done_ = false;  // guarded by conn_->mutex_
  std::thread script_;
  std::thread watchdog_;
  Bytes received_;
};

inline std::vector<Bytes> Records(const Bytes& received) {
  std::vector<Bytes> out;
  for (std::size_t at = 0; at + 4 <= received.size();) {
    const std::size_t end = at + 4 + std::size_t{At32(received, at)};
    if (end > received.size()) break;
    out.emplace_back(received.begin() + static_cast<std::ptrdiff_t>(at),
                     received.begin() + static_cast<std::ptrdiff_t>(end));
    at = end;
  }
  return out;
}

inline constexpr const char* kAreaNames[6] = {"\\sharemem\\qoxmemcb", "\\sharemem\\qoxmemcw",
                                             "\\sharemem\\qoxmemsb", "\\sharemem\\qoxmemsw",
                                             "\\sharemem\\qoxlgp",   "\\sharemem\\qoxtman"};
inline constexpr const char* kMutexNames[6] = {"\\sem32\\qoxsemcb", "\\sem32\\qoxsemcw",
                                              "\\sem32\\qoxsemsb", "\\sem32\\qoxsemsw",
                                              "\\sem32\\qoxslgp",  "\\sem32\\qoxstman"};

// The six mappings and mutexes of a server.  The close handshake word (204
// of area 3) starts at 0xFFFF so that a closing client does not wait.
class ServerObjects {
 public:
  explicit ServerObjects(std::array<std::uint32_t, 6> words = {64, 300, 64, 256, 16, 16}) {
    ok_ = true;
    for (int i = 0; i < 6; ++i) {
      char area[32];
      char mutex[32];
      std::snprintf(area, sizeof area, "%s", kAreaNames[i]);
      std::snprintf(mutex, sizeof mutex, "%s", kMutexNames[i]);
      words_[i] = words[static_cast<std::size_t>(i)];
      if (ShmCreate(&views_[i], area, words_[i] * 2, 3, &mappings_[i]) != 0) ok_ = false;
      if (MtxCreate(mutex, &mutexes_[i], 0) != 0) ok_ = false;
      if (views_[i] != nullptr) std::memset(views_[i], 0, words_[i] * 2);
    }
    if (ok_ && words_[3] > 204) this->area(3)[204] = 0xFFFF;
  }
  ~ServerObjects() {
    for (int i = 0; i < 6; ++i) {
      if (views_[i] != nullptr) ShmClose(views_[i], mappings_[i]);
      if (mutexes_[i] != 0) HndClose(mutexes_[i]);
    }
  }
  ServerObjects(const ServerObjects&) = delete;
  ServerObjects& operator=(const ServerObjects&) = delete;

  bool ok() const { return ok_; }
  std::uint16_t* area(int i) { return static_cast<std::uint16_t*>(views_[i]); }
  Handle mutex(int i) const { return mutexes_[i]; }
  std::uint32_t words(int i) const { return words_[i]; }
  Bytes SizesPayload() const {
    Bytes out;
    for (std::uint32_t w : words_) Add32(out, w);
    return out;
  }

 private:
  bool ok_ = false;
  void* views_[6] = {};
  Handle mappings_[6] = {};
  Handle mutexes_[6] = {};
  std::uint32_t words_[6] = {};
};

// What the server side does in one row of a family table.
struct Script {
  Bytes reply = {};          // sent once the request has been read
  bool close_first = false;  // gone before the request: the first write fails
  bool close_after = false;  // closes after sending `reply`
  // fake link only (a real link never writes short, reads all or fails):
  int fail_write = -1;   // this write (0: the first piece) fails
  int short_write = -1;  // this write moves half its bytes
  int short_read = -1;   // this read (0 length, 1 head, 2 payload) stops half-way
  bool PipeCanPlay() const { return fail_write < 0 && short_write < 0 && short_read < 0; }
  // A TCP peer gone before the request shows only at the reply.
  bool TcpCanPlay() const { return PipeCanPlay() && !close_first; }
};

struct FakeLink {
  explicit FakeLink(Script s) : server(std::move(s)) {}
  Script server;
  Bytes written;
  std::size_t at = 0;  // reply bytes consumed
  int writes = 0;
  int reads = 0;
  bool cut = false;

  int Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* moved) {
    const int call = writes++;
    *moved = 0;
    if (cut || server.close_first || call == server.fail_write) return -1;
    const std::uint32_t n = call == server.short_write ? size / 2 : size;
    written.insert(written.end(), data, data + n);
    *moved = n;
    return 0;
  }
  // Like NpipeRead: all bytes or -1; a scripted short read "succeeds" half.
  int ReadAll(std::uint8_t* data, std::uint32_t size, std::uint32_t* moved) {
    const int call = reads++;
    *moved = 0;
    if (cut) return -1;
    const bool stop_short = call == server.short_read;
    const std::size_t want = stop_short ? size / 2 : size;
    const std::size_t n = std::min(want, server.reply.size() - at);
    std::copy_n(server.reply.begin() + static_cast<std::ptrdiff_t>(at), n, data);
    at += n;
    *moved = static_cast<std::uint32_t>(n);
    return stop_short || n == size ? 0 : -1;
  }
  void Cut() { cut = true; }
};
static_assert(Transport<FakeLink>);

// In step: the reply was read to its end; cut: the next exchange fails at
// its first write.
enum class After { InStep, Cut };

struct Row {
  const char* situation;
  Script server;
  std::uint32_t result;
  std::int32_t detail;
  std::size_t bytes;  // bytes of the request the server receives
  After after;
};

// A call that must not wait for the peer: a second, with room to spare.
inline constexpr auto kPromptly = 5s;

// A length word no reply of the family has, then silence: the call fails at
// once and cuts the link.  `exact`: the family's one length (0: at least 8).
inline std::vector<Row> BadLengthRows(std::int32_t detail, std::size_t bytes,
                                      std::uint32_t exact = 0) {
  std::vector<Row> rows;
  const auto add = [&](const char* situation, std::uint32_t length) {
    rows.push_back({situation, {.reply = Le32({length})}, 102, detail, bytes, After::Cut});
  };
  add("reply length 4, then silence", 4);
  add("reply length 6, then silence", 6);
  add("reply length 7, then silence", 7);
  if (exact != 0) add("reply length 4 beyond the exact one, then silence", exact + 4);
  add("reply length 0xFFFFFFFF, then silence", 0xFFFFFFFFu);
  return rows;
}

inline std::vector<Row> Rows(std::vector<Row> rows, const std::vector<Row>& more) {
  rows.insert(rows.end(), more.begin(), more.end());
  return rows;
}

}  // namespace qt
