// quonix over TCP: the listener and its port line, the same requests as on
// the pipes, hostile clients, links and stops with TCP links open.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <ostream>
#include <sstream>

#include "server/tcp_wire.h"
#include "server/wire.h"
#include "support/server.h"
#include "support/test_support.h"

namespace {

using wire::AreaView;
using wire::Bytes;
using wire::Link;
using wire::TcpLink;

// The port of the TCP listener of a server that logs to `log`, checked.
std::uint16_t TcpPort(const std::string& log) {
  const auto listening = wire::ListeningOn(log);
  EXPECT_TRUE(listening.has_value()) << "no port line in the log:\n" << qt::ReadText(log);
  return listening ? listening->port : 0;
}

bool MappingExists(std::uint32_t area) {
  char name[32];
  std::strcpy(name, wire::kAreaNames[area]);
  void* view = nullptr;
  Handle mapping = 0;
  if (ShmOpen(&view, name, 3, &mapping) != 0) return false;
  ShmClose(view, mapping);
  return true;
}

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

// ---- The listener and its port line ---------------------------------------

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
  EXPECT_NE(qt::ReadText(log).find("and tcp " + std::string(GetParam().logged_address) + ":" +
                                     std::to_string(listening->port)),
            std::string::npos)
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
                      ListenCase{"AnyAddress", {"--tcp", "0.0.0.0:0"}, "0.0.0.0", false}),
    wire::CaseName{});

TEST(ServerTcp, NoTcpListenerUnlessAsked) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({}, log);
  ASSERT_TRUE(server.ready());
  EXPECT_FALSE(wire::ListeningOn(log).has_value()) << qt::ReadText(log);
}

