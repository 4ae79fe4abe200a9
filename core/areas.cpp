// areas.cpp - the data area table and the direct, mutex-guarded accesses to
// the mapped areas (nothing here goes to the server).
//
// Lock rules: an area's named mutex is shared with the server and every other
// client and is the only guard of the area's contents.  A call holds at most
// one area mutex, only around one copy or one bit walk, and never while it
// waits for anything else.  The table itself is written only by the opens and
// closes of the connections and by the registrations that set the sizes.
#include <cstring>

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

int AreaOpenAll() {
  for (AreaRow& row : g_areas) {
    if (row.view == nullptr) {
      void* view = nullptr;
      Handle mapping = 0;
      if (ShmOpen(&view, row.name, 3, &mapping) != 0) {
        row.view = nullptr;
        return -1;
      }
      row.view = view;
      row.mapping = mapping;
      row.mapped_words = ShmSize(mapping) / 2;
    }
    if (row.mutex == 0) {
      Handle mutex = 0;
      if (MtxOpen(row.mutex_name, &mutex) != 0) {
        row.mutex = 0;
        return -1;
      }
      row.mutex = mutex;
    }
  }
  return 0;
}

void AreaCloseAll() {
  for (AreaRow& row : g_areas) {
    if (row.view != nullptr) {
      // Unmap only while no locked copy runs: take the mutex first.  Only a
      // copy of this process can use this view, and such a copy holds the
      // mutex for moments; another process that keeps it (a hung client)
      // must not stop this close for good, so the wait is bounded like any
      // other area wait, and the view goes in any case.
      const int waited = row.mutex != 0 ? MtxWait(row.mutex, QNA_TimeOut) : kWaitFailed;
      ShmClose(row.view, row.mapping);
      row.view = nullptr;
      row.mapping = 0;
      row.mapped_words = 0;
      if (waited == kWaitOk || waited == kWaitAbandoned) MtxRelease(row.mutex);
    }
    if (row.mutex != 0) {
      for (int attempt = 0; attempt < 100 && HndClose(row.mutex) != 0; ++attempt) SysSleep(100);
      row.mutex = 0;
    }
  }
  // The sizes stay: the next registration overwrites them.
}

void AreaSetSize(std::uint32_t area, std::uint32_t size) {
  if (area < kAreaCount) g_areas[area].size = size;
}

int AreaInRange(std::uint32_t area, std::uint32_t offset) {
  return area < kAreaCount && offset < g_areas[area].size ? 1 : 0;
}

namespace {

// The view of an area when words first..last all lie inside it, else
// nullptr.  The words are 64-bit here so that a range whose end passes 2^32
// is refused instead of wrapping to the start of the area.
//
// "Inside" means inside the size the server reported and inside the view.  A
// server that announces more words than its mapping holds would otherwise
// make a copy run past the view into whatever this process has mapped next
// (or fault); such words are refused like any other range outside the area.
std::uint16_t* AreaRange(std::uint32_t area, std::uint64_t first, std::uint64_t last) {
  if (last > 0xFFFFFFFFu) return nullptr;
  if (AreaInRange(area, static_cast<std::uint32_t>(first)) == 0 ||
      AreaInRange(area, static_cast<std::uint32_t>(last)) == 0)
    return nullptr;
  if (last >= g_areas[area].mapped_words) return nullptr;  // also: not mapped
  return static_cast<std::uint16_t*>(g_areas[area].view);
}

// Range test, mutex, transfer, release: the steps every data function shares.
template <typename Transfer>
std::uint32_t AreaAccess(std::uint32_t area, std::uint64_t first, std::uint64_t last,
                         std::uint32_t no_lock, Transfer&& transfer) {
  std::uint16_t* view = AreaRange(area, first, last);
  if (view == nullptr) return QNA_E_ARG;  // outside the area, size 0, or not mapped
  MutexHold hold(no_lock == 0 ? g_areas[area].mutex : 0, QNA_TimeOut);
  if (hold.outcome() != kWaitOk) {
    SetDetail(hold.outcome());
    return QNA_E_MUTEX;
  }
  transfer(view);
  if (hold.Release() != 0) {
    SetDetail(-1);
    return QNA_E_INTERNAL;  // the data has been transferred all the same
  }
  return QNA_OK;
}

// A bit range whose last bit number passes 2^32 would wrap to the area's
// first bits.
bool BitsWrap(std::uint32_t bit, std::uint32_t count) {
  return std::uint64_t{bit} + count - 1 > 0xFFFFFFFFu;
}

// Bit b of an area is bit b % 16 of word b / 16, bit 0 the least significant.
struct BitCursor {
  std::size_t word;
  unsigned mask;
  explicit BitCursor(std::uint32_t bit) : word(bit / 16), mask(1u << (bit % 16)) {}
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
  if (count == 0 || buffer == nullptr) return QNA_E_ARG;
  return AreaAccess(area, offset, std::uint64_t{offset} + count - 1, no_lock,
                    [&](const std::uint16_t* view) {
                      std::memcpy(buffer, view + offset, std::size_t{count} * 2);
                    });
}

std::uint32_t AreaWriteWords(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                             const std::uint16_t* source, std::uint32_t no_lock) {
  if (count == 0 || source == nullptr) return QNA_E_ARG;
  return AreaAccess(area, offset, std::uint64_t{offset} + count - 1, no_lock,
                    [&](std::uint16_t* view) {
                      std::memcpy(view + offset, source, std::size_t{count} * 2);
                    });
}

std::uint32_t AreaReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                           std::uint8_t* buffer, std::uint32_t no_lock) {
  if (count == 0 || buffer == nullptr || BitsWrap(bit, count)) return QNA_E_ARG;
  return AreaAccess(area, bit / 16, (std::uint64_t{bit} + count - 1) / 16, no_lock,
                    [&](const std::uint16_t* view) {
                      BitCursor at(bit);
                      for (std::uint32_t i = 0; i < count; ++i, at.Next())
                        buffer[i] = (view[at.word] & at.mask) != 0 ? 1 : 0;
                    });
}

std::uint32_t AreaWriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                            const std::uint8_t* source, std::uint32_t no_lock) {
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
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaReadWords(area, offset, count, buffer, no_lock);
}

std::uint32_t QNA_API QNA_ReadBit(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                                  std::uint8_t* buffer, std::uint32_t no_lock) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaReadBits(area, bit, count, buffer, no_lock);
}

std::uint32_t QNA_API QNA_WriteSmem(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                                    const std::uint16_t* source, std::uint32_t no_lock) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  return AreaWriteWords(area, offset, count, source, no_lock);
}

std::uint32_t QNA_API QNA_WriteSmemBit(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                                       const std::uint8_t* source, std::uint32_t no_lock) {
  SetDetail(0);
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
