// evqueues.h - the server's event queues (commands 200100 to 200109): a
// fixed number of queues, numbered from 1, optionally named; each open gets
// a pipe of its own through which the server delivers the queue's events.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "server/server.h"

namespace quonix {

// Results of the event queue requests, besides 0 and 6 (a body that does
// not fit its command's layout, a name without its zero, data of more than
// 1 MiB).
inline constexpr std::uint32_t kNoSuchQueue = 10;   // number 0 or above the queue count
inline constexpr std::uint32_t kNoFreeQueue = 11;   // an open of any queue found none free
inline constexpr std::uint32_t kOtherName = 12;     // the queue bears another name
inline constexpr std::uint32_t kTooManyOpens = 13;  // the queue, or the server, has no room for another open
inline constexpr std::uint32_t kOpenOnLink = 14;    // this link has the queue open already
inline constexpr std::uint32_t kNotOpenOnLink = 15; // close of a queue this link does not have open
inline constexpr std::uint32_t kNoQueuePipe = 16;   // the open's pipe could not be made

// The queue number of an open that takes any queue.
inline constexpr std::uint32_t kAnyQueue = 100000;
// Opens of one queue, and of all queues together, at most.
inline constexpr std::uint32_t kMaxOpensPerQueue = 64;
inline constexpr std::uint32_t kMaxOpens = 4096;
// The most data one event carries.
inline constexpr std::uint32_t kMaxEventData = 1u << 20;

// `count` queues, each keeping at most `bound_bytes` of event records that
// its readers have yet to get (the newest event always); with a host name
// the opens' pipes are also served as pipes of that host.
void EvQueuesInit(std::uint32_t count, std::size_t bound_bytes, const std::string& host);
// Closes every open (at server stop).
void EvQueuesStop();
// Closes the opens of a link that has ended.
void EvQueuesCloseLink(std::uint32_t link);

Reply HandleEvQueueOpen(const Request& request, const LinkState& link);
Reply HandleEvQueueClose(const Request& request, const LinkState& link);
Reply HandleEvQueuePost(const Request& request, const LinkState& link);
Reply HandleEvQueueCount(const Request& request);  // 200105, 200106, 200107
Reply HandleEvQueueName(const Request& request);   // 200108
Reply HandleEvQueueMax(const Request& request);    // 200109

}  // namespace quonix
