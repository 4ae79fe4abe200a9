// requests.h - reading requests off a link and writing replies to it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/server.h"

namespace quonix {

enum class ReadOutcome {
  Ok,       // a whole request is in the buffer
  Closed,   // the peer closed the link (or it broke) between or inside requests
  Refused,  // the length word is below 8 or above the cap: the link must end
};

// Reads one request.  The length word is checked against the cap before any
// memory is taken for the body; `buffer` is reused from request to request.
ReadOutcome ReadRequest(Handle link, std::vector<std::uint8_t>& buffer, Request& request,
                        std::string& why);

// Writes the reply record (length, first word, result, payload); false when
// the link broke.  The first word echoes the request's command code.
bool WriteReply(Handle link, std::uint32_t command, const Reply& reply);

}  // namespace quonix
