// The server's fault knobs, each seen from a client: the library reports what
// the knob does, and nothing hangs.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "integration/integration.h"

namespace {

using namespace it;

struct KnobCase {
  const char* name;
  std::vector<std::string> args;
  std::function<void()> check;  // with the client open on the local link
};

// After a cut link a new open works.
void Reopen() {
  QNA_Close();
  const QNA_REGREC record = Record("KNOB");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
}

// Every Nth request is refused unread, and did not happen.
void CheckRefuse() {
  std::vector<int> refused;
  for (std::uint16_t i = 0; i < 12; ++i) {
    const std::uint16_t value = static_cast<std::uint16_t>(0x100 + i);
    const std::uint32_t r = QNA_Write(1, i, 1, &value, 0);
    ASSERT_TRUE(r == QNA_OK || r == 77) << "write " << i << ": " << r;
    std::uint16_t word = 0xFFFF;
    ASSERT_EQ(QNA_Read(1, i, 1, &word, 0), QNA_OK);
    EXPECT_EQ(word, r == QNA_OK ? value : 0) << "word " << i;
    if (r == 77) refused.push_back(i);
  }
  ASSERT_EQ(refused.size(), 3u);
  EXPECT_EQ(refused[1] - refused[0], 4);
  EXPECT_EQ(refused[2] - refused[1], 4);
}

// Every Nth reply is 2 bytes longer, and says so: a read drops the rest; a
// write's reply must be 8 bytes, so the link is cut (102 with 2106).
void CheckWrongLength() {
  std::uint32_t w = QNA_OK;
  for (std::uint16_t i = 0; i < 12 && w == QNA_OK; ++i) {
    const std::uint16_t value = static_cast<std::uint16_t>(0x200 + i);
    w = QNA_WriteApp("KNOB", i, 1, &value, 0);
    if (w != QNA_OK) break;
    std::uint16_t word = 0;
    ASSERT_EQ(QNA_ReadApp("KNOB", i, 1, &word), QNA_OK) << "read " << i;
    EXPECT_EQ(word, value) << "read " << i;
  }
  ASSERT_EQ(w, QNA_E_READ);
  EXPECT_EQ(QNA_InternalErr, 2106);
  std::uint16_t word = 0;
  EXPECT_EQ(QNA_ReadApp("KNOB", 0, 1, &word), QNA_E_WRITE);
  EXPECT_EQ(QNA_InternalErr, 2000);
  Reopen();
  EXPECT_EQ(QNA_ReadApp("KNOB", 0, 1, &word), QNA_OK);
}

// The link ends at its request N: that exchange fails at the reply, the
// next at its first write, promptly; a new open works.
void CheckCloseAfter() {
  const std::uint16_t value = 1;
  std::uint32_t r = QNA_OK;
  int calls = 0;
  const auto start = Clock::now();
  while (r == QNA_OK && calls < 10) {
    r = QNA_Write(1, 0, 1, &value, 0);
    ++calls;
  }
  EXPECT_EQ(r, QNA_E_READ);
  EXPECT_EQ(QNA_InternalErr, 1105);
  EXPECT_EQ(QNA_Write(1, 0, 1, &value, 0), QNA_E_WRITE);
  EXPECT_EQ(QNA_InternalErr, 1101);
  EXPECT_LT(MsSince(start), 10000);
  Reopen();
  EXPECT_EQ(QNA_Write(1, 0, 1, &value, 0), QNA_OK);
}

// A slow server: a second thread's request gets 2 after QNA_MtxTimeOut.
void CheckDelay() {
  const std::uint16_t value = 3;
  std::atomic<std::uint32_t> first{999};
  QNA_MtxTimeOut = 200;
  std::thread slow([&] { first = QNA_Write(1, 1, 1, &value, 0); });
  std::this_thread::sleep_for(300ms);
  const std::uint32_t second = QNA_Write(1, 2, 1, &value, 0);
  slow.join();
  // On a loaded machine the first thread may start late: either may wait.
  const std::uint32_t waited = first.load() == QNA_OK ? second : first.load();
  EXPECT_EQ(waited, QNA_E_MUTEX);
  EXPECT_TRUE(first.load() == QNA_OK || second == QNA_OK) << first.load() << " " << second;
}

// A stalled delivery: an event posted never reaches the queue's reader.
void CheckEvQueueStalled() {
  QNA_Close();  // the connection's pipe becomes the link
  QNA_CONNPARAM params{};
  std::memcpy(params.name, "KNOBQ", 5);
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK);
  std::uint32_t queue = 0, handle = 0;
  ASSERT_EQ(QNA_OpenEvQueue(id, QNA_EVQ_ANY, &queue, "KNOBQ", &handle, 0), QNA_OK);
  QNA_EVENT event{42, 0, nullptr};
  ASSERT_EQ(QNA_WriteEvQueue(id, queue, &event), QNA_OK);
  std::uint16_t kind = 0;
  char name[33] = {};
  QNA_EVENT got{0, 0, nullptr};
  std::uint32_t r = QNA_E_EVQ_EMPTY;
  for (int i = 0; i < 40 && r == QNA_E_EVQ_EMPTY; ++i) {
    std::this_thread::sleep_for(25ms);
    r = QNA_ReadEvQueue(handle, &kind, name, &got, QNA_EVQ_NOWAIT);
  }
  EXPECT_EQ(r, QNA_E_EVQ_EMPTY);
  EXPECT_EQ(QNA_CloseEvQueue(handle, 0), QNA_OK);
  QNA_CloseN(id);
}

class Knob : public IntegrationTest, public ::testing::WithParamInterface<KnobCase> {};

TEST_P(Knob, ShowsAsTheClientExpects) {
  std::vector<std::string> args = SizeArgs(kSmallWords);
  args.insert(args.end(), GetParam().args.begin(), GetParam().args.end());
  ASSERT_TRUE(StartServer(args)) << ServerLog();
  EXPECT_NE(ServerLog().find("fault knobs are on"), std::string::npos) << ServerLog();
  const QNA_REGREC record = Record("KNOB");
  ASSERT_EQ(QNA_Open(&record), QNA_OK) << ServerLog();
  GetParam().check();
}

INSTANTIATE_TEST_SUITE_P(
    Faults, Knob,
    ::testing::Values(
        KnobCase{"Refuse", {"--fault-refuse", "4", "--fault-refuse-result", "77"}, CheckRefuse},
        KnobCase{"WrongLength", {"--fault-wrong-length", "3"}, CheckWrongLength},
        KnobCase{"CloseAfter", {"--fault-close-after", "6"}, CheckCloseAfter},
        KnobCase{"Delay", {"--fault-delay", "900"}, CheckDelay},
        KnobCase{"EvQueueStalled", {"--fault-stall-evqueues"}, CheckEvQueueStalled}),
    RowName());

}  // namespace
