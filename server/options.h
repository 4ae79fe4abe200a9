// options.h - the command line of quonix.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quonix {

// The fault knobs (server/faults.h): a server that misbehaves on purpose.
struct FaultOptions {
  std::uint32_t delay_ms = 0;        // --fault-delay MS: before every reply
  std::uint32_t close_after = 0;     // --fault-close-after N: a link ends at its request N
  std::uint32_t wrong_length = 0;    // --fault-wrong-length N: every Nth reply 2 bytes longer
  std::uint32_t refuse = 0;          // --fault-refuse N: every Nth request refused unread
  std::uint32_t refuse_result = 99;  // --fault-refuse-result R: the result it gets
  std::uint32_t die_after = 0;       // --fault-die-after N: crash inside reply N
  bool stall_evqueues = false;       // --fault-stall-evqueues: no event is delivered
};

struct Options {
  // Sizes of the six data areas in 16-bit words, areas 0 to 5.
  std::uint32_t area_words[6] = {4096, 32768, 4096, 4096, 8192, 8192};
  std::uint32_t mailbox_words = 2048;
  // Enough for every link of the default --max-links to register a name
  // of its own.
  std::uint32_t max_mailboxes = 4096;
  std::uint32_t max_links = 1024;
  // Event queues: how many, and the MiB of event records each keeps for
  // readers that have yet to get them.
  std::uint32_t evqueues = 16;
  std::uint32_t evqueue_mib = 32;
  std::uint32_t lock_timeout_ms = 5000;
  char project_drive = 0;    // 0: no tag project
  std::string project_name;
  std::string server_name;   // "": the local pipe \\.\pipe\qoxsmem
  std::string host;          // "": no host pipe
  // TCP listener (--tcp, --tcp-any): address and port; port 0 lets the
  // system pick one, which the server logs.
  bool tcp = false;
  std::string tcp_address;
  std::uint16_t tcp_port = 0;
  // Instances of the emulated pipe (Windows 95 family clients) served at
  // once; 0: the emulated pipe is not offered.
  std::uint32_t w95_instances = 8;
  bool verbose = false;
  bool quiet = false;  // no log lines; start-up failures are still reported
  FaultOptions faults;  // all off
};

enum class ParseOutcome { Run, Help, Version, Error };

// Parses argv into `options`.  On Error, `error` says what was wrong.
ParseOutcome ParseOptions(int argc, const char* const* argv, Options& options, std::string& error);
void PrintUsage(std::FILE* out);

// The pipe names the server listens on, formed as the library forms them.
std::string LocalPipeName(const Options& options);
std::string HostPipeName(const Options& options);  // "" without --host

}  // namespace quonix
