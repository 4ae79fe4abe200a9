// quonix at plant scale: hundreds of links of every kind at once, links
// that wait in receives beside others that are served, and the memory an
// idle link costs.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using wire::Link;
using wire::TcpLink;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // a sanitizer's own memory per thread swamps the figure
#else
constexpr bool kSanitized = false;
#endif

// What docs/server.md states for 1,000 idle registered links (debug build).
constexpr long kThousandIdleLinksKiB = 25 * 1024;

// This process and the server it starts (which inherits the limit) hold one
// descriptor per link; the usual soft limit is 1024.
bool RaiseOpenFiles(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

// Appended rather than "L" + to_string: g++ 12 at -O2 warns falsely
// (-Wrestrict) on that operator+.
std::string Name(std::size_t k) { return std::string("L").append(std::to_string(k)); }

// A registered link of either kind, which wrote k + 1 into word k of area 1.
template <class Kind>
bool Join(Kind& link, std::size_t k) {
  if (!link.ok()) return false;
  const auto reg = link.Call(wire::Register(Name(k).c_str()));
  const auto w = link.Call(wire::WordWrite(1, static_cast<std::uint32_t>(k),
                                           {static_cast<std::uint16_t>(k + 1)}));
  return reg && w && reg->result == 0 && w->result == 0;
}

// 1,000 links at once (200 under a sanitizer), opened from several threads:
// all but 30 on the local pipe, 15 on the host pipe and 15 over TCP.  All
// are served within 30 s, each wrote its own word, a fresh client is served
// with all of them open, and the server's resident size stays within the
// figure docs/server.md gives for that many idle registered links.
TEST(ServerScale, AThousandLinksOfEveryKindAreServedInTheirMemory) {
  ASSERT_TRUE(RaiseOpenFiles(2048)) << "open file limit too low";
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--host", "SCALEHOST", "--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  const std::uint16_t port = wire::TcpPort(log);
  const long before = qt::RssKiB(server.pid());

  const std::size_t all = kSanitized ? 200 : 1000, tcp = 15, pipes = all - tcp, local = pipes - 15;
  std::vector<std::unique_ptr<Link>> piped(pipes);
  std::vector<std::unique_ptr<TcpLink>> sockets(tcp);
  std::atomic<std::size_t> served{0};
  const auto start = Clock::now();
  std::vector<std::thread> openers;
  constexpr std::size_t kThreads = 6;
  for (std::size_t t = 0; t < kThreads; ++t) {
    openers.emplace_back([&, t] {
      for (std::size_t k = t; k < all; k += kThreads) {
        bool ok = false;
        if (k < pipes) {
          piped[k] = std::make_unique<Link>(k < local ? "\\\\.\\pipe\\qoxsmem" : "\\\\SCALEHOST\\pipe\\qoxsmem");
          ok = Join(*piped[k], k);
        } else {
          sockets[k - pipes] = std::make_unique<TcpLink>(port);
          ok = Join(*sockets[k - pipes], k);
        }
        if (ok) ++served;
      }
    });
  }
  for (auto& t : openers) t.join();
  const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  const long after = qt::RssKiB(server.pid());
  EXPECT_EQ(served.load(), all);
  EXPECT_LT(elapsed, 30s);
  std::printf("%zu links opened and registered in %lld ms; server VmRSS %ld KiB alone, %ld KiB with them: "
              "%.1f KiB each\n", all, static_cast<long long>(elapsed.count()), before, after,
              static_cast<double>(after - before) / static_cast<double>(all));
  if (!kSanitized) {
    EXPECT_LT(after, kThousandIdleLinksKiB + 8 * 1024);
  }
  Link fresh;
  wire::Registered(fresh, "FRESH");
  const auto words = fresh.Call(wire::DataRead(proto::kReadWords, {{1, 0, static_cast<std::uint32_t>(all)}}));
  ASSERT_TRUE(words.has_value());
  ASSERT_EQ(words->result, 0u);
  for (std::size_t k = 0; k < all; ++k) EXPECT_EQ(words->word(k), k + 1) << "link " << k;
}

// 64 links whose receives wait on empty channels: a fresh client still
// registers and is served, a send wakes the receiver of its own channel
// only, and a stop ends the waits at once.
TEST(ServerScale, WaitingReceivesDoNotStopOthers) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  constexpr std::uint32_t kWaiting = 64;
  std::vector<std::unique_ptr<Link>> waiting;
  for (std::uint32_t k = 0; k < kWaiting; ++k) {
    waiting.push_back(std::make_unique<Link>());
    wire::Registered(*waiting.back(), Name(k).c_str());
    // Channel 500 + k, room for 16 body bytes, a wait of 60 s.
    ASSERT_TRUE(waiting.back()->Send(
        wire::DataRead(proto::kReadBytes, {{600 + k, 0, 24}}, 60000)));
  }
  Link fresh;
  wire::Registered(fresh, "FRESH");
  EXPECT_EQ(fresh.Result(wire::WordWrite(1, 7, {77})), 0u);
  // A message for the receiver of channel 503.
  EXPECT_EQ(fresh.Result(wire::BitWrite(603, 0, wire::Builder{}.u32(9).u32(8).u32(0).bytes)), 0u);
  const auto got = waiting[3]->ReadReply();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->result, 0u);
  EXPECT_EQ(got->u32(0), 9u);
  EXPECT_FALSE(waiting[4]->ReadReply(100ms).has_value()) << "another channel's receiver woke";

  const auto stop = Clock::now();
  EXPECT_EQ(server.Stop(), 0);
  EXPECT_LT(Clock::now() - stop, 20s) << "a stop waited for the receives";
}

}  // namespace
