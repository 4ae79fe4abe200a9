// The event queue knob seen from a client: with delivery stalled an event
// posted never reaches the queue's reader.  (The other knobs are checked on
// the wire in tests/server.)
#include <gtest/gtest.h>

#include <thread>

#include "integration/integration.h"

namespace {

using namespace it;

TEST_F(IntegrationTest, StalledEventQueuesDeliverNothing) {
  ASSERT_TRUE(StartServer({"--fault-stall-evqueues"})) << ServerLog();
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

}  // namespace
