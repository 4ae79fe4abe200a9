// web_test.cpp - qna web's API: the reading of requests as a table, and a
// running qna web asked over plain sockets with what a hostile client sends.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "plant.h"
#include "platform/platform.h"
#include "web.h"

namespace {

namespace fs = std::filesystem;
using qna::web::Call;

struct Case {
  std::string method, path, query, body;
  int status;        // 0: taken
  Call call;         // when taken
  std::string says;  // a piece of the refusal, or of the call ("area 1 start 10 ...")
  bool writes = true;
  std::string host = "127.0.0.1:8080";
  std::string origin = "";
};

std::string Describe(const qna::web::Parsed& p) {
  return "area " + std::to_string(p.area) + " start " + std::to_string(p.start) + " count " +
         std::to_string(p.count) + (p.bits ? " bits" : "") + " value " + std::to_string(p.value) + " queue " +
         std::to_string(p.queue) + " text '" + p.text + "' file '" + p.file + "'";
}

TEST(WebRequest, ReadsEachCallAndRefusesWhatDoesNotFit) {
  const std::string big(qna::web::kMaxBody + 1, ' ');
  const std::string deep = std::string(5000, '[') + std::string(5000, ']');
  const Case cases[] = {
      {"GET", "/", "", "", 0, Call::file, "file 'index.html'"},
      // Page files by name only: nothing else of the machine is a file here.
      {"GET", "/../../etc/passwd", "", "", 404, Call::file, "no such page file"},
      {"GET", "/index.html/", "", "", 404, Call::file, "no such page file"},
      {"GET", std::string("/index.html\0.js", 15), "", "", 404, Call::file, "no such page file"},
      {"POST", "/index.html", "", "", 405, Call::file, "GET"},
      {"GET", "/api/areas/cw", "start=10&count=5", "", 0, Call::read, "area 1 start 10 count 5 value"},
      {"GET", "/api/areas/XW", "", "", 404, Call::read, "no area 'XW'"},
      {"GET", "/api/areas/CW", "start=32767&count=2", "", 400, Call::read, "CW32767..32768 does not fit in CW, which holds 32768 words"},
      {"GET", "/api/areas/CW", "count=0", "", 400, Call::read, "does not fit"},
      {"GET", "/api/areas/CW", "count=65537", "", 400, Call::read, "more than one read gives"},
      {"GET", "/api/areas/CB", "start=65535&bits=1", "", 0, Call::read, "area 0 start 65535 count 1 bits"},
      {"GET", "/api/areas/CB", "start=65536&bits=1", "", 400, Call::read, "bits CB65536 do not fit"},
      {"GET", "/api/areas/CW", "start=" + std::string(600, '1'), "", 400, Call::read, "too long"},
      {"GET", "/api/nothing", "", "", 404, Call::areas, "no such path"},
      // Writes: only with --allow-writes, from no page or this view's own.
      {"POST", "/api/areas/CW/10", "", "{\"value\":5}", 403, Call::write, "without --allow-writes", false},
      {"POST", "/api/areas/CW/10", "", "{\"value\":5}", 0, Call::write, "area 1 start 10 count 1 value 5"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":5}", 403, Call::write, "another origin", true, "127.0.0.1:8080", "http://evil.example"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":5}", 0, Call::write, "value 5", true, "127.0.0.1:8080", "http://127.0.0.1:8080"},
      {"GET", "/api/areas", "", "", 403, Call::areas, "loopback only", true, "evil.example:8080"},
      {"GET", "/api/areas", "", "", 0, Call::areas, "", true, "localhost:8080"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":\"0xFFFF\"}", 0, Call::write, "value 65535"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":-32768}", 0, Call::write, "value -32768"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":-32769}", 400, Call::write, "from -32768 to 65535"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":65536}", 400, Call::write, "from -32768 to 65535"},
      {"POST", "/api/areas/CW/10", "", "{\"value\":18446744073709551615}", 400, Call::write, "whole number"},
      {"POST", "/api/areas/CW/10", "", "{}", 400, Call::write, "no \"value\""},
      {"POST", "/api/areas/CW/10", "", deep, 400, Call::write, "not a JSON object"},
      {"POST", "/api/areas/CW/10", "", big, 413, Call::write, "longer than"},
      {"POST", "/api/areas/CW/32768", "", "{\"value\":1}", 400, Call::write, "CW32768 does not fit"},
      {"POST", "/api/areas/CW/ten", "", "{\"value\":1}", 404, Call::write, "no offset 'ten'"},
      {"POST", "/api/areas/CB/5", "bits=1", "{\"value\":true}", 0, Call::write, "area 0 start 5 count 1 bits value 1"},
      {"POST", "/api/areas/CB/5", "bits=1", "{\"value\":2}", 400, Call::write, "from 0 to 1"},
      {"POST", "/api/tags/level", "", "{\"value\":4294967295}", 0, Call::tag_write, "value 4294967295 queue 0 text 'level'"},
      {"POST", "/api/tags/level", "", "{\"value\":4294967296}", 400, Call::tag_write, "to 4294967295"},
      {"POST", "/api/queues", "", "{}", 0, Call::queue_open, "queue 100000"},
      {"POST", "/api/queues", "", "{\"queue\":7,\"name\":\"ALARMS\"}", 0, Call::queue_open, "queue 7 text 'ALARMS'", false},
      {"POST", "/api/queues", "", "{\"name\":\"twelve chars\"}", 400, Call::queue_open, "more than 11 bytes"},
      {"DELETE", "/api/queues/7", "", "", 0, Call::queue_close, "queue 7"},
      {"POST", "/api/queues/7/events", "", "{\"data\":\"x\"}", 0, Call::post, "value 0 queue 7 text 'x'"},
      {"POST", "/api/messages", "", "{\"channel\":3,\"text\":\"hi\",\"urgent\":1}", 400, Call::message, "true or false"},
      {"GET", "/api/stream", "area=CW&start=256&count=256", "", 0, Call::stream, "area 1 start 256 count 256"},
      {"GET", "/api/stream", "", "", 0, Call::stream, "area 0 start 0 count 0"},
      {"GET", "/api/stream", "area=CW&count=257", "", 400, Call::stream, "at most 256 words"},
      {"GET", "/api/tags", "count=201", "", 400, Call::tags, "at most 200"},
  };
  for (const Case& c : cases) {
    qna::web::Setting setting;
    const std::uint32_t sizes[6] = {4096, 32768, 4096, 4096, 8192, 8192};
    std::copy(std::begin(sizes), std::end(sizes), setting.sizes);
    setting.writes = c.writes;
    const qna::web::Request request{c.method, c.path, c.query, c.body, c.host, c.origin};
    qna::web::Parsed parsed;
    qna::web::Answer refused;
    const bool taken = qna::web::ParseRequest(request, setting, parsed, refused);
    const std::string what = c.method + " " + c.path.substr(0, 80) + "?" + c.query.substr(0, 80) + " " + c.body.substr(0, 60);
    if (c.status == 0) {
      ASSERT_TRUE(taken) << what << ": " << refused.refusal.text;
      EXPECT_EQ(parsed.call, c.call) << what;
      EXPECT_NE(Describe(parsed).find(c.says), std::string::npos) << what << ": " << Describe(parsed);
    } else {
      ASSERT_FALSE(taken) << what;
      EXPECT_EQ(refused.status, c.status) << what << ": " << refused.refusal.text;
      EXPECT_NE(refused.refusal.text.find(c.says), std::string::npos) << what << ": " << refused.refusal.text;
      // A range is refused with the codes qna's own range checks give.
      EXPECT_EQ(refused.refusal.kind == qna::Refusal::Kind::codes, refused.refusal.text.find("fit") != std::string::npos ||
                                           refused.refusal.text.find("read gives") != std::string::npos ||
                                           refused.refusal.text.find("at most 256") != std::string::npos)
          << what;
    }
  }
}

struct Response {
  int status = 0;  // 0: no answer (the connection closed)
  std::string head, body;
};

// A socket connected to qna web that has sent `raw`, or -1; reads time out.
int Open(int port, const std::string& raw) {
  const int s = plant::Connect(port);
  if (s < 0) return -1;
  timeval limit{30, 0};
  setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  send(s, raw.data(), raw.size(), MSG_NOSIGNAL);
  return s;
}

// The first bytes of the answer on `s`.
std::string Start(int s) {
  char first[16] = {};
  return s >= 0 && recv(s, first, sizeof first - 1, 0) > 0 ? first : "";
}

// Sends `raw` and reads the whole answer (qna web closes after it).
Response Ask(int port, const std::string& raw) {
  Response r;
  const int s = Open(port, raw);
  if (s < 0) return r;
  std::string all;
  char buffer[4096];
  for (ssize_t n; (n = recv(s, buffer, sizeof buffer, 0)) > 0;) all.append(buffer, static_cast<std::size_t>(n));
  close(s);
  const auto end = all.find("\r\n\r\n");
  r.head = all.substr(0, end);
  if (end != std::string::npos) r.body = all.substr(end + 4);
  if (all.rfind("HTTP/1.1 ", 0) == 0) r.status = std::stoi(all.substr(9, 3));
  return r;
}

std::string Request(const std::string& method, const std::string& target, const std::string& body = "",
                    const std::string& extra = "") {
  return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extra +
         (body.empty() ? "" : "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n") +
         "\r\n" + body;
}

class WebServed : public ::testing::Test {
 protected:
  void SetUp() override {
    // A tag whose second word lies outside CW.
    server_ = plant::Serve(root_.path(), "LEVEL,CW10,word\nEDGE,CW32767,dword\n");
    ASSERT_TRUE(server_);
    const std::string out = root_.path() + "/web.out";
    web_ = std::make_unique<qt::Process>(
        "/bin/sh", std::vector<std::string>{"-c", std::string("exec '") + QNA_PATH + "' web --http 127.0.0.1:0 --json >'" + out + "'"},
        root_.path() + "/web.err");
    // The match is read while the text it points into lives.
    ASSERT_TRUE(qt::WaitFor([&] {
      const std::string text = qt::ReadText(out);
      std::smatch port;
      if (!std::regex_search(text, port, std::regex(":([0-9]+)/\""))) return false;
      port_ = std::stoi(port[1]);
      return true;
    }, std::chrono::seconds(30))) << qt::ReadText(root_.path() + "/web.err");
  }

