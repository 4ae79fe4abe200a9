// The server killed at random points of exchanges of every family while two
// clients run: every call returns in time with 0, the server's result, 101,
// 102 or 2, a read carries its own data, and after the crash every call fails
// promptly; the next round's server starts in the same root.
// QNAPI_KILL_ROUNDS sets the rounds (default 2; half die inside a reply).
#include <gtest/gtest.h>

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

int Rounds() {
  const char* text = std::getenv("QNAPI_KILL_ROUNDS");
  const int n = text != nullptr ? std::atoi(text) : 0;
  return n > 0 ? n : 2;
}

// One call of a family; `also`: server results that are no fault here.
struct Step {
  const char* name;
  std::function<std::uint32_t(std::uint32_t i, std::string& bad)> run;
  std::set<std::uint32_t> also;
};

// The client's work until its links have failed for a while.
int Client(const char* app, std::uint16_t port, std::uint16_t slot, std::uint32_t& calls,
           qt::Signal& ready) {
  // The pipe connection's pipe is also the link of the local functions.
  QNA_CONNPARAM params{};
  std::memcpy(params.name, app, std::min<std::size_t>(std::strlen(app), 8));
  std::uint32_t pipe = 0;
  if (const auto r = QNA_OpenN(&params, &pipe); r != QNA_OK) return ChildFail(Got("QNA_OpenN", r));
  std::strcpy(params.host, "127.0.0.1");
  params.port = port;
  params.attempts = 3;
  std::uint32_t tcp = 0;
  if (const auto r = QNA_OpenS(&params, &tcp); r != QNA_OK) return ChildFail(Got("QNA_OpenS", r));
  ready.Post();

  // Each client owns words slot*8.. of areas 1 and 3, its mailbox and a channel.
  const std::uint32_t base = slot * 8u;
  const std::uint32_t channel = 10u + slot;
  const auto value_of = [slot](std::uint32_t i) {
    return static_cast<std::uint16_t>(static_cast<std::uint32_t>(slot) << 12 | (i & 0xFFF));
  };
  const std::vector<Step> steps = {
      {"QNA_Write+QNA_Read", [&](std::uint32_t i, std::string& bad) {
         const std::uint16_t v = value_of(i);
         const std::uint32_t r = QNA_Write(1, base, 1, &v, 0);
         std::uint16_t w = 0;
         if (r == QNA_OK && QNA_Read(1, base, 1, &w, 0) == QNA_OK && w != v) bad = "area word";
         return r;
       }, {}},
      {"QNA_WriteApp+QNA_ReadApp", [&](std::uint32_t i, std::string& bad) {
         const std::uint16_t v[2] = {value_of(i), static_cast<std::uint16_t>(~value_of(i))};
         std::uint32_t r = QNA_WriteApp(app, 0, 2, v, 0);
         if (r != QNA_OK) return r;
         std::uint16_t w[2] = {};
         r = QNA_ReadApp(app, 0, 2, w);
         if (r == QNA_OK && (w[0] != v[0] || w[1] != v[1])) bad = "mailbox words";
         return r;
       }, {}},
      {"QNA_SendMsg+QNA_RecvMsg", [&](std::uint32_t i, std::string& bad) {
         char body[24];
         const int n = std::snprintf(body, sizeof body, "%s-%u", app, i);
         std::uint32_t r = QNA_SendMsg(channel, i, slot, 0, static_cast<std::uint32_t>(n), body, 0);
         if (r != QNA_OK) return r;
         std::uint32_t w1 = 0, w2 = 0, length = sizeof body;
         char got[sizeof body] = {};
         r = QNA_RecvMsg(channel, &w1, &w2, &length, reinterpret_cast<std::uint8_t*>(got), 0);
         if (r == QNA_OK && (w1 != i || w2 != slot || length != static_cast<std::uint32_t>(n) ||
                             std::memcmp(got, body, length) != 0))
           bad = "message";
         return r;
       }, {20}},
      {"QNA_ReadCmInfo", [&](std::uint32_t, std::string&) {
         std::uint8_t block[QNA_CMINFO_SIZE];
         return QNA_ReadCmInfo(block);
       }, {}},
      {"QNA_WriteS+QNA_ReadS", [&](std::uint32_t i, std::string& bad) {
         std::uint16_t v[4];
         for (std::uint16_t k = 0; k < 4; ++k) v[k] = static_cast<std::uint16_t>(value_of(i) + k);
         std::uint32_t r = QNA_WriteS(1, base + 2, 4, v, 0, tcp);
         if (r != QNA_OK) return r;
         std::uint16_t w[4] = {};
         r = QNA_ReadS(1, base + 2, 4, w, 0, tcp);
         if (r == QNA_OK && std::memcmp(v, w, sizeof v) != 0) bad = "words over TCP";
         return r;
       }, {}},
      {"QNA_GetReqStatus", [&](std::uint32_t i, std::string&) {
         std::uint32_t status = 0;
         return QNA_GetReqStatus(pipe, 1000 + i, &status);
       }, {30}},
      {"QNA_WriteEvQueue", [&](std::uint32_t i, std::string&) {
         QNA_EVENT event{i, 0, nullptr};
         return QNA_WriteEvQueue(i % 2 == 0 ? tcp : pipe, 1, &event);
       }, {}},
  };

  // Until every family has been tried twice after the links failed.
  int failing = 0;
  std::string first_fault;
  for (std::uint32_t i = 0; i < 20000 && failing < 2 * static_cast<int>(steps.size()); ++i) {
    const Step& step = steps[i % steps.size()];
    std::string bad;
    const auto start = Clock::now();
    const std::uint32_t r = step.run(i, bad);
    ++calls;
    if (const auto ms = MsSince(start); ms > 8000)
      return ChildFail(std::string(step.name) + " took " + std::to_string(ms) + " ms");
    if (!bad.empty()) return ChildFail(std::string(step.name) + ": stale or wrong " + bad);
    const bool link_fault = r == QNA_E_WRITE || r == QNA_E_READ || r == QNA_E_MUTEX;
    if (r != QNA_OK && !link_fault && step.also.count(r) == 0)
      return ChildFail(Got(step.name, r));
    if (failing > 0 && r == QNA_OK)
      return ChildFail(std::string(step.name) + " succeeded after the server died (first: " +
                         first_fault + ")");
    if (link_fault && failing == 0) first_fault = Got(step.name, r);
    if (link_fault || failing > 0) ++failing;
  }
  if (failing == 0) return ChildFail("the server never failed");
  const auto start = Clock::now();
  QNA_CloseS(tcp);
  QNA_CloseN(pipe);
  if (const auto ms = MsSince(start); ms > 5000)
    return ChildFail("the closes took " + std::to_string(ms) + " ms");
  return 0;
}

