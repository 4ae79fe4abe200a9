// QNA_OpenS and QNA_CloseS against a scripted server on a loopback socket.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "support/family.h"

namespace {

using namespace qt;

using SockConnTest = LibraryTest;

// A port that refuses: one that was just listened on and closed again.
std::uint16_t RefusingPort() {
  const win::SOCKET s = win::TcpListen("127.0.0.1", 0);
  const std::uint16_t port = win::TcpLocalPort(s);
  win::closesocket(s);
  return port;
}

// The open registers and pauses a second; the host name ends at a space.
TEST_F(SockConnTest, OpenRegistersAndPauses) {
  const std::size_t descriptors = OpenDescriptors();
  {
    Peer peer(Wire::Tcp);
    Bytes registration;
    bool closed = false;
    peer.Serve([&](PeerConn& conn) {
      registration = conn.ReadRequest();
      if (!conn.Send(Reply(0, Le32({1, 2, 3, 4, 5, 6})))) return;
      const Bytes probe = conn.ReadRequest();
      if (probe.empty() || !conn.Send(Reply(0))) return;
      closed = conn.ReadRequest().empty();
    });
    // The port's upper 16 bits are not used.
    QNA_CONNPARAM params = Params("127.0.0.1 more", peer.port(), 1);
    params.port |= 0x50000u;
    std::uint32_t id = 0;
    SetDetail(77);
    const auto start = Clock::now();
    ASSERT_EQ(QNA_OpenS(&params, &id), QNA_OK);
    EXPECT_GE(Clock::now() - start, 1000ms);
    EXPECT_EQ(QNA_InternalErr, 0);
    EXPECT_EQ(id, 1u);
    EXPECT_EQ(std::vector<std::uint32_t>(QNA_SizeTb, QNA_SizeTb + 6),
              (std::vector<std::uint32_t>{1, 2, 3, 4, 5, 6}));
    EXPECT_EQ(g_areas[5].size, 6u);
    const ConnRecord* record = ConnFindEntry(id);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->link.kind, LinkKind::Socket);
    EXPECT_NE(record->request_lock, 0u);
    EXPECT_STREQ(record->host, "127.0.0.1");
    EXPECT_EQ(std::string(params.host, 15), std::string("127.0.0.1\0more\0\0", 15));
    EXPECT_EQ(g_link, kInvalidHandle);  // a TCP connection is never the link
    EXPECT_EQ(QNA_WriteS(1, 100, 3, kProbeWords, 0, id), QNA_OK);
    const auto close_start = Clock::now();
    QNA_CloseN(id);
    EXPECT_LT(Clock::now() - close_start, 500ms);  // no handshake on TCP
    EXPECT_EQ(ConnFindEntry(id), nullptr);
    ASSERT_TRUE(peer.WaitScript());
    peer.Finish();
    EXPECT_EQ(registration, kRegistration);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// None for 0 attempts or less; a refusing server is tried as often as asked.
TEST_F(SockConnTest, ConnectAttempts) {
  {
    bool came = false;
    Peer peer(Wire::Tcp, kLocalPipe, [&came](PeerConn&) { came = true; });
    for (const std::int16_t attempts : {std::int16_t{0}, std::int16_t{-3}}) {
      QNA_CONNPARAM params = Params("127.0.0.1", peer.port(), attempts);
      std::uint32_t id = 0;
      EXPECT_EQ(QNA_OpenS(&params, &id), QNA_E_OPEN);
      EXPECT_EQ(QNA_InternalErr, 0);
    }
    peer.Finish();  // the script would have run for any client
    EXPECT_FALSE(came);
  }
  const std::uint16_t port = RefusingPort();
  for (const std::int16_t attempts : {std::int16_t{1}, std::int16_t{3}}) {
    SCOPED_TRACE(attempts);
    QNA_CONNPARAM params = Params("127.0.0.1", port, attempts);
    std::uint32_t id = 0;
    const auto start = Clock::now();
    EXPECT_EQ(QNA_OpenS(&params, &id), QNA_E_OPEN);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(10 * attempts));
    EXPECT_LT(took, 5s);
    EXPECT_EQ(QNA_InternalErr, 0);
  }
  EXPECT_EQ(TableSize(), 0u);
}

// Every failing step of either open: nothing left, the id used up.
TEST_F(SockConnTest, FailedOpenLeavesNothing) {
  struct Case {
    const char* what;
    Wire wire;
    const char* host;
    std::int32_t detail;
    std::uint32_t result = QNA_E_OPEN;
    const char* listen = nullptr;  // the pipe a peer listens on (any for TCP)
    std::optional<Bytes> registered = {};  // the peer's reply to the registration; none: silent
    bool close_first = false;      // the peer goes at the pipe's handshake read
    bool close_after = false;      // the peer goes after its reply
    bool objects = false;          // the server's data areas exist
    std::uint32_t platform = 0;    // 1: the Windows 95 family
  };
  const Case cases[] = {
      {"no data areas for a server-less connection", Wire::Pipe, "", -1, 51, qt::kLocalPipe},
      {"no local pipe", Wire::Pipe, "", 2, 51, nullptr, {}, false, false, true},
      {"no pipe on the host", Wire::Pipe, kHostName, 2, 51, "\\\\box\\pipe\\other"},
      {"unknown host", Wire::Pipe, "nowhere", 53},
      {"pipe host name of 16 characters", Wire::Pipe, "0123456789abcdef", 0, 51, kHostPipe},
      {"emulated pipe", Wire::Pipe, "", 2, 51, qt::kLocalPipe, {}, false, false, true, 1},
      {"empty host name", Wire::Tcp, "", 0, 51, ""},
      {"host name that is empty once cut", Wire::Tcp, " 127.0.0.1", 0, 51, ""},
      {"host name of 16 characters", Wire::Tcp, "127.0.0.1.......", 0, 51, ""},
      {"Windows 95 family", Wire::Tcp, "127.0.0.1", 0, 51, "", {}, false, false, false, 1},
      {"host name not resolved", Wire::Tcp, "no-such-host.invalid", 0, 51, ""},
      {"nobody listens", Wire::Tcp, "127.0.0.1", 0},
      {"registration refused", Wire::Pipe, kHostName, 0, 7, kHostPipe, Reply(7, kSizes)},
      // The failed handshake read ends the link: the registration finds it gone.
      {"gone at the handshake read", Wire::Pipe, kHostName, 4000, 101, kHostPipe, Bytes{}, true},
      {"gone before the reply", Wire::Pipe, kHostName, 4002, 102, kHostPipe, Bytes{}, false, true},
      {"reply length 6, then silence", Wire::Pipe, kHostName, 4004, 102, kHostPipe, Le32({6})},
      {"link closes in the sizes", Wire::Pipe, kHostName, 4007, 102, kHostPipe,
       Cat({Le32({32, 0, 0}), Bytes(5, 1)}), false, true},
      {"TCP: registration refused", Wire::Tcp, "127.0.0.1", 0, 7, "", Reply(7, kSizes)},
      {"TCP: closes before the reply", Wire::Tcp, "127.0.0.1", 4002, 102, "", Bytes{}, false, true},
      {"TCP: reply length 0xFFFFFFFF", Wire::Tcp, "127.0.0.1", 4004, 102, "", Le32({0xFFFFFFFFu})},
  };
  const std::uint32_t count = ConnOpenCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t descriptors = OpenDescriptors();
    const std::size_t handles = PlatformOpenHandles();
    {
      std::optional<ServerObjects> objects;
      if (c.objects) objects.emplace();
      std::optional<Peer> peer;
      std::uint16_t port = RefusingPort();
      bool came = false;
      const bool pipe = c.wire == Wire::Pipe;
      if (c.listen != nullptr) {
        peer.emplace(c.wire, c.listen);
        if (!pipe) port = peer->port();
        peer->Serve([&came, &c, pipe](PeerConn& conn) {
          came = true;
          if (c.registered) {
            if (pipe) {
              if (conn.ReadRequest() != kHandshakeRead) return;
              if (c.close_first) return conn.Close();
              if (!conn.Send(Reply(0, {0x00, 0x80}))) return;
            }
            if (conn.ReadRequest() != kRegistration || !conn.Send(*c.registered)) return;
            if (c.close_after) return conn.Close();
            // The cleanup's handshake read, when the link is in step.
            if (pipe && conn.ReadRequest() == kHandshakeRead) conn.Send(Reply(0, {0x00, 0x80}));
          }
          conn.WaitFinish();
        });
      }
      win::SetVersionPlatformSeam(c.platform);
      QNA_CONNPARAM params = Params(c.host, port, 3);
      std::uint32_t id = 0;
      SetDetail(77);
      const auto start = Clock::now();
      EXPECT_EQ(pipe ? QNA_OpenN(&params, &id) : QNA_OpenS(&params, &id), c.result);
      if (c.registered) {
        EXPECT_LT(Clock::now() - start, 900ms);  // no pause after it
      }
      EXPECT_EQ(QNA_InternalErr, c.detail);
      EXPECT_EQ(id, 0u);
      EXPECT_EQ(TableSize(), 0u);
      EXPECT_EQ(ConnOpenCount(), count);
      EXPECT_EQ(g_link, kInvalidHandle);
      EXPECT_EQ(g_remote_area_flag, 0);
      for (const AreaRow& row : g_areas) EXPECT_EQ(row.view, nullptr);
      win::SetVersionPlatformSeam(0);
      if (peer) {
        peer->Finish();
        // A pipe peer may have been reached by a failed open, never spoken to.
        if (!c.registered) {
          EXPECT_TRUE(pipe ? peer->received().empty() : !came);
        }
      }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(PlatformOpenHandles(), handles);
  }
  ASSERT_EQ(ConnTableLock(true), 0);
  EXPECT_EQ(ConnNextId(), std::size(cases) + 1);  // each failed open used its id
  ConnTableUnlock();
}

}  // namespace
