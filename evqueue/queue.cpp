// queue.cpp - the event queue operations: QNA_OpenEvQueue, QNA_CloseEvQueue,
// QNA_ReadEvQueue and QNA_WriteEvQueue, and the three requests they send.
//
// Lock rules: those of evqueue.h.  Open and close hold the table lock for
// their whole run and take the connection's request lock inside it for each
// request.  A read holds the table lock only to find the entry and take a
// reference to it, then the entry's own lock, alone, for the pipe read.  A
// write takes only the connection's request lock.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <optional>

#include "evqueue/evqueue.h"
#include "platform/platform.h"

// ---- The requests ------------------------------------------------------------------

std::uint32_t EvQueueRequestOpen(const ConnRecord& connection, std::uint32_t queue,
                                 const std::uint8_t (&name)[12], std::uint32_t option,
                                 std::uint8_t (&reply)[kEvOpenReply]) {
  return ConnExchange(connection, connection.kind, LockFailure::EvQueue, [&](auto& link) {
    return EvQueueOpenExchange(link, queue, name, option, reply);
  });
}

std::uint32_t EvQueueRequestClose(const ConnRecord& connection, std::uint32_t queue) {
  return ConnExchange(connection, connection.kind, LockFailure::EvQueue,
                             [&](auto& link) { return EvQueueCloseExchange(link, queue); });
}

std::uint32_t EvQueueRequestPost(const ConnRecord& connection, std::uint32_t queue,
                                 std::uint32_t value, std::uint32_t length, const void* data) {
  return ConnExchange(connection, connection.kind, LockFailure::EvQueue, [&](auto& link) {
    return EvQueuePostExchange(link, queue, value, length, data);
  });
}

void EvQueuePipeName(const char* host, const std::uint8_t* reply_name, bool emulation, char* out,
                     std::size_t size) {
  // The reply's 32 bytes end at their first zero, or hold 32 characters.
  char pipe[33] = {};
  std::memcpy(pipe, reply_name, 32);
  if (host != nullptr && host[0] != '\0')
    std::snprintf(out, size, "\\\\%s\\pipe\\%s", host, pipe);
  else
    std::snprintf(out, size, "\\\\.\\pipe\\%s", pipe);
  if (emulation) LinkStripLocal(out);
}

namespace {

constexpr win::DWORD kErrorInvalidName = 123;  // ERROR_INVALID_NAME

// Waits for the table lock: 0 when held, else 406 or 499 (with the error).
std::uint32_t TakeTable(bool opening) {
  const int waited = EvQueueTableWait(kEvTableTimeoutMs, opening);
  if (waited == kWaitOk) return QNA_OK;
  if (waited == kWaitTimeout) return QNA_E_EVQ_BUSY;
  SetDetail(static_cast<std::int32_t>(win::GetLastError()));
  return QNA_E_EVQ_LOCK;
}

// Releases the table lock at the end of a scope that holds it.
struct TableHold {
  TableHold() = default;
  TableHold(const TableHold&) = delete;
  TableHold& operator=(const TableHold&) = delete;
  ~TableHold() { EvQueueTableRelease(); }
};

// Keeps one reference to an entry for a scope.
struct EntryRef {
  explicit EntryRef(EvQueueEntry* e) : entry(e) {}
  EntryRef(const EntryRef&) = delete;
  EntryRef& operator=(const EntryRef&) = delete;
  ~EntryRef() { EvQueueRelease(entry); }
  EvQueueEntry* entry;
};

// Holds an entry's lock for a scope: through its pin where it has one, else
// as any mutex (none: nothing to take).  An abandoned lock is given back at
// once and reported (95).
class EntryLockHold {
 public:
  explicit EntryLockHold(const EvQueueEntry& entry) : pin_(entry.lock_pin) {
    if (pin_ == nullptr) {
      hold_.emplace(entry.lock, kEvQueueLockTimeoutMs);
      outcome_ = hold_->outcome();
      return;
    }
    outcome_ = EvQueuePinWait(pin_, kEvQueueLockTimeoutMs);
    if (outcome_ == kWaitAbandoned) MtxPinRelease(pin_);
  }
  ~EntryLockHold() {
    if (pin_ != nullptr && outcome_ == kWaitOk) MtxPinRelease(pin_);
  }
  EntryLockHold(const EntryLockHold&) = delete;
  EntryLockHold& operator=(const EntryLockHold&) = delete;
  int outcome() const { return outcome_; }

