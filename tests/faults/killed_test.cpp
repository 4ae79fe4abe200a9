// The server killed at random points of exchanges of every family while two
// clients run, over each transport on its own: every call returns in time
// with 0, the server's result, 101, 102 or 2, a read carries its own data,
// and after the crash every call fails promptly; the next round's server
// starts in the same root.  QNAPI_KILL_ROUNDS sets the rounds per transport
// (default 2; half die inside a reply).  A round waits mostly (a TCP open
// and a local close take a second each), so rounds run in lanes of their
// own roots side by side.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdlib>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "integration/integration.h"
#include "server/tcp_wire.h"

namespace {

using namespace it;

enum class Transport { LocalPipe, HostPipe, Tcp, Emulated };

struct Kind {
  const char* name;
  Transport transport;
};

constexpr int kLanes = 4;
constexpr const char* kHost = "box";

int Rounds() {
  const char* text = std::getenv("QNAPI_KILL_ROUNDS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 2;
}

// How a client ended, as its exit status.
enum Outcome { kKept = 0, kWrong = 1, kHung = 2 };

Outcome Fail(Outcome outcome, const std::string& why) {
  ChildFail(why);
  return outcome;
}

// What a lane saw; it lives in memory shared with the forked lanes.
struct Figures {
  std::uint64_t rounds, calls, wrong, hung, crashed, ms;
};

// `n` zeroed objects in memory that forked children write into.
template <typename T>
class Shared {
 public:
  explicit Shared(std::size_t n)
      : bytes_(n * sizeof(T)),
        at_(static_cast<T*>(mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0))) {
    if (at_ == MAP_FAILED) std::abort();
  }
  ~Shared() { munmap(at_, bytes_); }
  Shared(const Shared&) = delete;
  Shared& operator=(const Shared&) = delete;
  T& operator[](std::size_t i) { return at_[i]; }

 private:
  std::size_t bytes_;
  T* at_;
};

// One call of a family; `also`: server results that are no fault here.
struct Step {
  const char* name;
  std::function<std::uint32_t(std::uint32_t i, std::string& bad)> run;
  std::set<std::uint32_t> also;
};

// Opens the transport's link: the local functions' link too for the local
// kinds (the pipe connection with an empty host is also the local link).
std::uint32_t Open(Transport t, const char* app, std::uint16_t port, std::uint32_t* id) {
  QNA_CONNPARAM params{};
  std::memcpy(params.name, app, std::min<std::size_t>(std::strlen(app), 8));
  if (t == Transport::Emulated) win::SetVersionPlatformSeam(1);
  if (t == Transport::HostPipe) std::strcpy(params.host, kHost);
  if (t != Transport::Tcp) return QNA_OpenN(&params, id);
  std::strcpy(params.host, "127.0.0.1");
  params.port = port;
  params.attempts = 3;
  return QNA_OpenS(&params, id);
}

// The client's work until its link has failed for a while.
Outcome Client(Transport t, const char* app, std::uint16_t port, std::uint16_t slot,
               std::uint64_t& calls, qt::Signal& ready, qt::Signal& go) {
  std::uint32_t id = 0;
  const std::uint32_t opened = Open(t, app, port, &id);
  ready.Post();
  if (opened != QNA_OK) return Fail(kWrong, Got("the open", opened));
  // Both open before the first request, so a server that dies inside a
  // reply never meets an open.
  go.Take(60s);
  const bool local = t == Transport::LocalPipe || t == Transport::Emulated;

  // Each client owns words slot*8.. of area 1, its mailbox and a channel.
  const std::uint32_t base = slot * 8u;
  const std::uint32_t channel = 10u + slot;
  const auto value_of = [slot](std::uint32_t i) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(slot) << 12 | (i & 0xFFF));
  };
  // The words as last written: nothing else writes them.
  std::uint16_t last[4] = {};
  const auto write = [&](const std::uint16_t* v) {
    return local ? QNA_Write(1, base, 4, v, 0)
                 : (t == Transport::Tcp ? QNA_WriteS : QNA_WriteN)(1, base, 4, v, 0, id);
  };
  const auto read = [&](std::uint16_t* w) {
    return local ? QNA_Read(1, base, 4, w, 0)
                 : (t == Transport::Tcp ? QNA_ReadS : QNA_ReadN)(1, base, 4, w, 0, id);
  };
  std::vector<Step> steps = {
      {"words written and read", [&](std::uint32_t i, std::string& bad) {
         std::uint16_t v[4];
         for (std::uint16_t k = 0; k < 4; ++k) v[k] = static_cast<std::uint16_t>(value_of(i) + k);
         std::uint32_t r = write(v);
         if (r != QNA_OK) return r;
         std::memcpy(last, v, sizeof v);
         std::uint16_t w[4] = {};
         r = read(w);
         if (r == QNA_OK && std::memcmp(v, w, sizeof v) != 0) bad = "area words";
         return r;
       }, {}},
      {"message sent and received", [&](std::uint32_t i, std::string& bad) {
         char body[24];
         const auto n = static_cast<std::uint32_t>(std::snprintf(body, sizeof body, "%s-%u", app, i));
         // TCP has no receive: the channel fills up (21) and the sends go on.
         if (t == Transport::Tcp) return QNA_SendMsgS(channel, i, slot, 0, n, body, 0, id);
         std::uint32_t r = local ? QNA_SendMsg(channel, i, slot, 0, n, body, 0)
                                 : QNA_SendMsgN(channel, i, slot, 0, n, body, 0, id);
         if (r != QNA_OK) return r;
         std::uint32_t w1 = 0, w2 = 0, length = sizeof body;
         char got[sizeof body] = {};
         auto* to = reinterpret_cast<std::uint8_t*>(got);
         r = local ? QNA_RecvMsg(channel, &w1, &w2, &length, to, 0)
                   : QNA_RecvMsgN(channel, &w1, &w2, &length, to, 0, id);
         if (r == QNA_OK && (w1 != i || w2 != slot || length != n || std::memcmp(got, body, n) != 0))
           bad = "message";
         return r;
       }, {20, 21}},
      {"QNA_WriteEvQueue", [&](std::uint32_t i, std::string&) {
         QNA_EVENT event{i, 0, nullptr};
         return QNA_WriteEvQueue(id, 1 + slot, &event);
       }, {}},
  };
  // Application control is a pipe connection's.
  if (t != Transport::Tcp)
    steps.push_back({"QNA_GetReqStatus", [&](std::uint32_t i, std::string&) {
      std::uint32_t status = 0;
      return QNA_GetReqStatus(id, 1000 + i, &status);
    }, {30}});
  if (local) {
    steps.push_back({"mailbox written and read", [&](std::uint32_t i, std::string& bad) {
      const std::uint16_t v[2] = {value_of(i), static_cast<std::uint16_t>(~value_of(i))};
      std::uint32_t r = QNA_WriteApp(app, 0, 2, v, 0);
      if (r != QNA_OK) return r;
      std::uint16_t w[2] = {};
      r = QNA_ReadApp(app, 0, 2, w);
      if (r == QNA_OK && (w[0] != v[0] || w[1] != v[1])) bad = "mailbox words";
      return r;
    }, {}});
    steps.push_back({"QNA_ReadCmInfo", [&](std::uint32_t, std::string&) {
      std::uint8_t block[QNA_CMINFO_SIZE];
      return QNA_ReadCmInfo(block);
    }, {}});
  } else {
    steps.push_back({"two ranges in one read", [&](std::uint32_t, std::string& bad) {
      const std::uint32_t areas[2] = {1, 1}, starts[2] = {base + 2, base}, counts[2] = {2, 2};
      std::uint16_t w[4] = {};
      const std::uint32_t r =
          (t == Transport::Tcp ? QNA_ReadMuxS : QNA_ReadMuxN)(2, areas, starts, counts, w, id);
      if (r == QNA_OK && (w[0] != last[2] || w[1] != last[3] || w[2] != last[0] || w[3] != last[1]))
        bad = "words of a multiple read";
      return r;
    }, {}});
  }

  // Until every family has been tried twice after the link failed.
  int failing = 0;
  std::string first_fault;
  for (std::uint32_t i = 0; i < 20000 && failing < 2 * static_cast<int>(steps.size()); ++i) {
    const Step& step = steps[i % steps.size()];
    std::string bad;
    const auto start = Clock::now();
    const std::uint32_t r = step.run(i, bad);
    ++calls;
    if (const auto ms = MsSince(start); ms > 8000)
      return Fail(kHung, std::string(step.name) + " took " + std::to_string(ms) + " ms");
    if (!bad.empty()) return Fail(kWrong, std::string(step.name) + ": stale or wrong " + bad);
    const bool link_fault = r == QNA_E_WRITE || r == QNA_E_READ || r == QNA_E_MUTEX;
    if (r != QNA_OK && !link_fault && step.also.count(r) == 0) return Fail(kWrong, Got(step.name, r));
    if (failing > 0 && r == QNA_OK)
      return Fail(kWrong, std::string(step.name) + " succeeded after the server died (first: " +
                       first_fault + ")");
    if (link_fault && failing == 0) first_fault = Got(step.name, r);
    if (link_fault || failing > 0) ++failing;
  }
  if (failing == 0) return Fail(kWrong, "the server never failed");
  const auto start = Clock::now();
  (t == Transport::Tcp ? QNA_CloseS : QNA_CloseN)(id);
  if (const auto ms = MsSince(start); ms > 5000)
    return Fail(kHung, "the close took " + std::to_string(ms) + " ms");
  return kKept;
}

