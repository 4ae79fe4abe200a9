// bridge_test.cpp - qna bridge against Debian's mosquitto on a free loopback
// port, with mosquitto_sub and mosquitto_pub; the plant side is the library.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "plant.h"
#include "qnapi.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// What should come within a second; the margin is for a slow machine.
constexpr auto kSoon = seconds(5);

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

bool Accepts(int port) {
  const int s = plant::Connect(port);
  if (s >= 0) close(s);
  return s >= 0;
}

int Occurrences(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A mosquitto that keeps its sessions on disk, so that a subscriber's
// session (and what came for it meanwhile) outlives a restart.  Started by
// root it would become the user mosquitto, who cannot write in the test's
// private folder: it stays who we are.
class Broker {
 public:
  explicit Broker(const fs::path& dir) : dir_(dir), port_(FreePort()) {
    std::ofstream(dir_ / "mosquitto.conf") << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
                                           << "persistence true\npersistence_location " << dir_.string() << "/\n"
                                           << "user " << getpwuid(geteuid())->pw_name << "\n";
    Start();
  }
  void Start() {
    process_ = std::make_unique<qt::Process>("/usr/sbin/mosquitto", std::vector<std::string>{"-c", (dir_ / "mosquitto.conf").string()},
                                             (dir_ / "mosquitto.log").string());
    ASSERT_TRUE(qt::WaitFor([&] { return Accepts(port_); }, seconds(20))) << qt::ReadText((dir_ / "mosquitto.log").string());
  }
  void Stop() {
    process_->Signal(SIGTERM);
    EXPECT_EQ(process_->Wait(), 0);
    const std::string log = qt::ReadText((dir_ / "mosquitto.log").string());
    EXPECT_EQ(log.find("Error saving"), std::string::npos) << log;
  }
  int port() const { return port_; }

 private:
  fs::path dir_;
  int port_;
  std::unique_ptr<qt::Process> process_;
};

// mosquitto_sub on every topic, with a session of its own that the broker
// keeps (QoS 1, no clean session): its lines "TOPIC PAYLOAD" in a file.
class Subscriber {
 public:
  Subscriber(const fs::path& dir, int port) : file_(dir / "received") {
    const std::string id = "bridge-test-" + std::to_string(getpid());
    process_ = std::make_unique<qt::Process>(
        "/bin/sh", std::vector<std::string>{"-c", "exec mosquitto_sub -h 127.0.0.1 -p " + std::to_string(port) + " -i " + id +
                                                      " -c -q 1 -v -t '#' > '" + file_.string() + "'"});
  }
  int Count(const std::string& text) const { return Occurrences(All(), text); }
  bool Saw(const std::string& text, std::chrono::milliseconds limit = kSoon) const {
    return qt::WaitFor([&] { return Count(text) > 0; }, limit);
  }
  bool SawLine(const std::string& first, const std::string& then) const {
    return qt::WaitFor([&] {
      std::istringstream lines(All());
      for (std::string line; std::getline(lines, line);)
        if (line.find(first) != std::string::npos && line.find(then) != std::string::npos) return true;
      return false;
    }, kSoon);
  }
  std::string All() const { return qt::ReadText(file_.string()); }

 private:
  fs::path file_;
  std::unique_ptr<qt::Process> process_;
};

void Publish(int port, const std::string& topic, const std::string& payload, bool retain = false) {
  std::vector<std::string> args{"-h", "127.0.0.1", "-p", std::to_string(port), "-q", "1", "-t", topic, "-m", payload};
  if (retain) args.push_back("-r");
  qt::Process pub("/usr/bin/mosquitto_pub", args);
  EXPECT_EQ(pub.Wait(), 0) << topic;
}

std::unique_ptr<qt::Process> StartBridge(const fs::path& dir, const std::string& name, std::vector<std::string> args) {
  args.insert(args.begin(), "bridge");
  return std::make_unique<qt::Process>(QNA_PATH, args, (dir / (name + ".log")).string());
}

// The test's own application: a pipe connection, which maps the areas and
// takes the library's link, for the data and event queue functions.
struct Plant {
  std::uint32_t id = 0;
  Plant() {
    QNA_CONNPARAM params{};
    std::strcpy(params.name, "TESTER");
    EXPECT_EQ(QNA_OpenN(&params, &id), 0u);
  }
  ~Plant() { QNA_CloseN(id); }
  void Write(std::uint32_t offset, std::uint16_t value) { EXPECT_EQ(QNA_Write(1, offset, 1, &value, 0), 0u); }
  std::uint16_t Read(std::uint32_t offset) {
    std::uint16_t value = 0xFFFF;
    QNA_Read(1, offset, 1, &value, 0);
    return value;
  }
  void Post(std::uint32_t value, const char* data = "") {
    QNA_EVENT event{value, static_cast<std::uint32_t>(std::strlen(data)), const_cast<char*>(data)};
    EXPECT_EQ(QNA_WriteEvQueue(id, 1, &event), 0u);
  }
};

bool BridgeBuilt() {
  qt::Process help("/bin/sh", {"-c", std::string("exec '") + QNA_PATH + "' bridge --help >/dev/null 2>&1"});
  return help.Wait() == 0;
}

class BridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!BridgeBuilt()) GTEST_SKIP() << "this qna was built without libmosquitto";
    ASSERT_TRUE(fs::exists("/usr/sbin/mosquitto")) << "tools/bootstrap.sh --tests installs mosquitto";
    dir_ = root_.path();
    broker_ = std::make_unique<Broker>(dir_);
    subscriber_ = std::make_unique<Subscriber>(dir_, broker_->port());
  }
  std::string At() const { return "127.0.0.1:" + std::to_string(broker_->port()); }

  qt::TempRoot root_;
  fs::path dir_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<Subscriber> subscriber_;
};

