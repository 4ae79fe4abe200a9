// bridge.cpp - qna bridge: watched words and bits, tags and events out to an
// MQTT broker, and writes back in when allowed (libmosquitto).
//
// Threads: the main thread makes every library call: it polls through the
// watching engine, drains the event queues and carries out the writes that
// came in.  libmosquitto's network traffic and its callbacks run on one
// thread of the bridge's own (Mqtt::Loop), which makes no library call and
// prints nothing: what it has to tell waits in Mqtt for the main thread.
//
// Lock rules: Mqtt::lock_ guards the connection flags, the kept events, the
// messages waiting for the broker's acknowledgement, the incoming set
// messages and the notes.  It is held for a few assignments only, never
// across a libmosquitto call, so that a callback (which libmosquitto may run
// holding locks of its own) and a publish never wait for each other.
//
// Delivery: every message goes at QoS 1.  libmosquitto cannot be trusted
// with a message around a reconnect (one handed to it then may never be
// sent, and is not told as lost), so the bridge keeps each event itself
// until the broker acknowledges it: it hands events to libmosquitto only
// while connected, in order, and after a reconnect hands over again, from
// the oldest, those not acknowledged.  It bounds how many may wait and
// counts the rest as dropped.  A value is not kept while the broker is
// away: the latest one is published (retained) when it is back.
#include <cjson/cJSON.h>
#include <mosquitto.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "qna.h"
#include "qnapi.h"
#include "tagfile.h"
#include "watch.h"

