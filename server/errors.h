// errors.h - texts for the system error numbers the server logs: the Win32
// numbers of the pipes and objects, and the Windows Sockets numbers of TCP.
#pragma once

#include <cstdint>
#include <string>

namespace quonix {

// "address already in use (10048)"; a number without a text stays
// "error N".
std::string ErrorText(std::uint32_t error);

}  // namespace quonix
