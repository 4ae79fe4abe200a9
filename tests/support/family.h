// family.h - the table runner of every request family (docs/testing.md),
// the client ends without their opens, and the library's fixture.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <vector>

#include "core/core.h"
#include "core/exchange.h"
#include "core/protocol.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "remote/remote.h"
#include "support/peer.h"
#include "support/test_support.h"

namespace qt {

using Clock = std::chrono::steady_clock;

inline constexpr const char* kHostPipe = "\\\\box\\pipe\\qoxsmem";
inline constexpr const char* kHostName = "box";

inline const char* WireName(Wire wire) { return wire == Wire::Pipe ? "pipe" : "tcp"; }

// Sockets are not platform handles: one left behind shows only here.
inline std::size_t OpenDescriptors() {
  std::size_t n = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (readdir(dir) != nullptr) ++n;
    closedir(dir);
  }
  return n;
}

inline std::size_t TableSize() {
  std::size_t n = 0;
  for (std::uint32_t id = 1; id < 256; ++id) n += ConnFindEntry(id) != nullptr ? 1 : 0;
  return n;
}

// Registration words 1 and 0x22, application "TESTAPP".
inline QNA_CONNPARAM Params(const char* host, std::uint16_t port = 0, std::int16_t attempts = 1) {
  QNA_CONNPARAM p{};
  p.first = 1;
  p.second = 0x22;
  std::memcpy(p.name, "TESTAPP", 8);
  std::memcpy(p.host, host, std::min<std::size_t>(sizeof p.host, std::strlen(host) + 1));
  p.port = port;
  p.attempts = attempts;
  return p;
}

// What QNA_Open sends for Params().
inline const Bytes kRegistration = {0x18, 0x00, 0x00, 0x00, 0xa0, 0x86, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x22, 0x00, 0x00, 0x00,
                                    'T',  'E',  'S',  'T',  'A',  'P',  'P',  0x00};

inline const Bytes kSizes = Le32({64, 300, 64, 256, 16, 16});

inline Bytes ReadRequest(std::uint32_t command, std::uint32_t area, std::uint32_t start,
                         std::uint32_t count) {
  return Cat({Le32({24, command, 0}), Bytes{1, 0, 0, 0}, Le32({area, start, count})});
}
inline const Bytes kHandshakeRead = ReadRequest(101, 3, 204, 1);

// What a server script's reads return.
inline std::uint16_t WordAt(std::uint32_t n) { return static_cast<std::uint16_t>(n * 3 + 1); }
inline std::uint8_t BitAt(std::uint32_t n) { return static_cast<std::uint8_t>(n % 3 == 0); }
inline Bytes ReadData(const Bytes& request) {
  Bytes out;
  const std::uint32_t command = At32(request, 4);
  const std::uint16_t n = At16(request, 12);
  for (std::uint16_t r = 0; r < n; ++r) {
    const std::uint32_t start = At32(request, 20 + 12u * r);
    const std::uint32_t count = At32(request, 24 + 12u * r);
    for (std::uint32_t i = 0; i < count; ++i) {
      if (command == proto::kReadWords) {
        out.push_back(static_cast<std::uint8_t>(WordAt(start + i)));
        out.push_back(static_cast<std::uint8_t>(WordAt(start + i) >> 8));
      } else {
        out.push_back(BitAt(start + i));
      }
    }
  }
  return out;
}

// A well-behaved server's reply; the handshake word 0x8000 makes nobody wait.
inline std::optional<Bytes> Answer(const Bytes& request, const Bytes& sizes = kSizes,
                                   std::uint16_t handshake = 0x8000) {
  const std::uint32_t command = At32(request, 4);
  const std::uint32_t options = At32(request, 8);
  if (command == proto::kRegister) return Reply(0, sizes);
  if (request == kHandshakeRead)
    return Reply(0, {static_cast<std::uint8_t>(handshake), static_cast<std::uint8_t>(handshake >> 8)});
  if (command == proto::kReadWords || command == proto::kReadBytes) return Reply(0, ReadData(request));
  if (command == proto::kMailboxRead) return Reply(0, Bytes(2 * At32(request, 24), 0));
  if ((options & proto::kOptNoReply) != 0 && command >= 100000) return std::nullopt;
  return Reply(0);
}

