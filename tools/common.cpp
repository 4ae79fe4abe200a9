// common.cpp - the transport options and links, range checks, addresses,
// tables, JSON and CSV, the progress bar and the error line shared by every
// qna subcommand.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <string_view>

#include "platform/platform.h"
#include "qna.h"
#include "qnapi.h"
#include "qnapi_text.h"

#ifdef _WIN32
#include <io.h>
#define QNA_ISATTY(fd) _isatty(fd)
#define QNA_FILENO(f) _fileno(f)
#else
#include <unistd.h>
#define QNA_ISATTY(fd) isatty(fd)
#define QNA_FILENO(f) fileno(f)
#endif

namespace qna {

namespace {

// What quonix, the stand-in server, means by its own results (docs/server.md).
// Another server may use these numbers otherwise, so they are offered as
// quonix's reading only.
struct ServerText {
  std::uint32_t result;
  const char* text;
};
constexpr ServerText kQuonixResults[] = {
    {1, "unknown command"},
    {7, "no mailbox for that application name (names are case-sensitive)"},
    {10, "no event queue with that number"},
    {11, "no free event queue"},
    {12, "the queue bears another name"},
    {13, "no room for another open of the queue"},
    {14, "this link has the queue open already"},
    {15, "this link does not have that queue open"},
    {16, "the queue's pipe could not be made"},
    {20, "no message on the channel within the wait"},
    {21, "the channel (or the server's message store) is full"},
    {22, "the message body is longer than 65536 bytes"},
    {23, "the next message is longer than the room given (--room)"},
    {30, "no request with that id"},
    {31, "the request is no longer pending"},
};

constexpr std::string_view kAreaNames[6] = {"CB", "CW", "SB", "SW", "LGP", "TMAN"};

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

// ---- Errors ---------------------------------------------------------------

namespace {

bool g_json_errors = false;
bool g_quiet_errors = false;
int g_batch_line = 0;
std::string g_last_error;

// One error line on stderr, or its JSON object.  `text` has no codes;
// `codes` is " (result R, detail D)" or empty for a failure of qna's own.
// A note is printed even while errors are quiet, and is no error.
void Report(const char* command, const std::string& text, bool has_codes, std::uint32_t result,
            std::int32_t detail, bool note = false) {
  std::string line;
  if (g_json_errors) {
    line = "{\"command\":" + JsonString(command);
    if (g_batch_line > 0) line += ",\"line\":" + std::to_string(g_batch_line);
    line += has_codes ? ",\"result\":" + std::to_string(result) + ",\"detail\":" + std::to_string(detail)
                      : std::string(",\"result\":null,\"detail\":null");
    line += ",\"text\":" + JsonString(text) + "}";
  } else {
    line = "qna";
    if (g_batch_line > 0) line += " batch line " + std::to_string(g_batch_line) + ":";
    if (*command != '\0') line += std::string(" ") + command;
    line += ": " + text;
    if (has_codes) line += " (result " + std::to_string(result) + ", detail " + std::to_string(detail) + ")";
  }
  if (!note) g_last_error = line;
  if (note || !g_quiet_errors) std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

// The library's text for the codes, without them, and with quonix's
// meaning of a result of the server's own where it is one of quonix's.
std::string ResultText(std::uint32_t result, std::int32_t detail) {
  char buffer[256];
  QNA_ResultText(result, detail, buffer, sizeof buffer);
  std::string text = buffer;
  // The codes go in a field of their own (JSON) or at the end of the line.
  if (const auto codes = text.rfind(" (result "); codes != std::string::npos) text.erase(codes);
  if (text.find("server's own result") != std::string::npos)
    for (const auto& known : kQuonixResults)
      if (known.result == result) text = std::string("refused by the server: ") + known.text;
  return text;
}

void SetJsonErrors(bool json) { g_json_errors = json; }
void SetQuietErrors(bool quiet) { g_quiet_errors = quiet; }
const std::string& LastError() { return g_last_error; }
void SetBatchLine(int line) { g_batch_line = line; }

Refusal Refusal::Library(const std::string& context, std::uint32_t result, std::int32_t detail) {
  const std::string text = ResultText(result, detail);
  return Codes(context.empty() ? text : context + ": " + text, result, detail);
}

int Refuse(const char* command, const Refusal& refusal) {
  switch (refusal.kind) {
    case Refusal::Kind::none: return 0;
    case Refusal::Kind::usage: return Usage(command, refusal.text);
    case Refusal::Kind::own: return FailOwn(command, refusal.text);
    case Refusal::Kind::codes: break;
  }
  return FailWith(command, refusal.text, refusal.result, refusal.detail);
}

int Fail(const char* command, const std::string& context, std::uint32_t result, std::int32_t detail) {
  return Refuse(command, Refusal::Library(context, result, detail));
}

void Note(const char* command, const std::string& text) { Report(command, text, false, 0, 0, true); }

int FailWith(const char* command, const std::string& text, std::uint32_t result, std::int32_t detail) {
  Report(command, text, true, result, detail);
  return kExitFailed;
}

int FailOwn(const char* command, const std::string& message) {
  Report(command, message, false, 0, 0);
  return kExitFailed;
}

int Usage(const char* command, const std::string& message) {
  Report(command, message, false, 0, 0);
  return kExitUsage;
}

// ---- Transports -----------------------------------------------------------

namespace {

Link* g_shared = nullptr;  // qna batch's link while it is open

// ADDR:PORT of --tcp, each part refused with its own reason.
bool ParseTcp(const std::string& text, std::string& host, std::uint32_t& port, std::string& error) {
  const auto colon = text.rfind(':');
  if (colon == std::string::npos) {
    error = "--tcp takes ADDR:PORT, as 127.0.0.1:5021";
    return false;
  }
  host = text.substr(0, colon);
  const std::string number = text.substr(colon + 1);
  if (host.empty() || host.size() > 15) {
    error = "bad host in --tcp " + text + ": the host name or address before ':' has 1 to 15 characters";
    return false;
  }
  if (!ParseU32(number, port) || port == 0 || port > 65535) {
    error = "bad port '" + number + "' in --tcp " + text + ": a TCP port is 1 to 65535";
    return false;
  }
  return true;
}

}  // namespace

void AddLinkOptions(CLI::App* command, LinkOptions& options, const Offer& offer) {
  const std::string no = std::string(" (not offered here: ") + offer.why_not + ")";
  command->add_option("--host", options.host,
                      std::string("Reach the server through the pipe of host NAME (the N functions)") +
                          (offer.host ? "" : no))
      ->type_name("NAME");
  command->add_option("--tcp", options.tcp,
                      std::string("Reach the server over TCP at ADDR:PORT (the S functions)") +
                          (offer.tcp ? "" : no))
      ->type_name("ADDR:PORT");
  command->add_option("--app", options.app, "Application name to register under (at most 8 characters)")
      ->capture_default_str();
  command->add_flag("--json", options.json, "Print JSON for scripts instead of a table");
}

int RefuseTransport(const char* command, const LinkOptions& options, const Offer& offer) {
  if (!options.host.empty() && !options.tcp.empty()) return Usage(command, "give --host or --tcp, not both");
  if (!options.host.empty() && !offer.host)
    return Usage(command, std::string("--host is not offered here: ") + offer.why_not);
  if (!options.tcp.empty() && !offer.tcp)
    return Usage(command, std::string("--tcp is not offered here: ") + offer.why_not);
  return 0;
}

Link::~Link() {
  if (!open_ || borrowed_) return;
  if (via_ == Via::tcp)
    QNA_CloseS(id_);
  else if (id_ != 0)
    QNA_CloseN(id_);
  else
    QNA_Close();
}

int Link::Open(const char* command, const LinkOptions& options, const Offer& offer, Need need) {
  if (g_shared != nullptr) {
    // A batch line runs over the batch's link; it may repeat the batch's
    // transport but not name another.
    const Link& shared = *g_shared;
    if ((!options.host.empty() && options.host != shared.host_) || (!options.tcp.empty() && options.tcp != shared.tcp_))
      return Usage(command, "a batch runs every line over its one link: give --host or --tcp on the batch line");
    if (options.app != LinkOptions{}.app && options.app != shared.app_)
      return Usage(command, "a batch registers once: give --app on the batch line");
    LinkOptions as_shared = options;
    as_shared.host = shared.host_;
    as_shared.tcp = shared.tcp_;
    if (int refused = RefuseTransport(command, as_shared, offer)) return refused;
    via_ = shared.via_;
    id_ = shared.id_;
    app_ = shared.app_;
    host_ = shared.host_;
    tcp_ = shared.tcp_;
    std::copy(std::begin(shared.sizes_), std::end(shared.sizes_), sizes_);
    open_ = borrowed_ = true;
    return 0;
  }
  if (int refused = RefuseTransport(command, options, offer)) return refused;
  if (options.app.empty() || options.app.size() > 8)
    return Usage(command, "--app takes an application name of 1 to 8 characters");

  QNA_CONNPARAM params{};
  std::memcpy(params.name, options.app.data(), options.app.size());
  std::uint32_t r = 0;
  std::string where;
  if (!options.tcp.empty()) {
    std::string host, error;
    std::uint32_t port = 0;
    if (!ParseTcp(options.tcp, host, port, error)) return Usage(command, error);
    std::memcpy(params.host, host.data(), host.size());
    params.port = port;
    params.attempts = 3;
    via_ = Via::tcp;
    where = "server at " + host + " port " + std::to_string(port) + " over TCP";
    r = QNA_OpenS(&params, &id_);
  } else if (!options.host.empty() || need == Need::connection) {
    if (options.host.size() > 15) return Usage(command, "--host takes a host name of at most 15 characters");
    std::memcpy(params.host, options.host.data(), options.host.size());
    via_ = options.host.empty() ? Via::local : Via::host;
    where = options.host.empty() ? "local server" : "server of host " + options.host;
    r = QNA_OpenN(&params, &id_);
  } else {
    QNA_REGREC record{};
    std::memcpy(record.name, options.app.data(), options.app.size());
    via_ = Via::local;
    where = "local server";
    r = QNA_Open(&record);
  }
  if (r != 0) {
    const std::int32_t detail = QNA_InternalErr;
    id_ = 0;
    // A server that is not running may run in another root: name this one.
    if (via_ == Via::local && r == QNA_E_OPEN) where += " in the platform root " + PlatformRoot();
    return Fail(command, "cannot reach the " + where, r, detail);
  }
  open_ = true;
  app_ = options.app;
  host_ = options.host;
  tcp_ = options.tcp;
  std::copy(std::begin(QNA_SizeTb), std::end(QNA_SizeTb), sizes_);
  return 0;
}

Refusal Link::RangeRefusal(std::uint32_t area, std::uint32_t start, std::uint64_t count, bool bits,
                           const char* nothing) const {
  const std::uint64_t size = area < 6 ? sizes_[area] : 0;
  const std::uint64_t limit = bits ? size * 16 : size;
  if (count > 0 && start < limit && count <= limit - start) return {};
  const std::string range = RangeText(area, start, count, bits);
  std::string text = range + (bits ? " do" : " does") + " not fit in " + AreaName(area) + ", which holds " +
                     std::to_string(size) + " words";
  if (size > 0) text += bits ? " (bits 0.." + std::to_string(limit - 1) + ")" : " (" + RangeText(area, 0, size, false) + ")";
  return Refusal::Codes(text + ": " + nothing, QNA_E_ARG, 0);
}

int Link::CheckRange(const char* command, std::uint32_t area, std::uint32_t start, std::uint64_t count,
                     bool bits, const char* nothing) const {
  return Refuse(command, RangeRefusal(area, start, count, bits, nothing));
}

SharedLink::~SharedLink() { g_shared = nullptr; }

int SharedLink::Open(const char* command, const LinkOptions& options) {
  // A connection id serves every command: locally a pipe connection with an
  // empty host, which maps the areas and takes the library's link as well.
  if (int failed = link_.Open(command, options, Offer{}, Need::connection)) return failed;
  g_shared = &link_;
  return 0;
}

std::uint32_t Link::Read(std::uint32_t area, std::uint32_t offset, std::uint32_t count, std::uint16_t* out) {
  switch (via_) {
    case Via::tcp: return QNA_ReadS(area, offset, count, out, 0, id_);
    case Via::host: return QNA_ReadN(area, offset, count, out, 0, id_);
    case Via::local: break;
  }
  return id_ != 0 ? QNA_ReadN(area, offset, count, out, 0, id_) : QNA_Read(area, offset, count, out, 0);
}

std::uint32_t Link::ReadBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count, std::uint8_t* out) {
  switch (via_) {
    case Via::tcp: return QNA_ReadBitS(area, bit, count, out, 0, id_);
    case Via::host: return QNA_ReadBitN(area, bit, count, out, 0, id_);
    case Via::local: break;
  }
  return id_ != 0 ? QNA_ReadBitN(area, bit, count, out, 0, id_) : QNA_ReadBit(area, bit, count, out, 0);
}

std::uint32_t Link::Write(std::uint32_t area, std::uint32_t offset, std::uint32_t count,
                          const std::uint16_t* data, std::uint32_t options, bool direct) {
  switch (via_) {
    case Via::tcp: return QNA_WriteS(area, offset, count, data, options, id_);
    case Via::host: return QNA_WriteN(area, offset, count, data, options, id_);
    case Via::local: break;
  }
  if (direct) return QNA_WriteSmem(area, offset, count, data, 0);
  return id_ != 0 ? QNA_WriteN(area, offset, count, data, options, id_) : QNA_Write(area, offset, count, data, options);
}

std::uint32_t Link::WriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                              const std::uint8_t* data, std::uint32_t options, bool direct) {
  switch (via_) {
    case Via::tcp: return QNA_WriteBitS(area, bit, count, data, options, id_);
    case Via::host: return QNA_WriteBitN(area, bit, count, data, options, id_);
    case Via::local: break;
  }
  if (direct) return QNA_WriteSmemBit(area, bit, count, data, 0);
  return id_ != 0 ? QNA_WriteBitN(area, bit, count, data, options, id_)
                  : QNA_WriteBit(area, bit, count, data, options);
}

std::uint32_t Link::SendMsg(std::uint32_t channel, std::uint32_t type, std::uint32_t ref, std::uint32_t priority,
                           const std::string& body, std::uint32_t flags) {
  const auto length = static_cast<std::uint32_t>(body.size());
  switch (via_) {
    case Via::tcp: return QNA_SendMsgS(channel, type, ref, priority, length, body.data(), flags, id_);
    case Via::host: return QNA_SendMsgN(channel, type, ref, priority, length, body.data(), flags, id_);
    case Via::local: break;
  }
  return QNA_SendMsg(channel, type, ref, priority, length, body.data(), flags);
}

// ---- Addresses and numbers -----------------------------------------------

bool ParseU32(const std::string& text, std::uint32_t& out) {
  if (text.empty() || text.size() > 12) return false;
  std::uint64_t value = 0;
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  for (std::size_t i = hex ? 2 : 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (hex && std::isxdigit(c) != 0)
      value = value * 16 + static_cast<std::uint64_t>(std::isdigit(c) != 0 ? c - '0' : std::tolower(c) - 'a' + 10);
    else if (!hex && std::isdigit(c) != 0)
      value = value * 10 + (c - '0');
    else
      return false;
    if (value > 0xFFFFFFFFu) return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

bool ParseBit(const std::string& text, std::uint8_t& out) {
  if (text != "0" && text != "1") return false;
  out = text == "1" ? 1 : 0;
  return true;
}

bool ParseWord(const std::string& text, std::uint16_t& out) {
  std::uint32_t v = 0;
  if (!text.empty() && text[0] == '-') {
    if (!ParseU32(text.substr(1), v) || v > 32768) return false;
    out = static_cast<std::uint16_t>(0x10000u - v);
    return true;
  }
  if (!ParseU32(text, v) || v > 0xFFFF) return false;
  out = static_cast<std::uint16_t>(v);
  return true;
}

bool ParseI64(const std::string& text, std::int64_t& out) {
  const bool negative = !text.empty() && text[0] == '-';
  std::uint32_t magnitude = 0;
  if (!ParseU32(negative ? text.substr(1) : text, magnitude)) return false;
  if (negative && (magnitude > 0x80000000u || text.find_first_of("xX") != std::string::npos)) return false;
  out = negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
  return true;
}

bool ParseAddress(const std::string& text, Address& out, std::string& error) {
  error = "bad address '" + text +
          "': an area (CB, CW, SB, SW, LGP, TMAN or 0 to 5) and a number, as CW100 or 4:100";
  const auto colon = text.find(':');
  std::string number;
  if (colon != std::string::npos) {
    std::uint32_t area = 0;
    if (!ParseU32(text.substr(0, colon), area) || area > 5) return false;
    out.area = area;
    number = text.substr(colon + 1);
  } else {
    std::size_t letters = 0;
    while (letters < text.size() && std::isalpha(static_cast<unsigned char>(text[letters])) != 0) ++letters;
    const std::string name = Upper(text.substr(0, letters));
    const auto* found = std::find(std::begin(kAreaNames), std::end(kAreaNames), name);
    if (found == std::end(kAreaNames)) return false;
    out.area = static_cast<std::uint32_t>(found - std::begin(kAreaNames));
    number = text.substr(letters);
  }
  // Decimal only: CB0x10 would read as a hex number hiding in an address.
  if (number.empty() || !std::all_of(number.begin(), number.end(),
                                     [](char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }))
    return false;
  if (!ParseU32(number, out.offset)) return false;
  error.clear();
  return true;
}

std::string AreaName(std::uint32_t area) {
  return area < 6 ? std::string(kAreaNames[area]) : std::to_string(area);
}

std::string FormatAddress(std::uint32_t area, std::uint32_t offset) {
  return AreaName(area) + std::to_string(offset);
}

std::string RangeText(std::uint32_t area, std::uint32_t start, std::uint64_t count, bool bits) {
  std::string s = FormatAddress(area, start);
  if (count > 1) s += ".." + std::to_string(std::uint64_t{start} + count - 1);
  return bits ? "bits " + s : s;
}

// ---- Output ---------------------------------------------------------------

void Table::Print() const {
  std::vector<std::size_t> width(header_.size(), 0);
  std::vector<bool> numeric(header_.size(), true);
  auto measure = [&](const std::vector<std::string>& cells, bool is_header) {
    for (std::size_t i = 0; i < cells.size() && i < width.size(); ++i) {
      width[i] = std::max(width[i], cells[i].size());
      if (!is_header && !cells[i].empty() &&
          cells[i].find_first_not_of("-0123456789") != std::string::npos &&
          cells[i].rfind("0x", 0) != 0)
        numeric[i] = false;
    }
  };
  measure(header_, true);
  for (const auto& row : rows_) measure(row, false);
  auto print = [&](const std::vector<std::string>& cells) {
    std::string line;
    for (std::size_t i = 0; i < cells.size() && i < width.size(); ++i) {
      const std::string pad(width[i] - cells[i].size(), ' ');
      const bool last = i + 1 == cells.size();
      line += numeric[i] ? pad + cells[i] : cells[i] + (last ? "" : pad);
      if (!last) line += "  ";
    }
    std::printf("%s\n", line.c_str());
  };
  print(header_);
  for (const auto& row : rows_) print(row);
}

namespace {

// The length of the valid UTF-8 sequence at bytes[0] (of n), 0 when it is
// none: no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t Utf8Length(const std::uint8_t* bytes, std::size_t n) {
  const std::uint8_t b = bytes[0];
  const std::size_t length = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
  if (length == 0 || length > n) return 0;
  std::uint32_t code = b & (0x7Fu >> length);  // the lead byte's payload bits
  for (std::size_t i = 1; i < length; ++i) {
    if ((bytes[i] & 0xC0u) != 0x80u) return 0;
    code = code << 6 | (bytes[i] & 0x3Fu);
  }
  if ((length == 3 && (code < 0x800 || (code >= 0xD800 && code <= 0xDFFF))) ||
      (length == 4 && (code < 0x10000 || code > 0x10FFFF)))
    return 0;
  return length;
}

}  // namespace

std::string JsonString(const std::string& text) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
  std::string s = "\"";
  for (std::size_t i = 0; i < text.size(); ++i) {
    const std::uint8_t c = bytes[i];
    if (c == '"' || c == '\\') {
      s += '\\';
      s += static_cast<char>(c);
    } else if (c >= 0x20 && c < 0x7F) {
      s += static_cast<char>(c);
    } else if (const std::size_t length = c >= 0x80 ? Utf8Length(bytes + i, text.size() - i) : 0; length > 0) {
      s.append(text, i, length);  // UTF-8 stays UTF-8
      i += length - 1;
    } else {
      // Control characters, and bytes that are not UTF-8 taken as Latin-1.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      s += esc;
    }
  }
  return s + "\"";
}

std::string Printable(const std::uint8_t* bytes, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
      s += static_cast<char>(bytes[i]);
    } else if (const std::size_t length = bytes[i] >= 0x80 ? Utf8Length(bytes + i, n - i) : 0; length > 0) {
      s.append(reinterpret_cast<const char*>(bytes + i), length);
      i += length - 1;
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", bytes[i]);
      s += esc;
    }
  }
  return s;
}