  qt::TempRoot root_;
  std::unique_ptr<qt::Server> server_;
  std::unique_ptr<qt::Process> web_;
  int port_ = 0;
};

TEST_F(WebServed, AnswersWithJsonErrorsAndSurvivesHostileRequests) {
  struct Row {
    std::string raw;
    int status;
    std::string says;
  };
  const Row rows[] = {
      {Request("POST", "/api/areas/CW/10", "{\"value\":1}"), 403, "\"result\":null,\"detail\":null,\"text\":\"writes are off"},
      {Request("GET", "/api/areas/SW?start=4095&count=2"), 400, "\"result\":6,\"detail\":0"},
      {Request("GET", "/api/areas/SW?start=204&count=1"), 200, "\"values\":["},
      {Request("GET", "/%2e%2e/%2e%2e/etc/passwd"), 404, "no such page file"},
      {Request("GET", "/..%2f..%2fetc%2fpasswd"), 404, "no such page file"},
      {Request("POST", "/api/queues", "", "Content-Length: 4000000000\r\n"), 413, "longer than"},
      // No CORS answer lets another site's page in.
      {Request("OPTIONS", "/api/areas", "", "Origin: http://evil.example\r\nAccess-Control-Request-Method: POST\r\n"), 405, "not served"},
      {"GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n", -1, ""},
      {"\x16\x03\x01\x02\x00garbage\r\n\r\n", -1, ""},
  };
  for (const Row& row : rows) {
    const Response r = Ask(port_, row.raw);
    const std::string what = row.raw.substr(0, 60);
    if (row.status < 0) {
      EXPECT_NE(r.status, 200) << what;  // refused or closed, whatever civetweb says
    } else {
      EXPECT_EQ(r.status, row.status) << what << "\n" << r.head << "\n" << r.body;
      EXPECT_NE(r.body.find(row.says), std::string::npos) << what << "\n" << r.body;
    }
    EXPECT_EQ(r.body.find("root:"), std::string::npos) << what;
    EXPECT_EQ(r.head.find("Access-Control-Allow"), std::string::npos) << what;
  }
  // It still serves, its page too.
  EXPECT_EQ(Ask(port_, Request("GET", "/api/areas")).status, 200);
  const Response page = Ask(port_, Request("GET", "/"));
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.body.find("<title>qna web</title>"), std::string::npos);
  EXPECT_TRUE(web_->running());
}

