// common.cpp - the transport options and links, addresses, tables, JSON, the
// progress bar and the error line shared by every qna subcommand.
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string_view>

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

int Fail(const char* command, const std::string& context, std::uint32_t result, std::int32_t detail) {
  char text[256];
  QNA_ResultText(result, detail, text, sizeof text);
  std::string line = std::string("qna ") + command + ": ";
  if (!context.empty()) line += context + ": ";
  // A result of the server's own: say what quonix means by it, if it is one
  // of quonix's.
  const ServerText* server = nullptr;
  if (std::strstr(text, "server's own result") != nullptr)
    for (const auto& known : kQuonixResults)
      if (known.result == result) server = &known;
  if (server != nullptr)
    line += std::string("refused by the server: ") + server->text + " (result " + std::to_string(result) +
            ", detail " + std::to_string(detail) + ")";
  else
    line += text;
  std::fprintf(stderr, "%s\n", line.c_str());
  return kExitFailed;
}

int Usage(const char* command, const std::string& message) {
  std::fprintf(stderr, "qna %s: %s\n", command, message.c_str());
  return kExitUsage;
}

// ---- Transports -----------------------------------------------------------

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
  command->add_option("--as", options.as, "Application name to register under (at most 8 characters)")
      ->capture_default_str();
  command->add_flag("--json", options.json, "Print JSON for scripts instead of a table");
}

Link::~Link() {
  if (!open_) return;
  if (via_ == Via::tcp)
    QNA_CloseS(id_);
  else if (id_ != 0)
    QNA_CloseN(id_);
  else
    QNA_Close();
}

int Link::Open(const char* command, const LinkOptions& options, const Offer& offer, Need need) {
  if (!options.host.empty() && !options.tcp.empty())
    return Usage(command, "give --host or --tcp, not both");
  if (options.as.empty() || options.as.size() > 8)
    return Usage(command, "--as takes an application name of 1 to 8 characters");
  if (!options.host.empty() && !offer.host)
    return Usage(command, std::string("--host is not offered here: ") + offer.why_not);
  if (!options.tcp.empty() && !offer.tcp)
    return Usage(command, std::string("--tcp is not offered here: ") + offer.why_not);

  QNA_CONNPARAM params{};
  std::memcpy(params.name, options.as.data(), options.as.size());
  std::uint32_t r = 0;
  std::string where;
  if (!options.tcp.empty()) {
    const auto colon = options.tcp.rfind(':');
    std::uint32_t port = 0;
    const std::string host = colon == std::string::npos ? "" : options.tcp.substr(0, colon);
    if (colon == std::string::npos || host.empty() || host.size() > 15 ||
        !ParseU32(options.tcp.substr(colon + 1), port) || port == 0 || port > 65535)
      return Usage(command, "--tcp takes ADDR:PORT, as 127.0.0.1:5021 (a host name of at most 15 characters)");
    std::memcpy(params.host, host.data(), host.size());
    params.port = port;
    params.attempts = 3;
    via_ = Via::tcp;
    where = "server at " + options.tcp + " over TCP";
    r = QNA_OpenS(&params, &id_);
  } else if (!options.host.empty() || need == Need::connection) {
    if (options.host.size() > 15) return Usage(command, "--host takes a host name of at most 15 characters");
    std::memcpy(params.host, options.host.data(), options.host.size());
    via_ = options.host.empty() ? Via::local : Via::host;
    where = options.host.empty() ? "local server" : "server of host " + options.host;
    r = QNA_OpenN(&params, &id_);
  } else {
    QNA_REGREC record{};
    std::memcpy(record.name, options.as.data(), options.as.size());
    via_ = Via::local;
    where = "local server";
    r = QNA_Open(&record);
  }
  if (r != 0) {
    const std::int32_t detail = QNA_InternalErr;
    id_ = 0;
    return Fail(command, "cannot reach the " + where, r, detail);
  }
  open_ = true;
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
  return QNA_Write(area, offset, count, data, options);
}

std::uint32_t Link::WriteBits(std::uint32_t area, std::uint32_t bit, std::uint32_t count,
                              const std::uint8_t* data, std::uint32_t options, bool direct) {
  switch (via_) {
    case Via::tcp: return QNA_WriteBitS(area, bit, count, data, options, id_);
    case Via::host: return QNA_WriteBitN(area, bit, count, data, options, id_);
    case Via::local: break;
  }
  if (direct) return QNA_WriteSmemBit(area, bit, count, data, 0);
  return QNA_WriteBit(area, bit, count, data, options);
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

std::string JsonString(const std::string& text) {
  std::string s = "\"";
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      s += '\\';
      s += ch;
    } else if (c < 0x20 || c >= 0x7F) {
      // Bytes beyond ASCII are shown by value: the data are not UTF-8.
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\u%04x", c);
      s += esc;
    } else {
      s += ch;
    }
  }
  return s + "\"";
}

std::string Printable(const std::uint8_t* bytes, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\') {
      s += static_cast<char>(bytes[i]);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", bytes[i]);
      s += esc;
    }
  }
  return s;
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
