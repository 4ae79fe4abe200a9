// The whole client over the pipe emulation against quonix, with the platform
// made to report the Windows 95 family.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "integration/integration.h"

namespace {

using namespace std::chrono_literals;

// The platform reports the Windows 95 family for the test's duration.
struct Windows95 {
  Windows95() { win::SetVersionPlatformSeam(1); }
  ~Windows95() {
    QNA_Close();
    win::SetVersionPlatformSeam(0);
  }
};

class W95Client : public ::testing::Test {
 protected:
  qt::TempRoot root;
  std::string log = root.path() + "/quonix.log";
  qt::Server server{{"-v"}, log};
  Windows95 w95;
};

TEST_F(W95Client, LocalConnectionsDataAndWrites) {
  ASSERT_TRUE(server.ready());
  // Each close frees the served instance while the server keeps the next one
  // ready, so every open finds an offer.
  QNA_REGREC again = it::Record("W95AGAIN");
  for (std::uint16_t round = 0; round < 10; ++round) {
    ASSERT_EQ(QNA_Open(&again), QNA_OK) << "round " << round << ": " << QNA_InternalErr;
    ASSERT_EQ(QNA_Write(1, 50, 1, &round, 0), QNA_OK) << "round " << round;
    QNA_Close();
  }
  QNA_REGREC record = it::Record("W95APP");
  ASSERT_EQ(QNA_Open(&record), QNA_OK) << QNA_InternalErr;

  // A large write crosses the server-to-client buffer in several pieces of
  // the reply stream and fills a good part of the request buffer.
  std::vector<std::uint16_t> big(16000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint16_t>(i * 7);
  ASSERT_EQ(QNA_Write(1, 1000, static_cast<std::uint32_t>(big.size()), big.data(), 0), QNA_OK);
  std::vector<std::uint16_t> big_back(big.size());
  ASSERT_EQ(QNA_Read(1, 1000, static_cast<std::uint32_t>(big.size()), big_back.data(), 0), QNA_OK);
  EXPECT_EQ(big_back, big);

  // TCP connections are not offered on the Windows 95 family.
  QNA_CONNPARAM tcp = it::Connection("W95TCP", "127.0.0.1", 1);
  tcp.attempts = 1;
  std::uint32_t tcp_id = 0;
  EXPECT_EQ(QNA_OpenS(&tcp, &tcp_id), QNA_E_OPEN);

  QNA_Close();
  EXPECT_EQ(QNA_Read(1, 100, 1, big_back.data(), 0), QNA_E_NOTOPEN);
  // The link came over the emulated pipe and was closed.
  ASSERT_TRUE(qt::WaitFor([&] {
    return qt::ReadText(log).find("closed (application 'W95APP'") != std::string::npos;
  }));
  EXPECT_NE(qt::ReadText(log).find("open on emulated pipe QOXSMEM"), std::string::npos);
}

TEST_F(W95Client, RemoteConnectionWithEventQueues) {
  ASSERT_TRUE(server.ready());
  const QNA_CONNPARAM params = it::Connection("W95REM");
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK) << QNA_InternalErr;
  const std::uint16_t word = 4321;
  ASSERT_EQ(QNA_WriteN(1, 300, 1, &word, 0, id), QNA_OK) << QNA_InternalErr;
  std::uint16_t back = 0;
  ASSERT_EQ(QNA_ReadN(1, 300, 1, &back, 0, id), QNA_OK);
  EXPECT_EQ(back, word);

  // Two queues on emulated per-queue pipes; events with and without data.
  std::uint32_t handles[2] = {};
  ASSERT_EQ(QNA_OpenEvQueue(id, 2, nullptr, "ALPHA", &handles[0], 0), QNA_OK) << QNA_InternalErr;
  ASSERT_EQ(QNA_OpenEvQueue(id, 3, nullptr, nullptr, &handles[1], 0), QNA_OK) << QNA_InternalErr;
  std::vector<std::uint8_t> payload(3000);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<std::uint8_t>(i * 13);
  for (std::uint32_t v = 0; v < 40; ++v) {
    QNA_EVENT event{v, v % 2 == 0 ? static_cast<std::uint32_t>(payload.size()) : 0u,
                    v % 2 == 0 ? payload.data() : nullptr};
    ASSERT_EQ(QNA_WriteEvQueue(id, 2 + v % 2, &event), QNA_OK);
  }
  for (std::uint32_t v = 0; v < 40; ++v) {
    std::vector<std::uint8_t> data(payload.size());
    QNA_EVENT event{0, static_cast<std::uint32_t>(data.size()), data.data()};
    ASSERT_EQ(QNA_ReadEvQueue(handles[v % 2], nullptr, nullptr, &event, 0), QNA_OK);
    EXPECT_EQ(event.value, v);
    if (v % 2 == 0) {
      EXPECT_EQ(data, payload);
    }
  }
  EXPECT_EQ(QNA_CloseEvQueue(handles[0], 0), QNA_OK);
  // The other queue goes with its connection.
  QNA_CloseN(id);
  EXPECT_EQ(QNA_ReadN(1, 300, 1, &back, 0, id), QNA_E_NOTOPEN);
  QNA_EVENT none{0, 0, nullptr};
  EXPECT_EQ(QNA_ReadEvQueue(handles[1], nullptr, nullptr, &none, 0), QNA_E_EVQ_LOCK);
}

// A client that ends without a close leaves no closed mark: the server sees
// that nobody else holds the instance and closes the link.
TEST_F(W95Client, AClientThatEndsWithoutACloseIsClosed) {
  ASSERT_TRUE(server.ready());
  qt::Child client([] {
    QNA_REGREC record = it::Record("W95GONE");
    return QNA_Open(&record) == QNA_OK ? 0 : 1;  // ends with the link open
  });
  ASSERT_EQ(client.Wait(), 0);
  EXPECT_TRUE(qt::WaitFor([&] {
    return qt::ReadText(log).find("closed (application 'W95GONE'") != std::string::npos;
  }, 20s)) << qt::ReadText(log);
}

// A server that stops under a waiting event read: the read and the next
// request fail instead of hanging.
TEST_F(W95Client, ServerStopsUnderConnectedClients) {
  ASSERT_TRUE(server.ready());
  // No QNA_Open first: QNA_OpenN would replace that link without closing it.
  const QNA_CONNPARAM params = it::Connection("W95STOPN");
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK) << QNA_InternalErr;
  std::uint32_t handle = 0;
  ASSERT_EQ(QNA_OpenEvQueue(id, 1, nullptr, nullptr, &handle, 0), QNA_OK) << QNA_InternalErr;
  std::uint32_t read_result = 0;
  std::thread reader([&] {
    QNA_EVENT event{0, 0, nullptr};
    read_result = QNA_ReadEvQueue(handle, nullptr, nullptr, &event, 0);
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(server.Stop(), 0);
  reader.join();
  EXPECT_EQ(read_result, QNA_E_EVQ_READ);
  const std::uint16_t word = 1;
  EXPECT_NE(QNA_WriteN(1, 0, 1, &word, 0, id), QNA_OK);
  QNA_CloseN(id);
}

}  // namespace
