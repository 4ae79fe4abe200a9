// faults.cpp - the fault knobs' counters and decisions.
//
// The options are set once at start, before any link thread runs; the
// counters are atomics shared by the link threads.
#include "server/faults.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace quonix {
namespace {

FaultOptions g_faults;
std::atomic<std::uint64_t> g_replies{0};
std::atomic<std::uint64_t> g_requests{0};

bool IsNoReplyWrite(const Request& request) {
  const bool write = request.command == proto::kWriteBytes ||
                     request.command == proto::kWriteWords ||
                     request.command == proto::kWriteMasked ||
                     request.command == proto::kMailboxWrite;
  return write && (request.options & proto::kOptNoReply) != 0;
}

}  // namespace

void FaultsInit(const FaultOptions& options) { g_faults = options; }

bool FaultsActive() {
  return g_faults.delay_ms != 0 || g_faults.close_after != 0 || g_faults.wrong_length != 0 ||
         g_faults.refuse != 0 || g_faults.die_after != 0 || g_faults.stall_evqueues;
}

bool FaultCloseLink(std::uint64_t n) { return g_faults.close_after != 0 && n == g_faults.close_after; }

bool FaultRefuse(const Request& request, Reply& reply) {
  if (g_faults.refuse == 0) return false;
  if ((g_requests.fetch_add(1) + 1) % g_faults.refuse != 0) return false;
  reply = Refuse(g_faults.refuse_result, "refused by --fault-refuse");
  reply.send = !IsNoReplyWrite(request);
  return true;
}

void FaultDelay() {
  if (g_faults.delay_ms != 0) std::this_thread::sleep_for(std::chrono::milliseconds(g_faults.delay_ms));
}

bool FaultEvQueuesStalled() { return g_faults.stall_evqueues; }

ReplyFault FaultNextReply() {
  if (g_faults.die_after == 0 && g_faults.wrong_length == 0) return ReplyFault::None;
  const std::uint64_t n = g_replies.fetch_add(1) + 1;
  if (g_faults.die_after != 0 && n == g_faults.die_after) return ReplyFault::Die;
  if (g_faults.wrong_length != 0 && n % g_faults.wrong_length == 0) return ReplyFault::WrongLength;
  return ReplyFault::None;
}

}  // namespace quonix
