// What a hostile or careless peer cannot do: read the platform root of
// another user, reach the TCP listener from another machine by default, or
// make the server allocate, buffer or serve without bound.
// tcp_wire.h before the system's network headers: with optimisation they
// make htons a macro, which its win::htons would not survive.
#include "server/tcp_wire.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "integration/integration.h"

namespace {

using namespace it;
namespace fs = std::filesystem;

using qt::RssKiB;

// A raw TCP client: the test sends whatever bytes it likes.
class RawClient {
 public:
  explicit RawClient(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
  }
  ~RawClient() { close(fd_); }
  bool connected() const { return connected_; }
  bool Send(const std::vector<std::uint8_t>& bytes) {
    return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // True when the server closed the link within `limit` (reading and
  // dropping whatever it sent first).
  bool ClosedWithin(std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    std::uint8_t sink[4096];
    while (Clock::now() < end) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = recv(fd_, sink, sizeof sink, 0);
      if (n <= 0) return true;
    }
    return false;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

std::vector<std::uint8_t> Le32s(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t w : words)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(w >> (8 * i)));
  return out;
}

// A one-word read of area 1: a request every server answers.
std::vector<std::uint8_t> ReadRequest(std::uint32_t words) {
  auto out = Le32s({24, 101, 0});
  out.insert(out.end(), {1, 0, 0, 0});
  const auto range = Le32s({1, 0, words});
  out.insert(out.end(), range.begin(), range.end());
  return out;
}

class Security : public IntegrationTest {
 protected:
  std::uint16_t StartTcp(std::vector<std::string> args) {
    args.insert(args.end(), {"--tcp", "0"});
    if (!StartServer(args)) return 0;
    const auto on = wire::ListeningOn(root_.path() + "/quonix.log");
    return on ? on->port : 0;
  }
  // Another client is served, promptly, while the hostile one does its worst.
  void ExpectOthersServed(std::uint16_t port) {
    RawClient other(port);
    ASSERT_TRUE(other.connected());
    ASSERT_TRUE(other.Send(ReadRequest(1)));
    std::uint8_t reply[14] = {};
    std::size_t got = 0;
    const auto end = Clock::now() + 10s;
    while (got < sizeof reply && Clock::now() < end) {
      pollfd p{other.fd(), POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      const ssize_t n = recv(other.fd(), reply + got, sizeof reply - got, 0);
      if (n <= 0) break;
      got += static_cast<std::size_t>(n);
    }
    EXPECT_EQ(got, sizeof reply) << "another client was not served";
  }
};

// The root the platform makes, and everything in it: no access for the
// group or others (a pipe's socket may be read by them, but connecting needs
// write permission, which they never have; the folder keeps them out anyway).
TEST_F(Security, RootAndObjectsArePrivate) {
  const std::string made = root_.path() + "/made/root";
  setenv("QNAPI_ROOT", made.c_str(), 1);
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  const QNA_REGREC record = Record("PRIVATE");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  std::uint16_t value = 1;
  ASSERT_EQ(QNA_WriteApp("PRIVATE", 0, 1, &value, 0), QNA_OK);
  struct stat st {};
  ASSERT_EQ(stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "root mode " << std::oct << st.st_mode;
  int checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(made)) {
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    if (S_ISLNK(st.st_mode)) continue;
    const unsigned forbidden = S_ISSOCK(st.st_mode) ? 022 : 077;
    EXPECT_EQ(st.st_mode & forbidden, 0u) << entry.path() << " mode " << std::oct << st.st_mode;
    ++checked;
  }
  EXPECT_GT(checked, 10);  // areas, mutexes, the pipe, the window table...
  QNA_Close();
  server_->Stop();
  setenv("QNAPI_ROOT", root_.path().c_str(), 1);
}

// Without an address the TCP listener is on loopback only, as the kernel's
// own table of listening sockets shows.
TEST_F(Security, TcpListenerIsOnLoopbackByDefault) {
  const std::uint16_t port = StartTcp({});
  ASSERT_NE(port, 0) << ServerLog();
  std::ifstream table("/proc/net/tcp");
  std::string line;
  char want[32];
  std::snprintf(want, sizeof want, "0100007F:%04X", port);
  bool loopback = false, anywhere = false;
  char any[32];
  std::snprintf(any, sizeof any, "00000000:%04X", port);
  while (std::getline(table, line)) {
    loopback = loopback || line.find(want) != std::string::npos;
    anywhere = anywhere || line.find(any) != std::string::npos;
  }
  EXPECT_TRUE(loopback);
  EXPECT_FALSE(anywhere);
}

// Length words the server must refuse: the link ends at once, nothing is
// allocated for them, and the server goes on serving.
struct LengthCase {
  const char* name;
  std::uint32_t length;
  bool ends_link;
};
class RequestLength : public Security, public ::testing::WithParamInterface<LengthCase> {};

TEST_P(RequestLength, IsCheckedBeforeAnythingIsAllocated) {
  const std::uint16_t port = StartTcp({});
  ASSERT_NE(port, 0) << ServerLog();
  const long before = RssKiB(server_->pid());
  RawClient hostile(port);
  ASSERT_TRUE(hostile.connected());
  ASSERT_TRUE(hostile.Send(Le32s({GetParam().length, 101, 0})));
  EXPECT_EQ(hostile.ClosedWithin(1500ms), GetParam().ends_link);
  // A refused length never grows the server by what it announced.
  EXPECT_LT(RssKiB(server_->pid()), before + 16 * 1024);
  ExpectOthersServed(port);
  EXPECT_TRUE(server_->running());
}

INSTANTIATE_TEST_SUITE_P(
    Security, RequestLength,
    ::testing::Values(LengthCase{"AllBitsSet", 0xFFFFFFFFu, true},
                      LengthCase{"AboveTheCap", (1u << 20) + 65, true},
                      LengthCase{"BelowEight", 7, true},
                      LengthCase{"Zero", 0, true},
                      // At the cap the server waits for the body.
                      LengthCase{"AtTheCap", (1u << 20) + 64, false}),
    RowName());

// A client that sends large reads and never takes the replies: the server
// writes one reply at a time and waits, so what it holds for that link
// stays bounded, and the other clients are served meanwhile.
TEST_F(Security, UnreadRepliesDoNotPileUp) {
  const std::uint16_t port = StartTcp({});
  ASSERT_NE(port, 0) << ServerLog();
  const long before = RssKiB(server_->pid());
  RawClient greedy(port);
  ASSERT_TRUE(greedy.connected());
  // 2000 reads of 16384 words: 64 MiB of replies nobody reads.
  const auto request = ReadRequest(16384);
  std::vector<std::uint8_t> many;
  for (int i = 0; i < 2000; ++i) many.insert(many.end(), request.begin(), request.end());
  // The requests themselves may stop fitting too: send what goes.
  {
    std::size_t sent = 0;
    const auto end = Clock::now() + 3s;
    while (sent < many.size() && Clock::now() < end) {
      const ssize_t n = send(greedy.fd(), many.data() + sent, many.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += static_cast<std::size_t>(n);
      else std::this_thread::sleep_for(10ms);
    }
  }
  std::this_thread::sleep_for(500ms);
  EXPECT_LT(RssKiB(server_->pid()), before + 16 * 1024);
  ExpectOthersServed(port);
}

// At most --max-links links: one more is closed at once; when a link ends,
// a new one is taken again.
TEST_F(Security, LinkCountIsCapped) {
  const std::uint16_t port = StartTcp({"--max-links", "2"});
  ASSERT_NE(port, 0) << ServerLog();
  auto first = std::make_unique<RawClient>(port);
  RawClient second(port);
  ASSERT_TRUE(first->connected() && second.connected());
  ASSERT_TRUE(qt::WaitFor([this] { return ServerLog().find("link 2 open") != std::string::npos; }, 10s));
  RawClient third(port);
  EXPECT_TRUE(third.ClosedWithin(5s));
  first.reset();
  ASSERT_TRUE(qt::WaitFor([this] { return ServerLog().find("link 1 closed") != std::string::npos; }, 10s));
  ExpectOthersServed(port);
}

}  // namespace
