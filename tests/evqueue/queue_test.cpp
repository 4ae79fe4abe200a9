// The event queue table, and opens, reads and closes on a scripted server.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "evqueue_peer.h"

namespace {

using namespace et;

using QueueTest = EvQueueTest;

EvQueueEntry Entry(std::uint32_t connection, std::uint32_t queue) {
  EvQueueEntry e{};
  e.handle = EvQueueNextHandle();
  e.connection = connection;
  e.link = Link::OfPipe(kInvalidHandle, false);
  e.queue = queue;
  return e;
}

// An entry goes once, wherever it is; handles are never reused, and skip 0.
TEST_F(QueueTest, HandlesAreNeverReusedOrZero) {
  EvQueueSetHandleCounterSeam(0);
  for (std::uint32_t queue = 10; queue < 13; ++queue) ASSERT_NE(EvQueueAddEntry(Entry(1, queue)), nullptr);
  EXPECT_EQ(EvQueueRemoveEntry(2), 1);
  EXPECT_EQ(EvQueueRemoveEntry(2), 0);
  for (std::uint32_t handle : {1u, 3u}) EXPECT_EQ(EvQueueRemoveEntry(handle), 1);
  EXPECT_EQ(EvQueueNextHandle(), 4u);
  EvQueueSetHandleCounterSeam(0xFFFFFFFEu);
  EXPECT_EQ(EvQueueNextHandle(), 0xFFFFFFFFu);
  EXPECT_EQ(EvQueueNextHandle(), 1u);
}

struct Opened {
  std::uint32_t result = 0;
  std::uint32_t handle = 0;
  std::uint32_t queue = 0;
  bool operator==(const Opened&) const = default;
};
Opened Open(std::uint32_t id, std::uint32_t queue, const char* name = nullptr, std::uint32_t option = 0) {
  Opened o;
  o.result = QNA_OpenEvQueue(id, queue, &o.queue, name, &o.handle, option);
  return o;
}

struct Event {
  std::uint32_t result;
  std::uint16_t kind;
  std::string name;
  std::uint32_t value, length;
  bool operator==(const Event&) const = default;
};
void PrintTo(const Event& e, std::ostream* out) {
  *out << "result " << e.result << " kind " << e.kind << " '" << e.name << "' value " << e.value
       << " length " << e.length;
}
Event Take(std::uint32_t handle, QNA_EVENT& event, std::uint32_t flags = 0) {
  Event out{0, 77, "old", 0, 0};
  char name[32];
  std::memset(name, 'x', sizeof name);
  std::strcpy(name, "old");
  out.result = QNA_ReadEvQueue(handle, &out.kind, name, &event, flags);
  out.name.assign(name, strnlen(name, sizeof name));
  out.value = event.value;
  out.length = event.length;
  return out;
}

// A queue on a connection to the scripted server, its pipe taken.
struct LiveQueue {
  Peer peer;
  Session session{peer};
  QueuePipe pipe;
  Opened q;
  explicit LiveQueue(std::uint32_t number, std::uint32_t close_result = 0)
      : peer(Wire::Pipe, kHostPipe, QueueServer(close_result)),
        pipe("evq" + std::to_string(number)),
        q(Open(session.id(), number)) {}
  bool ok() { return session.ok() && q.result == QNA_OK && pipe.Accept(); }
};

TEST_F(QueueTest, OpenReadClose) {
  EvQueueSetHandleCounterSeam(0);
  Peer peer(Wire::Pipe, kHostPipe, QueueServer());
  Session session(peer);
  ASSERT_TRUE(session.ok());
  QueuePipe pipe5("evq5"), pipe7("evq7"), pipe8("evq8");
  ASSERT_TRUE(pipe5.listening());

  const Opened first = Open(session.id(), 5, "ALARMS", 0x1234);
  ASSERT_EQ(first, (Opened{QNA_OK, 1, 5}));
  ASSERT_TRUE(pipe5.Accept());
  // The same number again: the open entry, nothing sent.
  EXPECT_EQ(Open(session.id(), 5), (Opened{QNA_E_EVQ_OPEN, 1, 5}));
  // Any queue, twice: two requests, two entries.
  const Opened any1 = Open(session.id(), QNA_EVQ_ANY);
  const Opened any2 = Open(session.id(), QNA_EVQ_ANY);
  EXPECT_EQ(any1, (Opened{QNA_OK, 2, 7}));
  EXPECT_EQ(any2, (Opened{QNA_OK, 3, 8}));

  ASSERT_TRUE(pipe5.Send(EventRecord(3, "POSTER", 0xABCD, {1, 2, 3, 4, 5})));
  std::uint8_t data[8] = {};
  QNA_EVENT event{0, sizeof data, data};
  EXPECT_EQ(Take(first.handle, event), (Event{QNA_OK, 3, "POSTER", 0xABCD, 5}));
  EXPECT_EQ(data[4], 5);

  EXPECT_EQ(QNA_CloseEvQueue(first.handle, 0), QNA_OK);
  EXPECT_EQ(QNA_CloseEvQueue(first.handle, 0), QNA_E_EVQ_HANDLE);  // twice
  EXPECT_EQ(QNA_CloseEvQueue(any1.handle, 0), QNA_OK);
  EXPECT_EQ(QNA_CloseEvQueue(any2.handle, 0), QNA_OK);
  // No queue open: no table lock.  A read finds none; a close answers 401.
  EXPECT_EQ(QNA_ReadEvQueue(any2.handle, nullptr, nullptr, &event, 0), QNA_E_EVQ_LOCK);
  EXPECT_EQ(QNA_InternalErr, 6);
  EXPECT_EQ(QNA_CloseEvQueue(any2.handle, 0), QNA_E_EVQ_HANDLE);
  peer.Finish();
  EXPECT_EQ(peer.received(), Cat({OpenRequest(5, "ALARMS", 0x1234), OpenRequest(QNA_EVQ_ANY, "", 0),
                                  OpenRequest(QNA_EVQ_ANY, "", 0), CloseRequest(5), CloseRequest(7),
                                  CloseRequest(8)}));
}

// Every read result from a live queue.
TEST_F(QueueTest, ReadResults) {
  LiveQueue live(4);
  ASSERT_TRUE(live.ok());
  const Opened& q = live.q;
  QueuePipe& pipe = live.pipe;
  std::uint8_t data[4] = {9, 9, 9, 9};

  // Empty, not waiting: 450 at once, kind 0.
  QNA_EVENT event{0, sizeof data, data};
  const auto start = Clock::now();
  const Event empty = Take(q.handle, event, QNA_EVQ_NOWAIT);
  EXPECT_LT(Clock::now() - start, 400ms);
  EXPECT_TRUE(empty.result == QNA_E_EVQ_EMPTY && empty.kind == 0) << ::testing::PrintToString(empty);
  // 44 bytes: no data, no buffer needed, the length as the caller left it.
  ASSERT_TRUE(pipe.Send(EventRecord(1, "", 5, {})));
  QNA_EVENT bare{0, 1234, nullptr};
  EXPECT_EQ(Take(q.handle, bare, QNA_EVQ_NOWAIT), (Event{QNA_OK, 1, "", 5, 1234}));
  // Data beyond the capacity: 451, the event gone; the next one comes.
  ASSERT_TRUE(pipe.Send(Cat({EventRecord(1, "A", 6, Bytes(5, 1)), EventRecord(1, "B", 7, Bytes(4, 2))})));
  event = {0, 4, data};
  EXPECT_EQ(Take(q.handle, event).result, QNA_E_EVQ_SMALL);
  EXPECT_EQ(event.value, 0u);
  EXPECT_EQ(Take(q.handle, event), (Event{QNA_OK, 1, "B", 7, 4}));
  EXPECT_EQ(data[0], 2);
  // Data and no buffer: 452, the event is gone.
  ASSERT_TRUE(pipe.Send(Cat({EventRecord(1, "C", 8, Bytes(2, 3)), EventRecord(1, "D", 9, {})})));
  QNA_EVENT nobuffer{0, 100, nullptr};
  EXPECT_EQ(Take(q.handle, nobuffer).result, QNA_E_EVQ_NOBUFFER);
  EXPECT_EQ(Take(q.handle, nobuffer), (Event{QNA_OK, 1, "D", 9, 100}));
  // A name that fills its 32 bytes: 31 characters and the zero.
  ASSERT_TRUE(pipe.Send(EventRecord(1, std::string(32, 'N'), 10, {})));
  EXPECT_EQ(Take(q.handle, bare).name, std::string(31, 'N'));
  // Events that came in one piece: after the first, a read without waiting gets the rest.
  ASSERT_TRUE(pipe.Send(Cat({EventRecord(1, "E", 11, {}), EventRecord(1, "F", 12, {})})));
  EXPECT_EQ(Take(q.handle, bare).value, 11u);
  EXPECT_EQ(Take(q.handle, bare, QNA_EVQ_NOWAIT), (Event{QNA_OK, 1, "F", 12, 1234}));
  EXPECT_EQ(Take(q.handle, bare, QNA_EVQ_NOWAIT).result, QNA_E_EVQ_EMPTY);
  // No such handle; no descriptor.
  EXPECT_EQ(Take(q.handle + 100, event).result, QNA_E_EVQ_HANDLE);
  EXPECT_EQ(QNA_ReadEvQueue(q.handle, nullptr, nullptr, nullptr, 0), QNA_E_ARG);
}

TEST_F(QueueTest, BrokenRecords) {
  struct Case {
    const char* situation;
    Bytes sent;
    std::int32_t detail;
    bool then_silence = false;  // the server keeps the pipe open and sends nothing more
  };
  const std::vector<Case> cases = {
      {"length word 7, then silence", Le32({7}), 8001, true},
      {"length word 43", EventRecord(1, "", 1, {}, 43), 8001},
      {"length word 0xFFFFFFFF, then silence", Le32({0xFFFFFFFFu}), 8003, true},
      {"length word 0xFFFFFFFF", EventRecord(1, "", 1, {}, 0xFFFFFFFFu), 8003},
      {"length word beyond 44 + 1 MiB", EventRecord(1, "", 1, {}, 44 + (1u << 20) + 1), 8003},
      {"length word 0", Le32({0}), 8001},
      {"two bytes of a length word, then the end", Bytes{0x30, 0}, 8002},
      {"a record cut in its head", Prefix(EventRecord(1, "X", 1, {}), 20), 8002},
      {"a record cut in its data", Prefix(EventRecord(1, "X", 1, Bytes(3, 1)), 49), 8002},
      {"the pipe closed", {}, 109},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    LiveQueue live(4);
    ASSERT_TRUE(live.ok());
    const Opened& q = live.q;
    ASSERT_TRUE(live.pipe.Send(c.sent));
    if (!c.then_silence) live.pipe.Close();
    std::uint8_t data[8];
    QNA_EVENT event{0, sizeof data, data};
    const auto start = Clock::now();
    EXPECT_EQ(QNA_ReadEvQueue(q.handle, nullptr, nullptr, &event, 0), QNA_E_EVQ_READ);
    EXPECT_EQ(QNA_InternalErr, c.detail);
    // What followed cannot be found: the pipe is ended, later reads fail.
    EXPECT_EQ(QNA_ReadEvQueue(q.handle, nullptr, nullptr, &event, 0), QNA_E_EVQ_READ);
    EXPECT_EQ(QNA_InternalErr, 109);
    EXPECT_LT(Clock::now() - start, qt::kPromptly);
  }
}

// Open failures; every failure after the server's open sends a close.
TEST_F(QueueTest, OpenFailures) {
  Peer peer(Wire::Pipe, kHostPipe, QueueServer());
  Session session(peer);
  ASSERT_TRUE(session.ok());
  std::uint32_t handle = 0;
  EXPECT_EQ(QNA_OpenEvQueue(session.id() + 1, 3, nullptr, nullptr, &handle, 0), QNA_E_NOCONN);
  EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, "ABCDEFGHIJKL", &handle, 0), QNA_E_ARG);
  EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, nullptr, nullptr, 0), QNA_E_ARG);
  // Nobody serves "evq3": the pipe's error, the close's result as detail.
  EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, "ABCDEFGHIJK", &handle, 0), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(QNA_InternalErr, 0);
  // The entry's lock, or the entry itself, cannot be made: 400.
  {
    QueuePipe pipe("evq3");
    EvQueueFailNextSeam(EvQueueFault::EntryLock);
    EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, nullptr, &handle, 0), QNA_E_EVQ_CREATE);
    EXPECT_EQ(QNA_InternalErr, 8);
    EvQueueFailNextSeam(EvQueueFault::AddEntry);
    EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, nullptr, &handle, 0), QNA_E_EVQ_CREATE);
    EXPECT_EQ(QNA_InternalErr, 0);
  }
  EXPECT_EQ(EvQueueFirstOfConnection(session.id()), 0u);
  peer.Finish();
  EXPECT_EQ(peer.received(), Cat({OpenRequest(3, "ABCDEFGHIJK", 0), CloseRequest(3), OpenRequest(3, "", 0),
                                  CloseRequest(3), OpenRequest(3, "", 0), CloseRequest(3)}));
}

