// requests.cpp - fuzz target: the server's handling of what a client sends.
//
// The fuzzer's bytes are one client's stream on a socket link; the server's
// own request reader, dispatch and reply writer run on it until the stream
// ends or the reader ends the link, exactly as a link thread runs them.  The
// areas, mailboxes, message channels, information blocks and event queues
// are the real ones, made once in a private root.
//
// Left out on purpose: the application control requests that start, close or
// raise programs (300100 to 300102) would run whatever program a fuzzed path
// names; they are turned into the status request, whose parsing of the same
// bytes still runs.  A message receive's wait is set to 0 so that no input
// can make an iteration wait.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <fcntl.h>
#include <vector>

#include "core/protocol.h"
#include "fuzz/fuzz_support.h"
#include "server/areas.h"
#include "server/evqueues.h"
#include "server/info.h"
#include "server/log.h"
#include "server/mailboxes.h"
#include "server/requests.h"
#include "server/server.h"
#include "server/transports.h"

namespace {

void Serve(const quonix::SocketLink& link, std::uint32_t id) {
  using namespace quonix;
  LinkState state;
  state.id = id;
  RequestReader reader(link);
  Request request;
  std::string why;
  std::vector<std::uint8_t> patched;
  while (reader.Next(request, why) == ReadOutcome::Ok) {
    if (request.command >= proto::kAppControlFirst && request.command < proto::kAppControlFirst + 3)
      request.command = proto::kAppControlFirst + 3;
    if ((request.command == proto::kReadBytes || request.command == proto::kReadWords) &&
        request.body.size() >= 4) {
      patched.assign(request.body.begin(), request.body.end());
      patched[2] = patched[3] = 0;
      request.body = patched;
    }
    Reply reply = Dispatch(request, state);
    if (reply.send && !WriteReply(link, request.command, reply)) break;
    GiveBackReplyBuffer(std::move(reply.payload));
    reader.Trim();
  }
  EvQueuesCloseLink(state.id);
  InfoLinkClosed(state.id);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::MakePrivateRoot("requests");
  quonix::LogInit(false, true);
  const std::uint32_t words[6] = {256, 1024, 256, 256, 128, 128};
  std::string error;
  if (quonix::AreasCreate(words, 100, error) != quonix::AreasOutcome::Ok) {
    std::fprintf(stderr, "areas: %s\n", error.c_str());
    std::abort();
  }
  quonix::EvQueuesInit(8, 1u << 20, "");  // 1 MiB of events per queue
  quonix::MailboxesInit(576, 32, 'C', "FUZZ");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint32_t next_id = 1;
  fz::SocketPair pair(std::span<const std::uint8_t>(data, size));
  // Nobody reads the replies: a write the buffers cannot take fails, as on
  // a link the client stopped reading, instead of waiting.
  fcntl(pair.near, F_SETFL, O_NONBLOCK);
  Serve(quonix::SocketLink{pair.near}, next_id++);
  close(pair.near);
  return 0;
}
