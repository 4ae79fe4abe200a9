// areas.cpp - the data area table and the direct, mutex-guarded accesses to
// the mapped areas (nothing here goes to the server).
//
// Lock rules: an area's named mutex is shared with the server and every other
// client and is the only guard of the area's contents.  A call holds at most
// one area mutex, only around one copy or one bit walk, and never while it
// waits for anything else.  The table itself is written only by the opens and
// closes of the connections and by the registrations that set the sizes.
//
// Readers and the close.  An access takes no lock of the table, not even a
// reference count: it reads a row's limit, view and mutex pin as they stand
// and uses them.  A close may still run while other threads read (a remote
// close that leaves no server-less connection closes the areas too), so each
// thread that accesses areas owns a flag, raised around its use of a row and
// ordered with the row's loads by a compiler fence only.  A row's limit is
// above 0 only while its view is mapped and its mutex pinned.  A close first
// sets the rows' limits to 0, then makes every thread pass a barrier
// (win::FlushProcessWriteBuffers): from then on a thread either finds the
// rows closed, or its flag is seen raised.  The close waits until every flag
// it sees raised has dropped, and only then takes the views and the pins out,
// unmaps the views and closes the mutexes: a reader that found a limit above
// 0 may use the view and the pin without testing them.  A reader it waits for
// may be in a mutex wait, which QNA_TimeOut bounds.  g_readers_lock guards
// the list of the flags: a thread takes it at its first access and at its
// end, a close for its walk, during which it waits for raised flags; a raised
// flag never waits for the lock.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "core/core.h"
#include "platform/platform.h"
#include "qnapi.h"

AreaRow g_areas[kAreaCount] = {
    {"\\sharemem\\qoxmemcb", 0, "\\sem32\\qoxsemcb", 0, nullptr, 0},
    {"\\sharemem\\qoxmemcw", 0, "\\sem32\\qoxsemcw", 0, nullptr, 0},
    {"\\sharemem\\qoxmemsb", 0, "\\sem32\\qoxsemsb", 0, nullptr, 0},
    {"\\sharemem\\qoxmemsw", 0, "\\sem32\\qoxsemsw", 0, nullptr, 0},
    {"\\sharemem\\qoxlgp", 0, "\\sem32\\qoxslgp", 0, nullptr, 0},
    {"\\sharemem\\qoxtman", 0, "\\sem32\\qoxstman", 0, nullptr, 0},
};

namespace {

// ---- Readers ---------------------------------------------------------------

// This thread's flags, written by this thread only: `inside` is 1 while it
// uses a row, `joined` once the flag is on the list.  One trivial record, so
// that the hot path reads and writes both directly, from one address.
struct ReaderFlags {
  std::atomic<std::uint32_t> inside{0};
  bool joined = false;
};
thread_local ReaderFlags t_reader;

// The flags of the threads that have accessed areas and not ended since.  A
// thread that ends leaves the list under its lock before its flag goes, and
// a close walks the list under the same lock.
std::mutex g_readers_lock;
std::vector<std::atomic<std::uint32_t>*> g_readers;

struct LeaveReaders {
  ~LeaveReaders() {
    if (!t_reader.joined) return;
    const std::lock_guard guard(g_readers_lock);
    std::erase(g_readers, &t_reader.inside);
    t_reader.joined = false;
  }
};
thread_local LeaveReaders t_leave;

// Puts the calling thread's flag on the list at its first access; false when
// no memory is left for it.
[[gnu::noinline]] bool JoinReaders() {
  try {
    const std::lock_guard guard(g_readers_lock);
    g_readers.push_back(&t_reader.inside);
  } catch (...) {
    return false;
  }
  (void)&t_leave;  // its destructor takes the flag off the list when the thread ends
  t_reader.joined = true;
  return true;
}

// Raises the calling thread's flag, which is on the list already, for one
// scope.  Scopes never nest: only AreaAccess makes one.
class ReaderScope {
 public:
  ReaderScope() {
    t_reader.inside.store(1, std::memory_order_relaxed);
    // Only the compiler must keep the row's loads after the raise; the
    // close's barrier orders it for the processor.
    std::atomic_signal_fence(std::memory_order_seq_cst);
  }
  ~ReaderScope() { t_reader.inside.store(0, std::memory_order_release); }
  ReaderScope(const ReaderScope&) = delete;
  ReaderScope& operator=(const ReaderScope&) = delete;
};

// Waits until no thread can still use what a close has taken out of the rows.
// A thread that starts or ends meanwhile waits for the list's lock.
void WaitForReaders() {
  win::FlushProcessWriteBuffers();
  const std::lock_guard guard(g_readers_lock);
  for (const std::atomic<std::uint32_t>* inside : g_readers)
    while (inside->load(std::memory_order_acquire) != 0) SysSleep(1);
}

// Row fields that readers load while a close or an open may write them.
template <typename T>
T Load(T& field) {
  return std::atomic_ref<T>(field).load(std::memory_order_acquire);
}
template <typename T>
void Store(T& field, T value) {
  std::atomic_ref<T>(field).store(value, std::memory_order_release);
}

// Guards the writes of the rows' limits and of what they are made from
// (size, mapped_words, pin): a size set while a close runs must not give a
// row back a limit above 0 after the close has set it to 0, since readers
// trust a limit above 0 to mean a mapped view and a pinned mutex.
std::mutex g_limits_lock;

// Under g_limits_lock.  mapped_words is 0 while the row is not mapped; a row
// whose mutex is not open (yet) gets no limit either.
void SetLimit(AreaRow& row) {
  const std::uint64_t mapped = row.pin != nullptr ? row.mapped_words : 0;
  Store(row.limit, static_cast<std::uint32_t>(mapped < row.size ? mapped : row.size));
}

}  // namespace