// The table lock: none made (400); held past 1000 ms (406).
TEST_F(QueueTest, TableLock) {
  Peer peer(Wire::Pipe, kHostPipe, QueueServer());
  Session session(peer);
  ASSERT_TRUE(session.ok());
  std::uint32_t handle = 0;
  // The last close drops the table lock; the next open makes one.
  {
    QueuePipe pipe("evq3");
    const Opened q = Open(session.id(), 3);
    ASSERT_EQ(q.result, QNA_OK);
    ASSERT_EQ(QNA_CloseEvQueue(q.handle, 0), QNA_OK);
  }
  EvQueueFailNextSeam(EvQueueFault::TableLock);
  EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, nullptr, &handle, 0), QNA_E_EVQ_CREATE);
  EXPECT_EQ(QNA_InternalErr, 8);
  QueuePipe pipe("evq3");
  const Opened q = Open(session.id(), 3);
  ASSERT_EQ(q.result, QNA_OK);
  {
    MutexHolder holder(EvQueueTableLockSeam());
    ASSERT_TRUE(holder.taken());
    std::uint8_t data[4];
    QNA_EVENT event{0, 4, data};
    auto start = Clock::now();
    EXPECT_EQ(QNA_ReadEvQueue(q.handle, nullptr, nullptr, &event, QNA_EVQ_NOWAIT), QNA_E_EVQ_BUSY);
    EXPECT_GE(Clock::now() - start, 900ms);
    EXPECT_EQ(QNA_CloseEvQueue(q.handle, 0), QNA_E_EVQ_BUSY);  // the entry stays
    EXPECT_EQ(Open(session.id(), 4).result, QNA_E_EVQ_BUSY);
  }
  EXPECT_EQ(QNA_CloseEvQueue(q.handle, 0), QNA_OK);
}

