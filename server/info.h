// info.h - the information blocks 1000 (server status, 448 bytes) and 1001
// (applications, 512 bytes), read with the bit-form data read (100).
#pragma once

#include <cstdint>
#include <string>

#include "server/server.h"

namespace quonix {

inline constexpr std::uint32_t kServerBlockSize = 448;
inline constexpr std::uint32_t kAppsBlockSize = 512;
inline constexpr std::uint32_t kInfoLayoutVersion = 2;
// The server's version in block 1000: major << 16 | minor << 8 | patch.  Set
// once at start, before any link is served.
void InfoSetVersion(std::uint32_t version);

// A 100 request whose first range is block 1000 or 1001.
bool IsInfoRead(const Request& request);
Reply HandleInfoRead(const Request& request);

// The registered applications the block lists: a link registered an
// application (name not empty), until that link closes.  At most
// kMaxListedLinks are kept (more than the links served at once, the
// emulated ones included); beyond that the oldest registration goes.  The
// link's state must live until InfoLinkClosed of its id.
inline constexpr std::uint32_t kMaxListedLinks = 1u << 15;
void InfoLinkRegistered(const LinkState& link);
void InfoLinkClosed(std::uint32_t link_id);

}  // namespace quonix
