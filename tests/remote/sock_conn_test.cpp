// QNA_OpenS and QNA_CloseS against a scripted server on a loopback socket:
// the host name, the connect attempts, the registration over the socket, the
// pause after it; the cleanup after every failing step of either open.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
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

// The open registers with the 28-byte request, takes the sizes, makes the
// request lock and pauses a second; the close (QNA_CloseN closes either kind)
// closes the socket.  The host name ends at its first space, in the caller's
// parameters as well.
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

// Connect attempts: none at all for 0 or less; a refusing server is tried
// the number of times asked, 10 ms apart.
TEST_F(SockConnTest, ConnectAttempts) {
  {
    Peer peer(Wire::Tcp);
    bool came = false;
    peer.Serve([&came](PeerConn&) { came = true; });
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

// Every failing step of an open before the registration, on either kind:
// 51 with its detail, no record, no handle, socket or area left, the link as
// it was, the id used up, nothing reaches the server.
TEST_F(SockConnTest, FailedOpenLeavesNothing) {
  struct Case {
    const char* what;
    Wire wire;
    bool objects;        // the server's data areas exist
    const char* listen;  // the pipe a peer listens on (any for TCP), or nullptr
    const char* host;
    std::uint32_t platform;  // 1: the Windows 95 family
    std::int32_t detail;
  };
  const Case cases[] = {
      {"no data areas for a server-less connection", Wire::Pipe, false, qt::kLocalPipe, "", 0, -1},
      {"no local pipe", Wire::Pipe, true, nullptr, "", 0, 2},
      {"no pipe on the host", Wire::Pipe, false, "\\\\box\\pipe\\other", kHostName, 0, 2},
      {"unknown host", Wire::Pipe, false, nullptr, "nowhere", 0, 53},
      {"pipe host name of 16 characters", Wire::Pipe, false, kHostPipe, "0123456789abcdef", 0, 0},
      {"emulated pipe", Wire::Pipe, true, qt::kLocalPipe, "", 1, 2},
      {"empty host name", Wire::Tcp, false, "", "", 0, 0},
      {"host name that is empty once cut", Wire::Tcp, false, "", " 127.0.0.1", 0, 0},
      {"host name of 16 characters", Wire::Tcp, false, "", "127.0.0.1.......", 0, 0},
      {"Windows 95 family", Wire::Tcp, false, "", "127.0.0.1", 1, 0},
      {"host name not resolved", Wire::Tcp, false, "", "no-such-host.invalid", 0, 0},
      {"nobody listens", Wire::Tcp, false, nullptr, "127.0.0.1", 0, 0},
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
      if (c.listen != nullptr) {
        peer.emplace(c.wire, c.listen);
        if (c.wire == Wire::Tcp) port = peer->port();
        peer->Serve([&came](PeerConn& conn) {
          came = true;
          conn.WaitFinish();
        });
      }
      win::SetVersionPlatformSeam(c.platform);
      QNA_CONNPARAM params = Params(c.host, port, 3);
      std::uint32_t id = 0;
      SetDetail(77);
      EXPECT_EQ(c.wire == Wire::Pipe ? QNA_OpenN(&params, &id) : QNA_OpenS(&params, &id), QNA_E_OPEN);
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
        EXPECT_TRUE(c.wire == Wire::Pipe ? peer->received().empty() : !came);
      }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(PlatformOpenHandles(), handles);
  }
  ASSERT_EQ(ConnTableLock(true), 0);
  EXPECT_EQ(ConnNextId(), 13u);  // each failed open used its id
  ConnTableUnlock();
}

}  // namespace
