// QNA_OpenN and QNA_CloseN against scripted servers.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include "support/family.h"

namespace {

using namespace qt;

using PipeConnTest = LibraryTest;

Bytes Word(std::uint16_t w) { return {static_cast<std::uint8_t>(w), static_cast<std::uint8_t>(w >> 8)}; }

// Answer()s, the handshake words from a list (nullopt: refused; last repeats).
struct HandshakeServer {
  std::vector<std::optional<std::uint16_t>> words;
  std::vector<Bytes> requests;
  std::function<void(PeerConn&)> Script() {
    return [this](PeerConn& conn) {
      std::size_t reads = 0;
      for (;;) {
        const Bytes request = conn.ReadRequest();
        if (request.empty()) return;
        requests.push_back(request);
        std::optional<Bytes> reply = Answer(request);
        if (request == kHandshakeRead) {
          const auto& w = words[std::min(reads++, words.size() - 1)];
          reply = w ? Reply(0, Word(*w)) : Reply(6);
        }
        if (reply && !conn.Send(*reply)) return;
      }
    };
  }
};

// An open to a host polls the handshake word, 50 ms apart, 20 times at most.
TEST_F(PipeConnTest, OpenHandshakeToAHost) {
  struct Case {
    const char* what;
    std::vector<std::optional<std::uint16_t>> words;
    std::size_t polls;
    std::int32_t detail;
  };
  const std::vector<Case> cases = {
      {"word negative: no wait", {0x8000}, 0, 0},
      {"first read refused: no wait", {std::nullopt}, 0, 0},
      {"word changes at the third poll", {5, 5, 5, 6}, 3, 0},
      {"a poll is refused", {5, std::nullopt}, 1, 6},
      {"word never changes", {5}, 20, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Peer peer(Wire::Pipe, kHostPipe);
    HandshakeServer server{c.words, {}};
    peer.Serve(server.Script());
    QNA_CONNPARAM params = Params(kHostName);
    std::uint32_t id = 0;
    const auto start = Clock::now();
    ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
    const auto took = Clock::now() - start;
    EXPECT_EQ(QNA_InternalErr, c.detail);
    peer.Finish();
    std::vector<Bytes> expected(2 + c.polls, kHandshakeRead);
    expected[1] = kRegistration;
    EXPECT_EQ(server.requests, expected);
    EXPECT_GE(took, std::chrono::milliseconds(50 * c.polls));
    EXPECT_LT(took, std::chrono::milliseconds(3000 + 50 * c.polls));
    QNA_CloseN(id);
  }
}

// The sizes set, no area mapped; QNA_CloseS closes a pipe too, leaving nothing.
TEST_F(PipeConnTest, OpenAndCloseToAHost) {
  ServerObjects objects;  // present, but a connection to a host maps nothing
  ASSERT_TRUE(objects.ok());
  Peer peer(Wire::Pipe, kHostPipe);
  const std::size_t handles = PlatformOpenHandles();
  HandshakeServer server{{0x8000, 7}, {}};
  peer.Serve(server.Script());
  QNA_CONNPARAM params = Params(kHostName);
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
  EXPECT_EQ(id, 1u);
  EXPECT_EQ(std::vector<std::uint32_t>(QNA_SizeTb, QNA_SizeTb + 6),
            (std::vector<std::uint32_t>{64, 300, 64, 256, 16, 16}));
  const ConnRecord* record = ConnFindEntry(id);
  ASSERT_NE(record, nullptr);
  EXPECT_STREQ(record->host, "box");
  EXPECT_EQ(g_remote_area_flag, 0);
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_E_ARG);  // sizes set, no area mapped

  const auto start = Clock::now();
  QNA_CloseS(id);
  const auto took = Clock::now() - start;
  EXPECT_GE(took, 50ms);  // one poll: the closed pipe ends the wait
  EXPECT_LT(took, 1000ms);
  EXPECT_EQ(ConnFindEntry(id), nullptr);
  EXPECT_EQ(g_link, kInvalidHandle);
  EXPECT_EQ(LinkRequestLock(), g_request_lock);
  EXPECT_EQ(QNA_Write(1, 100, 3, kProbeWords, 0), QNA_E_NOTOPEN);
  ASSERT_TRUE(peer.WaitScript());  // the server saw the pipe close
  peer.Finish();
  EXPECT_EQ(server.requests, (std::vector<Bytes>{kHandshakeRead, kRegistration, kHandshakeRead}));
  EXPECT_EQ(PlatformOpenHandles(), handles);
}

// Server-less: the areas mapped; the close waits for the server's change.
TEST_F(PipeConnTest, ServerLessOpenAndClose) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  objects.area(3)[204] = 40;
  Peer peer(Wire::Pipe, qt::kLocalPipe);
  std::vector<Bytes> requests;
  peer.Serve([&](PeerConn& conn) {
    for (;;) {
      const Bytes request = conn.ReadRequest();
      if (request.empty()) break;
      requests.push_back(request);
      if (!conn.Send(*Answer(request))) break;
      if (request == kRegistration) {
        SysSleep(200);
        MtxWait(objects.mutex(3), kInfinite);
        objects.area(3)[204] = 41;
        MtxRelease(objects.mutex(3));
      }
    }
    MtxWait(objects.mutex(3), kInfinite);
    objects.area(3)[204] = 42;
    MtxRelease(objects.mutex(3));
  });
  // With the sizes known from before, the handshake read finds word 204.
  for (std::uint32_t i = 0; i < 6; ++i) AreaSetSize(i, objects.words(static_cast<int>(i)));
  QNA_CONNPARAM params = Params("");
  std::uint32_t id = 0;
  auto start = Clock::now();
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
  auto took = Clock::now() - start;
  EXPECT_GE(took, 200ms);
  EXPECT_LT(took, 900ms);
  EXPECT_EQ(g_remote_area_flag, 1);
  for (const AreaRow& row : g_areas) EXPECT_NE(row.view, nullptr);
  objects.area(1)[5] = 0xBEEF;
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_Read(1, 5, 1, &word, 0), QNA_OK);  // the local functions read the areas too
  EXPECT_EQ(word, 0xBEEF);
  EXPECT_EQ(QNA_ReadN(1, 5, 1, &word, 0, id), QNA_OK);

  start = Clock::now();
  QNA_CloseN(id);
  took = Clock::now() - start;
  EXPECT_LT(took, 900ms);
  EXPECT_EQ(g_remote_area_flag, 0);
  for (const AreaRow& row : g_areas) EXPECT_EQ(row.view, nullptr);
  peer.Finish();
  EXPECT_EQ(objects.area(3)[204], 42);
  EXPECT_EQ(requests, std::vector<Bytes>{kRegistration});  // the handshake never used the pipe
}

