// options.cpp - hand-written parsing of the quonix command line.
#include "server/options.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace quonix {
namespace {

// Limits of the numeric options.  Area sizes stay small enough that every
// bit number (16 x size) fits in 32 bits with room to spare; area 3 must hold
// the close handshake word 204; a mailbox must hold the 576 words that the
// library reads from RAVOWLD to find the tag project.
struct NumberOption {
  std::string_view name;
  std::uint32_t min;
  std::uint32_t max;
};
constexpr std::uint32_t kMaxAreaWords = 1u << 20;
constexpr NumberOption kAreaOptions[6] = {
    {"--cb", 1, kMaxAreaWords},   {"--cw", 1, kMaxAreaWords},  {"--sb", 1, kMaxAreaWords},
    {"--sw", 205, kMaxAreaWords}, {"--lgp", 1, kMaxAreaWords}, {"--tman", 1, kMaxAreaWords},
};
constexpr NumberOption kMailboxWords{"--mailbox-words", 576, 1u << 18};
constexpr NumberOption kMaxMailboxes{"--max-mailboxes", 1, 65536};
constexpr NumberOption kMaxLinks{"--max-links", 1, 16384};
constexpr NumberOption kEvQueues{"--evqueues", 1, 1024};
constexpr NumberOption kEvQueueMib{"--evqueue-mib", 1, 4096};
constexpr NumberOption kLockTimeout{"--lock-timeout", 1, 600000};
constexpr NumberOption kW95Instances{"--w95-instances", 0, 255};
// Fault knobs: 0 is off for each.
constexpr NumberOption kFaultDelay{"--fault-delay", 0, 600000};
constexpr NumberOption kFaultCloseAfter{"--fault-close-after", 0, 0xFFFFFFFFu};
constexpr NumberOption kFaultWrongLength{"--fault-wrong-length", 0, 0xFFFFFFFFu};
constexpr NumberOption kFaultRefuse{"--fault-refuse", 0, 0xFFFFFFFFu};
constexpr NumberOption kFaultRefuseResult{"--fault-refuse-result", 1, 0xFFFFFFFFu};
constexpr NumberOption kFaultDieAfter{"--fault-die-after", 0, 0xFFFFFFFFu};

bool ParseNumber(std::string_view text, const NumberOption& option, std::uint32_t& out,
                 std::string& error) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < option.min ||
      value > option.max) {
    error = std::string(option.name) + ": expected a number from " + std::to_string(option.min) +
            " to " + std::to_string(option.max) + ", got '" + std::string(text) + "'";
    return false;
  }
  out = value;
  return true;
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// C:NAME.  The name becomes a directory and a file name in the tag file's
// path, so only plain name characters are taken: nothing that could climb
// out of the project folder or end the path early.
bool ParseProject(std::string_view text, Options& options, std::string& error) {
  bool ok = text.size() >= 3 && text.size() <= 66 && IsLetter(text[0]) && text[1] == ':';
  for (std::size_t i = 2; ok && i < text.size(); ++i)
    ok = IsLetter(text[i]) || IsDigit(text[i]) || text[i] == '_' || text[i] == '-';
  if (!ok) {
    error = "--project: expected DRIVE:NAME, a drive letter and a name of 1 to 64 letters, "
            "digits, '_' or '-', got '" + std::string(text) + "'";
    return false;
  }
  options.project_drive = text[0];
  options.project_name = std::string(text.substr(2));
  return true;
}

// A server or host name goes into a pipe name between backslashes.
bool ParseName(std::string_view text, std::string_view option, std::size_t max_len,
               std::string& out, std::string& error) {
  bool ok = !text.empty() && text.size() <= max_len;
  for (char c : text) ok = ok && c != '\\' && c != '/' && c > ' ';
  if (!ok) {
    error = std::string(option) + ": expected a name of 1 to " + std::to_string(max_len) +
            " characters without blanks or slashes, got '" + std::string(text) + "'";
    return false;
  }
  out = std::string(text);
  return true;
}

// The address a TCP listener takes when none is given: loopback, so that a
// server is not reachable from other machines unless it is told to be.
constexpr const char* kLoopback = "127.0.0.1";
constexpr const char* kAnyAddress = "0.0.0.0";

bool ParsePort(std::string_view text, std::string_view option, std::uint16_t& out,
               std::string& error) {
  std::uint32_t value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value > 65535) {
    error = std::string(option) + ": expected a port from 0 to 65535 (0: the system picks one), "
            "got '" + std::string(text) + "'";
    return false;
  }
  out = static_cast<std::uint16_t>(value);
  return true;
}