namespace qna {

namespace {

using std::chrono::milliseconds;

const char* const kCommand = "bridge";
const Offer kBridge{};  // tags refuse --host and --tcp themselves

// MQTT message ids are 16 bits: what waits for acknowledgements must stay
// well below 65535 of them, so events and values have bounds of their own.
constexpr std::uint32_t kMostQueued = 50000;
// Values handed to libmosquitto and not yet acknowledged, beyond which a
// poll publishes none (the next poll tries again): a broker slower than the
// plant does not make the bridge grow.
constexpr std::size_t kValueBacklog = 4096;
// QoS 1 messages sent before their acknowledgements come.
constexpr unsigned kInFlight = 1000;
// Set messages waiting for the main thread, beyond which they are refused.
constexpr std::size_t kInboxBound = 1000;
// A set message's payload is a number: anything longer is refused unread.
constexpr std::size_t kLongestPayload = 256;
// Events taken from one queue in one poll, so that a flood does not stall
// the polls.
constexpr int kBridgeEventsPerPoll = 1000;
// How long a clean stop waits for the broker to acknowledge what is out.
constexpr auto kFlushTime = std::chrono::seconds(3);
// Pauses between attempts to reach the broker (growing up to the longest)
// and the server.
constexpr auto kRetryFirst = std::chrono::seconds(1);
constexpr auto kRetryLongest = std::chrono::seconds(5);
constexpr auto kServerRetry = std::chrono::seconds(1);

struct BridgeArgs {
  LinkOptions link;
  std::string broker;
  std::vector<std::string> watch, bits, tags;
  std::vector<std::uint32_t> events;
  bool all_tags = false;
  bool allow_writes = false;
  std::string prefix = "qnapi";
  std::uint32_t interval = 100;
  std::uint32_t deadband = 0;
  std::uint32_t max_queued = 10000;
  std::string client_id, username, password, password_file;
  std::string cafile, capath, cert, key;
  bool insecure = false;
  int keepalive = 30;
};

// ---- Stop on SIGINT and SIGTERM ------------------------------------------------
// The handler only stores: the flag, and the engine's own stop flag (an
// atomic store) of the engine that runs.  Only the main thread takes these
// signals, and it clears g_watcher before the engine goes.
std::atomic<bool> g_stop{false};
std::atomic<Watcher*> g_watcher{nullptr};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<Watcher*>::is_always_lock_free);

void OnStopSignal(int) {
  g_stop = true;
  if (Watcher* watcher = g_watcher.load()) watcher->Stop();
}

// Sleeps `time` in short steps, returning early once a stop is asked.
void Pause(std::chrono::steady_clock::duration time) {
  const auto due = std::chrono::steady_clock::now() + time;
  while (!g_stop && std::chrono::steady_clock::now() < due) std::this_thread::sleep_for(milliseconds(20));
}

// ---- Payloads ------------------------------------------------------------------
std::string Base64(const std::uint8_t* bytes, std::size_t n) {
  static constexpr char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string s;
  s.reserve((n + 2) / 3 * 4);
  for (std::size_t i = 0; i < n; i += 3) {
    const std::uint32_t v = std::uint32_t{bytes[i]} << 16 | (i + 1 < n ? std::uint32_t{bytes[i + 1]} << 8 : 0u) |
                            (i + 2 < n ? std::uint32_t{bytes[i + 2]} : 0u);
    s += kDigits[v >> 18 & 63];
    s += kDigits[v >> 12 & 63];
    s += i + 1 < n ? kDigits[v >> 6 & 63] : '=';
    s += i + 2 < n ? kDigits[v & 63] : '=';
  }
  return s;
}

// `ts` is the time as a JSON string.
std::string ValuePayload(std::int64_t value, const std::string& ts) {
  return "{\"value\":" + std::to_string(value) + ",\"ts\":" + ts + "}";
}

// The value a set message carries, as text for the checks of qna write and
// qna tag write: a plain number ("42", "0x2A"), a JSON number, string or
// true/false, or a JSON object with such a "value" (as the bridge publishes
// them).  Empty when there is none.
std::string SetValueText(const std::string& payload) {
  const auto first = payload.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const std::string text = payload.substr(first, payload.find_last_not_of(" \t\r\n") - first + 1);
  // Nothing may follow the JSON value: "12abc" is no number.
  cJSON* parsed = cJSON_ParseWithOpts(text.c_str(), nullptr, true);
  if (parsed == nullptr) return text;  // not JSON: a plain number, or nothing the checks take
  const cJSON* value = cJSON_IsObject(parsed) ? cJSON_GetObjectItemCaseSensitive(parsed, "value") : parsed;
  std::string out;
  if (cJSON_IsNumber(value)) {
    const double d = value->valuedouble;
    char number[64];
    // A whole number as the integer it is; anything else as written, which
    // the checks refuse.
    if (d == std::floor(d) && std::fabs(d) < 1e15)
      out = std::to_string(static_cast<long long>(d));
    else
      out = std::snprintf(number, sizeof number, "%g", d) > 0 ? number : "";
  } else if (cJSON_IsString(value)) {
    out = value->valuestring;
  } else if (cJSON_IsBool(value)) {
    out = cJSON_IsTrue(value) ? "1" : "0";
  }
  cJSON_Delete(parsed);
  return out;
}

// ---- The broker ----------------------------------------------------------------
// libmosquitto's text for a code, as a part of a line (without its full stop).
std::string MosquittoText(int rc) {
  std::string text = mosquitto_strerror(rc);
  if (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

struct Incoming {
  std::string topic, payload;
  bool retained = false;
};

struct BrokerAddress {
  std::string host;
  int port = 0;
};

// HOST, HOST:PORT or [IPv6]:PORT; the port defaults as mosquitto's own
// clients do (1883, 8883 with TLS).
bool ParseBroker(const std::string& text, bool tls, BrokerAddress& out, std::string& error) {
  error = "--broker takes HOST or HOST:PORT, as 127.0.0.1:1883, not '" + text + "'";
  std::string port;
  if (!text.empty() && text[0] == '[') {
    const auto close = text.find(']');
    if (close == std::string::npos || (close + 1 < text.size() && text[close + 1] != ':')) return false;
    out.host = text.substr(1, close - 1);
    if (close + 1 < text.size()) port = text.substr(close + 2);
  } else {
    const auto colon = text.rfind(':');
    out.host = text.substr(0, colon);
    if (colon != std::string::npos) port = text.substr(colon + 1);
    if (colon != std::string::npos && port.empty()) return false;
  }
  std::uint32_t number = tls ? 8883 : 1883;
  if (out.host.empty() || (!port.empty() && (!ParseU32(port, number) || number == 0 || number > 65535)))
    return false;
  out.port = static_cast<int>(number);
  return true;
}

class Mqtt {
 public:
  enum class Kind { value, event, other };

  Mqtt(const BridgeArgs& args, const BrokerAddress& broker)
      : args_(args), broker_(broker), status_(args.prefix + "/status"), where_(broker.host + ":" + std::to_string(broker.port)) {}
  ~Mqtt() {
    if (mosq_ != nullptr) mosquitto_destroy(mosq_);
  }
  Mqtt(const Mqtt&) = delete;
  Mqtt& operator=(const Mqtt&) = delete;

  // The client with its last will, credentials and TLS: the refusal, none
  // when it is ready to connect.
  Refusal Setup() {
    mosq_ = mosquitto_new(args_.client_id.empty() ? nullptr : args_.client_id.c_str(), true, this);
    if (mosq_ == nullptr) return Refusal::Own("libmosquitto could not make a client (out of memory, or a bad --client-id)");
    mosquitto_threaded_set(mosq_, true);
    // libmosquitto's window of 20 messages in flight would carry 400 a
    // second to a broker 50 ms away; what waits is bounded by the bridge.
    mosquitto_max_inflight_messages_set(mosq_, kInFlight);
    mosquitto_connect_callback_set(mosq_, OnConnect);
    mosquitto_disconnect_callback_set(mosq_, OnDisconnect);
    mosquitto_publish_callback_set(mosq_, OnPublish);
    mosquitto_message_callback_set(mosq_, OnMessage);
    int rc = mosquitto_will_set(mosq_, status_.c_str(), 7, "offline", 1, true);
    std::string password = args_.password;
    if (rc == MOSQ_ERR_SUCCESS && !args_.password_file.empty()) {
      std::ifstream in(args_.password_file);
      if (!std::getline(in, password)) return Refusal::Own("cannot read a password from " + args_.password_file);
    }
    if (rc == MOSQ_ERR_SUCCESS && !args_.username.empty())
      rc = mosquitto_username_pw_set(mosq_, args_.username.c_str(), password.empty() ? nullptr : password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) return Refusal::Own(std::string("libmosquitto: ") + MosquittoText(rc));
    if (!args_.cafile.empty() || !args_.capath.empty()) {
      const auto given = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
      rc = mosquitto_tls_set(mosq_, given(args_.cafile), given(args_.capath), given(args_.cert), given(args_.key), nullptr);
      if (rc == MOSQ_ERR_SUCCESS && args_.insecure) rc = mosquitto_tls_insecure_set(mosq_, true);
      if (rc != MOSQ_ERR_SUCCESS)
        return Refusal::Own(std::string("TLS: ") + MosquittoText(rc) +
                            " (the files of --cafile, --capath, --cert and --key must be readable; --cert and --key go together)");
    }
    return {};
  }

  // Starts the network thread, without SIGINT and SIGTERM: those go to the
  // main thread.
  void Start() {
    sigset_t stops, before;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stops, &before);
    thread_ = std::thread([this] { Loop(); });
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
  }

  // A clean stop: "offline" on the status topic (a clean disconnect sends
  // no last will), what is out acknowledged (for a while), then the
  // disconnect.
  void Stop() {
    if (!thread_.joinable()) return;
    if (Connected()) {
      Publish(status_, "offline", true, Kind::other);
      const auto due = std::chrono::steady_clock::now() + kFlushTime;
      while (Unacknowledged() > 0 && Connected() && std::chrono::steady_clock::now() < due) {
        SendEvents();
        std::this_thread::sleep_for(milliseconds(10));
      }
    }
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
    }
    mosquitto_disconnect(mosq_);
    const auto due = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (Connected() && std::chrono::steady_clock::now() < due) std::this_thread::sleep_for(milliseconds(10));
    quit_ = true;
    thread_.join();
  }

  bool Connected() const {
    std::lock_guard guard(lock_);
    return connected_;
  }

  // A value, retained: false when it was not handed over (the broker is
  // away, or too much waits for it); a later poll tries again.
  bool PublishValue(const std::string& topic, const std::string& payload) {
    {
      std::lock_guard guard(lock_);
      if (!connected_ || waiting_[static_cast<int>(Kind::value)] >= kValueBacklog) return false;
    }
    return Publish(topic, payload, true, Kind::value) == MOSQ_ERR_SUCCESS;
  }

  // An event: kept until the broker acknowledges it, up to --max-queued of
  // them; false when it was dropped.
  bool PublishEvent(const std::string& topic, const std::string& payload) {
    {
      std::lock_guard guard(lock_);
      if (events_.size() >= args_.max_queued) return false;
      events_.emplace(next_event_++, Event{topic, payload});
    }
    SendEvents();
    return true;
  }

  // Hands the kept events not yet handed over on this connection to
  // libmosquitto, oldest first, while connected and not too many are out.
  // Only the main thread calls it, so that they go in order.
  void SendEvents() {
    for (;;) {
      std::uint64_t number = 0;
      Event event;
      std::uint32_t connection = 0;
      {
        std::lock_guard guard(lock_);
        const auto next = events_.lower_bound(next_to_send_);
        if (!connected_ || next == events_.end() || waiting_[static_cast<int>(Kind::event)] >= kInFlight) return;
        number = next->first;
        event = next->second;
        connection = connection_;
      }
      const int rc = Publish(event.topic, event.payload, false, Kind::event, number, connection);
      // Found no connection after all: tried again at the next call (what
      // libmosquitto took then may go out too, as a duplicate).
      if (rc == MOSQ_ERR_NO_CONN) return;
      std::lock_guard guard(lock_);
      // One libmosquitto refuses (its note is out) would stop all after it.
      if (rc != MOSQ_ERR_SUCCESS) events_.erase(number);
      // After a reconnect meanwhile, sending starts again from the oldest.
      if (connection == connection_) next_to_send_ = number + 1;
    }
  }

  // An answer on PREFIX/error: sent when the broker is there; false when
  // it was not handed over.
  bool PublishError(const std::string& payload) {
    return Connected() && Publish(args_.prefix + "/error", payload, false, Kind::other) == MOSQ_ERR_SUCCESS;
  }

  // True once after each connect: the broker may be a new one that holds
  // none of the retained values.
  bool TakeRepublish() {
    std::lock_guard guard(lock_);
    return std::exchange(republish_, false);
  }

  std::vector<Incoming> TakeIncoming(std::size_t& refused) {
    std::lock_guard guard(lock_);
    refused = std::exchange(inbox_refused_, 0);
    return std::exchange(inbox_, {});
  }

  std::vector<std::string> TakeNotes() {
    std::lock_guard guard(lock_);
    return std::exchange(notes_, {});
  }

 private:
  struct Event {
    std::string topic, payload;
  };
  // A message handed to libmosquitto: the event's number for an event, and
  // the connection it was handed over on.
  struct Sent {
    Kind kind = Kind::other;
    std::uint64_t event = 0;
    std::uint32_t connection = 0;
  };

  std::size_t Unacknowledged() const {
    std::lock_guard guard(lock_);
    return events_.size() + waiting_[static_cast<int>(Kind::value)] + waiting_[static_cast<int>(Kind::other)];
  }

  // Hands a message to libmosquitto and keeps its id until the broker
  // acknowledges it.
  int Publish(const std::string& topic, const std::string& payload, bool retain, Kind kind) {
    std::uint32_t connection = 0;
    {
      std::lock_guard guard(lock_);
      connection = connection_;
    }
    return Publish(topic, payload, retain, kind, 0, connection);
  }

  // libmosquitto's code: MOSQ_ERR_SUCCESS when handed over, MOSQ_ERR_NO_CONN
  // when it found no connection (libmosquitto may or may not send it).
  int Publish(const std::string& topic, const std::string& payload, bool retain, Kind kind, std::uint64_t event,
              std::uint32_t connection) {
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                                     retain);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
      std::lock_guard guard(lock_);
      notes_.push_back("could not publish to " + topic + ": " + MosquittoText(rc));
      return rc;
    }
    std::lock_guard guard(lock_);
    // The acknowledgement may have come before this thread got here.
    if (acknowledged_early_.erase(mid) != 0) {
      if (kind == Kind::event) events_.erase(event);
      return rc;
    }
    sent_[mid] = {kind, event, connection};
    // Counted only for the present connection: what an earlier one left
    // unacknowledged is handed over again (an event) or published afresh.
    if (connection == connection_ && rc == MOSQ_ERR_SUCCESS) ++waiting_[static_cast<int>(kind)];
    return rc;
  }

  bool Stopping() const {
    std::lock_guard guard(lock_);
    return stopping_;
  }

  void Loop() {
    bool ever = false;
    auto retry = std::chrono::steady_clock::duration(kRetryFirst);
    // After a stop's disconnect the loop runs on until libmosquitto has
    // sent it, and does not connect again.
    while (!quit_ && !Stopping()) {
      const int rc = ever ? mosquitto_reconnect(mosq_)
                          : mosquitto_connect(mosq_, broker_.host.c_str(), broker_.port, args_.keepalive);
      if (rc != MOSQ_ERR_SUCCESS) {
        Tell("cannot reach the broker at " + where_ + ": " + MosquittoText(rc) + "; trying again");
        for (const auto due = std::chrono::steady_clock::now() + retry;
             !quit_ && !Stopping() && std::chrono::steady_clock::now() < due;)
          std::this_thread::sleep_for(milliseconds(20));
        retry = std::min<std::chrono::steady_clock::duration>(retry * 2, kRetryLongest);
        continue;
      }
      ever = true;
      retry = kRetryFirst;
      while (!quit_ && mosquitto_loop(mosq_, 100, 1) == MOSQ_ERR_SUCCESS) {
      }
    }
  }

  // A note for the main thread; the same trouble again is not told twice.
  void Tell(const std::string& note) {
    std::lock_guard guard(lock_);
    if (note == last_note_) return;
    last_note_ = note;
    notes_.push_back(note);
  }

  static void OnConnect(mosquitto* mosq, void* self, int rc) {
    auto& m = *static_cast<Mqtt*>(self);
    if (rc != 0) {
      m.Tell("the broker at " + m.where_ + " refused the connection: " + mosquitto_connack_string(rc));
      return;
    }
    {
      std::lock_guard guard(m.lock_);
      m.connected_ = true;
      m.republish_ = true;
      // libmosquitto may yet send again what the last connection left
      // unacknowledged, and the broker acknowledge it on this one; older
      // ones are given up.
      const std::uint32_t last = m.connection_++;
      std::erase_if(m.sent_, [&](const auto& sent) { return sent.second.connection != last; });
      m.acknowledged_early_.clear();
      std::fill(std::begin(m.waiting_), std::end(m.waiting_), 0);
      m.next_to_send_ = m.events_.empty() ? m.next_event_ : m.events_.begin()->first;
    }
    m.Tell("connected to the broker at " + m.where_);
    m.Publish(m.status_, "online", true, Kind::other);
    if (m.args_.allow_writes) mosquitto_subscribe(mosq, nullptr, (m.args_.prefix + "/set/#").c_str(), 1);
  }

  static void OnDisconnect(mosquitto*, void* self, int rc) {
    auto& m = *static_cast<Mqtt*>(self);
    bool stopping = false;
    {
      std::lock_guard guard(m.lock_);
      m.connected_ = false;
      stopping = m.stopping_;
    }
    if (!stopping) m.Tell("lost the broker at " + m.where_ + " (" + MosquittoText(rc) + "); reconnecting");
  }

  static void OnPublish(mosquitto*, void* self, int mid) {
    auto& m = *static_cast<Mqtt*>(self);
    std::lock_guard guard(m.lock_);
    const auto found = m.sent_.find(mid);
    if (found == m.sent_.end()) {
      m.acknowledged_early_.insert(mid);
      return;
    }
    const Sent& sent = found->second;
    if (sent.connection == m.connection_) --m.waiting_[static_cast<int>(sent.kind)];
    if (sent.kind == Kind::event) m.events_.erase(sent.event);
    m.sent_.erase(found);
  }

  static void OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& m = *static_cast<Mqtt*>(self);
    std::lock_guard guard(m.lock_);
    if (m.inbox_.size() >= kInboxBound) {
      ++m.inbox_refused_;
      return;
    }
    const auto length = static_cast<std::size_t>(std::max(message->payloadlen, 0));
    // A long payload is kept cut, only to be refused.
    const char* payload = message->payload != nullptr ? static_cast<const char*>(message->payload) : "";
    m.inbox_.push_back({message->topic, std::string(payload, message->payload != nullptr ? std::min(length, kLongestPayload + 1) : 0),
                        message->retain});
  }

  const BridgeArgs& args_;
  const BrokerAddress broker_;
  const std::string status_, where_;
  mosquitto* mosq_ = nullptr;
  std::thread thread_;
  std::atomic<bool> quit_{false};

  mutable std::mutex lock_;
  bool connected_ = false;
  bool stopping_ = false;
  bool republish_ = false;
  // Every event read and not yet acknowledged, by its number: in order.
  std::map<std::uint64_t, Event> events_;
  std::uint64_t next_event_ = 0;
  // The first event not yet handed over on this connection.
  std::uint64_t next_to_send_ = 0;
  // Counts the connections; each message handed over carries its own.
  std::uint32_t connection_ = 0;
  std::unordered_map<int, Sent> sent_;
  std::unordered_set<int> acknowledged_early_;
  // Handed over on this connection and not yet acknowledged, by kind.
  std::size_t waiting_[3] = {};
  std::vector<Incoming> inbox_;
  std::size_t inbox_refused_ = 0;
  std::vector<std::string> notes_;
  std::string last_note_;
};