// Rounds first, first + 1, ... one after the other in a root of their own
// (the even ones die inside a reply); 0 unless a server could not be started.
int Lane(Transport t, int first, int rounds, unsigned seed, Figures& out) {
  qt::TempRoot root;
  const std::string log = root.path() + "/quonix.log";
  std::mt19937 random(seed);
  Shared<std::uint64_t> calls(2);
  for (int round = 0; round < rounds; ++round) {
    const auto round_start = Clock::now();
    const bool inside_reply = (first + round) % 2 == 0;
    std::vector<std::string> args = SizeArgs(kSmallWords);
    if (t == Transport::Tcp) args.insert(args.end(), {"--tcp", "0"});
    if (t == Transport::HostPipe) args.insert(args.end(), {"--host", kHost});
    if (inside_reply) {
      args.push_back("--fault-die-after");
      args.push_back(std::to_string(std::uniform_int_distribution<int>(10, 150)(random)));
    }
    qt::Server server(args, log);
    if (!server.ready()) return ChildFail("round " + std::to_string(round) + ": " + qt::ReadText(log));
    const std::uint16_t port = t == Transport::Tcp ? wire::TcpPort(log) : 0;

    qt::Signal ready, go;
    std::vector<std::unique_ptr<qt::Child>> clients;
    for (std::uint16_t slot = 0; slot < 2; ++slot) {
      calls[slot] = 0;
      clients.push_back(std::make_unique<qt::Child>([&, slot] {
        return Client(t, slot == 0 ? "KILLA" : "KILLB", port, slot, calls[slot], ready, go);
      }));
    }
    for (int c = 0; c < 2; ++c) ready.Take(60s);
    go.Post();
    go.Post();
    if (!inside_reply)
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 400)(random)));
    else
      qt::WaitFor([&] { return !server.running(); }, 30s);
    if (server.running()) kill(server.pid(), SIGKILL);
    // Killed by us or by its own knob, either way with SIGKILL's status.
    if (const int status = server.Stop(); status != 128 + SIGKILL) {
      ChildFail("round " + std::to_string(round) + ": the server ended with " + std::to_string(status));
      ++out.crashed;
    }
    for (std::uint16_t slot = 0; slot < 2; ++slot) {
      const int status = clients[slot]->Wait(60s);
      out.wrong += status == kWrong || (status > kHung && status < 128) ? 1 : 0;
      out.hung += status == kHung || status == -1 ? 1 : 0;
      out.crashed += status >= 128 ? 1 : 0;
      out.calls += calls[slot];
    }
    ++out.rounds;
    out.ms += static_cast<std::uint64_t>(MsSince(round_start));
  }
  return 0;
}