TEST(ServerTcp, PortInUseRefusesToStart) {
  qt::TempRoot root;
  const std::string log = root.path() + "/first.log";
  qt::Server first({"--tcp", "0"}, log);
  ASSERT_TRUE(first.ready());
  const std::uint16_t port = TcpPort(log);
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

struct UsageCase {
  const char* what;
  std::vector<std::string> args;
};

void PrintTo(const UsageCase& c, std::ostream* out) { *out << c.what; }

class ServerTcpCommandLine : public ::testing::TestWithParam<UsageCase> {};

TEST_P(ServerTcpCommandLine, WrongValueIsAUsageError) {
  qt::TempRoot root;
  const std::string log = root.path() + "/usage.log";
  qt::Process server(QUONIX_PATH, GetParam().args, log);
  EXPECT_EQ(server.Wait(), 2) << qt::ReadText(log);
  EXPECT_NE(qt::ReadText(log).find("--tcp"), std::string::npos) << qt::ReadText(log);
  EXPECT_FALSE(MappingExists(0));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ServerTcpCommandLine,
    ::testing::Values(UsageCase{"Missing", {"--tcp"}}, UsageCase{"Empty", {"--tcp", ""}},
                      UsageCase{"PortTooBig", {"--tcp", "65536"}},
                      UsageCase{"Negative", {"--tcp", "-1"}},
                      UsageCase{"NoPortAfterColon", {"--tcp", "127.0.0.1:"}},
                      UsageCase{"NotANumber", {"--tcp", "127.0.0.1:http"}},
                      UsageCase{"BlankInAddress", {"--tcp", "a b:1"}},
                      UsageCase{"SlashInAddress", {"--tcp", "a/b:1"}},
                      UsageCase{"AnyWithAddress", {"--tcp-any", "127.0.0.1:1"}},
                      UsageCase{"Twice", {"--tcp", "0", "--tcp", "0"}},
                      UsageCase{"BothForms", {"--tcp", "0", "--tcp-any", "0"}}),
    wire::CaseName{});

// ---- Every link serves the same requests -----------------------------------

// Area sizes 64, 1000, 96, 300, 40, 50 words, so that the registration reply
// shows the server's own sizes and not some default.
const std::vector<std::string> kParityArgs = {
    "--cb",  "64", "--cw",   "1000", "--sb",      "96",      "--sw",   "300",   "--lgp", "40",
    "--tman", "50", "--host", "PLANT7", "--project", "D:PLANT", "--tcp", "0"};

Bytes U32s(std::initializer_list<std::uint32_t> values) {
  wire::Builder b;
  for (auto v : values) b.u32(v);
  return b.bytes;
}

// One exchange of the script: the request, whether it is answered, and the
// result and payload of its reply.
struct Exchange {
  const char* what;
  Bytes request;
  bool answered;
  std::uint32_t result;
  Bytes payload;
};

std::vector<Exchange> Script() {
  const std::vector<std::uint16_t> masked_data = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6,
                                                  0xA7, 0xA8, 0xA9, 0xAA, 0xAB, 0xAC,
                                                  0xAD, 0xAE, 0xAF, 0xB0};
  const Bytes sizes = U32s({64, 1000, 96, 300, 40, 50});
  return {
      {"registration", wire::Register("PARITY"), true, 0, sizes},
      {"word write", wire::WordWrite(1, 10, {0x1234, 0xBEEF}), true, 0, {}},
      {"word read", wire::DataRead(proto::kReadWords, {{1, 10, 2}}), true, 0,
       {0x34, 0x12, 0xEF, 0xBE}},
      {"bit write", wire::BitWrite(0, 5, {1, 0, 7}), true, 0, {}},
      {"bit read", wire::DataRead(proto::kReadBytes, {{0, 4, 5}}), true, 0, {0, 1, 0, 1, 0}},
      {"masked write", wire::MaskedWrite(1, 20, masked_data, {0x0005}), true, 0, {}},
      {"masked words", wire::DataRead(proto::kReadWords, {{1, 20, 3}}), true, 0,
       {0xA1, 0, 0, 0, 0xA3, 0}},
      {"write without reply", wire::WordWrite(1, 30, {7}, proto::kOptNoReply), false, 0, {}},
      // The next reply must be this read's (its first word says so), not a
      // reply to the write before.
      {"two ranges", wire::DataRead(proto::kReadWords, {{1, 30, 1}, {0, 0, 1}}), true, 0,
       {0x07, 0, 0xA0, 0}},
      {"mailbox write", wire::MailboxWrite("PARITY", 3, {11, 12}), true, 0, {}},
      {"mailbox read", wire::MailboxRead("PARITY", 3, 2), true, 0, {11, 0, 12, 0}},
      {"project mailbox", wire::MailboxRead("RAVOWLD", 0, 4), true, 0,
       {'D', 0, 'P', 'L', 'A', 'N', 'T', 0}},
      {"unknown mailbox", wire::MailboxRead("NOBODY", 0, 1), true, 7, {}},
      {"write past the area", wire::WordWrite(1, 999, {1, 2}), true, 6, {}},
      {"read of area 6", wire::DataRead(proto::kReadWords, {{6, 0, 1}}), true, 6, {}},
      {"unknown command", wire::Record(4242, 0, {1, 2, 3}), true, 1, {}},
      {"registration again", wire::Register("SECOND"), true, 0, sizes},
  };
}

template <class AnyLink>
void RunScript(AnyLink& link) {
  for (const Exchange& step : Script()) {
    SCOPED_TRACE(step.what);
    ASSERT_TRUE(link.Send(step.request));
    if (!step.answered) continue;
    const auto reply = link.ReadReply();
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->first, proto::Get32(step.request.data() + 4)) << "reply to another request";
    EXPECT_EQ(reply->result, step.result);
    EXPECT_EQ(reply->payload, step.payload);
    EXPECT_EQ(reply->length, 8 + step.payload.size());
  }
}

enum class Kind { LocalPipe, HostPipe, Tcp };
struct TransportCase {
  const char* what;
  Kind kind;
};

void PrintTo(const TransportCase& c, std::ostream* out) { *out << c.what; }

class ServerTransports : public ::testing::TestWithParam<TransportCase> {};

