// tag.cpp - qna tag read|write|watch: plant data by tag name, through the
// tag file of the server's project; and qna tagfile build|dump.
//
// The library writes a tag's low 8 bits (bit tags) or low 16 bits (word
// tags) whatever the value, so `tag write` looks the tag's type up in the
// same tag file first and refuses a value the tag cannot hold: 256 would
// otherwise clear a bit and 70000 store 4464.
#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qna.h"
#include "qnapi.h"
#include "tagfile.h"
#include "watch.h"

namespace qna {

namespace {

const Offer kTags{false, false, kTagsLocal};

struct TagArgs {
  LinkOptions link;
  bool csv = false;
  std::vector<std::string> names;
  std::string name;
  std::string value;
  bool no_reply = false;
  std::uint32_t interval = 500;
  std::uint32_t polls = 0;
};

}  // namespace

TagPath ProjectTagPath() {
  std::uint16_t words[576] = {};
  TagPath path;
  if (QNA_ReadApp("RAVOWLD", 0, 576, words) != 0) return path;
  // Byte 0 the drive, from byte 2 the project's name.
  std::string mailbox;
  for (const std::uint16_t w : words) {
    mailbox += static_cast<char>(w & 0xFF);
    mailbox += static_cast<char>(w >> 8);
  }
  const std::string project = mailbox.substr(2, mailbox.find('\0', 2) - 2);
  if (project.empty() || project.size() > 64) return path;
  path.win = std::string(1, mailbox[0]) + ":\\RAVOWLD\\USR\\" + project + "\\" + project + ".TAG";
  path.host = win::HostPath(path.win.c_str());
  return path;
}

namespace {

// Opens the link and loads the project's tag file; 0 or the exit status.
int Load(const char* command, Link& link, const LinkOptions& options, TagPath& path) {
  if (int failed = link.Open(command, options, kTags, Need::link)) return failed;
  return LoadTags(command, path);
}

// Unloads the tag file at the end of a command.
struct Loaded {
  ~Loaded() { QNA_EndRavo(); }
};

// Reads one tag: 0 or the failure reported.
int ReadOne(const char* command, const std::string& given, const TagPath& path, std::int32_t& value) {
  return Refuse(command, ReadTagValue(given, path, value));
}

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

int TagRead(const TagArgs& args) {
  if (args.csv && args.link.json) return Usage("tag read", "give --json or --csv, not both");
  Link link;
  TagPath path;
  if (int failed = Load("tag read", link, args.link, path)) return failed;
  Loaded loaded;
  Table table({"tag", "value"});
  std::string json, header, csv;
  for (const auto& given : args.names) {
    std::int32_t value = 0;
    if (int failed = ReadOne("tag read", given, path, value)) return failed;
    const std::string name = Upper(given);
    table.Row({name, std::to_string(value)});
    json += (json.empty() ? "" : ",") + std::string("{\"tag\":") + JsonString(name) + ",\"value\":" + std::to_string(value) + "}";
    header += ',';
    header += CsvField(name);
    csv += "," + std::to_string(value);
  }
  if (args.link.json)
    std::printf("{\"tags\":[%s]}\n", json.c_str());
  else if (args.csv)
    std::printf("time%s\n%s%s\n", header.c_str(), IsoTime(std::chrono::system_clock::now()).c_str(), csv.c_str());
  else
    table.Print();
  return 0;
}

}  // namespace

bool TagValueFits(const std::string& type, std::int64_t value, std::string& range) {
  if (type == "bit") {
    range = "0 or 1";
    return value == 0 || value == 1;
  }
  if (type == "word") {
    range = "-32768 to 65535";
    return value >= -32768 && value <= 65535;
  }
  range = "-2147483648 to 4294967295";
  return value >= -2147483648LL && value <= 4294967295LL;
}

namespace {

int TagWrite(const TagArgs& args) {
  std::int64_t value = 0;
  if (int bad = Refuse("tag write", ParseTagWrite(args.name, args.value, value))) return bad;
  Link link;
  TagPath path;
  if (int failed = Load("tag write", link, args.link, path)) return failed;
  Loaded loaded;
  std::string written;
  if (int failed = Refuse("tag write", WriteTagValue(args.name, value, args.value, args.no_reply ? 1u : 0u, path, written)))
    return failed;
  if (args.link.json)
    std::printf("{\"tag\":%s,\"value\":%lld,\"replied\":%s}\n", JsonString(written).c_str(),
                static_cast<long long>(value), args.no_reply ? "false" : "true");
  else
    std::printf("%s %s = %lld%s\n", args.no_reply ? "sent" : "wrote", written.c_str(), static_cast<long long>(value),
                NoReplyNote(args.no_reply));
  return 0;
}

int TagWatch(const TagArgs& args) {
  if (args.csv && args.link.json) return Usage("tag watch", "give --json or --csv, not both");
  if (args.interval == 0) return Usage("tag watch", "--interval must be 1 ms or more");
  Link link;
  TagPath path;
  if (int failed = Load("tag watch", link, args.link, path)) return failed;
  Loaded loaded;
  Watcher watcher(link);
  std::vector<std::string> names;
  std::vector<std::size_t> items;
  for (const auto& given : args.names) {
    std::int32_t value = 0;
    if (int failed = ReadOne("tag watch", given, path, value)) return failed;
    names.push_back(Upper(given));
    items.push_back(watcher.Watch({WatchItem::Kind::tag, 0, 0, 1, names.back()}));
  }
  if (args.csv) {
    std::string header;
    for (const auto& name : names) {
      header += ',';
      header += CsvField(name);
    }
    std::printf("time%s\n", header.c_str());
  }
  watcher.Subscribe([&](const WatchPoll& poll) {
    if (poll.result != 0) return;
    std::string csv;
    for (std::size_t i = 0; i < names.size(); ++i) {
      const std::size_t item = items[i];
      const std::int32_t value = poll.now[item][0];
      csv += ',';
      csv += std::to_string(value);
      if (args.csv || !poll.Changed(item, 0)) continue;
      const bool first = poll.before[item].empty();
      const std::string was = first ? "" : std::to_string(poll.before[item][0]);
      if (args.link.json)
        std::printf("{\"time\":%s,\"tag\":%s,\"value\":%d,\"was\":%s}\n", JsonString(IsoTime(poll.time)).c_str(),
                    JsonString(names[i]).c_str(), value, first ? "null" : was.c_str());
      else if (first)
        std::printf("%8.3f  %-14s %11d\n", poll.seconds, names[i].c_str(), value);
      else
        std::printf("%8.3f  %-14s %11d  (was %s)\n", poll.seconds, names[i].c_str(), value, was.c_str());
    }
    if (args.csv) std::printf("%s%s\n", IsoTime(poll.time).c_str(), csv.c_str());
    std::fflush(stdout);
  });
  std::string failed;
  watcher.Subscribe([&](const WatchPoll& poll) { failed = poll.failed; });
  const std::uint32_t r = watcher.Run(std::chrono::milliseconds(args.interval), args.polls);
  if (r != 0) return Fail("tag watch", failed, r, QNA_InternalErr);
  return 0;
}

}  // namespace

int LoadTags(const char* command, TagPath& path) {
  const std::uint32_t r = QNA_InitRavo();
  const std::int32_t detail = QNA_InternalErr;
  path = ProjectTagPath();
  if (r != 0) return Fail(command, "loading the tag file " + path.Text(), r, detail);
  return 0;
}

Refusal ReadTagValue(const std::string& given, const TagPath& path, std::int32_t& value) {
  if (given.size() > 63) return Refusal::Usage("a tag name has at most 14 characters");
  std::vector<char> name(given.begin(), given.end());
  name.push_back('\0');
  const std::uint32_t r = QNA_ReadTag(name.data(), &value, 0);
  if (r != 0) return Refusal::Library("tag '" + given + "' in " + path.Text(), r, QNA_InternalErr);
  return {};
}

Refusal ParseTagWrite(const std::string& name, const std::string& value_text, std::int64_t& value) {
  if (!ParseI64(value_text, value))
    return Refusal::Usage("bad value '" + value_text + "': a number from -2147483648 to 4294967295");
  if (name.size() > 63) return Refusal::Usage("a tag name has at most 14 characters");
  return {};
}

Refusal CheckTagWrite(const std::string& given, std::int64_t value, const std::string& value_text,
                      const TagPath& path, TagfileTag& tag) {
  // The library's own lookup first: a name it does not take, or a tag whose
  // words lie outside its area, is refused with its own codes.
  std::int32_t now = 0;
  if (Refusal refused = ReadTagValue(given, path, now)) return refused;
  std::string error;
  if (path.win.empty() || TagfileFind(path.host, given, tag, error) != 0 || tag.type.empty())
    return Refusal::Own("tag '" + given + "': its type could not be read from " + path.Text() +
                        (error.empty() ? "" : " (" + error + ")") + ": nothing written");
  std::string range;
  if (!TagValueFits(tag.type, value, range))
    return Refusal::Codes("tag " + tag.name + " (" + tag.type + " " + tag.address + ") takes " + range + ", not " +
                              value_text + ": nothing written",
                          QNA_E_ARG, 0);
  return {};
}

Refusal WriteTagValue(const std::string& given, std::int64_t value, const std::string& value_text,
                      std::uint32_t options, const TagPath& path, std::string& written) {
  TagfileTag tag;
  if (Refusal refused = CheckTagWrite(given, value, value_text, path, tag)) return refused;
  std::vector<char> name(given.begin(), given.end());
  name.push_back('\0');
  const std::uint32_t r =
      QNA_WriteTag(name.data(), static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFF)), options);
  if (r != 0) return Refusal::Library("tag '" + given + "' in " + path.Text(), r, QNA_InternalErr);
  written = tag.name;
  return {};
}