// ---- What is published ---------------------------------------------------------
// One watched item and its topics, one a value; `sent` is what the broker
// was last given for each, kept across reconnects to the server.
struct Feed {
  WatchItem item;
  std::vector<std::string> topics;
  std::vector<std::optional<std::int32_t>> sent;
  bool deadband = true;  // bits change by 1: no deadband for them
  std::size_t id = 0;    // the engine's id in the present session
};

struct BridgeQueue {
  std::uint32_t number = 0;
  std::uint32_t handle = 0;
  std::string topic;
};

// "CW10:4" (four words from CW10), "CW10", or "4:100:2": the count follows
// the last ':' when what comes before it is an address of its own.
bool ParseWatch(const std::string& text, Address& a, std::uint32_t& count, std::string& error) {
  const auto colon = text.rfind(':');
  std::string ignored;
  count = 1;
  if (colon != std::string::npos && ParseAddress(text.substr(0, colon), a, ignored)) {
    if (ParseU32(text.substr(colon + 1), count) && count >= 1 && count <= 65536) return true;
    error = "bad count in '" + text + "': ADDRESS:COUNT takes a COUNT of 1 to 65536, as CW10:4";
    return false;
  }
  return ParseAddress(text, a, error);
}

class Bridge {
 public:
  Bridge(const BridgeArgs& args, Mqtt& mqtt) : args_(args), mqtt_(mqtt) {}

