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

// The library reads tags from the data areas mapped from the local server,
// and finds the project through the local link's mailbox of RAVOWLD.
const Offer kTags{false, false, "tag access works on the local link: tags are read from the mapped data areas"};

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
  const std::uint32_t r = QNA_InitRavo();
  if (r != 0) {
    const std::int32_t detail = QNA_InternalErr;
    path = ProjectTagPath();
    return Fail(command, "loading the tag file " + path.Text(), r, detail);
  }
  path = ProjectTagPath();
  return 0;
}

// Unloads the tag file at the end of a command.
struct Loaded {
  ~Loaded() { QNA_EndRavo(); }
};

// Reads one tag: 0 or the failure reported.
int ReadOne(const char* command, const std::string& given, const TagPath& path, std::int32_t& value) {
  if (given.size() > 63) return Usage(command, "a tag name has at most 14 characters");
  std::vector<char> name(given.begin(), given.end());
  name.push_back('\0');
  const std::uint32_t r = QNA_ReadTag(name.data(), &value, 0);
  if (r != 0) return Fail(command, "tag '" + given + "' in " + path.Text(), r, QNA_InternalErr);
  return 0;
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

bool CheckTagWrite(const TagPath& path, const std::string& name, std::int64_t value, TagfileTag& tag,
                   Refusal& refusal) {
  // The library's own lookup first: a name it does not take, or a tag whose
  // words lie outside its area, is refused with its own codes.
  std::vector<char> text(name.begin(), name.end());
  text.push_back('\0');
  std::int32_t now = 0;
  if (const std::uint32_t r = QNA_ReadTag(text.data(), &now, 0); r != 0) {
    refusal = {true, r, QNA_InternalErr, "tag '" + name + "' in " + path.Text() + ": " + ResultText(r, QNA_InternalErr)};
    return false;
  }
  std::string error;
  if (path.win.empty() || TagfileFind(path.host, name, tag, error) != 0 || tag.type.empty()) {
    refusal = {false, 0, 0, "tag '" + name + "': its type could not be read from " + path.Text() +
                                (error.empty() ? "" : " (" + error + ")") + ": nothing written"};
    return false;
  }
  std::string range;
  if (!TagValueFits(tag.type, value, range)) {
    refusal = {true, QNA_E_ARG, 0, "tag " + tag.name + " (" + tag.type + " " + tag.address + ") takes " + range +
                                       ", not " + std::to_string(value) + ": nothing written"};
    return false;
  }
  return true;
}

namespace {

int TagWrite(const TagArgs& args) {
  std::int64_t value = 0;
  if (!ParseI64(args.value, value))
    return Usage("tag write", "bad value '" + args.value + "': a number from -2147483648 to 4294967295");
  if (args.name.size() > 63) return Usage("tag write", "a tag name has at most 14 characters");
  Link link;
  TagPath path;
  if (int failed = Load("tag write", link, args.link, path)) return failed;
  Loaded loaded;
  TagfileTag tag;
  Refusal refusal;
  if (!CheckTagWrite(path, args.name, value, tag, refusal)) return Report("tag write", refusal);
  std::vector<char> name(args.name.begin(), args.name.end());
  name.push_back('\0');
  const std::uint32_t r =
      QNA_WriteTag(name.data(), static_cast<std::int32_t>(static_cast<std::uint32_t>(value & 0xFFFFFFFF)),
                   args.no_reply ? 1u : 0u);
  if (r != 0) return Fail("tag write", "tag '" + args.name + "' in " + path.Text(), r, QNA_InternalErr);
  if (args.link.json)
    std::printf("{\"tag\":%s,\"value\":%lld,\"replied\":%s}\n", JsonString(tag.name).c_str(),
                static_cast<long long>(value), args.no_reply ? "false" : "true");
  else
    std::printf("%s %s = %lld%s\n", args.no_reply ? "sent" : "wrote", tag.name.c_str(), static_cast<long long>(value),
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
      csv += "," + std::to_string(value);
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
