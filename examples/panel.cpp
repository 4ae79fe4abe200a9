// panel.cpp - a small C++ application: an operator panel that opens its own
// connection, listens on an event queue, and reads the values an event
// points to.  The library is plain C; RAII keeps every handle closed.
//
// Run it while a server runs: build/release/examples/example_cpp
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

#include "qnapi.h"
#include "qnapi_text.h"

namespace {

std::string Text(std::uint32_t result) {
  char text[160];
  QNA_ResultText(result, QNA_InternalErr, text, sizeof text);
  return text;
}

// A pipe connection to the local server, closed by the destructor.
class Connection {
 public:
  explicit Connection(const char* name) {
    QNA_CONNPARAM params{};
    std::snprintf(params.name, sizeof params.name, "%s", name);
    result_ = QNA_OpenN(&params, &id_);
  }
  ~Connection() {
    if (result_ == 0) QNA_CloseN(id_);
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  std::uint32_t result() const { return result_; }
  std::uint32_t id() const { return id_; }

  std::uint32_t Read(std::uint32_t area, std::uint32_t start, std::span<std::uint16_t> out) const {
    return QNA_ReadN(area, start, static_cast<std::uint32_t>(out.size()), out.data(), 0, id_);
  }
  std::uint32_t Write(std::uint32_t area, std::uint32_t start, std::span<const std::uint16_t> in) const {
    return QNA_WriteN(area, start, static_cast<std::uint32_t>(in.size()), in.data(), 0, id_);
  }

 private:
  std::uint32_t id_ = 0;
  std::uint32_t result_ = QNA_E_OPEN;
};

// An open event queue, closed by the destructor.
class Queue {
 public:
  Queue(const Connection& connection, const char* name) {
    result_ = QNA_OpenEvQueue(connection.id(), QNA_EVQ_ANY, &number_, name, &handle_, 0);
  }
  ~Queue() {
    if (result_ == 0) QNA_CloseEvQueue(handle_, 0);
  }
  Queue(const Queue&) = delete;
  Queue& operator=(const Queue&) = delete;
  std::uint32_t result() const { return result_; }
  std::uint32_t number() const { return number_; }

  // Waits at most about `ms` for the next event.
  std::uint32_t Next(QNA_EVENT& event, std::uint32_t ms) const {
    const std::uint32_t capacity = event.length;
    for (std::uint32_t waited = 0;; waited += 10) {
      event.length = capacity;
      const std::uint32_t r = QNA_ReadEvQueue(handle_, nullptr, nullptr, &event, QNA_EVQ_NOWAIT);
      if (r != QNA_E_EVQ_EMPTY || waited >= ms) return r;
      QNA_Sleep(10);
    }
  }

 private:
  std::uint32_t number_ = 0;
  std::uint32_t handle_ = 0;
  std::uint32_t result_ = QNA_E_EVQ_HANDLE;
};

}  // namespace

int main() {
  Connection panel("PANEL");
  if (panel.result() != 0) {
    std::fprintf(stderr, "panel: connect: %s\n", Text(panel.result()).c_str());
    return 1;
  }
  Queue alarms(panel, "ALARMS");
  if (alarms.result() != 0) {
    std::fprintf(stderr, "panel: event queue: %s\n", Text(alarms.result()).c_str());
    return 1;
  }
  std::printf("listening on event queue %u\n", alarms.number());

  // The plant side: values in CW30..31, then an event that points at them.
  const std::uint16_t values[] = {950, 88};
  const char where[] = "CW30";
  QNA_EVENT posted{2, sizeof where - 1, const_cast<char*>(where)};
  std::uint32_t r = panel.Write(1, 30, values);
  if (r == 0) r = QNA_WriteEvQueue(panel.id(), alarms.number(), &posted);
  if (r != 0) {
    std::fprintf(stderr, "panel: post: %s\n", Text(r).c_str());
    return 1;
  }

  char data[64] = {};
  QNA_EVENT event{0, sizeof data - 1, data};
  r = alarms.Next(event, 5000);
  if (r != 0) {
    std::fprintf(stderr, "panel: event: %s\n", Text(r).c_str());
    return 1;
  }
  std::uint16_t read[2] = {};
  r = panel.Read(1, 30, read);
  if (r != 0) {
    std::fprintf(stderr, "panel: read: %s\n", Text(r).c_str());
    return 1;
  }
  std::printf("event %u about %.*s: %u %u\n", event.value, static_cast<int>(event.length), data, read[0], read[1]);
  const bool good = event.value == 2 && read[0] == 950 && read[1] == 88;
  std::printf(good ? "panel: all good\n" : "panel: wrong values\n");
  return good ? 0 : 1;
}
