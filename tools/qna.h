// qna.h - what the subcommands of the qna command share: the transport
// options and the link they open, addresses, numbers, tables, JSON, the
// progress bar and the one-line error report.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qna {

// Exit statuses: 0 done, 1 the library or the server refused, 2 the command
// line is wrong (CLI11's own parse errors keep their codes, all non-zero).
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The subcommand that was parsed, to run once the whole line is read.
using Runner = std::function<int()>;

// ---- Transports -----------------------------------------------------------
enum class Via { local, host, tcp };

// What a command needs of its server.
enum class Need {
  link,        // the library's link: QNA_Open locally, a pipe connection with --host
  connection,  // a connection id: a pipe connection (empty host locally) or TCP
};

// Which transports a command offers; the others are refused with a reason.
struct Offer {
  bool host = true;
  bool tcp = true;
  const char* why_not = "";  // why a transport that is not offered is not
};

struct LinkOptions {
  std::string host;        // --host NAME: the N functions
  std::string tcp;         // --tcp ADDR:PORT: the S functions
  std::string as = "QNA";  // the application name to register
  bool json = false;
};

// Adds --host, --tcp, --as and --json to a data command.
void AddLinkOptions(CLI::App* command, LinkOptions& options, const Offer& offer);

// An open link to the server, closed by the destructor.
class Link {
 public:
  Link() = default;
  ~Link();
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  // Opens what `need` asks for.  0, or the result with its detail reported
  // on stderr as one line under `command`.
  int Open(const char* command, const LinkOptions& options, const Offer& offer, Need need);

  Via via() const { return via_; }
  std::uint32_t id() const { return id_; }
  bool connected() const { return open_; }

  // Data functions over whichever transport the link is.
  std::uint32_t Read(std::uint32_t area, std::uint32_t offset, std::uint32_t count, std::uint16_t* out);
  std::uint32_t ReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count, std::uint8_t* out);
  std::uint32_t Write(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                      const std::uint16_t* data, std::uint32_t options, bool direct);
  std::uint32_t WriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                          const std::uint8_t* data, std::uint32_t options, bool direct);

 private:
  Via via_ = Via::local;
  std::uint32_t id_ = 0;
  bool open_ = false;
};

// ---- Errors ---------------------------------------------------------------
// Prints "qna COMMAND: CONTEXT: TEXT (result R, detail D)" on stderr, with the
// library's text for the codes (and quonix's meaning of its own results).
// Returns kExitFailed.  Take the detail right after the failing call.
int Fail(const char* command, const std::string& context, std::uint32_t result, std::int32_t detail);
// A usage error of ours: one line, kExitUsage.
int Usage(const char* command, const std::string& message);

// ---- Addresses and numbers -----------------------------------------------
struct Address {
  std::uint32_t area = 0;
  std::uint32_t offset = 0;  // word offset, or bit number for bit commands
};
// "CW100", "cb30", "LGP0", "TMAN12" or "4:100".  False with a message.
bool ParseAddress(const std::string& text, Address& out, std::string& error);
std::string AreaName(std::uint32_t area);
std::string FormatAddress(std::uint32_t area, std::uint32_t offset);
// A 16-bit value: decimal, 0x hex, or negative down to -32768.
bool ParseWord(const std::string& text, std::uint16_t& out);
// An unsigned 32-bit number: decimal or 0x hex.
bool ParseU32(const std::string& text, std::uint32_t& out);

// ---- Output ---------------------------------------------------------------
// A table printed with aligned columns; cells that are numbers are right-aligned.
class Table {
 public:
  explicit Table(std::vector<std::string> header) : header_(std::move(header)) {}
  void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
  void Print() const;

 private:
  std::vector<std::string> header_;
  std::vector<std::vector<std::string>> rows_;
};

// JSON text for a string (quoted and escaped) and for a list of numbers.
std::string JsonString(const std::string& text);
template <typename T>
std::string JsonList(const T* values, std::size_t n) {
  std::string s = "[";
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) s += ',';
    s += std::to_string(values[i]);
  }
  return s + "]";
}
// Shows printable bytes as they are and the others as \xNN.
std::string Printable(const std::uint8_t* bytes, std::size_t n);

// A progress bar on stderr, drawn only when stdout is a terminal and the
// operation is long; cleared when done.
class Progress {
 public:
  Progress(const std::string& what, std::uint64_t total, std::uint64_t worth_showing);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;
  bool shown() const { return shown_; }
  void Update(std::uint64_t done);

 private:
  std::string what_;
  std::uint64_t total_;
  bool shown_;
  int last_ = -1;
};

bool StdoutIsTerminal();

// ---- The families ---------------------------------------------------------
void AddDataCommands(CLI::App& app, Runner& run);      // read write bits mux watch
void AddTagCommands(CLI::App& app, Runner& run);       // tag read|write
void AddMailboxCommands(CLI::App& app, Runner& run);   // mailbox read|write
void AddMessageCommands(CLI::App& app, Runner& run);   // msg send|recv
void AddEvqCommands(CLI::App& app, Runner& run);       // evq open|read|post|info
void AddAppCommands(CLI::App& app, Runner& run);       // app start|close|top|status|cancel
void AddInfoCommands(CLI::App& app, Runner& run);      // info
void AddCommentCommands(CLI::App& app, Runner& run);   // cmnt create|open|get|put
void AddTagfileCommands(CLI::App& app, Runner& run);   // tagfile build|dump
void AddServerCommands(CLI::App& app, Runner& run);    // server, demo

// The tour of `qna demo`; the process exit status.
struct DemoOptions {
  std::string server_dir;  // where quonix is; empty: the one built beside qna
  bool verbose = false;
};
int RunDemo(const DemoOptions& options);

}  // namespace qna