TEST_P(ServerTransports, ServeTheSameRequestsTheSameWay) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server(kParityArgs, log);
  ASSERT_TRUE(server.ready());
  AreaView sw(3);
  ASSERT_TRUE(sw.ok());
  const std::uint16_t handshake = sw.Get(204);
  switch (GetParam().kind) {
    case Kind::LocalPipe: {
      Link link;
      ASSERT_TRUE(link.ok());
      RunScript(link);
      break;
    }
    case Kind::HostPipe: {
      Link link("\\\\plant7\\pipe\\qoxsmem");
      ASSERT_TRUE(link.ok());
      RunScript(link);
      break;
    }
    case Kind::Tcp: {
      TcpLink link(TcpPort(log));
      ASSERT_TRUE(link.ok()) << "error " << link.error();
      RunScript(link);
      break;
    }
  }
  // What the script wrote is in the areas every client maps.
  AreaView cb(0), cw(1);
  ASSERT_TRUE(cb.ok() && cw.ok());
  EXPECT_EQ(cw.Get(10), 0x1234u);
  EXPECT_EQ(cw.Get(11), 0xBEEFu);
  EXPECT_EQ(cw.Get(30), 7u);
  EXPECT_EQ(cb.Get(0), 0x00A0u);
  // The link is closed: the handshake word moves as after any close, and the
  // log counts the link's requests, the one without a reply included.
  EXPECT_TRUE(qt::WaitFor([&] { return sw.Get(204) != handshake; }, std::chrono::seconds(20)));
  EXPECT_TRUE(qt::WaitFor(
      [&] {
        return qt::ReadText(log).find("link 1 closed (application 'SECOND', 17 requests)") !=
               std::string::npos;
      },
      std::chrono::seconds(20)))
      << qt::ReadText(log);
}

INSTANTIATE_TEST_SUITE_P(Links, ServerTransports,
                         ::testing::Values(TransportCase{"LocalPipe", Kind::LocalPipe},
                                           TransportCase{"HostPipe", Kind::HostPipe},
                                           TransportCase{"Tcp", Kind::Tcp}),
                         wire::CaseName{});

TEST(ServerTcp, OneStateForEveryKindOfLink) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--host", "PLANT7", "--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  TcpLink tcp(TcpPort(log));
  Link local;
  Link host("\\\\plant7\\pipe\\qoxsmem");
  wire::Registered(tcp, "OVERTCP");
  wire::Registered(local, "LOCAL");
  wire::Registered(host, "HOST");

  // TCP writes, the pipes read; a pipe writes, TCP reads.
  auto write = tcp.Call(wire::WordWrite(1, 500, {0x5A5A}));
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->result, 0u);
  auto post = tcp.Call(wire::MailboxWrite("LOCAL", 0, {42}));
  ASSERT_TRUE(post.has_value());
  EXPECT_EQ(post->result, 0u);
  auto read = host.Call(wire::DataRead(proto::kReadWords, {{1, 500, 1}}));
  ASSERT_TRUE(read.has_value());
  EXPECT_EQ(read->word(0), 0x5A5Au);
  auto mail = local.Call(wire::MailboxRead("LOCAL", 0, 1));
  ASSERT_TRUE(mail.has_value());
  EXPECT_EQ(mail->word(0), 42u);
  auto answer = host.Call(wire::MailboxWrite("OVERTCP", 1, {43}));
  ASSERT_TRUE(answer.has_value());
  EXPECT_EQ(answer->result, 0u);
  auto got = tcp.Call(wire::MailboxRead("OVERTCP", 1, 1));
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->word(0), 43u);
}

// ---- Byte streams: pieces and large records --------------------------------

