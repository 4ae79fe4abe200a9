// log.cpp - the log on stderr.  Lines from link threads are formatted first
// and written with one call under a lock, so they never interleave.
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
  const std::uint32_t ms = SysTickMs() - g_start_ms;
  std::lock_guard guard(g_log_lock);
  std::fprintf(stderr, "quonix [%5u.%03u] %s\n", ms / 1000, ms % 1000, text);
  std::fflush(stderr);
}

}  // namespace quonix
