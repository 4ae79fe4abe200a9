// cli_test.cpp - the qna command as people meet it: every documented example
// runs as written, and a mistake gives one clear line and a status at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "plant.h"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // exit status; -1: still running at the limit (then killed)
  std::string out, err;
};

// Runs one shell line in its own process group, qna's folder first in PATH;
// a line still running after `limit` is a hang, and its group is killed.
Outcome RunLine(const std::string& line, const fs::path& cwd,
                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const fs::path out = cwd / ".out", err = cwd / ".err";
  const std::string path = fs::path(QNA_PATH).parent_path().string() + ":" + std::getenv("PATH");
  setenv("PATH", path.c_str(), 1);
  qt::Process shell("/bin/sh", {"-c", "cd '" + cwd.string() + "' && " + line}, err.string(), out.string(), true);
  const pid_t group = shell.pid();
  Outcome outcome;
  outcome.status = shell.Wait(limit);
  if (group > 0) kill(-group, SIGKILL);
  outcome.out = qt::ReadText(out.string());
  outcome.err = qt::ReadText(err.string());
  return outcome;
}

struct Example {
  std::string file;
  int line = 0;
  std::string command;
  bool fails = false;  // the docs say it fails ("# fails")
};

// The example commands of a document: the lines of its ```sh blocks that
// start with qna or build/release/tools/qna.
std::vector<Example> Examples(const std::string& file) {
  std::ifstream in(fs::path(QNAPI_SOURCE_DIR) / file);
  EXPECT_TRUE(in.good()) << file;
  std::vector<Example> found;
  bool in_sh = false;
  std::string text;
  for (int number = 1; std::getline(in, text); ++number) {
    if (text.rfind("```", 0) == 0) {
      in_sh = !in_sh && text == "```sh";
      continue;
    }
    if (!in_sh) continue;
    if (text.rfind("qna ", 0) != 0 && text.rfind("build/release/tools/qna ", 0) != 0) continue;
    Example e{file, number, text, false};
    const auto comment = text.find(" # ");
    e.fails = comment != std::string::npos && text.find("fails", comment) != std::string::npos;
    found.push_back(e);
  }
  return found;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// A stand-in server as the docs assume it (project PLANT with its tag file,
// host PLANT and a TCP port) in a private root, and a working folder.
class QnaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = fs::path(root_.path()) / "work";
    fs::create_directories(work_ / "examples");
    // The docs' tag sources (examples/plant.csv, and plant.csv with a tag whose
    // second word lies outside CW) and their batch file.
    const fs::path csv = fs::path(QNAPI_SOURCE_DIR) / "examples/plant.csv";
    fs::copy_file(csv, work_ / "examples/plant.csv");
    const std::string tags = qt::ReadText(csv.string()) + "EDGE,CW32767,dword\n";
    std::ofstream(work_ / "plant.csv") << tags;
    std::ofstream(work_ / "steps.qna") << "# lines of a batch\nwrite CW30 1 2 3\nread CW30 3 --json\n"
                                          "qna mux CW30,2 SW204\n";
    server_ = plant::Serve(root_.path(), tags);
    ASSERT_TRUE(server_);
    tcp_ = plant::Tcp(root_.path());
  }

  // A documented line with this build folder and this server's TCP port.
  std::string AsHere(const std::string& command) const {
    std::string line = Replace(command, "build/release/", std::string(QNA_BUILD_DIR) + "/");
    return Replace(line, "127.0.0.1:5021", tcp_);
  }

  qt::TempRoot root_;
  fs::path work_;
  std::unique_ptr<qt::Server> server_;
  std::string tcp_;  // "127.0.0.1:PORT"
};

// `qna server` starts a server of its own, in a root of its own, which a
// `qna info` in the same line reaches; it goes with the line's group.
void RunServerExample(const Example& e, const std::string& line, const fs::path& work) {
  const std::string previous = std::getenv("QNAPI_ROOT");
  const fs::path own = fs::path(previous) / "own-server";
  fs::create_directories(own);
  setenv("QNAPI_ROOT", own.c_str(), 1);
  const Outcome o = RunLine(line + " && qna info --json", work);
  setenv("QNAPI_ROOT", previous.c_str(), 1);
  EXPECT_EQ(o.status, 0) << e.file << ":" << e.line << ": " << e.command << "\n" << o.err;
  EXPECT_NE(o.out.find("\"server\":\"quonix\""), std::string::npos) << o.out;
}