int AreaOpenAll() {
  for (AreaRow& row : g_areas) {
    if (row.view == nullptr) {
      void* view = nullptr;
      Handle mapping = 0;
      if (ShmOpen(&view, row.name, 3, &mapping) != 0) return -1;
      row.mapping = mapping;
      Store(row.view, view);
      const std::lock_guard guard(g_limits_lock);
      row.mapped_words = ShmSize(mapping) / 2;
      SetLimit(row);
    }
    if (row.mutex == 0) {
      Handle mutex = 0;
      if (MtxOpen(row.mutex_name, &mutex) != 0) return -1;
      row.mutex = mutex;
      const std::lock_guard guard(g_limits_lock);
      Store(row.pin, MtxPin(mutex));
      SetLimit(row);
    }
  }
  return 0;
}

void AreaCloseAll() {
  {
    const std::lock_guard guard(g_limits_lock);
    for (AreaRow& row : g_areas) {
      row.mapped_words = 0;
      Store(row.limit, 0u);
    }
  }
  WaitForReaders();
  for (AreaRow& row : g_areas) {
    {
      const std::lock_guard guard(g_limits_lock);
      Store(row.pin, static_cast<MutexPin>(nullptr));
    }
    if (row.view != nullptr) ShmClose(row.view, row.mapping);
    Store(row.view, static_cast<void*>(nullptr));
    row.mapping = 0;
    if (row.mutex != 0) {
      for (int attempt = 0; attempt < 100 && HndClose(row.mutex) != 0; ++attempt) SysSleep(100);
      row.mutex = 0;
    }
  }
  // The sizes stay: the next registration overwrites them.
}

void AreaSetSize(std::uint32_t area, std::uint32_t size) {
  if (area >= kAreaCount) return;
  const std::lock_guard guard(g_limits_lock);
  Store(g_areas[area].size, size);
  SetLimit(g_areas[area]);
}

int AreaInRange(std::uint32_t area, std::uint32_t offset) {
  return area < kAreaCount && offset < Load(g_areas[area].size) ? 1 : 0;
}

