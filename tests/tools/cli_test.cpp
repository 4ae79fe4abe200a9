// cli_test.cpp - the qna command as people meet it: every example command
// of README.md and docs/cli.md runs as written against a stand-in server,
// and a new user's mistakes give one clear line, a non-zero status and no
// hang.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/server.h"
#include "support/test_support.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status = -1;  // exit status; -1: still running at the limit (then killed)
  std::string out, err;
};

// Runs one shell line in its own process group, with the folder of qna first
// in PATH, stdout and stderr into files.  A line still running after `limit`
// is a hang: its whole group is killed.
Outcome RunLine(const std::string& line, const fs::path& cwd,
                std::chrono::milliseconds limit = std::chrono::seconds(60)) {
  const fs::path out = cwd / ".out", err = cwd / ".err";
  const std::string path = fs::path(QNA_PATH).parent_path().string() + ":" + std::getenv("PATH");
  setenv("PATH", path.c_str(), 1);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  const std::string command = "cd '" + cwd.string() + "' && " + line;
  const char* argv[] = {"/bin/sh", "-c", command.c_str(), nullptr};
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, "/bin/sh", &actions, &attributes, const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  Outcome outcome;
  if (spawned != 0) return outcome;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  pid_t done = 0;
  while ((done = waitpid(pid, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  // Whatever the line left behind in its group goes with it.
  kill(-pid, SIGKILL);
  if (done == 0) waitpid(pid, &status, 0);
  outcome.status = done == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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

// A stand-in server as the docs assume it: project PLANT with its tag file,
// host PLANT and a TCP port, in a private root; and a working folder.
class QnaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    work_ = fs::path(root_.path()) / "work";
    fs::create_directories(work_);
    // The tag source the docs build from: the shipped examples/plant.csv, as
    // README.md names it and as docs/cli.md's plant.csv.
    const fs::path plant = fs::path(QNAPI_SOURCE_DIR) / "examples/plant.csv";
    fs::create_directories(work_ / "examples");
    fs::copy_file(plant, work_ / "examples/plant.csv");
    fs::copy_file(plant, work_ / "plant.csv");
    fs::create_directories(fs::path(root_.path()) / "drive/c/ravowld/usr/plant");
    const Outcome built = RunLine("qna tagfile build plant.csv \"$QNAPI_ROOT/drive/c/ravowld/usr/plant/plant.tag\"", work_);
    ASSERT_EQ(built.status, 0) << built.err;
    server_ = std::make_unique<qt::Server>(
        std::vector<std::string>{"--project", "C:PLANT", "--host", "PLANT", "--tcp", "127.0.0.1:0"},
        (fs::path(root_.path()) / "server.log").string());
    ASSERT_TRUE(server_->ready());
    std::smatch port;
    const std::string log = qt::ReadText(root_.path() + "/server.log");
    ASSERT_TRUE(std::regex_search(log, port, std::regex("tcp listening on 127\\.0\\.0\\.1:([0-9]+)")));
    port_ = port[1];
  }

  // A documented line as it runs here: the build folder of this test, and the
  // server's TCP port for the docs' 5021.
  std::string AsHere(const std::string& command) const {
    std::string line = Replace(command, "build/release/", std::string(QNA_BUILD_DIR) + "/");
    return Replace(line, ":5021", ":" + port_);
  }

  qt::TempRoot root_;
  fs::path work_;
  std::unique_ptr<qt::Server> server_;
  std::string port_;
};

// `qna server` starts a server of its own: it runs in a root of its own, and
// a `qna info` in the same line shows that it serves.  The server is in the
// line's process group, which goes when the line is done.
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

TEST_F(QnaTest, HelpIsCompleteForEverySubcommand) {
  const char* commands[] = {"read", "write", "bits", "mux", "watch", "tag read", "tag write", "mailbox read",
                            "mailbox write", "msg send", "msg recv", "evq open", "evq read", "evq post",
                            "evq info", "app start", "app close", "app top", "app status", "app cancel", "info",
                            "cmnt create", "cmnt open", "cmnt get", "cmnt put", "tagfile build", "tagfile dump",
                            "server", "demo"};
  const Outcome top = RunLine("qna --help", work_);
  EXPECT_EQ(top.status, 0);
  for (const char* command : commands) {
    const std::string first = std::string(command).substr(0, std::string(command).find(' '));
    EXPECT_NE(top.out.find("  " + first), std::string::npos) << first << " missing from qna --help";
    const Outcome o = RunLine(std::string("qna ") + command + " --help", work_);
    EXPECT_EQ(o.status, 0) << command;
    EXPECT_NE(o.out.find("Usage:"), std::string::npos) << command;
    // Every data command offers the three transports.
    const bool data = first != "cmnt" && first != "tagfile" && first != "server" && first != "demo";
    if (data) {
      EXPECT_NE(o.out.find("--host"), std::string::npos) << command;
      EXPECT_NE(o.out.find("--tcp"), std::string::npos) << command;
      EXPECT_NE(o.out.find("--json"), std::string::npos) << command;
    }
  }
}

// What a new user gets wrong: each gives one line that names the trouble,
// a non-zero status, and comes back at once.
struct Mistake {
  const char* line;
  int status;
  const char* says;
};

void CheckMistakes(const std::vector<Mistake>& mistakes, const fs::path& work) {
  for (const auto& m : mistakes) {
    const auto start = std::chrono::steady_clock::now();
    const Outcome o = RunLine(m.line, work, std::chrono::seconds(30));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(o.status, m.status) << m.line << "\n" << o.err;
    EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << m.line << "\n" << o.err;
    EXPECT_NE(o.err.find(m.says), std::string::npos) << m.line << "\n" << o.err;
    EXPECT_TRUE(o.out.empty()) << m.line << "\n" << o.out;
    EXPECT_LT(took, std::chrono::seconds(20)) << m.line;
  }
}

TEST_F(QnaTest, MistakesGiveOneClearLine) {
  CheckMistakes(
      {
          {"qna read XW10", 2, "bad address 'XW10'"},
          {"qna read CW", 2, "bad address"},
          {"qna read CW40000 2", 1, "CW40000..40001 (CW holds 32768 words): bad argument or range (result 6, detail 0)"},
          {"qna bits CB65536", 1, "(result 6, detail 0)"},
          {"qna write CW10 70000", 2, "bad value '70000'"},
          {"qna tag read NO_SUCH_TAG", 1, "no tag of that name: the name is not in the tag file (result 204, detail 6012)"},
          {"qna tag write '#secure' 1", 1, "(result 203, detail 6011)"},
          {"qna read CW1 --host NOSUCH", 1, "no such host: no server pipe for that host name (result 51, detail 53)"},
          {"qna read CW1 --host 'A VERY LONG HOSTNAME'", 2, "at most 15 characters"},
          {"qna read CW1 --tcp nowhere", 2, "--tcp takes ADDR:PORT"},
          {"qna mailbox read NOBODY", 1, "refused by the server: no mailbox for that application name"},
          {"qna msg recv 4711", 1, "no message on the channel within the wait (result 20, detail 0)"},
          {"qna app status 0", 1, "request id 0 is not a request (result 807, detail 0)"},
          {"qna app status 1 --tcp 127.0.0.1:5021", 2, "--tcp is not offered here"},
          {"qna tag read LEVEL --host PLANT", 2, "--host is not offered here"},
          {"qna frobnicate", 2, "unknown command 'frobnicate'"},
          {"qna read", 2, "(see qna read --help)"},
          {"qna cmnt get nobody word 0", 1, "(result 300, detail 0)"},
      },
      work_);
}

TEST(QnaNoServer, ANewUserWithoutServerGetsOneLineAtOnce) {
  qt::TempRoot root;
  const fs::path work = root.path();
  CheckMistakes(
      {
          {"qna read CW1", 1, "no server running: the data areas could not be opened (result 51, detail -1)"},
          {"qna write CW1 5", 1, "(result 51, detail -1)"},
          {"qna tag read LEVEL", 1, "(result 51, detail -1)"},
          {"qna evq info", 1, "(result 51, detail -1)"},
          {"qna msg recv 1 --wait 1000", 1, "(result 51, detail -1)"},
          {"qna info", 1, "(result 51, detail -1)"},
          {"qna read CW1 --host PLANT", 1, "(result 51, detail 53)"},
          // Port 1 on loopback: nothing listens there.
          {"qna read CW1 --tcp 127.0.0.1:1", 1, "no connection was made"},
      },
      work);
}

}  // namespace

// ---- What the commands do ------------------------------------------------------

namespace {

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

TEST_F(QnaTest, AddressFormsNameTheSameWordsAndBits) {
  struct Row {
    std::vector<std::string> write;
    std::string read;  // with --json
    std::string words;
  };
  const Row rows[] = {
      {{"write cw100 11"}, "read 1:100 --json", "[11]"},
      {{"write LGP5 12 --direct"}, "read 4:5 --json", "[12]"},
      {{"write tman0 0xBEEF"}, "read TMAN0 --json", "[48879]"},
      {{"write CW200 -1 -32768"}, "read CW200 2 --json", "[65535,32768]"},
      // Bit numbers run over the whole area: CB30 is bit 14 of word 1.
      {{"bits CB30 --set 1"}, "read CB1 --json", "[16384]"},
      {{"bits SW3281 --set 1 1"}, "read SW205 --json", "[6]"},
      {{"write SW300 5", "bits SW4800 --set 0 1 --direct"}, "read SW300 --json", "[6]"},
      {{"write CW300 1 2 3 4"}, "mux CW301,2 CW300 --json",
       "[{\"area\":\"CW\",\"offset\":301,\"words\":[2,3]},{\"area\":\"CW\",\"offset\":300,\"words\":[1]}]"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> lines = row.write;
    lines.push_back(row.read);
    const std::string out = Qna(lines, work_);
    EXPECT_NE(out.find(row.words), std::string::npos) << row.read << " gave " << out;
  }
}

TEST_F(QnaTest, EveryTransportSeesTheSameData) {
  // Written over one transport, read over the others.  (Each TCP open takes
  // a second: the library pauses after it connects.)
  const std::string tcp = "--tcp 127.0.0.1:" + port_;
  Qna({"write CW500 7 8 9 " + tcp, "bits CB600 --set 1 0 1 --host PLANT"}, work_);
  for (const std::string via : {"", "--host PLANT", tcp.c_str()})
    EXPECT_NE(Qna({"read CW500 3 --json " + via}, work_).find("\"words\":[7,8,9]"), std::string::npos) << via;
  EXPECT_NE(Qna({"bits CB600 3 --json"}, work_).find("[1,0,1]"), std::string::npos);
  // A message sent over TCP is received over the host pipe.
  Qna({"msg send 12 'over tcp' --type 4 " + tcp}, work_);
  EXPECT_NE(Qna({"msg recv 12 --json --host PLANT"}, work_).find("\"type\":4,\"ref\":0,\"length\":8,\"body\":\"over tcp\""),
            std::string::npos);
}

TEST_F(QnaTest, TagsAndMessagesDoWhatTheySay) {
  // A double-word tag goes low half first; a bit tag is one bit.
  Qna({"tag write FLOW 100000", "tag write pump 1"}, work_);
  EXPECT_NE(Qna({"read CW12 2 --json"}, work_).find("[34464,1]"), std::string::npos);
  EXPECT_NE(Qna({"read CB0 --json"}, work_).find("[32]"), std::string::npos);
  EXPECT_NE(Qna({"tag read flow PUMP --json"}, work_).find("{\"FLOW\":100000,\"PUMP\":1}"), std::string::npos);
  // An urgent message overtakes a normal one.
  Qna({"msg send 9 first", "msg send 9 second --urgent"}, work_);
  EXPECT_NE(Qna({"msg recv 9 --json"}, work_).find("\"body\":\"second\""), std::string::npos);
  EXPECT_NE(Qna({"msg recv 9 --json"}, work_).find("\"body\":\"first\""), std::string::npos);
  // The mailbox keeps what was written; a comment file what was put.
  EXPECT_NE(Qna({"mailbox write QNA 10 -1 0x10", "mailbox read QNA 10 2 --json"}, work_).find("[65535,16]"),
            std::string::npos);
  EXPECT_NE(Qna({"cmnt create tester --words 16", "cmnt put tester word 15 'last one'",
                 "cmnt get tester word 14 2 --json"}, work_)
                .find("[\"\",\"last one\"]"),
            std::string::npos);
}

TEST_F(QnaTest, WatchShowsEachChangeOnce) {
  const Outcome o = RunLine(
      "qna watch CW700 2 --interval 10 --polls 300 --json & sleep 1.2; qna write CW701 5 >/dev/null; "
      "sleep 0.6; qna write CW700 6 >/dev/null; wait $!",
      work_);
  ASSERT_EQ(o.status, 0) << o.err;
  // Two lines for the first poll, then one per change, each with the value before.
  EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 4) << o.out;
  EXPECT_NE(o.out.find("\"address\":\"CW701\",\"value\":5,\"was\":0"), std::string::npos) << o.out;
  EXPECT_NE(o.out.find("\"address\":\"CW700\",\"value\":6,\"was\":0"), std::string::npos) << o.out;
}

}  // namespace

namespace {

TEST_F(QnaTest, JsonIsOneObjectALineAndNoBarWithoutATerminal) {
  Qna({"msg send 30 x", "cmnt create jsonuser --words 16"}, work_);
  const char* commands[] = {
      "read CW0 40 --json",          "write CW0 1 --fill 32768 --json", "bits CB0 20 --json",
      "mux CW0,2 CB0 --json",        "tag read LEVEL --json",           "mailbox read RAVOWLD --json",
      "msg recv 30 --json",          "evq info --json",                 "info --json",
      "cmnt open jsonuser --json",   "cmnt get jsonuser sys1 0 3 --json",
  };
  for (const char* command : commands) {
    const Outcome o = RunLine(std::string("qna ") + command, work_);
    EXPECT_EQ(o.status, 0) << command << "\n" << o.err;
    // Nothing on stderr: no progress bar when stdout is not a terminal.
    EXPECT_TRUE(o.err.empty()) << command << "\n" << o.err;
    ASSERT_FALSE(o.out.empty()) << command;
    EXPECT_TRUE(o.out.front() == '{' || o.out.front() == '[') << command << "\n" << o.out;
    EXPECT_EQ(std::count(o.out.begin(), o.out.end(), '\n'), 1) << command << "\n" << o.out;
    EXPECT_EQ(o.out.back(), '\n') << command;
  }
}

TEST_F(QnaTest, QueuesRequestsAndMessagesSeenThroughTheCommand) {
  // A queue held open with a name shows in the server's lists meanwhile.
  const Outcome held =
      RunLine("qna evq open any --name ALARMS --hold 5000 >/dev/null & sleep 1.5; qna evq info --json; wait $!", work_);
  ASSERT_EQ(held.status, 0) << held.err;
  EXPECT_NE(held.out.find("\"queue\":1,\"open\":true,\"name\":\"ALARMS\""), std::string::npos) << held.out;
  EXPECT_NE(Qna({"evq info --json"}, work_).find("\"used\":0"), std::string::npos);

  // The server starts a program, reports it running, and closes it.
  EXPECT_NE(Qna({"app start /bin/sleep --json -- 30"}, work_).find("\"request\":1,\"status\":2"), std::string::npos);
  EXPECT_NE(Qna({"app close sleep --json"}, work_).find("\"request\":2"), std::string::npos);
  EXPECT_TRUE(qt::WaitFor(
      [&] { return Qna({"app status 1 --json"}, work_).find("\"state\":\"done\"") != std::string::npos; },
      std::chrono::seconds(20)));

  // A message longer than the room stays on its channel for a receiver with room.
  Qna({"msg send 31 'a longer body'"}, work_);
  const Outcome small = RunLine("qna msg recv 31 --room 4", work_);
  EXPECT_EQ(small.status, 1);
  EXPECT_NE(small.err.find("(result 23, detail 0)"), std::string::npos) << small.err;
  EXPECT_NE(Qna({"msg recv 31 --json"}, work_).find("\"body\":\"a longer body\""), std::string::npos);

  // The applications the server lists include the name a command registers under.
  EXPECT_NE(Qna({"info --json --as WATCHER"}, work_).find("{\"name\":\"WATCHER\""), std::string::npos);
}

}  // namespace