  // The feeds of the command line; the refusal of one that cannot be.
  Refusal Plan() {
    for (const bool bits : {false, true})
      for (const auto& text : bits ? args_.bits : args_.watch) {
        Address a;
        std::uint32_t count = 1;
        std::string error;
        if (!ParseWatch(text, a, count, error)) return Refusal::Usage(error);
        Feed feed{{bits ? WatchItem::Kind::bits : WatchItem::Kind::words, a.area, a.offset, count, ""}, {}, {}, !bits};
        for (std::uint32_t i = 0; i < count; ++i)
          feed.topics.push_back(args_.prefix + (bits ? "/bit/" : "/data/") + FormatAddress(a.area, a.offset + i));
        feeds_.push_back(std::move(feed));
      }
    for (const std::uint32_t number : args_.events) {
      if (std::none_of(queues_.begin(), queues_.end(), [&](const BridgeQueue& q) { return q.number == number; }))
        queues_.push_back({number, 0, args_.prefix + "/event/" + std::to_string(number)});
    }
    return {};
  }

  // Runs until a stop is asked: one session per link to the server, and a
  // new one when the server has gone.  The exit status.
  int Run() {
    for (bool first = true; !g_stop; first = false) {
      bool ran = false;
      const int failed = Session(first, ran);
      if (g_stop) break;
      if (first && !ran) return failed;
      ServeWhileAway();
      Pause(kServerRetry);
    }
    return 0;
  }