 private:
  MutexPin pin_;
  std::optional<MutexHold> hold_;
  int outcome_ = kWaitOk;
};

win::DWORD LastError() {
  const win::DWORD error = win::GetLastError();
  return error != 0 ? error : win::ERROR_INVALID_HANDLE;  // a failure never reads as success
}

// A pipe name from a server goes between backslashes: it must be one plain
// component, or the name formed from it would lead to another host or folder.
bool PlainPipeName(const std::uint8_t* name) {
  if (name[0] == 0) return false;
  for (int i = 0; i < 32 && name[i] != 0; ++i)
    if (name[i] == '\\' || name[i] == '/' || name[i] < ' ') return false;
  return true;
}

// A read that lost its place in the pipe (a record that cannot be one, or
// one cut off) ends the queue's pipe: later reads fail with 109 instead of
// taking bytes from the middle of a record for a length word.  Under the
// entry's lock.
void CutPipe(EvQueueEntry& entry) {
  entry.broken = true;
  entry.ahead_begin = entry.ahead_end = 0;
  entry.link.Cut();
}

// An entry's pipe as a reader for the exchange's helpers: the entry's link,
// with the event queue's account of a failure.  ReadAll and ReadAtLeast fail
// (-1) only when the pipe failed before any byte came (`error` says why: an
// emulated pipe that reports 0 bytes has been closed by the server, 109);
// one that ended part way gives 0 and fewer bytes.  Cut ends the pipe
// (CutPipe).
//
// Bytes come from what an earlier read took ahead first.  A small read of a
// real pipe takes whatever has come, up to kEvReadAhead, and keeps the rest
// for the next; a large one, and any read of an emulated pipe (whose read
// waits until it has every byte asked), reads only what was asked.
struct EventPipe {
  EvQueueEntry& entry;
  std::int32_t error = 0;

  int ReadAll(std::uint8_t* at, std::uint32_t count, std::uint32_t* done) {
    return ReadAtLeast(at, count, count, done);
  }
  int ReadAtLeast(std::uint8_t* at, std::uint32_t least, std::uint32_t most,
                  std::uint32_t* done) {
    *done = TakeAhead(at, most);
    if (*done >= least) return 0;
    int rc = 0;
    if (entry.link.kind == LinkKind::Pipe && most - *done < kEvReadAhead) {
      rc = FillAhead(least - *done);
      *done += TakeAhead(at + *done, most - *done);
    } else {
      std::uint32_t got = 0;
      rc = entry.link.ReadAtLeast(at + *done, least - *done, most - *done, &got);
      *done += got;
    }
    if (rc == 0) return 0;
    error = static_cast<std::int32_t>(LastError());
    return *done == 0 ? -1 : 0;
  }
  void Cut() { CutPipe(entry); }

