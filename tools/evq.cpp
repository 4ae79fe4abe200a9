// evq.cpp - qna evq open|read|post|info: the server's event queues, through
// a connection (a pipe connection to the local server by default).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "qna.h"
#include "qnapi.h"

namespace qna {

namespace {

const Offer kEvq{};

struct EvqArgs {
  LinkOptions link;
  std::string queue = "any";
  std::string name;
  std::uint32_t hold = 0;
  std::uint32_t count = 1;
  std::uint32_t timeout = 5000;
  std::uint32_t value = 0;
  std::string data;
};

bool ParseQueue(const std::string& text, std::uint32_t& queue) {
  if (text == "any") {
    queue = QNA_EVQ_ANY;
    return true;
  }
  return ParseU32(text, queue);
}

// An open queue, closed by the destructor (before the connection closes).
struct OpenQueue {
  std::uint32_t handle = 0;
  std::uint32_t number = 0;
  ~OpenQueue() {
    if (handle != 0) QNA_CloseEvQueue(handle, 0);
  }
};

int Open(const char* command, const EvqArgs& args, Link& link, OpenQueue& queue) {
  std::uint32_t number = 0;
  if (!ParseQueue(args.queue, number)) return Usage(command, "QUEUE is a queue number or 'any'");
  if (args.name.size() > 11) return Usage(command, "a queue name has at most 11 characters");
  if (int failed = link.Open(command, args.link, kEvq, Need::connection)) return failed;
  const std::uint32_t r = QNA_OpenEvQueue(link.id(), number, &queue.number,
                                          args.name.empty() ? nullptr : args.name.c_str(), &queue.handle, 0);
  if (r != 0 && r != QNA_E_EVQ_OPEN) {
    queue.handle = 0;
    return Fail(command, "opening queue " + args.queue, r, QNA_InternalErr);
  }
  return 0;
}

int EvqOpen(const EvqArgs& args) {
  Link link;
  OpenQueue queue;
  if (int failed = Open("evq open", args, link, queue)) return failed;
  if (args.link.json)
    std::printf("{\"queue\":%u,\"handle\":%u}\n", queue.number, queue.handle);
  else
    std::printf("opened queue %u (handle %u)%s\n", queue.number, queue.handle,
                args.hold > 0 ? (", holding it " + std::to_string(args.hold) + " ms").c_str() : "");
  std::fflush(stdout);
  if (args.hold > 0) QNA_Sleep(args.hold);
  return 0;
}

int EvqRead(const EvqArgs& args) {
  if (args.count == 0) return Usage("evq read", "--count must be 1 or more");
  Link link;
  OpenQueue queue;
  if (int failed = Open("evq read", args, link, queue)) return failed;
  if (!args.link.json) {
    std::printf("queue %u open, waiting for %u event%s (at most %u ms)\n", queue.number, args.count,
                args.count == 1 ? "" : "s", args.timeout);
    std::printf("%-6s  %-8s  %10s  %6s  %s\n", "kind", "from", "value", "bytes", "data");
    std::fflush(stdout);
  }
  TakenEvent event;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(args.timeout);
  std::uint32_t got = 0;
  while (got < args.count) {
    // Without waiting, so that the time limit holds: a waiting read has none.
    const std::uint32_t r = TakeEvent(queue.handle, event);
    if (r == QNA_E_EVQ_EMPTY) {
      if (std::chrono::steady_clock::now() >= deadline) break;
      QNA_Sleep(10);
      continue;
    }
    if (r != 0) return Fail("evq read", "queue " + std::to_string(queue.number), r, QNA_InternalErr);
    ++got;
    const std::uint16_t kind = event.kind;
    const std::string kind_text = kind == 1 ? "event" : kind == 2 ? "lost" : std::to_string(kind);
    const auto* data = event.data.data();
    if (args.link.json)
      std::printf("{\"queue\":%u,\"kind\":%u,\"from\":%s,\"value\":%u,\"bytes\":%u,\"data\":%s}\n", queue.number,
                  kind, JsonString(event.from).c_str(), event.value, event.length,
                  JsonString(std::string(data, data + event.length)).c_str());
    else
      std::printf("%-6s  %-8s  %10u  %6u  %s\n", kind_text.c_str(), event.from, event.value, event.length,
                  Printable(data, event.length).c_str());
    std::fflush(stdout);
  }
  if (got < args.count)
    return FailOwn("evq read", std::to_string(got) + " of " + std::to_string(args.count) + " events came within " +
                                   std::to_string(args.timeout) + " ms");
  return 0;
}

int EvqPost(const EvqArgs& args) {
  std::uint32_t number = 0;
  if (!ParseU32(args.queue, number)) return Usage("evq post", "QUEUE is a queue number");
  Link link;
  if (int failed = link.Open("evq post", args.link, kEvq, Need::connection)) return failed;
  QNA_EVENT event{args.value, static_cast<std::uint32_t>(args.data.size()),
                  const_cast<char*>(args.data.data())};
  const std::uint32_t r = QNA_WriteEvQueue(link.id(), number, &event);
  if (r != 0) return Fail("evq post", "queue " + args.queue, r, QNA_InternalErr);
  if (args.link.json)
    std::printf("{\"queue\":%u,\"value\":%u,\"bytes\":%zu}\n", number, args.value, args.data.size());
  else
    std::printf("posted value %u with %zu data byte%s to queue %u\n", args.value, args.data.size(),
                args.data.size() == 1 ? "" : "s", number);
  return 0;
}

int EvqInfo(const EvqArgs& args) {
  Link link;
  if (int failed = link.Open("evq info", args.link, kEvq, Need::connection)) return failed;
  std::uint32_t max = 0;
  std::uint32_t r = QNA_GetMaxEvQueueNum(link.id(), &max);
  if (r != 0) return Fail("evq info", "the number of queues", r, QNA_InternalErr);
  const std::uint32_t room = std::min<std::uint32_t>(max, 4096);
  std::vector<std::uint32_t> used(room), named(room);
  std::uint32_t used_count = 0, named_count = 0, usable_count = 0;
  r = QNA_GetUsedEvQueueNum(link.id(), &used_count, used.data(), room);
  if (r == 0) r = QNA_GetNamedEvQueueNum(link.id(), nullptr, &named_count, named.data(), room);
  if (r == 0) r = QNA_GetUsableEvQueueNum(link.id(), &usable_count, nullptr, 0);
  if (r != 0) return Fail("evq info", "the lists of queues", r, QNA_InternalErr);
  used.resize(std::min(used_count, room));
  named.resize(std::min(named_count, room));
  std::vector<std::uint32_t> shown = used;
  shown.insert(shown.end(), named.begin(), named.end());
  std::sort(shown.begin(), shown.end());
  shown.erase(std::unique(shown.begin(), shown.end()), shown.end());
  Table table({"queue", "state", "name"});
  std::string json;
  for (std::uint32_t q : shown) {
    char name[9] = {};
    r = QNA_GetEvQueueName(link.id(), q, name);
    if (r != 0) return Fail("evq info", "the name of queue " + std::to_string(q), r, QNA_InternalErr);
    const bool open = std::find(used.begin(), used.end(), q) != used.end();
    table.Row({std::to_string(q), open ? "open" : "free", name});
    if (!json.empty()) json += ',';
    json += "{\"queue\":" + std::to_string(q) + ",\"open\":" + (open ? "true" : "false") +
            ",\"name\":" + JsonString(name) + "}";
  }
  if (args.link.json) {
    std::printf("{\"max\":%u,\"usable\":%u,\"used\":%u,\"named\":%u,\"queues\":[%s]}\n", max, usable_count,
                used_count, named_count, json.c_str());
    return 0;
  }
  std::printf("%u queues: %u free to open, %u open, %u named\n", max, usable_count, used_count, named_count);
  if (!shown.empty()) table.Print();
  return 0;
}

}  // namespace

std::uint32_t TakeEvent(std::uint32_t handle, TakenEvent& event) {
  QNA_EVENT e{0, kEventRoom, event.data.data()};
  const std::uint32_t r = QNA_ReadEvQueue(handle, &event.kind, event.from, &e, QNA_EVQ_NOWAIT);
  event.value = e.value;
  // An event without data leaves the length at the room given, which no
  // event fills.
  event.length = r == 0 && e.length < kEventRoom ? e.length : 0;
  return r;
}

void AddEvqCommands(CLI::App& app, Runner& run) {
  auto* evq = app.add_subcommand("evq", "Event queues: open, read, post, and what the server has");
  evq->require_subcommand(1);
  auto open = std::make_shared<EvqArgs>();
  auto* c = evq->add_subcommand("open", "Open a queue, show its number and handle, keep it open a while");
  c->add_option("queue", open->queue, "Queue number, or 'any' for the first free one")->capture_default_str();
  c->add_option("--name", open->name, "Name the queue (at most 11 characters)");
  c->add_option("--hold", open->hold, "Milliseconds to keep it open before closing")->capture_default_str();
  AddLinkOptions(c, open->link, kEvq);
  c->callback([&run, open] { run = [open] { return EvqOpen(*open); }; });

  auto read = std::make_shared<EvqArgs>();
  c = evq->add_subcommand("read", "Open a queue and show its events as they come");
  c->add_option("queue", read->queue, "Queue number, or 'any'")->capture_default_str();
  c->add_option("--name", read->name, "Name the queue (at most 11 characters)");
  c->add_option("-n,--count", read->count, "Stop after N events")->capture_default_str();
  c->add_option("--timeout", read->timeout, "Give up after this many milliseconds")->capture_default_str();
  AddLinkOptions(c, read->link, kEvq);
  c->callback([&run, read] { run = [read] { return EvqRead(*read); }; });

  auto post = std::make_shared<EvqArgs>();
  c = evq->add_subcommand("post", "Post an event to a queue (to everyone who has it open)");
  c->add_option("queue", post->queue, "Queue number")->required();
  c->add_option("value", post->value, "The event's value")->required();
  c->add_option("data", post->data, "The event's data, as text (may be empty)");
  AddLinkOptions(c, post->link, kEvq);
  c->callback([&run, post] { run = [post] { return EvqPost(*post); }; });

  auto info = std::make_shared<EvqArgs>();
  c = evq->add_subcommand("info", "How many queues the server has, which are open and their names");
  AddLinkOptions(c, info->link, kEvq);
  c->callback([&run, info] { run = [info] { return EvqInfo(*info); }; });
}

}  // namespace qna
