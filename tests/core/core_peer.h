// core_peer.h - helpers of the core tests: the client end of the link
// without QNA_Open, a server script that answers everything, and the table
// runner of the request families.  The scripted peer itself, the server's
// data areas and the transport with scripted faults are in support/peer.h.
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
#include "support/peer.h"
#include "support/test_support.h"

namespace ct {

using namespace std::chrono_literals;

// The scripted peer, the bytes helpers, the data areas and the faulty
// transport are shared with the other test programs (support/peer.h).
using qt::Add32;
using qt::At32;
using qt::Bytes;
using qt::Cat;
using qt::FakeLink;
using qt::kLocalPipe;
using qt::Le32;
using qt::Peer;
using qt::PeerConn;
using qt::Prefix;
using qt::Reply;
using qt::ServerObjects;
using Server = qt::Script;

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

// ---- The table runner of a request family ---------------------------------
using qt::After;
using qt::BadLengthRows;
using qt::Row;
using qt::Rows;

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
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(family.call(), row.result);
  EXPECT_EQ(QNA_InternalErr, row.detail);
  if (in_step) {
    EXPECT_EQ(Probe(), QNA_OK);
    EXPECT_EQ(QNA_InternalErr, 0);
  } else {
    EXPECT_EQ(Probe(), QNA_E_WRITE);
    EXPECT_EQ(QNA_InternalErr, 1101);
  }
  // The peer stays silent after its reply: a client that waits for more
  // would be freed only by the peer's watchdog, a minute later.
  EXPECT_LT(std::chrono::steady_clock::now() - start, qt::kPromptly);
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
