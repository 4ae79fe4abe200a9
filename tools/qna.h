// qna.h - what the subcommands of the qna command share: the transport
// options and the link they open, addresses, numbers, range checks, tables,
// JSON and CSV, the progress bar and the one-line error report.
#pragma once

#include <CLI/CLI.hpp>

#include "tagfile.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace qna {

// Exit statuses: 0 done, 1 the library or the server refused (or qna refused
// before sending what could not work), 2 the command line is wrong (CLI11's
// own parse errors keep their codes, all non-zero).
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

// The subcommand that was parsed, to run once the whole line is read.
using Runner = std::function<int()>;

// Parses and runs one command line (without the program name): the exit
// status.  main runs the process's own line; qna batch runs each of its lines.
int Dispatch(const std::vector<std::string>& args);

struct Refusal;  // below, with the errors

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
  std::string host;         // --host NAME: the N functions
  std::string tcp;          // --tcp ADDR:PORT: the S functions
  std::string app = "QNA";  // --app NAME: the application name to register
  bool json = false;
};

// Adds --host, --tcp, --app and --json to a command.  A command without a
// server (comment files) takes them too, so that it refuses them with the
// same one line as the others.
void AddLinkOptions(CLI::App* command, LinkOptions& options, const Offer& offer);
// The refusal of a transport a command does not offer: 0 when none is given.
int RefuseTransport(const char* command, const LinkOptions& options, const Offer& offer);

// An open link to the server, closed by the destructor.  While qna batch
// holds its link open (ShareLink), every Link takes that one instead.
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
  const std::string& app() const { return app_; }
  // Reads of this link come from the mapped areas, not over the link.
  bool mapped() const { return via_ == Via::local; }

  // 0 when `count` words (bits with `bits`) from `start` lie inside the area
  // as the server announced it when this link opened; otherwise the refusal
  // (result 6, the area's size named, `nothing` said) on stderr.  Call it
  // before allocating for a transfer or sending any of it.
  int CheckRange(const char* command, std::uint32_t area, std::uint32_t start, std::uint64_t count,
                 bool bits, const char* nothing) const;
  // The same check, the refusal handed back instead of printed.
  Refusal RangeRefusal(std::uint32_t area, std::uint32_t start, std::uint64_t count, bool bits,
                       const char* nothing) const;
  // The area's size in words as the server announced it (0: no such area).
  std::uint32_t Size(std::uint32_t area) const { return area < 6 ? sizes_[area] : 0; }

  // Data functions over whichever transport the link is.
  std::uint32_t Read(std::uint32_t area, std::uint32_t offset, std::uint32_t count, std::uint16_t* out);
  std::uint32_t ReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count, std::uint8_t* out);
  std::uint32_t Write(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                      const std::uint16_t* data, std::uint32_t options, bool direct);
  std::uint32_t WriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                          const std::uint8_t* data, std::uint32_t options, bool direct);
  // A message with a text body on `channel` (header words type, ref and
  // priority) over whichever transport the link is.
  std::uint32_t SendMsg(std::uint32_t channel, std::uint32_t type, std::uint32_t ref, std::uint32_t priority,
                        const std::string& body, std::uint32_t flags);

 private:
  friend class SharedLink;
  Via via_ = Via::local;
  std::uint32_t id_ = 0;
  bool open_ = false;
  bool borrowed_ = false;  // the batch's link: not closed here
  std::string app_;
  std::string host_, tcp_;
  std::uint32_t sizes_[6] = {};  // QNA_SizeTb as this link's registration left it
};

// qna batch's one link: while it lives, Link::Open lends it out.
class SharedLink {
 public:
  SharedLink() = default;
  ~SharedLink();
  SharedLink(const SharedLink&) = delete;
  SharedLink& operator=(const SharedLink&) = delete;
  int Open(const char* command, const LinkOptions& options);

 private:
  Link link_;
};

// Words and bits per library request: the library splits longer transfers
// itself, so a caller that sends pieces of this size knows how much of a
// refused transfer was written.
constexpr std::uint32_t kWordsPerRequest = 16384;
constexpr std::uint32_t kBitsPerRequest = 32768;

// ---- Errors ---------------------------------------------------------------
// What a command refuses, for a caller that reports it itself (qna bridge
// answers on the broker) or prints it with Refuse.
struct Refusal {
  enum class Kind { none, usage, own, codes };
  Kind kind = Kind::none;
  std::uint32_t result = 0;  // with Kind::codes
  std::int32_t detail = 0;
  std::string text;  // context and reason, without the codes
  explicit operator bool() const { return kind != Kind::none; }
  static Refusal Usage(std::string text) { return {Kind::usage, 0, 0, std::move(text)}; }
  static Refusal Own(std::string text) { return {Kind::own, 0, 0, std::move(text)}; }
  static Refusal Codes(std::string text, std::uint32_t result, std::int32_t detail) {
    return {Kind::codes, result, detail, std::move(text)};
  }
  // The library's text for the codes after `context`, as Fail words it.
  static Refusal Library(const std::string& context, std::uint32_t result, std::int32_t detail);
};
// Prints a refusal as Usage, FailOwn or FailWith would: the exit status (0
// for none).
int Refuse(const char* command, const Refusal& refusal);

