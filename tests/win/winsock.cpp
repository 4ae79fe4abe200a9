// Windows Sockets over the real calls: the library's version 1.1 calls, and
// the server side (listen, accept with a time-out, shutdown).
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Sockets : public ::testing::Test {
 protected:
  void SetUp() override {
    win::WSADATA data{};
    ASSERT_EQ(win::WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    listener_ = win::TcpListen("127.0.0.1", 0);
    ASSERT_NE(listener_, -1);
    port_ = win::TcpLocalPort(listener_);
    ASSERT_NE(port_, 0);
  }
  void TearDown() override {
    if (listener_ != -1) win::closesocket(listener_);
  }

  // A client connected the way the library connects.
  win::SOCKET Dial() {
    const win::SOCKET s = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
    if (s == -1) return -1;
    const win::HOSTENT* host = win::gethostbyname("127.0.0.1");
    if (host == nullptr || host->h_length != 4) return -1;
    win::SOCKADDR_IN address{};
    address.sin_family = win::AF_INET_;
    address.sin_port = win::htons(port_);
    std::memcpy(&address.sin_addr, host->h_addr_list[0], 4);
    if (win::connect(s, &address, sizeof address) != 0) {
      win::closesocket(s);
      return -1;
    }
    return s;
  }

  win::SOCKET listener_ = -1;
  std::uint16_t port_ = 0;
};

TEST_F(Sockets, ConnectSendAndReceiveBothWays) {
  const win::SOCKET client = Dial();
  ASSERT_NE(client, -1);
  const win::SOCKET server = win::TcpAccept(listener_, 5000);
  ASSERT_NE(server, -1);
  EXPECT_EQ(win::send(client, "hello", 5, 0), 5);
  char got[8] = {};
  EXPECT_EQ(win::recv(server, got, sizeof got, 0), 5);
  EXPECT_EQ(std::string(got, 5), "hello");
  EXPECT_EQ(win::send(server, "ok", 2, 0), 2);  // an accepted socket blocks as usual
  EXPECT_EQ(win::recv(client, got, sizeof got, 0), 2);
  EXPECT_EQ(win::closesocket(client), 0);
  EXPECT_EQ(win::recv(server, got, sizeof got, 0), 0);  // the peer's orderly close
  EXPECT_EQ(win::closesocket(server), 0);
}

TEST_F(Sockets, AcceptTimesOutWith258) {
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(win::TcpAccept(listener_, 100), -1);
  EXPECT_EQ(win::GetLastError(), WAIT_TIMEOUT);
  EXPECT_GE(std::chrono::steady_clock::now() - start, 90ms);
}

TEST_F(Sockets, ShutdownWakesABlockedReceive) {
  const win::SOCKET client = Dial();
  ASSERT_NE(client, -1);
  const win::SOCKET server = win::TcpAccept(listener_, 5000);
  ASSERT_NE(server, -1);
  std::atomic<int> received{1};
  std::thread reader([&] {
    char got[4];
    received = win::recv(server, got, sizeof got, 0);
  });
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(received.load(), 1);
  EXPECT_EQ(win::TcpShutdown(server), 0);
  EXPECT_TRUE(wt::WaitFor([&] { return received.load() != 1; }, 5s));
  reader.join();
  EXPECT_LE(received.load(), 0);
  char got[4];
  EXPECT_EQ(win::recv(client, got, sizeof got, 0), 0);  // the client sees the end
  win::closesocket(server);
  win::closesocket(client);
}

TEST_F(Sockets, RefusedConnectsAndUnknownHostsFail) {
  const win::SOCKET s = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
  ASSERT_NE(s, -1);
  win::SOCKADDR_IN address{};
  address.sin_family = win::AF_INET_;
  address.sin_port = win::htons(port_);
  address.sin_addr = 0x0100007F;  // 127.0.0.1
  win::closesocket(listener_);
  listener_ = -1;
  EXPECT_EQ(win::connect(s, &address, sizeof address), -1);
  EXPECT_EQ(win::connect(s, &address, 8), -1);
  win::closesocket(s);
  EXPECT_EQ(win::gethostbyname("qna-no-such-host.invalid"), nullptr);
  EXPECT_EQ(win::htons(0x1234), 0x3412);
}

}  // namespace
