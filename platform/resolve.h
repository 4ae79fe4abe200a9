// resolve.h - a host name to one IPv4 address, written once for both
// backends' sockets.  Inside the platform only.
#pragma once

#include <cstdint>
#include <optional>

// The first IPv4 address of a host name or dotted address, in network byte
// order; nullopt when there is none.
std::optional<std::uint32_t> ResolveIpv4(const char* name);
