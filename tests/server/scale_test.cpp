// quonix at plant scale: a thousand links at once.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::Link;
using wire::TcpLink;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;  // a sanitizer's own memory per thread swamps the figure
#else
constexpr bool kSanitized = false;
#endif

// What docs/server.md states for 1,000 idle registered links (debug build).
constexpr long kThousandIdleLinksKiB = 25 * 1024;

// One descriptor per link here and in the server, which inherits the limit.
bool RaiseOpenFiles(rlim_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return false;
  if (limit.rlim_cur >= wanted) return true;
  if (limit.rlim_max < wanted) return false;
  limit.rlim_cur = wanted;
  return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

template <class Kind>
bool Join(Kind& link, std::size_t k) {
  if (!link.ok()) return false;
  // Appended: g++ 12 at -O2 warns falsely (-Wrestrict) on "L" + to_string.
  const auto reg = link.Call(wire::Register(std::string("L").append(std::to_string(k)).c_str()));
  const auto w = link.Call(wire::WordWrite(1, static_cast<std::uint32_t>(k),
                                           {static_cast<std::uint16_t>(k + 1)}));
  return reg && w && reg->result == 0 && w->result == 0;
}

// 1,000 links (200 under a sanitizer) from several threads, 15 of them on
// the host pipe and 15 over TCP: all served, each wrote its own word, and
// the server stays within the memory docs/server.md gives for them.
TEST(ServerScale, AThousandLinksOfEveryKindAreServedInTheirMemory) {
  ASSERT_TRUE(RaiseOpenFiles(2048)) << "open file limit too low";
  wire::Served s({"--host", "SCALEHOST", "--tcp", "0"});
  ASSERT_TRUE(s.server.ready());
  const std::uint16_t port = s.port;

  const std::size_t all = kSanitized ? 200 : 1000, tcp = 15, pipes = all - tcp, local = pipes - 15;
  std::vector<std::unique_ptr<Link>> piped(pipes);
  std::vector<std::unique_ptr<TcpLink>> sockets(tcp);
  std::atomic<std::size_t> served{0};
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
  const long after = qt::RssKiB(s.server.pid());
  EXPECT_EQ(served.load(), all);
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

}  // namespace
