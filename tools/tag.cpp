// tag.cpp - qna tag read|write: plant data by tag name, through the tag file
// of the server's project.
#include <cstdio>
#include <string>
#include <vector>

#include "qna.h"
#include "qnapi.h"
#include "tagfile.h"

namespace qna {

namespace {

// The library reads tags from the data areas mapped from the local server,
// and finds the project through the local link's mailbox of RAVOWLD.
const Offer kTags{false, false, "tag access works on the local link: tags are read from the mapped data areas"};

struct TagArgs {
  LinkOptions link;
  std::vector<std::string> names;
  std::string name;
  std::string value;
  bool no_reply = false;
};

// Opens the link and loads the project's tag file; 0 or the exit status.
int Load(const char* command, Link& link, const LinkOptions& options) {
  if (int failed = link.Open(command, options, kTags, Need::link)) return failed;
  const std::uint32_t r = QNA_InitRavo();
  if (r != 0) return Fail(command, "loading the tag file of the server's project", r, QNA_InternalErr);
  return 0;
}

int TagRead(const TagArgs& args) {
  Link link;
  if (int failed = Load("tag read", link, args.link)) return failed;
  Table table({"tag", "value"});
  std::string json = "{";
  for (const auto& given : args.names) {
    if (given.size() > 63) return Usage("tag read", "a tag name has at most 14 characters");
    std::vector<char> name(given.begin(), given.end());
    name.push_back('\0');
    std::int32_t value = 0;
    const std::uint32_t r = QNA_ReadTag(name.data(), &value, 0);
    if (r != 0) {
      const std::int32_t detail = QNA_InternalErr;
      QNA_EndRavo();
      return Fail("tag read", "tag '" + given + "'", r, detail);
    }
    table.Row({name.data(), std::to_string(value)});
    if (json.size() > 1) json += ',';
    json += JsonString(name.data()) + ":" + std::to_string(value);
  }
  QNA_EndRavo();
  if (args.link.json)
    std::printf("%s}\n", json.c_str());
  else
    table.Print();
  return 0;
}

int TagWrite(const TagArgs& args) {
  std::uint32_t magnitude = 0;
  const bool negative = !args.value.empty() && args.value[0] == '-';
  if (!ParseU32(negative ? args.value.substr(1) : args.value, magnitude) ||
      magnitude > (negative ? 0x80000000u : 0xFFFFFFFFu))
    return Usage("tag write", "bad value '" + args.value + "': a 32-bit number");
  const auto value = negative ? static_cast<std::int32_t>(0u - magnitude) : static_cast<std::int32_t>(magnitude);
  if (args.name.size() > 63) return Usage("tag write", "a tag name has at most 14 characters");
  Link link;
  if (int failed = Load("tag write", link, args.link)) return failed;
  std::vector<char> name(args.name.begin(), args.name.end());
  name.push_back('\0');
  const std::uint32_t r = QNA_WriteTag(name.data(), value, args.no_reply ? 1u : 0u);
  const std::int32_t detail = QNA_InternalErr;
  QNA_EndRavo();
  if (r != 0) return Fail("tag write", "tag '" + args.name + "'", r, detail);
  if (args.link.json)
    std::printf("{%s:%d}\n", JsonString(name.data()).c_str(), value);
  else
    std::printf("wrote %s = %d\n", name.data(), value);
  return 0;
}

}  // namespace

void AddTagCommands(CLI::App& app, Runner& run) {
  auto* tag = app.add_subcommand("tag", "Read and write plant data by tag name (the project's tag file)");
  tag->require_subcommand(1);
  auto read = std::make_shared<TagArgs>();
  auto* c = tag->add_subcommand("read", "Read tags by name");
  c->add_option("names", read->names, "Tag names (any case)")->required();
  AddLinkOptions(c, read->link, kTags);
  c->callback([&run, read] { run = [read] { return TagRead(*read); }; });

  auto write = std::make_shared<TagArgs>();
  c = tag->add_subcommand("write", "Write a tag through the server");
  c->add_option("name", write->name, "Tag name (any case)")->required();
  c->add_option("value", write->value, "The value: a bit tag takes 0 or 1, a word the low 16 bits, a double word all 32")->required();
  c->add_flag("--no-reply", write->no_reply, "Do not wait for the server's reply (options bit 0)");
  AddLinkOptions(c, write->link, kTags);
  c->callback([&run, write] { run = [write] { return TagWrite(*write); }; });
}

}  // namespace qna

// ---- qna tagfile build|dump -------------------------------------------------

namespace qna {

namespace {

struct TagfileArgs {
  std::string csv;
  std::string tag;
};

int Build(const TagfileArgs& args) {
  std::string error;
  if (TagfileBuild(args.csv, args.tag, error) != 0) return Usage("tagfile build", error);
  return 0;
}

int Dump(const TagfileArgs& args) {
  std::string out, error;
  if (TagfileDump(args.tag, out, error) != 0) return Usage("tagfile dump", error);
  std::fputs(out.c_str(), stdout);
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
  c->callback([&run, build] { run = [build] { return Build(*build); }; });
  auto dump = std::make_shared<TagfileArgs>();
  c = tagfile->add_subcommand("dump", "Print a tag file in the CSV form");
  c->add_option("tagfile", dump->tag, "The tag file to read")->required();
  c->callback([&run, dump] { run = [dump] { return Dump(*dump); }; });
}

}  // namespace qna
