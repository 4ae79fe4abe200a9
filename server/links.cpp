// links.cpp - accepting links and serving each on a thread of its own.
//
// Every link thread reads a request, runs it and writes the reply, until its
// client closes the link or sends something that ends it.  A link's trouble
// stays on that link: the threads share only the areas (under their mutexes)
// and the mailboxes (under their lock).
//
// Lock rules: g_lock guards g_links and each link's `pipe` field.  A link
// thread closes its pipe under g_lock, so LinksStop never wakes a handle
// that is already closed.  Only the log's lock is taken under g_lock (it
// takes nothing itself), and threads are joined only after g_lock has been
// released.
#include "server/links.h"

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "server/areas.h"
#include "server/log.h"
#include "server/requests.h"

namespace quonix {
namespace {

// How long one accept waits, so the accepting threads see a stop promptly.
constexpr std::uint32_t kAcceptSliceMs = 200;
// A request buffer larger than this is given back after its request, so an
// idle link does not keep the memory of one big write.
constexpr std::size_t kKeepBufferBytes = 64 * 1024;

struct Link {
  LinkState state;
  Handle pipe = kInvalidHandle;  // kInvalidHandle once the link thread closed it
  std::thread thread;
  std::atomic<bool> done{false};
};

struct Listener {
  std::string name;
  Handle handle = kInvalidHandle;
  std::thread thread;
};

std::mutex g_lock;
std::list<std::unique_ptr<Link>> g_links;
std::uint32_t g_next_id = 1;
std::uint32_t g_max_links = 64;
std::atomic<bool> g_stopping{false};
std::vector<std::unique_ptr<Listener>> g_listeners;  // main thread only

// Reads, runs and answers requests until the link ends.
void ServeRequests(LinkState& state, Handle pipe) {
  std::vector<std::uint8_t> buffer;
  Request request;
  std::string why;
  for (;;) {
    const ReadOutcome outcome = ReadRequest(pipe, buffer, request, why);
    if (outcome == ReadOutcome::Closed) return;
    if (outcome == ReadOutcome::Refused) {
      Log("link %u: request refused, link ended: %s", state.id, why.c_str());
      return;
    }
    ++state.requests;
    const Reply reply = Dispatch(request, state);
    if (!reply.refusal.empty())
      Log("link %u: command %u refused with %u: %s", state.id, request.command, reply.result,
          reply.refusal.c_str());
    else if (LogVerbose())
      Log("link %u: command %u options %u, %u bytes -> %u, %u bytes%s", state.id,
          request.command, request.options, static_cast<unsigned>(request.body.size()),
          reply.result, static_cast<unsigned>(reply.payload.size()),
          reply.send ? "" : ", no reply sent");
    if (reply.send && !WriteReply(pipe, request.command, reply)) return;
    if (buffer.capacity() > kKeepBufferBytes) std::vector<std::uint8_t>().swap(buffer);
  }
}

void Serve(Link* link, Handle pipe) {
  LinkState& state = link->state;
  try {
    ServeRequests(state, pipe);
  } catch (const std::exception& e) {
    // Memory ran out for a (bounded) buffer: that link ends, the server and
    // the other links go on.
    Log("link %u: ended: %s", state.id, e.what());
  }
  {
    std::lock_guard guard(g_lock);
    HndClose(pipe);
    link->pipe = kInvalidHandle;
  }
  // After the close, so that a client waiting for the word sees the change
  // only once the server has let go of its link.
  HandshakeBump();
  Log("link %u closed (application '%s', %llu requests)", state.id, state.app.c_str(),
      static_cast<unsigned long long>(state.requests));
  link->done = true;
}

void Accept(Listener* listener) {
  bool reported = false;
  while (!g_stopping && !SysStopRequested()) {
    const Handle pipe = NpipeAccept(listener->handle, kAcceptSliceMs);
    if (pipe == kInvalidHandle) {
      const auto error = win::GetLastError();
      if (error != win::WAIT_TIMEOUT) {
        // Keep serving the links we have; do not flood the log or spin.
        if (!reported) Log("%s: accept failed (error %u)", listener->name.c_str(), error);
        reported = true;
        SysSleep(100);
      }
      continue;
    }
    reported = false;
    LinksReap();
    bool taken = false;
    {
      std::lock_guard guard(g_lock);
      if (!g_stopping && g_links.size() < g_max_links) {
        auto link = std::make_unique<Link>();
        link->state.id = g_next_id++;
        link->pipe = pipe;
        Log("link %u open on %s", link->state.id, listener->name.c_str());
        g_links.push_back(std::move(link));
        Link* added = g_links.back().get();
        try {
          added->thread = std::thread(Serve, added, pipe);
          taken = true;
        } catch (const std::system_error& e) {
          Log("link %u closed: no thread for it (%s)", added->state.id, e.what());
          g_links.pop_back();
        }
      } else if (!g_stopping) {
        Log("%s: link refused, %u links already served", listener->name.c_str(), g_max_links);
      }
    }
    if (taken) continue;
    HndClose(pipe);
    if (g_stopping) break;
    // A refused link is a link close too: its client may be waiting for the
    // handshake word.
    HandshakeBump();
  }
}

}  // namespace

bool LinksStart(const Options& options, std::string& error) {
  g_max_links = options.max_links;
  g_stopping = false;
  std::vector<std::string> names{LocalPipeName(options)};
  if (!options.host.empty()) names.push_back(HostPipeName(options));
  for (const std::string& name : names) {
    auto listener = std::make_unique<Listener>();
    listener->name = name;
    win::SetLastError(0);
    listener->handle = NpipeListen(name.c_str());
    if (listener->handle == kInvalidHandle) {
      error = "cannot listen on the pipe " + name + " (error " +
              std::to_string(win::GetLastError()) + ")";
      LinksStop();
      return false;
    }
    g_listeners.push_back(std::move(listener));
  }
  for (auto& listener : g_listeners) listener->thread = std::thread(Accept, listener.get());
  return true;
}

void LinksReap() {
  std::vector<std::unique_ptr<Link>> ended;
  {
    std::lock_guard guard(g_lock);
    for (auto it = g_links.begin(); it != g_links.end();) {
      if ((*it)->done) {
        ended.push_back(std::move(*it));
        it = g_links.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& link : ended) link->thread.join();
}

void LinksStop() {
  g_stopping = true;
  for (auto& listener : g_listeners)
    if (listener->thread.joinable()) listener->thread.join();
  for (auto& listener : g_listeners) HndClose(listener->handle);
  g_listeners.clear();

  std::list<std::unique_ptr<Link>> all;
  {
    std::lock_guard guard(g_lock);
    for (auto& link : g_links)
      if (link->pipe != kInvalidHandle) NpipeDisconnect(link->pipe);
    all.swap(g_links);
  }
  for (auto& link : all) link->thread.join();
}

}  // namespace quonix
