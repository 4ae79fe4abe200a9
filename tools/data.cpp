// data.cpp - qna read, write, bits, mux and watch: words and bits of the data
// areas over the local link, a host pipe or TCP.
//
// Every range is checked against the area sizes the server announced when
// the link opened, before anything is allocated or sent: a write the server
// would refuse part-way (the library splits it into requests, and the ones
// before the refusal stay written) is refused whole, and a mistyped count
// never allocates gigabytes.  Writes go in pieces of at most one library
// request, so a refusal part-way (for another reason) says how much was
// written.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qna.h"
#include "qnapi.h"
#include "watch.h"

namespace qna {

namespace {

// Transfers of this many words or bits or more get a progress bar.
constexpr std::uint32_t kLongTransfer = 32768;
// With a bar the transfer goes in pieces, so that the bar can move.
constexpr std::uint32_t kPiece = 4096;

const Offer kData{};  // every transport

// ---- Value forms (--as) -------------------------------------------------------
// 32-bit forms take two words, the low word first, as double-word tags do.
struct Form {
  const char* name;
  std::uint32_t words;
};
constexpr Form kForms[] = {{"u16", 1}, {"i16", 1}, {"u32", 2}, {"i32", 2}, {"f32", 2}, {"hex", 1}};
constexpr const Form& kU16 = kForms[0];

const Form* FindForm(const std::string& name) {
  for (const Form& f : kForms)
    if (name == f.name) return &f;
  return nullptr;
}

std::uint32_t Joined(const std::uint16_t* w) { return std::uint32_t{w[0]} | std::uint32_t{w[1]} << 16; }

// A value for people and CSV, or for JSON (numbers as numbers, hex as a
// string, a float that is no number as null).
std::string ValueText(const Form& form, const std::uint16_t* w, bool json) {
  char text[40];
  const std::string name = form.name;
  if (name == "i16") return std::to_string(static_cast<std::int16_t>(w[0]));
  if (name == "u32") return std::to_string(Joined(w));
  if (name == "i32") return std::to_string(static_cast<std::int32_t>(Joined(w)));
  if (name == "f32") {
    float f = 0;
    const std::uint32_t bits = Joined(w);
    std::memcpy(&f, &bits, sizeof f);
    if (json && !std::isfinite(f)) return "null";
    std::snprintf(text, sizeof text, "%.9g", static_cast<double>(f));
    return text;
  }
  if (name == "hex") {
    std::snprintf(text, sizeof text, json ? "\"0x%04X\"" : "0x%04X", w[0]);
    return text;
  }
  return std::to_string(w[0]);
}

std::string JsonValues(const Form& form, const std::uint16_t* words, std::size_t values) {
  std::string s = "[";
  for (std::size_t i = 0; i < values; ++i) {
    if (i > 0) s += ',';
    s += ValueText(form, words + i * form.words, true);
  }
  return s + "]";
}

// "area", "start", "count" and "words" (with --as also "as" and "values").
std::string JsonRange(std::uint32_t area, std::uint32_t start, const std::uint16_t* words, std::size_t count,
                      const Form& form, bool as_given) {
  std::string s = "{\"area\":" + JsonString(AreaName(area)) + ",\"start\":" + std::to_string(start) +
                  ",\"count\":" + std::to_string(count) + ",\"words\":" + JsonList(words, count);
  if (as_given)
    s += ",\"as\":" + JsonString(form.name) + ",\"values\":" + JsonValues(form, words, count / form.words);
  return s + "}";
}

// The CSV header of values: "time,CW10,CW12" (a 32-bit value is named by its
// first word).
std::string CsvHeader(std::uint32_t area, std::uint32_t start, std::size_t values, std::uint32_t step) {
  std::string s;
  for (std::size_t i = 0; i < values; ++i) {
    s += ',';
    s += FormatAddress(area, start + static_cast<std::uint32_t>(i * step));
  }
  return s;
}

std::string CsvValues(const Form& form, const std::uint16_t* words, std::size_t values) {
  std::string s;
  for (std::size_t i = 0; i < values; ++i) {
    s += ',';
    s += CsvField(ValueText(form, words + i * form.words, false));
  }
  return s;
}

// How the values are printed: --json, --csv or a table, and --as.
struct Shape {
  bool csv = false;
  std::string as;
  const Form* form = &kU16;