void AddTagCommands(CLI::App& app, Runner& run) {
  auto* tag = app.add_subcommand("tag", "Read, write and watch plant data by tag name (the project's tag file)");
  tag->require_subcommand(1);
  auto read = std::make_shared<TagArgs>();
  auto* c = tag->add_subcommand("read", "Read tags by name");
  c->add_option("names", read->names, "Tag names (any case)")->required();
  AddLinkOptions(c, read->link, kTags);
  c->add_flag("--csv", read->csv, "Print CSV: a header line, then one line of values, a UTC timestamp first");
  c->callback([&run, read] { run = [read] { return TagRead(*read); }; });

  auto write = std::make_shared<TagArgs>();
  c = tag->add_subcommand("write", "Write a tag through the server");
  c->add_option("name", write->name, "Tag name (any case)")->required();
  c->add_option("value", write->value, "The value: a bit tag takes 0 or 1, a word -32768 to 65535, a double word a 32-bit number")->required();
  c->add_flag("--no-reply", write->no_reply, "Do not wait for the server's reply (options bit 0): a refusal goes unseen");
  AddLinkOptions(c, write->link, kTags);
  c->callback([&run, write] { run = [write] { return TagWrite(*write); }; });

  auto watch = std::make_shared<TagArgs>();
  c = tag->add_subcommand("watch", "Poll tags and show what changed; ends with status 1 when the server goes");
  c->add_option("names", watch->names, "Tag names (any case)")->required();
  c->add_option("-i,--interval", watch->interval, "Milliseconds between polls")->capture_default_str();
  c->add_option("-n,--polls", watch->polls, "Stop after N polls (0: until interrupted)")->capture_default_str();
  AddLinkOptions(c, watch->link, kTags);
  c->add_flag("--csv", watch->csv, "Print CSV: a header line, then one line per poll, a UTC timestamp first");
  c->callback([&run, watch] { run = [watch] { return TagWatch(*watch); }; });
}

}  // namespace qna