// Prints "qna COMMAND: CONTEXT: TEXT (result R, detail D)" on stderr, with the
// library's text for the codes (and quonix's meaning of its own results);
// with --json, one JSON object {"command", "result", "detail", "text"}.
// Returns kExitFailed.  Take the detail right after the failing call.
int Fail(const char* command, const std::string& context, std::uint32_t result, std::int32_t detail);
// The text Fail gives for the codes, without them.
std::string ResultText(std::uint32_t result, std::int32_t detail);
// The same with a text of the command's own for the codes (the launcher's
// results, which share their numbers with tag access).
int FailWith(const char* command, const std::string& text, std::uint32_t result, std::int32_t detail);
// A failure of the command's own (a time limit, a file): the same line
// without codes (JSON: result and detail null); kExitFailed.
int FailOwn(const char* command, const std::string& message);
// A usage error: one line, kExitUsage (JSON: result and detail null).
int Usage(const char* command, const std::string& message);
// What a long-running command tells along the way (qna bridge: a link lost
// and back): the same one line on stderr, without codes.
void Note(const char* command, const std::string& text);
// Error lines as JSON objects (the line being run has --json).
void SetJsonErrors(bool json);
// While quiet, error lines are kept, not printed: a command that retries
// prints a trouble once, not at every attempt.  LastError is the line the
// last report made (with --json its object), printed or not.
void SetQuietErrors(bool quiet);
const std::string& LastError();
// Inside qna batch: the line number every error names (0: none).
void SetBatchLine(int line);

// ---- Addresses and numbers -----------------------------------------------
struct Address {
  std::uint32_t area = 0;
  std::uint32_t offset = 0;  // word offset, or bit number for bit commands
};
// "CW100", "cb30", "LGP0", "TMAN12" or "4:100".  False with a message.
bool ParseAddress(const std::string& text, Address& out, std::string& error);
std::string AreaName(std::uint32_t area);
std::string FormatAddress(std::uint32_t area, std::uint32_t offset);
// "CW100..102" (or "CW100" for one), "bits CB0..7" with `bits`.
std::string RangeText(std::uint32_t area, std::uint32_t start, std::uint64_t count, bool bits);
// A 16-bit value: decimal, 0x hex, or negative down to -32768.
bool ParseWord(const std::string& text, std::uint16_t& out);
// A bit's value as `qna bits --set` takes it: 0 or 1.
bool ParseBit(const std::string& text, std::uint8_t& out);
// An unsigned 32-bit number: decimal or 0x hex.
bool ParseU32(const std::string& text, std::uint32_t& out);
// A number from -2147483648 to 4294967295 (decimal, or 0x hex when positive).
bool ParseI64(const std::string& text, std::int64_t& out);

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

// JSON text for a string (quoted and escaped; valid UTF-8 kept as it is, any
// other byte taken as Latin-1) and for a list of numbers.
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
// Shows printable bytes and valid UTF-8 as they are and the others as \xNN.
std::string Printable(const std::uint8_t* bytes, std::size_t n);
// ", no reply asked (...)" after what a command sent with --no-reply: the
// server may have refused it unseen.  Empty without.
const char* NoReplyNote(bool no_reply);
// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text);
// UTC time as ISO 8601 with milliseconds: 2024-05-01T12:00:00.123Z.
std::string IsoTime(std::chrono::system_clock::time_point time);

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

// ---- Shared with qna bridge: events, writes and tags ----------------------------
// An event taken from an open queue.  The library leaves the descriptor's
// length as it was when an event has no data, so the room is one byte more
// than the largest event's data (1 MiB): a length that fills it means none.
inline constexpr std::uint32_t kEventRoom = (1u << 20) + 1;
struct TakenEvent {
  std::uint16_t kind = 0;
  char from[33] = {};
  std::uint32_t value = 0;
  std::uint32_t length = 0;  // the bytes of `data` that are the event's
  std::vector<std::uint8_t> data = std::vector<std::uint8_t>(kEventRoom);
};
// Takes the next event of an open queue without waiting: QNA_ReadEvQueue's
// result (QNA_E_EVQ_EMPTY when none waits).
std::uint32_t TakeEvent(std::uint32_t handle, TakenEvent& event);

