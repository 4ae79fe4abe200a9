// areas.cpp - the data areas: creation, the server's locked access, the close
// handshake word.
//
// Lock rules: each area's words are guarded by that area's named mutex, the
// same one clients take (AreaLock).  The server holds at most one area mutex
// at a time and never waits for anything else while it holds one.  The area
// table itself is written only by AreasCreate and AreasClose, while no link
// thread runs.
#include "server/areas.h"

#include <cstring>

#include "core/protocol.h"
#include "server/errors.h"
#include "server/log.h"

namespace quonix {
namespace {

struct Area {
  const char* mapping_name;  // in the library's naming convention
  const char* mutex_name;
  std::uint32_t words = 0;
  void* view = nullptr;
  Handle mapping = 0;
  Handle mutex = 0;
};

Area g_areas[kAreaCount] = {
    {"\\sharemem\\qoxmemcb", "\\sem32\\qoxsemcb"}, {"\\sharemem\\qoxmemcw", "\\sem32\\qoxsemcw"},
    {"\\sharemem\\qoxmemsb", "\\sem32\\qoxsemsb"}, {"\\sharemem\\qoxmemsw", "\\sem32\\qoxsemsw"},
    {"\\sharemem\\qoxlgp", "\\sem32\\qoxslgp"},    {"\\sharemem\\qoxtman", "\\sem32\\qoxstman"},
};
std::uint32_t g_lock_timeout_ms = 5000;

// The platform upper-cases names in place, so each create gets a copy.
struct NameBuffer {
  char text[32];
  explicit NameBuffer(const char* name) {
    std::strncpy(text, name, sizeof text - 1);
    text[sizeof text - 1] = '\0';
  }
};

}  // namespace

AreasOutcome AreasCreate(const std::uint32_t (&words)[kAreaCount], std::uint32_t lock_timeout_ms,
                         std::string& error) {
  g_lock_timeout_ms = lock_timeout_ms;
  for (std::uint32_t i = 0; i < kAreaCount; ++i) {
    Area& area = g_areas[i];
    NameBuffer mapping_name(area.mapping_name);
    NameBuffer mutex_name(area.mutex_name);
    // Mutex first: clients open an area's mapping and then its mutex, so a
    // mapping that exists always has its mutex when they come.
    win::SetLastError(0);
    if (MtxCreate(mutex_name.text, &area.mutex, 0) != 0) {
      const auto code = win::GetLastError();
      area.mutex = 0;
      AreasClose();
      if (code == win::ERROR_ALREADY_EXISTS) {
        error = "the mutex " + std::string(mutex_name.text) +
                " already exists: another server runs in this root";
        return AreasOutcome::AlreadyExists;
      }
      error = "cannot create the mutex " + std::string(mutex_name.text) + ": " + ErrorText(code);
      return AreasOutcome::Failed;
    }
    win::SetLastError(0);
    if (ShmCreate(&area.view, mapping_name.text, words[i] * 2u, 2, &area.mapping) != 0) {
      const auto code = win::GetLastError();
      area.view = nullptr;
      area.mapping = 0;
      AreasClose();
      if (code == win::ERROR_ALREADY_EXISTS) {
        error = "the mapping " + std::string(mapping_name.text) +
                " already exists: another server runs in this root";
        return AreasOutcome::AlreadyExists;
      }
      error = "cannot create the mapping " + std::string(mapping_name.text) + ": " +
              ErrorText(code);
      return AreasOutcome::Failed;
    }
    area.words = words[i];
    // Clients may open the area as soon as it exists, so even the first
    // clearing is done under its mutex.
    AreaLock lock(i);
    if (lock.held()) std::memset(area.view, 0, std::size_t{words[i]} * 2u);
  }
  return AreasOutcome::Ok;
}

void AreasClose() {
  for (Area& area : g_areas) {
    if (area.view != nullptr) ShmClose(area.view, area.mapping);
    if (area.mutex != 0) HndClose(area.mutex);
    area.view = nullptr;
    area.mapping = 0;
    area.mutex = 0;
    area.words = 0;
  }
}

std::uint32_t AreaSize(std::uint32_t area) { return area < kAreaCount ? g_areas[area].words : 0; }

std::uint16_t* AreaWords(std::uint32_t area) {
  return area < kAreaCount ? static_cast<std::uint16_t*>(g_areas[area].view) : nullptr;
}

AreaLock::AreaLock(std::uint32_t area) {
  if (area >= kAreaCount || g_areas[area].mutex == 0) return;
  const int outcome = MtxWait(g_areas[area].mutex, g_lock_timeout_ms);
  if (outcome == kWaitOk || outcome == kWaitAbandoned) {
    mutex_ = g_areas[area].mutex;
    held_ = true;
    // The owner died inside its access: the words it was changing may be
    // half-written, but the mutex is ours now and the area goes on serving.
    if (outcome == kWaitAbandoned)
      Log("area %u: mutex abandoned by its owner, taken over", static_cast<unsigned>(area));
  } else {
    Log("area %u: mutex not had (wait outcome %d)", static_cast<unsigned>(area), outcome);
  }
}

AreaLock::~AreaLock() {
  if (held_) MtxRelease(mutex_);
}

void HandshakeBump() {
  if (AreaSize(proto::kHandshakeArea) <= proto::kHandshakeWord) return;
  AreaLock lock(proto::kHandshakeArea);
  // Written only under the mutex: a client that reads the word while it is
  // changed would otherwise see a torn value.
  if (!lock.held()) {
    Log("close handshake word not changed: area %u mutex not had",
        static_cast<unsigned>(proto::kHandshakeArea));
    return;
  }
  std::uint16_t& word = AreaWords(proto::kHandshakeArea)[proto::kHandshakeWord];
  word = static_cast<std::uint16_t>((word + 1u) & 0x7FFFu);
}

}  // namespace quonix
