// core_peer.h - helpers of the core tests: a scripted server on a real
// platform pipe, a scripted transport for the faults no real pipe makes
// (short writes and reads), the server's data areas, and the table runner of
// the request families.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/core.h"
#include "core/exchange.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "support/test_support.h"

namespace ct {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

inline constexpr const char* kLocalPipe = "\\\\.\\pipe\\qoxsmem";

// ---- Bytes -----------------------------------------------------------------
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
// A whole reply: length 8 + payload, first word, result, payload.
inline Bytes Reply(std::uint32_t result, const Bytes& payload = {}, std::uint32_t first = 0) {
  return Cat({Le32({static_cast<std::uint32_t>(8 + payload.size()), first, result}), payload});
}
inline Bytes Prefix(const Bytes& bytes, std::size_t n) {
  return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(n, bytes.size())));
}
inline std::uint32_t At32(const Bytes& b, std::size_t at) {
  return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
         static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

// ---- The server side of one connection -----------------------------------
class PeerConn {
 public:
  // Reads exactly n bytes and keeps them in received(); false when the pipe
  // failed first.
  bool Read(std::size_t n) {
    std::uint8_t buffer[4096];
    while (n > 0) {
      std::uint32_t got = 0;
      const auto ask = static_cast<std::uint32_t>(std::min(n, sizeof buffer));
      if (PipeReadRaw(pipe_.load(), buffer, ask, &got) != 0 || got == 0) return false;
      received_.insert(received_.end(), buffer, buffer + got);
      n -= got;
    }
    return true;
  }
  // Reads one request record (length word and what follows); empty on failure.
  Bytes ReadRequest() {
    const std::size_t start = received_.size();
    if (!Read(4)) return {};
    if (!Read(At32(received_, start))) return {};
    return Bytes(received_.begin() + static_cast<std::ptrdiff_t>(start), received_.end());
  }
  bool Send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::uint32_t moved = 0;
      const auto ask = static_cast<std::uint32_t>(bytes.size() - done);
      if (PipeWriteRaw(pipe_.load(), bytes.data() + done, ask, &moved) != 0 || moved == 0) return false;
      done += moved;
    }
    return true;
  }
  // Ends the connection: the client's next read or write fails.
  void Close() { NpipeDisconnect(pipe_.load()); }
  // Keeps the connection as it is until the test has finished with it.
  void WaitFinish() {
    std::unique_lock lock(mutex_);
    finished_cv_.wait_for(lock, 60s, [this] { return finishing_; });
  }
  const Bytes& received() const { return received_; }

 private:
  friend class Peer;
  std::atomic<Handle> pipe_{kInvalidHandle};
  Bytes received_;
  std::mutex mutex_;
  std::condition_variable finished_cv_;
  bool finishing_ = false;
};