  // Fills `form`; 0 or the usage error.
  int Check(const char* command, const LinkOptions& link) {
    if (csv && link.json) return Usage(command, "give --json or --csv, not both");
    if (as.empty()) return 0;
    form = FindForm(as);
    if (form == nullptr) return Usage(command, "--as takes u16, i16, u32, i32, f32 or hex, not '" + as + "'");
    return 0;
  }
};

void AddShapeOptions(CLI::App* c, Shape& shape) {
  c->add_option("--as", shape.as, "Show values as u16 (default), i16, u32, i32, f32 or hex; 32-bit forms take two words, low word first")
      ->type_name("FORM");
  c->add_flag("--csv", shape.csv, "Print CSV: a header line, then one line of values, a UTC timestamp first");
}

// Reads words in pieces when a bar is shown, in one call otherwise.
std::uint32_t ReadWords(Link& link, const Address& a, std::uint32_t count, std::uint16_t* out) {
  Progress bar("reading " + FormatAddress(a.area, a.offset), count, kLongTransfer);
  if (!bar.shown()) return link.Read(a.area, a.offset, count, out);
  for (std::uint32_t done = 0; done < count;) {
    const std::uint32_t n = std::min(kPiece, count - done);
    const std::uint32_t r = link.Read(a.area, a.offset + done, n, out + done);
    if (r != 0) return r;
    done += n;
    bar.Update(done);
  }
  return 0;
}

void PrintWords(const Address& a, const std::vector<std::uint16_t>& words, const LinkOptions& link,
                const Shape& shape) {
  const Form& form = *shape.form;
  const std::size_t values = words.size() / form.words;
  if (link.json) {
    std::printf("%s\n", JsonRange(a.area, a.offset, words.data(), words.size(), form, !shape.as.empty()).c_str());
    return;
  }
  if (shape.csv) {
    std::printf("time%s\n%s%s\n", CsvHeader(a.area, a.offset, values, form.words).c_str(),
                IsoTime(std::chrono::system_clock::now()).c_str(), CsvValues(form, words.data(), values).c_str());
    return;
  }
  char hex[8];
  if (values <= 16) {
    const bool plain = shape.as.empty();
    Table table(plain ? std::vector<std::string>{"address", "value", "hex", "signed"}
                      : std::vector<std::string>{"address", form.name});
    for (std::size_t i = 0; i < values; ++i) {
      const std::uint16_t* w = words.data() + i * form.words;
      const std::string at = FormatAddress(a.area, a.offset + static_cast<std::uint32_t>(i * form.words));
      std::snprintf(hex, sizeof hex, "0x%04X", w[0]);
      if (plain)
        table.Row({at, std::to_string(w[0]), hex, std::to_string(static_cast<std::int16_t>(w[0]))});
      else
        table.Row({at, ValueText(form, w, false)});
    }
    table.Print();
    return;
  }
  Table table({"address", "+0", "+1", "+2", "+3", "+4", "+5", "+6", "+7"});
  for (std::size_t i = 0; i < values; i += 8) {
    std::vector<std::string> row{FormatAddress(a.area, a.offset + static_cast<std::uint32_t>(i * form.words))};
    for (std::size_t j = i; j < i + 8 && j < values; ++j) row.push_back(ValueText(form, words.data() + j * form.words, false));
    table.Row(std::move(row));
  }
  table.Print();
}

void PrintBits(const Address& a, const std::vector<std::uint8_t>& bits, const LinkOptions& link, bool csv) {
  if (link.json) {
    std::printf("{\"area\":%s,\"start\":%u,\"count\":%zu,\"bits\":%s}\n", JsonString(AreaName(a.area)).c_str(),
                a.offset, bits.size(), JsonList(bits.data(), bits.size()).c_str());
    return;
  }
  if (csv) {
    std::string values;
    for (const std::uint8_t b : bits) values += b != 0 ? ",1" : ",0";
    std::printf("time%s\n%s%s\n", CsvHeader(a.area, a.offset, bits.size(), 1).c_str(),
                IsoTime(std::chrono::system_clock::now()).c_str(), values.c_str());
    return;
  }
  if (bits.size() <= 16) {
    Table table({"bit", "value"});
    for (std::size_t i = 0; i < bits.size(); ++i)
      table.Row({FormatAddress(a.area, a.offset + static_cast<std::uint32_t>(i)), std::to_string(bits[i])});
    table.Print();
    return;
  }
  Table table({"bit", "values (16 a row, first bit left)"});
  for (std::size_t i = 0; i < bits.size(); i += 16) {
    std::string values;
    for (std::size_t j = i; j < i + 16 && j < bits.size(); ++j) values += bits[j] != 0 ? '1' : '0';
    table.Row({FormatAddress(a.area, a.offset + static_cast<std::uint32_t>(i)), values});
  }
  table.Print();
}

// What a write did, for people and for scripts.  Without a reply asked the
// server may have refused it unseen: it is "sent", not "wrote".
void PrintWritten(const Address& a, std::uint32_t count, bool bits, const LinkOptions& link, bool no_reply,
                  bool direct) {
  if (link.json) {
    std::printf("{\"area\":%s,\"start\":%u,\"count\":%u,\"replied\":%s}\n", JsonString(AreaName(a.area)).c_str(),
                a.offset, count, no_reply ? "false" : "true");
    return;
  }
  const char* unit = bits ? "bit" : "word";
  std::printf("%s %u %s%s to %s%s%s\n", no_reply ? "sent" : "wrote", count, unit, count == 1 ? "" : "s",
              RangeText(a.area, a.offset, count, false).c_str(), NoReplyNote(no_reply),
              direct ? " (straight into shared memory)" : "");
}

// Sends words or bits in pieces of at most one library request each; the
// number sent before a refusal is in `done`.
template <typename T, typename Send>
std::uint32_t SendPieces(const Address& a, const std::vector<T>& data, std::uint32_t per_request, std::uint32_t& done,
                         Send send) {
  const auto count = static_cast<std::uint32_t>(data.size());
  Progress bar("writing " + FormatAddress(a.area, a.offset), count, kLongTransfer);
  const std::uint32_t piece = bar.shown() ? std::min(kPiece, per_request) : per_request;
  for (done = 0; done < count;) {
    const std::uint32_t n = std::min(piece, count - done);
    if (const std::uint32_t r = send(a.offset + done, n, data.data() + done); r != 0) return r;
    done += n;
    bar.Update(done);
  }
  return 0;
}

// The failure of a write that may have been written in part.
int FailWrite(const char* command, const Address& a, std::uint32_t count, std::uint32_t done, bool bits,
              std::uint32_t r, std::int32_t detail) {
  std::string context = RangeText(a.area, a.offset, count, bits);
  if (done == 0)
    context += ", nothing written";
  else
    context += ": " + std::to_string(done) + " of " + std::to_string(count) + (bits ? " bits" : " words") +
               " were written (" + RangeText(a.area, a.offset, done, bits) + "), the rest not";
  return Fail(command, context, r, detail);
}

// ---- read -------------------------------------------------------------------
struct ReadArgs {
  LinkOptions link;
  Shape shape;
  std::string address;
  std::uint32_t count = 1;
};

int Read(ReadArgs& args) {
  Address a;
  std::string error;
  if (!ParseAddress(args.address, a, error)) return Usage("read", error);
  if (int bad = args.shape.Check("read", args.link)) return bad;
  if (args.count == 0) return Usage("read", "COUNT must be 1 or more");
  const std::uint64_t words = std::uint64_t{args.count} * args.shape.form->words;
  Link link;
  if (int failed = link.Open("read", args.link, kData, Need::link)) return failed;
  if (int refused = link.CheckRange("read", a.area, a.offset, words, false, "nothing read")) return refused;
  std::vector<std::uint16_t> values(static_cast<std::size_t>(words));  // CheckRange bounded it
  const std::uint32_t r = ReadWords(link, a, static_cast<std::uint32_t>(words), values.data());
  if (r != 0) return Fail("read", RangeText(a.area, a.offset, words, false), r, QNA_InternalErr);
  PrintWords(a, values, args.link, args.shape);
  return 0;
}

// ---- write ------------------------------------------------------------------
struct WriteArgs {
  LinkOptions link;
  std::string address;
  std::vector<std::string> values;
  std::uint32_t fill_count = 0;
  bool direct = false;
  bool no_reply = false;
};

int Write(const WriteArgs& args) {
  Address a;
  std::string error;
  if (!ParseAddress(args.address, a, error)) return Usage("write", error);
  std::vector<std::uint16_t> words;
  for (const auto& v : args.values) {
    std::uint16_t w = 0;
    if (!ParseWord(v, w)) return Usage("write", "bad value '" + v + "': 0 to 65535, -32768 to -1, or 0x0000 to 0xFFFF");
    words.push_back(w);
  }
  if (args.fill_count > 0 && words.size() != 1)
    return Usage("write", "--fill N repeats one VALUE N times: give exactly one VALUE");
  if (words.empty()) return Usage("write", "give the VALUEs to write");
  if (args.direct && (!args.link.host.empty() || !args.link.tcp.empty()))
    return Usage("write", "--direct writes the local shared memory: not with --host or --tcp");
  if (args.direct && args.no_reply) return Usage("write", "--direct sends nothing, so it has no reply to skip");
  Link link;
  if (int failed = link.Open("write", args.link, kData, Need::link)) return failed;
  const std::uint32_t count = args.fill_count > 0 ? args.fill_count : static_cast<std::uint32_t>(words.size());
  if (int refused = link.CheckRange("write", a.area, a.offset, count, false, "nothing written")) return refused;
  if (args.fill_count > 0) words.assign(count, words[0]);
  const std::uint32_t options = args.no_reply ? 1u : 0u;
  std::uint32_t done = 0;
  const std::uint32_t r = SendPieces(a, words, kWordsPerRequest, done, [&](std::uint32_t at, std::uint32_t n, const std::uint16_t* p) {
    return link.Write(a.area, at, n, p, options, args.direct);
  });
  if (r != 0) return FailWrite("write", a, count, done, false, r, QNA_InternalErr);
  PrintWritten(a, count, false, args.link, args.no_reply, args.direct);
  return 0;
}

// ---- bits -------------------------------------------------------------------
struct BitsArgs {
  LinkOptions link;
  bool csv = false;
  std::string address;
  std::uint32_t count = 1;
  std::vector<std::string> set;
  bool direct = false;
  bool no_reply = false;
};

int Bits(const BitsArgs& args) {
  Address a;
  std::string error;
  if (!ParseAddress(args.address, a, error)) return Usage("bits", error);
  std::vector<std::uint8_t> values;
  for (const auto& v : args.set) {
    if (v != "0" && v != "1") return Usage("bits", "bad bit '" + v + "': --set takes 0 and 1 values");
    values.push_back(v == "1" ? 1 : 0);
  }
  if (args.direct && (!args.link.host.empty() || !args.link.tcp.empty()))
    return Usage("bits", "--direct writes the local shared memory: not with --host or --tcp");
  if (args.csv && (args.link.json || !values.empty())) return Usage("bits", "--csv is for reading bits, without --json");
  if (values.empty() && args.count == 0) return Usage("bits", "COUNT must be 1 or more");
  Link link;
  if (int failed = link.Open("bits", args.link, kData, Need::link)) return failed;
  if (!values.empty()) {
    const auto count = static_cast<std::uint32_t>(values.size());
    if (int refused = link.CheckRange("bits", a.area, a.offset, count, true, "nothing written")) return refused;
    std::uint32_t done = 0;
    const std::uint32_t options = args.no_reply ? 1u : 0u;
    const std::uint32_t r = SendPieces(a, values, kBitsPerRequest, done, [&](std::uint32_t at, std::uint32_t n, const std::uint8_t* p) {
      return link.WriteBits(a.area, at, n, p, options, args.direct);
    });
    if (r != 0) return FailWrite("bits", a, count, done, true, r, QNA_InternalErr);
    PrintWritten(a, count, true, args.link, args.no_reply, args.direct);
    return 0;
  }
  if (int refused = link.CheckRange("bits", a.area, a.offset, args.count, true, "nothing read")) return refused;
  std::vector<std::uint8_t> bits(args.count);
  const std::uint32_t r = link.ReadBits(a.area, a.offset, args.count, bits.data());
  if (r != 0) return Fail("bits", RangeText(a.area, a.offset, args.count, true), r, QNA_InternalErr);
  PrintBits(a, bits, args.link, args.csv);
  return 0;
}

// ---- mux --------------------------------------------------------------------
struct MuxArgs {
  LinkOptions link;
  Shape shape;
  std::vector<std::string> ranges;
};

int Mux(MuxArgs& args) {
  if (int bad = args.shape.Check("mux", args.link)) return bad;
  const Form& form = *args.shape.form;
  std::vector<std::uint32_t> areas, offsets, counts;
  for (const auto& range : args.ranges) {
    const auto comma = range.find(',');
    Address a;
    std::string error;
    std::uint32_t count = 1;
    if (!ParseAddress(range.substr(0, comma), a, error)) return Usage("mux", error);
    if (comma != std::string::npos && (!ParseU32(range.substr(comma + 1), count) || count == 0))
      return Usage("mux", "bad range '" + range + "': ADDRESS or ADDRESS,COUNT, as CW100,3");
    if (std::uint64_t{count} * form.words > 0xFFFFFFFFu) return Usage("mux", "range '" + range + "' is too long");
    areas.push_back(a.area);
    offsets.push_back(a.offset);
    counts.push_back(count * form.words);
  }
  Link link;
  if (int failed = link.Open("mux", args.link, kData, Need::link)) return failed;
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    if (int refused = link.CheckRange("mux", areas[i], offsets[i], counts[i], false, "nothing read")) return refused;
    total += counts[i];
  }
  std::vector<std::uint16_t> words(static_cast<std::size_t>(total));  // each range fits its area
  const auto n = static_cast<std::uint32_t>(areas.size());
  std::uint32_t r = 0;
  switch (link.via()) {
    case Via::tcp: r = QNA_ReadMuxS(n, areas.data(), offsets.data(), counts.data(), words.data(), link.id()); break;
    case Via::host: r = QNA_ReadMuxN(n, areas.data(), offsets.data(), counts.data(), words.data(), link.id()); break;
    case Via::local:
      r = link.id() != 0 ? QNA_ReadMuxN(n, areas.data(), offsets.data(), counts.data(), words.data(), link.id())
                         : QNA_ReadMux(n, areas.data(), offsets.data(), counts.data(), words.data());
      break;
  }
  if (r != 0) return Fail("mux", "one of the " + std::to_string(n) + " ranges", r, QNA_InternalErr);
  std::string json, header, csv;
  Table table({"range", "values"});
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t values = counts[i] / form.words;
    if (i > 0) json += ',';
    json += JsonRange(areas[i], offsets[i], words.data() + at, counts[i], form, !args.shape.as.empty());
    header += CsvHeader(areas[i], offsets[i], values, form.words);
    csv += CsvValues(form, words.data() + at, values);
    std::string shown;
    for (std::size_t j = 0; j < values; ++j) {
      if (j > 0) shown += ' ';
      shown += ValueText(form, words.data() + at + j * form.words, false);
    }
    table.Row({RangeText(areas[i], offsets[i], counts[i], false), shown});
    at += counts[i];
  }
  if (args.link.json)
    std::printf("{\"ranges\":[%s]}\n", json.c_str());
  else if (args.shape.csv)
    std::printf("time%s\n%s%s\n", header.c_str(), IsoTime(std::chrono::system_clock::now()).c_str(), csv.c_str());
  else
    table.Print();
  return 0;
}