// The areas stay mapped until the last server-less connection closes; a
// close waits for the server's change of the word a second at most.
TEST_F(PipeConnTest, AreasLiveWithTheServerLessConnections) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  Peer local_server(Wire::Pipe, qt::kLocalPipe, Answering());
  QNA_CONNPARAM local = Params("");
  std::uint32_t first = 0, second = 0, hosted = 0;
  ASSERT_EQ(QNA_OpenN(&local, &first), QNA_OK);
  EXPECT_EQ(g_remote_area_flag, 1);
  local_server.Serve(Answering());  // the next client
  ASSERT_EQ(QNA_OpenN(&local, &second), QNA_OK);
  local_server.Finish();
  Peer box(Wire::Pipe, kHostPipe, Answering());
  QNA_CONNPARAM host = Params(kHostName);
  ASSERT_EQ(QNA_OpenN(&host, &hosted), QNA_OK);
  box.Finish();
  void* const view = g_areas[1].view;
  ASSERT_NE(view, nullptr);
  auto start = Clock::now();
  QNA_CloseN(first);
  EXPECT_LT(Clock::now() - start, 500ms);  // the word is negative: no wait
  EXPECT_EQ(g_areas[1].view, view);
  QNA_CloseN(hosted);
  EXPECT_EQ(g_areas[1].view, view);
  EXPECT_EQ(g_remote_area_flag, 1);
  objects.area(3)[204] = 40;  // and never changes: about a second
  start = Clock::now();
  QNA_CloseN(second);
  EXPECT_GE(Clock::now() - start, 1000ms);
  EXPECT_LT(Clock::now() - start, 3000ms);
  EXPECT_EQ(g_areas[1].view, nullptr);
  EXPECT_EQ(g_remote_area_flag, 0);
}

// QNA_OpenN takes QNA_Open's link over; QNA_Close leaves it the pipe.
TEST_F(PipeConnTest, TheLinkIsTakenOver) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  Peer local(Wire::Pipe, qt::kLocalPipe, Answering(objects.SizesPayload()));
  const QNA_REGREC record{0, 0, {'L', 'O', 'C', 'A', 'L', 0, 0, 0}};
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  EXPECT_EQ(LinkRequestLock(), g_request_lock);

  Peer box(Wire::Pipe, kHostPipe, Answering());
  QNA_CONNPARAM params = Params(kHostName);
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
  const ConnRecord* c = ConnFindEntry(id);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(g_link, c->link.pipe);
  EXPECT_EQ(LinkRequestLock(), c->request_lock);
  EXPECT_EQ(QNA_Write(1, 100, 3, kProbeWords, 0), QNA_OK);  // to the box
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_OK);  // QNA_Open's areas are still mapped

  Peer refusing(Wire::Pipe, "\\\\other\\pipe\\qoxsmem", [](PeerConn& conn) {
    if (conn.ReadRequest() != kHandshakeRead || !conn.Send(Reply(0, Word(0x8000)))) return;
    if (conn.ReadRequest().empty() || !conn.Send(Reply(7))) return;
    if (conn.ReadRequest() == kHandshakeRead) conn.Send(Reply(0, Word(0x8000)));
    conn.WaitFinish();
  });
  QNA_CONNPARAM other = Params("other");
  std::uint32_t other_id = 0;
  EXPECT_EQ(QNA_OpenN(&other, &other_id), 7u);
  EXPECT_EQ(g_link, c->link.pipe);
  EXPECT_EQ(LinkRequestLock(), c->request_lock);
  EXPECT_EQ(QNA_Write(1, 100, 3, kProbeWords, 0), QNA_OK);  // to the box still
  refusing.Finish();

  QNA_Close();
  EXPECT_EQ(g_link, kInvalidHandle);
  EXPECT_EQ(g_request_lock, 0u);
  EXPECT_EQ(QNA_WriteN(1, 100, 3, kProbeWords, 0, id), QNA_OK);  // the pipe was not closed
  QNA_CloseN(id);
  ASSERT_TRUE(box.WaitScript());
  box.Finish();
  const std::vector<Bytes> requests = Records(box.received());
  local.Finish();
  EXPECT_EQ(requests, (std::vector<Bytes>{kHandshakeRead, kRegistration, kProbeRequest, kProbeRequest,
                                          kProbeRequest, kHandshakeRead}));
}

