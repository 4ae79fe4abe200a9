// quonix's answers to every kind of request: one script of exchanges, in
// order on one link of each kind, so a reply too many or too few fails the
// rows after it.
#include <gtest/gtest.h>

#include "server/tcp_wire.h"
#include "support/server.h"

namespace {

using wire::AreaView;
using wire::Bytes;
using wire::Link;

// Sizes no default has (one in the NAME=VALUE form); room for four mailboxes
// (RAVOWLD and three).
const std::vector<std::string> kArgs = {
    "--cb", "64", "--cw=1000", "--sb", "96", "--sw", "300", "--lgp", "40", "--tman", "50",
    "--host", "PLANT7", "--project", "D:PLANT_7", "--mailbox-words", "1000",
    "--max-mailboxes", "4", "--tcp", "0"};

using qt::Cat;
using qt::Le32;
Bytes W(const std::vector<std::uint16_t>& words) { return wire::Builder{}.words(words).bytes; }
Bytes Words(std::uint32_t command, std::uint32_t options, std::initializer_list<std::uint32_t> head,
            const Bytes& data = {}) {
  return wire::Record(command, options, Cat({Le32(head), data}));
}
Bytes ReadW(std::vector<wire::Range> ranges) { return wire::DataRead(proto::kReadWords, ranges); }
Bytes ReadB(std::vector<wire::Range> ranges) { return wire::DataRead(proto::kReadBytes, ranges); }

struct Exchange {
  const char* what;
  Bytes request;
  bool answered;
  std::uint32_t result;
  Bytes payload;
};

std::vector<Exchange> Script() {
  constexpr std::uint32_t R = proto::kRegister, WW = proto::kWriteWords,
                          WB = proto::kWriteBytes, WM = proto::kWriteMasked;
  const Bytes sizes = Le32({64, 1000, 96, 300, 40, 50});
  const auto ff = [](std::size_t n) { return std::vector<std::uint16_t>(n, 0xFFFF); };
  std::vector<std::uint16_t> masked(32), masked_result(32, 0xFFFF);
  for (std::uint16_t j = 0; j < 32; ++j) masked[j] = static_cast<std::uint16_t>(0xA000 + j);
  for (std::size_t j : {0u, 15u, 16u, 31u}) masked_result[j] = masked[j];
  Bytes sb_bits(96 * 16, 0);
  for (std::size_t i = sb_bits.size() - 16; i < sb_bits.size(); ++i) sb_bits[i] = 1;
  return {
      // Registration: the reply carries the six sizes; the mailbox table is full after four.
      {"registration", wire::Register("PARITY", 1, 2), true, 0, sizes},
      {"registration without body", wire::Record(R, 0, {}), true, 6, {}},
      {"registration of 15 bytes", wire::Record(R, 0, Bytes(15, 'A')), true, 6, {}},
      {"registration of 17 bytes", wire::Record(R, 0, Bytes(17, 'A')), true, 6, {}},
      {"eight-character name", wire::Register("EIGHTCHR"), true, 0, sizes},
      {"name ends at its terminator", wire::Record(R, 0, Cat({Le32({0, 0}), {'F', 'R', 'E', 'S', 'H', 0, 'x', 'y'}})), true, 0, sizes},
      {"mailbox table full", wire::Register("FIFTH"), true, 8, {}},
      {"known name again", wire::Register("EIGHTCHR"), true, 0, sizes},
      {"RAVOWLD registers", wire::Register("RAVOWLD"), true, 0, sizes},
      {"unknown command 99", wire::Record(99, 0, Bytes(20, 0xAB)), true, 1, {}},
      {"unknown command 102", wire::Record(102, 0, Bytes(20, 0xAB)), true, 1, {}},
      {"unknown command 300105", wire::Record(300105, 0, Bytes(20, 0xAB)), true, 1, {}},
      {"unknown command ffffffff", wire::Record(0xFFFFFFFF, 0, {1, 2, 3}), true, 1, {}},
      // Refused writes, none of which may change anything (checked below).
      {"words past the end", wire::WordWrite(1, 999, ff(2)), true, 6, {}},
      {"words at the end", wire::WordWrite(1, 1000, ff(1)), true, 6, {}},
      {"words count 0", wire::WordWrite(1, 0, {}), true, 6, {}},
      {"words to area 6", wire::WordWrite(6, 0, ff(1)), true, 6, {}},
      {"words offset wraps", wire::WordWrite(1, 0xFFFFFFFF, ff(2)), true, 6, {}},
      {"words count 3 with 4", Words(WW, 0, {1, 0, 3}, W(ff(4))), true, 6, {}},
      {"words body shorter than its head", Words(WW, 0, {1}), true, 6, {}},
      {"bits past the end", wire::BitWrite(0, 1023, {1, 1}), true, 6, {}},
      {"bits at the end", wire::BitWrite(0, 1024, {1}), true, 6, {}},
      {"bits count 0", wire::BitWrite(0, 0, {}), true, 6, {}},
      {"bits to area 6", wire::BitWrite(6, 0, {1}), true, 6, {}},
      {"bits offset wraps", wire::BitWrite(0, 0xFFFFFFFF, {1, 1}), true, 6, {}},
      {"bits count 2 with 1", Words(WB, 0, {0, 0, 2}, {1}), true, 6, {}},
      {"masked bit one past", wire::MaskedWrite(0, 1024 - 15, ff(1), ff(1)), true, 6, {}},
      {"masked bit odd total", wire::MaskedWrite(0, 0, ff(2), ff(1)), true, 6, {}},
      {"masked bit nothing", wire::MaskedWrite(0, 0, {}, {}), true, 6, {}},
      {"masked words one past", wire::MaskedWrite(1, 1000 - 15, ff(16), ff(1)), true, 6, {}},
      {"masked words not 17s", wire::MaskedWrite(1, 0, ff(16), ff(2)), true, 6, {}},
      {"masked words in bit layout", wire::MaskedWrite(1, 0, ff(1), ff(1)), true, 6, {}},
      {"masked area 6", wire::MaskedWrite(6, 0, ff(16), ff(1)), true, 6, {}},
      {"masked offset wraps", wire::MaskedWrite(1, 0xFFFFFFF0u, ff(16), ff(1)), true, 6, {}},
      {"masked total 34 with 17", Words(WM, 0, {1, 0, 34}, W(ff(17))), true, 6, {}},
      {"mailbox one past the end", wire::MailboxWrite("PARITY", 999, ff(2)), true, 6, {}},
      {"mailbox index at the end", wire::MailboxWrite("PARITY", 1000, ff(1)), true, 6, {}},
      {"mailbox count 0", wire::MailboxWrite("PARITY", 0, {}), true, 6, {}},
      {"mailbox index wraps", wire::MailboxWrite("PARITY", 0xFFFFFFFF, ff(2)), true, 6, {}},
      {"mailbox count 3 with 2", wire::Record(proto::kMailboxWrite, 0, Cat({wire::Builder{}.name("PARITY").u32(0).u32(3).bytes, W(ff(2))})), true, 6, {}},
      {"mailbox count 1 with 3", wire::Record(proto::kMailboxWrite, 0, Cat({wire::Builder{}.name("PARITY").u32(0).u32(1).bytes, W(ff(3))})), true, 6, {}},
      {"mailbox write unknown", wire::MailboxWrite("NOBODY", 0, {1}), true, 7, {}},
      {"silent refused write", wire::WordWrite(1, 9999, {42}, proto::kOptNoReply), false, 0, {}},
      {"area 0 untouched", ReadW({{0, 0, 64}}), true, 0, Bytes(128, 0)},
      {"area 1 untouched", ReadW({{1, 0, 1000}}), true, 0, Bytes(2000, 0)},
      {"mailbox untouched", wire::MailboxRead("PARITY", 0, 1000), true, 0, Bytes(2000, 0)},
      // Refused reads.
      {"read of no ranges", ReadW({}), true, 6, {}},
      {"read past the end", ReadW({{1, 999, 2}}), true, 6, {}},
      {"second range out", ReadW({{1, 0, 1}, {0, 64, 1}}), true, 6, {}},
      {"all counts 0", ReadW({{1, 0, 0}}), true, 6, {}},
      {"read of area 6", ReadW({{6, 0, 1}}), true, 6, {}},
      {"read offset wraps", ReadW({{1, 0xFFFFFFFF, 2}}), true, 6, {}},
      {"bits read past the end", ReadB({{0, 1023, 2}}), true, 6, {}},
      {"bits read wraps", ReadB({{0, 0xFFFFFFF0u, 0x20}}), true, 6, {}},
      {"says 3 ranges, carries 1", wire::Record(proto::kReadWords, 0, wire::Builder{}.u16(3).u16(0).u32(1).u32(0).u32(1).bytes), true, 6, {}},
      {"bit read without body", wire::Record(proto::kReadBytes, 0, {}), true, 6, {}},
      {"mailbox read one past", wire::MailboxRead("PARITY", 999, 2), true, 6, {}},
      {"mailbox read at the end", wire::MailboxRead("PARITY", 1000, 1), true, 6, {}},
      {"mailbox read count 0", wire::MailboxRead("PARITY", 0, 0), true, 6, {}},
      {"mailbox read count wraps", wire::MailboxRead("PARITY", 10, 0xFFFFFFF8u), true, 6, {}},
      {"mailbox before registration", wire::MailboxRead("NOBODY", 0, 1), true, 7, {}},
      {"name one character short", wire::MailboxRead("EIGHTCH", 0, 1), true, 7, {}},
      // Writes and what reads give back.
      {"word write", wire::WordWrite(1, 100, {1, 0xFFFF, 0x8001}), true, 0, {}},
      {"word write to sw", wire::WordWrite(3, 0, {0x8000}), true, 0, {}},
      {"last word", wire::WordWrite(1, 999, {0x4242}), true, 0, {}},
      {"words around", ReadW({{1, 99, 5}}), true, 0, W({0, 1, 0xFFFF, 0x8001, 0})},
      {"ranges in order", ReadW({{1, 100, 2}, {3, 0, 1}, {1, 999, 1}, {3, 299, 1}}), true, 0, W({1, 0xFFFF, 0x8000, 0x4242, 0xCAFE})},
      {"bit preset", wire::WordWrite(0, 0, {0x8000}), true, 0, {}},
      {"bits across a word", wire::BitWrite(0, 15, {0x00, 0x80, 0x01}), true, 0, {}},
      {"last bit", wire::BitWrite(0, 1023, {1}), true, 0, {}},
      {"bits as words", ReadW({{0, 0, 2}, {0, 63, 1}}), true, 0, W({0, 3, 0x8000})},
      {"bits one byte each", ReadB({{0, 14, 5}, {0, 1023, 1}}), true, 0, {0, 0, 1, 1, 0, 1}},
      {"silent word write", wire::WordWrite(1, 5, {42}, proto::kOptNoReply), false, 0, {}},
      {"silent bit write", wire::BitWrite(0, 3, {1}, 0x3), false, 0, {}},
      {"read after silent writes", ReadW({{1, 5, 1}, {0, 0, 1}}), true, 0, W({42, 0x0008})},
      {"read with options bit 0", Words(proto::kReadWords, 1, {1, 1, 5, 1}), true, 0, W({42})},
      {"bit area preset", wire::WordWrite(0, 2, {0xFFFF, 0, 0xFFFF}), true, 0, {}},
      {"masked bits", wire::MaskedWrite(0, 40, {0x0005, 0xF000}, {0x000F, 0xF000}), true, 0, {}},
      {"masked bits cleared", wire::MaskedWrite(0, 64, {0, 0}, {0x00F0, 0}), true, 0, {}},
      {"flagged bits only", ReadW({{0, 2, 3}}), true, 0, W({0xF5FF, 0, 0xFF0F})},
      {"word area preset", wire::WordWrite(1, 10, ff(32)), true, 0, {}},
      {"masked words", wire::MaskedWrite(1, 10, masked, {0x8001, 0x8001}), true, 0, {}},
      {"flagged words only", ReadW({{1, 10, 32}}), true, 0, W(masked_result)},
      {"masked last bit block", wire::MaskedWrite(0, 1024 - 16, ff(1), ff(1)), true, 0, {}},
      {"masked last word block", wire::MaskedWrite(1, 1000 - 16, ff(16), ff(1)), true, 0, {}},
      {"sb is a bit area", wire::MaskedWrite(2, 96 * 16 - 16, ff(1), ff(1)), true, 0, {}},
      {"whole sb bit by bit", ReadB({{2, 0, 96 * 16}}), true, 0, sb_bits},
      {"tman is a word area", wire::MaskedWrite(5, 50 - 32, ff(32), ff(2)), true, 0, {}},
      {"masked whole bit area", wire::MaskedWrite(0, 0, ff(64), ff(64)), true, 0, {}},
      {"whole bit area set", ReadW({{0, 0, 64}}), true, 0, W(ff(64))},
      // Mailboxes.
      {"mailbox write", wire::MailboxWrite("PARITY", 10, {0x0102, 0xFFFF, 0x8000}), true, 0, {}},
      {"mailbox read", wire::MailboxRead("PARITY", 9, 5), true, 0, W({0, 0x0102, 0xFFFF, 0x8000, 0})},
      {"reading consumes nothing", wire::MailboxRead("PARITY", 10, 1), true, 0, W({0x0102})},
      {"mailbox last word", wire::MailboxWrite("PARITY", 999, {0x5A5A}), true, 0, {}},
      {"silent mailbox write", wire::MailboxWrite("PARITY", 4, {0xBEEF}, proto::kOptNoReply), false, 0, {}},
      {"silent refused mailbox write", wire::MailboxWrite("NOBODY", 4, {1}, proto::kOptNoReply), false, 0, {}},
      {"mailbox ends", wire::MailboxRead("PARITY", 998, 2), true, 0, W({0, 0x5A5A})},
      {"after the silent one", wire::MailboxRead("PARITY", 4, 1), true, 0, W({0xBEEF})},
      {"mailbox of an eight-character name", wire::MailboxRead("EIGHTCHR", 0, 1), true, 0, W({0})},
      {"mailbox of the cut name", wire::MailboxRead("FRESH", 0, 1), true, 0, W({0})},
      {"project mailbox", wire::MailboxRead("RAVOWLD", 0, 8), true, 0, Cat({{'D', 0, 'P', 'L', 'A', 'N', 'T', '_', '7', 0}, Bytes(6, 0)})},
      {"registration again", wire::Register("PARITY"), true, 0, sizes},
  };
}

class ServerExchanges : public ::testing::TestWithParam<wire::Kind> {};

TEST_P(ServerExchanges, EveryLinkAnswersTheScript) {
  wire::Served s(kArgs);
  ASSERT_TRUE(s.server.ready());
  AreaView cw(1), sw(3);
  ASSERT_TRUE(cw.ok() && sw.ok());
  sw.Set(299, 0xCAFE);
  const std::uint16_t handshake = sw.Get(204);
  const auto script = Script();
  wire::OnLink(GetParam(), s.port, [&](auto& link) {
    ASSERT_TRUE(link.ok()) << "error " << link.error();
    for (const Exchange& step : script) {
      SCOPED_TRACE(step.what);
      ASSERT_TRUE(link.Send(step.request));
      if (!step.answered) continue;
      const auto reply = link.ReadReply();
      ASSERT_TRUE(reply.has_value());
      ASSERT_EQ(reply->first, proto::Get32(step.request.data() + 4)) << "reply to another request";
      EXPECT_EQ(reply->result, step.result);
      EXPECT_EQ(reply->payload, step.payload);
      EXPECT_EQ(reply->length, 8 + step.payload.size());
    }
  });
  EXPECT_EQ((std::vector<std::uint16_t>{cw.Get(100), cw.Get(102), cw.Get(10), cw.Get(999), sw.Get(0)}),
            (std::vector<std::uint16_t>{1, 0x8001, 0xA000, 0xFFFF, 0x8000}));
  // The close moves the handshake word; the mailbox outlives the link.
  EXPECT_TRUE(qt::WaitFor([&] { return sw.Get(204) != handshake; }, std::chrono::seconds(20)));
  Link later;
  const auto mail = later.Call(wire::MailboxRead("PARITY", 10, 1));
  EXPECT_TRUE(mail && mail->result == 0 && mail->payload == W({0x0102}));
}

INSTANTIATE_TEST_SUITE_P(Links, ServerExchanges,
                         ::testing::Values(wire::Kind::Pipe, wire::Kind::HostPipe, wire::Kind::Tcp),
                         wire::KindName);

}  // namespace