 private:
  std::uint32_t TakeAhead(std::uint8_t* at, std::uint32_t most) {
    const std::uint32_t n = std::min(most, entry.ahead_end - entry.ahead_begin);
    std::memcpy(at, entry.ahead + entry.ahead_begin, n);
    entry.ahead_begin += n;
    if (entry.ahead_begin == entry.ahead_end) entry.ahead_begin = entry.ahead_end = 0;
    return n;
  }
  // Reads until `least` bytes are ahead (called with none ahead); 0, or -1
  // with what came before the failure kept ahead.
  int FillAhead(std::uint32_t least) {
    while (entry.ahead_end < least) {
      std::uint32_t n = 0;
      if (entry.link.Read(entry.ahead + entry.ahead_end, kEvReadAhead - entry.ahead_end, &n) != 0)
        return -1;
      if (n == 0 || n > kEvReadAhead - entry.ahead_end) {
        win::SetLastError(win::ERROR_BROKEN_PIPE);
        return -1;
      }
      entry.ahead_end += n;
    }
    return 0;
  }
};

// A queue that the server has opened for this client and that no entry
// stands for yet.  Unless Keep hands it to the table, it goes again when the
// open ends: the server must not keep a queue that no entry stands for, and
// the queue's pipe and lock close.  QNA_InternalErr then says what the close
// request answered, or what FailWith names.
class QueueOpening {
 public:
  QueueOpening(const ConnRecord& connection, std::uint32_t assigned)
      : queue(assigned), connection_(connection) {}
  QueueOpening(const QueueOpening&) = delete;
  QueueOpening& operator=(const QueueOpening&) = delete;
  ~QueueOpening() {
    if (kept_) return;
    const std::uint32_t closed = EvQueueRequestClose(connection_, queue);
    if (lock != 0) HndClose(lock);
    pipe.Close();
    SetDetail(failed_ ? detail_ : static_cast<std::int32_t>(closed));
  }
  void FailWith(std::int32_t detail) {
    failed_ = true;
    detail_ = detail;
  }
  void Keep() { kept_ = true; }

  const std::uint32_t queue;
  Link pipe;
  Handle lock = 0;

