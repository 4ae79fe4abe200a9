// requests.h - reading requests off a link and writing replies to it, once
// for every transport (pipe or TCP socket, transports.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "server/server.h"
#include "server/transports.h"
#include "server/w95link.h"

namespace quonix {

enum class ReadOutcome {
  Ok,       // a whole request is in the reader's buffer
  Closed,   // the peer closed the link (or it broke) between or inside requests
  Refused,  // the length word is below 8 or above the cap: the link must end
};

// Reads the requests of one link, one after another.
//
// Small requests usually arrive whole, so the reader asks the link for up to
// kReadAhead bytes at a time and keeps what came beyond the current request
// for the next one: one read call per request instead of one for the length
// word and one for the rest.  A large body is read straight into the request
// buffer.  The length word is checked against the cap before any memory is
// taken for the body.
template <Transport Link>
class RequestReader {
 public:
  explicit RequestReader(const Link& link) : link_(link) {}
  RequestReader(const RequestReader&) = delete;
  RequestReader& operator=(const RequestReader&) = delete;

  // The next request; its body stays valid until the next call.
  ReadOutcome Next(Request& request, std::string& why);
  // Gives back the memory of an unusually large request, so an idle link
  // does not keep it.
  void Trim();

 private:
  static constexpr std::uint32_t kReadAhead = 4096;
  bool Fill(std::uint8_t* at, std::uint32_t count);  // exactly count bytes

  const Link& link_;
  std::vector<std::uint8_t> buffer_;  // the current request after its length word
  std::uint8_t ahead_[kReadAhead];
  std::uint32_t ahead_begin_ = 0;
  std::uint32_t ahead_end_ = 0;
};

// Writes the reply record (length, first word, result, payload); false when
// the link broke.  The first word echoes the request's command code.
// A reply with head room gets its head written into it.
template <Transport Link>
bool WriteReply(const Link& link, std::uint32_t command, Reply& reply);

// Instantiated in requests.cpp for PipeLink, SocketLink and W95Link.
extern template class RequestReader<PipeLink>;
extern template class RequestReader<SocketLink>;
extern template bool WriteReply(const PipeLink&, std::uint32_t, Reply&);
extern template bool WriteReply(const SocketLink&, std::uint32_t, Reply&);
extern template class RequestReader<W95Link>;
extern template bool WriteReply(const W95Link&, std::uint32_t, Reply&);

}  // namespace quonix
