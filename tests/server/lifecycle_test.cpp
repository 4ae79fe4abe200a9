// Start, stop, the window, the close handshake and the command line of quonix.
#include <gtest/gtest.h>

#include <csignal>
#include <optional>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::AreaView;
using wire::Link;
using wire::MappingExists;
using qt::ServerWindowShown;

// The window comes once the pipe is served and goes with the objects; no
// TCP listener unless asked for.
TEST(ServerLifecycle, SigtermAndSigintEndItCleanly) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    qt::TempRoot root;
    EXPECT_FALSE(ServerWindowShown());
    const std::string log = root.path() + "/server.log";
    qt::Process server(QUONIX_PATH, {}, log);
    ASSERT_TRUE(qt::WaitFor(
        [] { return win::WaitNamedPipeA("\\\\.\\pipe\\qoxsmem", 0) != 0 && ServerWindowShown(); },
        std::chrono::seconds(20)));
    for (std::uint32_t area = 0; area < 6; ++area) EXPECT_TRUE(MappingExists(area)) << area;
    EXPECT_FALSE(wire::ListeningOn(log).has_value());
    server.Signal(signal);
    EXPECT_EQ(server.Wait(), 0);
    for (std::uint32_t area = 0; area < 6; ++area) EXPECT_FALSE(MappingExists(area)) << area;
    EXPECT_FALSE(ServerWindowShown());
  }
}

// A second server in the same root, or on the same port from a root of its
// own, refuses to start and leaves nothing behind; the first is untouched.
TEST(ServerLifecycle, SecondServerRefusesToStart) {
  for (const bool same_root : {true, false}) {
    SCOPED_TRACE(same_root ? "same root" : "same port");
    qt::TempRoot root;
    const std::string log = root.path() + "/first.log";
    qt::Server first({"--tcp", "0"}, log);
    ASSERT_TRUE(first.ready());
    const std::string port = std::to_string(wire::TcpPort(log));
    std::optional<qt::TempRoot> other;
    if (!same_root) other.emplace();
    qt::Process second(QUONIX_PATH, {"--tcp", same_root ? "0" : port}, root.path() + "/second.log");
    EXPECT_EQ(second.Wait(), 1) << qt::ReadText(root.path() + "/second.log");
    if (other) {
      EXPECT_FALSE(MappingExists(0)) << "objects left behind";
    }
    other.reset();
    Link link;
    wire::Registered(link, "FIRST");
    EXPECT_TRUE(MappingExists(5));
  }
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

// A wrong command line ends the server at once (2, or 1 for a pipe name it
// cannot serve) with nothing left behind.
struct UsageCase {
  std::vector<std::string> args;
  int status;
};

class ServerCommandLine : public ::testing::TestWithParam<UsageCase> {};

TEST_P(ServerCommandLine, ExitStatus) {
  qt::TempRoot root;
  const std::string log = root.path() + "/usage.log";
  qt::Process server(QUONIX_PATH, GetParam().args, log);
  EXPECT_EQ(server.Wait(), GetParam().status) << qt::ReadText(log);
  EXPECT_FALSE(MappingExists(0));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerCommandLine,
    ::testing::Values(
        UsageCase{{"--help"}, 0}, UsageCase{{"--bogus"}, 2},
        UsageCase{{"--cw"}, 2}, UsageCase{{"--cw", "0"}, 2},
        UsageCase{{"--cw", "12x"}, 2}, UsageCase{{"--cw", "4294967296"}, 2},
        UsageCase{{"--sw", "204"}, 2}, UsageCase{{"--mailbox-words", "575"}, 2},
        UsageCase{{"--project", "C:"}, 2}, UsageCase{{"--project", "CC:X"}, 2},
        UsageCase{{"--project", "C:..\\X"}, 2}, UsageCase{{"--server-name", "a\\b"}, 2},
        UsageCase{{"--server-name", "other"}, 1},
        UsageCase{{"--tcp"}, 2}, UsageCase{{"--tcp", ""}, 2},
        UsageCase{{"--tcp", "65536"}, 2}, UsageCase{{"--tcp", "-1"}, 2},
        UsageCase{{"--tcp", "127.0.0.1:"}, 2},
        UsageCase{{"--tcp", "127.0.0.1:http"}, 2},
        UsageCase{{"--tcp", "a b:1"}, 2}, UsageCase{{"--tcp", "a/b:1"}, 2},
        UsageCase{{"--tcp-any", "127.0.0.1:1"}, 2},
        UsageCase{{"--tcp", "0", "--tcp", "0"}, 2},
        UsageCase{{"--tcp", "0", "--tcp-any", "0"}, 2}));

}  // namespace
