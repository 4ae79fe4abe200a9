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
// The server's version in block 1000: major << 16 | minor << 8 | patch.
inline constexpr std::uint32_t kServerVersion = 0x000100;  // 0.1.0

// A 100 request whose first range is block 1000 or 1001.
bool IsInfoRead(const Request& request);
Reply HandleInfoRead(const Request& request);

// The registered applications the block lists: a link registered an
// application (name not empty), until that link closes.  At most
// kMaxListedLinks are kept; beyond that the oldest registration goes.  The
// link's state must live until InfoLinkClosed of its id.
inline constexpr std::uint32_t kMaxListedLinks = 1024;
void InfoLinkRegistered(const LinkState& link);
void InfoLinkClosed(std::uint32_t link_id);

}  // namespace quonix
