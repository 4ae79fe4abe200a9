// The event queue requests, a table each, and what lands in the outputs.
#include <gtest/gtest.h>

#include <vector>

#include "evqueue_peer.h"

namespace {

using namespace et;

using FamilyTest = EvQueueTest;

const std::uint8_t kNoName[12] = {};

// QNA_OpenEvQueue (id, 5, "ALARMS", option 0x99).
TEST_F(FamilyTest, OpenDetailCodes) {
  const Family family{.request = OpenRequest(5, "ALARMS", 0x99),
                      .on_fake = [](FakeLink& link) {
                        std::uint8_t name[12], reply[36];
                        EvQueuePutName12(name, "ALARMS");
                        return EvQueueOpenExchange(link, 5, name, 0x99, reply);
                      },
                      .remote = [](Wire, std::uint32_t id) {
                        std::uint32_t handle = 0, queue = 0;
                        return QNA_OpenEvQueue(id, 5, &queue, "ALARMS", &handle, 0x99);
                      }};
  RunFamily(family, Rows(CommonRows(7000, 32, OpenPayload(5, "evq5")),
                         {{"payload of 10 bytes", {.reply = Reply(0, Bytes(10, 1))}, 102, 7008, 32, After::InStep}}));
}

// The close request (queue 5): 7000 to 7006; a payload is read and dropped.
TEST_F(FamilyTest, CloseDetailCodes) {
  const Family family{.request = CloseRequest(5),
                      .on_fake = [](FakeLink& link) { return EvQueueCloseExchange(link, 5); },
                      .remote = [](Wire, std::uint32_t id) {
                        SetDetail(0);
                        return EvQueueRequestClose(*ConnFindEntry(id), 5);
                      }};
  RunFamily(family, Rows(CommonRows(7000, 20, {}),
                         {{"server closes", {.reply = Reply(0)}, 0, 0, 20, After::InStep},
                          {"reply with a payload", {.reply = Reply(0, Bytes(6, 2))}, 0, 0, 20, After::InStep}}));
}

const std::uint8_t kAbc[3] = {'a', 'b', 'c'};

// QNA_WriteEvQueue (id, 5, value 0x11223344, "abc"): one piece, 9000 to 9006.
TEST_F(FamilyTest, PostDetailCodes) {
  const Family family{
      .request = Cat({Le32({23, proto::kEvQueuePost, 0, 5, 0x11223344, 3}), Bytes{'a', 'b', 'c'}}),
      .on_fake = [](FakeLink& link) { return EvQueuePostExchange(link, 5, 0x11223344, 3, kAbc); },
      .remote = [](Wire, std::uint32_t id) {
        QNA_EVENT event{0x11223344, 3, const_cast<std::uint8_t*>(kAbc)};
        return QNA_WriteEvQueue(id, 5, &event);
      }};
  RunFamily(family, Rows(CommonRows(9000, 27, {}), {{"server posts", {.reply = Reply(0)}, 0, 0, 27, After::InStep}}));
}

// QNA_GetUsableEvQueueNum (id, list word 4): 10000 to 10010.
TEST_F(FamilyTest, CountDetailCodes) {
  const Bytes good = Le32({7, 2, 3, 9});
  const Family family{.request = Le32({12, proto::kEvQueueInfoFirst + 1, 0, 4}),
                      .on_fake = [](FakeLink& link) {
                        std::uint32_t count = 0, list[4] = {};
                        return EvQueueCountExchange(link, 1, kNoName, &count, list, 4);
                      },
                      .remote = [](Wire, std::uint32_t id) {
                        std::uint32_t count = 0, list[4] = {};
                        return QNA_GetUsableEvQueueNum(id, &count, list, 4);
                      }};
  RunFamily(family, Rows(CommonRows(10000, 16, good), {
      {"server counts", {.reply = Reply(0, good)}, 0, 0, 16, After::InStep},
      {"payload of 4 bytes", {.reply = Reply(0, Le32({7}))}, 102, 10008, 16, After::InStep},
      {"link closes in the entries", {.reply = Le32({24, 0, 0, 7, 2}), .close_after = true}, 102, 10009, 16, After::Cut},
      {"entries stop short", {.reply = Reply(0, good), .short_read = 3}, 102, 10010, 16, After::Cut},
      {"fewer entries than n", {.reply = Reply(0, Le32({7, 2, 3}))}, 102, 10010, 16, After::InStep},
      {"more entries than the list word", {.reply = Reply(0, Le32({9, 6, 1, 2, 3, 4, 5, 6}))}, 0, 0, 16,
       After::InStep},
  }));
}

// QNA_GetEvQueueName (id, queue 3): 10100 to 10108.
TEST_F(FamilyTest, NameDetailCodes) {
  const Bytes good = {'P', 'U', 'M', 'P', 'S', 0, 0, 0, 0};
  const Family family{.request = Le32({12, proto::kEvQueueInfoFirst + 3, 0, 3}),
                      .on_fake = [](FakeLink& link) {
                        char name[9];
                        return EvQueueNameExchange(link, 3, name);
                      },
                      .remote = [](Wire, std::uint32_t id) {
                        char name[9];
                        return QNA_GetEvQueueName(id, 3, name);
                      }};
  RunFamily(family, Rows(CommonRows(10100, 16, good),
                         {{"server names", {.reply = Reply(0, good)}, 0, 0, 16, After::InStep},
                          {"name of 5 bytes", {.reply = Reply(0, Bytes(5, 'A'))}, 102, 10108, 16, After::InStep}}));
}

// QNA_GetMaxEvQueueNum (id): a request of 12 bytes, 10200 to 10208.
TEST_F(FamilyTest, MaxDetailCodes) {
  const Bytes good = Le32({16});
  const Family family{.request = Le32({8, proto::kEvQueueInfoLast, 0}),
                      .on_fake = [](FakeLink& link) {
                        std::uint32_t max = 0;
                        return EvQueueMaxExchange(link, &max);
                      },
                      .remote = [](Wire, std::uint32_t id) {
                        std::uint32_t max = 0;
                        return QNA_GetMaxEvQueueNum(id, &max);
                      }};
  RunFamily(family, Rows(CommonRows(10200, 12, good),
                         {{"server says", {.reply = Reply(0, good)}, 0, 0, 12, After::InStep},
                          {"maximum of 2 bytes", {.reply = Reply(0, Bytes{1, 2})}, 102, 10208, 12, After::InStep}}));
}

// The result, the count and the list (of 3, 0xEE... where untouched).
TEST_F(FamilyTest, CountRepliesStayInsideTheList) {
  constexpr std::uint32_t E = 0xEEEEEEEEu;
  const struct {
    const char* what;
    Bytes reply;
    std::uint32_t room;
    std::vector<std::uint32_t> outcome;
  } rows[] = {
      {"six sent, room for two", Reply(0, Le32({6, 6, 1, 2, 3, 4, 5, 6})), 2, {0, 6, 1, 2, E}},
      {"count only", Reply(0, Le32({3, 0})), 3, {0, 3, E, E, E}},
      {"a refusal stores nothing", Reply(10, Le32({3, 1, 9})), 3, {10, 55, E, E, E}},
      // Announced far beyond what came: a short read, nothing allocated for it.
      {"n of 2^32 - 1", Reply(0, Le32({1, 0xFFFFFFFFu, 5})), 3, {QNA_E_READ}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    std::vector<std::uint32_t> out = {0, 55, E, E, E};
    FakeLink link({.reply = row.reply});
    out[0] = EvQueueCountExchange(link, 1, kNoName, &out[1], &out[2], row.room);
    if (row.outcome.size() == 1) out.resize(1);  // only the result is promised
    EXPECT_EQ(out, row.outcome);
    EXPECT_TRUE(out[0] != QNA_OK || link.at == row.reply.size()) << "not read to its end";
  }
  EXPECT_EQ(Detail(), 10010);
}

// A name that fills 9 bytes keeps 8; a refused maximum stores nothing.
TEST_F(FamilyTest, NameRepliesStayInsideTheirNineBytes) {
  for (const std::uint8_t fill : {std::uint8_t{'Q'}, std::uint8_t{0}}) {
    char name[9];
    std::memset(name, 'x', sizeof name);
    FakeLink link({.reply = Reply(0, Bytes(9, fill))});
    EXPECT_EQ(EvQueueNameExchange(link, 3, name), QNA_OK);
    EXPECT_EQ(std::string(name, strnlen(name, 9)), fill == 0 ? "" : "QQQQQQQQ");
  }
  std::uint32_t max = 0;
  FakeLink refused({.reply = Reply(10)});
  EXPECT_EQ(EvQueueMaxExchange(refused, &max), 10u);
  EXPECT_EQ(max, 0u);
}

// The named and used counts and an empty post; refusals send nothing (no
// memory for a request too large for the stack: 8).
TEST_F(FamilyTest, RequestsSentAndRefused) {
  Peer peer(Wire::Pipe, kHostPipe, QueueServer());
  Session session(peer);
  ASSERT_TRUE(session.ok());
  const std::uint32_t id = session.id();
  std::uint32_t n = 0;
  QNA_EVENT empty{42, 0, nullptr}, nodata{1, 5, nullptr};
  std::vector<std::uint8_t> bytes(1000, 7);
  QNA_EVENT large{43, static_cast<std::uint32_t>(bytes.size()), bytes.data()};
  const struct {
    std::function<std::uint32_t()> call;
    std::uint32_t result;
  } calls[] = {
      // The scripted server replies 0 without payload: 10008, in step.
      {[&] { return QNA_GetNamedEvQueueNum(id, "ALARMS", &n, nullptr, 5); }, QNA_E_READ},
      {[&] { return QNA_GetNamedEvQueueNum(id, nullptr, nullptr, nullptr, 0); }, QNA_E_READ},
      {[&] { return QNA_GetUsedEvQueueNum(id, nullptr, nullptr, 9); }, QNA_E_READ},
      {[&] { return QNA_WriteEvQueue(id, 9, &empty); }, QNA_OK},
      {[&] { return QNA_GetNamedEvQueueNum(id, "ABCDEFGHIJKL", &n, nullptr, 5); }, QNA_E_ARG},
      {[&] { return QNA_GetNamedEvQueueNum(99, "A", &n, nullptr, 5); }, QNA_E_NOCONN},
      {[&] {
         ConnFailNextAllocSeam();
         return QNA_WriteEvQueue(id, 9, &large);
       }, 8},
      {[&] { return QNA_WriteEvQueue(id, 9, &nodata); }, QNA_E_ARG},
      {[&] { return QNA_WriteEvQueue(id, 9, nullptr); }, QNA_E_ARG},
      {[&] { return QNA_WriteEvQueue(id + 1, 9, &empty); }, QNA_E_NOCONN},
  };
  for (std::size_t i = 0; i < std::size(calls); ++i) {
    EXPECT_EQ(calls[i].call(), calls[i].result) << "call " << i;
  }
  peer.Finish();
  EXPECT_EQ(peer.received(), Cat({Le32({24, 200105, 0}), Name12("ALARMS"), Le32({5}),
                                  Le32({24, 200105, 0}), Name12(""), Le32({0}),
                                  Le32({12, 200107, 0, 9}), Le32({20, 200102, 0, 9, 42, 0})}));
}

// The request lock held: 2; abandoned: 499 with 95, then usable.
TEST_F(FamilyTest, RequestLock) {
  Peer peer(Wire::Pipe, kHostPipe, QueueServer());
  Session session(peer);
  ASSERT_TRUE(session.ok());
  QNA_MtxTimeOut = 100;
  std::uint32_t max = 0;
  {
    MutexHolder holder(session.record()->request_lock);
    EXPECT_EQ(QNA_GetMaxEvQueueNum(session.id(), &max), QNA_E_MUTEX);
    EXPECT_EQ(QNA_InternalErr, 0);
  }
  {
    MutexHolder holder(session.record()->request_lock, 0ms, false);
    holder.Release();
    EXPECT_EQ(QNA_GetMaxEvQueueNum(session.id(), &max), QNA_E_EVQ_LOCK);
    EXPECT_EQ(QNA_InternalErr, 95);
  }
  EXPECT_EQ(QNA_GetMaxEvQueueNum(session.id(), &max), QNA_OK);
  EXPECT_EQ(max, 16u);
}

}  // namespace
