// web.cpp - qna web: a live page of a server's areas, tags, information
// blocks and event queues, and the JSON API behind it, served with civetweb.
//
// One engine serves every page.  The watching engine of qna watch reads each
// piece of an area that some page shows (kViewWords words) and each tag that
// some page lists, once per poll however many pages show it; each page has a
// stream (server-sent events) that sends it what changed since what that
// stream sent last.  A page that cannot keep up is never queued for: its
// stream waits in its write, then sends the state of that moment.
//
// Threads: the engine's own thread makes every call into the library (the
// polls, and the API's requests, which civetweb's threads hand it as jobs),
// so the library and the tag access see one thread; it also reads each
// request, since civetweb's threads have small stacks.  civetweb's threads
// only move bytes, and run the streams.
//
// Lock rules: lock_ guards the jobs and what the pages see: the watched
// pieces and tags, the information, the queues and their events, the
// status.  Under it only the watcher's own lock is taken (Watch, Unwatch);
// the watcher calls its consumer without that lock, and the consumer here
// takes lock_.
#include <civetweb.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <vector>

#include "qnapi.h"
#include "watch.h"
#include "web.h"

namespace qna {

namespace {

using nlohmann::json;
using namespace std::chrono_literals;

// Connections served at once (civetweb serves each on a thread of its own),
// and of them the pages' streams; the rest stay for the API's requests.
constexpr int kThreads = 24;
constexpr int kMaxStreams = 16;
constexpr std::size_t kMaxQueues = 8;       // queues open from the pages
constexpr std::size_t kKeptEvents = 500;    // the latest events, of all queues
constexpr std::size_t kShownData = 256;     // bytes of an event's data kept for the page
constexpr std::uint32_t kEventsPerPoll = 256;  // per queue, so that a flood cannot hold the poll
constexpr auto kInfoEvery = 1s;
constexpr auto kKeepAlive = 2s;  // a comment on an idle stream, which finds a page that has gone

const Offer kWeb{};

struct WebArgs {
  LinkOptions link;
  std::string http;
  bool any = false;
  bool writes = false;
  std::uint32_t interval = 250;
};

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

// A piece of an area that some page shows, watched while it does.
struct Piece {
  std::size_t item = 0;
  int users = 0;
  std::vector<std::uint16_t> words;  // empty until read
};

struct TagValue {
  std::size_t item = 0;
  int users = 0;
  bool read = false;
  std::int32_t value = 0;
};

struct Queue {
  std::uint32_t number = 0, handle = 0;
  std::string name;
  std::string error;  // why reading it stopped
};

// What one page's stream looks at, and what it has sent.
struct StreamView {
  std::uint32_t area = 0, start = 0, count = 0;
  std::vector<std::string> tags;
  std::vector<std::int32_t> words;  // as sent; -1 not yet
  std::map<std::string, std::int32_t> tag_values;
  std::uint64_t poll = 0, info = 0, queues = 0, event = 0, status = 0;
};

class Engine {
 public:
  Engine(Link& link, const WebArgs& args) : link_(link), args_(args), watcher_(link) {
    watcher_.Subscribe([this](const WatchPoll& poll) { Take(poll); });
  }

  void LoadTags();
  void Run();
  void Stop();
  void CloseQueues();

  // Runs `job` on the engine's thread and waits for it: false when the
  // engine stops first.
  bool OnEngine(const std::function<void()>& job);
  // A request read and answered (on the engine's thread): the status, the
  // type and the body; a stream's call is left for Stream.
  int Serve(const web::Request& request, web::Parsed& call, std::string& type, std::string& body);
  // A page's stream, until the page goes or the engine stops.
  void Stream(mg_connection* conn, const web::Parsed& call);

  web::Setting setting;

 private:
  int Answer(const web::Parsed& call, std::string& out);
  void RunJobs(std::unique_lock<std::mutex>& guard);
  void Take(const WatchPoll& poll);
  void ReadQueues();
  void ReadInfo();
  json Web() const;
  std::vector<const TagfileTag*> MatchTags(const std::string& search, std::uint32_t start, std::uint32_t count,
                                           std::size_t& matched) const;
  void Need(StreamView& view, int change);
  std::string Changes(StreamView& view, bool first);
  int Failed(int status, const std::string& context, std::uint32_t r, std::int32_t detail, std::string& out) const;
  int LibraryStatus(std::uint32_t r) const;

  Link& link_;
  const WebArgs& args_;
  Watcher watcher_;
  // The tag file, read once at the start; tags in name order.
  bool tags_loaded_ = false;
  std::string tags_why_;
  TagPath tag_path_;
  std::vector<TagfileTag> tags_;
  std::set<std::string> unreadable_;

