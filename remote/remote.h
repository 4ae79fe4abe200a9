// remote.h - the connection table shared by the pipe and the TCP
// connections, and the internal operations of the remote families.
//
// Lock rules (the locks are in table.cpp):
//   * The connection table lock serialises QNA_OpenN, QNA_CloseN, QNA_OpenS
//     and QNA_CloseS of all threads; each holds it for its whole run.  It
//     guards the id counter, the open count, the remote area flag, the
//     records' fields while an open or close works on them, and the link
//     while a remote open or close changes it.  It is made once and kept for
//     the life of the process: it is never made twice at once, and never
//     closed under a thread that waits for it.
//   * The list guard (a plain mutex inside table.cpp) guards only the links
//     of the list.  The table operations take it for a moment; nothing is
//     waited for under it.  So a lookup by id, which takes no other lock, is
//     safe against opens and closes of other connections.
//   * A connection's request lock makes one exchange on its pipe or socket
//     atomic (taken with QNA_MtxTimeOut).  When the connection's pipe is the
//     link, it is the link's lock as well (LinkRequestLock).
//   * Order: connection table lock, then the event queue table lock (a close
//     closes the connection's queues under it), then a connection's request
//     lock.  An area mutex is never held together with a request lock.  The
//     order across the library is in docs/architecture.md.
//   * The application must not close a connection while another of its
//     threads still uses that connection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "core/core.h"
#include "platform/platform.h"
#include "qnapi.h"

enum class ConnKind : std::uint8_t { Pipe, Tcp };

// One open (or half-made) connection.  Zero-filled when added.
struct ConnRecord {
  std::uint32_t id;
  Handle request_lock;  // 0: none (not made yet, or its creation failed)
  // The server pipe (real or emulated) of a pipe connection, the socket of a
  // TCP connection; None until opened and once closed.  Whichever close the
  // application calls releases it, whatever its kind.
  Link link;
  char host[16];  // zero-terminated; empty: the local server (pipe only)
  ConnRecord* next;
  ConnKind kind;
  // The request lock's and the pipe's objects, held from the end of a
  // successful open until the record goes (ConnHoldHandles), so that an
  // exchange takes neither from the handle table; empty until then.
  HeldObject lock_held;
  HeldObject pipe_held;
  // The link as a family of connections of kind `family` finds it: a
  // connection of the other kind gives a link that fails at the first write.
  Link LinkAs(ConnKind family) const {
    if (family == kind) return link;
    Link foreign;
    foreign.kind = LinkKind::Foreign;
    return foreign;
  }
};

// ---- The table (table.cpp) ---------------------------------------------------
// None of these takes the connection table lock; the opens and closes hold it.
ConnRecord* ConnAddEntry();  // a new zero-filled record at the tail, or nullptr
void ConnRemoveEntry(ConnRecord* record);  // unlinks and frees that very record
ConnRecord* ConnFindEntry(std::uint32_t id);  // the first record with the id, or nullptr
int ConnHasLocalEntry();  // 1 when a record has an empty host name
// Closes every event queue opened through the connection, through the hook
// that the event queues set (they sit above this table and include it).
using ConnQueueCloser = void (*)(std::uint32_t id);
void ConnSetQueueCloser(ConnQueueCloser closer);
void ConnCloseQueues(std::uint32_t id);

// The connection table lock: made when none exists yet (only when `make`),
// then waited for without time-out.  0 when held; -1 when it could not be
// made (QNA_InternalErr: the operating system's error), when the wait failed,
// or when none exists and `make` is 0.
int ConnTableLock(bool make);
void ConnTableUnlock();

// The next connection id: 1, 2, ... 4294967295, 1, ... (never 0).
std::uint32_t ConnNextId();
// The count of connections whose open succeeded and that are not closed.
void ConnCountOpened();
std::uint32_t ConnOpenCount();
// Holds the request lock and a real pipe's objects in the record of an open
// that succeeded.  The application does not close a connection while
// another of its threads uses it, so the holds outlive every exchange.
void ConnHoldHandles(ConnRecord& record);

// Set when QNA_OpenN opened the data areas for a server-less connection;
// cleared when a close closes them.  Under the connection table lock.
extern std::uint16_t g_remote_area_flag;

// The close handshake word (word 204 of area 3) read through the connection
// with QNA_ReadN, as a signed 16-bit value; -1 when the read fails.  The
// server changes it once it has seen a client come or go; a negative value
// means that it will not, and nobody waits.
std::int32_t ConnHandshakeWord(std::uint32_t id);

// Closes a connection of either kind under the held connection table lock:
// its queues, its request lock, its pipe (with the close handshake) or its
// socket, its record, and the data areas when no server-less pipe
// connection is left.  Does not touch the open count.
void ConnCloseRecord(ConnRecord* record);
// Closes the half-made connection of a failed open (the table lock held);
// QNA_InternalErr stays as the failed step left it.
void ConnCleanup(ConnRecord* record);
// QNA_CloseN and QNA_CloseS.
void ConnClose(std::uint32_t id);

