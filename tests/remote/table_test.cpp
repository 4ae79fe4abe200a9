// The connection table, its ids and its lock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "support/family.h"
#include "support/server.h"

namespace {

using namespace qt;

using TableTest = LibraryTest;

std::vector<std::uint32_t> Ids() {
  std::vector<std::uint32_t> ids;
  for (std::uint32_t id = 1; id < 256; ++id) {
    if (ConnFindEntry(id) != nullptr) ids.push_back(id);
  }
  return ids;
}

// Only the record given is removed, wherever it is; a stranger is left alone.
TEST_F(TableTest, RemoveFindsTheRecordAnywhere) {
  ASSERT_EQ(ConnTableLock(true), 0);
  ConnRecord* records[3];
  for (std::uint32_t i = 0; i < 3; ++i) (records[i] = ConnAddEntry())->id = 10 + i;
  ConnRecord stranger{};
  stranger.id = 10;
  ConnRemoveEntry(&stranger);
  ConnRemoveEntry(records[1]);
  EXPECT_EQ(Ids(), (std::vector<std::uint32_t>{10, 12}));
  ConnRemoveEntry(records[0]);
  ConnRemoveEntry(records[2]);
  EXPECT_EQ(Ids(), std::vector<std::uint32_t>{});
  ConnTableUnlock();
}

// Ids count for both kinds and failed opens, skip 0; opens that cannot start
// (no memory for the record: 51, no parameters: 6) use none; closes twice
// are safe.
TEST_F(TableTest, IdsAreSharedAndNeverZero) {
  Peer pipe_peer(Wire::Pipe, kHostPipe, Answering());
  Peer tcp_peer(Wire::Tcp, kLocalPipe, Answering());
  std::uint32_t id = 0;
  QNA_CONNPARAM box = Params(kHostName), tcp = Params("127.0.0.1", tcp_peer.port());
  SetDetail(77);
  ConnFailNextAllocSeam();
  EXPECT_EQ(QNA_OpenN(&box, &id), QNA_E_OPEN);
  ConnFailNextAllocSeam();
  EXPECT_EQ(QNA_OpenS(&tcp, &id), QNA_E_OPEN);
  EXPECT_EQ(QNA_OpenN(nullptr, &id), QNA_E_ARG);
  EXPECT_EQ(QNA_OpenN(&box, nullptr), QNA_E_ARG);
  EXPECT_EQ(QNA_OpenS(nullptr, &id), QNA_E_ARG);
  EXPECT_EQ(QNA_OpenS(&tcp, nullptr), QNA_E_ARG);
  EXPECT_EQ(QNA_InternalErr, 0);
  QNA_CONNPARAM nowhere = Params("nowhere");
  EXPECT_EQ(QNA_OpenN(&nowhere, &id), QNA_E_OPEN);  // no such host: id 1 used up
  ASSERT_EQ(QNA_OpenN(&box, &id), QNA_OK);
  EXPECT_EQ(id, 2u);
  QNA_CONNPARAM empty = Params("", tcp_peer.port());
  EXPECT_EQ(QNA_OpenS(&empty, &id), QNA_E_OPEN);  // id 3
  EXPECT_EQ(id, 2u);                              // stored only on success
  ASSERT_EQ(QNA_OpenS(&tcp, &id), QNA_OK);
  EXPECT_EQ(id, 4u);
  EXPECT_EQ(Ids(), (std::vector<std::uint32_t>{2, 4}));
  pipe_peer.Finish();
  tcp_peer.Finish();
  const std::uint32_t count = ConnOpenCount();
  QNA_CloseN(2);
  QNA_CloseS(4);
  for (const std::uint32_t again : {2u, 4u}) {
    QNA_CloseN(again);
    QNA_CloseS(again);
  }
  EXPECT_EQ(ConnOpenCount(), count - 2);
  EXPECT_EQ(Ids(), std::vector<std::uint32_t>{});

  ConnSetIdCounterSeam(0xFFFFFFFEu);
  EXPECT_EQ(QNA_OpenN(&nowhere, &id), QNA_E_OPEN);
  ASSERT_EQ(ConnTableLock(true), 0);
  EXPECT_EQ(ConnNextId(), 1u);  // 0xFFFFFFFF went to the failed open
  ConnTableUnlock();
}

// Opens and closes on many threads: ids unique, no freed record seen.
TEST_F(TableTest, OpensAndClosesOfManyThreads) {
  constexpr int kThreads = 3;
  constexpr int kRounds = 4;
  Server server({"--host", "h"});
  ASSERT_TRUE(server.ready());
  Peer mine_tcp(Wire::Tcp, kLocalPipe, Answering());
  Peer mine_pipe(Wire::Pipe, kHostPipe, Answering());
  Session tcp_session(mine_tcp);
  Session pipe_session(mine_pipe);
  ASSERT_TRUE(tcp_session.ok());
  ASSERT_TRUE(pipe_session.ok());
  const Handle lock = ConnTableLockSeam();
  std::atomic<bool> stop_reads{false};
  std::atomic<int> read_failures{0};
  std::vector<std::thread> readers;
  for (const Wire wire : {Wire::Tcp, Wire::Pipe}) {
    const std::uint32_t id = wire == Wire::Tcp ? tcp_session.id() : pipe_session.id();
    readers.emplace_back([&, wire, id] {
      while (!stop_reads.load()) {
        std::uint16_t words[4] = {};
        if (ReadWords(wire, 1, 0, 4, words, id) != QNA_OK || words[3] != WordAt(3)) ++read_failures;
      }
    });
  }
  std::vector<std::thread> threads;
  std::vector<std::vector<std::uint32_t>> got(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &got] {
      for (int round = 0; round < kRounds; ++round) {
        std::uint32_t id = 0;
        QNA_CONNPARAM params = Params("h");
        if (QNA_OpenN(&params, &id) != QNA_OK) continue;
        got[static_cast<std::size_t>(t)].push_back(id);
        QNA_CloseN(id);
      }
    });
  }
  for (auto& t : threads) t.join();
  stop_reads.store(true);
  for (auto& r : readers) r.join();
  std::vector<std::uint32_t> all;
  for (const auto& ids : got) {
    EXPECT_EQ(ids.size(), static_cast<std::size_t>(kRounds));
    all.insert(all.end(), ids.begin(), ids.end());
  }
  std::sort(all.begin(), all.end());
  EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end());
  EXPECT_EQ(read_failures.load(), 0);
  EXPECT_EQ(Ids(), (std::vector<std::uint32_t>{tcp_session.id(), pipe_session.id()}));
  EXPECT_EQ(ConnTableLockSeam(), lock);
}

}  // namespace
