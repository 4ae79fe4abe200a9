// evqueues.cpp - event queues: opens with a pipe each, posted events
// delivered to every open of the queue, the information requests, and the
// close of a link's opens when the link ends.
//
// Delivery.  Each queue keeps the records of its events in one log, once
// however many opens read them, until every open has delivered them; each
// open has a cursor into the log and a thread of its own that accepts the
// opener on the open's pipe and writes the records from its cursor on, as
// many as fit a batch in one write.  A reader that does not read therefore
// blocks nothing but its own delivery thread.  The log is bounded in bytes:
// beyond the bound the oldest records go, and a reader whose cursor they
// passed is told how many went by a record of kind 2 before the next one it
// gets.
//
// A post is answered once its event is in the pipe of every open whose
// reader is connected and keeps up (their delivery threads were idle), so
// that a client that posts and then reads finds the event waiting; an event
// for a reader that lags or has not connected yet waits in the log.  The
// wait is bounded, so a reader that stops reading costs a poster at most
// that bound, once.  For an open that has delivered everything before it,
// the post's own thread writes the event, as far as the pipe takes it
// without waiting; what does not fit is left to the delivery thread, which
// writes it before anything else.  A reader that keeps up therefore costs a
// post no hand-over between threads, and when every reader of the queue
// keeps up the record goes from the post's buffer into the pipes without
// passing through the log.
//
// Lock rules: g_lock guards the queues (names, opens, logs) and every open's
// cursor, counters, pipe and flags.  A delivery thread holds it only to take
// its next batch or to learn that it is closing; pipe writes, accepts and
// joins happen with it released.  Only the log's lock is taken under it.
#include "server/evqueues.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "core/protocol.h"
#include "platform/platform.h"
#include "server/errors.h"
#include "server/faults.h"
#include "server/log.h"
#include "server/w95link.h"
#include "w95pipe/w95pipe.h"

