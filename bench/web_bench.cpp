// web_bench.cpp - what the pages of qna web cost the server they watch.
//
//   WebPages/1, WebPages/10
//     the requests quonix reads on qna web's link per poll of its engine,
//     while one page, and then ten, watch the same 256 words of CW (each
//     page a stream of /api/stream, read as a browser would).  qna web
//     reaches the server over TCP, where the library reads no information
//     blocks, so its link carries nothing but the polls' reads.  The counts
//     come from the server's own application block (the link's request
//     count), the polls from qna web (GET /api/info).  Counter
//     requests_per_poll; goal: ten pages' figure no higher than one page's.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "qnapi.h"

extern char** environ;

namespace {

constexpr int kPollsPerWindow = 200;

// qna web over TCP to the bench's quonix, stopped at exit.
struct Web {
  bench::Server server{{"--tcp", "0"}};
  pid_t pid = -1;
  int port = 0;

  Web() {
    QNA_REGREC record{};
    std::strcpy(record.name, "BENCH");
    if (!server.ok() || QNA_Open(&record) != QNA_OK) return;
    int out[2];
    if (pipe(out) != 0) return;
    const std::string tcp = "127.0.0.1:" + std::to_string(server.tcp_port());
    const char* argv[] = {QNA_PATH, "web", "--tcp", tcp.c_str(), "--http", "127.0.0.1:0", "--interval", "10",
                          "--json", nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int spawned = posix_spawn(&pid, QNA_PATH, &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    std::string line;
    char c = 0;
    while (spawned == 0 && line.find('\n') == std::string::npos && read(out[0], &c, 1) == 1) line += c;
    close(out[0]);
    std::smatch found;
    if (std::regex_search(line, found, std::regex(":([0-9]+)/\""))) port = std::stoi(found[1]);
  }
  ~Web() {
    if (pid > 0) {
      kill(pid, SIGTERM);
      waitpid(pid, nullptr, 0);
    }
    QNA_Close();
  }
};

Web& TheWeb() {
  static Web web;
  return web;
}

// A socket that has asked qna web for `target`, or -1.
int Ask(const std::string& target) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(TheWeb().port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0 ||
      send(s, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
    close(s);
    return -1;
  }
  return s;
}

// What qna web says of itself (GET /api/info): its polls so far and the
// pages (streams) open now; false when it does not answer.
bool WebState(long& polls, long& pages) {
  const int s = Ask("/api/info");
  std::string text;
  char buffer[4096];
  for (ssize_t n; s >= 0 && (n = recv(s, buffer, sizeof buffer, 0)) > 0;) text.append(buffer, static_cast<std::size_t>(n));
  if (s >= 0) close(s);
  std::smatch p, q;
  if (!std::regex_search(text, p, std::regex("\"polls\":([0-9]+)")) ||
      !std::regex_search(text, q, std::regex("\"pages\":([0-9]+)")))
    return false;
  polls = std::stol(p[1]);
  pages = std::stol(q[1]);
  return true;
}

long Polls() {
  long polls = -1, pages = 0;
  return WebState(polls, pages) ? polls : -1;
}

// Waits (up to 10 s) until `pages` pages are open, and one poll more, so
// that every one of them is watched.
bool Settle(long pages) {
  long polls = 0, open = 0;
  for (int i = 0; i < 2000 && WebState(polls, open); ++i) {
    if (open == pages) {
      const long next = polls + 2;
      while (WebState(polls, open) && polls < next) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return open == pages;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The requests quonix has read on qna web's link.
long WebRequests() {
  std::uint8_t apps[QNA_APPINFO_SIZE];
  if (QNA_ReadAppInfo(apps) != QNA_OK) return -1;
  std::uint32_t entries = 0;
  std::memcpy(&entries, apps + 4, 4);
  for (std::uint32_t i = 0; i < entries && i < 15; ++i) {
    const std::uint8_t* e = apps + 8 + 32 * i;
    std::uint32_t requests = 0;
    std::memcpy(&requests, e + 28, 4);
    if (std::strncmp(reinterpret_cast<const char*>(e), "QNAWEB", 8) == 0) return requests;
  }
  return -1;
}

void WebPages(benchmark::State& state) {
  if (TheWeb().port == 0) return state.SkipWithError("no quonix or no qna web");
  // The pages of the run before go once qna web has written to them.
  if (!Settle(0)) return state.SkipWithError("the pages of the run before stay open");
  // The pages, each read to its end as a browser reads its stream.
  std::vector<int> pages;
  std::vector<std::thread> readers;
  for (int i = 0; i < state.range(0); ++i) {
    pages.push_back(Ask("/api/stream?area=CW&start=0&count=256"));
    readers.emplace_back([s = pages.back()] {
      char sink[4096];
      while (s >= 0 && recv(s, sink, sizeof sink, 0) > 0) {
      }
    });
  }
  double per_poll = 0;
  if (!Settle(state.range(0))) {
    state.SkipWithError("not every page is served");
  } else {
    for (auto _ : state) {
      const long p0 = Polls(), r0 = WebRequests();
      long p1 = p0;
      while ((p1 = Polls()) >= 0 && p1 < p0 + kPollsPerWindow) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const long r1 = WebRequests();
      if (p0 < 0 || p1 < 0 || r0 < 0 || r1 < 0) {
        state.SkipWithError("no counts");
        break;
      }
      // Each count is taken within a poll of its poll number: one poll in
      // kPollsPerWindow either way.
      per_poll = static_cast<double>(r1 - r0) / static_cast<double>(p1 - p0);
    }
  }
  state.counters["requests_per_poll"] = per_poll;
  for (int s : pages) shutdown(s, SHUT_RDWR);
  for (auto& reader : readers) reader.join();
  for (int s : pages) close(s);
}
BENCHMARK(WebPages)->Arg(1)->Arg(10)->Iterations(1)->UseRealTime();

}  // namespace
BENCHMARK_MAIN();
