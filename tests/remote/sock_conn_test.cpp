// QNA_OpenS and QNA_CloseS against a scripted server on a loopback socket:
// the host name, the connect attempts, the registration over the socket, the
// pause after it, and the cleanup after every failing step.
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
// request lock and pauses a second; the close closes the socket.
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
    QNA_CONNPARAM params = Params("127.0.0.1", peer.port(), 1);
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
    EXPECT_EQ(g_link, kInvalidHandle);  // a TCP connection is never the link
    EXPECT_EQ(QNA_WriteS(1, 100, 3, kProbeWords, 0, id), QNA_OK);
    const auto close_start = Clock::now();
    QNA_CloseS(id);
    EXPECT_LT(Clock::now() - close_start, 500ms);  // no handshake on TCP
    EXPECT_EQ(ConnFindEntry(id), nullptr);
    ASSERT_TRUE(peer.WaitScript());
    peer.Finish();
    EXPECT_EQ(registration, kRegistration);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// The host name ends at its first space, in the caller's parameters as well.
TEST_F(SockConnTest, HostNameIsCutAtASpace) {
  Peer peer(Wire::Tcp);
  peer.Serve(Answering());
  QNA_CONNPARAM params = Params("127.0.0.1 more", peer.port());
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenS(&params, &id), QNA_OK);
  EXPECT_EQ(params.host[9], '\0');
  EXPECT_STREQ(params.host, "127.0.0.1");
  EXPECT_EQ(std::strcmp(params.host + 10, "more"), 0);
  EXPECT_STREQ(ConnFindEntry(id)->host, "127.0.0.1");
  peer.Finish();
  QNA_CloseS(id);
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

// Every failing step before the registration: 51 with detail 0, no record,
// no socket left, the id used up, nothing reaches the server.
TEST_F(SockConnTest, FailedOpenLeavesNothing) {
  struct Case {
    const char* what;
    const char* host;
    bool windows95;
    bool listening;
  };
  const Case cases[] = {
      {"empty host name", "", false, true},
      {"host name that is empty once cut", " 127.0.0.1", false, true},
      {"host name of 16 characters", "127.0.0.1.......", false, true},
      {"Windows 95 family", "127.0.0.1", true, true},
      {"host name not resolved", "no-such-host.invalid", false, true},
      {"nobody listens", "127.0.0.1", false, false},
  };
  const std::uint32_t count = ConnOpenCount();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t descriptors = OpenDescriptors();
    const std::size_t handles = PlatformOpenHandles();
    {
      std::optional<Peer> peer;
      std::uint16_t port = RefusingPort();
      bool came = false;
      if (c.listening) {
        peer.emplace(Wire::Tcp);
        port = peer->port();
        peer->Serve([&came](PeerConn&) { came = true; });
      }
      win::SetVersionPlatformSeam(c.windows95 ? 1 : 0);
      QNA_CONNPARAM params = Params("", port, 3);
      std::memcpy(params.host, c.host, std::min<std::size_t>(16, std::strlen(c.host) + 1));
      std::uint32_t id = 0;
      SetDetail(77);
      EXPECT_EQ(QNA_OpenS(&params, &id), QNA_E_OPEN);
      EXPECT_EQ(QNA_InternalErr, 0);
      EXPECT_EQ(id, 0u);
      EXPECT_EQ(TableSize(), 0u);
      EXPECT_EQ(ConnOpenCount(), count);
      win::SetVersionPlatformSeam(0);
      if (peer) {
        peer->Finish();
        EXPECT_FALSE(came);
      }
    }
    EXPECT_EQ(OpenDescriptors(), descriptors);
    EXPECT_EQ(PlatformOpenHandles(), handles);
  }
  ASSERT_EQ(ConnTableLock(true), 0);
  EXPECT_EQ(ConnNextId(), 7u);
  ConnTableUnlock();
}

}  // namespace