using ServerKilled = IntegrationTest;

TEST_F(ServerKilled, AtRandomPointsOfEveryFamily) {
  const unsigned seed = std::random_device{}();
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  const int rounds = Rounds();
  std::uint64_t exchanges = 0;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    const bool inside_reply = round % 2 == 0;
    std::vector<std::string> args = SizeArgs(kSmallWords);
    args.insert(args.end(), {"--tcp", "0"});
    if (inside_reply) {
      args.push_back("--fault-die-after");
      args.push_back(std::to_string(std::uniform_int_distribution<int>(10, 150)(random)));
    }
    ASSERT_TRUE(StartServer(args)) << ServerLog();
    const std::uint16_t port = wire::TcpPort(root_.path() + "/quonix.log");
    ASSERT_NE(port, 0) << ServerLog();

    qt::Signal ready, counts;
    std::vector<std::unique_ptr<qt::Child>> clients;
    for (std::uint16_t slot = 0; slot < 2; ++slot) {
      clients.push_back(std::make_unique<qt::Child>([&, slot] {
        const char* app = slot == 0 ? "KILLA" : "KILLB";
        std::uint32_t calls = 0;
        const int failed = Client(app, port, slot, calls, ready);
        counts.Post(static_cast<char>(std::min<std::uint32_t>(calls / 16, 127)));
        return failed;
      }));
    }
    for (int c = 0; c < 2; ++c) ASSERT_EQ(ready.Take(60s), 1);
    if (!inside_reply) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(50, 400)(random)));
      KillServer();
    } else {
      qt::WaitFor([this] { return !server_->running(); }, 30s);
      if (server_->running()) KillServer();
    }
    for (int c = 0; c < 2; ++c) {
      const int n = counts.Take(90s);
      ASSERT_GE(n, 0);
      exchanges += static_cast<std::uint64_t>(n) * 16;
    }
    for (auto& client : clients) EXPECT_EQ(client->Wait(60s), 0);
  }
  RecordProperty("rounds", rounds);
  RecordProperty("calls", static_cast<int>(exchanges));
  std::printf("server killed %d times in about %llu calls; every call returned in time\n", rounds,
              static_cast<unsigned long long>(exchanges));
}

}  // namespace