namespace {

// Range test, mutex, transfer, release: the steps every data function shares,
// on the words from the first one to `last` (the first is never beyond it).
// The word number is 64-bit here so that a range whose end passes 2^32 is
// refused instead of wrapping to the start of the area.
//
// The range must lie inside the size the server reported and inside the view
// (the row's limit holds the smaller).  A server that announces more words
// than its mapping holds would otherwise make a copy run past the view into
// whatever this process has mapped next (or fault); such words are refused
// like any other range outside the area, and so is an area not mapped.
// The failures of a mutex wait, kept out of the accesses' hot path.
// The wait after a try that did not take the mutex: QNA_OK when it is held.
[[gnu::cold, gnu::noinline]] std::uint32_t WaitAfterTry(MutexPin mutex, int tried) {
  const int waited = MtxPinWaitAfter(mutex, tried, QNA_TimeOut);
  if (waited == kWaitOk) return QNA_OK;
  // An abandoned mutex is this thread's now: it goes back at once, so that a
  // dead owner does not block the other clients for good.
  if (waited == kWaitAbandoned) MtxPinRelease(mutex);
  SetDetail(waited);
  return QNA_E_MUTEX;
}

[[gnu::cold, gnu::noinline]] std::uint32_t Failed(std::int32_t detail, std::uint32_t result) {
  SetDetail(detail);
  return result;
}

// A thread's first access puts its flag on the list, then makes the access.
// Out of line, and called last, so that the accesses keep none of their
// arguments across it.
template <auto Access, typename... Args>
[[gnu::cold, gnu::noinline]] std::uint32_t JoinFirst(Args... args) {
  if (!JoinReaders()) return Failed(kWaitFailed, QNA_E_MUTEX);  // no memory for its flag
  return Access(args...);
}

// `transfer` gets the view at word `first`: the one pointer that it and the
// release keep across the wait.
template <typename Transfer>
std::uint32_t AreaAccess(std::uint32_t area, std::uint32_t first, std::uint64_t last,
                         std::uint32_t no_lock, Transfer&& transfer) {
  if (area >= kAreaCount) return QNA_E_ARG;
  ReaderScope reader;
  AreaRow& row = g_areas[area];
  // A limit above 0 says the view is mapped and the mutex pinned (the close
  // takes them out last).
  if (last >= Load(row.limit)) return QNA_E_ARG;
  std::uint16_t* const at = static_cast<std::uint16_t*>(Load(row.view)) + first;
  if (no_lock != 0) {
    transfer(at);
    return QNA_OK;
  }
  const MutexPin mutex = Load(row.pin);
  if (const int tried = MtxPinTry(mutex); tried != 0) {
    if (const std::uint32_t waited = WaitAfterTry(mutex, tried); waited != QNA_OK) return waited;
  }
  transfer(at);
  // A failed release leaves the data transferred all the same.
  return MtxPinRelease(mutex) == 0 ? QNA_OK : Failed(-1, QNA_E_INTERNAL);
}

// One word, the most common read, is copied in place; a call of memcpy
// would cost as much as the rest of the access.
void CopyWords(std::uint16_t* to, const std::uint16_t* from, std::size_t count) {
  if (count == 1)
    *to = *from;
  else
    std::memcpy(to, from, count * 2);
}

// A bit range whose last bit number passes 2^32 would wrap to the area's
// first bits.
bool BitsWrap(std::uint32_t bit, std::uint32_t count) {
  return std::uint64_t{bit} + count - 1 > 0xFFFFFFFFu;
}

// Bit b of an area is bit b % 16 of word b / 16, bit 0 the least significant;
// the cursor counts words from the word of its first bit.
struct BitCursor {
  std::size_t word = 0;
  unsigned mask;
  explicit BitCursor(std::uint32_t bit) : mask(1u << (bit % 16)) {}
  void Next() {
    if (mask == 0x8000u) {
      mask = 1;
      ++word;
    } else {
      mask <<= 1;
    }
  }
};

}  // namespace

std::uint32_t AreaReadWords(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                            std::uint16_t* buffer, std::uint32_t no_lock) {
  if (!t_reader.joined) return JoinFirst<AreaReadWords>(area, offset, count, buffer, no_lock);
  if (count == 0 || buffer == nullptr) return QNA_E_ARG;
  const std::size_t words = count;
  return AreaAccess(area, offset, std::uint64_t{offset} + words - 1, no_lock,
                    [&](const std::uint16_t* at) { CopyWords(buffer, at, words); });
}

std::uint32_t AreaWriteWords(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                             const std::uint16_t* source, std::uint32_t no_lock) {
  if (!t_reader.joined) return JoinFirst<AreaWriteWords>(area, offset, count, source, no_lock);
  if (count == 0 || source == nullptr) return QNA_E_ARG;
  const std::size_t words = count;
  return AreaAccess(area, offset, std::uint64_t{offset} + words - 1, no_lock,
                    [&](std::uint16_t* at) { CopyWords(at, source, words); });
}

