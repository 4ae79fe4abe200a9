// registration.cpp - application registration (command 100000).
//
// The body is the client's 16-byte registration record: two words the server
// keeps no use for, and the application name.  The reply carries the six
// area sizes; the application's mailbox exists from then on, so the client's
// wait for its mailbox ends at the first poll, and the close handshake word
// has changed.
#include "core/protocol.h"
#include "server/areas.h"
#include "server/mailboxes.h"
#include "server/server.h"

namespace quonix {

Reply HandleRegister(const Request& request, LinkState& link) {
  if (request.body.size() != 16) return Refuse(kRange, "registration: layout");
  const std::string name = NameOf(request.body.data() + 8);
  // A record without a name registers (the client learns the sizes) but
  // owns no mailbox.
  if (!name.empty() && !MailboxEnsure(name))
    return Refuse(kNoRoom, "registration of '" + name + "': no room for another mailbox");
  link.app = name;
  Reply reply;
  reply.payload.resize(4u * kAreaCount);
  for (std::uint32_t i = 0; i < kAreaCount; ++i)
    proto::Put32(reply.payload.data() + 4u * i, AreaSize(i));
  // A pipe connection's open reads the handshake word before it registers
  // and then waits, polling every 50 ms for up to a second, until the word
  // changes.  Changed before the reply, the word ends that wait at the first
  // poll.  A client closing meanwhile only sees its own wait end sooner.
  HandshakeBump();
  return reply;
}

}  // namespace quonix