  std::mutex lock_;
  std::condition_variable changed_;  // a poll, a stop
  std::condition_variable jobs_changed_;
  struct Job {
    const std::function<void()>* run;
    bool started = false, done = false;
  };
  std::deque<Job*> jobs_;
  bool stop_ = false;
  int streams_ = 0;
  std::uint64_t polls_ = 0;
  std::map<std::pair<std::uint32_t, std::uint32_t>, Piece> pieces_;  // (area, first word)
  std::map<std::string, TagValue> tag_values_;
  std::string info_ = "null";
  std::uint64_t info_version_ = 0;
  std::chrono::steady_clock::time_point info_read_;
  std::vector<Queue> queues_;
  std::uint64_t queues_version_ = 0;
  std::deque<json> events_;
  std::uint64_t next_event_ = 1;
  json status_ = {{"ok", true}};
  std::uint64_t status_version_ = 1;
};

// ---- The tag file -----------------------------------------------------------

void Engine::LoadTags() {
  if (link_.via() != Via::local) {
    tags_why_ = "tag access works on the local link: tags are read from the mapped data areas";
    return;
  }
  if (const std::uint32_t r = QNA_InitRavo(); r != 0) {
    tags_why_ = "no tag file loaded: " + ResultText(r, QNA_InternalErr);
    return;
  }
  tag_path_ = ProjectTagPath();
  std::vector<TagfileTag> all;
  bool unordered = false;
  std::string error;
  if (tag_path_.win.empty() || TagfileRead(tag_path_.host, all, unordered, error) != 0) {
    tags_why_ = "the tag file " + tag_path_.Text() + " could not be read" + (error.empty() ? "" : ": " + error);
    QNA_EndRavo();
    return;
  }
  for (TagfileTag& tag : all)
    if (tag.why.empty()) tags_.push_back(std::move(tag));
  // A tag the library cannot read (its words outside the area, say) is
  // listed but never watched: one failed read would end every poll.
  for (const TagfileTag& tag : tags_) {
    std::vector<char> name(tag.name.begin(), tag.name.end());
    name.push_back('\0');
    std::int32_t value = 0;
    if (QNA_ReadTag(name.data(), &value, 0) != 0) unreadable_.insert(tag.name);
  }
  std::sort(tags_.begin(), tags_.end(), [](const TagfileTag& a, const TagfileTag& b) { return a.name < b.name; });
  tags_loaded_ = true;
}

std::vector<const TagfileTag*> Engine::MatchTags(const std::string& search, std::uint32_t start,
                                                 std::uint32_t count, std::size_t& matched) const {
  std::string wanted = search;
  for (char& c : wanted) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  std::vector<const TagfileTag*> page;
  matched = 0;
  for (const TagfileTag& tag : tags_) {
    if (tag.name.find(wanted) == std::string::npos && tag.address.find(wanted) == std::string::npos) continue;
    if (matched >= start && page.size() < count) page.push_back(&tag);
    ++matched;
  }
  return page;
}

// ---- Polling ----------------------------------------------------------------

void Engine::Take(const WatchPoll& poll) {
  std::lock_guard guard(lock_);
  polls_ = poll.number + 1;
  // The pages hear of a change of status only: polls that fail the same way
  // again and again are one failure, and the first good poll after them
  // clears it.
  json status = {{"ok", true}};
  if (poll.result != 0)
    status = {{"ok", false}, {"result", poll.result}, {"detail", poll.detail},
              {"text", poll.failed + ": " + ResultText(poll.result, poll.detail)}};
  if (status != status_) {
    status_ = std::move(status);
    ++status_version_;
  }
  if (poll.result != 0) return;
  const auto now = [&](std::size_t item) -> const std::vector<std::int32_t>* {
    return item < poll.now.size() && !poll.now[item].empty() ? &poll.now[item] : nullptr;
  };
  for (auto& [key, piece] : pieces_)
    if (const auto* values = now(piece.item)) piece.words.assign(values->begin(), values->end());
  for (auto& [name, tag] : tag_values_)
    if (const auto* values = now(tag.item)) {
      tag.read = true;
      tag.value = (*values)[0];
    }
}

void Engine::ReadQueues() {
  std::vector<Queue> queues;
  {
    std::lock_guard guard(lock_);
    queues = queues_;
  }
  std::vector<std::uint8_t> data(1u << 16);
  for (Queue& queue : queues) {
    if (!queue.error.empty()) continue;
    for (std::uint32_t n = 0; n < kEventsPerPoll; ++n) {
      std::uint16_t kind = 0;
      char from[33] = {};
      QNA_EVENT event{0, static_cast<std::uint32_t>(data.size()), data.data()};
      const std::uint32_t r = QNA_ReadEvQueue(queue.handle, &kind, from, &event, QNA_EVQ_NOWAIT);
      if (r == QNA_E_EVQ_EMPTY) break;
      json e = {{"time", IsoTime(std::chrono::system_clock::now())}, {"queue", queue.number}};
      if (r == QNA_E_EVQ_SMALL || r == QNA_E_EVQ_NOBUFFER) {
        e.update({{"kind", 0}, {"text", ResultText(r, QNA_InternalErr)}});
      } else if (r != 0) {
        queue.error = ResultText(r, QNA_InternalErr);
        std::lock_guard guard(lock_);
        for (Queue& kept : queues_)
          if (kept.handle == queue.handle) kept.error = queue.error;
        ++queues_version_;
        break;
      } else {
        const std::size_t shown = std::min<std::size_t>(event.length, kShownData);
        e.update({{"kind", kind}, {"from", from}, {"value", event.value}, {"bytes", event.length},
                  {"data", Printable(data.data(), shown)}});
      }
      std::lock_guard guard(lock_);
      e["seq"] = next_event_++;
      events_.push_back(std::move(e));
      if (events_.size() > kKeptEvents) events_.pop_front();
    }
  }
}

void Engine::ReadInfo() {
  json info;
  std::uint32_t sizes[6];
  for (std::uint32_t a = 0; a < 6; ++a) sizes[a] = link_.Size(a);
  if (link_.via() == Via::tcp) {
    info = {{"server", nullptr}, {"areas", sizes},
            {"error", json::parse(web::ErrorJson(Refusal::Own("the library reads the information blocks over a pipe link only, not over TCP")))}};
  } else {
    std::uint8_t server[QNA_CMINFO_SIZE] = {}, apps[QNA_APPINFO_SIZE] = {};
    std::uint32_t r = QNA_ReadCmInfo(server);
    if (r == 0) r = QNA_ReadAppInfo(apps);
    QuonixFacts facts;
    if (r != 0)
      info = {{"server", nullptr}, {"areas", sizes},
              {"error", json::parse(web::ErrorJson(Refusal::Library("", r, QNA_InternalErr)))}};
    else if (ParseQuonixBlocks(server, apps, facts))
      info = json::parse(QuonixFactsJson(facts, sizes), nullptr, false);
    else
      info = {{"server", nullptr}, {"areas", sizes}};
  }
  std::string text = Dump(info);
  std::lock_guard guard(lock_);
  info_read_ = std::chrono::steady_clock::now();
  if (text != info_) {
    info_ = std::move(text);
    ++info_version_;
  }
}

void Engine::Run() {
  const auto interval = std::chrono::milliseconds(args_.interval);
  for (;;) {
    const auto due = std::chrono::steady_clock::now() + interval;
    // A failed poll is tried again at the next interval: an item that cannot
    // be read for a while, or a link that failed once, must not end the
    // pages' updates for good.  Until a poll succeeds the pages show why.
    watcher_.Poll();
    ReadQueues();
    bool info_due = false;
    {
      std::lock_guard guard(lock_);
      info_due = streams_ > 0 && std::chrono::steady_clock::now() - info_read_ >= kInfoEvery;
    }
    if (info_due) ReadInfo();
    std::unique_lock guard(lock_);
    changed_.notify_all();
    // Requests are answered between polls, as they come.
    for (;;) {
      RunJobs(guard);
      if (stop_) return;
      if (jobs_changed_.wait_until(guard, due, [this] { return stop_ || !jobs_.empty(); })) continue;
      break;
    }
  }
}

void Engine::RunJobs(std::unique_lock<std::mutex>& guard) {
  while (!jobs_.empty() && !stop_) {
    Job* job = jobs_.front();
    jobs_.pop_front();
    job->started = true;
    guard.unlock();
    (*job->run)();
    guard.lock();
    job->done = true;
    jobs_changed_.notify_all();
  }
}

bool Engine::OnEngine(const std::function<void()>& run) {
  Job job{&run};
  std::unique_lock guard(lock_);
  if (stop_) return false;
  jobs_.push_back(&job);
  jobs_changed_.notify_all();
  // A job that has started is waited for even when the engine stops.
  jobs_changed_.wait(guard, [&] { return job.done || (stop_ && !job.started); });
  if (!job.done) std::erase(jobs_, &job);
  return job.done;
}

void Engine::Stop() {
  std::lock_guard guard(lock_);
  stop_ = true;
  changed_.notify_all();
  jobs_changed_.notify_all();
}

void Engine::CloseQueues() {
  for (const Queue& queue : queues_) QNA_CloseEvQueue(queue.handle, 0);
  queues_.clear();
}

json Engine::Web() const {
  std::string via = "local";
  if (link_.via() == Via::host) via = "host " + args_.link.host;
  if (link_.via() == Via::tcp) via = "tcp " + args_.link.tcp;
  json tags = {{"loaded", tags_loaded_}, {"count", tags_.size()}};
  tags[tags_loaded_ ? "path" : "why"] = tags_loaded_ ? tag_path_.Text() : tags_why_;
  return {{"via", via}, {"app", link_.app()}, {"writes", setting.writes}, {"interval", args_.interval},
          {"polls", polls_}, {"pages", streams_}, {"tags", tags}};
}

// ---- The API ----------------------------------------------------------------

// A library result that is a range refused by the server is the caller's
// fault; any other is the server's or the link's.
int Engine::LibraryStatus(std::uint32_t r) const {
  if (r == QNA_E_ARG || r == QNA_E_TAG_UNUSABLE || r == QNA_E_TAG_NOTLOADED) return 400;
  if (r == QNA_E_TAG_NOTFOUND) return 404;
  return 502;
}

int Engine::Failed(int status, const std::string& context, std::uint32_t r, std::int32_t detail, std::string& out) const {
  out = web::ErrorJson(Refusal::Library(context, r, detail));
  return status;
}

int Engine::Answer(const web::Parsed& call, std::string& out) {
  json j;
  switch (call.call) {
    case web::Call::file:
    case web::Call::stream:
      break;
    case web::Call::areas:
      j["areas"] = json::array();
      for (std::uint32_t a = 0; a < 6; ++a)
        j["areas"].push_back({{"name", AreaName(a)}, {"area", a}, {"words", link_.Size(a)}});
      j["writes"] = setting.writes;
      break;
    case web::Call::read: {
      std::uint32_t r = 0;
      json values;
      if (call.bits) {
        std::vector<std::uint8_t> bits(call.count);
        r = link_.ReadBits(call.area, call.start, call.count, bits.data());
        values = bits;
      } else {
        std::vector<std::uint16_t> words(call.count);
        r = link_.Read(call.area, call.start, call.count, words.data());
        values = words;
      }
      const std::string range = RangeText(call.area, call.start, call.count, call.bits);
      if (r != 0) return Failed(LibraryStatus(r), range, r, QNA_InternalErr, out);
      j = {{"area", AreaName(call.area)}, {"start", call.start}, {"count", call.count}, {"bits", call.bits},
           {"values", std::move(values)}};
      break;
    }
    case web::Call::write: {
      std::uint32_t r = 0;
      if (call.bits) {
        const auto bit = static_cast<std::uint8_t>(call.value);
        r = link_.WriteBits(call.area, call.start, 1, &bit, 0, false);
      } else {
        const auto word = static_cast<std::uint16_t>(call.value & 0xFFFF);
        r = link_.Write(call.area, call.start, 1, &word, 0, false);
      }
      const std::string range = RangeText(call.area, call.start, 1, call.bits);
      if (r != 0) return Failed(LibraryStatus(r), range + ", nothing written", r, QNA_InternalErr, out);
      j = {{"area", AreaName(call.area)}, {"start", call.start}, {"count", 1}, {"bits", call.bits}, {"replied", true}};
      break;
    }
    case web::Call::tags: {
      std::size_t matched = 0;
      j = {{"loaded", tags_loaded_}, {"total", tags_.size()}, {"start", call.tag_start}, {"tags", json::array()}};
      if (!tags_loaded_) j["why"] = tags_why_;
      for (const TagfileTag* tag : MatchTags(call.search, call.tag_start, call.tag_count, matched)) {
        json row = {{"tag", tag->name}, {"address", tag->address}, {"type", tag->type}};
        std::vector<char> name(tag->name.begin(), tag->name.end());
        name.push_back('\0');
        std::int32_t value = 0;
        if (const std::uint32_t r = QNA_ReadTag(name.data(), &value, 0); r == 0)
          row["value"] = value;
        else
          row["error"] = json::parse(web::ErrorJson(Refusal::Library("", r, QNA_InternalErr)));
        j["tags"].push_back(std::move(row));
      }
      j["matched"] = matched;
      break;
    }
    case web::Call::tag_write: {
      if (!tags_loaded_) {
        out = web::ErrorJson(Refusal::Own(tags_why_));
        return 404;
      }
      TagfileTag tag;
      if (const Refusal refusal = CheckTagWrite(call.text, call.value, std::to_string(call.value), tag_path_, tag)) {
        out = web::ErrorJson(refusal);
        return refusal.kind == Refusal::Kind::codes ? LibraryStatus(refusal.result) : 400;
      }
      std::vector<char> name(call.text.begin(), call.text.end());
      name.push_back('\0');
      const std::uint32_t r =
          QNA_WriteTag(name.data(), static_cast<std::int32_t>(static_cast<std::uint32_t>(call.value & 0xFFFFFFFF)), 0);
      if (r != 0) return Failed(LibraryStatus(r), "tag '" + call.text + "'", r, QNA_InternalErr, out);
      j = {{"tag", tag.name}, {"value", call.value}, {"replied", true}};
      break;
    }
    case web::Call::info: {
      bool stale = false;
      {
        std::lock_guard guard(lock_);
        stale = std::chrono::steady_clock::now() - info_read_ >= kInfoEvery;
      }
      if (stale) ReadInfo();
      std::lock_guard guard(lock_);
      j = {{"info", json::parse(info_)}, {"web", Web()}};
      break;
    }
    case web::Call::queues: {
      std::lock_guard guard(lock_);
      j = {{"queues", json::array()}, {"events", json::array()}};
      for (const Queue& q : queues_)
        j["queues"].push_back({{"queue", q.number}, {"handle", q.handle}, {"name", q.name}, {"error", q.error}});
      for (const json& e : events_) j["events"].push_back(e);
      break;
    }
    case web::Call::queue_open: {
      {
        std::lock_guard guard(lock_);
        if (queues_.size() >= kMaxQueues) {
          out = web::ErrorJson(Refusal::Own("at most " + std::to_string(kMaxQueues) + " queues are open from the pages"));
          return 409;
        }
      }
      std::uint32_t number = 0, handle = 0;
      const std::uint32_t r = QNA_OpenEvQueue(link_.id(), call.queue, &number,
                                              call.text.empty() ? nullptr : call.text.c_str(), &handle, 0);
      const std::string which = call.queue == QNA_EVQ_ANY ? "any" : std::to_string(call.queue);
      if (r != 0 && r != QNA_E_EVQ_OPEN) return Failed(LibraryStatus(r), "opening queue " + which, r, QNA_InternalErr, out);
      std::lock_guard guard(lock_);
      if (std::none_of(queues_.begin(), queues_.end(), [&](const Queue& q) { return q.handle == handle; })) {
        queues_.push_back({number, handle, call.text, ""});
        ++queues_version_;
      }
      j = {{"queue", number}, {"handle", handle}};
      break;
    }
    case web::Call::queue_close: {
      std::uint32_t handle = 0;
      {
        std::lock_guard guard(lock_);
        const auto it = std::find_if(queues_.begin(), queues_.end(), [&](const Queue& q) { return q.number == call.queue; });
        if (it == queues_.end()) {
          out = web::ErrorJson(Refusal::Own("queue " + std::to_string(call.queue) + " is not open here"));
          return 404;
        }
        handle = it->handle;
        queues_.erase(it);
        ++queues_version_;
      }
      // The handle is gone whatever the server says (the library frees it).
      const std::uint32_t r = QNA_CloseEvQueue(handle, 0);
      if (r != 0) return Failed(LibraryStatus(r), "closing queue " + std::to_string(call.queue), r, QNA_InternalErr, out);
      j = {{"queue", call.queue}, {"closed", true}};
      break;
    }
    case web::Call::post: {
      QNA_EVENT event{static_cast<std::uint32_t>(call.value), static_cast<std::uint32_t>(call.text.size()),
                      const_cast<char*>(call.text.data())};
      const std::uint32_t r = QNA_WriteEvQueue(link_.id(), call.queue, &event);
      if (r != 0) return Failed(LibraryStatus(r), "queue " + std::to_string(call.queue), r, QNA_InternalErr, out);
      j = {{"queue", call.queue}, {"value", call.value}, {"bytes", call.text.size()}};
      break;
    }
    case web::Call::message: {
      const std::uint32_t r = link_.SendMsg(call.channel, call.type, call.ref, call.urgent ? 1u : 0u, call.text, 0);
      if (r != 0) return Failed(LibraryStatus(r), "channel " + std::to_string(call.channel), r, QNA_InternalErr, out);
      j = {{"channel", call.channel}, {"bytes", call.text.size()}, {"replied", true}};
      break;
    }
  }
  out = Dump(j);
  return 200;
}

int Engine::Serve(const web::Request& request, web::Parsed& call, std::string& type, std::string& body) {
  web::Answer refused;
  type = "application/json";
  if (!web::ParseRequest(request, setting, call, refused)) {
    body = web::ErrorJson(refused.refusal);
    return refused.status;
  }
  if (call.call == web::Call::stream) return 200;
  if (call.call == web::Call::file) {
    const web::Asset* asset = web::FindAsset(call.file);
    type = asset->type;
    body = asset->bytes;
    return 200;
  }
  return Answer(call, body);
}

// ---- Streams ----------------------------------------------------------------

// Watches (change 1) or lets go of (change -1) what a view shows.
void Engine::Need(StreamView& view, int change) {
  if (view.count > 0) {
    const std::uint32_t first = view.start / web::kViewWords, last = (view.start + view.count - 1) / web::kViewWords;
    for (std::uint32_t k = first; k <= last; ++k) {
      const std::uint32_t at = k * web::kViewWords;
      Piece& piece = pieces_[{view.area, at}];
      if (change > 0 && piece.users++ == 0)
        piece.item = watcher_.Watch(
            {WatchItem::Kind::words, view.area, at, std::min(web::kViewWords, link_.Size(view.area) - at), ""});
      if (change < 0 && --piece.users == 0) {
        watcher_.Unwatch(piece.item);
        pieces_.erase({view.area, at});
      }
    }
  }
  for (const std::string& name : view.tags) {
    TagValue& tag = tag_values_[name];
    if (change > 0 && tag.users++ == 0) tag.item = watcher_.Watch({WatchItem::Kind::tag, 0, 0, 1, name});
    if (change < 0 && --tag.users == 0) {
      watcher_.Unwatch(tag.item);
      tag_values_.erase(name);
    }
  }
}

// What a stream has not sent yet, as one message; empty when nothing.
std::string Engine::Changes(StreamView& view, bool first) {
  json j;
  json words = json::array();
  for (std::uint32_t i = 0; i < view.count; ++i) {
    const std::uint32_t word = view.start + i;
    const auto piece = pieces_.find({view.area, word / web::kViewWords * web::kViewWords});
    if (piece == pieces_.end() || piece->second.words.empty()) continue;
    const std::int32_t value = piece->second.words[word % web::kViewWords];
    if (view.words[i] == value) continue;
    view.words[i] = value;
    words.push_back({i, value});
  }
  if (!words.empty()) j["words"] = std::move(words);
  json tags = json::array();
  for (const std::string& name : view.tags) {
    const auto tag = tag_values_.find(name);
    if (tag == tag_values_.end() || !tag->second.read) continue;
    const auto sent = view.tag_values.find(name);
    if (sent != view.tag_values.end() && sent->second == tag->second.value) continue;
    view.tag_values[name] = tag->second.value;
    tags.push_back({{"tag", name}, {"value", tag->second.value}});
  }
  if (!tags.empty()) j["tags"] = std::move(tags);
  if (view.info != info_version_) {
    view.info = info_version_;
    j["info"] = json::parse(info_);
  }
  if (view.queues != queues_version_) {
    view.queues = queues_version_;
    j["queues"] = json::array();
    for (const Queue& q : queues_) j["queues"].push_back({{"queue", q.number}, {"name", q.name}, {"error", q.error}});
  }
  json events = json::array();
  for (const json& e : events_)
    if (e["seq"].get<std::uint64_t>() > view.event) events.push_back(e);
  if (!events.empty()) {
    view.event = events.back()["seq"].get<std::uint64_t>();
    j["events"] = std::move(events);
  }
  if (view.status != status_version_) {
    view.status = status_version_;
    j["status"] = status_;
  }
  if (first) {
    j["web"] = Web();
    j["view"] = {{"area", AreaName(view.area)}, {"start", view.start}, {"count", view.count}};
    // The tags of the view's words and bits, for names beside addresses.
    json labels = json::array();
    for (const TagfileTag& tag : tags_) {
      if (tag.area != view.area) continue;
      const std::uint32_t word = tag.type == "bit" ? tag.offset / 16 : tag.offset;
      if (word < view.start || word >= view.start + view.count) continue;
      labels.push_back({{"tag", tag.name}, {"type", tag.type}, {"offset", tag.offset}});
    }
    j["labels"] = std::move(labels);
  }
  if (j.empty()) return "";
  j["poll"] = polls_;
  return Dump(j);
}

bool WriteText(mg_connection* conn, const std::string& text) {
  return mg_write(conn, text.data(), text.size()) == static_cast<int>(text.size());
}

void Engine::Stream(mg_connection* conn, const web::Parsed& call) {
  StreamView view;
  view.area = call.area;
  view.start = call.start;
  view.count = call.count;
  view.words.assign(call.count, -1);
  std::size_t matched = 0;
  for (const TagfileTag* tag : MatchTags(call.search, call.tag_start, call.tag_count, matched))
    if (unreadable_.count(tag->name) == 0) view.tags.push_back(tag->name);
  {
    std::lock_guard guard(lock_);
    if (stop_ || streams_ >= kMaxStreams) {
      const std::string body = web::ErrorJson(Refusal::Own("too many pages are open (at most " + std::to_string(kMaxStreams) + ")"));
      mg_printf(conn, "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: %zu\r\n"
                "Connection: close\r\n\r\n%s", body.size(), body.c_str());
      return;
    }
    ++streams_;
    Need(view, 1);
  }
  mg_printf(conn, "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n");
  bool first = true;
  auto written = std::chrono::steady_clock::now();
  for (bool open = true; open;) {
    std::string message;
    bool stopping = false;
    {
      std::unique_lock guard(lock_);
      if (!first) changed_.wait_for(guard, kKeepAlive, [&] { return stop_ || polls_ != view.poll; });
      view.poll = polls_;
      stopping = stop_;
      message = Changes(view, first);
    }
    first = false;
    // A write that waits for a slow page holds no lock; what it sends next
    // is the state of then.  A stream with nothing to say sends a comment
    // now and then, however often the engine polls: only a write finds a
    // page that has gone, and frees its place.
    if (stopping) break;
    const auto now = std::chrono::steady_clock::now();
    if (!message.empty()) {
      open = WriteText(conn, "data: " + message + "\n\n");
      written = now;
    } else if (now - written >= kKeepAlive) {
      open = WriteText(conn, ":\n\n");
      written = now;
    }
  }
  std::lock_guard guard(lock_);
  Need(view, -1);
  --streams_;
}

// ---- HTTP -------------------------------------------------------------------

const char* StatusText(int status) {
  switch (status) {
    case 200: return "OK";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 409: return "Conflict";
    case 413: return "Content Too Large";
    case 502: return "Bad Gateway";
    default: return "Service Unavailable";
  }
}

void Send(mg_connection* conn, int status, std::string_view type, std::string_view body) {
  // The page's own files only: no other site may frame it or run scripts in it.
  mg_printf(conn,
            "HTTP/1.1 %d %s\r\nContent-Type: %.*s\r\nContent-Length: %zu\r\nCache-Control: no-store\r\n"
            "X-Content-Type-Options: nosniff\r\nX-Frame-Options: DENY\r\n"
            "Content-Security-Policy: default-src 'self'; frame-ancestors 'none'\r\nConnection: close\r\n\r\n",
            status, StatusText(status), static_cast<int>(type.size()), type.data(), body.size());
  mg_write(conn, body.data(), body.size());
}

std::string_view Header(mg_connection* conn, const char* name) {
  const char* value = mg_get_header(conn, name);
  return value == nullptr ? std::string_view() : std::string_view(value);
}

// Every request comes here, before civetweb does anything of its own.
int Handle(mg_connection* conn) {
  auto* engine = static_cast<Engine*>(mg_get_user_data(mg_get_context(conn)));
  const mg_request_info* info = mg_get_request_info(conn);
  // A body is read only up to the bound, and one that says it is longer is
  // not read at all.
  std::string body;
  if (info->content_length > static_cast<long long>(web::kMaxBody)) {
    body.assign(web::kMaxBody + 1, ' ');
    // Closed after the answer: civetweb would otherwise read the rest first.
    mg_disable_keep_alive(conn);
  } else {
    char buffer[4096];
    for (int n = 0; body.size() <= web::kMaxBody && (n = mg_read(conn, buffer, sizeof buffer)) > 0;)
      body.append(buffer, static_cast<std::size_t>(n));
  }
  web::Request request;
  request.method = info->request_method != nullptr ? info->request_method : "";
  request.path = info->local_uri_raw != nullptr ? info->local_uri_raw : "";
  request.query = info->query_string != nullptr ? info->query_string : "";
  request.body = body;
  request.host = Header(conn, "Host");
  request.origin = Header(conn, "Origin");
  web::Parsed call;
  std::string type, out;
  int status = 503;
  if (!engine->OnEngine([&] { status = engine->Serve(request, call, type, out); })) {
    type = "application/json";
    out = web::ErrorJson(Refusal::Own("qna web is stopping"));
  }
  if (status == 200 && call.call == web::Call::stream) {
    engine->Stream(conn, call);
    return 200;
  }
  Send(conn, status, type, out);
  return status;
}

int LogMessage(const mg_connection*, const char* message) {
  std::fprintf(stderr, "qna web: %s\n", message);
  return 1;
}

bool LoopbackAddress(const std::string& address) {
  return address == "localhost" || address.rfind("127.", 0) == 0;
}

int Web(WebArgs& args) {
  if (args.interval < 10) return Usage("web", "--interval must be 10 ms or more");
  if (args.http.empty()) args.http = args.any ? "0.0.0.0:8080" : "127.0.0.1:8080";
  const auto colon = args.http.rfind(':');
  std::uint32_t port = 0;
  if (colon == std::string::npos || colon == 0 || !ParseU32(args.http.substr(colon + 1), port) || port > 65535)
    return Usage("web", "--http takes ADDR:PORT, as 127.0.0.1:8080 (port 0: any free port)");
  const std::string address = args.http.substr(0, colon);
  const bool loopback = LoopbackAddress(address);
  if (!loopback && !args.any)
    return Usage("web", "--http " + args.http + " reaches beyond this machine: add --http-any to mean it");

  Link link;
  if (int failed = link.Open("web", args.link, kWeb, Need::connection)) return failed;
  Engine engine(link, args);
  engine.setting.writes = args.writes;
  engine.setting.loopback = loopback;
  for (std::uint32_t a = 0; a < 6; ++a) engine.setting.sizes[a] = link.Size(a);
  engine.LoadTags();

  // SIGINT and SIGTERM are taken by this thread alone, in sigwait below; the
  // threads started from here inherit the mask.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  const std::string listen = address == "localhost" ? "127.0.0.1:" + std::to_string(port) : args.http;
  const std::string threads = std::to_string(kThreads), request_size = std::to_string(web::kMaxBody);
  const char* options[] = {"listening_ports", listen.c_str(), "num_threads", threads.c_str(),
                           "max_request_size", request_size.c_str(), "request_timeout_ms", "10000",
                           // No CORS answers of civetweb's own: no other site's page may read or write.
                           "access_control_allow_origin", "", "access_control_allow_methods", "",
                           "access_control_allow_headers", "", "enable_directory_listing", "no",
                           nullptr};
  mg_callbacks callbacks{};
  callbacks.begin_request = Handle;
  callbacks.log_message = LogMessage;
  mg_init_library(0);
  char error_text[256] = "";
  unsigned error_code = 0;
  mg_error_data error{&error_code, error_text, sizeof error_text};
  mg_init_data init{&callbacks, &engine, options};
  mg_context* context = mg_start2(&init, &error);
  if (context == nullptr) {
    QNA_EndRavo();
    return FailOwn("web", "cannot serve on " + args.http + ": " + error_text);
  }
  mg_server_port ports[4] = {};
  const int served = mg_get_server_ports(context, 4, ports);
  const int actual = served > 0 ? ports[0].port : static_cast<int>(port);
  const std::string url = "http://" + (address == "0.0.0.0" ? std::string("127.0.0.1") : listen.substr(0, listen.rfind(':'))) +
                          ":" + std::to_string(actual) + "/";
  if (args.link.json)
    std::printf("{\"url\":%s,\"writes\":%s}\n", JsonString(url).c_str(), args.writes ? "true" : "false");
  else
    std::printf("qna web: serving %s (writes %s); Ctrl-C ends it\n", url.c_str(), args.writes ? "allowed" : "off");
  std::fflush(stdout);

  std::thread poller([&engine] { engine.Run(); });
  int signal = 0;
  sigwait(&signals, &signal);
  engine.Stop();
  poller.join();
  mg_stop(context);
  mg_exit_library();
  engine.CloseQueues();
  QNA_EndRavo();
  return 0;
}

}  // namespace

void AddWebCommand(CLI::App& app, Runner& run) {
  auto args = std::make_shared<WebArgs>();
  args->link.app = "QNAWEB";
  auto* c = app.add_subcommand("web", "Serve a live page of the server's areas, tags, applications and events (docs/web.md)");
  c->add_option("--http", args->http, "Listen on ADDR:PORT (default 127.0.0.1:8080; 0.0.0.0:8080 with --http-any)")
      ->type_name("ADDR:PORT");
  c->add_flag("--http-any", args->any, "Allow listening beyond loopback: anyone who reaches the port sees the data");
  c->add_flag("--allow-writes", args->writes, "Let the page and the API write words, bits and tags, post events and send messages");
  c->add_option("-i,--interval", args->interval, "Milliseconds between polls")->capture_default_str();
  AddLinkOptions(c, args->link, kWeb);
  c->callback([&run, args] { run = [args] { return Web(*args); }; });
}

}  // namespace qna
