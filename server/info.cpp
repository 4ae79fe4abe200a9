// info.cpp - the information blocks.
//
// Block 1000, the server (448 bytes, little-endian, unused bytes 0):
//     0  char[8]  "QUONIX", zero-padded
//     8  u32      layout version (1)
//    12  u32      server version, major << 16 | minor << 8 | patch
//    16  u32      the server's process id
//    20  u32      start time, seconds since 1970-01-01 UTC
//    24  u32      seconds since the start
//    28  u32      links with a registered application now
//    32  u32      registrations since the start
//    36  u32 × 6  sizes of the data areas 0 to 5 in words
//    60  u32      message channels holding messages
//    64  u32      messages queued
//    68  u32      body bytes queued
//    72  u32      messages sent since the start (low 32 bits)
//    76  u32      messages received since the start (low 32 bits)
//    80  u32      control requests accepted since the start
//    84  u32      programs started by the server that still run
//    88  u32 × 4  links with a registered application now, by kind: pipe,
//                 host pipe, TCP, emulated pipe
//
// Block 1001, the applications (512 bytes): u32 applications known, u32
// entries in this block (at most 15), then 32-byte entries from offset 8:
//     0  char[8]  application name (zero-padded, unterminated at 8)
//     8  u32      kind: 1 registered on a link, 2 a program the server started
//    12  u32      the link's id (kind 1), or the start request's id (kind 2)
//    16  u32      process id (kind 2; 0 for kind 1)
//    20  u32      seconds since the server's start when it registered or started
//    24  u32      the link's kind (kind 1): 1 pipe, 2 host pipe, 3 TCP,
//                 4 emulated pipe; 0 for kind 2
//    28  u32      requests served on the link so far (kind 1, low 32 bits)
// Links in the order they registered, then programs in the order started.
// Layout 2 added the kinds and counts of the links; layout 1 had zeros there.
//
// Lock rules: g_lock guards g_links and g_registrations; nothing else is
// taken under it (the other families' totals are gathered before it).  An
// entry points at its link's state, which lives until the link thread has
// called InfoLinkClosed; the request count there is atomic.
#include "server/info.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "core/protocol.h"
#include "platform/platform.h"
#include "server/appctl.h"
#include "server/areas.h"
#include "server/messages.h"

