// core.h - internal state and functions shared by the library's families:
// the link to the local server, its request lock, the data area table and
// the locking frame of a request.  The exchange itself is in exchange.h.
//
// Lock rules:
//   * The request lock of the link (LinkRequestLock) is held for one whole
//     exchange: from the first byte written to the last byte of the reply read.
//   * An area mutex is held only around one copy or one bit walk of one area.
//   * The two are never held together, and nothing is waited for while either
//     is held except the I/O of the exchange itself.
//   * g_link, g_request_lock and the area table are written only by QNA_Open
//     and QNA_Close (and the remote opens and closes, which make and end the
//     link to a connection's pipe), which the application calls while no
//     other thread uses the local functions; every other function only reads
//     them.  A close of the areas still never pulls a view or a mutex from
//     under a thread that reads (areas.cpp).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/link.h"
#include "platform/platform.h"
#include "qnapi.h"

// ---- Detail values --------------------------------------------------------
// QNA_InternalErr is one plain variable for the whole process, and calls from
// several threads overwrite each other's values.  The library writes it
// atomically so that such overwriting is the only effect.
inline void SetDetail(std::int32_t value) {
  std::atomic_ref<std::int32_t>(QNA_InternalErr).store(value, std::memory_order_relaxed);
}
inline std::int32_t Detail() {
  return std::atomic_ref<std::int32_t>(QNA_InternalErr).load(std::memory_order_relaxed);
}
// SetDetail(0) that stores only when the value is not 0 already: on the hot
// path of the area accesses a store would have to drain before the mutex's
// atomic operation, and threads that all clear it would pass its cache line
// to and fro.
inline void ClearDetail() {
  if (Detail() != 0) SetDetail(0);
}

// ---- The link to the local server ----------------------------------------
// kInvalidHandle while not open: every data and request function tests it
// first and returns 50.
extern Handle g_link;
// Whether g_link is an emulated pipe: chosen when the link is opened or taken
// over, never asked of the emulation flag afterwards.
extern bool g_link_emulated;
// The link as the Link it was opened as (None while not open).
inline Link LocalLink() {
  return g_link == kInvalidHandle ? Link{} : Link::OfPipe(g_link, g_link_emulated);
}
// The request lock that serialises exchanges on g_link; 0: none.
extern Handle g_request_lock;
// Every exchange on the link takes its lock through here, never through
// g_request_lock directly: when a remote pipe connection's pipe becomes the
// link, that connection's lock must be the lock of the link, so that the two
// never let exchanges on one pipe interleave.
Handle LinkRequestLock();
// QNA_OpenN makes a remote connection's pipe the link.  From then on that
// connection's request lock (0: none) is the lock of the link; a link open
// before is replaced, not closed.  QNA_Close leaves such a pipe to its
// connection (it only lets go of the link), so that the pipe is closed once,
// by QNA_CloseN, and never used after that.
void LinkTakeOver(const Link& pipe, Handle lock);
// The connection that owns `pipe` closes: when the pipe is the link, the link
// is not open any more, as after QNA_Close.
void LinkDrop(Handle pipe);
// The link as it stands, and putting it back: a remote open that fails after
// taking the link over leaves it as it found it.
struct LinkState {
  Handle link;
  bool emulated;
  Handle conn_pipe;
  Handle conn_lock;
};
LinkState LinkSave();
void LinkRestore(const LinkState& state);

// Sets g_emulation: 1 on the Windows 95 family, where the link goes through
// the pipe emulation, else 0.
void OsProbe();
// Writes the name of the local server pipe into `out`: "\\.\pipe\qoxsmem",
// or "\\.\<QNA_ServerName>\qoxpipe" when a server name is set; with the
// emulation, without the leading "\\.".
void LinkPipeName(char* out, std::size_t size);

// ---- Mutex holds ---------------------------------------------------------
// Holds a mutex for one scope.  A mutex of 0 means "none": nothing is waited
// for and the hold counts as taken.
//
// A wait that reports an abandoned owner (95) has handed the mutex to this
// thread.  The hold gives it back at once and reports the 95: the caller still
// fails with result 2, but other clients are not blocked for good by a mutex
// that nobody would ever release.
//
// The mutex's object is taken from the handle table once, for the wait and
// the release both (MtxHold, platform.h), unless the caller holds it already
// for longer (`held`: a connection's request lock, held for its whole open).
class MutexHold {
 public:
  MutexHold(Handle mutex, std::uint32_t timeout_ms, void* held = nullptr) {
    if (mutex == 0) return;
    object_ = held;
    if (object_ == nullptr) {
      owned_ = MtxHold(mutex);
      object_ = owned_.get();
    }
    if (object_ == nullptr) {
      outcome_ = kWaitFailed;
      return;
    }
    outcome_ = MtxHeldWait(object_, timeout_ms);
    if (outcome_ == kWaitOk) held_ = true;
    if (outcome_ == kWaitAbandoned) MtxHeldRelease(object_);
  }
  ~MutexHold() {
    if (held_) MtxHeldRelease(object_);
  }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