// Refused ten times, a close drops the handle; connection gone: 50, the entry stays.
TEST_F(QueueTest, CloseResults) {
  {
    LiveQueue refusing(3, 10);
    ASSERT_TRUE(refusing.ok());
    EXPECT_EQ(QNA_CloseEvQueue(refusing.q.handle, 0), 10u);
    EXPECT_EQ(QNA_CloseEvQueue(refusing.q.handle, 0), QNA_E_EVQ_HANDLE);
    refusing.peer.Finish();
    EXPECT_EQ(RequestsOf(refusing.peer.received(), proto::kEvQueueClose).size(), 10u);
  }
  EvQueueEntry orphan = Entry(999, 3);
  ASSERT_NE(EvQueueAddEntry(orphan), nullptr);
  LiveQueue live(3);  // the table lock exists
  ASSERT_TRUE(live.ok());
  EXPECT_EQ(QNA_CloseEvQueue(orphan.handle, 0), QNA_E_NOTOPEN);
  ConnCloseQueues(999);  // gives up on a queue that does not go
  EXPECT_NE(EvQueueFindHandle(orphan.handle), nullptr);
  EXPECT_EQ(EvQueueRemoveEntry(orphan.handle), 1);
}

// A waiting read holds the queue (406); a close ends it (408).
TEST_F(QueueTest, CloseWhileReading) {
  LiveQueue live(6);
  ASSERT_TRUE(live.ok());
  const Opened& q = live.q;
  std::atomic<std::uint32_t> waited{0};
  std::atomic<bool> done{false};
  std::thread reader([&] {
    std::uint8_t data[16];
    QNA_EVENT event{0, sizeof data, data};
    waited = QNA_ReadEvQueue(q.handle, nullptr, nullptr, &event, 0);
    done = true;
  });
  std::this_thread::sleep_for(100ms);
  std::uint8_t data[4];
  QNA_EVENT event{0, 4, data};
  const auto start = Clock::now();
  EXPECT_EQ(QNA_ReadEvQueue(q.handle, nullptr, nullptr, &event, QNA_EVQ_NOWAIT), QNA_E_EVQ_BUSY);
  EXPECT_GE(Clock::now() - start, 450ms);
  EXPECT_FALSE(done);
  EXPECT_EQ(QNA_CloseEvQueue(q.handle, 0), QNA_OK);
  EXPECT_TRUE(qt::WaitFor([&] { return done.load(); }, 10s));
  reader.join();
  EXPECT_EQ(waited, QNA_E_EVQ_READ);
  EXPECT_EQ(EvQueueFindHandle(q.handle), nullptr);
}