 private:
  const ConnRecord& connection_;
  bool kept_ = false;
  bool failed_ = false;
  std::int32_t detail_ = 0;
};

// Connects the queue's pipe that the open reply names, trying a few times
// while the server makes it: 0 and the link, or the error (123 for a name
// that is not one plain component).
std::uint32_t ConnectQueuePipe(const ConnRecord& connection, const std::uint8_t* reply_name,
                               Link& pipe) {
  OsProbe();
  if (!PlainPipeName(reply_name)) return kErrorInvalidName;
  char pipe_name[96];
  EvQueuePipeName(connection.host, reply_name, false, pipe_name, sizeof pipe_name);
  std::uint32_t error = 0;
  for (int attempt = 0; attempt < kEvAttempts; ++attempt) {
    if (attempt > 0) SysSleep(kEvAttemptPauseMs);
    error = LinkOpenPipe(pipe_name, PipeOpen::WaitFree, &pipe);
    if (error == 0) break;
  }
  return error;
}

// The entry's own lock: 0, or the system's error.
std::uint32_t MakeEntryLock(Handle* lock) {
  if (EvQueueFails(EvQueueFault::EntryLock)) return win::ERROR_NOT_ENOUGH_MEMORY;
  if (MtxCreate(nullptr, lock, 0) == 0) return 0;
  return LastError();
}

std::uint32_t ReadFailed(std::int32_t detail) {
  SetDetail(detail);
  return QNA_E_EVQ_READ;
}

// Takes one record from the pipe of an entry whose lock is held.  Nothing is
// allocated: the 44 bytes before the data land on the stack and the data go
// straight into the caller's buffer (or are read and dropped when they do not
// fit), so a record length is never a size to allocate.
std::uint32_t ReadRecord(EvQueueEntry& entry, std::uint16_t* kind, char* name,
                         QNA_EVENT& event, std::uint32_t flags) {
  if (entry.broken) {
    SetDetail(static_cast<std::int32_t>(win::ERROR_BROKEN_PIPE));
    return QNA_E_EVQ_READ;
  }
  // Only a real pipe can tell that nothing has come; another waits.  Bytes
  // already taken ahead are an event that has come.
  std::uint32_t available = 0;
  const bool ask = (flags & QNA_EVQ_NOWAIT) != 0 && entry.ahead_end == entry.ahead_begin;
  const int peeked = ask ? entry.link.Available(&available) : 1;
  if (peeked < 0) {
    SetDetail(static_cast<std::int32_t>(LastError()));
    return QNA_E_EVQ_READ;
  }
  if (peeked == 0) {
    if (available == 0) {
      if (kind != nullptr) *kind = 0;
      return QNA_E_EVQ_EMPTY;
    }
  }
  // A length word that cannot begin a record ends the pipe, as does one cut
  // off: what follows cannot be found, and later reads fail instead of
  // taking data for a length word.
  // The 44 bytes before the data come with the length word where they can.
  EventPipe pipe{entry};
  std::uint8_t in[4 + kEvRecordHead];
  std::uint8_t* const head = in + 4;
  std::uint32_t early = 0;
  const LengthWord word = ReadLengthWord(pipe, kEvRecordHead, kEvRecordHead + kEvMaxData, in, &early);
  switch (word.how) {
    case LengthRead::Ok: break;
    case LengthRead::Failed: return ReadFailed(pipe.error);
    case LengthRead::Short: return ReadFailed(kEvRecordShort);
    case LengthRead::Wrong:
      return ReadFailed(word.value < kEvRecordHead ? kEvRecordSmall : kEvRecordLarge);
  }
  std::uint32_t got = 0;
  if (early < kEvRecordHead &&
      (pipe.ReadAll(head + early, kEvRecordHead - early, &got) != 0 || got != kEvRecordHead - early)) {
    pipe.Cut();
    return ReadFailed(got == 0 && early == 0 ? pipe.error : kEvRecordShort);
  }
  const std::uint32_t data = word.value - kEvRecordHead;
  if (data != 0) {
    if (event.length < data || event.data == nullptr) {
      // The event is lost; the record is read to its end, so the next read
      // starts at the next record.
      if (DrainBytes(pipe, data) != 0) {
        pipe.Cut();
        return ReadFailed(kEvRecordShort);
      }
      return event.length < data ? QNA_E_EVQ_SMALL : QNA_E_EVQ_NOBUFFER;
    }
    if (pipe.ReadAll(static_cast<std::uint8_t*>(event.data), data, &got) != 0 || got != data) {
      pipe.Cut();
      return ReadFailed(kEvRecordShort);
    }
    event.length = data;
  }
  event.value = proto::Get32(head + 40);
  if (name != nullptr) {
    // At most 31 characters and the zero: the name out has room for 32
    // bytes, and a record's name need not end within its field.
    std::size_t n = 0;
    while (n < 31 && head[8 + n] != 0) ++n;
    std::memcpy(name, head + 8, n);
    name[n] = '\0';
  }
  if (kind != nullptr) *kind = proto::Get16(head);
  return QNA_OK;
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_OpenEvQueue(std::uint32_t id, std::uint32_t queue,
                                      std::uint32_t* queue_out, const char* name,
                                      std::uint32_t* handle, std::uint32_t option) {
  SetDetail(0);
  std::uint8_t field[12];
  if (handle == nullptr || !EvQueuePutName12(field, name)) return QNA_E_ARG;
  if (EvQueueTableMake() != 0) {
    SetDetail(static_cast<std::int32_t>(LastError()));
    return QNA_E_EVQ_CREATE;
  }
  if (const std::uint32_t taken = TakeTable(true); taken != QNA_OK) return taken;
  TableHold table;

  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOCONN;
  if (queue != kEvOpenAny) {
    if (const EvQueueEntry* open = EvQueueFindNumber(id, queue)) {
      *handle = open->handle;
      if (queue_out != nullptr) *queue_out = open->queue;
      return QNA_E_EVQ_OPEN;
    }
  }
  std::uint8_t reply[kEvOpenReply];
  if (const std::uint32_t opened = EvQueueRequestOpen(*connection, queue, field, option, reply);
      opened != QNA_OK)
    return opened;
  QueueOpening opening(*connection, proto::Get32(reply));
  if (const std::uint32_t error = ConnectQueuePipe(*connection, reply + 4, opening.pipe); error != 0)
    return error;
  if (const std::uint32_t error = MakeEntryLock(&opening.lock); error != 0) {
    opening.FailWith(static_cast<std::int32_t>(error));
    return QNA_E_EVQ_CREATE;
  }

  EvQueueEntry entry{};
  entry.connection = id;
  entry.link = opening.pipe;
  entry.lock = opening.lock;
  entry.queue = opening.queue;
  std::memcpy(entry.name, field, sizeof entry.name);
  entry.option = option;
  entry.handle = EvQueueNextHandle();
  if (EvQueueAddEntry(entry) == nullptr) {
    opening.FailWith(0);
    return QNA_E_EVQ_CREATE;
  }
  opening.Keep();
  *handle = entry.handle;
  if (queue_out != nullptr) *queue_out = entry.queue;
  EvQueueCountUp();
  return QNA_OK;
}

std::uint32_t QNA_API QNA_CloseEvQueue(std::uint32_t handle, std::uint32_t) {
  SetDetail(0);
  if (!EvQueueTableExists()) return QNA_E_EVQ_HANDLE;
  if (const std::uint32_t taken = TakeTable(false); taken != QNA_OK) return taken;
  TableHold table;

  const EvQueueEntry* entry = EvQueueFindHandle(handle);
  if (entry == nullptr) return QNA_E_EVQ_HANDLE;
  const ConnRecord* connection = ConnFindEntry(entry->connection);
  if (connection == nullptr) return QNA_E_NOTOPEN;  // the entry stays
  std::uint32_t result = QNA_OK;
  for (int attempt = 0; attempt < kEvAttempts; ++attempt) {
    if (attempt > 0) SysSleep(kEvAttemptPauseMs);
    SetDetail(0);
    result = EvQueueRequestClose(*connection, entry->queue);
    if (result == QNA_OK) break;
  }
  // Whatever the server said, the local end goes.  A read still blocked on
  // the pipe wakes up now; its reference keeps the handles until it ends.
  entry->link.Cut();
  EvQueueRemoveEntry(handle);
  EvQueueCountDown();
  return result;
}

std::uint32_t QNA_API QNA_ReadEvQueue(std::uint32_t handle, std::uint16_t* kind, char* name,
                                      QNA_EVENT* event, std::uint32_t flags) {
  SetDetail(0);
  if (event == nullptr) return QNA_E_ARG;
  if (const std::uint32_t taken = TakeTable(false); taken != QNA_OK) return taken;
  EvQueueEntry* entry = EvQueueAcquire(handle);
  EvQueueTableRelease();
  if (entry == nullptr) return QNA_E_EVQ_HANDLE;
  EntryRef ref(entry);

  EntryLockHold hold(*entry);
  switch (hold.outcome()) {
    case kWaitOk:
      break;
    case kWaitTimeout:
      return QNA_E_EVQ_BUSY;
    case kWaitAbandoned:
      // A reader ended inside a record: where the next one starts is not
      // known.  The hold has given the lock back; this read fails.
      SetDetail(kWaitAbandoned);
      return QNA_E_EVQ_LOCK;
    default:
      SetDetail(static_cast<std::int32_t>(LastError()));
      return QNA_E_EVQ_LOCK;
  }
  return ReadRecord(*entry, kind, name, *event, flags);
}

std::uint32_t QNA_API QNA_WriteEvQueue(std::uint32_t id, std::uint32_t queue,
                                       const QNA_EVENT* event) {
  SetDetail(0);
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOCONN;
  if (event == nullptr || (event->length != 0 && event->data == nullptr)) return QNA_E_ARG;
  return EvQueueRequestPost(*connection, queue, event->value, event->length, event->data);
}

}  // extern "C"
