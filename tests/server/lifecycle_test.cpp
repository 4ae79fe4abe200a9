// Start, stop, the window, the close handshake, pipe names, the command line
// and the log of quonix.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::AreaView;
using wire::Link;
using wire::MappingExists;

bool ServerWindowShown() {
  // The walk skips the topmost (shell) window, as the library's does.
  char title[128];
  for (win::HWND w = win::GetWindow(win::GetTopWindow(0), win::GW_HWNDNEXT); w != 0;
       w = win::GetWindow(w, win::GW_HWNDNEXT)) {
    title[0] = '\0';
    win::GetWindowTextA(w, title, sizeof title);
    if (std::strncmp(title, "QUONIX RUN", 10) == 0) return true;
  }
  return false;
}

// The window comes last, once the pipe is served, and goes with the objects.
TEST(ServerLifecycle, SigtermEndsItCleanlyAndTheObjectsGoAway) {
  qt::TempRoot root;
  EXPECT_FALSE(ServerWindowShown());
  qt::Server server;
  ASSERT_TRUE(server.ready());
  for (std::uint32_t area = 0; area < 6; ++area) EXPECT_TRUE(MappingExists(area)) << area;
  EXPECT_TRUE(qt::WaitFor(ServerWindowShown, std::chrono::seconds(20)));
  EXPECT_EQ(server.Stop(), 0);
  for (std::uint32_t area = 0; area < 6; ++area) EXPECT_FALSE(MappingExists(area)) << area;
  EXPECT_FALSE(ServerWindowShown());
}

TEST(ServerLifecycle, SigintEndsItCleanlyToo) {
  qt::TempRoot root;
  qt::Process server(QUONIX_PATH, {});
  ASSERT_TRUE(qt::WaitFor([] { return win::WaitNamedPipeA("\\\\.\\pipe\\qoxsmem", 0) != 0; },
                          std::chrono::seconds(20)));
  server.Signal(SIGINT);
  EXPECT_EQ(server.Wait(), 0);
  EXPECT_FALSE(MappingExists(0));
}

TEST(ServerLifecycle, SecondServerInTheSameRootRefusesToStart) {
  qt::TempRoot root;
  qt::Server first;
  ASSERT_TRUE(first.ready());
  const std::string log = root.path() + "/second.log";
  qt::Process second(QUONIX_PATH, {}, log);
  EXPECT_EQ(second.Wait(), 1);
  EXPECT_NE(qt::ReadText(log).find("another server runs in this root"), std::string::npos)
      << qt::ReadText(log);
  // The first one is untouched.
  Link link;
  wire::Registered(link, "FIRST");
  EXPECT_TRUE(MappingExists(5));
}

// The close handshake: word 204 of area 3 moves by one at every registration
// and every link close, and never has its top bit set, whatever it held.
TEST(ServerHandshake, EveryRegistrationAndCloseCountsOnce) {
  qt::TempRoot root;
  qt::Server server;
  ASSERT_TRUE(server.ready());
  AreaView sw(3);
  ASSERT_TRUE(sw.ok());
  for (unsigned start : {0u, 1u, 0x7FFEu, 0x7FFFu, 0x8000u, 0xFFFFu}) {
    Link link;
    ASSERT_TRUE(link.ok());
    sw.Set(204, static_cast<std::uint16_t>(start));
    wire::Registered(link, "COUNT");
    // Changed before the registration's reply came.
    const auto registered = static_cast<std::uint16_t>((start + 1) & 0x7FFF);
    EXPECT_EQ(sw.Get(204), registered) << "from " << start;
    link.Close();
    ASSERT_TRUE(qt::WaitFor([&] { return sw.Get(204) != registered; }, std::chrono::seconds(20)))
        << "from " << start;
    EXPECT_EQ(sw.Get(204), (start + 2) & 0x7FFF) << "from " << start;
  }
}

TEST(ServerPipes, ServerNamePipeFormsTheLibrarysName) {
  qt::TempRoot root;
  qt::Server server({"--server-name", "pipe"});
  ASSERT_TRUE(server.ready());
  EXPECT_EQ(server.pipe_name(), "\\\\.\\pipe\\qoxpipe");
  Link link(server.pipe_name());
  wire::Registered(link, "NAMED");
  Link local;
  EXPECT_FALSE(local.ok()) << "the default pipe is served too";
}