TEST_F(QnaTest, EveryDocumentedExampleRunsAsWritten) {
  std::vector<Example> examples = Examples("README.md");
  const std::vector<Example> cli = Examples("docs/cli.md");
  ASSERT_GE(cli.size(), 30u) << "docs/cli.md should show every subcommand";
  examples.insert(examples.end(), cli.begin(), cli.end());
  for (const auto& e : examples) {
    const std::string line = AsHere(e.command);
    if (e.command.find("qna server") != std::string::npos) {
      RunServerExample(e, line, work_);
      continue;
    }
    const Outcome o = RunLine(line, work_);
    const std::string where = e.file + ":" + std::to_string(e.line) + ": " + e.command;
    ASSERT_NE(o.status, -1) << where << ": still running after 60 s";
    if (e.fails) {
      EXPECT_NE(o.status, 0) << where;
      EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << where << "\n" << o.err;
    } else {
      EXPECT_EQ(o.status, 0) << where << "\n" << o.out << o.err;
    }
  }
}

// What a new user gets wrong: each gives one line that names the trouble,
// a non-zero status, and comes back at once (within `limit`).
struct Mistake {
  std::string line;
  int status;
  std::string says;
};

void CheckMistakes(const std::vector<Mistake>& mistakes, const fs::path& work,
                   std::chrono::seconds limit = std::chrono::seconds(20)) {
  for (const auto& m : mistakes) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = RunLine(m.line, work, std::chrono::seconds(30));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(o.status, m.status) << m.line << "\n" << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << m.line << "\n" << o.err;
    EXPECT_NE(o.err.find(m.says), std::string::npos) << m.line << "\n" << o.err;
    EXPECT_TRUE(o.out.empty()) << m.line << "\n" << o.out;
    EXPECT_LT(took, limit) << m.line;
  }
}

TEST(QnaNoServer, ANewUserWithoutServerGetsOneLineAtOnce) {
  qt::TempRoot root;
  CheckMistakes(
      {
          {"qna read CW1", 1, "in the platform root " + root.path() + ": no server running: the data areas could not be opened (result 51, detail -1)"},
          {"qna read CW1 --host PLANT", 1, "(result 51, detail 53)"},
          {"qna read CW1 --tcp 127.0.0.1:1", 1, "the server at 127.0.0.1 port 1 over TCP"},
      },
      root.path());
}

// Runs qna commands in order, each expected to succeed; the last one's stdout.
std::string Qna(const std::vector<std::string>& lines, const fs::path& work) {
  std::string out;
  for (const auto& line : lines) {
    const Outcome o = RunLine("qna " + line, work, std::chrono::seconds(30));
    EXPECT_EQ(o.status, 0) << line << "\n" << o.err;
    out = o.out;
  }
  return out;
}

// Each row: commands that must succeed, then one whose stdout holds the text.
TEST_F(QnaTest, CommandsDoWhatTheySay) {
  struct Row {
    std::vector<std::string> before;
    std::string line;
    std::string says;
  };
  const std::string tcp = "--tcp " + tcp_;
  const std::vector<Row> rows = {
      // Address forms name the same words and bits.
      {{"write cw100 11"}, "read 1:100 --json", "[11]"},
      {{"write LGP5 12 --direct"}, "read 4:5 --json", "[12]"},
      {{"write CW200 -1 -32768"}, "read CW200 2 --json", "[65535,32768]"},
      // Bit numbers run over the whole area: CB30 is bit 14 of word 1.
      {{"bits CB30 --set 1"}, "read CB1 --json", "[16384]"},
      {{"write SW300 5", "bits SW4800 --set 0 1 --direct"}, "read SW300 --json", "[6]"},
      {{"write CW300 1 2 3 4"}, "mux CW301,2 CW300 --json",
       "{\"ranges\":[{\"area\":\"CW\",\"start\":301,\"count\":2,\"words\":[2,3]},"
       "{\"area\":\"CW\",\"start\":300,\"count\":1,\"words\":[1]}]}"},
      // Value forms: two words a value, the low word first.
      {{"write CW310 0 16256 65535 65535"}, "read CW310 2 --as f32 --json", "\"values\":[1,null]"},
      {{"write CW320 1 2"}, "read CW320 --as u32 --json", "\"as\":\"u32\",\"values\":[131073]"},
      {{"write CW330 65535 0x1F"}, "read CW330 2 --as i16 --csv", ",-1,31\n"},
      // Written over one transport, read over another.
      {{"write CW500 7 8 9 " + tcp}, "read CW500 3 --json --host PLANT", "\"words\":[7,8,9]"},
      {{"tag write FLOW 100000", "tag write pump 1"}, "tag read flow PUMP --json",
       "{\"tags\":[{\"tag\":\"FLOW\",\"value\":100000},{\"tag\":\"PUMP\",\"value\":1}]}"},
      {{"mailbox write QNA 10 -1 0x10"}, "mailbox read QNA 10 2 --json", "[65535,16]"},
      {{"cmnt create tester --words 16", "cmnt put tester word 15 'last one'"},
       "cmnt get tester word 14 2 --json", "[\"\",\"last one\"]"},
      // A queue held open with a name shows in the server's lists meanwhile.
      {{}, "evq open any --name ALARMS --hold 5000 >/dev/null & sleep 1.5; qna evq info --json; wait $!",
       "\"queue\":1,\"open\":true,\"name\":\"ALARMS\""},
      // The applications the server lists include the name a command registers under.
      {{}, "info --json --app WATCHER", "{\"app\":\"WATCHER\""},
  };
  for (const auto& row : rows) {
    std::vector<std::string> lines = row.before;
    lines.push_back(row.line);
    const std::string out = Qna(lines, work_);
    EXPECT_NE(out.find(row.says), std::string::npos) << row.line << " gave " << out;
  }
}

