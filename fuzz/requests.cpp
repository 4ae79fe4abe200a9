// requests.cpp - fuzz target: the server's request reader, dispatch and reply
// writer on one client's stream, as a link thread runs them, with the real
// areas, mailboxes, channels, information blocks and event queues.  Requests
// that start, close or raise programs become the status request (no fuzzed
// path is ever run), and a receive's wait is 0.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/protocol.h"
#include "fuzz/fuzz_support.h"
#include "server/areas.h"
#include "server/evqueues.h"
#include "server/info.h"
#include "server/log.h"
#include "server/mailboxes.h"
#include "server/messages.h"
#include "server/requests.h"
#include "server/server.h"
#include "server/transports.h"

namespace {

void MailboxesFresh() { quonix::MailboxesInit(576, 32, 'C', "FUZZ"); }

// Every input starts from the same state, and one that leaves nothing
// allocated behind costs no leak check: what it made is undone at its end.
void Serve(const quonix::SocketLink& link, std::uint32_t id) {
  using namespace quonix;
  quonix::LinkState state;  // not the library's, which core/core.h names too
  state.id = id;
  RequestReader reader(link);
  Request request;
  std::string why;
  std::vector<std::uint8_t> patched;
  std::vector<std::uint32_t> channels;  // sent to
  bool registered = false;
  // A queue's delivery thread waits for its reader in slices of 100 ms, and
  // a close joins it: the reader connects just before, and the close is done
  // at once.
  std::vector<std::pair<std::uint32_t, std::string>> pipes;  // queue number, pipe name
  std::vector<Handle> readers;
  const auto connect = [&](bool every, std::uint32_t queue) {
    std::erase_if(pipes, [&](const auto& open) {
      if (!every && open.first != queue) return false;
      const std::string name = "\\\\.\\pipe\\" + open.second;
      readers.push_back(win::CreateFileA(name.c_str(), win::GENERIC_READ, 0, nullptr,
                                         win::OPEN_EXISTING, 0, kInvalidHandle));
      return true;
    });
  };
  while (reader.Next(request, why) == ReadOutcome::Ok) {
    if (request.command >= proto::kAppControlFirst && request.command < proto::kAppControlFirst + 3)
      request.command = proto::kAppControlFirst + 3;
    if ((request.command == proto::kReadBytes || request.command == proto::kReadWords) &&
        request.body.size() >= 4) {
      patched.assign(request.body.begin(), request.body.end());
      patched[2] = patched[3] = 0;
      request.body = patched;
    }
    registered |= request.command == proto::kRegister;
    if (request.command == proto::kWriteBytes && IsMessageRequest(request))
      channels.push_back(proto::Get32(request.body.data()));
    if (request.command == proto::kEvQueueClose && request.body.size() == 8)
      connect(false, proto::Get32(request.body.data()));
    Reply reply = Dispatch(request, state);
    if (request.command == proto::kEvQueueOpen && reply.result == kOk)
      pipes.emplace_back(proto::Get32(reply.Payload().data()),
                         reinterpret_cast<const char*>(reply.Payload().data() + 4));
    if (reply.send && !WriteReply(link, request.command, reply)) break;
    GiveBackReplyBuffer(std::move(reply.payload));
    reader.Trim();
  }
  for (std::uint32_t area : channels) {
    std::uint8_t body[16] = {1};  // a receive of one range, no wait
    proto::Put32(body + 4, area);
    proto::Put32(body + 12, 8 + kMaxMessageBody);
    while (Dispatch({proto::kReadBytes, 0, body}, state).result == kOk) {
    }
  }
  if (registered) MailboxesFresh();
  connect(true, 0);
  EvQueuesCloseLink(state.id);
  InfoLinkClosed(state.id);
  for (Handle reader_pipe : readers) HndClose(reader_pipe);
}

// Nothing an input made is left in the root: every pipe of its queues and
// the pipe's owner lock went with the queue's close.
bool PipeFoldersEmpty() {
  for (const char* folder : {"/pipe", "/pipelock"}) {
    std::error_code missing;
    if (!std::filesystem::is_empty(PlatformRoot() + folder, missing) && !missing) return false;
  }
  return true;
}

// One socket pair for the whole run.  The near end does not block, so its
// reader ends where the input does, and a write the buffers cannot take
// (nobody reads the replies meanwhile) fails.
fz::SocketPair* g_pair = nullptr;

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
  MailboxesFresh();
  g_pair = new fz::SocketPair;
  fcntl(g_pair->near, F_SETFL, O_NONBLOCK);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static std::uint32_t next_id = 1;
  // What does not fit the buffers is not part of the stream.
  if (size != 0) send(g_pair->far, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
  Serve(quonix::SocketLink{g_pair->near}, next_id++);
  // The rest of the input the reader refused, and the replies.
  static std::uint8_t scratch[1 << 16];
  for (int fd : {g_pair->near, g_pair->far})
    while (recv(fd, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
  if (!PipeFoldersEmpty()) std::abort();
  return 0;
}