// ---- qna tagfile build|dump -------------------------------------------------

namespace qna {

namespace {

struct TagfileArgs {
  std::string csv;
  std::string tag;
  LinkOptions link;  // only --json is used: a tag file is a local file
};

const Offer kTagfile{false, false, "a tag file is a file of this machine"};

int Build(const TagfileArgs& args) {
  if (int refused = RefuseTransport("tagfile build", args.link, kTagfile)) return refused;
  std::string error;
  if (TagfileBuild(args.csv, args.tag, error) != 0) return FailOwn("tagfile build", error);
  std::vector<TagfileTag> tags;
  bool unordered = false;
  if (TagfileRead(args.tag, tags, unordered, error) != 0) return FailOwn("tagfile build", error);
  if (args.link.json)
    std::printf("{\"path\":%s,\"count\":%zu}\n", JsonString(args.tag).c_str(), tags.size());
  else
    std::printf("built %s: %zu tag%s\n", args.tag.c_str(), tags.size(), tags.size() == 1 ? "" : "s");
  return 0;
}

int Dump(const TagfileArgs& args) {
  if (int refused = RefuseTransport("tagfile dump", args.link, kTagfile)) return refused;
  std::string error;
  if (!args.link.json) {
    std::string out;
    if (TagfileDump(args.tag, out, error) != 0) return FailOwn("tagfile dump", error);
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  std::vector<TagfileTag> tags;
  bool unordered = false;
  if (TagfileRead(args.tag, tags, unordered, error) != 0) return FailOwn("tagfile dump", error);
  std::string usable, unusable;
  std::size_t count = 0;
  for (const TagfileTag& tag : tags) {
    if (tag.why.empty()) {
      ++count;
      usable += (usable.empty() ? "" : ",") + std::string("{\"tag\":") + JsonString(tag.name) +
                ",\"address\":" + JsonString(tag.address) + ",\"type\":" + JsonString(tag.type) + "}";
    } else {
      unusable += (unusable.empty() ? "" : ",") + std::string("{\"record\":") + std::to_string(tag.record) +
                  ",\"tag\":" + JsonString(tag.name) + ",\"address\":" + JsonString(tag.address) +
                  ",\"why\":" + JsonString(tag.why) + "}";
    }
  }
  std::printf("{\"path\":%s,\"count\":%zu,\"ordered\":%s,\"tags\":[%s],\"unusable\":[%s]}\n",
              JsonString(args.tag).c_str(), count, unordered ? "false" : "true", usable.c_str(), unusable.c_str());
  return 0;
}

}  // namespace

void AddTagfileCommands(CLI::App& app, Runner& run) {
  auto* tagfile = app.add_subcommand("tagfile", "Build a project's tag file or read one back (docs/tagfile.md)");
  tagfile->require_subcommand(1);
  auto build = std::make_shared<TagfileArgs>();
  auto* c = tagfile->add_subcommand("build", "Build a tag file from CSV lines NAME,ADDRESS,TYPE (TYPE: word, dword or bit)");
  c->add_option("csv", build->csv, "The CSV source")->required();
  c->add_option("tagfile", build->tag, "The tag file to write")->required();
  AddLinkOptions(c, build->link, kTagfile);
  c->callback([&run, build] { run = [build] { return Build(*build); }; });
  auto dump = std::make_shared<TagfileArgs>();
  c = tagfile->add_subcommand("dump", "Print a tag file in the CSV form");
  c->add_option("tagfile", dump->tag, "The tag file to read")->required();
  AddLinkOptions(c, dump->link, kTagfile);
  c->callback([&run, dump] { run = [dump] { return Dump(*dump); }; });
}

}  // namespace qna
