// evqueue_peer.h - the event queue tests' fixture, rows and scripted servers.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "evqueue/evqueue.h"
#include "support/family.h"
#include "support/holder.h"

namespace et {

using namespace qt;
using namespace std::chrono_literals;

// A queue family's steps, and a refusal whose payload is dropped.
inline std::vector<Row> CommonRows(std::int32_t first, std::size_t bytes, const Bytes& good) {
  return Rows(StepRows(first, bytes, good), {{"server refuses, payload follows",
                                              {.reply = Reply(10, Bytes(5, 1))}, 10, 0, bytes, After::InStep}});
}

inline Bytes Name12(const char* name) {
  Bytes field(12, 0);
  std::memcpy(field.data(), name, std::strlen(name));
  return field;
}

// The open reply: queue number and the 32-byte pipe name field.
inline Bytes OpenPayload(std::uint32_t queue, const std::string& pipe) {
  Bytes out = Le32({queue});
  Bytes name(32, 0);
  std::memcpy(name.data(), pipe.data(), std::min<std::size_t>(pipe.size(), 32));
  out.insert(out.end(), name.begin(), name.end());
  return out;
}

inline Bytes OpenRequest(std::uint32_t queue, const char* name, std::uint32_t option) {
  return Cat({Le32({28, proto::kEvQueueOpen, 0, queue}), Name12(name), Le32({option})});
}
inline Bytes CloseRequest(std::uint32_t queue) { return Le32({16, proto::kEvQueueClose, 0, queue, 0}); }

// An event record as a server writes it into a per-queue pipe.
inline Bytes EventRecord(std::uint16_t kind, const std::string& name, std::uint32_t value,
                         const Bytes& data, std::uint32_t length_word = 0) {
  Bytes out = Le32({length_word != 0 ? length_word : static_cast<std::uint32_t>(44 + data.size())});
  out.push_back(static_cast<std::uint8_t>(kind));
  out.push_back(static_cast<std::uint8_t>(kind >> 8));
  out.insert(out.end(), 6, 0xCC);
  Bytes field(32, 0);
  std::memcpy(field.data(), name.data(), std::min<std::size_t>(name.size(), 32));
  out.insert(out.end(), field.begin(), field.end());
  Add32(out, value);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

// The server end of the per-queue pipe "\\box\pipe\NAME".
class QueuePipe {
 public:
  explicit QueuePipe(const std::string& name)
      : peer_(Wire::Pipe, ("\\\\box\\pipe\\" + name).c_str(), [this](PeerConn& conn) {
          conn_.store(&conn);
          conn.WaitFinish();
        }) {}
  bool listening() const { return peer_.listening(); }
  bool Accept() { return WaitFor([this] { return conn_.load() != nullptr; }); }
  bool Send(const Bytes& bytes) { return conn_.load()->Send(bytes); }
  void Close() { conn_.load()->Close(); }  // the client end sees the pipe closed

 private:
  std::atomic<PeerConn*> conn_{nullptr};
  Peer peer_;
};

// Opens get queues 7, 8, ... on "evqN"; closes answer `close_result`.
inline std::function<void(PeerConn&)> QueueServer(std::uint32_t close_result = 0) {
  return [close_result](PeerConn& conn) {
    std::uint32_t next = 7;
    for (;;) {
      const Bytes request = conn.ReadRequest();
      if (request.empty()) return;
      const std::uint32_t command = At32(request, 4);
      Bytes reply;
      if (command == proto::kEvQueueOpen) {
        std::uint32_t queue = At32(request, 12);
        if (queue == QNA_EVQ_ANY) queue = next++;
        reply = Reply(0, OpenPayload(queue, "evq" + std::to_string(queue)));
      } else if (command == proto::kEvQueueClose) {
        reply = Reply(close_result);
      } else if (command == proto::kEvQueuePost) {
        reply = Reply(0);
      } else if (command == proto::kEvQueueInfoLast) {
        reply = Reply(0, Le32({16}));
      } else {
        reply = *Answer(request);
      }
      if (!conn.Send(reply)) return;
    }
  };
}

inline std::vector<Bytes> RequestsOf(const Bytes& received, std::uint32_t command) {
  std::vector<Bytes> out;
  for (const Bytes& record : Records(received))
    if (At32(record, 4) == command) out.push_back(record);
  return out;
}

// No queue outlives a test: they close with their connections.
class EvQueueTest : public LibraryTest {
 protected:
  void TearDown() override {
    LibraryTest::TearDown();
    EvQueueFailNextSeam(EvQueueFault::None);
  }
};

}  // namespace et
