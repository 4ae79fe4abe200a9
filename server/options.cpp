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
constexpr NumberOption kMaxMailboxes{"--max-mailboxes", 1, 4096};
constexpr NumberOption kMaxLinks{"--max-links", 1, 1024};
constexpr NumberOption kLockTimeout{"--lock-timeout", 1, 600000};

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

}  // namespace

ParseOutcome ParseOptions(int argc, const char* const* argv, Options& options, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help") return ParseOutcome::Help;
    if (arg == "-v" || arg == "--verbose") {
      options.verbose = true;
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
        {kLockTimeout, options.lock_timeout_ms},
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
      "server pipe and keeps the application mailboxes, in the platform root\n"
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
      "  --max-links N      links served at once (default 64, 1 to 1024); a link\n"
      "                     beyond that is closed at once\n"
      "\n"
      "Mailboxes:\n"
      "  --mailbox-words N  words per application mailbox (default 2048, 576 to 262144)\n"
      "  --max-mailboxes N  mailboxes the server keeps, RAVOWLD included (default\n"
      "                     256, 1 to 4096); a registration of a new name beyond\n"
      "                     that is refused with 8\n"
      "  --project C:NAME   tag project in the RAVOWLD mailbox: drive letter in\n"
      "                     byte 0, NUL, the name from byte 2, NUL-terminated\n"
      "                     (NAME: 1 to 64 letters, digits, '_', '-'); without it\n"
      "                     the mailbox is all zeros\n"
      "\n"
      "Other:\n"
      "  -v, --verbose      log every request, not only link opens, closes and\n"
      "                     refused requests\n"
      "  -h, --help         this text\n"
      "\n"
      "Results the server answers with: 0 done; 1 unknown command; 2 an area\n"
      "mutex was not had within --lock-timeout; 6 a range, count or request\n"
      "layout that does not fit; 7 mailbox of an unknown application; 8 no room\n"
      "for another mailbox.  A request whose length word is below 8 or above\n"
      "1 MiB + 64 ends its link.  A write (100100, 100101, 100120, 100200) with\n"
      "options bit 0 set gets no reply, also when it is refused.\n"
      "\n"
      "Masked write 100120: on areas 0 and 2 the offset is a bit number, the\n"
      "data are packed bits and bit i of the flags (bit i%16 of flag word i/16)\n"
      "selects data bit i; on other areas the offset is a word offset and flag\n"
      "bit j selects data word j.  Total words: 2 x count/16 on areas 0 and 2,\n"
      "17 x count/16 on the others, count a nonzero multiple of 16.\n"
      "\n"
      "Exit status: 0 after a clean stop, 1 when the server cannot start (for\n"
      "example another server already runs in this root), 2 on a usage error.\n"
      "Docs: docs/server.md.\n",
      out);
}

}  // namespace quonix