// --tcp ADDR:PORT, :PORT or PORT.  ADDR is an IPv4 address or a host name
// (letters, digits, '.', '-'); without it the listener is on loopback.
bool ParseTcp(std::string_view text, Options& options, std::string& error) {
  const auto colon = text.rfind(':');
  std::string_view address = colon == std::string_view::npos ? "" : text.substr(0, colon);
  const std::string_view port = colon == std::string_view::npos ? text : text.substr(colon + 1);
  bool ok = address.size() <= 253;
  for (char c : address) ok = ok && (IsLetter(c) || IsDigit(c) || c == '.' || c == '-');
  if (!ok) {
    error = "--tcp: expected [ADDRESS:]PORT with an IPv4 address or host name, got '" +
            std::string(text) + "'";
    return false;
  }
  if (!ParsePort(port, "--tcp", options.tcp_port, error)) return false;
  options.tcp_address = address.empty() ? kLoopback : std::string(address);
  return true;
}

}  // namespace

ParseOutcome ParseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return ParseOutcome::Help;
    if (arg == "--version") return ParseOutcome::Version;
    if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
      continue;
    }
    if (arg == "-q" || arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (arg == "--fault-stall-evqueues") {
      options.faults.stall_evqueues = true;
      continue;
    }
    // Every other option takes a value, as "--opt VALUE" or "--opt=VALUE".
    std::string_view name = arg;
    std::string_view value;
    bool have_value = false;
    if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      have_value = true;
    }
    auto take_value = [&]() -> bool {
      if (have_value) return true;
      if (i + 1 >= argc) {
        error = std::string(name) + ": missing value";
        return false;
      }
      value = argv[++i];
      return true;
    };

    bool known = false;
    for (int a = 0; a < 6; ++a) {
      if (name != kAreaOptions[a].name) continue;
      known = true;
      if (!take_value() || !ParseNumber(value, kAreaOptions[a], options.area_words[a], error))
        return ParseOutcome::Error;
    }
    if (known) continue;

    const struct {
      const NumberOption& option;
      std::uint32_t& target;
    } numbers[] = {
        {kMailboxWords, options.mailbox_words},
        {kMaxMailboxes, options.max_mailboxes},
        {kMaxLinks, options.max_links},
        {kEvQueues, options.evqueues},
        {kEvQueueMib, options.evqueue_mib},
        {kLockTimeout, options.lock_timeout_ms},
        {kW95Instances, options.w95_instances},
        {kFaultDelay, options.faults.delay_ms},
        {kFaultCloseAfter, options.faults.close_after},
        {kFaultWrongLength, options.faults.wrong_length},
        {kFaultRefuse, options.faults.refuse},
        {kFaultRefuseResult, options.faults.refuse_result},
        {kFaultDieAfter, options.faults.die_after},
    };
    for (const auto& n : numbers) {
      if (name != n.option.name) continue;
      known = true;
      if (!take_value() || !ParseNumber(value, n.option, n.target, error))
        return ParseOutcome::Error;
    }
    if (known) continue;

    if (name == "--project") {
      if (!take_value() || !ParseProject(value, options, error)) return ParseOutcome::Error;
    } else if (name == "--server-name") {
      // QNA_ServerName holds at most 31 characters.
      if (!take_value() || !ParseName(value, name, 31, options.server_name, error))
        return ParseOutcome::Error;
    } else if (name == "--host") {
      if (!take_value() || !ParseName(value, name, 63, options.host, error))
        return ParseOutcome::Error;
    } else if (name == "--tcp" || name == "--tcp-any") {
      // One TCP listener; a second option would silently replace the first.
      if (options.tcp) {
        error = std::string(name) + ": only one of --tcp and --tcp-any, once";
        return ParseOutcome::Error;
      }
      if (!take_value()) return ParseOutcome::Error;
      if (name == "--tcp") {
        if (!ParseTcp(value, options, error)) return ParseOutcome::Error;
      } else {
        if (!ParsePort(value, name, options.tcp_port, error)) return ParseOutcome::Error;
        options.tcp_address = kAnyAddress;
      }
      options.tcp = true;
    } else {
      error = "unknown option '" + std::string(arg) + "' (see --help)";
      return ParseOutcome::Error;
    }
  }
  return ParseOutcome::Run;
}

std::string LocalPipeName(const Options& options) {
  if (options.server_name.empty()) return "\\\\.\\pipe\\qoxsmem";
  // The library forms "\\.\%s\qoxpipe" from QNA_ServerName; only the name
  // "pipe" makes that a local pipe path, any other name is not one and the
  // server refuses to start with it.
  return "\\\\.\\" + options.server_name + "\\qoxpipe";
}