TEST_F(QnaTest, WatchShowsEachChangeOnce) {
  const Outcome o = RunLine(
      "qna watch CW700 2 --interval 10 --polls 300 --json & sleep 1.2; qna write CW701 5 >/dev/null; "
      "sleep 0.6; qna write CW700 6 >/dev/null; wait $!",
      work_);
  ASSERT_EQ(o.status, 0) << o.err;
  // Two lines for the first poll, then one per change, each with the value before.
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 4) << o.out;
  EXPECT_NE(o.out.find("\"area\":\"CW\",\"start\":701,\"value\":5,\"was\":0"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\"area\":\"CW\",\"start\":700,\"value\":6,\"was\":0"), std::string::npos) << o.out;
}

// Mistakes and what cannot work are refused at once with one line and leave
// CW and CB as they were (no part written, nothing cut, nothing huge made).
TEST_F(QnaTest, RefusalsComeAtOnceAndLeaveTheAreasAsTheyWere) {
  Qna({"write CW0 7 --fill 32768", "write CB0 0x5555 --fill 4096", "tag write PUMP 1"}, work_);
  const auto areas = [&] { return Qna({"read CW0 32768 --json"}, work_) + Qna({"read CB0 4096 --json"}, work_); };
  const std::string before = areas();
  // The aim is well under a second; the margin is for a slow machine.
  CheckMistakes(
      {
          {"qna read CW", 2, "bad address"},
          {"qna bits CB65536", 1, "bits CB65536 do not fit in CB, which holds 4096 words (bits 0..65535)"},
          {"qna write CW10 70000", 2, "bad value '70000'"},
          {"qna read CW1 --host 'A VERY LONG HOSTNAME'", 2, "at most 15 characters"},
          {"qna read CW1 --tcp 127.0.0.1:99999", 2, "bad port '99999' in --tcp"},
          {"qna cmnt get nobody word 0 --host PLANT", 2, "--host is not offered here: a comment file is a file"},
          {"qna write CW1 1 --app NINECHARS", 2, "--app takes an application name of 1 to 8 characters"},
          {"qna tag read LEVEL --host PLANT", 2, "--host is not offered here"},
          {"qna frobnicate", 2, "unknown command 'frobnicate'"},
          {"qna read", 2, "(see qna read --help)"},
          {"qna write CW0 1 --fill 40000", 1, "CW0..39999 does not fit in CW, which holds 32768 words (CW0..32767): nothing written"},
          {"qna write CW0 1 --fill 4294967295", 1, "nothing written (result 6, detail 0)"},
          {"qna write CW1 1 --fill 40000 --tcp " + tcp_, 1, "nothing written"},
          {"qna bits CB65535 --set 1 1", 1, "do not fit in CB"},
          {"qna bits CB0 4294967295", 1, "nothing read (result 6, detail 0)"},
          {"qna read CW0 4294967295", 1, "nothing read"},
          {"qna mux CW0,2 CW0,4294967295", 1, "nothing read"},
          {"qna tag write PUMP 256", 1, "tag PUMP (bit CB5) takes 0 or 1, not 256: nothing written (result 6, detail 0)"},
          {"qna tag write LEVEL 70000", 1, "tag LEVEL (word CW10) takes -32768 to 65535, not 70000"},
          {"qna tag write EDGE 5", 1, "tag 'EDGE'"},
      },
      work_, std::chrono::seconds(5));
  EXPECT_TRUE(areas() == before) << "a refused command changed CW or CB";
}