 private:
  bool Local() const { return args_.link.host.empty() && args_.link.tcp.empty(); }
  bool WantsTags() const { return args_.all_tags || !args_.tags.empty(); }

  // One link to the server, from its open to its loss or the stop: the exit
  // status of a failure, and whether it came as far as polling.  Setting up
  // again after a loss is quiet: the same trouble is printed once.
  int Session(bool first, bool& ran) {
    SetQuietErrors(!first);
    const int failed = SessionSetUp(first, ran);
    SetQuietErrors(false);
    // Told once the link is closed: a new server can then make its objects,
    // which the bridge's handles kept alive until then.
    if (lost_) {
      lost_.text = "lost the server: " + lost_.text + "; reconnecting";
      Refuse(kCommand, lost_);
      mqtt_.PublishError(ErrorPayload("", lost_));
      lost_ = {};
    }
    if (failed != 0 && !ran && !first && LastError() != last_printed_) {
      last_printed_ = LastError();
      std::fprintf(stderr, "%s\n", last_printed_.c_str());
    }
    return failed;
  }

  int SessionSetUp(bool first, bool& ran) {
    Link link;
    if (int failed = link.Open(kCommand, args_.link, kBridge, queues_.empty() ? Need::link : Need::connection))
      return failed;
    // A set message for a tag needs the tag file too; without one the
    // library refuses it, answered as any refusal.
    TagPath path;
    bool loaded = false;
    if (Local() && (WantsTags() || args_.allow_writes)) {
      SetQuietErrors(!first || !WantsTags());
      const int failed = LoadTags(kCommand, path);
      SetQuietErrors(!first);
      if (failed != 0 && WantsTags()) return failed;
      loaded = failed == 0;
    }
    struct Unload {
      bool loaded;
      ~Unload() {
        if (loaded) QNA_EndRavo();
      }
    } unload{loaded};
    if (first && WantsTags())
      if (int failed = PlanTags(path)) return failed;

    Watcher watcher(link);
    for (Feed& feed : feeds_) {
      if (feed.item.kind != WatchItem::Kind::tag)
        if (int refused = link.CheckRange(kCommand, feed.item.area, feed.item.start, feed.item.count,
                                          feed.item.kind == WatchItem::Kind::bits, "nothing watched"))
          return refused;
      feed.id = watcher.Watch(feed.item);
    }
    struct CloseQueues {
      std::vector<BridgeQueue>& queues;
      ~CloseQueues() {
        for (BridgeQueue& q : queues)
          if (q.handle != 0) QNA_CloseEvQueue(std::exchange(q.handle, 0), 0);
      }
    } close_queues{queues_};
    for (BridgeQueue& q : queues_) {
      const std::uint32_t r = QNA_OpenEvQueue(link.id(), q.number, nullptr, nullptr, &q.handle, 0);
      if (r != 0) {
        q.handle = 0;
        return Fail(kCommand, "opening event queue " + std::to_string(q.number), r, QNA_InternalErr);
      }
    }

    SetQuietErrors(false);
    ran = true;
    last_printed_.clear();
    if (!first) Note(kCommand, "the server answers again");
    link_ = &link;
    path_ = &path;
    lost_ = {};
    watcher.Subscribe([&](const WatchPoll& poll) { OnPoll(watcher, poll); });
    g_watcher = &watcher;
    if (g_stop) watcher.Stop();  // a signal that came before the line above
    const std::uint32_t r = watcher.Run(milliseconds(args_.interval), 0);
    g_watcher = nullptr;
    link_ = nullptr;
    path_ = nullptr;
    if (g_stop) return 0;
    if (r != 0) lost_ = Refusal::Library(poll_failed_, r, poll_detail_);
    return lost_ ? kExitFailed : 0;
  }

