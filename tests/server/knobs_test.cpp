// quonix's fault knobs as a client sees them on the wire (docs/server.md):
// eight word writes on one link, each row a knob.  (The library's answer to
// each such reply is its families' tables.)
#include <gtest/gtest.h>

#include "server/wire.h"
#include "support/server.h"

namespace {

using wire::kNoReply;

struct KnobRow {
  const char* name;
  std::vector<std::string> args;
  std::vector<std::uint32_t> results;  // kNoReply: the link ended there
  std::vector<std::uint32_t> lengths;  // of the replies' length words
  std::chrono::milliseconds least{0};  // each reply comes no sooner
};

TEST(ServerKnobs, EachDoesWhatItSays) {
  const std::vector<std::uint32_t> eights(8, 8);
  const KnobRow rows[] = {
      {"refused unread", {"--fault-refuse", "4", "--fault-refuse-result", "77"},
       {0, 0, 0, 77, 0, 0, 0, 77}, eights},
      {"longer and says so", {"--fault-wrong-length", "3"}, std::vector<std::uint32_t>(8, 0),
       {8, 8, 10, 8, 8, 10, 8, 8}},
      {"link ends", {"--fault-close-after", "6"}, {0, 0, 0, 0, 0, kNoReply}, eights},
      {"late", {"--fault-delay", "300"}, {0, 0}, eights, std::chrono::milliseconds(300)},
  };
  for (const KnobRow& row : rows) {
    SCOPED_TRACE(row.name);
    qt::TempRoot root;
    qt::Server server(row.args);
    ASSERT_TRUE(server.ready());
    wire::AreaView cw(1);
    ASSERT_TRUE(cw.ok());
    wire::Link link;
    for (std::uint16_t i = 0; i < row.results.size(); ++i) {
      const auto start = wire::Clock::now();
      const auto reply = link.Call(wire::WordWrite(1, i, {static_cast<std::uint16_t>(i + 1)}));
      EXPECT_EQ(reply ? reply->result : kNoReply, row.results[i]) << "write " << i;
      EXPECT_EQ(cw.Get(i), row.results[i] == 0 ? i + 1 : 0) << "write " << i;
      if (!reply) {
        EXPECT_TRUE(link.Ended());
        continue;
      }
      EXPECT_EQ(reply->length, row.lengths[i]) << "write " << i;
      EXPECT_GE(wire::Clock::now() - start, row.least);
    }
  }
}

}  // namespace
