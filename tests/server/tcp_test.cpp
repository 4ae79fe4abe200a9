// quonix over TCP: the listener and its port line.  (One state shared by
// every kind of link: the exchanges script.)
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::TcpLink;
using wire::MappingExists;

// The local address (as /proc/net/tcp prints it) of the socket that listens
// on `port`; "" when there is none.
std::string ListenerAddress(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  char wanted_port[8];
  std::snprintf(wanted_port, sizeof wanted_port, "%04X", port);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state;
    fields >> slot >> local >> remote >> state;
    const auto colon = local.find(':');
    if (state == "0A" && colon != std::string::npos && local.substr(colon + 1) == wanted_port)
      return local.substr(0, colon);
  }
  return "";
}

// The kernel prints the address as one number in the machine's byte order.
std::string AddressHex(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t value = 0;
  std::memcpy(&value, bytes, 4);
  char text[16];
  std::snprintf(text, sizeof text, "%08X", value);
  return text;
}

struct ListenCase {
  const char* what;
  std::vector<std::string> args;
  const char* logged_address;
  bool loopback_only;
};

void PrintTo(const ListenCase& c, std::ostream* out) { *out << c.what; }

class ServerTcpListen : public ::testing::TestWithParam<ListenCase> {};

TEST_P(ServerTcpListen, PortLineNamesWhereItListens) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server(GetParam().args, log);
  ASSERT_TRUE(server.ready());
  const auto listening = wire::ListeningOn(log);
  ASSERT_TRUE(listening.has_value()) << qt::ReadText(log);
  EXPECT_EQ(listening->address, GetParam().logged_address);
  EXPECT_NE(listening->port, 0u) << "the chosen port, not the asked-for 0";
  // Loopback unless told otherwise.
  EXPECT_EQ(ListenerAddress(listening->port),
            GetParam().loopback_only ? AddressHex(127, 0, 0, 1) : AddressHex(0, 0, 0, 0));
  TcpLink link(listening->port);
  wire::Registered(link, "PORTED");
  // The serving line comes once the window is open, which is what ready()
  // waits for: it may follow a moment later.
  const std::string serving =
      "and tcp " + std::string(GetParam().logged_address) + ":" + std::to_string(listening->port);
  EXPECT_TRUE(qt::WaitFor([&] { return qt::ReadText(log).find(serving) != std::string::npos; },
                          std::chrono::seconds(10)))
      << "the serving line names the listener\n" << qt::ReadText(log);
  // Listening beyond this machine is said out loud.
  EXPECT_EQ(qt::ReadText(log).find("not loopback") != std::string::npos,
            !GetParam().loopback_only)
      << qt::ReadText(log);
}

INSTANTIATE_TEST_SUITE_P(
    Forms, ServerTcpListen,
    ::testing::Values(ListenCase{"PortOnly", {"--tcp", "0"}, "127.0.0.1", true},
                      ListenCase{"ColonPort", {"--tcp", ":0"}, "127.0.0.1", true},
                      ListenCase{"Equals", {"--tcp=0"}, "127.0.0.1", true},
                      ListenCase{"Loopback", {"--tcp", "127.0.0.1:0"}, "127.0.0.1", true},
                      ListenCase{"LocalName", {"--tcp", "localhost:0"}, "localhost", true},
                      ListenCase{"AnyOption", {"--tcp-any", "0"}, "0.0.0.0", false},
                      ListenCase{"AnyAddress", {"--tcp", "0.0.0.0:0"}, "0.0.0.0", false}));

TEST(ServerTcp, PortInUseRefusesToStart) {
  qt::TempRoot root;
  const std::string log = root.path() + "/first.log";
  qt::Server first({"--tcp", "0"}, log);
  ASSERT_TRUE(first.ready());
  const std::uint16_t port = wire::TcpPort(log);
  ASSERT_NE(port, 0u);
  qt::TempRoot other;  // a root of its own, so only the port is in the way
  const std::string second_log = other.path() + "/second.log";
  qt::Process second(QUONIX_PATH, {"--tcp", std::to_string(port)}, second_log);
  EXPECT_EQ(second.Wait(), 1);
  // The reason in words, not only its number.
  EXPECT_NE(qt::ReadText(second_log).find("cannot listen on tcp 127.0.0.1:" +
                                            std::to_string(port) + ": address already in use"),
            std::string::npos)
      << qt::ReadText(second_log);
  EXPECT_FALSE(MappingExists(0)) << "objects left behind";
}

}  // namespace
