// bridge_bench.cpp - changes per second carried by qna bridge from
// QNA_Write to an MQTT subscriber, and its limit.
//
//   BridgeChanges / MqttRawPublish
//     1000 watched words changed by one QNA_Write, until a subscriber of
//     the broker (mosquitto on loopback) has each one's message; against
//     the same 1000 messages (retained, QoS 1, the bridge's payload shape,
//     the bridge's window of 1000 in flight) published straight to the
//     same broker by a libmosquitto client in this process, to the same
//     subscriber (QoS 0, so that the broker's window towards it is no
//     limit).  The bridge's way adds the write through the server, its
//     poll (every millisecond) and its JSON.
#include <benchmark/benchmark.h>
#include <mosquitto.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "qnapi.h"

extern char** environ;

namespace {

constexpr std::uint32_t kWords = 1000;

// A program of the bench's own, killed at exit.
struct Spawned {
  pid_t pid = -1;
  Spawned(std::vector<std::string> words, const std::string& log) {
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Spawned() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

int FreePort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
  close(s);
  return ntohs(a.sin_port);
}

// A libmosquitto client with its network thread; counts what arrives.
struct Client {
  mosquitto* mosq = nullptr;
  bool connected = false;
  std::mutex lock;
  std::condition_variable arrived;
  std::uint64_t received = 0;  // guarded by lock

  explicit Client(int port) {
    mosq = mosquitto_new(nullptr, true, this);
    mosquitto_max_inflight_messages_set(mosq, 1000);
    mosquitto_message_callback_set(mosq, [](mosquitto*, void* self, const mosquitto_message*) {
      auto& c = *static_cast<Client*>(self);
      std::lock_guard guard(c.lock);
      ++c.received;
      c.arrived.notify_all();
    });
    for (int i = 0; i < 500 && !connected; ++i) {
      connected = mosquitto_connect(mosq, "127.0.0.1", port, 30) == MOSQ_ERR_SUCCESS;
      if (!connected) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (connected) mosquitto_loop_start(mosq);
  }
  ~Client() {
    mosquitto_disconnect(mosq);
    mosquitto_loop_stop(mosq, false);
    mosquitto_destroy(mosq);
  }
  std::uint64_t Received() {
    std::lock_guard guard(lock);
    return received;
  }
  // Waits (without spinning: the bridge and the broker need the CPUs) until
  // `count` messages have come in all.
  bool WaitFor(std::uint64_t count) {
    std::unique_lock guard(lock);
    return arrived.wait_for(guard, std::chrono::seconds(30), [&] { return received >= count; });
  }
};

struct Setup {
  bench::Server server;
  std::string dir = std::getenv("QNAPI_ROOT") ? std::getenv("QNAPI_ROOT") : "/tmp";
  int port = FreePort();
  std::unique_ptr<Spawned> broker, bridge;
  std::unique_ptr<Client> subscriber, publisher;
  bool ok = false;

  Setup() {
    mosquitto_lib_init();
    if (!server.ok()) return;
    std::ofstream(dir + "/mosquitto.conf") << "listener " << port << " 127.0.0.1\nallow_anonymous true\n";
    broker = std::make_unique<Spawned>(std::vector<std::string>{"/usr/sbin/mosquitto", "-c", dir + "/mosquitto.conf"},
                                       dir + "/mosquitto.log");
    subscriber = std::make_unique<Client>(port);
    publisher = std::make_unique<Client>(port);
    if (!subscriber->connected || !publisher->connected) return;
    mosquitto_subscribe(subscriber->mosq, nullptr, "#", 0);
    bridge = std::make_unique<Spawned>(
        std::vector<std::string>{QNA_PATH, "bridge", "--broker", "127.0.0.1:" + std::to_string(port), "--prefix",
                                 "bench", "--watch", "CW0:" + std::to_string(kWords), "--interval", "1"},
        dir + "/bridge.log");
    QNA_REGREC me{0, 0, "BENCH"};
    // The bridge's status and its first poll's words.
    ok = QNA_Open(&me) == QNA_OK && subscriber->WaitFor(kWords + 1);
  }
  ~Setup() {
    QNA_Close();
    bridge.reset();
    subscriber.reset();
    publisher.reset();
    broker.reset();
    mosquitto_lib_cleanup();
  }
};

Setup* Ready() {
  static Setup setup;
  return setup.ok ? &setup : nullptr;
}

void BridgeChanges(benchmark::State& state) {
  Setup* s = Ready();
  if (s == nullptr) return state.SkipWithError("no server, broker or bridge");
  std::vector<std::uint16_t> words(kWords);
  // Across the runs of this function: each write must change every word.
  static std::uint16_t value = 0;
  for (auto _ : state) {
    ++value;
    std::fill(words.begin(), words.end(), value);
    const std::uint64_t target = s->subscriber->Received() + kWords;
    if (QNA_Write(1, 0, kWords, words.data(), 0) != QNA_OK) return state.SkipWithError("write failed");
    if (!s->subscriber->WaitFor(target)) return state.SkipWithError("changes lost");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kWords));
}
BENCHMARK(BridgeChanges)->UseRealTime();

void MqttRawPublish(benchmark::State& state) {
  Setup* s = Ready();
  if (s == nullptr) return state.SkipWithError("no server, broker or bridge");
  std::vector<std::string> topics;
  for (std::uint32_t i = 0; i < kWords; ++i) topics.push_back("raw/data/CW" + std::to_string(i));
  const std::string payload = "{\"value\":12345,\"ts\":\"2024-05-01T12:00:00.123Z\"}";
  for (auto _ : state) {
    const std::uint64_t target = s->subscriber->Received() + kWords;
    for (const auto& topic : topics)
      mosquitto_publish(s->publisher->mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                        true);
    if (!s->subscriber->WaitFor(target)) return state.SkipWithError("messages lost");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kWords));
}
BENCHMARK(MqttRawPublish)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