// Plays the server on a real platform pipe: listens under a pipe name and
// runs a script on the next client in a thread of its own.  A watchdog cuts
// the connection when the test has not finished within a wide bound, so a
// client or script that waits for bytes that never come fails the test
// instead of hanging it.
class Peer {
 public:
  explicit Peer(const char* pipe_name = kLocalPipe) : listener_(NpipeListen(pipe_name)) {}
  ~Peer() {
    Finish();
    if (listener_ != kInvalidHandle) HndClose(listener_);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool listening() const { return listener_ != kInvalidHandle; }

  void Serve(std::function<void(PeerConn&)> script) {
    Finish();
    conn_ = std::make_unique<PeerConn>();
    done_ = false;
    PeerConn* conn = conn_.get();
    script_ = std::thread([this, conn, script = std::move(script)] {
      const Handle pipe = NpipeAccept(listener_, 30000);
      conn->pipe_.store(pipe);
      if (pipe != kInvalidHandle) script(*conn);
      std::lock_guard guard(conn->mutex_);
      done_ = true;
      conn->finished_cv_.notify_all();
    });
    watchdog_ = std::thread([conn] {
      std::unique_lock lock(conn->mutex_);
      if (!conn->finished_cv_.wait_for(lock, 60s, [conn] { return conn->finishing_; }))
        NpipeDisconnect(conn->pipe_.load());
    });
  }

  // True once the script has returned.
  bool ScriptDone() {
    if (!conn_) return true;
    std::lock_guard guard(conn_->mutex_);
    return done_;
  }
  // Waits (bounded) until the script has returned.
  bool WaitScript() { return qt::WaitFor([this] { return ScriptDone(); }, 30s); }

  // Tells the script the test is done, waits for it, cuts its connection.
  // received() may be read afterwards.
  void Finish() {
    if (!conn_) return;
    {
      std::lock_guard guard(conn_->mutex_);
      conn_->finishing_ = true;
      conn_->finished_cv_.notify_all();
    }
    watchdog_.join();
    if (!qt::WaitFor([this] { return ScriptDone(); }, 10s)) NpipeDisconnect(conn_->pipe_.load());
    script_.join();
    const Handle pipe = conn_->pipe_.load();
    if (pipe != kInvalidHandle) {
      NpipeDisconnect(pipe);
      HndClose(pipe);
    }
    received_ = conn_->received_;
    conn_.reset();
  }
  const Bytes& received() const { return received_; }

 private:
  Handle listener_;
  std::unique_ptr<PeerConn> conn_;
  bool done_ = false;  // guarded by conn_->mutex_
  std::thread script_;
  std::thread watchdog_;
  Bytes received_;
};

// ---- The client end, without QNA_Open ----------------------------------------
// Connects g_link to a listening peer and creates the request lock, as
// QNA_Open leaves them; QNA_Close at the end.
class LinkSession {
 public:
  explicit LinkSession(const char* pipe_name = kLocalPipe) {
    g_link = win::CreateFileA(pipe_name, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                              win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0);
    Handle lock = 0;
    if (MtxCreate(nullptr, &lock, 0) == 0) g_request_lock = lock;
  }
  ~LinkSession() { QNA_Close(); }
  LinkSession(const LinkSession&) = delete;
  LinkSession& operator=(const LinkSession&) = delete;
  bool ok() const { return g_link != kInvalidHandle && g_request_lock != 0; }
};

// ---- The server's data areas ----------------------------------------------
// The six mappings and mutexes a server publishes, under the names the
// library opens.  Word 204 of area 3 (the close handshake word) starts at
// 0xFFFF so that a closing client does not wait, unless a test says otherwise.
class ServerObjects {
 public:
  explicit ServerObjects(std::array<std::uint32_t, 6> words = {64, 300, 64, 256, 16, 16}) {
    static constexpr const char* kAreas[6] = {"\\sharemem\\qoxmemcb", "\\sharemem\\qoxmemcw",
                                              "\\sharemem\\qoxmemsb", "\\sharemem\\qoxmemsw",
                                              "\\sharemem\\qoxlgp",   "\\sharemem\\qoxtman"};
    static constexpr const char* kMutexes[6] = {"\\sem32\\qoxsemcb", "\\sem32\\qoxsemcw",
                                                "\\sem32\\qoxsemsb", "\\sem32\\qoxsemsw",
                                                "\\sem32\\qoxslgp",  "\\sem32\\qoxstman"};
    ok_ = true;
    for (int i = 0; i < 6; ++i) {
      char area[32];
      char mutex[32];
      std::snprintf(area, sizeof area, "%s", kAreas[i]);
      std::snprintf(mutex, sizeof mutex, "%s", kMutexes[i]);
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
  // The registration payload that announces these sizes.
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

// A server script that registers the client with `sizes`, then answers every
// request until the link closes: mailbox reads with zero words, other
// requests with result 0, no-reply writes not at all.
inline std::function<void(PeerConn&)> Answering(Bytes sizes) {
  return [sizes = std::move(sizes)](PeerConn& conn) {
    if (conn.ReadRequest().empty() || !conn.Send(Reply(0, sizes))) return;
    for (;;) {
      const Bytes request = conn.ReadRequest();
      if (request.empty()) return;
      const std::uint32_t command = At32(request, 4);
      const std::uint32_t options = At32(request, 8);
      if (command == 200) {
        if (!conn.Send(Reply(0, Bytes(2 * At32(request, 24), 0)))) return;
      } else if ((command < 100000 || (options & 1) == 0) && !conn.Send(Reply(0))) {
        return;
      }
    }
  };
}

// ---- A transport with scripted faults -------------------------------------
// What the server side does in one row of a family table.  The faults after
// "fake link only" cannot be made on a real pipe: a real pipe never writes
// short, and its reads either complete or fail.
struct Server {
  Bytes reply = {};          // sent once the request has been read
  bool close_first = false;  // gone before the request: the first write fails
  bool close_after = false;  // closes after sending `reply`
  // fake link only:
  int fail_write = -1;   // this write (0: the first piece) fails
  int short_write = -1;  // this write moves half its bytes
  int short_read = -1;   // this read (0 length, 1 head, 2 payload) stops half-way
  bool PipeCanPlay() const { return fail_write < 0 && short_write < 0 && short_read < 0; }
};

struct FakeLink {
  explicit FakeLink(Server s) : server(std::move(s)) {}
  Server server;
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
  // Like NpipeRead: all bytes, or -1 when the reply runs out (the server
  // closed); a scripted short read "succeeds" with half the bytes.
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

// ---- The table runner of a request family ---------------------------------
// After a failure the link is either still in step (the reply was read to its
// end) or cut (every later exchange fails at its first write).
enum class After { InStep, Cut };

struct Row {
  const char* situation;
  Server server;
  std::uint32_t result;
  std::int32_t detail;
  std::size_t bytes;  // bytes of the request the server receives
  After after;
};

struct Family {
  Bytes request;                                     // the exact request
  std::function<std::uint32_t()> call;               // the exported function on the local link
  std::function<std::uint32_t(FakeLink&)> on_fake;   // the family's exchange on a scripted link
};

// The word write that probes the link after a row: the same request each time.
inline const std::uint16_t kProbeWords[3] = {0x1111, 0x2222, 0x3333};
inline std::uint32_t Probe() { return QNA_Write(1, 100, 3, kProbeWords, 0); }
inline const Bytes kProbeRequest = {0x1a, 0x00, 0x00, 0x00, 0x05, 0x87, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00,
                                    0x03, 0x00, 0x00, 0x00, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33};

inline void RunOnFake(const Family& family, const Row& row) {
  SCOPED_TRACE(testing::Message() << "fake link: " << row.situation);
  FakeLink link(row.server);
  SetDetail(0);
  EXPECT_EQ(family.on_fake(link), row.result);
  EXPECT_EQ(Detail(), row.detail);
  EXPECT_EQ(link.written, Prefix(family.request, row.bytes));
  EXPECT_EQ(link.cut, row.after == After::Cut);
  // In step: exactly the whole reply was read, nothing more was asked for.
  if (row.after == After::InStep) {
    EXPECT_EQ(link.at, row.server.reply.size());
    if (row.server.reply.empty()) {
      EXPECT_EQ(link.reads, 0);
    }
  }
}

// Runs the row against the exported function on a real pipe, then probes the
// link with a word write: in step it must work, cut it must fail at once.
inline void RunOnPipe(const Family& family, const Row& row) {
  SCOPED_TRACE(testing::Message() << "pipe: " << row.situation);
  Peer peer;
  ASSERT_TRUE(peer.listening());
  const Server server = row.server;
  const std::size_t request_bytes = row.bytes;
  const bool in_step = row.after == After::InStep;
  peer.Serve([=](PeerConn& conn) {
    if (server.close_first) {
      conn.Close();
      return;
    }
    if (!conn.Read(request_bytes) || !conn.Send(server.reply)) return;
    if (server.close_after) {
      conn.Close();
      return;
    }
    if (in_step && conn.Read(kProbeRequest.size())) conn.Send(Reply(0));
    conn.WaitFinish();
  });
  LinkSession session;
  ASSERT_TRUE(session.ok());
  if (server.close_first) {
    ASSERT_TRUE(peer.WaitScript());
  }
  EXPECT_EQ(family.call(), row.result);
  EXPECT_EQ(QNA_InternalErr, row.detail);
  if (in_step) {
    EXPECT_EQ(Probe(), QNA_OK);
    EXPECT_EQ(QNA_InternalErr, 0);
  } else {
    EXPECT_EQ(Probe(), QNA_E_WRITE);
    EXPECT_EQ(QNA_InternalErr, 1101);
  }
  peer.Finish();
  const Bytes expected = in_step ? Cat({Prefix(family.request, row.bytes), kProbeRequest})
                                 : Prefix(family.request, row.bytes);
  EXPECT_EQ(peer.received(), expected);
}

inline void RunFamily(const Family& family, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    RunOnFake(family, row);
    if (row.server.PipeCanPlay()) RunOnPipe(family, row);
  }
}

// Every test starts from the library's initial state in a private root and
// leaves it so.
class CoreTest : public ::testing::Test {
 protected:
  void TearDown() override {
    QNA_Close();
    QNA_TimeOut = 5000;
    QNA_MtxTimeOut = 1000;
    std::memset(QNA_ServerName, 0, sizeof QNA_ServerName);
    for (std::uint32_t i = 0; i < 6; ++i) {
      QNA_SizeTb[i] = 0;
      AreaSetSize(i, 0);
    }
    win::SetVersionPlatformSeam(0);
    g_emulation = 0;
    SetDetail(0);
  }
  qt::TempRoot root_;
};

}  // namespace ct