namespace quonix {
namespace {

using Record = std::vector<std::uint8_t>;

constexpr std::uint16_t kKindPosted = 1;   // an event a client posted
constexpr std::uint16_t kKindDropped = 2;  // value: events dropped before the next one
constexpr std::uint32_t kAcceptSliceMs = 100;
constexpr std::size_t kRecordHead = 48;  // length word and the 44 bytes before the data
// One write takes whole records up to this (or one larger record): a burst
// reaches its reader in few writes.
constexpr std::size_t kBatchBytes = 64u << 10;
// How long a post waits for its event to be written, and how long a write
// may take before its reader counts as lagging (posts then do not wait).
constexpr auto kPostWait = std::chrono::milliseconds(200);
constexpr std::uint32_t kLaggingMs = 10;

struct Open {
  std::uint32_t link = 0;
  std::uint32_t queue = 0;
  std::string pipe_name;  // the name component, as in the open's reply
  Handle listeners[2] = {kInvalidHandle, kInvalidHandle};  // local pipe, host pipe
  // For a link over the emulated pipe: the open's emulated pipe instead of
  // the listeners, made with the open and closed by Finish.
  Handle w95 = kInvalidHandle;
  std::thread thread;
  // Under g_lock:
  Handle pipe = kInvalidHandle;  // the opener's end, once accepted
  bool connected = false;        // the reader has taken its pipe
  std::uint64_t next = 0;        // serial of the next event to deliver
  std::uint64_t next_at = 0;     // its byte position in the queue's log
  std::uint64_t written = 0;     // events before this serial are in the pipe
  bool writing = false;          // the delivery thread, or a post, is in a write
  Record pending;                // the rest of a record a post could not write
  bool lagging = false;          // its last write waited for the reader
  std::uint64_t dropped = 0;
  std::uint64_t delivered = 0;
  bool warned = false;  // the log said that this reader lost events
  bool closing = false;
  bool gone = false;  // the reader's pipe broke: nothing more is kept for it
  std::condition_variable wake;
};

struct Queue {
  std::string name;  // "" when none; dropped with the queue's last open
  std::vector<std::shared_ptr<Open>> opens;  // in order of opening
  // Whole records, oldest first, that some open has yet to deliver.  Events
  // are numbered by serial; `first` is the serial of the log's first record
  // and `first_at` its byte position counted since the start.
  std::deque<std::uint8_t> log;
  std::uint64_t first = 0;
  std::uint64_t first_at = 0;
  std::uint64_t end = 0;  // serial of the next event posted
};

std::mutex g_lock;
std::condition_variable g_written;  // an open's `written`, or its state, changed
std::vector<Queue> g_queues;  // queue number n at index n - 1; never resized after init
std::list<std::shared_ptr<Open>> g_opens;
std::size_t g_bound = std::size_t{32} << 20;
std::string g_host;
std::uint64_t g_serial = 0;

Queue* QueueOf(std::uint32_t number) {
  if (number == 0 || number > g_queues.size()) return nullptr;
  return &g_queues[number - 1];
}

// A name field of `size` bytes: up to its zero; false when there is none.
bool NameField(const std::uint8_t* field, std::size_t size, std::string& out) {
  const auto* end = std::find(field, field + size, std::uint8_t{0});
  if (end == field + size) return false;
  out.assign(reinterpret_cast<const char*>(field), static_cast<std::size_t>(end - field));
  return true;
}

// Writes an event record at the end of `out`.
void PutRecord(Record& out, std::uint16_t kind, const std::string& name, std::uint32_t value,
               const std::uint8_t* data, std::uint32_t length) {
  const std::size_t at = out.size();
  out.resize(at + kRecordHead + length, 0);
  std::uint8_t* record = out.data() + at;
  proto::Put32(record, 44 + length);
  proto::Put16(record + 4, kind);
  std::memcpy(record + 12, name.data(), std::min<std::size_t>(name.size(), 31));
  proto::Put32(record + 44, value);
  if (length != 0) std::memcpy(record + kRecordHead, data, length);
}

// The size of the record at `index` of a log, its length word included.
std::size_t RecordSize(const std::deque<std::uint8_t>& log, std::size_t index) {
  const std::uint8_t word[4] = {log[index], log[index + 1], log[index + 2], log[index + 3]};
  return 4 + std::size_t{proto::Get32(word)};
}

void DropFirst(Queue& queue) {
  const std::size_t size = RecordSize(queue.log, 0);
  queue.log.erase(queue.log.begin(), queue.log.begin() + static_cast<std::ptrdiff_t>(size));
  ++queue.first;
  queue.first_at += size;
}

// Lets the log go up to the first record an open still has to deliver.
void Trim(Queue& queue) {
  std::uint64_t wanted = queue.end;
  for (const auto& open : queue.opens)
    if (!open->gone) wanted = std::min(wanted, open->next);
  if (wanted == queue.end) {
    queue.first_at += queue.log.size();
    queue.first = queue.end;
    // A cleared deque keeps one block for the next record; a fresh one would
    // cost two allocations on every post.  The memory of a backlog goes back.
    if (queue.log.size() > kBatchBytes)
      std::deque<std::uint8_t>().swap(queue.log);
    else
      queue.log.clear();
    return;
  }
  while (queue.first < wanted) DropFirst(queue);
}

bool WriteAll(Handle pipe, const Record& record) {
  const std::uint8_t* at = record.data();
  std::size_t left = record.size();
  while (left > 0) {
    std::uint32_t put = 0;
    if (PipeWriteRaw(pipe, at, static_cast<std::uint32_t>(left), &put) != 0 || put == 0) return false;
    at += put;
    left -= put;
  }
  return true;
}

// Accepts the opener on one of the open's pipes; kInvalidHandle when the
// open closed first.
Handle AcceptOpener(Open* open) {
  for (;;) {
    for (Handle listener : open->listeners) {
      if (listener == kInvalidHandle) continue;
      {
        std::lock_guard guard(g_lock);
        if (open->closing) return kInvalidHandle;
      }
      const Handle pipe = NpipeAccept(listener, kAcceptSliceMs);
      if (pipe != kInvalidHandle) return pipe;
      if (win::GetLastError() != win::WAIT_TIMEOUT) SysSleep(kAcceptSliceMs);
    }
  }
}

// Writes a record through the emulated pipe, waiting while it is full;
// false once the reader has gone or the open was cut.
bool W95WriteAll(Handle pipe, const Record& record) {
  const W95Link link{pipe};
  const std::uint8_t* at = record.data();
  std::size_t left = record.size();
  while (left > 0) {
    std::uint32_t put = 0;
    if (!link.Write(at, static_cast<std::uint32_t>(left), put)) return false;
    at += put;
    left -= put;
  }
  return true;
}

// Takes the open's next batch from its queue's log into `batch`: a record of
// kind 2 first when events it had not delivered were dropped, then whole
// records up to kBatchBytes.  Under g_lock.
void TakeBatch(Open& open, Queue& queue, Record& batch) {
  batch.clear();
  if (open.next < queue.first) {
    const std::uint64_t lost = queue.first - open.next;
    open.dropped += lost;
    open.next = queue.first;
    open.next_at = queue.first_at;
    PutRecord(batch, kKindDropped, "", static_cast<std::uint32_t>(std::min<std::uint64_t>(lost, 0xFFFFFFFFu)),
              nullptr, 0);
  }
  std::size_t index = static_cast<std::size_t>(open.next_at - queue.first_at);
  while (open.next < queue.end) {
    const std::size_t size = RecordSize(queue.log, index);
    if (!batch.empty() && batch.size() + size > kBatchBytes) break;
    const auto from = queue.log.begin() + static_cast<std::ptrdiff_t>(index);
    batch.insert(batch.end(), from, from + static_cast<std::ptrdiff_t>(size));
    index += size;
    ++open.next;
    ++open.delivered;
  }
  open.next_at = queue.first_at + index;
}

void Deliver(Open* open) {
  const bool emulated = open->w95 != kInvalidHandle;
  const Handle pipe = emulated ? (W95QueueAccept(open->w95) ? open->w95 : kInvalidHandle)
                               : AcceptOpener(open);
  if (pipe == kInvalidHandle) return;
  {
    std::lock_guard guard(g_lock);
    if (open->closing) {
      if (!emulated) HndClose(pipe);
      return;
    }
    if (!emulated) open->pipe = pipe;
    open->connected = true;
  }
  // One reader per open: nobody else may connect to its pipe.
  for (Handle& listener : open->listeners) {
    if (listener != kInvalidHandle) HndClose(listener);
    listener = kInvalidHandle;
  }
  Queue& queue = *QueueOf(open->queue);
  Record batch;
  for (;;) {
    std::uint64_t upto = 0;
    {
      std::unique_lock lock(g_lock);
      // With --fault-stall-evqueues nothing is delivered: the events wait
      // (and the oldest are dropped) as for a reader that does not read.
      open->wake.wait(lock, [&] {
        return open->closing ||
               (!open->writing &&
                (!open->pending.empty() || (!FaultEvQueuesStalled() && open->next < queue.end)));
      });
      if (open->closing) return;
      if (open->pending.empty())
        TakeBatch(*open, queue, batch);
      else
        batch.swap(open->pending), open->pending.clear();
      upto = open->next;
      open->writing = true;
      Trim(queue);
    }
    const std::uint32_t began = SysTickMs();
    const bool ok = emulated ? W95WriteAll(pipe, batch) : WriteAll(pipe, batch);
    std::lock_guard guard(g_lock);
    open->writing = false;
    open->lagging = SysTickMs() - began >= kLaggingMs;
    open->written = upto;
    if (!ok) open->gone = true;
    g_written.notify_all();
    if (!ok) {
      Trim(queue);
      return;
    }
  }
}

// Takes an open out of its queue and the table (under g_lock); the caller
// then ends it with Finish, without the lock.
std::shared_ptr<Open> Detach(Open* open) {
  Queue* queue = QueueOf(open->queue);
  if (queue != nullptr) {
    std::erase_if(queue->opens, [open](const auto& o) { return o.get() == open; });
    if (queue->opens.empty()) queue->name.clear();
    Trim(*queue);
  }
  open->closing = true;
  open->wake.notify_all();
  g_written.notify_all();
  // Wakes a delivery blocked in a write to a reader that does not read.
  if (open->pipe != kInvalidHandle) NpipeDisconnect(open->pipe);
  if (open->w95 != kInvalidHandle) W95NpipeCut(open->w95);
  for (auto it = g_opens.begin(); it != g_opens.end(); ++it) {
    if (it->get() == open) {
      std::shared_ptr<Open> owned = std::move(*it);
      g_opens.erase(it);
      return owned;
    }
  }
  return nullptr;
}

void Finish(const std::shared_ptr<Open>& open) {
  if (!open) return;
  if (open->thread.joinable()) open->thread.join();
  {
    // A post may still be in its write to the open's pipe.
    std::unique_lock lock(g_lock);
    g_written.wait(lock, [&] { return !open->writing; });
  }
  for (Handle listener : open->listeners)
    if (listener != kInvalidHandle) HndClose(listener);
  if (open->pipe != kInvalidHandle) HndClose(open->pipe);
  if (open->w95 != kInvalidHandle) W95NpipeClose(open->w95);
  Log("evqueue %u: closed for link %u (%llu delivered, %llu dropped)", open->queue, open->link,
      static_cast<unsigned long long>(open->delivered),
      static_cast<unsigned long long>(open->dropped));
}

Open* OpenOf(std::uint32_t link, std::uint32_t queue) {
  for (const auto& open : g_opens)
    if (open->link == link && open->queue == queue) return open.get();
  return nullptr;
}

// The queue an open of any queue gets: with a name, the first queue that
// bears it; else (or when none does) the first queue that nobody has open.
Queue* AnyQueue(const std::string& name) {
  if (!name.empty())
    for (Queue& q : g_queues)
      if (q.name == name) return &q;
  for (Queue& q : g_queues)
    if (q.opens.empty()) return &q;
  return nullptr;
}

std::uint32_t NumberOf(const Queue* queue) {
  return static_cast<std::uint32_t>(queue - g_queues.data()) + 1;
}

}  // namespace

void EvQueuesInit(std::uint32_t count, std::size_t bound_bytes, const std::string& host) {
  std::lock_guard guard(g_lock);
  g_queues.assign(count, Queue{});
  g_bound = bound_bytes;
  g_host = host;
}

void EvQueuesStop() {
  std::vector<std::shared_ptr<Open>> all;
  {
    std::lock_guard guard(g_lock);
    while (!g_opens.empty()) all.push_back(Detach(g_opens.front().get()));
  }
  for (const auto& open : all) Finish(open);
}

void EvQueuesCloseLink(std::uint32_t link) {
  std::vector<std::shared_ptr<Open>> ended;
  {
    std::lock_guard guard(g_lock);
    std::vector<Open*> mine;
    for (const auto& open : g_opens)
      if (open->link == link) mine.push_back(open.get());
    for (Open* open : mine) ended.push_back(Detach(open));
  }
  for (const auto& open : ended) Finish(open);
}

Reply HandleEvQueueOpen(const Request& request, const LinkState& link) {
  if (request.body.size() != 20) return Refuse(kRange, "evqueue open: layout");
  const std::uint32_t number = proto::Get32(request.body.data());
  std::string name;
  if (!NameField(request.body.data() + 4, 12, name))
    return Refuse(kRange, "evqueue open: name without its zero");

  std::lock_guard guard(g_lock);
  Queue* queue = number == kAnyQueue ? AnyQueue(name) : QueueOf(number);
  if (queue == nullptr)
    return number == kAnyQueue ? Refuse(kNoFreeQueue, "evqueue open: no queue free")
                               : Refuse(kNoSuchQueue, "evqueue open: no queue " + std::to_string(number));
  const std::uint32_t assigned = NumberOf(queue);
  if (OpenOf(link.id, assigned) != nullptr)
    return Refuse(kOpenOnLink, "evqueue open: queue " + std::to_string(assigned) + " already open on this link");
  if (!name.empty() && !queue->name.empty() && queue->name != name)
    return Refuse(kOtherName, "evqueue open: queue " + std::to_string(assigned) + " is named '" +
                                  queue->name + "', not '" + name + "'");
  if (queue->opens.size() >= kMaxOpensPerQueue || g_opens.size() >= kMaxOpens)
    return Refuse(kTooManyOpens, "evqueue open: no room for another open of queue " + std::to_string(assigned));

  auto open = std::make_shared<Open>();
  open->link = link.id;
  open->queue = assigned;
  // It gets the events posted from now on.
  open->next = open->written = queue->end;
  open->next_at = queue->first_at + queue->log.size();
  // Unique in the root: this server's process id and a serial number.
  open->pipe_name = "qoxevq." + std::to_string(SysProcessId()) + "." + std::to_string(++g_serial);
  const std::string local = "\\\\.\\pipe\\" + open->pipe_name;
  if (link.emulated) {
    // The client is on the Windows 95 family and opens the pipe through
    // the emulation, always on this machine.
    open->w95 = W95QueuePipeCreate(local);
    if (open->w95 == kInvalidHandle)
      return Refuse(kNoQueuePipe, "evqueue open: cannot create the emulated pipe " + local +
                                      ": " + ErrorText(win::GetLastError()));
  } else {
    open->listeners[0] = NpipeListen(local.c_str());
  }
  if (!link.emulated && !g_host.empty()) {
    const std::string hosted = "\\\\" + g_host + "\\pipe\\" + open->pipe_name;
    open->listeners[1] = NpipeListen(hosted.c_str());
  }
  if (!link.emulated &&
      (open->listeners[0] == kInvalidHandle || (!g_host.empty() && open->listeners[1] == kInvalidHandle))) {
    const auto error = win::GetLastError();
    for (Handle listener : open->listeners)
      if (listener != kInvalidHandle) HndClose(listener);
    return Refuse(kNoQueuePipe, "evqueue open: cannot listen on " + local + ": " + ErrorText(error));
  }
  Open* added = open.get();
  try {
    added->thread = std::thread(Deliver, added);
  } catch (const std::system_error& e) {
    for (Handle listener : added->listeners)
      if (listener != kInvalidHandle) HndClose(listener);
    if (added->w95 != kInvalidHandle) W95NpipeClose(added->w95);
    return Refuse(kNoQueuePipe, std::string("evqueue open: no thread for it (") + e.what() + ")");
  }
  queue->opens.push_back(open);
  g_opens.push_back(std::move(open));
  if (queue->name.empty()) queue->name = name;
  Log("evqueue %u: open for link %u on \\\\.\\pipe\\%s%s%s", assigned, link.id,
      added->pipe_name.c_str(), queue->name.empty() ? "" : ", name ", queue->name.c_str());

  Reply reply;
  reply.payload.assign(36, 0);
  proto::Put32(reply.payload.data(), assigned);
  std::memcpy(reply.payload.data() + 4, added->pipe_name.data(), std::min<std::size_t>(added->pipe_name.size(), 31));
  return reply;
}

Reply HandleEvQueueClose(const Request& request, const LinkState& link) {
  if (request.body.size() != 8) return Refuse(kRange, "evqueue close: layout");
  const std::uint32_t number = proto::Get32(request.body.data());
  std::shared_ptr<Open> ended;
  {
    std::lock_guard guard(g_lock);
    Open* open = OpenOf(link.id, number);
    if (open == nullptr)
      return Refuse(kNotOpenOnLink, "evqueue close: queue " + std::to_string(number) + " not open on this link");
    ended = Detach(open);
  }
  Finish(ended);
  return Reply{};
}

// A post writes its event itself to an open that has delivered everything
// before it (see the top of the file): as much as its pipe takes now, the
// rest through the delivery thread.  Called and returns with g_lock held
// (released for the write); the open counts as writing meanwhile, so no
// other write can come between.
void WriteNow(Open& open, Queue& queue, std::unique_lock<std::mutex>& lock) {
  Record batch;
  TakeBatch(open, queue, batch);
  const std::uint64_t upto = open.next;
  const Handle pipe = open.pipe;
  open.writing = true;
  Trim(queue);
  lock.unlock();
  std::uint32_t put = 0;
  const bool ok = PipeWriteNow(pipe, batch.data(), static_cast<std::uint32_t>(batch.size()), &put) == 0;
  lock.lock();
  open.writing = false;
  if (!ok) {
    open.gone = true;
    Trim(queue);
  } else if (put < batch.size()) {
    // The reader does not take its events as they come: it lags, and posts
    // do not wait for it until its delivery thread has caught up.
    open.pending.assign(batch.begin() + put, batch.end());
    open.lagging = true;
  }
  if (!ok || put == batch.size()) open.written = upto;
  g_written.notify_all();
}

// Whether a post may write its event to `open` itself: the reader has taken
// its pipe and everything before the event, and nothing else is writing.
bool WritesNow(const Open& open, std::uint64_t serial) {
  return open.connected && !open.closing && !open.writing && !open.lagging && open.pending.empty() &&
         open.w95 == kInvalidHandle && open.next == serial;
}

// The post of an event that every reader of the queue takes at once (see
// WritesNow), the common case: the record goes from the post's buffer
// straight into each pipe and never into the log.  Called with g_lock held
// and the event's serial taken; returns with it held.  Each open counts as
// writing until its write is done, which keeps it (and its pipe) from a
// close meanwhile (Finish waits for that).
void PostDirect(Queue& queue, const Record& record, std::unique_lock<std::mutex>& lock) {
  // Only the first `count` of each are set (and used).
  std::array<Open*, kMaxOpensPerQueue> targets;
  std::array<Handle, kMaxOpensPerQueue> pipes;
  std::size_t count = 0;
  for (const auto& open : queue.opens) {
    if (open->gone) continue;
    open->writing = true;
    ++open->next;
    open->next_at += record.size();
    ++open->delivered;
    pipes[count] = open->pipe;
    targets[count++] = open.get();
  }
  // The log has nothing before the event, and the event is delivered.
  queue.first = queue.end;
  queue.first_at += record.size();
  const auto size = static_cast<std::uint32_t>(record.size());
  std::array<std::uint32_t, kMaxOpensPerQueue> put;
  std::array<bool, kMaxOpensPerQueue> ok;
  lock.unlock();
  for (std::size_t i = 0; i < count; ++i)
    ok[i] = PipeWriteNow(pipes[i], record.data(), size, &put[i]) == 0;
  lock.lock();
  bool lost = false;
  for (std::size_t i = 0; i < count; ++i) {
    Open& open = *targets[i];
    open.writing = false;
    if (!ok[i]) {
      open.gone = true;
      lost = true;
    } else if (put[i] < size) {
      // The pipe is full: the reader lags, and its delivery thread writes
      // the rest before anything else.
      open.pending.assign(record.begin() + put[i], record.end());
      open.lagging = true;
    }
    if (!ok[i] || put[i] == size) open.written = open.next;
    // Work for the delivery thread: the rest of this record, or events that
    // posts made while this one was writing.
    if (!open.pending.empty() || open.next < queue.end) open.wake.notify_all();
  }
  if (lost) Trim(queue);
  g_written.notify_all();
}

Reply HandleEvQueuePost(const Request& request, const LinkState& link) {
  if (request.body.size() < 12) return Refuse(kRange, "evqueue post: layout");
  const std::uint32_t number = proto::Get32(request.body.data());
  const std::uint32_t value = proto::Get32(request.body.data() + 4);
  const std::uint32_t length = proto::Get32(request.body.data() + 8);
  if (request.body.size() != 12 + std::uint64_t{length} || length > kMaxEventData)
    return Refuse(kRange, "evqueue post: data length " + std::to_string(length) + " does not fit");
  // The record carries the poster's application name.  Each link thread
  // builds its records in a buffer of its own, kept from post to post.
  thread_local Record t_record;
  Record& record = t_record;
  record.clear();
  PutRecord(record, kKindPosted, link.app, value, request.body.data() + 12, length);
  // A record of unusual size is not kept beyond its post.
  struct Shrink {
    Record& record;
    ~Shrink() {
      if (record.capacity() > kBatchBytes) Record().swap(record);
    }
  } shrink{record};
  std::unique_lock lock(g_lock);
  Queue* queue = QueueOf(number);
  if (queue == nullptr) return Refuse(kNoSuchQueue, "evqueue post: no queue " + std::to_string(number));
  // Nobody has the queue open (or every reader went): nobody is to get it.
  if (std::all_of(queue->opens.begin(), queue->opens.end(), [](const auto& o) { return o->gone; }))
    return Reply{};
  const std::uint64_t serial = queue->end++;
  if (queue->first == serial && !FaultEvQueuesStalled() && queue->opens.size() <= kMaxOpensPerQueue &&
      std::all_of(queue->opens.begin(), queue->opens.end(),
                  [serial](const auto& o) { return o->gone || WritesNow(*o, serial); })) {
    PostDirect(*queue, record, lock);
    return Reply{};
  }
  queue->log.insert(queue->log.end(), record.begin(), record.end());
  // The newest event always stays, even one larger than the bound.
  while (queue->log.size() > g_bound && queue->first < serial) DropFirst(*queue);
  std::vector<std::shared_ptr<Open>> keeping_up;
  // A copy: a write below lets go of the lock, and opens may close meanwhile.
  const std::vector<std::shared_ptr<Open>> opens = queue->opens;
  for (const auto& open : opens) {
    if (open->gone || open->closing) continue;
    if (open->next < queue->first && !open->warned) {
      open->warned = true;
      Log("evqueue %u: the reader of link %u does not keep up; oldest events dropped", number,
          open->link);
    }
    if (open->connected && !open->writing && !open->lagging && !FaultEvQueuesStalled()) {
      keeping_up.push_back(open);
      if (open->next == serial && open->pending.empty() && open->w95 == kInvalidHandle)
        WriteNow(*open, *queue, lock);
    }
    // Woken only with work to do: a wake for nothing costs two switches.
    if (!open->pending.empty() || open->next < queue->end) open->wake.notify_all();
  }
  g_written.wait_for(lock, kPostWait, [&] {
    return std::all_of(keeping_up.begin(), keeping_up.end(), [serial](const auto& open) {
      return open->written > serial || open->gone || open->closing || open->lagging;
    });
  });
  return Reply{};
}

Reply HandleEvQueueCount(const Request& request) {
  const bool named = request.command == proto::kEvQueueInfoFirst;
  if (request.body.size() != (named ? 16u : 4u)) return Refuse(kRange, "evqueue count: layout");
  std::string name;
  if (named && !NameField(request.body.data(), 12, name))
    return Refuse(kRange, "evqueue count: name without its zero");
  const std::uint32_t list_word = proto::Get32(request.body.data() + (named ? 12 : 0));
  std::vector<std::uint32_t> numbers;
  {
    std::lock_guard guard(g_lock);
    for (const Queue& q : g_queues) {
      bool counted = false;
      if (named)
        counted = name.empty() ? !q.name.empty() : q.name == name;
      else if (request.command == proto::kEvQueueInfoFirst + 1)
        counted = q.opens.empty();
      else
        counted = !q.opens.empty();
      if (counted) numbers.push_back(NumberOf(&q));
    }
  }
  // The list word is the most entries the caller's list holds.
  const auto count = static_cast<std::uint32_t>(numbers.size());
  const std::uint32_t listed = std::min(count, list_word);
  Reply reply;
  reply.payload.resize(8 + 4 * std::size_t{listed});
  proto::Put32(reply.payload.data(), count);
  proto::Put32(reply.payload.data() + 4, listed);
  for (std::uint32_t i = 0; i < listed; ++i) proto::Put32(reply.payload.data() + 8 + 4 * std::size_t{i}, numbers[i]);
  return reply;
}

Reply HandleEvQueueName(const Request& request) {
  if (request.body.size() != 4) return Refuse(kRange, "evqueue name: layout");
  const std::uint32_t number = proto::Get32(request.body.data());
  std::lock_guard guard(g_lock);
  const Queue* queue = QueueOf(number);
  if (queue == nullptr) return Refuse(kNoSuchQueue, "evqueue name: no queue " + std::to_string(number));
  Reply reply;
  reply.payload.assign(9, 0);  // at most 8 characters and the zero
  std::memcpy(reply.payload.data(), queue->name.data(), std::min<std::size_t>(queue->name.size(), 8));
  return reply;
}

Reply HandleEvQueueMax(const Request& request) {
  if (!request.body.empty()) return Refuse(kRange, "evqueue maximum: layout");
  std::lock_guard guard(g_lock);
  Reply reply;
  reply.payload.resize(4);
  proto::Put32(reply.payload.data(), static_cast<std::uint32_t>(g_queues.size()));
  return reply;
}

}  // namespace quonix