// A connection's close closes its queues, oldest first.
TEST_F(QueueTest, ConnectionCloseClosesQueues) {
  {
    Peer peer(Wire::Pipe, kHostPipe, QueueServer());
    Session session(peer);
    QueuePipe p2("evq2"), p9("evq9");
    ASSERT_EQ(Open(session.id(), 9).result, QNA_OK);
    ASSERT_EQ(Open(session.id(), 2).result, QNA_OK);
    ConnTableLock(false);
    ConnCloseQueues(session.id());
    ConnTableUnlock();
    EXPECT_EQ(EvQueueFirstOfConnection(session.id()), 0u);
    peer.Finish();
    EXPECT_EQ(RequestsOf(peer.received(), proto::kEvQueueClose),
              (std::vector<Bytes>{CloseRequest(9), CloseRequest(2)}));
  }
}

// The per-queue pipe name on a host, here, and on the Windows 95 family.
TEST_F(QueueTest, PipeNames) {
  struct Case {
    const char* host;
    std::string field;
    bool emulated;
    std::string name;
  };
  const Case cases[] = {
      {"box", "evq1", false, "\\\\box\\pipe\\evq1"},
      {"", "evq1", false, "\\\\.\\pipe\\evq1"},
      {"", "evq1", true, "\\pipe\\evq1"},
      {"box", "evq1", true, "\\\\box\\pipe\\evq1"},
      {"", std::string(32, 'p'), false, "\\\\.\\pipe\\" + std::string(32, 'p')},
  };
  for (const Case& c : cases) {
    char out[96];
    EvQueuePipeName(c.host, OpenPayload(0, c.field).data() + 4, c.emulated, out, sizeof out);
    EXPECT_EQ(std::string(out), c.name);
  }
  Peer peer(Wire::Pipe, kHostPipe, QueueServer());
  Session session(peer, "");
  ASSERT_TRUE(session.ok());
  win::SetVersionPlatformSeam(1);
  std::uint32_t handle = 0;
  // The emulated pipe cannot be opened (2); the close goes over the link.
  EXPECT_EQ(QNA_OpenEvQueue(session.id(), 3, nullptr, nullptr, &handle, 0), win::ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(QNA_InternalErr, 0);
  // A read of an emulated pipe goes through the emulation's read.
  EvQueueEntry e = Entry(session.id(), 3);
  e.link.kind = LinkKind::Emulated;
  ASSERT_NE(EvQueueAddEntry(e), nullptr);
  EvQueueFindHandle(e.handle)->lock = 0;
  std::uint8_t data[4];
  QNA_EVENT event{0, 4, data};
  g_emulation = 0;
  win::SetVersionPlatformSeam(0);
  EXPECT_EQ(QNA_ReadEvQueue(e.handle, nullptr, nullptr, &event, QNA_EVQ_NOWAIT), QNA_E_EVQ_READ);
  EXPECT_EQ(QNA_InternalErr, static_cast<std::int32_t>(win::ERROR_INVALID_HANDLE));
  EvQueueRemoveEntry(e.handle);
}

}  // namespace