TEST(ServerTcp, RequestsInPiecesAndLargeTransfers) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  // 512 Ki words: a read of the whole area is a reply of 1 MiB, the most one
  // reply carries.
  qt::Server server({"--cw", "524288", "--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  TcpLink link(TcpPort(log));
  ASSERT_TRUE(link.ok());

  // A request that arrives one byte at a time is still one request.
  for (std::uint8_t byte : wire::Register("PIECES")) ASSERT_TRUE(link.Send({byte}));
  auto reg = link.ReadReply();
  ASSERT_TRUE(reg.has_value());
  EXPECT_EQ(reg->result, 0u);
  EXPECT_EQ(reg->first, proto::kRegister);

  // The library's largest word write and read: 16384 words.
  std::vector<std::uint16_t> words(16384);
  for (std::size_t i = 0; i < words.size(); ++i) words[i] = static_cast<std::uint16_t>(i * 7 + 3);
  auto write = link.Call(wire::WordWrite(1, 1000, words));
  ASSERT_TRUE(write.has_value());
  EXPECT_EQ(write->result, 0u);
  auto read = link.Call(wire::DataRead(proto::kReadWords, {{1, 1000, 16384}}));
  ASSERT_TRUE(read.has_value());
  ASSERT_EQ(read->payload.size(), 32768u);
  for (std::size_t i = 0; i < words.size(); ++i) ASSERT_EQ(read->word(i), words[i]) << i;

  // The whole area in one reply.
  AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  cw.Set(524287, 0xCAFE);
  auto whole = link.Call(wire::DataRead(proto::kReadWords, {{1, 0, 524288}}));
  ASSERT_TRUE(whole.has_value());
  ASSERT_EQ(whole->payload.size(), 1u << 20);
  EXPECT_EQ(whole->word(1000), words[0]);
  EXPECT_EQ(whole->word(524287), 0xCAFEu);
}

// Many requests sent back to back in one piece, crossing the reader's
// read-ahead in every way (small records, a record larger than it, writes
// without a reply in between), are answered one by one, in order.
template <class AnyLink>
void RunBatch(AnyLink& link) {
  Bytes batch = wire::Register("BATCH");
  std::vector<std::uint32_t> answered{proto::kRegister};
  for (std::uint16_t i = 0; i < 100; ++i) {
    const bool silent = i % 3 == 0;
    const Bytes write = wire::WordWrite(1, i, {static_cast<std::uint16_t>(i + 1)},
                                        silent ? proto::kOptNoReply : 0);
    batch.insert(batch.end(), write.begin(), write.end());
    if (!silent) answered.push_back(proto::kWriteWords);
  }
  std::vector<std::uint16_t> big(3000);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint16_t>(0x4000 + i);
  for (const Bytes& more : {wire::WordWrite(1, 200, big),
                            wire::DataRead(proto::kReadWords, {{1, 0, 100}}),
                            wire::DataRead(proto::kReadWords, {{1, 200, 3000}})}) {
    batch.insert(batch.end(), more.begin(), more.end());
    answered.push_back(proto::Get32(more.data() + 4));
  }
  ASSERT_TRUE(link.Send(batch));
  std::vector<wire::Reply> replies;
  for (std::size_t i = 0; i < answered.size(); ++i) {
    auto reply = link.ReadReply();
    ASSERT_TRUE(reply.has_value()) << "reply " << i;
    EXPECT_EQ(reply->first, answered[i]) << "reply " << i;
    EXPECT_EQ(reply->result, 0u) << "reply " << i;
    replies.push_back(*reply);
  }
  const wire::Reply& small = replies[replies.size() - 2];
  ASSERT_EQ(small.payload.size(), 200u);
  for (std::uint16_t i = 0; i < 100; ++i) EXPECT_EQ(small.word(i), i + 1) << i;
  const wire::Reply& large = replies.back();
  ASSERT_EQ(large.payload.size(), 6000u);
  for (std::size_t i = 0; i < big.size(); ++i) ASSERT_EQ(large.word(i), big[i]) << i;
}

class ServerBackToBack : public ::testing::TestWithParam<TransportCase> {};

TEST_P(ServerBackToBack, RequestsInOnePieceAreAnsweredInOrder) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  if (GetParam().kind == Kind::Tcp) {
    TcpLink link(TcpPort(log));
    ASSERT_TRUE(link.ok());
    RunBatch(link);
  } else {
    Link link;
    ASSERT_TRUE(link.ok());
    RunBatch(link);
  }
}

INSTANTIATE_TEST_SUITE_P(Links, ServerBackToBack,
                         ::testing::Values(TransportCase{"LocalPipe", Kind::LocalPipe},
                                           TransportCase{"Tcp", Kind::Tcp}),
                         wire::CaseName{});

// ---- Hostile and vanishing clients -----------------------------------------

class ServerTcpHostileLength : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(ServerTcpHostileLength, EndsThatLinkOnly) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  const std::uint16_t port = TcpPort(log);
  TcpLink bystander(port);
  wire::Registered(bystander, "CALM");
  Link piped;
  wire::Registered(piped, "PIPED");
  const long before = qt::RssKiB(server.pid());
  ASSERT_GT(before, 0);

  TcpLink hostile(port);
  ASSERT_TRUE(hostile.ok());
  ASSERT_TRUE(hostile.Send(wire::Builder{}.u32(GetParam()).u32(proto::kWriteWords).u32(0).bytes));
  EXPECT_TRUE(hostile.Ended()) << "the link with length " << GetParam() << " was not ended";

  // Others are served as before, over TCP and over the pipe.
  auto over_tcp = bystander.Call(wire::WordWrite(1, 0, {5}));
  ASSERT_TRUE(over_tcp.has_value());
  EXPECT_EQ(over_tcp->result, 0u);
  auto over_pipe = piped.Call(wire::WordWrite(1, 1, {6}));
  ASSERT_TRUE(over_pipe.has_value());
  EXPECT_EQ(over_pipe->result, 0u);
  TcpLink newcomer(port);
  wire::Registered(newcomer, "NEW");
  EXPECT_TRUE(server.running());
  EXPECT_LT(qt::RssKiB(server.pid()), before + 8 * 1024);
  EXPECT_NE(qt::ReadText(log).find("length word " + std::to_string(GetParam())),
            std::string::npos)
      << qt::ReadText(log);
}

