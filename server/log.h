// log.h - the server's log on stderr: one line per event, each with the
// seconds since the server started.
#pragma once

namespace quonix {

// Call once at start: the log's clock starts here.
void LogInit(bool verbose, bool quiet = false);
bool LogVerbose();
// printf-style; the line end is added.
void Log(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace quonix
