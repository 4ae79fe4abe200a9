// The information blocks from a scripted server and from quonix.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "apps/info.h"
#include "remote/data.h"
#include "support/family.h"
#include "integration/integration.h"

namespace {

using namespace qt;
using namespace std::chrono_literals;

const Bytes kCmRequest = Cat({Le32({24, 100, 0}), Bytes{1, 0, 0, 0}, Le32({1000, 0, 448})});

Bytes Block(std::size_t size) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return b;
}

std::uint8_t g_block[448 + 64];

std::uint32_t CmOnFake(FakeLink& link) {
  // InfoBlockRead works on the link; play it through the same exchange.
  const std::uint32_t area = 1000, start = 0, count = 448;
  return DataReadExchange(link, 1, &area, &start, &count, g_block, 0, 0);
}

const std::vector<qt::Row> kRows = {
    {"block", {Reply(0, Block(448))}, 0, 0, 28, qt::After::InStep},
    {"server result returned", {Reply(6, Block(448))}, 6, 0, 28, qt::After::InStep},
    {"payload beyond the block", {Reply(0, Block(600))}, 0, 0, 28, qt::After::InStep},
};

class InfoTest : public qt::LibraryTest {};

TEST_F(InfoTest, CodesOfTheServerBlock) {
  qt::RunFamily({.request = kCmRequest, .on_fake = CmOnFake, .local = [] { return QNA_ReadCmInfo(g_block); }},
                qt::Rows(kRows, qt::StepRows(1002, 28, Block(448))));
}

TEST_F(InfoTest, BeforeOpenBothGive50) {
  std::uint8_t buffer[512];
  SetDetail(77);
  EXPECT_EQ(QNA_ReadCmInfo(buffer), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
  EXPECT_EQ(QNA_ReadAppInfo(buffer), QNA_E_NOTOPEN);
}

using proto::Get32;

class InfoServerTest : public it::IntegrationTest {};

TEST_F(InfoServerTest, BlocksShowTheServerAndTwoClients) {
  ASSERT_TRUE(StartServer(it::SizeArgs(it::kSmallWords)));
  // Two clients that stay registered until told to go.
  qt::Signal ready, go;
  const auto client = [&](const char* name) {
    return [&, name] {
      QNA_REGREC record = it::Record(name);
      if (QNA_Open(&record) != 0) return it::ChildFail(std::string(name) + ": open failed");
      ready.Post();
      go.Take(30s);
      QNA_Close();
      return 0;
    };
  };
  qt::Child one(client("APPONE"));
  qt::Child two(client("APPTWO"));
  ASSERT_EQ(ready.Take(20s), 1);
  ASSERT_EQ(ready.Take(20s), 1);

  QNA_REGREC record = it::Record("READER");
  ASSERT_EQ(QNA_Open(&record), 0u);
  std::uint8_t cm[448];
  ASSERT_EQ(QNA_ReadCmInfo(cm), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cm)), "QUONIX");
  EXPECT_EQ(Get32(cm + 8), 2u);                                    // layout
  EXPECT_EQ(Get32(cm + 16), static_cast<std::uint32_t>(server_->pid()));
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  EXPECT_LE(Get32(cm + 20), now);                                  // start time
  EXPECT_GE(Get32(cm + 20) + 60, now);
  EXPECT_EQ(Get32(cm + 28), 3u);                                   // registered links
  for (std::uint32_t i = 0; i < 6; ++i) EXPECT_EQ(Get32(cm + 36 + 4 * i), it::kSmallWords[i]);
  EXPECT_EQ(Get32(cm + 88), 3u);  // of them on the local pipe
  EXPECT_EQ(Get32(cm + 92) + Get32(cm + 96) + Get32(cm + 100), 0u);

  std::uint8_t apps[512];
  ASSERT_EQ(QNA_ReadAppInfo(apps), 0u);
  ASSERT_EQ(Get32(apps), 3u);
  ASSERT_EQ(Get32(apps + 4), 3u);
  std::set<std::string> names;
  std::uint32_t reader_requests = 0;
  for (std::uint32_t i = 0; i < 3; ++i) {
    const std::uint8_t* entry = apps + 8 + 32 * i;
    const std::string name(reinterpret_cast<const char*>(entry), strnlen(reinterpret_cast<const char*>(entry), 8));
    names.insert(name);
    EXPECT_EQ(Get32(entry + 8), 1u);   // registered on a link
    EXPECT_EQ(Get32(entry + 24), 1u);  // the local pipe
    if (name == "READER") reader_requests = Get32(entry + 28);
  }
  EXPECT_EQ(names, (std::set<std::string>{"APPONE", "APPTWO", "READER"}));
  // Its request count covers this read: the registration, the other block.
  EXPECT_GE(reader_requests, 3u);

  // The server counts the messages it holds.
  const char body[] = "kept";
  ASSERT_EQ(QNA_SendMsg(44, 0, 0, 0, 4, body, 0), 0u);
  ASSERT_EQ(QNA_ReadCmInfo(cm), 0u);
  EXPECT_EQ(Get32(cm + 60), 1u);  // channels
  EXPECT_EQ(Get32(cm + 64), 1u);  // messages
  EXPECT_EQ(Get32(cm + 68), 4u);  // bytes

  go.Post();
  go.Post();
  EXPECT_EQ(one.Wait(30s), 0);
  EXPECT_EQ(two.Wait(30s), 0);
}

}  // namespace
