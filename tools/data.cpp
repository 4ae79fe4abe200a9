// data.cpp - qna read, write, bits, mux and watch: words and bits of the data
// areas over the local link, a host pipe or TCP.
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "qna.h"
#include "qnapi.h"

namespace qna {

namespace {

// Transfers of this many words or bits or more get a progress bar.
constexpr std::uint32_t kLongTransfer = 32768;
// With a bar the transfer goes in pieces, so that the bar can move.
constexpr std::uint32_t kPiece = 4096;

const Offer kData{};  // every transport

// "CW100..102", and what the area holds when the range left it.
std::string RangeText(const Address& a, std::uint32_t count, std::uint32_t result, bool bits) {
  std::string s = FormatAddress(a.area, a.offset);
  if (count > 1) s += ".." + std::to_string(static_cast<std::uint64_t>(a.offset) + count - 1);
  if (bits) s = "bits " + s;
  if (result == QNA_E_ARG && a.area < 6 && QNA_SizeTb[a.area] != 0) {
    const std::uint64_t size = QNA_SizeTb[a.area];
    s += " (" + AreaName(a.area) + " holds " + std::to_string(size) + " words" +
         (bits ? ", bits 0.." + std::to_string(size * 16 - 1) : "") + ")";
  }
  return s;
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

void PrintWords(const Address& a, const std::vector<std::uint16_t>& words, bool json) {
  if (json) {
    std::printf("{\"area\":%s,\"offset\":%u,\"count\":%zu,\"words\":%s}\n", JsonString(AreaName(a.area)).c_str(),
                a.offset, words.size(), JsonList(words.data(), words.size()).c_str());
    return;
  }
  char hex[8];
  if (words.size() <= 16) {
    Table table({"address", "value", "hex", "signed"});
    for (std::size_t i = 0; i < words.size(); ++i) {
      std::snprintf(hex, sizeof hex, "0x%04X", words[i]);
      table.Row({FormatAddress(a.area, a.offset + static_cast<std::uint32_t>(i)), std::to_string(words[i]), hex,
                 std::to_string(static_cast<std::int16_t>(words[i]))});
    }
    table.Print();
    return;
  }
  Table table({"address", "+0", "+1", "+2", "+3", "+4", "+5", "+6", "+7"});
  for (std::size_t i = 0; i < words.size(); i += 8) {
    std::vector<std::string> row{FormatAddress(a.area, a.offset + static_cast<std::uint32_t>(i))};
    for (std::size_t j = i; j < i + 8 && j < words.size(); ++j) row.push_back(std::to_string(words[j]));
    table.Row(std::move(row));
  }
  table.Print();
}

void PrintBits(const Address& a, const std::vector<std::uint8_t>& bits, bool json) {
  if (json) {
    std::printf("{\"area\":%s,\"bit\":%u,\"count\":%zu,\"bits\":%s}\n", JsonString(AreaName(a.area)).c_str(),
                a.offset, bits.size(), JsonList(bits.data(), bits.size()).c_str());
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

// ---- read -------------------------------------------------------------------
struct ReadArgs {
  LinkOptions link;
  std::string address;
  std::uint32_t count = 1;
};

int Read(const ReadArgs& args) {
  Address a;
  std::string error;
  if (!ParseAddress(args.address, a, error)) return Usage("read", error);
  if (args.count == 0) return Usage("read", "COUNT must be 1 or more");
  Link link;
  if (int failed = link.Open("read", args.link, kData, Need::link)) return failed;
  std::vector<std::uint16_t> words(args.count);
  const std::uint32_t r = ReadWords(link, a, args.count, words.data());
  if (r != 0) return Fail("read", RangeText(a, args.count, r, false), r, QNA_InternalErr);
  PrintWords(a, words, args.link.json);
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
  if (args.fill_count > 0) {
    if (words.size() != 1) return Usage("write", "--fill N repeats one VALUE N times: give exactly one VALUE");
    words.assign(args.fill_count, words[0]);
  }
  if (words.empty()) return Usage("write", "give the VALUEs to write");
  if (args.direct && (!args.link.host.empty() || !args.link.tcp.empty()))
    return Usage("write", "--direct writes the local shared memory: not with --host or --tcp");
  Link link;
  if (int failed = link.Open("write", args.link, kData, Need::link)) return failed;
  const auto count = static_cast<std::uint32_t>(words.size());
  const std::uint32_t options = args.no_reply ? 1u : 0u;
  std::uint32_t r = 0;
  {
    Progress bar("writing " + FormatAddress(a.area, a.offset), count, kLongTransfer);
    for (std::uint32_t done = 0; done < count && r == 0;) {
      const std::uint32_t n = bar.shown() ? std::min(kPiece, count - done) : count;
      r = link.Write(a.area, a.offset + done, n, words.data() + done, options, args.direct);
      done += n;
      bar.Update(done);
    }
  }
  if (r != 0) return Fail("write", RangeText(a, count, r, false), r, QNA_InternalErr);
  if (args.link.json)
    std::printf("{\"area\":%s,\"offset\":%u,\"written\":%u}\n", JsonString(AreaName(a.area)).c_str(), a.offset, count);
  else
    std::printf("wrote %u word%s to %s%s\n", count, count == 1 ? "" : "s", RangeText(a, count, 0, false).c_str(),
                args.direct ? " (straight into shared memory)" : "");
  return 0;
}

// ---- bits -------------------------------------------------------------------
struct BitsArgs {
  LinkOptions link;
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
  if (values.empty() && args.count == 0) return Usage("bits", "COUNT must be 1 or more");
  Link link;
  if (int failed = link.Open("bits", args.link, kData, Need::link)) return failed;
  if (!values.empty()) {
    const auto count = static_cast<std::uint32_t>(values.size());
    const std::uint32_t r =
        link.WriteBits(a.area, a.offset, count, values.data(), args.no_reply ? 1u : 0u, args.direct);
    if (r != 0) return Fail("bits", RangeText(a, count, r, true), r, QNA_InternalErr);
    if (args.link.json)
      std::printf("{\"area\":%s,\"bit\":%u,\"written\":%u}\n", JsonString(AreaName(a.area)).c_str(), a.offset, count);
    else
      std::printf("wrote %u bit%s to %s\n", count, count == 1 ? "" : "s", RangeText(a, count, 0, false).c_str());
    return 0;
  }
  std::vector<std::uint8_t> bits(args.count);
  const std::uint32_t r = link.ReadBits(a.area, a.offset, args.count, bits.data());
  if (r != 0) return Fail("bits", RangeText(a, args.count, r, true), r, QNA_InternalErr);
  PrintBits(a, bits, args.link.json);
  return 0;
}

// ---- mux --------------------------------------------------------------------
struct MuxArgs {
  LinkOptions link;
  std::vector<std::string> ranges;
};

int Mux(const MuxArgs& args) {
  std::vector<std::uint32_t> areas, offsets, counts;
  std::uint64_t total = 0;
  for (const auto& range : args.ranges) {
    const auto comma = range.find(',');
    Address a;
    std::string error;
    std::uint32_t count = 1;
    if (!ParseAddress(range.substr(0, comma), a, error)) return Usage("mux", error);
    if (comma != std::string::npos && (!ParseU32(range.substr(comma + 1), count) || count == 0))
      return Usage("mux", "bad range '" + range + "': ADDRESS or ADDRESS,COUNT, as CW100,3");
    areas.push_back(a.area);
    offsets.push_back(a.offset);
    counts.push_back(count);
    total += count;
  }
  if (total > 16u * 1024 * 1024) return Usage("mux", "at most 16777216 words in all");
  Link link;
  if (int failed = link.Open("mux", args.link, kData, Need::link)) return failed;
  std::vector<std::uint16_t> words(total);
  const auto n = static_cast<std::uint32_t>(areas.size());
  std::uint32_t r = 0;
  switch (link.via()) {
    case Via::tcp: r = QNA_ReadMuxS(n, areas.data(), offsets.data(), counts.data(), words.data(), link.id()); break;
    case Via::host: r = QNA_ReadMuxN(n, areas.data(), offsets.data(), counts.data(), words.data(), link.id()); break;
    case Via::local: r = QNA_ReadMux(n, areas.data(), offsets.data(), counts.data(), words.data()); break;
  }
  if (r != 0) {
    const std::int32_t detail = QNA_InternalErr;
    // The ranges are read in order: name the first one that cannot be read.
    return Fail("mux", "one of the " + std::to_string(n) + " ranges", r, detail);
  }
  if (args.link.json) {
    std::string s = "[";
    std::size_t at = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (i > 0) s += ',';
      s += "{\"area\":" + JsonString(AreaName(areas[i])) + ",\"offset\":" + std::to_string(offsets[i]) +
           ",\"words\":" + JsonList(words.data() + at, counts[i]) + "}";
      at += counts[i];
    }
    std::printf("%s]\n", s.c_str());
    return 0;
  }
  Table table({"range", "values"});
  std::size_t at = 0;
  for (std::size_t i = 0; i < n; ++i) {
    std::string values;
    for (std::uint32_t j = 0; j < counts[i]; ++j) values += (j > 0 ? " " : "") + std::to_string(words[at + j]);
    table.Row({RangeText({areas[i], offsets[i]}, counts[i], 0, false), values});
    at += counts[i];
  }
  table.Print();
  return 0;
}

// ---- watch ------------------------------------------------------------------
struct WatchArgs {
  LinkOptions link;
  std::string address;
  std::uint32_t count = 1;
  std::uint32_t interval = 500;
  std::uint32_t polls = 0;
  bool bits = false;
};

int Watch(const WatchArgs& args) {
  Address a;
  std::string error;
  if (!ParseAddress(args.address, a, error)) return Usage("watch", error);
  if (args.count == 0 || args.count > 65536) return Usage("watch", "COUNT must be 1 to 65536");
  if (args.interval == 0) return Usage("watch", "--interval must be 1 ms or more");
  Link link;
  if (int failed = link.Open("watch", args.link, kData, Need::link)) return failed;
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::uint16_t> before(args.count), now(args.count);
  std::vector<std::uint8_t> bits(args.count);
  for (std::uint32_t poll = 0; args.polls == 0 || poll < args.polls; ++poll) {
    if (poll > 0) QNA_Sleep(args.interval);
    std::uint32_t r = 0;
    if (args.bits) {
      r = link.ReadBits(a.area, a.offset, args.count, bits.data());
      std::copy(bits.begin(), bits.end(), now.begin());
    } else {
      r = link.Read(a.area, a.offset, args.count, now.data());
    }
    if (r != 0) return Fail("watch", RangeText(a, args.count, r, args.bits), r, QNA_InternalErr);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (std::uint32_t i = 0; i < args.count; ++i) {
      if (poll > 0 && now[i] == before[i]) continue;
      const std::string at = FormatAddress(a.area, a.offset + i);
      if (args.link.json) {
        std::printf("{\"time\":%.3f,\"address\":%s,\"value\":%u%s}\n", seconds, JsonString(at).c_str(), now[i],
                    poll > 0 ? (",\"was\":" + std::to_string(before[i])).c_str() : "");
      } else if (poll == 0) {
        std::printf("%8.3f  %-10s %6u\n", seconds, at.c_str(), now[i]);
      } else {
        std::printf("%8.3f  %-10s %6u  (was %u)\n", seconds, at.c_str(), now[i], before[i]);
      }
    }
    std::fflush(stdout);
    before = now;
  }
  return 0;
}

}  // namespace

void AddDataCommands(CLI::App& app, Runner& run) {
  auto read = std::make_shared<ReadArgs>();
  auto* c = app.add_subcommand("read", "Read words of a data area (local: straight from shared memory)");
  c->add_option("address", read->address, "First word: CB, CW, SB, SW, LGP or TMAN and an offset (CW100), or AREA:OFFSET (4:100)")->required();
  c->add_option("count", read->count, "How many words")->capture_default_str();
  AddLinkOptions(c, read->link, kData);
  c->callback([&run, read] { run = [read] { return Read(*read); }; });

  auto write = std::make_shared<WriteArgs>();
  c = app.add_subcommand("write", "Write words of a data area (through the server unless --direct)");
  c->add_option("address", write->address, "First word, as for read")->required();
  c->add_option("values", write->values, "The words: 0 to 65535, -32768 to -1, or 0x hex")->required();
  c->add_option("--fill", write->fill_count, "Write the one VALUE into N words (a big transfer)")->type_name("N");
  c->add_flag("--direct", write->direct, "Local only: copy straight into shared memory (QNA_WriteSmem)");
  c->add_flag("--no-reply", write->no_reply, "Do not wait for the server's reply (options bit 0)");
  AddLinkOptions(c, write->link, kData);
  c->callback([&run, write] { run = [write] { return Write(*write); }; });

  auto bits = std::make_shared<BitsArgs>();
  c = app.add_subcommand("bits", "Read bits of a data area, or write them with --set");
  c->add_option("address", bits->address, "First bit: an area and a bit number (CB30 is bit 14 of word 1 of CB)")->required();
  c->add_option("count", bits->count, "How many bits to read")->capture_default_str();
  c->add_option("--set", bits->set, "Write these bits (0 or 1 each) from the address on");
  c->add_flag("--direct", bits->direct, "Local only: write straight into shared memory (QNA_WriteSmemBit)");
  c->add_flag("--no-reply", bits->no_reply, "Do not wait for the server's reply (options bit 0)");
  AddLinkOptions(c, bits->link, kData);
  c->callback([&run, bits] { run = [bits] { return Bits(*bits); }; });

  auto mux = std::make_shared<MuxArgs>();
  c = app.add_subcommand("mux", "Read several word ranges in one call (QNA_ReadMux)");
  c->add_option("ranges", mux->ranges, "Ranges ADDRESS or ADDRESS,COUNT, as CW100,3 SW204")->required();
  AddLinkOptions(c, mux->link, kData);
  c->callback([&run, mux] { run = [mux] { return Mux(*mux); }; });

  auto watch = std::make_shared<WatchArgs>();
  c = app.add_subcommand("watch", "Poll a range and show what changed");
  c->add_option("address", watch->address, "First word (or bit with --bits)")->required();
  c->add_option("count", watch->count, "How many words (or bits)")->capture_default_str();
  c->add_option("-i,--interval", watch->interval, "Milliseconds between polls")->capture_default_str();
  c->add_option("-n,--polls", watch->polls, "Stop after N polls (0: until interrupted)")->capture_default_str();
  c->add_flag("--bits", watch->bits, "Watch bits instead of words");
  AddLinkOptions(c, watch->link, kData);
  c->callback([&run, watch] { run = [watch] { return Watch(*watch); }; });
}

}  // namespace qna