std::string HostPipeName(const Options& options) {
  if (options.host.empty()) return "";
  return "\\\\" + options.host + "\\pipe\\qoxsmem";
}

void PrintUsage(std::FILE* out) {
  std::fputs(
      "usage: quonix [options]\n"
      "\n"
      "The stand-in QUONIX server: publishes the six data areas, serves the\n"
      "server pipe (and a host pipe and TCP when asked) and keeps the\n"
      "application mailboxes, in the platform root\n"
      "($QNAPI_ROOT, else /dev/shm/qnapi-<uid>).  Runs until SIGINT or SIGTERM.\n"
      "\n"
      "Data areas (sizes in 16-bit words, 1 to 1048576):\n"
      "  --cb N             area 0, QOXMEMCB (default 4096)\n"
      "  --cw N             area 1, QOXMEMCW (default 32768)\n"
      "  --sb N             area 2, QOXMEMSB (default 4096)\n"
      "  --sw N             area 3, QOXMEMSW (default 4096, at least 205: word 204\n"
      "                     is the close handshake word)\n"
      "  --lgp N            area 4, QOXLGP (default 8192)\n"
      "  --tman N           area 5, QOXTMAN (default 8192)\n"
      "  --lock-timeout MS  how long the server waits for an area mutex that a\n"
      "                     client holds before it answers 2 (default 5000)\n"
      "\n"
      "Links:\n"
      "  --server-name NAME listen on \\\\.\\NAME\\qoxpipe instead of \\\\.\\pipe\\qoxsmem,\n"
      "                     the pipe the library forms from QNA_ServerName; only\n"
      "                     NAME 'pipe' gives a local pipe (\\\\.\\pipe\\qoxpipe)\n"
      "  --host H           also listen on \\\\H\\pipe\\qoxsmem, as host H\n"
      "  --tcp [ADDR:]PORT  also listen on TCP, for the library's TCP connections;\n"
      "                     the same requests as on the pipe.  Without ADDR (PORT\n"
      "                     or :PORT) on loopback 127.0.0.1 only; ADDR is an IPv4\n"
      "                     address or host name, 0.0.0.0 every interface.  PORT 0\n"
      "                     lets the system pick one; the log says which:\n"
      "                     \"tcp listening on 127.0.0.1:PORT\"\n"
      "  --tcp-any PORT     the same on every interface (0.0.0.0:PORT).  The\n"
      "                     protocol has no authentication: any host that\n"
      "                     reaches the port can read and write the areas\n"
      "  --max-links N      links served at once, pipe and TCP together (default\n"
      "                     1024, 1 to 16384); a link beyond that is closed at\n"
      "                     once.  Each link has a thread; an idle one costs\n"
      "                     about 22 KiB.  The server raises its open-file limit\n"
      "                     to match, within the hard limit (ulimit -Hn)\n"
      "  --w95-instances N  clients of the Windows 95 family served at once over\n"
      "                     the emulated pipe QOXSMEM (the local pipe's name),\n"
      "                     which the server offers beside the real pipe (default\n"
      "                     8, 0 to 255; 0: not offered).  Their event queues get\n"
      "                     emulated pipes too.  Buffers: 1 MiB + 128 bytes to\n"
      "                     the server, 64 KiB to the client\n"
      "\n"
      "Mailboxes:\n"
      "  --mailbox-words N  words per application mailbox (default 2048, 576 to 262144)\n"
      "  --max-mailboxes N  mailboxes the server keeps, RAVOWLD included (default\n"
      "                     4096, 1 to 65536); a registration of a new name beyond\n"
      "                     that is refused with 8\n"
      "  --project C:NAME   tag project in the RAVOWLD mailbox: drive letter in\n"
      "                     byte 0, NUL, the name from byte 2, NUL-terminated\n"
      "                     (NAME: 1 to 64 letters, digits, '_', '-'); without it\n"
      "                     the mailbox is all zeros\n"
      "\n"
      "Event queues (numbered 1 to N; docs/server.md has the whole story):\n"
      "  --evqueues N       queues the server keeps (default 16, 1 to 1024).  An\n"
      "                     open by number 100000 takes the first queue bearing\n"
      "                     its name, else the first queue nobody has open; a\n"
      "                     name given at open names an unnamed queue until its\n"
      "                     last open closes (the name request gives at most 8\n"
      "                     characters).  At most 64 opens per queue, 4096 in all\n"
      "  --evqueue-mib N    MiB of event records each queue keeps for readers\n"
      "                     that have yet to get them (default 32, 1 to 4096;\n"
      "                     an event of 16 data bytes takes 64 bytes).  A posted\n"
      "                     event goes to every open of the queue, each through\n"
      "                     its own pipe; beyond the bound the oldest events go\n"
      "                     and a reader that had not got them gets a record of\n"
      "                     kind 2 whose value counts them.  A post is answered\n"
      "                     once its event is in the pipe of every reader that\n"
      "                     keeps up.  Posted events are kind 1 and carry the\n"
      "                     poster's application name; a queue nobody has open\n"
      "                     drops what is posted to it.  The count requests list\n"
      "                     at most list-word queue numbers\n"
      "\n"
      "Fault knobs (all off by default; docs/server.md, \"Fault knobs\"):\n"
      "  --fault-delay MS   wait MS before every reply\n"
      "  --fault-close-after N  end each link when its request N arrives,\n"
      "                     without acting on it or answering\n"
      "  --fault-wrong-length N  every Nth reply carries 2 bytes more than its\n"
      "                     request asks for, and its length word says so\n"
      "  --fault-refuse N   every Nth request is answered with the result of\n"
      "                     --fault-refuse-result R (default 99) and not acted on\n"
      "  --fault-die-after N  write half of reply N (counted over all links) and\n"
      "                     end at once, as a crash (exit status 137, nothing\n"
      "                     of the exit path runs)\n"
      "  --fault-stall-evqueues  never write the per-queue pipes: events wait\n"
      "                     in the queue as for a reader that does not read\n"
      "\n"
      "Other:\n"
      "  -v, --verbose      log every request, not only link opens, closes and\n"
      "                     refused requests\n"
      "  -q, --quiet        no log at all (a failure to start is still reported)\n"
      "  -h, --help         this text\n"
      "  --version          the server's version\n"
      "\n"
      "Results the server answers with: 0 done; 1 unknown command; 2 an area\n"
      "mutex was not had within --lock-timeout; 6 a range, count or request\n"
      "layout that does not fit; 7 mailbox of an unknown application; 8 no room\n"
      "for another mailbox; event queues: 10 no such queue, 11 no queue free,\n"
      "12 the queue bears another name, 13 no room for another open, 14 the\n"
      "queue is open on this link already, 15 close of a queue not open on this\n"
      "link, 16 the open's pipe could not be made.\n"
      "A request whose length word is below 8 or above\n"
      "1 MiB + 64 ends its link.  A write (100100, 100101, 100120, 100200) with\n"
      "options bit 0 set gets no reply, also when it is refused.\n"
      "\n"
      "Masked write 100120: on areas 0 and 2 the offset is a bit number, the\n"
      "data are packed bits and bit i of the flags (bit i%16 of flag word i/16)\n"
      "selects data bit i; on other areas the offset is a word offset and flag\n"
      "bit j selects data word j.  Total words: 2 x count/16 on areas 0 and 2,\n"
      "17 x count/16 on the others, count a nonzero multiple of 16.\n"
      "\n"
      "Message channels (area = channel + 100; 100100 sends, 100 receives):\n"
      "FIFO queues made by their first message.  Sent header words 1 and 2 are\n"
      "received unchanged; word 3 nonzero makes a message urgent (ahead of the\n"
      "normal ones).  The receive option is a wait in ms (0: none).  Results:\n"
      "20 channel empty after the wait; 21 full (64 messages a channel, 256\n"
      "channels, 16 MiB of bodies); 22 body above 65536 bytes; 23 the next\n"
      "message is longer than the receiver's room (it stays).  Channels 900 and\n"
      "901 are the information blocks 1000 (server, 448 bytes) and 1001\n"
      "(applications, 512 bytes), which are read only.\n"
      "\n"
      "Application control (300100 start, 300101 close, 300102 raise, 300103\n"
      "status, 300104 cancel): start runs text 1 (program) with text 2\n"
      "(arguments) in text 3 (directory) as application text 4; close and raise\n"
      "name the application in text 4 (a program started under that name, else\n"
      "a window whose title begins with it); value 2 is a delay in ms (at most\n"
      "600000) while the request is pending.  Status: 1 pending, 2 running,\n"
      "3 done, 4 failed, 5 cancelled.  Results: 7 no such application, 8 too\n"
      "many requests under way, 30 unknown request id, 31 not pending.\n"
      "\n"
      "Exit status: 0 after a clean stop, 1 when the server cannot start (for\n"
      "example another server already runs in this root), 2 on a usage error.\n"
      "Docs: docs/server.md.\n",
      out);
}

}  // namespace quonix