  // The tags of --tags, or every usable one of the tag file with
  // --all-tags, as feeds.  Named tags must all be readable; of all tags,
  // those the library cannot read are left out, each said once.
  int PlanTags(const TagPath& path) {
    std::vector<std::string> names = args_.tags;
    if (args_.all_tags) {
      std::vector<TagfileTag> tags;
      bool unordered = false;
      std::string error;
      if (path.win.empty() || TagfileRead(path.host, tags, unordered, error) != 0)
        return FailOwn(kCommand, "--all-tags: cannot read " + path.Text() + (error.empty() ? "" : ": " + error));
      for (const TagfileTag& tag : tags)
        if (tag.why.empty()) names.push_back(tag.name);
    }
    for (const std::string& given : names) {
      std::string name = given;
      for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (std::any_of(feeds_.begin(), feeds_.end(), [&](const Feed& f) { return f.item.tag == name; })) continue;
      std::int32_t value = 0;
      const Refusal refused = ReadTagValue(given, path, value);
      const bool named = std::find(args_.tags.begin(), args_.tags.end(), given) != args_.tags.end();
      if (refused && named) return Refuse(kCommand, refused);
      if (refused) {
        Note(kCommand, "--all-tags leaves out " + refused.text);
        continue;
      }
      const std::string topic = args_.prefix + "/tag/" + name;
      if (mosquitto_pub_topic_check(topic.c_str()) != MOSQ_ERR_SUCCESS)
        return Usage(kCommand, "tag " + name + " cannot be an MQTT topic name (" + topic + ")");
      TagfileTag tag;
      std::string ignored;
      const bool bit = TagfileFind(path.host, name, tag, ignored) == 0 && tag.type == "bit";
      Feed feed;
      feed.item.kind = WatchItem::Kind::tag;
      feed.item.tag = name;
      feed.topics.push_back(topic);
      feed.deadband = !bit;
      feeds_.push_back(std::move(feed));
    }
    return 0;
  }

  void OnPoll(Watcher& watcher, const WatchPoll& poll) {
    PrintNotes();
    if (poll.result != 0) {
      poll_failed_ = poll.failed;
      poll_detail_ = poll.detail;
      return;
    }
    const bool all = mqtt_.TakeRepublish();
    const std::string ts = JsonString(IsoTime(poll.time));
    for (Feed& feed : feeds_) {
      const auto& now = poll.now[feed.id];
      feed.sent.resize(now.size());
      for (std::size_t i = 0; i < now.size(); ++i) {
        const std::optional<std::int32_t>& sent = feed.sent[i];
        const std::int64_t moved = sent ? std::llabs(std::int64_t{now[i]} - *sent) : 0;
        const bool changed =
            !sent || (feed.deadband && args_.deadband > 0 ? moved >= args_.deadband : moved != 0);
        if (!all && !changed) continue;
        // One not handed over is published at a later poll, changed or not.
        if (mqtt_.PublishValue(feed.topics[i], ValuePayload(now[i], ts)))
          feed.sent[i] = now[i];
        else
          feed.sent[i].reset();
      }
    }
    if (Refusal failed = DrainEvents()) {
      lost_ = failed;
      watcher.Stop();
    }
    CarryOutWrites();
    ReportDropped();
  }

