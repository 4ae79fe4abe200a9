// errors.cpp - the error texts of the log: a log line that says "address
// already in use" is read at once, "error 10048" only with a table at hand.
#include "server/errors.h"

#include <string_view>

namespace quonix {
namespace {

struct ErrorRow {
  std::uint32_t error;
  std::string_view text;
};

// The numbers the platform layer reports (Win32, then Windows Sockets).
constexpr ErrorRow kErrors[] = {
    {2, "file or pipe not found"},
    {3, "path not found"},
    {4, "too many open files"},
    {5, "access denied"},
    {6, "invalid handle"},
    {8, "not enough memory"},
    {53, "no such host"},
    {84, "no room for another emulated pipe"},
    {87, "invalid parameter"},
    {109, "the pipe was closed"},
    {110, "the emulated pipe instance is open already"},
    {121, "the pipe stayed busy"},
    {123, "invalid pipe name"},
    {183, "already exists"},
    {206, "name too long"},
    {231, "all pipe instances are busy, or another server owns the name"},
    {232, "the pipe is being closed"},
    {233, "no process at the other end of the pipe"},
    {258, "timed out"},
    {10009, "bad socket"},
    {10014, "bad address"},
    {10022, "invalid argument"},
    {10024, "too many open files"},
    {10035, "the operation would block"},
    {10036, "an operation is in progress"},
    {10038, "not a socket"},
    {10043, "protocol not supported"},
    {10044, "socket type not supported"},
    {10045, "operation not supported"},
    {10047, "address family not supported"},
    {10048, "address already in use"},
    {10049, "address not available on this machine"},
    {10050, "network is down"},
    {10051, "network unreachable"},
    {10053, "connection aborted"},
    {10054, "connection reset by the peer"},
    {10055, "no buffer space"},
    {10056, "already connected"},
    {10057, "not connected"},
    {10058, "the socket was shut down"},
    {10060, "connection timed out"},
    {10061, "connection refused"},
    {10065, "host unreachable"},
    {11001, "host not found"},
};

}  // namespace

std::string ErrorText(std::uint32_t error) {
  for (const ErrorRow& row : kErrors)
    if (row.error == error) return std::string(row.text) + " (" + std::to_string(error) + ")";
  return "error " + std::to_string(error);
}

}  // namespace quonix