class ServerKilled : public ::testing::TestWithParam<Kind> {};

TEST_P(ServerKilled, AtRandomPointsOfEveryFamily) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  const Transport t = GetParam().transport;
  const int rounds = Rounds();
  const int lanes = std::min(rounds, kLanes);
  const auto start = Clock::now();
  Shared<Figures> figures(static_cast<std::size_t>(lanes));
  std::vector<std::unique_ptr<qt::Child>> children;
  for (int lane = 0, first = 0; lane < lanes; ++lane) {
    const int share = rounds / lanes + (lane < rounds % lanes ? 1 : 0);
    children.push_back(std::make_unique<qt::Child>([&, lane, first, share] {
      return Lane(t, first, share, seed + static_cast<unsigned>(lane), figures[static_cast<std::size_t>(lane)]);
    }));
    first += share;
  }
  Figures all{};
  for (int lane = 0; lane < lanes; ++lane) {
    EXPECT_EQ(children[static_cast<std::size_t>(lane)]->Wait(std::chrono::minutes(5 + rounds)), 0);
    const Figures& f = figures[static_cast<std::size_t>(lane)];
    all = {all.rounds + f.rounds, all.calls + f.calls, all.wrong + f.wrong, all.hung + f.hung,
           all.crashed + f.crashed, all.ms + f.ms};
  }
  EXPECT_EQ(all.rounds, static_cast<std::uint64_t>(rounds));
  EXPECT_EQ(all.wrong, 0u);
  EXPECT_EQ(all.hung, 0u);
  EXPECT_EQ(all.crashed, 0u);
  std::printf("%s: server killed %llu times in %llu calls; %llu wrong, %llu hung, %llu crashed; "
              "%.1f s, %.0f ms a round in %d lanes\n",
              GetParam().name, static_cast<unsigned long long>(all.rounds),
              static_cast<unsigned long long>(all.calls), static_cast<unsigned long long>(all.wrong),
              static_cast<unsigned long long>(all.hung), static_cast<unsigned long long>(all.crashed),
              static_cast<double>(MsSince(start)) / 1000.0,
              static_cast<double>(all.ms) / static_cast<double>(std::max<std::uint64_t>(all.rounds, 1)),
              lanes);
}

INSTANTIATE_TEST_SUITE_P(Transports, ServerKilled,
                         testing::Values(Kind{"LocalPipe", Transport::LocalPipe},
                                         Kind{"HostPipe", Transport::HostPipe}, Kind{"Tcp", Transport::Tcp},
                                         Kind{"EmulatedPipe", Transport::Emulated}),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