// Areas a close unmapped under QNA_Open's link are refused from then on.
TEST_F(PipeConnTest, AreasClosedUnderTheLocalConnection) {
  for (const bool by_tcp : {false, true}) {
    SCOPED_TRACE(by_tcp ? "failed TCP open" : "close of a pipe connection");
    ServerObjects objects;
    ASSERT_TRUE(objects.ok());
    Peer local(Wire::Pipe, qt::kLocalPipe, Answering(objects.SizesPayload()));
    const QNA_REGREC record{0, 0, {'L', 'O', 'C', 'A', 'L', 0, 0, 0}};
    ASSERT_EQ(QNA_Open(&record), QNA_OK);
    std::uint16_t word = 0;
    ASSERT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_OK);
    std::uint32_t id = 0;
    Peer box(Wire::Pipe, kHostPipe, Answering());
    Peer other(Wire::Pipe, "\\\\other\\pipe\\qoxsmem", Answering());
    if (by_tcp) {
      QNA_CONNPARAM params = Params("127.0.0.1", 1, 0);
      EXPECT_EQ(QNA_OpenS(&params, &id), QNA_E_OPEN);
    } else {
      QNA_CONNPARAM params = Params(kHostName);
      ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
      QNA_CONNPARAM other_params = Params("other");
      std::uint32_t other_id = 0;
      ASSERT_EQ(QNA_OpenN(&other_params, &other_id), QNA_OK);  // the link is now "other"
      box.Finish();
      QNA_CloseN(id);
    }
    EXPECT_NE(g_link, kInvalidHandle);
    EXPECT_EQ(g_areas[1].view, nullptr);
    EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_E_ARG);
    EXPECT_EQ(QNA_WriteSmem(1, 0, 1, &word, 0), QNA_E_ARG);
    std::uint8_t bit = 0;
    EXPECT_EQ(QNA_ReadBit(0, 0, 1, &bit, 1), QNA_E_ARG);
    EXPECT_EQ(QNA_WriteSmemBit(0, 0, 1, &bit, 1), QNA_E_ARG);
    box.Finish();
    other.Finish();
    local.Finish();
    for (std::uint32_t i = 1; i < 8; ++i) QNA_CloseN(i);
    QNA_Close();
  }
}

// Local and connection requests from many threads never interleave on the pipe.
TEST_F(PipeConnTest, LocalAndConnectionRequestsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kWrites = 30;
  Peer peer(Wire::Pipe, kHostPipe);
  std::atomic<int> whole{0};
  peer.Serve([&whole](PeerConn& conn) {
    for (;;) {
      const Bytes r = conn.ReadRequest();
      if (r.empty()) return;
      if (At32(r, 4) != 100101) {
        if (!conn.Send(*Answer(r))) return;
        continue;
      }
      // The thread's number is in the area field and in every data word.
      const std::uint32_t count = At32(r, 20);
      bool ok = At32(r, 0) == 20 + 2 * count && r.size() == 24 + 2 * std::size_t{count};
      for (std::size_t w = 0; ok && w < count; ++w) ok = r[24 + 2 * w] == At32(r, 12);
      if (ok) ++whole;
      if (!conn.Send(Reply(ok ? At32(r, 12) + 10 : 99))) return;
    }
  });
  QNA_CONNPARAM params = Params(kHostName);
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
  QNA_MtxTimeOut = 30000;
  std::vector<std::thread> threads;
  std::vector<int> right(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, id, &right] {
      const std::vector<std::uint16_t> words(100 + 300 * static_cast<std::size_t>(t),
                                             static_cast<std::uint16_t>(t));
      const auto count = static_cast<std::uint32_t>(words.size());
      const auto area = static_cast<std::uint32_t>(t);
      for (int i = 0; i < kWrites; ++i) {
        const std::uint32_t r = t % 2 == 0 ? QNA_Write(area, 0, count, words.data(), 0)
                                           : QNA_WriteN(area, 0, count, words.data(), 0, id);
        if (r == area + 10) ++right[static_cast<std::size_t>(t)];
      }
    });
  }
  for (auto& t : threads) t.join();
  peer.Finish();
  EXPECT_EQ(whole.load(), kThreads * kWrites);
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(right[static_cast<std::size_t>(t)], kWrites);
}

}  // namespace
