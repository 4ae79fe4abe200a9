// requests.cpp - fuzz target: the server's request reader, dispatch and reply
// writer on one client's stream, as a link thread runs them, with the real
// areas, mailboxes, channels, information blocks and event queues.  Requests
// that start, close or raise programs become the status request (no fuzzed
// path is ever run), and a receive's wait is 0.
#include <fcntl.h>
#include <unistd.h>

#include <string>
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
  quonix::LinkState state;  // not the library's, which core/core.h names too
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
  // Nobody reads the replies: a write the buffers cannot take fails.
  fcntl(pair.near, F_SETFL, O_NONBLOCK);
  Serve(quonix::SocketLink{pair.near}, next_id++);
  close(pair.near);
  return 0;
}