// The frame of QNA_OpenN and QNA_OpenS, under the connection table lock: a
// new record of `kind` with the next id, then `open(record)`.  A failed
// open's record is cleaned up, and `after_cleanup()` runs after that (the
// pipe open gives the link back as it found it).  0 and the id, 51 when no
// lock or record could be had, or the failed open's result.
template <typename Open, typename AfterCleanup>
std::uint32_t ConnOpen(ConnKind kind, std::uint32_t* id, Open&& open,
                       AfterCleanup&& after_cleanup) {
  if (ConnTableLock(true) != 0) return QNA_E_OPEN;
  SetDetail(0);
  ConnRecord* record = ConnAddEntry();
  if (record == nullptr) {
    ConnTableUnlock();
    return QNA_E_OPEN;
  }
  record->id = ConnNextId();
  record->kind = kind;
  const std::uint32_t result = open(record);
  if (result != QNA_OK) {
    ConnCleanup(record);
    after_cleanup();
  } else {
    *id = record->id;
    ConnHoldHandles(*record);
    ConnCountOpened();
  }
  ConnTableUnlock();
  return result;
}

// A heap block for a request, or nullptr when memory is exhausted.
std::unique_ptr<std::uint8_t[]> ConnAlloc(std::size_t size);

// ---- One exchange on a connection ----------------------------------------------
// What a family answers when its request lock is not had: `Request` is the
// frame of the data, message and control requests (2, the wait's outcome in
// QNA_InternalErr); `EvQueue` that of the event queue requests (2 after the
// time-out, else 499 with the abandon (95) or the system's error).
enum class LockFailure : std::uint8_t { Request, EvQueue };

// Runs `exchange(link)` on the connection's link as the family of `kind`
// finds it, under the connection's request lock (QNA_MtxTimeOut, read at
// each wait).  There is no test of the link here: an unusable one fails at
// the first write.
template <typename Body>
std::uint32_t ConnExchange(const ConnRecord& connection, ConnKind kind, LockFailure failure,
                           Body&& exchange) {
  MutexHold hold(connection.request_lock, QNA_MtxTimeOut, connection.lock_held.get());
  const int outcome = hold.outcome();
  if (outcome != kWaitOk) {
    if (failure == LockFailure::Request) {
      SetDetail(outcome);
      return QNA_E_MUTEX;
    }
    if (outcome == kWaitTimeout) return QNA_E_MUTEX;
    // An abandoned lock: the hold has given it back, so that a thread that
    // ended inside an exchange does not block the connection for good.
    SetDetail(outcome == kWaitAbandoned ? kWaitAbandoned
                                        : static_cast<std::int32_t>(win::GetLastError()));
    return QNA_E_EVQ_LOCK;
  }
  Link link = connection.LinkAs(kind);
  return exchange(link);
}

// The lookup by id and the exchange: `missing` when no connection has the
// id (QNA_InternalErr untouched).
template <typename Body>
std::uint32_t ConnExchangeById(std::uint32_t id, ConnKind kind, std::uint32_t missing,
                               Body&& exchange) {
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return missing;
  return ConnExchange(*connection, kind, LockFailure::Request, exchange);
}

// Test seams, not in the public header: the next allocation of a record or a
// request fails; the id counter takes a value (the next id is value + 1);
// the connection table lock as it stands (0: none yet).
void ConnFailNextAllocSeam();
void ConnSetIdCounterSeam(std::uint32_t value);
Handle ConnTableLockSeam();

// ---- Data requests (data.cpp) ------------------------------------------------
// kind 0: bits (command 100 and 100100), 1: words (101 and 100101).  The
// exchanges set QNA_InternalErr to 0 and test the link (None: 50); the
// others take the connection's request lock around them.
std::uint32_t LinkDataReadExchange(const Link& link, std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   void* buffer, std::uint16_t option, std::uint16_t kind);
std::uint32_t LinkDataWriteExchange(const Link& link, std::uint32_t area, std::uint32_t start,
                                    std::uint32_t count, const void* data, std::uint32_t options,
                                    std::uint16_t kind);
std::uint32_t ConnDataRead(const ConnRecord& connection, ConnKind family, std::uint32_t area,
                           std::uint32_t start, std::uint32_t count, void* buffer,
                           std::uint16_t kind);
std::uint32_t ConnDataWrite(const ConnRecord& connection, ConnKind family, std::uint32_t area,
                            std::uint32_t start, std::uint32_t count, const void* data,
                            std::uint32_t options, std::uint16_t kind);

// ---- TCP registration (sock_conn.cpp) ------------------------------------------
// The registration exchange of QNA_EntAppName over the socket: 0, 101, 102 or
// the server's result; the sizes go to QNA_SizeTb and the area table.
std::uint32_t SockRegister(const QNA_CONNPARAM* params, const Link& socket);