namespace {

// More than one bit: the walk, out of line, so that the one-bit read keeps
// no more registers than a one-word read.
[[gnu::noinline]] std::uint32_t ReadBitWalk(std::uint32_t area, std::uint32_t bit,
                                            std::uint32_t count, std::uint8_t* buffer,
                                            std::uint32_t no_lock) {
  if (count == 0 || buffer == nullptr || BitsWrap(bit, count)) return QNA_E_ARG;
  return AreaAccess(area, bit / 16, (std::uint64_t{bit} + count - 1) / 16, no_lock,
                    [&](const std::uint16_t* view) {
                      BitCursor at(bit);
                      for (std::uint32_t i = 0; i < count; ++i, at.Next())
                        buffer[i] = (view[at.word] & at.mask) != 0 ? 1 : 0;
                    });
}

}  // namespace

std::uint32_t AreaReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                           std::uint8_t* buffer, std::uint32_t no_lock) {
  if (!t_reader.joined) return JoinFirst<AreaReadBits>(area, bit, count, buffer, no_lock);
  if (count != 1) return ReadBitWalk(area, bit, count, buffer, no_lock);
  // One bit, the most common read, is its word's access (one bit never wraps).
  if (buffer == nullptr) return QNA_E_ARG;
  const std::uint32_t word = bit / 16;
  return AreaAccess(area, word, word, no_lock, [&](const std::uint16_t* at) {
    *buffer = static_cast<std::uint8_t>((*at >> (bit % 16)) & 1u);
  });
}

std::uint32_t AreaWriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                            const std::uint8_t* source, std::uint32_t no_lock) {
  if (!t_reader.joined) return JoinFirst<AreaWriteBits>(area, bit, count, source, no_lock);
  if (count == 0 || source == nullptr || BitsWrap(bit, count)) return QNA_E_ARG;
  return AreaAccess(area, bit / 16, (std::uint64_t{bit} + count - 1) / 16, no_lock,
                    [&](std::uint16_t* view) {
                      BitCursor at(bit);
                      for (std::uint32_t i = 0; i < count; ++i, at.Next()) {
                        const bool wanted = source[i] != 0;
                        const bool present = (view[at.word] & at.mask) != 0;
                        // Bits that already hold the wanted value are not written.
                        if (wanted == present) continue;
                        view[at.word] = static_cast<std::uint16_t>(
                            wanted ? view[at.word] | at.mask : view[at.word] & ~at.mask);
                      }
                    });
}

extern "C" {

std::uint32_t QNA_API QNA_Read(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                               std::uint16_t* buffer, std::uint32_t no_lock) {
  ClearDetail();
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaReadWords(area, offset, count, buffer, no_lock);
}

std::uint32_t QNA_API QNA_ReadBit(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                                  std::uint8_t* buffer, std::uint32_t no_lock) {
  ClearDetail();
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaReadBits(area, bit, count, buffer, no_lock);
}

std::uint32_t QNA_API QNA_WriteSmem(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                                    const std::uint16_t* source, std::uint32_t no_lock) {
  ClearDetail();
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaWriteWords(area, offset, count, source, no_lock);
}

std::uint32_t QNA_API QNA_WriteSmemBit(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                                       const std::uint8_t* source, std::uint32_t no_lock) {
  ClearDetail();
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaWriteBits(area, bit, count, source, no_lock);
}

// Each range is read under its own hold of its area's mutex: the ranges
// together are not one snapshot.
std::uint32_t QNA_API QNA_ReadMux(std::uint32_t n, const std::uint32_t* areas,
                                  const std::uint32_t* offsets, const std::uint32_t* counts,
                                  std::uint16_t* buffer) {
  if (n == 0) return QNA_OK;
  if (areas == nullptr || offsets == nullptr || counts == nullptr || buffer == nullptr) {
    SetDetail(0);
    return g_link == kInvalidHandle ? QNA_E_NOTOPEN : QNA_E_ARG;
  }
  std::size_t at = 0;  // words already delivered
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t result = QNA_Read(areas[i], offsets[i], counts[i], buffer + at, 0);
    if (result != QNA_OK) return result;
    at += counts[i];
  }
  return QNA_OK;
}

}  // extern "C"