TEST_F(BridgeTest, CarriesDataTagsAndEventsOutAndWritesInOnlyWhenAllowed) {
  const auto server = plant::Serve(dir_, "LEVEL,CW10,word\nPUMP,CB5,bit\nSETPOINT,CW20,word\n");
  ASSERT_TRUE(server);
  // A retained set message would be carried out again at every connect:
  // the bridge refuses what the broker kept.
  Publish(broker_->port(), "w/set/data/CW33", "3", true);
  // One bridge writes, locally; one only reads, over TCP.
  auto writer = StartBridge(dir_, "w", {"--broker", At(), "--prefix", "w", "--watch", "CW30:2", "--bits", "CB100",
                                        "--tags", "level", "--events", "1", "--allow-writes", "--interval", "20"});
  const std::string tcp = plant::Tcp(dir_);
  auto reader =
      StartBridge(dir_, "r", {"--broker", At(), "--prefix", "r", "--tcp", tcp, "--watch", "CW40"});
  ASSERT_TRUE(subscriber_->Saw("w/status online", seconds(20))) << qt::ReadText((dir_ / "w.log").string());
  ASSERT_TRUE(subscriber_->Saw("r/status online", seconds(20))) << qt::ReadText((dir_ / "r.log").string());
  ASSERT_TRUE(subscriber_->Saw("w/tag/LEVEL {\"value\":0,"));  // the first poll is in

  Plant plant;
  plant.Write(30, 42);
  plant.Write(40, 7);
  plant.Write(10, 123);
  std::uint8_t on = 1;
  EXPECT_EQ(QNA_WriteBit(0, 100, 1, &on, 0), 0u);
  EXPECT_TRUE(subscriber_->Saw("w/data/CW30 {\"value\":42,\"ts\":\"")) << subscriber_->All();
  EXPECT_TRUE(subscriber_->Saw("r/data/CW40 {\"value\":7,")) << subscriber_->All();
  EXPECT_TRUE(subscriber_->Saw("w/tag/LEVEL {\"value\":123,")) << subscriber_->All();
  EXPECT_TRUE(subscriber_->Saw("w/bit/CB100 {\"value\":1,")) << subscriber_->All();
  // An event arrives once, its data in base64; the second one marks that
  // the bridge has read past the first.
  plant.Post(5, "abc");
  plant.Post(6);
  EXPECT_TRUE(subscriber_->Saw("w/event/1 {\"value\":6,\"kind\":1,\"name\":\"TESTER\",\"data\":\"\",")) << subscriber_->All();
  EXPECT_EQ(subscriber_->Count("w/event/1 {\"value\":5,\"kind\":1,\"name\":\"TESTER\",\"data\":\"YWJj\",\"ts\":"), 1)
      << subscriber_->All();

  // Writes, in every form a set message takes, read back with QNA_Read.
  Publish(broker_->port(), "w/set/data/CW31", "{\"value\": 9, \"ts\": \"whenever\"}");
  Publish(broker_->port(), "w/set/tag/setpoint", "500");
  Publish(broker_->port(), "w/set/data/CW32", "0x10");
  Publish(broker_->port(), "r/set/data/CW41", "5");  // that bridge takes no writes
  EXPECT_TRUE(qt::WaitFor([&] { return plant.Read(31) == 9 && plant.Read(20) == 500 && plant.Read(32) == 16; }, kSoon));
  // Refusals, each answered on the error topic with what qna says to them.
  const struct {
    std::string topic, payload, says;
  } refused[] = {
      {"w/set/data/CW40000", "1", "\"result\":6,\"detail\":0,\"text\":\"CW40000 does not fit in CW"},
      {"w/set/tag/PUMP", "2", "\"result\":6,\"detail\":0,\"text\":\"tag PUMP (bit CB5) takes 0 or 1, not 2"},
      {"w/set/data/CW33", "12abc", "\"result\":null,\"detail\":null,\"text\":\"bad value '12abc'"},
      {"w/set/bit/CB101", "7", "bad bit '7'"},
      {"w/set/nothing/CW33", "3", "unknown set topic"},
  };
  for (const auto& r : refused) {
    Publish(broker_->port(), r.topic, r.payload);
    EXPECT_TRUE(subscriber_->SawLine("w/error {\"topic\":\"" + r.topic + "\",", r.says)) << r.topic << "\n" << subscriber_->All();
  }
  EXPECT_TRUE(subscriber_->SawLine("w/error {\"topic\":\"w/set/data/CW33\",", "a retained set message is not carried out"));
  EXPECT_EQ(plant.Read(33), 0);
  EXPECT_EQ(plant.Read(41), 0);
  std::uint8_t bit = 1;
  EXPECT_EQ(QNA_ReadBit(0, 101, 1, &bit, 0), 0u);
  EXPECT_EQ(bit, 0);

  // A clean stop says so on the status topic.
  writer->Signal(SIGTERM);
  EXPECT_EQ(writer->Wait(seconds(20)), 0) << qt::ReadText((dir_ / "w.log").string());
  EXPECT_TRUE(subscriber_->Saw("w/status offline"));
}

