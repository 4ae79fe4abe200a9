// log.cpp - the log on stderr.  Lines from link threads are formatted first
// and written with one call under a lock, so they never interleave.
//
// Lock rules: g_log_lock guards stderr and the stamp of the line written
// under it, taken there so that the stamps of the lines run in the order they
// are written.  It is the innermost lock of the server: it may be taken with
// any other held, and nothing is called under it but the clock and stdio.
// The settings and the start time are written once by LogInit, before any
// thread logs, and are atomic only so that a late reader is well defined.
#include "server/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "platform/platform.h"

namespace quonix {
namespace {
std::atomic<bool> g_verbose{false};
std::atomic<bool> g_quiet{false};
std::mutex g_log_lock;
std::atomic<std::uint32_t> g_start_ms{0};
}  // namespace

void LogInit(bool verbose, bool quiet) {
  g_verbose = verbose && !quiet;
  g_quiet = quiet;
  g_start_ms = SysTickMs();
}
bool LogVerbose() { return g_verbose; }

void Log(const char* format, ...) {
  if (g_quiet) return;
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  std::lock_guard guard(g_log_lock);
  const std::uint32_t ms = SysTickMs() - g_start_ms;
  std::fprintf(stderr, "quonix [%5u.%03u] %s\n", ms / 1000, ms % 1000, text);
  std::fflush(stderr);
}

}  // namespace quonix