INSTANTIATE_TEST_SUITE_P(Lengths, ServerTcpHostileLength,
                         ::testing::Values(0u, 7u, (1u << 20) + 65, 0x7FFFFFFFu, 0xFFFFFFFFu));

TEST(ServerTcp, ClientGoneInTheMiddleOfARequestIsALinkClose) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  AreaView sw(3);
  ASSERT_TRUE(sw.ok());
  const std::uint16_t before = sw.Get(204);
  {
    TcpLink link(TcpPort(log));
    wire::Registered(link, "HALF");
    const Bytes write = wire::WordWrite(1, 0, {1, 2, 3, 4});
    ASSERT_TRUE(link.Send(Bytes(write.begin(), write.begin() + 17)));
  }
  EXPECT_TRUE(qt::WaitFor([&] { return sw.Get(204) != before; }, std::chrono::seconds(20)));
  AreaView cw(1);
  ASSERT_TRUE(cw.ok());
  EXPECT_EQ(cw.Get(0), 0u) << "half a request was acted on";
  TcpLink next(TcpPort(log));
  wire::Registered(next, "NEXT");
}

TEST(ServerTcp, PipeAndTcpLinksCountAgainstOneLimit) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--max-links", "2", "--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  const std::uint16_t port = TcpPort(log);
  Link piped;
  wire::Registered(piped, "PIPED");
  TcpLink first(port);
  wire::Registered(first, "FIRST");
  TcpLink third(port);
  ASSERT_TRUE(third.ok());
  EXPECT_TRUE(third.Ended()) << "a third link was served";
  auto reply = first.Call(wire::WordWrite(1, 0, {1}));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->result, 0u);
  // Room again once the pipe link closes.
  piped.Close();
  EXPECT_TRUE(qt::WaitFor([port] {
    TcpLink again(port);
    if (!again.ok()) return false;
    auto r = again.Call(wire::Register("AGAIN"));
    return r.has_value() && r->result == 0;
  }, std::chrono::seconds(20)));
}

// ---- Stopping with TCP links open ------------------------------------------

TEST(ServerTcp, SigtermStopsCleanlyWithTcpLinksOpen) {
  qt::TempRoot root;
  const std::string log = root.path() + "/server.log";
  qt::Server server({"--tcp", "0"}, log);
  ASSERT_TRUE(server.ready());
  const std::uint16_t port = TcpPort(log);
  // One idle link, one in the middle of a request, one whose 16 MiB of
  // replies it never reads, so the server's thread is stuck in a send.
  TcpLink idle(port);
  wire::Registered(idle, "IDLE");
  TcpLink half(port);
  wire::Registered(half, "HALF");
  ASSERT_TRUE(half.Send(wire::Builder{}.u32(100).u32(proto::kWriteWords).bytes));
  TcpLink stuck(port);
  wire::Registered(stuck, "STUCK");
  for (int i = 0; i < 256; ++i)
    ASSERT_TRUE(stuck.Send(wire::DataRead(proto::kReadWords, {{1, 0, 32768}})));

  EXPECT_EQ(server.Stop(), 0);
  EXPECT_TRUE(idle.Ended());
  EXPECT_TRUE(half.Ended());
  EXPECT_TRUE(stuck.Ended());
  for (std::uint32_t area = 0; area < 6; ++area) EXPECT_FALSE(MappingExists(area)) << area;
  TcpLink late(port);
  EXPECT_FALSE(late.ok()) << "the port still takes links";
  const std::string text = qt::ReadText(log);
  EXPECT_NE(text.find("stopped"), std::string::npos) << text;
}

}  // namespace
