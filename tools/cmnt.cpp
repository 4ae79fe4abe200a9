// cmnt.cpp - qna cmnt create|open|get|put: the comment file of a user, a
// local file of 32-byte texts for data words, data bits and system words.
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "qna.h"
#include "qnapi.h"

namespace qna {

namespace {

// Files of this many bytes or more get a progress bar while they are made.
constexpr std::uint64_t kBigFile = 4u << 20;

struct CmntArgs {
  std::string user;
  std::string drive = "C";
  std::string system_drive = "C";
  std::int32_t words = 0;
  std::int32_t bits = 0;
  bool overwrite = false;
  std::string kind = "word";
  std::uint32_t first = 0;
  std::uint32_t count = 1;
  std::vector<std::string> texts;
  LinkOptions link;  // only --json is used: a comment file is a local file
};

const Offer kCmnt{false, false, "a comment file is a file of this machine"};

std::string JsonComments(std::uint32_t words, std::uint32_t bits, std::uint32_t sys1, std::uint32_t sys2) {
  return "{\"word\":" + std::to_string(words) + ",\"bit\":" + std::to_string(bits) + ",\"sys1\":" +
         std::to_string(sys1) + ",\"sys2\":" + std::to_string(sys2) + "}";
}

bool ParseKind(const std::string& text, std::uint32_t& kind) {
  const char* names[] = {"word", "bit", "sys1", "sys2"};
  for (std::uint32_t k = 0; k < 4; ++k)
    if (text == names[k] || text == std::to_string(k)) {
      kind = k;
      return true;
    }
  return false;
}

bool ParseDrive(const std::string& text, char& drive) {
  if (text.size() != 1 || std::isalpha(static_cast<unsigned char>(text[0])) == 0) return false;
  drive = static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
  return true;
}

// Closes the comment file at the end of a command.
struct OpenFile {
  ~OpenFile() { QNA_CloseCmnt(); }
};

int CmntCreate(const CmntArgs& args) {
  if (int refused = RefuseTransport("cmnt create", args.link, kCmnt)) return refused;
  char drive = 0, system_drive = 0;
  if (!ParseDrive(args.drive, drive) || !ParseDrive(args.system_drive, system_drive))
    return Usage("cmnt create", "a drive is one letter");
  OpenFile file;
  const std::uint64_t size =
      16 + 32 * (static_cast<std::uint64_t>(std::max(args.words, 0)) + static_cast<std::uint64_t>(std::max(args.bits, 0)) + 512);
  std::uint32_t r = 0;
  {
    // The create is one call: a bar follows the file's growth beside it.
    Progress bar("creating the comment file of " + args.user, size, kBigFile);
    std::atomic<bool> done{false};
    std::thread create([&] {
      r = QNA_CreateCmnt(drive, args.user.c_str(), args.words, args.bits, system_drive, args.overwrite ? 1u : 0u);
      done = true;
    });
    const std::string path = win::HostPath((std::string(1, drive) + ":\\quonix\\usr\\" + args.user + "\\smemcmnt.bin").c_str());
    while (bar.shown() && !done) {
      std::error_code ignored;
      const auto now = std::filesystem::file_size(path, ignored);
      if (!ignored) bar.Update(now);
      QNA_Sleep(50);
    }
    create.join();
  }
  if (r != 0) return Fail("cmnt create", "comment file of " + args.user, r, 0);
  if (args.link.json)
    std::printf("{\"user\":%s,\"comments\":%s,\"bytes\":%llu}\n", JsonString(args.user).c_str(),
                JsonComments(static_cast<std::uint32_t>(std::max(args.words, 0)),
                             static_cast<std::uint32_t>(std::max(args.bits, 0)), 256, 256)
                    .c_str(),
                static_cast<unsigned long long>(size));
  else
    std::printf("created the comment file of %s: %d word and %d bit comments, %llu bytes\n", args.user.c_str(),
                args.words, args.bits, static_cast<unsigned long long>(size));
  return 0;
}

int Open(const char* command, const CmntArgs& args, std::uint32_t header[4]) {
  if (int refused = RefuseTransport(command, args.link, kCmnt)) return refused;
  char drive = 0;
  if (!ParseDrive(args.drive, drive)) return Usage(command, "a drive is one letter");
  const std::uint32_t r = QNA_OpenCmnt(drive, args.user.c_str(), header);
  // The comment functions leave QNA_InternalErr alone: there is no detail.
  if (r != 0) return Fail(command, "comment file of " + args.user, r, 0);
  return 0;
}

int CmntOpen(const CmntArgs& args) {
  OpenFile file;
  std::uint32_t header[4] = {};
  if (int failed = Open("cmnt open", args, header)) return failed;
  if (args.link.json) {
    std::printf("{\"user\":%s,\"comments\":%s}\n", JsonString(args.user).c_str(),
                JsonComments(header[0], header[1], header[2], header[3]).c_str());
    return 0;
  }
  Table table({"kind", "comments"});
  table.Row({"word", std::to_string(header[0])});
  table.Row({"bit", std::to_string(header[1])});
  table.Row({"sys1", std::to_string(header[2])});
  table.Row({"sys2", std::to_string(header[3])});
  table.Print();
  return 0;
}

int CmntGet(const CmntArgs& args) {
  std::uint32_t kind = 0;
  if (!ParseKind(args.kind, kind)) return Usage("cmnt get", "KIND is word, bit, sys1 or sys2 (or 0 to 3)");
  if (args.count == 0 || args.count > 65536) return Usage("cmnt get", "COUNT must be 1 to 65536");
  OpenFile file;
  std::uint32_t header[4] = {};
  if (int failed = Open("cmnt get", args, header)) return failed;
  std::vector<char> texts(static_cast<std::size_t>(args.count) * QNA_CMNT_SIZE);
  const std::uint32_t r = QNA_GetCmnt(kind, args.first, args.count, texts.data());
  if (r != 0) return Fail("cmnt get", args.kind + " comments from " + std::to_string(args.first), r, 0);
  Table table({"kind", "number", "comment"});
  std::string json;
  for (std::uint32_t i = 0; i < args.count; ++i) {
    std::string text(texts.data() + static_cast<std::size_t>(i) * QNA_CMNT_SIZE, QNA_CMNT_SIZE);
    text.erase(text.find_last_not_of(std::string(" \0", 2)) + 1);
    table.Row({args.kind, std::to_string(args.first + i),
               Printable(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())});
    json += (json.empty() ? "" : ",") + JsonString(text);
  }
  if (args.link.json)
    std::printf("{\"user\":%s,\"kind\":%s,\"start\":%u,\"count\":%u,\"comments\":[%s]}\n",
                JsonString(args.user).c_str(), JsonString(args.kind).c_str(), args.first, args.count, json.c_str());
  else
    table.Print();
  return 0;
}

int CmntPut(const CmntArgs& args) {
  std::uint32_t kind = 0;
  if (!ParseKind(args.kind, kind)) return Usage("cmnt put", "KIND is word, bit, sys1 or sys2 (or 0 to 3)");
  std::vector<char> texts;
  for (const auto& t : args.texts) {
    if (t.size() > QNA_CMNT_SIZE) return Usage("cmnt put", "a comment has at most 32 characters: '" + t + "'");
    std::string padded = t + std::string(QNA_CMNT_SIZE - t.size(), ' ');
    texts.insert(texts.end(), padded.begin(), padded.end());
  }
  OpenFile file;
  std::uint32_t header[4] = {};
  if (int failed = Open("cmnt put", args, header)) return failed;
  const auto count = static_cast<std::uint32_t>(args.texts.size());
  const std::uint32_t r = QNA_PutCmnt(kind, args.first, count, texts.data());
  if (r != 0) return Fail("cmnt put", args.kind + " comments from " + std::to_string(args.first), r, 0);
  if (args.link.json)
    std::printf("{\"user\":%s,\"kind\":%s,\"start\":%u,\"count\":%u}\n", JsonString(args.user).c_str(),
                JsonString(args.kind).c_str(), args.first, count);
  else
    std::printf("wrote %u %s comment%s from %u\n", count, args.kind.c_str(), count == 1 ? "" : "s", args.first);
  return 0;
}

void AddFileOptions(CLI::App* c, CmntArgs& args) {
  c->add_option("user", args.user, "The user whose file it is: <drive>:\\quonix\\usr\\<user>\\smemcmnt.bin")->required();
  c->add_option("--drive", args.drive, "Drive of the comment file")->capture_default_str();
  AddLinkOptions(c, args.link, kCmnt);
}

}  // namespace

void AddCommentCommands(CLI::App& app, Runner& run) {
  auto* group = app.add_subcommand("cmnt", "Comment files: 32-byte texts for data words, bits and system words");
  group->require_subcommand(1);
  auto create = std::make_shared<CmntArgs>();
  auto* c = group->add_subcommand("create", "Create a user's comment file (blank comments, system ones copied)");
  AddFileOptions(c, *create);
  c->add_option("--words", create->words, "Word comments, a multiple of 16 up to 32768")->capture_default_str();
  c->add_option("--bits", create->bits, "Bit comments, a multiple of 16 up to 524288")->capture_default_str();
  c->add_option("--system-drive", create->system_drive, "Drive of \\quonix\\sys\\sbswcmnt.bin")->capture_default_str();
  c->add_flag("--overwrite", create->overwrite, "Replace an existing file");
  c->callback([&run, create] { run = [create] { return CmntCreate(*create); }; });

  auto open = std::make_shared<CmntArgs>();
  c = group->add_subcommand("open", "Open a user's comment file and show how many comments of each kind it has");
  AddFileOptions(c, *open);
  c->callback([&run, open] { run = [open] { return CmntOpen(*open); }; });

  auto get = std::make_shared<CmntArgs>();
  c = group->add_subcommand("get", "Show comments");
  AddFileOptions(c, *get);
  c->add_option("kind", get->kind, "word, bit, sys1 or sys2")->required();
  c->add_option("first", get->first, "Number of the first comment")->required();
  c->add_option("count", get->count, "How many comments")->capture_default_str();
  c->callback([&run, get] { run = [get] { return CmntGet(*get); }; });

  auto put = std::make_shared<CmntArgs>();
  c = group->add_subcommand("put", "Write comments, one text (at most 32 characters) each");
  AddFileOptions(c, *put);
  c->add_option("kind", put->kind, "word, bit, sys1 or sys2")->required();
  c->add_option("first", put->first, "Number of the first comment")->required();
  c->add_option("texts", put->texts, "The comments")->required();
  c->callback([&run, put] { run = [put] { return CmntPut(*put); }; });
}

}  // namespace qna