  // Takes what waits in each queue and hands it on, after what was kept
  // while the broker was away.
  Refusal DrainEvents() {
    mqtt_.SendEvents();
    for (const BridgeQueue& q : queues_)
      for (int n = 0; n < kBridgeEventsPerPoll; ++n) {
        const std::uint32_t r = TakeEvent(q.handle, event_);
        if (r == QNA_E_EVQ_EMPTY) break;
        if (r != 0) return Refusal::Library("reading event queue " + std::to_string(q.number), r, QNA_InternalErr);
        const std::string payload = "{\"value\":" + std::to_string(event_.value) + ",\"kind\":" +
                                    std::to_string(event_.kind) + ",\"name\":" + JsonString(event_.from) +
                                    ",\"data\":\"" + Base64(event_.data.data(), event_.length) +
                                    "\",\"ts\":" + JsonString(IsoTime(std::chrono::system_clock::now())) + "}";
        if (!mqtt_.PublishEvent(q.topic, payload)) ++dropped_;
      }
    return {};
  }

  // The set messages that came in, each written as qna write, qna bits
  // --set or qna tag write would, or refused on PREFIX/error.
  void CarryOutWrites() {
    std::size_t refused = 0;
    for (const Incoming& in : mqtt_.TakeIncoming(refused)) Answer(in, CarryOut(in));
    if (refused > 0)
      Answer({}, Refusal::Own(std::to_string(refused) + " set messages were not carried out: more than " +
                              std::to_string(kInboxBound) + " waited"));
  }

  Refusal CarryOut(const Incoming& in) {
    const std::string set = args_.prefix + "/set/";
    if (in.retained)
      return Refusal::Own("a retained set message is not carried out (it would be again at every connect)");
    if (in.payload.size() > kLongestPayload) return Refusal::Usage("the payload is longer than a number");
    const std::string value = SetValueText(in.payload);
    const std::string what = in.topic.substr(std::min(set.size(), in.topic.size()));
    const auto slash = what.find('/');
    const std::string kind = what.substr(0, slash), name = slash == std::string::npos ? "" : what.substr(slash + 1);
    if (value.empty() && (kind == "data" || kind == "bit" || kind == "tag"))
      return Refusal::Usage("the payload holds no value: give a number, or {\"value\": NUMBER}");
    if (kind == "data" || kind == "bit") return WriteOne(*link_, name, value, kind == "bit");
    if (kind == "tag") {
      if (!Local()) return Refusal::Usage(kTagsLocal);
      std::int64_t number = 0;
      if (Refusal bad = ParseTagWrite(name, value, number)) return bad;
      std::string written;
      return WriteTagValue(name, number, value, 0, *path_, written);
    }
    return Refusal::Usage("unknown set topic: " + set + "data/ADDRESS, " + set + "bit/ADDRESS or " + set + "tag/NAME");
  }

  // A refusal on PREFIX/error, and on stderr.
  void Answer(const Incoming& in, const Refusal& refusal) {
    if (!refusal) return;
    Refuse(kCommand, Refusal{refusal.kind, refusal.result, refusal.detail,
                             (in.topic.empty() ? "" : in.topic + ": ") + refusal.text});
    mqtt_.PublishError(ErrorPayload(in.topic, refusal));
  }

  // {"topic", "result", "detail", "text", "ts"}: codes null for a refusal
  // of the bridge's own, as in qna's JSON errors.
  static std::string ErrorPayload(const std::string& topic, const Refusal& refusal) {
    const bool codes = refusal.kind == Refusal::Kind::codes;
    return "{\"topic\":" + (topic.empty() ? std::string("null") : JsonString(topic)) +
           ",\"result\":" + (codes ? std::to_string(refusal.result) : "null") +
           ",\"detail\":" + (codes ? std::to_string(refusal.detail) : "null") + ",\"text\":" + JsonString(refusal.text) +
           ",\"ts\":" + JsonString(IsoTime(std::chrono::system_clock::now())) + "}";
  }

  void ReportDropped() {
    if (dropped_ == 0 || !mqtt_.Connected()) return;
    const Refusal dropped = Refusal::Own(std::to_string(dropped_) + " events were dropped: more than " +
                                         std::to_string(args_.max_queued) + " waited for the broker (--max-queued)");
    // Not handed over: said at a later poll, with any dropped meanwhile.
    if (!mqtt_.PublishError(ErrorPayload("", dropped))) return;
    dropped_ = 0;
    Refuse(kCommand, dropped);
  }

  // While the server is away: the broker's news printed, set messages
  // refused rather than carried out late.
  void ServeWhileAway() {
    PrintNotes();
    std::size_t refused = 0;
    for (const Incoming& in : mqtt_.TakeIncoming(refused))
      Answer(in, Refusal::Own("the server is not reachable: nothing written"));
    mqtt_.SendEvents();
    ReportDropped();
  }

  void PrintNotes() {
    for (const std::string& note : mqtt_.TakeNotes()) Note(kCommand, note);
  }

  const BridgeArgs& args_;
  Mqtt& mqtt_;
  std::vector<Feed> feeds_;
  std::vector<BridgeQueue> queues_;
  TakenEvent event_;
  std::uint64_t dropped_ = 0;
  // The present session's, while it polls.
  Link* link_ = nullptr;
  const TagPath* path_ = nullptr;
  Refusal lost_;
  std::string poll_failed_;
  std::int32_t poll_detail_ = 0;
  std::string last_printed_;
};