  // kWaitOk when taken (or when there is no mutex), else 640, 95 or -1.
  int outcome() const { return outcome_; }
  // Releases now: 0, or -1 when the release failed.
  int Release() {
    if (!held_) return 0;
    held_ = false;
    return MtxHeldRelease(object_);
  }

 private:
  HeldObject owned_;
  void* object_ = nullptr;
  bool held_ = false;
  int outcome_ = kWaitOk;
};

// The frame of every locked request: take the request lock (waited for with
// QNA_MtxTimeOut, read at each wait), run the exchange, release the lock
// (its outcome does not matter).  A failed wait stores its outcome in
// QNA_InternalErr and returns 2; nothing is written then.
template <typename Body>
std::uint32_t WithRequestLock(Handle lock, Body&& exchange) {
  MutexHold hold(lock, QNA_MtxTimeOut);
  if (hold.outcome() != kWaitOk) {
    SetDetail(hold.outcome());
    return QNA_E_MUTEX;
  }
  return exchange();
}

// ---- Data area table -------------------------------------------------------
inline constexpr std::uint32_t kAreaCount = 6;

// 64-byte aligned: what an access reads of a row (view, limit, pin) shares one
// cache line, and a row's place in the table is its index shifted.
struct alignas(64) AreaRow {
  // Object names in the library's convention.  Writable storage: the
  // platform upper-cases a name in place at every open.
  char name[24];
  std::uint32_t size;  // words; 0 until a registration reports it
  char mutex_name[24];
  Handle mutex;    // 0 while not open
  void* view;      // nullptr while not mapped
  Handle mapping;
  // Words the view really holds (ShmSize of the mapping); 0 while not
  // mapped.  The server's announced size may claim more: an access must stay
  // inside both.
  std::uint64_t mapped_words = 0;
  // What an access reads of the row, with no lock of the table: the words it
  // may touch (the smaller of size and mapped_words), the view and the mutex
  // pinned (nullptr while not open).  areas.cpp says how a close that runs
  // while other threads read keeps them from a view or mutex that goes.
  std::uint32_t limit = 0;
  MutexPin pin = nullptr;
};
extern AreaRow g_areas[kAreaCount];

// Opens the areas and mutexes not open yet, in order; stops at the first
// failure with -1 (what was opened stays open for AreaCloseAll).
int AreaOpenAll();
void AreaCloseAll();
// Sets an area's size; an index of 6 or more is ignored.
void AreaSetSize(std::uint32_t area, std::uint32_t size);
// 1 when the index is below 6 and the word offset below the area's size as
// the server reported it.  The accesses also keep inside the mapped view.
int AreaInRange(std::uint32_t area, std::uint32_t offset);

// The data transfers of QNA_Read, QNA_ReadBit, QNA_WriteSmem and
// QNA_WriteSmemBit after their link test: count, buffer and range tests (6),
// the area mutex (2), the copy, the release (9999).  The server-less reads of
// the remote connections use them as well.  An area whose view is not mapped
// is refused with 6, like an area of size 0.
std::uint32_t AreaReadWords(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                            std::uint16_t* buffer, std::uint32_t no_lock);
std::uint32_t AreaWriteWords(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                             const std::uint16_t* source, std::uint32_t no_lock);
std::uint32_t AreaReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                           std::uint8_t* buffer, std::uint32_t no_lock);
std::uint32_t AreaWriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                            const std::uint8_t* source, std::uint32_t no_lock);

// ---- Requests on the link ------------------------------------------------
// kind 1: words (100101), kind 0: bits (100100).
std::uint32_t WriteLocked(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                          const void* data, std::uint32_t options, std::uint32_t kind);
// One exchange each, without the request lock.
std::uint32_t WriteRequest(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                           const void* data, std::uint32_t options, std::uint32_t kind);
std::uint32_t MaskedWriteRequest(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                                 const std::uint16_t* data, const std::uint16_t* flags,
                                 std::uint32_t options);