TEST_F(WebServed, AStreamSendsWhatChangedAndOutlivesFailures) {
  const Response tags = Ask(port_, Request("GET", "/api/tags"));
  EXPECT_NE(tags.body.find("{\"address\":\"CW32767\",\"error\":{\"detail\":0,\"result\":6"), std::string::npos) << tags.body;
  const int s = Open(port_, Request("GET", "/api/stream?area=CW&start=0&count=16&tagcount=50"));
  std::string seen;
  // Keep-alives come between changes, so a wait ends by the clock.
  const auto read_until = [&](const std::string& wanted) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    char buffer[4096];
    for (ssize_t n; seen.find(wanted) == std::string::npos && std::chrono::steady_clock::now() < deadline &&
                    (n = recv(s, buffer, sizeof buffer, 0)) > 0;)
      seen.append(buffer, static_cast<std::size_t>(n));
    return seen.find(wanted) != std::string::npos;
  };
  ASSERT_TRUE(read_until("[15,0]]")) << seen;  // the first fill: all 16 words
  EXPECT_TRUE(read_until("{\"tag\":\"LEVEL\",\"value\":0}")) << seen;
  seen.clear();
  qt::Process write(QNA_PATH, {"write", "CW10", "4711"});
  ASSERT_EQ(write.Wait(), 0);
  // Only what changed: the word and the tag on it, never the other words again.
  ASSERT_TRUE(read_until("\"words\":[[10,4711]]")) << seen;
  EXPECT_TRUE(read_until("{\"tag\":\"LEVEL\",\"value\":4711}")) << seen;
  EXPECT_EQ(seen.find("\"ok\":false"), std::string::npos) << seen;
  // Polls that fail (CW's mutex held past their wait) are said, and polling
  // goes on: once the mutex is back the stream carries changes again.
  char cw_mutex[] = "\\sem32\\qoxsemcw";
  Handle mutex = 0;
  ASSERT_EQ(MtxOpen(cw_mutex, &mutex), 0);
  ASSERT_EQ(MtxWait(mutex, 5000), 0);
  const bool said = read_until("\"ok\":false");
  EXPECT_EQ(MtxRelease(mutex), 0);
  HndClose(mutex);
  ASSERT_TRUE(said) << seen;
  seen.clear();
  qt::Process again(QNA_PATH, {"write", "CW10", "4712"});
  ASSERT_EQ(again.Wait(), 0);
  EXPECT_TRUE(read_until("\"words\":[[10,4712]]")) << seen;
  EXPECT_TRUE(read_until("\"ok\":true")) << seen;
  close(s);
}

TEST_F(WebServed, BoundsTheStreamsItServesAtOnce) {
  // Streams hold their connections; past the bound a page is told so, and
  // the API still answers.
  std::vector<int> held;
  for (int i = 0; i < 16; ++i) {
    held.push_back(Open(port_, Request("GET", "/api/stream?area=CW&count=16")));
    EXPECT_EQ(Start(held.back()).rfind("HTTP/1.1 200", 0), 0u) << i;
  }
  const Response refused = Ask(port_, Request("GET", "/api/stream"));
  EXPECT_EQ(refused.status, 503);
  EXPECT_NE(refused.body.find("too many pages"), std::string::npos);
  EXPECT_EQ(Ask(port_, Request("GET", "/api/info")).status, 200);
  for (int s : held) close(s);
  // Pages that went make room (a stream finds its page gone at its next write).
  EXPECT_TRUE(qt::WaitFor([&] {
    const int s = Open(port_, Request("GET", "/api/stream"));
    const bool served = Start(s).rfind("HTTP/1.1 200", 0) == 0;
    if (s >= 0) close(s);
    return served;
  }, std::chrono::seconds(60)));
}

}  // namespace