// A wrong command line ends the server at once (2, or 1 for a pipe name it
// cannot serve) with nothing left behind; the log names what was wrong.
struct UsageCase {
  std::vector<std::string> args;
  int status;
  const char* said;
};

class ServerCommandLine : public ::testing::TestWithParam<UsageCase> {};

TEST_P(ServerCommandLine, ExitStatus) {
  qt::TempRoot root;
  const std::string log = root.path() + "/usage.log";
  qt::Process server(QUONIX_PATH, GetParam().args, log);
  EXPECT_EQ(server.Wait(), GetParam().status) << qt::ReadText(log);
  EXPECT_NE(qt::ReadText(log).find(GetParam().said), std::string::npos) << qt::ReadText(log);
  EXPECT_FALSE(MappingExists(0));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerCommandLine,
    ::testing::Values(
        UsageCase{{"--help"}, 0, ""}, UsageCase{{"--bogus"}, 2, ""},
        UsageCase{{"--cw"}, 2, ""}, UsageCase{{"--cw", "0"}, 2, ""},
        UsageCase{{"--cw", "12x"}, 2, ""}, UsageCase{{"--cw", "4294967296"}, 2, ""},
        UsageCase{{"--sw", "204"}, 2, ""}, UsageCase{{"--mailbox-words", "575"}, 2, ""},
        UsageCase{{"--project", "C:"}, 2, ""}, UsageCase{{"--project", "CC:X"}, 2, ""},
        UsageCase{{"--project", "C:..\\X"}, 2, ""}, UsageCase{{"--server-name", "a\\b"}, 2, ""},
        UsageCase{{"--server-name", "other"}, 1, "\\\\.\\other\\qoxpipe"},
        UsageCase{{"--tcp"}, 2, "--tcp"}, UsageCase{{"--tcp", ""}, 2, "--tcp"},
        UsageCase{{"--tcp", "65536"}, 2, "--tcp"}, UsageCase{{"--tcp", "-1"}, 2, "--tcp"},
        UsageCase{{"--tcp", "127.0.0.1:"}, 2, "--tcp"},
        UsageCase{{"--tcp", "127.0.0.1:http"}, 2, "--tcp"},
        UsageCase{{"--tcp", "a b:1"}, 2, "--tcp"}, UsageCase{{"--tcp", "a/b:1"}, 2, "--tcp"},
        UsageCase{{"--tcp-any", "127.0.0.1:1"}, 2, "--tcp"},
        UsageCase{{"--tcp", "0", "--tcp", "0"}, 2, "--tcp"},
        UsageCase{{"--tcp", "0", "--tcp-any", "0"}, 2, "--tcp"}));

TEST(ServerLog, LinksAndRefusalsAreLogged) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  {
    qt::Server server({}, log);
    ASSERT_TRUE(server.ready());
    Link link;
    wire::Registered(link, "LOGGED");
    ASSERT_EQ(link.Result(wire::WordWrite(1, 0xFFFFFF, {1})), 6u);
    link.Close();
    Link hostile;
    hostile.Send(wire::Builder{}.u32(0xFFFFFFFF).bytes);
    EXPECT_TRUE(hostile.Ended());
    EXPECT_EQ(server.Stop(), 0);
  }
  const std::string text = qt::ReadText(log);
  EXPECT_FALSE(wire::ListeningOn(log).has_value()) << "a TCP listener nobody asked for";
  for (const char* expected : {"link 1 open", "link 1 closed (application 'LOGGED', 2 requests)",
                               "command 100101 refused with 6", "link 2: request refused",
                               "length word 4294967295", "stopped"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  // Without -v, requests that went well are not logged.
  EXPECT_EQ(text.find("command 100000"), std::string::npos) << text;
}

TEST(ServerLog, VerboseLogsEveryRequest) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  {
    qt::Server server({"-v"}, log);
    ASSERT_TRUE(server.ready());
    Link link;
    wire::Registered(link, "TALKY");
    ASSERT_TRUE(link.Send(wire::WordWrite(1, 0, {1}, 1)));
    ASSERT_EQ(link.Result(wire::DataRead(proto::kReadWords, {{1, 0, 1}})), 0u);
    EXPECT_EQ(server.Stop(), 0);
  }
  const std::string text = qt::ReadText(log);
  for (const char* expected : {"command 100000", "command 100101 options 1", "no reply sent",
                               "command 101"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
}

}  // namespace
