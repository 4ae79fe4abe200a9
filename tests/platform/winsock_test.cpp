// Windows Sockets 1.1 over BSD sockets, and the server side of TCP links.
#ifndef _WIN32
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <algorithm>

#include "platform/platform.h"
#include "support/test_support.h"

#include "closer.h"

namespace {

using Winsock = qt::RootedTest;
using Links = qt::RootedTest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using win::INVALID_SOCKET;
using win::SOCKET;

using Sock = Closer<SOCKET, INVALID_SOCKET, win::closesocket>;

win::SOCKADDR_IN Address(const char* host, std::uint16_t port) {
  win::SOCKADDR_IN address{};
  address.sin_family = win::AF_INET_;
  // Parenthesised: with optimisation the C library makes htons a macro.
  address.sin_port = (win::htons)(port);
  const win::HOSTENT* entry = win::gethostbyname(host);
  if (entry != nullptr) std::memcpy(&address.sin_addr, entry->h_addr_list[0], 4);
  return address;
}

// A listener on loopback, a client connected to it and the accepted end.
struct Tcp {
  Sock listener;
  Sock client;
  Sock server;
  std::uint16_t port = 0;
};

void Connect(Tcp& tcp) {
  tcp.listener = Sock(win::TcpListen("127.0.0.1", 0));
  ASSERT_TRUE(tcp.listener.valid()) << win::GetLastError();
  tcp.port = win::TcpLocalPort(tcp.listener.get());
  ASSERT_NE(tcp.port, 0);
  tcp.client = Sock(win::socket(win::AF_INET_, win::SOCK_STREAM_, 0));
  ASSERT_TRUE(tcp.client.valid());
  const auto address = Address("127.0.0.1", tcp.port);
  ASSERT_EQ(win::connect(tcp.client.get(), &address, sizeof address), 0) << win::GetLastError();
  tcp.server = Sock(win::TcpAccept(tcp.listener.get(), 10000));
  ASSERT_TRUE(tcp.server.valid()) << win::GetLastError();
}

// Receives exactly `count` bytes, or fewer when the stream ends or fails.
std::string RecvAll(SOCKET s, std::size_t count) {
  std::string got;
  char buffer[256];
  while (got.size() < count) {
    const int want = static_cast<int>(std::min(sizeof buffer, count - got.size()));
    const int n = win::recv(s, buffer, want, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

#ifndef _WIN32
bool NoDelay(SOCKET s) {
  int value = 0;
  socklen_t size = sizeof value;
  return getsockopt(static_cast<int>(s), IPPROTO_TCP, TCP_NODELAY, &value, &size) == 0 &&
         value != 0;
}
#endif

TEST_F(Winsock, StartupReportsVersion11) {
  win::WSADATA data{};
  EXPECT_EQ(win::WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(win::WSAStartup(0x0101, nullptr), 0);
}

TEST_F(Winsock, ConnectedPairTalksBothWaysAndCloses) {
  Tcp tcp;
  ASSERT_NO_FATAL_FAILURE(Connect(tcp));
#ifndef _WIN32
  EXPECT_TRUE(NoDelay(tcp.client.get()));
  EXPECT_TRUE(NoDelay(tcp.server.get()));
#endif
  const std::string request(3000, 'q');
  ASSERT_EQ(win::send(tcp.client.get(), request.data(), 3000, 0), 3000);
  EXPECT_EQ(RecvAll(tcp.server.get(), 3000), request);
  ASSERT_EQ(win::send(tcp.server.get(), "reply", 5, 0), 5);
  // A peek leaves the bytes for the next read.
  char peeked[5] = {};
  ASSERT_TRUE(qt::WaitFor([&] { return win::recv(tcp.client.get(), peeked, 5, 2) == 5; }));
  EXPECT_EQ(RecvAll(tcp.client.get(), 5), "reply");
#ifndef _WIN32  // Windows takes them
  // Flags Windows Sockets 1.1 does not know are refused.
  EXPECT_EQ(win::send(tcp.client.get(), "x", 1, 0x100), win::SOCKET_ERROR);
#endif
  // The last bytes before a close arrive, then the close as 0.
  ASSERT_EQ(win::send(tcp.client.get(), "last", 4, 0), 4);
  tcp.client.reset();
  EXPECT_EQ(RecvAll(tcp.server.get(), 4), "last");
  char byte;
  EXPECT_EQ(win::recv(tcp.server.get(), &byte, 1, 0), 0);
}

#ifndef _WIN32  // signals and descriptors are POSIX's own
// SIGPIPE stays at its default in the child: a send that raised it would
// kill the child, and its status would show the signal.
TEST_F(Winsock, SendToAClosedPeerFailsWithoutSignal) {
  qt::Child child([] {
    signal(SIGPIPE, SIG_DFL);
    Tcp tcp;
    Connect(tcp);
    if (!tcp.server.valid()) return 10;
    tcp.client.reset();
    // The first sends may still go out before the peer's reset comes back.
    for (int i = 0; i < 500; ++i) {
      if (win::send(tcp.server.get(), "data", 4, 0) == win::SOCKET_ERROR) return 0;
      std::this_thread::sleep_for(10ms);
    }
    return 11;
  });
  EXPECT_EQ(child.Wait(), 0) << "128 + 13 means SIGPIPE killed it";
}

#endif

TEST_F(Winsock, ShutdownWakesABlockedRecv) {
  Tcp tcp;
  ASSERT_NO_FATAL_FAILURE(Connect(tcp));
  const int result = EndedBy(
      [&] {
        char byte;
        return win::recv(tcp.server.get(), &byte, 1, 0);
      },
      [&] { EXPECT_EQ(win::TcpShutdown(tcp.server.get()), 0); },
      [&] { tcp.client.reset(); });  // the peer's close ends the recv too
  EXPECT_GE(result, -1);  // -2: not woken
  EXPECT_LE(result, 0);
}

// An accept without a client fails with 258 in about its time, on a pipe
// and on a socket.
TEST_F(Links, AcceptTimesOutWith258InAboutTheTime) {
  using Owned = Closer<Handle, kInvalidHandle, win::CloseHandle>;
  Owned pipe(NpipeListen("\\\\.\\pipe\\quiet"));
  Sock socket(win::TcpListen("127.0.0.1", 0));
  ASSERT_TRUE(pipe.valid() && socket.valid());
  const std::function<bool(std::uint32_t)> accepts[] = {
      [&](std::uint32_t ms) { return Owned(NpipeAccept(pipe.get(), ms)).valid(); },
      [&](std::uint32_t ms) { return Sock(win::TcpAccept(socket.get(), ms)).valid(); }};
  for (const auto& accept : accepts) {
    const auto start = Clock::now();
    EXPECT_EQ(Failed(accept(200)), win::WAIT_TIMEOUT);
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 195ms);
    EXPECT_LT(took, 3s);
    EXPECT_EQ(Failed(accept(0)), win::WAIT_TIMEOUT);
  }
}

TEST_F(Winsock, ListenersAndRefusedConnects) {
  Sock listener(win::TcpListen("localhost", 0));
  ASSERT_TRUE(listener.valid()) << win::GetLastError();
  const std::uint16_t port = win::TcpLocalPort(listener.get());
  // The port is taken while the listener lives.
  Sock second(win::TcpListen("127.0.0.1", port));
  EXPECT_FALSE(second.valid());
  Sock any_address(win::TcpListen(nullptr, 0));
  EXPECT_TRUE(any_address.valid());
  listener.reset();

  Sock client(win::socket(win::AF_INET_, win::SOCK_STREAM_, 0));
  const auto address = Address("127.0.0.1", port);
  EXPECT_EQ(win::connect(client.get(), &address, sizeof address), win::SOCKET_ERROR);
  EXPECT_EQ(win::GetLastError(), 10061u);  // WSAECONNREFUSED
  EXPECT_EQ(win::TcpListen("no-such-host.invalid", 0), INVALID_SOCKET);
}

TEST_F(Winsock, BadArgumentsAreRefused) {
  struct SocketCase {
    int family, type, protocol;
  };
#ifdef _WIN32  // where 23 is IPv6 and datagrams are sockets too
  for (const auto& c : {SocketCase{2, 1, 17}}) {
#else
  for (const auto& c : {SocketCase{23, 1, 0}, SocketCase{2, 2, 0}, SocketCase{2, 1, 17}}) {
#endif
    SCOPED_TRACE(testing::Message() << c.family << "/" << c.type << "/" << c.protocol);
    EXPECT_EQ(win::socket(c.family, c.type, c.protocol), INVALID_SOCKET);
  }
  Sock client(win::socket(win::AF_INET_, win::SOCK_STREAM_, 0));
  ASSERT_TRUE(client.valid());
  auto address = Address("127.0.0.1", 9);
  EXPECT_EQ(win::connect(client.get(), &address, 15), win::SOCKET_ERROR);
  EXPECT_EQ(win::connect(client.get(), nullptr, 16), win::SOCKET_ERROR);
  address.sin_family = 23;
  EXPECT_EQ(win::connect(client.get(), &address, 16), win::SOCKET_ERROR);
  EXPECT_EQ(win::send(INVALID_SOCKET, "x", 1, 0), win::SOCKET_ERROR);
  char byte;
  EXPECT_EQ(win::recv(INVALID_SOCKET, &byte, 1, 0), win::SOCKET_ERROR);
  EXPECT_EQ(win::TcpAccept(INVALID_SOCKET, 0), INVALID_SOCKET);
  EXPECT_EQ(win::closesocket(INVALID_SOCKET), win::SOCKET_ERROR);
}

TEST_F(Winsock, HostNamesResolveToIpv4PerThread) {
  const win::HOSTENT* local = win::gethostbyname("localhost");
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(local->h_addrtype, 2);
  EXPECT_EQ(local->h_length, 4);
  ASSERT_NE(local->h_addr_list[0], nullptr);
  const unsigned char loopback[4] = {127, 0, 0, 1};
  EXPECT_EQ(std::memcmp(local->h_addr_list[0], loopback, 4), 0);
  const std::string local_name = local->h_name;

  // Another thread's lookup leaves this thread's entry alone.
  std::thread other([] {
    const win::HOSTENT* numeric = win::gethostbyname("127.0.0.2");
    EXPECT_TRUE(numeric != nullptr && std::string(numeric->h_name) == "127.0.0.2");
  });
  other.join();
  EXPECT_EQ(std::string(local->h_name), local_name);

  EXPECT_EQ(win::gethostbyname("no-such-host.invalid"), nullptr);
#ifndef _WIN32  // the local host, to Windows
  EXPECT_EQ(win::gethostbyname(nullptr), nullptr);
#endif
}

#ifndef _WIN32
// The library passes a socket field of 0 (no socket) to closesocket; that
// must never close the process's standard input, even when it is a socket.
TEST_F(Winsock, StandardDescriptorsAreNeverSockets) {
  qt::Child child([] {
    // closesocket closes nothing that is not a socket.
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (file <= 2 || win::closesocket(file) != win::SOCKET_ERROR || fcntl(file, F_GETFD) == -1)
      return 9;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0 || dup2(pair[0], 0) != 0) return 10;
    if (win::closesocket(0) != win::SOCKET_ERROR) return 11;
    if (fcntl(0, F_GETFD) == -1) return 12;
    // A new socket never lands on 0 to 2, even when they are free.
    close(0);
    const SOCKET s = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
    if (s == INVALID_SOCKET || s <= 2) return 13;
    return win::closesocket(s) == 0 ? 0 : 15;
  });
  EXPECT_EQ(child.Wait(), 0);
}

#endif

}  // namespace