// Every command's JSON, success and error, has the documented shape, as a
// JSON parser that shares nothing with qna (Python's) reads it.
TEST_F(QnaTest, EveryCommandSpeaksTheDocumentedJson) {
  Qna({"msg send 41 'café'", "cmnt create shape --words 16", "write CW12 0 16256"}, work_);
  const std::string range = "{area:str,start:num,count:num,words:[num]}";
  const std::string written = "{area:str,start:num,count:num,replied:bool}";
  const std::string error = "{command:str,result:num,detail:num,text:str}";
  const std::string usage = "{command:str,result:null,detail:null,text:str}";
  const std::string request = "{request:num,status:num,state:str}";
  const std::string comments = "comments:{word:num,bit:num,sys1:num,sys2:num}";
  const struct {
    std::string line;
    std::string shape;  // one line per JSON line
    bool fails;
  } rows[] = {
      {"read CW10 2", range, false},
      {"read CW12 --as f32", "{area:str,start:num,count:num,words:[num],as:str,values:[num]}", false},
      {"read CW40000", error, true},
      {"read XW10", usage, true},
      {"write CW10 1", written, false},
      {"bits CB0 3", "{area:str,start:num,count:num,bits:[num]}", false},
      {"bits CB5 --set 1", written, false},
      {"mux CW10,2 SW204", "{ranges:[" + range + "]}", false},
      {"watch CW10 --polls 1", "{time:str,area:str,start:num,value:num,was:null}", false},
      {"tag read LEVEL", "{tags:[{tag:str,value:num}]}", false},
      {"tag write LEVEL 5", "{tag:str,value:num,replied:bool}", false},
      {"tag write PUMP 2", error, true},
      {"tag watch LEVEL --polls 1", "{time:str,tag:str,value:num,was:null}", false},
      {"tagfile build plant.csv shape.tag", "{path:str,count:num}", false},
      {"tagfile dump shape.tag", "{path:str,count:num,ordered:bool,tags:[{tag:str,address:str,type:str}],unusable:[]}", false},
      {"mailbox read QNA 0 2", "{app:str,start:num,count:num,words:[num]}", false},
      {"mailbox write QNA 0 1", "{app:str,start:num,count:num,replied:bool}", false},
      {"msg send 42 x", "{channel:num,bytes:num,replied:bool}", false},
      {"msg recv 41", "{channel:num,type:num,ref:num,bytes:num,data:str}", false},
      {"evq open any", "{queue:num,handle:num}", false},
      {"evq read 2 --timeout 5000 & sleep 1.5; qna evq post 2 5 x >/dev/null; wait $!",
       "{queue:num,kind:num,from:str,value:num,bytes:num,data:str}", false},
      {"evq post 3 7", "{queue:num,value:num,bytes:num}", false},
      {"evq info", "{max:num,usable:num,used:num,named:num,queues:[]}", false},
      {"app start /bin/sleep -- 5", request, false},
      {"app status 1", request, false},
      {"info", "{server:str,version:str,pid:num,uptime:num,links:num,links_by_kind:{pipe:num,host pipe:num,tcp:num,"
               "emulated pipe:num},registrations:num,areas:[num],channels:num,messages:num,programs:num,known:num,"
               "applications:[{app:str,kind:str,id:num,pid:num,since:num,link:str,requests:num}]}", false},
      {"cmnt open shape", "{user:str," + comments + "}", false},
      {"cmnt get shape word 0 2", "{user:str,kind:str,start:num,count:num,comments:[str]}", false},
      {"cmnt put shape word 0 x", "{user:str,kind:str,start:num,count:num}", false},
      {"cmnt get nobody word 0", error, true},
      {"server", error, true},  // one runs in this root already
      {"batch steps.qna", written + "\n" + range + "\n{ranges:[" + range + "]}", false},
      {"frobnicate", usage, true},
  };
  std::vector<std::string> lines, texts;
  std::string files;
  for (const auto& row : rows) {
    // --json goes before a program's arguments, or a shell's "&" or "<".
    std::string line = "qna " + row.line;
    auto cut = line.find(" -- ");
    if (cut == std::string::npos && (cut = line.find_first_of("&<")) != std::string::npos) --cut;
    line.insert(cut == std::string::npos ? line.size() : cut, " --json");
    const Outcome o = RunLine(line, work_);
    EXPECT_EQ(o.status != 0, row.fails) << line << "\n" << o.out << o.err;
    // A success says nothing on stderr (no progress bar without a
    // terminal); a failure nothing on stdout.
    EXPECT_TRUE((row.fails ? o.out : o.err).empty()) << line << "\n" << o.out << o.err;
    const std::string file = "json" + std::to_string(lines.size()) + ".txt";
    std::ofstream(work_ / file) << (row.fails ? o.err : o.out);
    files += " " + file;
    lines.push_back(line);
    texts.push_back(row.fails ? o.err : o.out);
  }
  const Outcome shapes = RunLine("python3 '" QNAPI_SOURCE_DIR "/tests/tools/json_shape.py'" + files, work_);
  EXPECT_EQ(shapes.status, 0) << shapes.out << shapes.err;
  std::istringstream got(shapes.out);
  for (std::size_t i = 0; i < lines.size(); ++i) {
    std::string shape, part;
    while (std::getline(got, part) && part != ".") shape += part + "\n";
    EXPECT_EQ(shape, rows[i].shape + "\n") << lines[i] << "\n" << texts[i];
  }
  EXPECT_NE(Qna({"msg send 41 'café'", "msg recv 41 --json"}, work_).find("\"data\":\"café\""), std::string::npos);
}

