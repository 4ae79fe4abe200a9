// areas.h - the six data areas the server publishes, each a named mapping of
// 16-bit words under a named mutex shared with every client.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace quonix {

inline constexpr std::uint32_t kAreaCount = 6;

enum class AreasOutcome { Ok, AlreadyExists, Failed };

// Creates the six mappings (zero-filled) and their mutexes.  AlreadyExists:
// another live server holds the objects of this root; nothing is left open.
AreasOutcome AreasCreate(const std::uint32_t (&words)[kAreaCount], std::uint32_t lock_timeout_ms,
                         std::string& error);
void AreasClose();

std::uint32_t AreaSize(std::uint32_t area);  // words; 0 for an index of 6 or more
// The area's words in the machine's byte order.  Touch them only under an
// AreaLock of the same area.
std::uint16_t* AreaWords(std::uint32_t area);

// Holds an area's mutex for the server's own access.  A mutex whose owner
// ended while holding it (abandoned) is taken over: the wait has handed it
// to us, so the access goes on and the takeover is logged.  held() is false
// when the mutex was not had within the lock time-out or the wait failed.
class AreaLock {
 public:
  explicit AreaLock(std::uint32_t area);
  ~AreaLock();
  AreaLock(const AreaLock&) = delete;
  AreaLock& operator=(const AreaLock&) = delete;
  bool held() const { return held_; }

 private:
  Handle mutex_ = 0;
  bool held_ = false;
};

// Changes the close handshake word (word 204 of area 3) after a link closed
// and after a registration.
// The new value is the old one plus 1, modulo 0x8000: it always differs from
// the old value and never has its top bit set, which would tell a closing
// client not to wait.
void HandshakeBump();

}  // namespace quonix