int RunBridge(const BridgeArgs& args) {
  if (int refused = RefuseTransport(kCommand, args.link, kBridge)) return refused;
  if ((args.all_tags || !args.tags.empty()) && (!args.link.host.empty() || !args.link.tcp.empty()))
    return Usage(kCommand, std::string("--tags and --all-tags are not offered with --host or --tcp: ") + kTagsLocal);
  if (args.watch.empty() && args.bits.empty() && args.tags.empty() && !args.all_tags && args.events.empty() &&
      !args.allow_writes)
    return Usage(kCommand, "nothing to bridge: give --watch, --bits, --tags, --all-tags, --events or --allow-writes");
  if (args.interval == 0) return Usage(kCommand, "--interval must be 1 ms or more");
  if (args.max_queued == 0 || args.max_queued > kMostQueued)
    return Usage(kCommand, "--max-queued takes 1 to " + std::to_string(kMostQueued));
  if (args.keepalive < 5 || args.keepalive > 65535) return Usage(kCommand, "--keepalive takes 5 to 65535 seconds");
  const bool tls = !args.cafile.empty() || !args.capath.empty();
  if (!tls && (!args.cert.empty() || !args.key.empty() || args.insecure))
    return Usage(kCommand, "--cert, --key and --insecure are for TLS: give --cafile or --capath too");
  if (args.username.empty() && (!args.password.empty() || !args.password_file.empty()))
    return Usage(kCommand, "a password goes with --username");
  if (!args.password.empty() && !args.password_file.empty()) return Usage(kCommand, "give --password or --password-file, not both");
  BrokerAddress broker;
  std::string error;
  if (!ParseBroker(args.broker, tls, broker, error)) return Usage(kCommand, error);
  if (args.prefix.empty() || mosquitto_pub_topic_check((args.prefix + "/status").c_str()) != MOSQ_ERR_SUCCESS ||
      mosquitto_sub_topic_check((args.prefix + "/set/#").c_str()) != MOSQ_ERR_SUCCESS)
    return Usage(kCommand, "--prefix '" + args.prefix + "' is no MQTT topic prefix (no '+', '#' or NUL)");

  struct Library {
    Library() { mosquitto_lib_init(); }
    ~Library() { mosquitto_lib_cleanup(); }
  } library;
  Mqtt mqtt(args, broker);
  if (int failed = Refuse(kCommand, mqtt.Setup())) return failed;
  Bridge bridge(args, mqtt);
  if (int failed = Refuse(kCommand, bridge.Plan())) return failed;

  g_stop = false;
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGINT, OnStopSignal);
  std::signal(SIGTERM, OnStopSignal);
  mqtt.Start();
  const int status = bridge.Run();
  mqtt.Stop();
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
  return status;
}

}  // namespace

void AddBridgeCommand(CLI::App& app, Runner& run) {
  auto args = std::make_shared<BridgeArgs>();
  args->link.app = "BRIDGE";
  auto* c = app.add_subcommand("bridge", "Publish watched data, tags and events to an MQTT broker; take writes back with --allow-writes");
  c->add_option("--broker", args->broker, "The broker: HOST or HOST:PORT (port 1883, or 8883 with TLS)")->required();
  c->add_option("--watch", args->watch, "Words to publish: ADDRESS or ADDRESS:COUNT, as CW10:4 (repeatable)")->type_name("RANGE");
  c->add_option("--bits", args->bits, "Bits to publish: BIT or BIT:COUNT, as CB5:8 (repeatable)")->type_name("RANGE");
  c->add_option("--tags", args->tags, "Tags to publish by name (local link only)")->type_name("NAME");
  c->add_flag("--all-tags", args->all_tags, "Publish every usable tag of the project's tag file (local link only)");
  c->add_option("--events", args->events, "Event queues to open and publish (queue numbers)")->type_name("QUEUE");
  c->add_flag("--allow-writes", args->allow_writes, "Carry out writes from PREFIX/set/data/ADDRESS, PREFIX/set/bit/ADDRESS and PREFIX/set/tag/NAME");
  c->add_option("--prefix", args->prefix, "The first level of every topic")->capture_default_str();
  c->add_option("-i,--interval", args->interval, "Milliseconds between polls")->capture_default_str();
  c->add_option("--deadband", args->deadband, "Publish a word or tag only when it moved this much since it was last published (0: any change)")
      ->capture_default_str();
  c->add_option("--max-queued", args->max_queued, "Events kept while the broker is away; more are dropped and counted")
      ->capture_default_str();
  c->add_option("--client-id", args->client_id, "MQTT client id (default: one libmosquitto makes up)");
  c->add_option("--keepalive", args->keepalive, "MQTT keepalive in seconds")->capture_default_str();
  c->add_option("-u,--username", args->username, "MQTT user name");
  c->add_option("-P,--password", args->password, "MQTT password (others on this machine may see it: --password-file is safer)");
  c->add_option("--password-file", args->password_file, "Read the MQTT password from the first line of FILE")->type_name("FILE");
  c->add_option("--cafile", args->cafile, "TLS: the CA certificates to trust (PEM)")->type_name("FILE");
  c->add_option("--capath", args->capath, "TLS: a folder of CA certificates")->type_name("DIR");
  c->add_option("--cert", args->cert, "TLS: this client's certificate (PEM), with --key")->type_name("FILE");
  c->add_option("--key", args->key, "TLS: this client's private key (PEM)")->type_name("FILE");
  c->add_flag("--insecure", args->insecure, "TLS: do not check the broker's host name against its certificate");
  AddLinkOptions(c, args->link, kBridge);
  c->callback([&run, args] { run = [args] { return RunBridge(*args); }; });
}

}  // namespace qna