// A local watch reads the mapped areas, which stay readable after the
// server has ended: it notices that the server is gone and ends with 1.
TEST(QnaWatch, EndsWithOneLineWhenTheServerGoes) {
  for (const char* command : {"watch CW1 --interval 50", "tag watch LEVEL --interval 50"}) {
    qt::TempRoot root;
    auto server = plant::Serve(root.path(), "LEVEL,CW10,word\n");
    ASSERT_TRUE(server);
    const std::string kill = "; kill " + std::to_string(server->pid()) + "; wait $!";
    const Outcome o = RunLine(std::string("qna ") + command + " & sleep 1" + kill, root.path(),
                              std::chrono::seconds(30));
    EXPECT_EQ(o.status, 1) << command << "\n" << o.out << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << command << "\n" << o.err;
    EXPECT_NE(o.err.find("the server has gone"), std::string::npos) << command << "\n" << o.err;
  }
}

// A batch runs its lines over one link: the server sees one registration
// for a hundred commands; the first failing line ends it unless told.
TEST_F(QnaTest, BatchRunsEveryLineOverOneLink) {
  const auto registrations = [&] {
    const std::string info = Qna({"info --json"}, work_);
    std::smatch m;
    return std::regex_search(info, m, std::regex("\"registrations\":([0-9]+)")) ? std::stoi(m[1]) : -1;
  };
  std::ofstream script(work_ / "hundred.qna");
  for (int i = 0; i < 100; ++i) script << "read CW" << i << " --json\n";
  script.close();
  const int first = registrations();
  const Outcome o = RunLine("qna batch hundred.qna --tcp " + tcp_, work_);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 100);
  // The batch registered once, and this second info once more.
  EXPECT_EQ(registrations(), first + 2);

  std::ofstream(work_ / "fails.qna") << "write CW50 1\nread CW40000\nwrite CW50 2\ntag read LEVEL --host PLANT\n";
  const Outcome stops = RunLine("qna batch fails.qna", work_);
  EXPECT_EQ(stops.status, 1);
  EXPECT_NE(stops.err.find("qna batch line 2: read: CW40000 does not fit"), std::string::npos) << stops.err;
  EXPECT_NE(Qna({"read CW50 --json"}, work_).find("[1]"), std::string::npos);
  const Outcome goes_on = RunLine("qna batch - --keep-going < fails.qna", work_);
  EXPECT_EQ(goes_on.status, 1);
  EXPECT_EQ(std::count(goes_on.err.begin(), goes_on.err.end(), '\n'), 2) << goes_on.err;
  EXPECT_NE(goes_on.err.find("line 4: tag read: a batch runs every line over its one link"), std::string::npos);
  EXPECT_NE(Qna({"read CW50 --json"}, work_).find("[2]"), std::string::npos);
}

}  // namespace