const char* NoReplyNote(bool no_reply) {
  return no_reply ? ", no reply asked (the server may refuse it unseen)" : "";
}

std::string CsvField(const std::string& text) {
  if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
  std::string s = "\"";
  for (char c : text) s += c == '"' ? std::string("\"\"") : std::string(1, c);
  return s + "\"";
}

std::string IsoTime(std::chrono::system_clock::time_point time) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm utc{};
#ifdef _WIN32
  utc = *std::gmtime(&seconds);  // the C runtime's buffer is per thread there
#else
  gmtime_r(&seconds, &utc);
#endif
  char text[80];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
  return text;
}

bool StdoutIsTerminal() { return QNA_ISATTY(QNA_FILENO(stdout)) != 0; }

Progress::Progress(const std::string& what, std::uint64_t total, std::uint64_t worth_showing)
    : what_(what), total_(total), shown_(total >= worth_showing && total > 0 && StdoutIsTerminal()) {
  Update(0);
}

Progress::~Progress() {
  if (shown_) std::fprintf(stderr, "\r%*s\r", static_cast<int>(what_.size() + 40), "");
}

void Progress::Update(std::uint64_t done) {
  if (!shown_) return;
  const int percent = static_cast<int>(std::min<std::uint64_t>(done, total_) * 100 / total_);
  if (percent == last_) return;
  last_ = percent;
  const int filled = percent * 30 / 100;
  std::fprintf(stderr, "\r%s [%s%s] %3d%%", what_.c_str(), std::string(static_cast<std::size_t>(filled), '#').c_str(),
               std::string(static_cast<std::size_t>(30 - filled), '.').c_str(), percent);
  std::fflush(stderr);
}

}  // namespace qna
