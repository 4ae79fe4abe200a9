// Servers that break the protocol: every request returns promptly, nothing
// is written past a buffer, and the other connections go on working.
#include <gtest/gtest.h>

#include <vector>

#include "support/family.h"

namespace {

using namespace qt;

using HostileTest = LibraryTest;

enum class Call { Read, Write };

TEST_F(HostileTest, BrokenRepliesAffectOnlyTheirConnection) {
  struct Case {
    const char* what;
    Call call;
    Bytes reply;
    std::uint32_t result;
    std::int32_t detail;  // as the exported function leaves it
    std::uint32_t probe_result;  // the next request on the same connection
    std::int32_t probe_detail;
  };
  const Bytes junk(64 * 1024, 0xFF);
  // (The families' tables have the replies that stop early.)
  const std::vector<Case> cases = {
      {"read: announces more than asked", Call::Read, Cat({Le32({8 + 4096, 0, 0}), Bytes(4096, 0xAB)}), 0, 0, 0, 0},
      {"read: sends more than it announces", Call::Read, Cat({Reply(0, Bytes(6, 1)), junk}), 0, 0, 102, 1107},
      {"write: sends more than it announces", Call::Write, Cat({Reply(0), junk}), 0, 0, 102, 1107},
  };
  for (const Wire wire : {Wire::Pipe, Wire::Tcp}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(testing::Message() << WireName(wire) << ": " << c.what);
      Peer hostile(wire, kHostPipe);
      Peer good(Wire::Tcp);
      const Bytes reply = c.reply;
      hostile.Serve([reply](PeerConn& conn) {
        if (conn.ReadRequest().empty() || !conn.Send(reply)) return;
        const Bytes probe = conn.ReadRequest();  // what the probe's exchange finds
        if (!probe.empty()) conn.Send(Reply(0));
        conn.WaitFinish();
      });
      good.Serve(Answering());
      Session bad(hostile), fine(good);
      ASSERT_TRUE(bad.ok() && fine.ok());
      std::vector<std::uint16_t> words(4, 0xEEEE);
      const auto start = Clock::now();
      const std::uint32_t result = c.call == Call::Read
                                       ? ReadWords(wire, 1, 100, 3, words.data(), bad.id())
                                       : WriteWords(wire, 1, 100, 3, kProbeWords, 0, bad.id());
      EXPECT_LT(Clock::now() - start, 5s);
      EXPECT_EQ(result, c.result);
      EXPECT_EQ(QNA_InternalErr, c.detail);
      EXPECT_EQ(words[3], 0xEEEE);  // never past the buffer
      EXPECT_EQ(Probe(wire, bad.id()), c.probe_result);
      EXPECT_EQ(QNA_InternalErr, c.probe_detail);

      std::uint16_t other[2] = {};
      EXPECT_EQ(QNA_ReadS(1, 8, 2, other, 0, fine.id()), QNA_OK);
      EXPECT_EQ(other[1], WordAt(9));
    }
  }
}

}  // namespace