TEST_F(BridgeTest, OutlivesRestartsOfTheBrokerAndTheServer) {
  const std::string log = (dir_ / "server.log").string();
  auto server = std::make_unique<qt::Server>(std::vector<std::string>{}, log);
  ASSERT_TRUE(server->ready());
  auto bridge = StartBridge(dir_, "b", {"--broker", At(), "--watch", "CW10", "--events", "1", "--max-queued", "10",
                                        "--interval", "20"});
  ASSERT_TRUE(subscriber_->Saw("qnapi/status online", seconds(20))) << qt::ReadText((dir_ / "b.log").string());
  ASSERT_TRUE(subscriber_->Saw("qnapi/data/CW10 {\"value\":0,"));
  auto plant = std::make_unique<Plant>();
  const auto events = [&](int first, int count) {
    for (int v = first; v < first + count; ++v) plant->Post(static_cast<std::uint32_t>(v));
  };
  // None of these is on its way when the broker goes, so none may come
  // twice; they come in the order posted.
  const auto each_once = [&](int first, int count) {
    const std::string all = subscriber_->All();
    std::size_t last = 0;
    for (int v = first; v < first + count; ++v) {
      const std::string line = "qnapi/event/1 {\"value\":" + std::to_string(v) + ",";
      if (Occurrences(all, line) != 1 || all.find(line) < last) return false;
      last = all.find(line);
    }
    return true;
  };

  // The bridge has seen the broker go: what it publishes now finds no
  // connection, the case where an event is most easily lost.
  const auto lost_broker = [&](int times) {
    return qt::WaitFor([&] {
      return Occurrences(qt::ReadText((dir_ / "b.log").string()), "lost the broker") >= times;
    }, seconds(30));
  };

  // While the broker is away the events wait, up to the bound, and the
  // newest value is published when it is back.
  broker_->Stop();
  ASSERT_TRUE(lost_broker(1)) << qt::ReadText((dir_ / "b.log").string());
  events(100, 10);
  plant->Write(10, 2);
  QNA_Sleep(500);  // the bridge reads them meanwhile
  broker_->Start();
  EXPECT_TRUE(subscriber_->Saw("qnapi/data/CW10 {\"value\":2,", seconds(30))) << subscriber_->All();
  EXPECT_TRUE(qt::WaitFor([&] { return each_once(100, 10); }, seconds(30))) << subscriber_->All();

  // Past the bound the rest are dropped, and counted.
  broker_->Stop();
  ASSERT_TRUE(lost_broker(2)) << qt::ReadText((dir_ / "b.log").string());
  events(200, 15);
  QNA_Sleep(2000);  // all of them read before the broker is back, or more would pass
  broker_->Start();
  EXPECT_TRUE(subscriber_->Saw("5 events were dropped: more than 10 waited", seconds(30))) << subscriber_->All();
  EXPECT_TRUE(qt::WaitFor([&] { return each_once(200, 10); }, seconds(30))) << subscriber_->All();
  EXPECT_EQ(subscriber_->Count("qnapi/event/1 {\"value\":210,"), 0);

  // The server restarted (once the bridge has let go of the old one's
  // objects): the bridge links up again, and its queue too.
  plant.reset();
  ASSERT_EQ(server->Stop(), 0);
  ASSERT_TRUE(qt::WaitFor([&] { return qt::ReadText((dir_ / "b.log").string()).find("lost the server") != std::string::npos; },
                          seconds(30)));
  server = std::make_unique<qt::Server>(std::vector<std::string>{}, log + ".2");
  ASSERT_TRUE(server->ready());
  plant = std::make_unique<Plant>();
  plant->Write(10, 3);
  EXPECT_TRUE(subscriber_->Saw("qnapi/data/CW10 {\"value\":3,", seconds(30))) << qt::ReadText((dir_ / "b.log").string());
  ASSERT_TRUE(qt::WaitFor([&] {
    events(300, 1);  // until the queue is open again
    return subscriber_->Saw("qnapi/event/1 {\"value\":300,", seconds(1));
  }, seconds(30)));

  bridge->Signal(SIGTERM);
  EXPECT_EQ(bridge->Wait(seconds(20)), 0) << qt::ReadText((dir_ / "b.log").string());
}

}  // namespace
