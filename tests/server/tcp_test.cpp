// quonix's TCP listener: where it listens.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::TcpLink;

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

// The kernel prints the address in network order read as a native number.
std::string AddressHex(std::uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", htonl(address));
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
  EXPECT_EQ(ListenerAddress(listening->port),
            AddressHex(GetParam().loopback_only ? INADDR_LOOPBACK : INADDR_ANY));
  TcpLink link(listening->port);
  wire::Registered(link, "PORTED");
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

}  // namespace
