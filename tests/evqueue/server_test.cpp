// Event queues against quonix.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "evqueue_peer.h"
#include "server/wire.h"
#include "support/server.h"

namespace {

using namespace std::chrono_literals;

class EvQueueServerTest : public qt::LibraryTest {
 protected:
  std::uint32_t Connect(const char* app) {
    QNA_CONNPARAM params = qt::Params("");
    std::memset(params.name, 0, sizeof params.name);
    std::strncpy(params.name, app, 8);
    std::uint32_t id = 0;
    EXPECT_EQ(QNA_OpenN(&params, &id), QNA_OK);
    return id;
  }
};

std::vector<std::uint8_t> DataOf(std::uint32_t i) {
  std::vector<std::uint8_t> data(i * 7 % 50);
  for (std::size_t k = 0; k < data.size(); ++k) data[k] = static_cast<std::uint8_t>(i + k);
  return data;
}

std::uint32_t Post(std::uint32_t id, std::uint32_t queue, std::uint32_t value,
                   std::vector<std::uint8_t> data) {
  QNA_EVENT event{value, static_cast<std::uint32_t>(data.size()), data.empty() ? nullptr : data.data()};
  return QNA_WriteEvQueue(id, queue, &event);
}

struct Got {
  std::uint32_t result;
  std::uint16_t kind;
  std::string name;
  std::uint32_t value;
  std::vector<std::uint8_t> data;
  bool operator==(const Got&) const = default;
};
void PrintTo(const Got& g, std::ostream* out) {
  *out << "result " << g.result << " kind " << g.kind << " '" << g.name << "' value " << g.value
       << ", " << g.data.size() << " data bytes";
}

Got Read(std::uint32_t handle, std::uint32_t flags = 0, std::uint32_t capacity = 1u << 17) {
  std::vector<std::uint8_t> buffer(capacity);
  QNA_EVENT event{0, capacity, buffer.data()};
  std::uint16_t kind = 99;
  char name[32] = "unset";
  Got got{};
  got.result = QNA_ReadEvQueue(handle, &kind, name, &event, flags);
  got.kind = kind;
  got.name = name;
  got.value = event.value;
  // An event without data leaves the length as the caller set it.
  if (got.result == QNA_OK && event.length < capacity)
    got.data.assign(buffer.begin(), buffer.begin() + event.length);
  return got;
}

// Two readers of one queue each get every event, whole, in order; the
// events, of many sizes, fill the pipes well past one read of them.
TEST_F(EvQueueServerTest, TwoReadersGetEveryEventInOrder) {
  qt::Server server;
  ASSERT_TRUE(server.ready());
  const std::uint32_t poster = Connect("POSTER");
  const std::uint32_t a = Connect("READERA");
  const std::uint32_t b = Connect("READERB");
  ASSERT_NE(b, 0u);
  std::uint32_t ha = 0, hb = 0, qa = 0, qb = 0;
  ASSERT_EQ(QNA_OpenEvQueue(a, 3, &qa, "ALARMS", &ha, 0), QNA_OK);
  ASSERT_EQ(QNA_OpenEvQueue(b, 3, &qb, "ALARMS", &hb, 0), QNA_OK);
  EXPECT_TRUE(qa == 3 && qb == 3 && ha != hb);
  constexpr std::uint32_t kEvents = 400;
  for (std::uint32_t i = 0; i < kEvents; ++i) ASSERT_EQ(Post(poster, 3, 1000 + i, DataOf(i)), QNA_OK);
  for (std::uint32_t handle : {ha, hb})
    for (std::uint32_t i = 0; i < kEvents; ++i)
      ASSERT_EQ(Read(handle), (Got{0, 1, "POSTER", 1000 + i, DataOf(i)})) << "event " << i;
  EXPECT_EQ(QNA_CloseEvQueue(ha, 0), QNA_OK);
  EXPECT_EQ(QNA_CloseEvQueue(hb, 0), QNA_OK);
}

// A list function's count, then its list (within `room`).
using List = std::vector<std::uint32_t>;
template <typename Call>
List Listed(Call call, std::uint32_t id, std::uint32_t room = 8) {
  List list(room + 1, 0xEEEEEEEE);
  std::uint32_t count = 0;
  EXPECT_EQ(call(id, &count, list.data(), room), QNA_OK);
  list.insert(list.begin(), count);
  return List(list.begin(), std::find(list.begin() + 1, list.end(), 0xEEEEEEEEu));
}

// A link that simply ends (its process gone) loses its queues.  (A close
// sends a close for each: the table tests'.)
TEST_F(EvQueueServerTest, ALinkThatEndsLosesItsQueues) {
  qt::Server server;
  ASSERT_TRUE(server.ready());
  const std::uint32_t watcher = Connect("WATCHER");
  qt::Child child([] {
    QNA_CONNPARAM params = qt::Params("");
    std::uint32_t id = 0, handle = 0;
    if (QNA_OpenN(&params, &id) != QNA_OK) return 1;
    if (QNA_OpenEvQueue(id, 7, nullptr, nullptr, &handle, 0) != QNA_OK) return 2;
    std::_Exit(0);  // no close of any kind
  });
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_TRUE(qt::WaitFor([&] { return Listed(QNA_GetUsedEvQueueNum, watcher) == List{0}; }));
}

// The information functions tell what the server has.
TEST_F(EvQueueServerTest, InformationMatchesTheServer) {
  qt::Server server({"--evqueues", "6"});
  ASSERT_TRUE(server.ready());
  const std::uint32_t id = Connect("INFO");
  const std::uint32_t other = Connect("OTHER");
  std::uint32_t max = 0;
  EXPECT_EQ(QNA_GetMaxEvQueueNum(id, &max), QNA_OK);
  EXPECT_EQ(max, 6u);
  std::uint32_t h = 0, q = 0;
  ASSERT_EQ(QNA_OpenEvQueue(id, 4, &q, "PUMPS", &h, 0), QNA_OK);
  ASSERT_EQ(QNA_OpenEvQueue(other, QNA_EVQ_ANY, &q, "PUMPS", &h, 0), QNA_OK);
  EXPECT_EQ(q, 4u);  // the queue bearing the name
  ASSERT_EQ(QNA_OpenEvQueue(other, 2, &q, nullptr, &h, 0), QNA_OK);
  ASSERT_EQ(QNA_OpenEvQueue(id, 2, &q, "VALVES", &h, 0), QNA_OK);  // names the unnamed queue
  const std::uint32_t third = Connect("THIRD");
  EXPECT_EQ(QNA_OpenEvQueue(third, 4, &q, "VALVES", &h, 0), 12u);  // it bears another name
  const auto named = [](const char* name) {
    return [name](std::uint32_t i, std::uint32_t* n, std::uint32_t* l, std::uint32_t room) {
      return QNA_GetNamedEvQueueNum(i, name, n, l, room);
    };
  };
  EXPECT_EQ(Listed(QNA_GetUsedEvQueueNum, id), (List{2, 2, 4}));
  EXPECT_EQ(Listed(QNA_GetUsableEvQueueNum, id), (List{4, 1, 3, 5, 6}));
  EXPECT_EQ(Listed(QNA_GetUsableEvQueueNum, id, 1), (List{4, 1}));
  EXPECT_EQ(Listed(named("PUMPS"), id), (List{1, 4}));
  EXPECT_EQ(Listed(named(""), id), (List{2, 2, 4}));  // any name
  EXPECT_EQ(Listed(named("NOBODY"), id), (List{0}));
  char pumps[9] = "xxxxxxxx", unnamed[9] = "xxxxxxxx", none[9];
  EXPECT_EQ(QNA_GetEvQueueName(id, 4, pumps) + QNA_GetEvQueueName(id, 1, unnamed), QNA_OK);
  EXPECT_EQ(std::string(pumps) + "|" + unnamed, "PUMPS|");
  EXPECT_EQ(QNA_GetEvQueueName(id, 7, none), 10u);  // no such queue
  EXPECT_EQ(QNA_OpenEvQueue(id, 9, &q, nullptr, &h, 0), 10u);
}

// A reader that does not read: the oldest go, a kind 2 record counts them.
TEST_F(EvQueueServerTest, SlowReaderLosesOldestEventsOnly) {
  qt::Server server({"--evqueue-mib", "1"});
  ASSERT_TRUE(server.ready());
  const std::uint32_t poster = Connect("POSTER");
  const std::uint32_t reader = Connect("SLOW");
  std::uint32_t handle = 0;
  ASSERT_EQ(QNA_OpenEvQueue(reader, 1, nullptr, nullptr, &handle, 0), QNA_OK);
  constexpr std::uint32_t kEvents = 200;
  const std::vector<std::uint8_t> big(60000, 0x5A);
  const auto start = qt::Clock::now();
  for (std::uint32_t i = 0; i < kEvents; ++i) ASSERT_EQ(Post(poster, 1, i, big), QNA_OK);
  std::uint32_t max = 0;
  EXPECT_EQ(QNA_GetMaxEvQueueNum(poster, &max), QNA_OK);
  EXPECT_LT(qt::Clock::now() - start, 20s);
  std::uint64_t delivered = 0, dropped = 0;
  std::int64_t last = -1;
  while (delivered + dropped < kEvents) {
    const Got got = Read(handle, 0, 65536);
    ASSERT_EQ(got.result, QNA_OK);
    if (got.kind == 2) {
      EXPECT_GT(got.value, 0u);
      dropped += got.value;
      continue;
    }
    ASSERT_EQ(got.kind, 1u);
    EXPECT_GT(static_cast<std::int64_t>(got.value), last);  // in order, never twice
    last = got.value;
    EXPECT_EQ(got.data, big);
    ++delivered;
  }
  EXPECT_EQ(delivered + dropped, kEvents);
  EXPECT_GT(dropped, 0u);
  EXPECT_EQ(last, static_cast<std::int64_t>(kEvents - 1));  // the newest is kept
}

// Requests that do not fit, on a raw link: refused, the link goes on.
TEST_F(EvQueueServerTest, RefusalsOnARawLink) {
  qt::Server server({"--evqueues", "2"});
  ASSERT_TRUE(server.ready());
  wire::Link link;
  ASSERT_TRUE(link.ok());
  const auto open = [](std::uint32_t queue, const et::Bytes& name) {
    return et::Cat({et::Le32({28, 200100, 0, queue}), name, et::Le32({0})});
  };
  const et::Bytes unterminated(12, 'N');
  const struct {
    et::Bytes request;
    std::uint32_t result;
  } rows[] = {
      {open(0, et::Name12("")), 10}, {open(3, et::Name12("")), 10}, {open(1, unterminated), 6},
      {et::Le32({24, 200100, 0, 1, 0, 0, 0}), 6},  // a body of 16 bytes
      {open(1, et::Name12("A")), 0}, {open(1, et::Name12("A")), 14},
      {open(100000, et::Name12("B")), 0},  // queue 2, now named B
      {open(100000, et::Name12("C")), 11},
      {et::Le32({16, 200101, 0, 2, 0}), 0}, {et::Le32({16, 200101, 0, 2, 0}), 15},
      {et::Le32({20, 200102, 0, 1, 5, 3}), 6},  // 3 data bytes announced, none sent
      {et::Le32({20, 200102, 0, 9, 5, 0}), 10},
      {et::Cat({et::Le32({24, 200105, 0}), unterminated, et::Le32({4})}), 6},
      {et::Le32({12, 200109, 0, 1}), 6},
  };
  for (const auto& row : rows) EXPECT_EQ(link.Result(row.request), row.result) << ::testing::PrintToString(row.request);
  const auto max = link.Call(et::Le32({8, 200109, 0}));
  ASSERT_TRUE(max);
  EXPECT_EQ(max->u32(0), 2u);
}

}  // namespace