inline std::function<void(PeerConn&)> Answering(Bytes sizes = kSizes, std::uint16_t handshake = 0x8000) {
  return [sizes = std::move(sizes), handshake](PeerConn& conn) {
    for (;;) {
      const Bytes request = conn.ReadRequest();
      if (request.empty()) return;
      const std::optional<Bytes> reply = Answer(request, sizes, handshake);
      if (reply && !conn.Send(*reply)) return;
    }
  };
}

inline void AnswerOne(PeerConn& conn) {
  if (!conn.ReadRequest().empty()) conn.Send(Reply(0));
  conn.WaitFinish();
}

// The local link as QNA_Open leaves it, on a listening peer.
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

// The record QNA_OpenN (host "box") or QNA_OpenS leaves, without the
// registration.  The peer finishes before QNA_CloseN (a pipe close reads the
// handshake word through the connection).
class Session {
 public:
  explicit Session(Peer& peer, const char* host = kHostName)
      : Session(peer.wire(), peer.port(), &peer, host) {}
  Session(Wire wire, std::uint16_t port, Peer* peer = nullptr, const char* host = kHostName)
      : peer_(peer) {
    Handle pipe = kInvalidHandle;
    win::SOCKET socket = win::INVALID_SOCKET;
    if (wire == Wire::Pipe) {
      pipe = win::CreateFileA(kHostPipe, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                              win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0);
      if (pipe == kInvalidHandle) return;
    } else {
      socket = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
      win::SOCKADDR_IN address{};
      address.sin_family = win::AF_INET_;
      address.sin_port = win::htons(port);
      address.sin_addr = 0x0100007Fu;  // 127.0.0.1 in network order
      if (socket == win::INVALID_SOCKET || win::connect(socket, &address, sizeof address) != 0) {
        if (socket != win::INVALID_SOCKET) win::closesocket(socket);
        return;
      }
    }
    if (ConnTableLock(true) != 0) return;
    ConnRecord* record = ConnAddEntry();
    if (record != nullptr) {
      record->id = ConnNextId();
      record->kind = wire == Wire::Pipe ? ConnKind::Pipe : ConnKind::Tcp;
      record->link = wire == Wire::Pipe ? Link::OfPipe(pipe, false) : Link::OfSocket(socket);
      std::snprintf(record->host, sizeof record->host, "%s", host);
      Handle lock = 0;
      if (MtxCreate(nullptr, &lock, 0) == 0) record->request_lock = lock;
      ConnCountOpened();
      id_ = record->id;
    }
    ConnTableUnlock();
  }
  ~Session() {
    if (peer_ != nullptr) peer_->Finish();
    if (id_ != 0) QNA_CloseN(id_);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  bool ok() const { return id_ != 0; }
  std::uint32_t id() const { return id_; }
  ConnRecord* record() const { return ConnFindEntry(id_); }

 private:
  Peer* peer_;
  std::uint32_t id_ = 0;
};

inline std::uint32_t ReadWords(Wire w, std::uint32_t area, std::uint32_t start, std::uint32_t count,
                               std::uint16_t* buffer, std::uint32_t id) {
  return (w == Wire::Pipe ? QNA_ReadN : QNA_ReadS)(area, start, count, buffer, 0, id);
}
inline std::uint32_t ReadBits(Wire w, std::uint32_t area, std::uint32_t start, std::uint32_t count,
                              std::uint8_t* buffer, std::uint32_t id) {
  return (w == Wire::Pipe ? QNA_ReadBitN : QNA_ReadBitS)(area, start, count, buffer, 0, id);
}
inline std::uint32_t ReadMux(Wire w, std::uint32_t n, const std::uint32_t* areas,
                             const std::uint32_t* starts, const std::uint32_t* counts,
                             std::uint16_t* buffer, std::uint32_t id) {
  return (w == Wire::Pipe ? QNA_ReadMuxN : QNA_ReadMuxS)(n, areas, starts, counts, buffer, id);
}
inline std::uint32_t WriteWords(Wire w, std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                const std::uint16_t* data, std::uint32_t options, std::uint32_t id) {
  return (w == Wire::Pipe ? QNA_WriteN : QNA_WriteS)(area, start, count, data, options, id);
}
inline std::uint32_t WriteBits(Wire w, std::uint32_t area, std::uint32_t start, std::uint32_t count,
                               const std::uint8_t* data, std::uint32_t options, std::uint32_t id) {
  return (w == Wire::Pipe ? QNA_WriteBitN : QNA_WriteBitS)(area, start, count, data, options, id);
}

inline const std::uint16_t kProbeWords[3] = {0x1111, 0x2222, 0x3333};
inline std::uint32_t Probe() { return QNA_Write(1, 100, 3, kProbeWords, 0); }
inline std::uint32_t Probe(Wire w, std::uint32_t id) { return WriteWords(w, 1, 100, 3, kProbeWords, 0, id); }
inline const Bytes kProbeRequest = {0x1a, 0x00, 0x00, 0x00, 0x05, 0x87, 0x01, 0x00, 0x00, 0x00,
                                    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x64, 0x00, 0x00, 0x00,
                                    0x03, 0x00, 0x00, 0x00, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33};

// The step rows of a one-piece request of `bytes`, codes from `first` in
// the order of the steps; `good` is a whole payload (none: no payload steps).
inline std::vector<Row> StepRows(std::int32_t first, std::size_t bytes, const Bytes& good) {
  const auto length = static_cast<std::uint32_t>(8 + good.size());
  std::vector<Row> rows = Rows(BadLengthRows(first + 4, bytes), {
      {"server gone before the request", {.close_first = true}, 101, first, 0, After::Cut},
      {"request written short", {.short_write = 0}, 101, first + 1, bytes / 2, After::Cut},
      {"link closes before the reply", {.close_after = true}, 102, first + 2, bytes, After::Cut},
      {"reply length stops short", {.reply = Reply(0, good), .short_read = 0}, 102, first + 3, bytes, After::Cut},
      {"link closes before the head", {.reply = Le32({length}), .close_after = true}, 102, first + 5, bytes,
       After::Cut},
      {"head stops short", {.reply = Reply(0, good), .short_read = 1}, 102, first + 6, bytes, After::Cut},
  });
  if (good.empty()) return rows;
  return Rows(rows, {
      {"link closes before the payload", {.reply = Le32({length, 0, 0}), .close_after = true}, 102, first + 7,
       bytes, After::Cut},
      {"payload stops short", {.reply = Reply(0, good), .short_read = 2}, 102, first + 8, bytes, After::Cut},
  });
}

// The same for a request in pieces of `sizes` bytes and a head-only reply.
inline std::vector<Row> WriteRows(std::int32_t first, std::initializer_list<std::size_t> sizes) {
  static constexpr const char* kNotWritten[] = {"server gone before the request", "second piece not written",
                                                "third piece not written"};
  static constexpr const char* kShort[] = {"head written short", "second piece written short",
                                           "third piece written short"};
  std::vector<Row> rows;
  std::size_t at = 0;
  int piece = 0;
  for (const std::size_t size : sizes) {
    const Script gone = piece == 0 ? Script{.close_first = true} : Script{.fail_write = piece};
    rows.push_back({kNotWritten[piece], gone, 101, first + 2 * piece, at, After::Cut});
    rows.push_back({kShort[piece], {.short_write = piece}, 101, first + 2 * piece + 1, at + size / 2, After::Cut});
    at += size;
    ++piece;
  }
  const std::int32_t reply = first + 2 * piece;
  return Rows(BadLengthRows(reply + 2, at, 8), Rows(rows, {
      {"link closes before the reply", {.close_after = true}, 102, reply, at, After::Cut},
      {"reply length stops short", {.reply = Reply(0), .short_read = 0}, 102, reply + 1, at, After::Cut},
      {"link closes before the head", {.reply = Le32({8}), .close_after = true}, 102, reply + 3, at, After::Cut},
      {"head stops short", {.reply = Reply(0), .short_read = 1}, 102, reply + 4, at, After::Cut},
  }));
}

struct Family {
  Bytes request;                                    // the exact request
  std::function<std::uint32_t(FakeLink&)> on_fake;  // the family's exchange on a scripted link
  std::function<std::uint32_t()> local = {};        // the exported function on the local link
  std::function<std::uint32_t(Wire, std::uint32_t id)> remote = {};
  bool tcp = true;  // the family has a TCP function
  // QNA_InternalErr holds the result, not the exchange's code.
  bool detail_is_result = false;
};

inline void RunOnFake(const Family& family, const Row& row) {
  SCOPED_TRACE(testing::Message() << "fake link: " << row.situation);
  FakeLink link(row.server);
  SetDetail(0);
  EXPECT_EQ(family.on_fake(link), row.result);
  EXPECT_EQ(Detail(), row.detail);
  EXPECT_EQ(link.written, Prefix(family.request, row.bytes));
  EXPECT_EQ(link.cut, row.after == After::Cut);
  if (row.after == After::InStep) {
    EXPECT_EQ(link.at, row.server.reply.size());
    if (row.server.reply.empty()) {
      EXPECT_EQ(link.reads, 0);
    }
  }
}

inline void RunOnLink(const Family& family, const Row& row, Wire wire, bool local) {
  SCOPED_TRACE(testing::Message() << (local ? "local" : WireName(wire)) << ": " << row.situation);
  Peer peer(wire, local ? kLocalPipe : kHostPipe);
  ASSERT_TRUE(peer.listening());
  const Script server = row.server;
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
  std::optional<LinkSession> link;
  std::optional<Session> session;
  if (local) {
    link.emplace();
    ASSERT_TRUE(link->ok());
  } else {
    session.emplace(peer);
    ASSERT_TRUE(session->ok());
  }
  const std::uint32_t id = local ? 0 : session->id();
  if (server.close_first) {
    ASSERT_TRUE(peer.WaitScript());
  }
  SetDetail(77);
  const auto start = Clock::now();
  EXPECT_EQ(local ? family.local() : family.remote(wire, id), row.result);
  const bool by_result = !local && family.detail_is_result && row.result != 0;
  EXPECT_EQ(QNA_InternalErr, by_result ? static_cast<std::int32_t>(row.result) : row.detail);
  EXPECT_EQ(local ? Probe() : Probe(wire, id), in_step ? QNA_OK : QNA_E_WRITE);
  EXPECT_EQ(QNA_InternalErr, in_step ? 0 : 1101);
  // A client that waits for more is freed only by the watchdog, much later.
  EXPECT_LT(Clock::now() - start, kPromptly);
  peer.Finish();
  const Bytes expected = in_step ? Cat({Prefix(family.request, row.bytes), kProbeRequest})
                                 : Prefix(family.request, row.bytes);
  EXPECT_EQ(peer.received(), expected);
}

inline void RunFamily(const Family& family, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    RunOnFake(family, row);
    if (!row.server.PipeCanPlay()) continue;
    if (family.local) RunOnLink(family, row, Wire::Pipe, true);
    if (family.remote) RunOnLink(family, row, Wire::Pipe, false);
    if (family.remote && family.tcp && row.server.TcpCanPlay()) RunOnLink(family, row, Wire::Tcp, false);
  }
}

// Every connection and the link closed, the settings as they start.
inline void ResetLibrary() {
  for (std::uint32_t id = 1; id < 256; ++id) {
    if (ConnFindEntry(id) != nullptr) QNA_CloseN(id);
  }
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

// The library's initial state in a private root, before and after.  The
// table lock, which lives as long as the process, is made first, so that
// the handles a test counts are its own.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ConnSetIdCounterSeam(0);
    ASSERT_EQ(ConnTableLock(true), 0);
    ConnTableUnlock();
  }
  void TearDown() override { ResetLibrary(); }
  TempRoot root_;
};

}  // namespace qt