namespace quonix {
namespace {

struct Registered {
  const LinkState* link;
  std::string name;
  std::uint32_t since_s;
};

std::mutex g_lock;
std::list<Registered> g_links;
std::uint32_t g_registrations = 0;
std::uint32_t g_version = 0;

const std::uint32_t g_start_time = static_cast<std::uint32_t>(std::time(nullptr));

constexpr std::uint32_t kEntrySize = 32;
constexpr std::uint32_t kEntriesPerBlock = (kAppsBlockSize - 8) / kEntrySize;  // 15

std::vector<std::uint8_t> ServerBlock() {
  const ChannelTotals channels = MessagesTotals();
  const std::uint32_t requests = AppCtlRequestCount();
  const auto running = static_cast<std::uint32_t>(AppCtlRunning().size());
  std::vector<std::uint8_t> block(kServerBlockSize, 0);
  std::uint8_t* b = block.data();
  std::memcpy(b, "QUONIX", 6);
  proto::Put32(b + 8, kInfoLayoutVersion);
  proto::Put32(b + 12, g_version);
  proto::Put32(b + 16, SysProcessId());
  proto::Put32(b + 20, g_start_time);
  proto::Put32(b + 24, ServerSeconds());
  {
    std::lock_guard guard(g_lock);
    proto::Put32(b + 28, static_cast<std::uint32_t>(g_links.size()));
    proto::Put32(b + 32, g_registrations);
    std::uint32_t by_kind[4] = {};
    for (const Registered& r : g_links) ++by_kind[static_cast<std::uint32_t>(r.link->kind) - 1];
    for (std::uint32_t i = 0; i < 4; ++i) proto::Put32(b + 88 + 4 * i, by_kind[i]);
  }
  for (std::uint32_t i = 0; i < kAreaCount; ++i) proto::Put32(b + 36 + 4 * i, AreaSize(i));
  proto::Put32(b + 60, channels.channels);
  proto::Put32(b + 64, channels.messages);
  proto::Put32(b + 68, static_cast<std::uint32_t>(channels.bytes));
  proto::Put32(b + 72, static_cast<std::uint32_t>(channels.sent));
  proto::Put32(b + 76, static_cast<std::uint32_t>(channels.received));
  proto::Put32(b + 80, requests);
  proto::Put32(b + 84, running);
  return block;
}

std::vector<std::uint8_t> AppsBlock() {
  struct Row {
    std::string name;
    std::uint32_t kind, id, pid, since, link_kind, requests;
  };
  std::vector<Row> rows;
  {
    std::lock_guard guard(g_lock);
    for (const Registered& r : g_links)
      rows.push_back({r.name, 1, r.link->id, 0, r.since_s, static_cast<std::uint32_t>(r.link->kind),
                      static_cast<std::uint32_t>(r.link->requests.load(std::memory_order_relaxed))});
  }
  for (const StartedProgram& p : AppCtlRunning())
    rows.push_back({p.name, 2, p.request_id, p.pid, p.started_s, 0, 0});

  std::vector<std::uint8_t> block(kAppsBlockSize, 0);
  std::uint8_t* b = block.data();
  const auto listed = static_cast<std::uint32_t>(std::min<std::size_t>(rows.size(), kEntriesPerBlock));
  proto::Put32(b, static_cast<std::uint32_t>(rows.size()));
  proto::Put32(b + 4, listed);
  for (std::uint32_t i = 0; i < listed; ++i) {
    std::uint8_t* e = b + 8 + kEntrySize * i;
    proto::PutName8(e, rows[i].name.c_str());
    proto::Put32(e + 8, rows[i].kind);
    proto::Put32(e + 12, rows[i].id);
    proto::Put32(e + 16, rows[i].pid);
    proto::Put32(e + 20, rows[i].since);
    proto::Put32(e + 24, rows[i].link_kind);
    proto::Put32(e + 28, rows[i].requests);
  }
  return block;
}

}  // namespace

bool IsInfoRead(const Request& request) {
  if (request.command != proto::kReadBytes || request.body.size() < 8) return false;
  const std::uint32_t area = proto::Get32(request.body.data() + 4);
  return area == proto::kInfoBlockServer || area == proto::kInfoBlockApps;
}

// A block is read whole or in part: one range, start and count inside the
// block.  The option is not used.
Reply HandleInfoRead(const Request& request) {
  const std::uint8_t* b = request.body.data();
  if (request.body.size() != 16 || proto::Get16(b) != 1)
    return Refuse(kRange, "information read: layout (one range)");
  const std::uint32_t area = proto::Get32(b + 4);
  const std::uint64_t start = proto::Get32(b + 8);
  const std::uint64_t count = proto::Get32(b + 12);
  const std::vector<std::uint8_t> block =
      area == proto::kInfoBlockServer ? ServerBlock() : AppsBlock();
  if (count == 0 || start + count > block.size())
    return Refuse(kRange, "information read of block " + std::to_string(area) + ": start " +
                              std::to_string(start) + " count " + std::to_string(count));
  Reply reply;
  reply.payload.assign(block.begin() + static_cast<std::ptrdiff_t>(start),
                       block.begin() + static_cast<std::ptrdiff_t>(start + count));
  return reply;
}

void InfoSetVersion(std::uint32_t version) { g_version = version; }

void InfoLinkRegistered(const LinkState& link) {
  std::lock_guard guard(g_lock);
  ++g_registrations;
  g_links.remove_if([&](const Registered& r) { return r.link->id == link.id; });
  if (link.app.empty()) return;
  if (g_links.size() >= kMaxListedLinks) g_links.pop_front();
  g_links.push_back({&link, link.app, ServerSeconds()});
}

void InfoLinkClosed(std::uint32_t link_id) {
  std::lock_guard guard(g_lock);
  g_links.remove_if([&](const Registered& r) { return r.link->id == link_id; });
}

}  // namespace quonix
