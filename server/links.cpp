// links.cpp - accepting links and serving each on a thread of its own.
//
// Every link thread reads a request, runs it and writes the reply, until its
// client closes the link or sends something that ends it.  A link's trouble
// stays on that link: the threads share only the areas (under their mutexes)
// and the mailboxes (under their lock).  Pipe and TCP links are served by the
// same loop, written once over the transport (transports.h): a request means
// the same whichever way it came in.
//
// Lock rules: g_lock guards g_links and each link's `open` field.  A link
// thread closes its transport under g_lock, so LinksStop never wakes a link
// that is already closed (whose handle or socket number may have been given
// to someone else).  Only the log's lock is taken under g_lock (it takes
// nothing itself), and threads are joined only after g_lock has been
// released.
#include "server/links.h"

#include <atomic>
#include <cctype>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
#include <variant>
#include <vector>

#include "server/areas.h"
#include "server/errors.h"
#include "server/evqueues.h"
#include "server/faults.h"
#include "server/info.h"
#include "server/log.h"
#include "server/requests.h"
#include "server/transports.h"
#include "server/w95link.h"

namespace quonix {
namespace {

// How long one accept waits, so the accepting threads see a stop promptly.
constexpr std::uint32_t kAcceptSliceMs = 200;

using AnyLink = std::variant<PipeLink, SocketLink, W95Link>;
using AnyListener = std::variant<PipeListener, TcpListener, W95Listener>;

struct Link {
  LinkState state;
  AnyLink transport;
  bool open = true;  // false once the link thread closed the transport
  std::thread thread;
  std::atomic<bool> done{false};
};

struct Listener {
  std::string name;  // for the log: the pipe name, or "tcp ADDRESS:PORT"
  LinkKind kind = LinkKind::pipe;  // of every link it accepts
  AnyListener source;
  std::thread thread;
};

std::mutex g_lock;
std::list<std::unique_ptr<Link>> g_links;
std::uint32_t g_next_id = 1;
std::uint32_t g_max_links = 1024;
std::atomic<bool> g_stopping{false};
std::vector<std::unique_ptr<Listener>> g_listeners;  // main thread only

// Reads, runs and answers requests until the link ends.
template <Transport Endpoint>
void ServeRequests(LinkState& state, const Endpoint& transport) {
  RequestReader reader(transport);
  Request request;
  std::string why;
  for (;;) {
    const ReadOutcome outcome = reader.Next(request, why);
    if (outcome == ReadOutcome::Closed) return;
    if (outcome == ReadOutcome::Refused) {
      Log("link %u: request refused, link ended: %s", state.id, why.c_str());
      return;
    }
    ++state.requests;
    if (FaultCloseLink(state.requests)) {
      Log("link %u: ended by --fault-close-after", state.id);
      return;
    }
    Reply reply;
    if (!FaultRefuse(request, reply)) reply = Dispatch(request, state);
    if (!reply.refusal.empty())
      Log("link %u: command %u refused with %u: %s", state.id, request.command, reply.result,
          reply.refusal.c_str());
    else if (LogVerbose())
      Log("link %u: command %u options %u, %u bytes -> %u, %u bytes%s", state.id,
          request.command, request.options, static_cast<unsigned>(request.body.size()),
          reply.result, static_cast<unsigned>(reply.Payload().size()),
          reply.send ? "" : ", no reply sent");
    if (reply.send) FaultDelay();
    if (reply.send && !FaultWriteReply(transport, request.command, reply)) {
      if (reply.unsent) reply.unsent();
      return;
    }
    GiveBackReplyBuffer(std::move(reply.payload));
    reader.Trim();
  }
}

template <Transport Endpoint>
void Serve(Link* link, Endpoint transport) {
  LinkState& state = link->state;
  // Its event queues then get emulated pipes as well.
  state.emulated = std::is_same_v<Endpoint, W95Link>;
  try {
    ServeRequests(state, transport);
  } catch (const std::exception& e) {
    // Memory ran out for a (bounded) buffer: that link ends, the server and
    // the other links go on.
    Log("link %u: ended: %s", state.id, e.what());
  }
  // The link's event queue opens go with it, before the handshake word
  // tells its client that the link is closed.
  EvQueuesCloseLink(state.id);
  InfoLinkClosed(state.id);
  {
    std::lock_guard guard(g_lock);
    transport.Close();
    link->open = false;
  }
  // After the close, so that a client waiting for the word sees the change
  // only once the server has let go of its link.
  HandshakeBump();
  Log("link %u closed (application '%s', %llu requests)", state.id, state.app.c_str(),
      static_cast<unsigned long long>(state.requests.load()));
  link->done = true;
}

template <class Source>
void Accept(Listener* listener, const Source& source) {
  bool reported = false;
  while (!g_stopping && !SysStopRequested()) {
    typename Source::Link transport;
    if (!source.Accept(kAcceptSliceMs, transport)) {
      const auto error = win::GetLastError();
      if (error != win::WAIT_TIMEOUT) {
        // Keep serving the links we have; do not flood the log or spin.
        if (!reported)
          Log("%s: accept failed: %s", listener->name.c_str(), ErrorText(error).c_str());
        reported = true;
        SysSleep(100);
      }
      continue;
    }
    reported = false;
    // Links that ended make room; the main loop reaps them as well, so a
    // full table is the only time an accept needs to.
    bool full = false;
    {
      std::lock_guard guard(g_lock);
      full = g_links.size() >= g_max_links;
    }
    if (full) LinksReap();
    bool taken = false;
    {
      std::lock_guard guard(g_lock);
      if (!g_stopping && g_links.size() < g_max_links) {
        auto link = std::make_unique<Link>();
        link->state.id = g_next_id++;
        link->state.kind = listener->kind;
        link->transport = transport;
        Log("link %u open on %s", link->state.id, listener->name.c_str());
        g_links.push_back(std::move(link));
        Link* added = g_links.back().get();
        try {
          added->thread = std::thread(Serve<typename Source::Link>, added, transport);
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
    transport.Close();
    if (g_stopping) break;
    // A refused link is a link close too: its client may be waiting for the
    // handshake word.
    HandshakeBump();
  }
}

std::string EndpointText(const std::string& address, std::uint16_t port) {
  return address + ":" + std::to_string(port);
}

// Listens on the pipe `name`; false (with `error`) when it cannot.
bool ListenPipe(const std::string& name, LinkKind kind, std::string& error) {
  auto listener = std::make_unique<Listener>();
  listener->name = name;
  listener->kind = kind;
  win::SetLastError(0);
  const Handle handle = NpipeListen(name.c_str());
  if (handle == kInvalidHandle) {
    error = "cannot listen on the pipe " + name + ": " + ErrorText(win::GetLastError());
    return false;
  }
  listener->source = PipeListener{handle};
  g_listeners.push_back(std::move(listener));
  return true;
}

// Offers the emulated pipe of the local pipe's name (QOXSMEM).
bool ListenW95(const std::string& pipe_name, std::uint32_t instances, std::string& error) {
  W95Listener source;
  if (!W95ListenerMake(pipe_name, instances, source, error)) return false;
  auto listener = std::make_unique<Listener>();
  std::string short_name = pipe_name.substr(pipe_name.rfind('\\') + 1);
  for (char& c : short_name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  listener->name = "emulated pipe " + short_name;
  listener->kind = LinkKind::emulated;
  listener->source = source;
  g_listeners.push_back(std::move(listener));
  return true;
}

bool ListenTcp(const TcpEndpoint& where, std::string& error) {
  win::SetLastError(0);
  const win::SOCKET socket = win::TcpListen(where.address.c_str(), where.port);
  if (socket == win::INVALID_SOCKET) {
    error = "cannot listen on tcp " + EndpointText(where.address, where.port) + ": " +
            ErrorText(win::GetLastError());
    return false;
  }
  // With port 0 the system picked one; clients (and the tests) learn which
  // from this line.
  const std::uint16_t port = win::TcpLocalPort(socket);
  if (port == 0) {
    error = "cannot learn the port of tcp " + EndpointText(where.address, where.port) + ": " +
            ErrorText(win::GetLastError());
    win::closesocket(socket);
    return false;
  }
  auto listener = std::make_unique<Listener>();
  listener->name = "tcp " + EndpointText(where.address, port);
  listener->kind = LinkKind::tcp;
  listener->source = TcpListener{socket};
  Log("tcp listening on %s%s", EndpointText(where.address, port).c_str(),
      IsLoopback(where.address)
          ? ""
          : " (not loopback: any host that reaches this port can read and write the areas)");
  g_listeners.push_back(std::move(listener));
  return true;
}

}  // namespace

bool LinksStart(const Options& options, std::string& error) {
  g_max_links = options.max_links;
  // A link holds one handle, an open event queue one more, and the server
  // keeps a few dozen of its own.
  const std::uint32_t wanted = 2 * options.max_links + 64;
  const std::uint32_t limit = SysRaiseHandleLimit(wanted);
  if (limit < options.max_links + 64)
    Log("only %u open files allowed (ulimit -n): fewer than %u links can be served", limit,
        options.max_links);
  g_stopping = false;
  bool ok = ListenPipe(LocalPipeName(options), LinkKind::pipe, error);
  if (ok && !options.host.empty()) ok = ListenPipe(HostPipeName(options), LinkKind::host_pipe, error);
  if (ok && options.tcp) ok = ListenTcp({options.tcp_address, options.tcp_port}, error);
  if (ok && options.w95_instances != 0)
    ok = ListenW95(LocalPipeName(options), options.w95_instances, error);
  if (!ok) {
    LinksStop();
    return false;
  }
  for (auto& listener : g_listeners) {
    Listener* l = listener.get();
    std::visit(
        [l](const auto& source) { l->thread = std::thread([l, source] { Accept(l, source); }); },
        l->source);
  }
  return true;
}

std::string LinksServed() {
  std::string text;
  for (const auto& listener : g_listeners) {
    if (!text.empty()) text += " and ";
    text += listener->name;
  }
  return text;
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
  // The emulated pipe's accept waits in a connect without a time-out.
  for (auto& listener : g_listeners)
    if (const auto* w95 = std::get_if<W95Listener>(&listener->source)) w95->Wake();
  for (auto& listener : g_listeners)
    if (listener->thread.joinable()) listener->thread.join();
  for (auto& listener : g_listeners)
    std::visit([](const auto& source) { source.Close(); }, listener->source);
  g_listeners.clear();

  std::list<std::unique_ptr<Link>> all;
  {
    std::lock_guard guard(g_lock);
    for (auto& link : g_links)
      if (link->open) std::visit([](const auto& transport) { transport.Wake(); }, link->transport);
    all.swap(g_links);
  }
  for (auto& link : all) link->thread.join();
}

}  // namespace quonix