// ---- watch ------------------------------------------------------------------
struct WatchArgs {
  LinkOptions link;
  Shape shape;
  std::string address;
  std::uint32_t count = 1;
  std::uint32_t interval = 500;
  std::uint32_t polls = 0;
  bool bits = false;
};

int Watch(WatchArgs& args) {
  Address a;
  std::string error;
  if (!ParseAddress(args.address, a, error)) return Usage("watch", error);
  if (int bad = args.shape.Check("watch", args.link)) return bad;
  if (args.bits && !args.shape.as.empty()) return Usage("watch", "--as is for words, not with --bits");
  const Form& form = *args.shape.form;
  if (args.count == 0 || args.count > 65536) return Usage("watch", "COUNT must be 1 to 65536");
  if (args.interval == 0) return Usage("watch", "--interval must be 1 ms or more");
  Link link;
  if (int failed = link.Open("watch", args.link, kData, Need::link)) return failed;
  const std::uint32_t count = args.count * (args.bits ? 1 : form.words);
  if (int refused = link.CheckRange("watch", a.area, a.offset, count, args.bits, "nothing read")) return refused;

  Watcher watcher(link);
  const std::size_t item =
      watcher.Watch({args.bits ? WatchItem::Kind::bits : WatchItem::Kind::words, a.area, a.offset, count, ""});
  const std::uint32_t step = args.bits ? 1 : form.words;
  const std::size_t values = count / step;
  if (args.shape.csv) std::printf("time%s\n", CsvHeader(a.area, a.offset, values, step).c_str());
  watcher.Subscribe([&](const WatchPoll& poll) {
    if (poll.result != 0) return;
    const auto& now = poll.now[item];
    std::vector<std::uint16_t> words(now.begin(), now.end()), was;
    if (!poll.before[item].empty()) was.assign(poll.before[item].begin(), poll.before[item].end());
    const Form& shown = args.bits ? kU16 : form;
    if (args.shape.csv) {
      std::printf("%s%s\n", IsoTime(poll.time).c_str(), CsvValues(shown, words.data(), values).c_str());
      return;
    }
    for (std::size_t v = 0; v < values; ++v) {
      const std::size_t at = v * step;
      bool changed = false;
      for (std::size_t w = at; w < at + step; ++w) changed = changed || poll.Changed(item, w);
      if (!changed) continue;
      const auto start = a.offset + static_cast<std::uint32_t>(at);
      const std::string value = ValueText(shown, words.data() + at, args.link.json);
      if (args.link.json)
        std::printf("{\"time\":%s,\"area\":%s,\"start\":%u,\"value\":%s,\"was\":%s}\n", JsonString(IsoTime(poll.time)).c_str(),
                    JsonString(AreaName(a.area)).c_str(), start, value.c_str(),
                    was.empty() ? "null" : ValueText(shown, was.data() + at, true).c_str());
      else if (was.empty())
        std::printf("%8.3f  %-10s %6s\n", poll.seconds, FormatAddress(a.area, start).c_str(), value.c_str());
      else
        std::printf("%8.3f  %-10s %6s  (was %s)\n", poll.seconds, FormatAddress(a.area, start).c_str(), value.c_str(),
                    ValueText(shown, was.data() + at, false).c_str());
    }
  });
  // Each poll's lines reach a pipe as they come.
  watcher.Subscribe([](const WatchPoll&) { std::fflush(stdout); });
  std::string failed;
  watcher.Subscribe([&](const WatchPoll& poll) { failed = poll.failed; });
  const std::uint32_t r = watcher.Run(std::chrono::milliseconds(args.interval), args.polls);
  if (r != 0) return Fail("watch", failed, r, QNA_InternalErr);
  return 0;
}

}  // namespace

