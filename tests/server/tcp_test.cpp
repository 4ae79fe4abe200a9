// quonix's TCP listener: where it listens.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <optional>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::TcpLink;

// The address the socket that listens on `port` is bound to, in host order
// (/proc/net/tcp prints it in network order read as a native number).
std::optional<std::uint32_t> ListenerAddress(std::uint16_t port) {
  std::ifstream table("/proc/net/tcp");
  for (std::string line; std::getline(table, line);) {
    unsigned address = 0, local_port = 0, state = 0;
    if (std::sscanf(line.c_str(), " %*u: %8X:%4X %*X:%*X %X", &address, &local_port, &state) == 3 &&
        local_port == port && state == 0x0A)
      return ntohl(address);
  }
  return std::nullopt;
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
  wire::Served s(GetParam().args);
  ASSERT_TRUE(s.server.ready());
  const auto listening = wire::ListeningOn(s.log);
  ASSERT_TRUE(listening.has_value()) << qt::ReadText(s.log);
  EXPECT_EQ(listening->address, GetParam().logged_address);
  EXPECT_NE(listening->port, 0u) << "the chosen port, not the asked-for 0";
  EXPECT_EQ(ListenerAddress(listening->port),
            GetParam().loopback_only ? INADDR_LOOPBACK : INADDR_ANY);
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