// The checks and the write of `qna write ADDRESS VALUE` (bits: `qna bits
// ADDRESS --set VALUE`) for one value over an open link: the refusal, none
// when written.
Refusal WriteOne(Link& link, const std::string& address, const std::string& value, bool bits);

// Why tags are offered on the local link only.
inline constexpr const char* kTagsLocal =
    "tag access works on the local link: tags are read from the mapped data areas";

// The tag file the library loads: the one of the project the server names
// in the RAVOWLD mailbox.  For people: the Win32 path and, where it differs,
// the file it stands for here.  Empty when the mailbox names none.
struct TagPath {
  std::string win, host;
  std::string Text() const {
    if (win.empty()) return "the server's project's tag file";
    return host == win ? win : win + " (" + host + ")";
  }
};
// Loads the project's tag file (QNA_InitRavo) over the open local link: 0,
// or the failure reported under `command`.  QNA_EndRavo unloads it.
int LoadTags(const char* command, TagPath& path);
// Reads one tag by name: the refusal, none with the value.
Refusal ReadTagValue(const std::string& name, const TagPath& path, std::int32_t& value);
// The checks of `qna tag write NAME VALUE` that need no server.
Refusal ParseTagWrite(const std::string& name, const std::string& value_text, std::int64_t& value);
// The rest of them and the write, with the tag file loaded: the refusal,
// none when written, with the tag's name as its file has it in `written`.
Refusal WriteTagValue(const std::string& name, std::int64_t value, const std::string& value_text,
                      std::uint32_t options, const TagPath& path, std::string& written);
TagPath ProjectTagPath();
// Whether a tag of `type` (bit, word, dword) holds `value` as the library
// writes it; `range` says what it holds.
bool TagValueFits(const std::string& type, std::int64_t value, std::string& range);
// The checks of a tag write before anything is sent (the tag file loaded):
// the library's own lookup of the name, the tag's type in the tag file and
// whether the value fits it.  None with the tag, else the refusal.
Refusal CheckTagWrite(const std::string& name, std::int64_t value, const std::string& value_text,
                      const TagPath& path, TagfileTag& tag);

// ---- Information blocks ---------------------------------------------------
// What quonix says of itself and its applications (the layout is quonix's,
// docs/server.md; another server's blocks are not read).
struct QuonixApp {
  std::string name;
  bool started = false;  // a program the server started; else registered on a link
  std::uint32_t id = 0, pid = 0, since = 0;
  std::string link;  // the link's kind: "pipe", "host pipe", "tcp", "emulated pipe"
  std::uint32_t requests = 0;
};
struct QuonixFacts {
  std::string version;
  std::uint32_t pid = 0, uptime = 0, links = 0, registrations = 0, channels = 0, messages = 0, programs = 0,
                known = 0;
  std::uint32_t links_by_kind[4] = {};  // pipe, host pipe, tcp, emulated pipe
  std::vector<QuonixApp> apps;
};
// False when the blocks are not quonix's.
bool ParseQuonixBlocks(const std::uint8_t* server, const std::uint8_t* apps, QuonixFacts& facts);
// The JSON of qna info --json for them.
std::string QuonixFactsJson(const QuonixFacts& facts, const std::uint32_t sizes[6]);
const char* LinkKindName(std::uint32_t kind);

// ---- The families ---------------------------------------------------------
void AddDataCommands(CLI::App& app, Runner& run);      // read write bits mux watch
void AddTagCommands(CLI::App& app, Runner& run);       // tag read|write|watch
void AddMailboxCommands(CLI::App& app, Runner& run);   // mailbox read|write
void AddMessageCommands(CLI::App& app, Runner& run);   // msg send|recv
void AddEvqCommands(CLI::App& app, Runner& run);       // evq open|read|post|info
void AddAppCommands(CLI::App& app, Runner& run);       // app start|close|top|status|cancel
void AddInfoCommands(CLI::App& app, Runner& run);      // info
void AddCommentCommands(CLI::App& app, Runner& run);   // cmnt create|open|get|put
void AddTagfileCommands(CLI::App& app, Runner& run);   // tagfile build|dump
void AddServerCommands(CLI::App& app, Runner& run);    // server, demo
void AddBatchCommand(CLI::App& app, Runner& run);      // batch
void AddBridgeCommand(CLI::App& app, Runner& run);     // bridge (built with libmosquitto)
void AddWebCommand(CLI::App& app, Runner& run);        // web (POSIX)

// The tour of `qna demo`; the process exit status.
struct DemoOptions {
  std::string server_dir;  // where quonix is; empty: beside qna, else the one built with it
  bool verbose = false;
  bool json = false;
};
int RunDemo(const DemoOptions& options);

}  // namespace qna