void AddDataCommands(CLI::App& app, Runner& run) {
  auto read = std::make_shared<ReadArgs>();
  auto* c = app.add_subcommand("read", "Read words of a data area (local: straight from shared memory)");
  c->add_option("address", read->address, "First word: CB, CW, SB, SW, LGP or TMAN and an offset (CW100), or AREA:OFFSET (4:100)")->required();
  c->add_option("count", read->count, "How many values (words, or two-word values with a 32-bit --as)")->capture_default_str();
  AddLinkOptions(c, read->link, kData);
  AddShapeOptions(c, read->shape);
  c->callback([&run, read] { run = [read] { return Read(*read); }; });

  auto write = std::make_shared<WriteArgs>();
  c = app.add_subcommand("write", "Write words of a data area (through the server unless --direct)");
  c->add_option("address", write->address, "First word, as for read")->required();
  c->add_option("values", write->values, "The words: 0 to 65535, -32768 to -1, or 0x hex")->required();
  c->add_option("--fill", write->fill_count, "Write the one VALUE into N words (a big transfer)")->type_name("N");
  c->add_flag("--direct", write->direct, "Local only: copy straight into shared memory (QNA_WriteSmem)");
  c->add_flag("--no-reply", write->no_reply, "Do not wait for the server's reply (options bit 0): a refusal goes unseen");
  AddLinkOptions(c, write->link, kData);
  c->callback([&run, write] { run = [write] { return Write(*write); }; });

  auto bits = std::make_shared<BitsArgs>();
  c = app.add_subcommand("bits", "Read bits of a data area, or write them with --set");
  c->add_option("address", bits->address, "First bit: an area and a bit number (CB30 is bit 14 of word 1 of CB)")->required();
  c->add_option("count", bits->count, "How many bits to read")->capture_default_str();
  c->add_option("--set", bits->set, "Write these bits (0 or 1 each) from the address on");
  c->add_flag("--direct", bits->direct, "Local only: write straight into shared memory (QNA_WriteSmemBit)");
  c->add_flag("--no-reply", bits->no_reply, "Do not wait for the server's reply (options bit 0): a refusal goes unseen");
  AddLinkOptions(c, bits->link, kData);
  c->add_flag("--csv", bits->csv, "Print CSV: a header line, then one line of bits, a UTC timestamp first");
  c->callback([&run, bits] { run = [bits] { return Bits(*bits); }; });

  auto mux = std::make_shared<MuxArgs>();
  c = app.add_subcommand("mux", "Read several word ranges in one call (QNA_ReadMux)");
  c->add_option("ranges", mux->ranges, "Ranges ADDRESS or ADDRESS,COUNT (values), as CW100,3 SW204")->required();
  AddLinkOptions(c, mux->link, kData);
  AddShapeOptions(c, mux->shape);
  c->callback([&run, mux] { run = [mux] { return Mux(*mux); }; });

  auto watch = std::make_shared<WatchArgs>();
  c = app.add_subcommand("watch", "Poll a range and show what changed; ends with status 1 when the server goes");
  c->add_option("address", watch->address, "First word (or bit with --bits)")->required();
  c->add_option("count", watch->count, "How many values (or bits)")->capture_default_str();
  c->add_option("-i,--interval", watch->interval, "Milliseconds between polls")->capture_default_str();
  c->add_option("-n,--polls", watch->polls, "Stop after N polls (0: until interrupted)")->capture_default_str();
  c->add_flag("--bits", watch->bits, "Watch bits instead of words");
  AddLinkOptions(c, watch->link, kData);
  AddShapeOptions(c, watch->shape);
  c->callback([&run, watch] { run = [watch] { return Watch(*watch); }; });
}

}  // namespace qna
