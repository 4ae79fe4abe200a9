// info_server_test.cpp - the information blocks of a real quonix: its own
// status, and the two client processes registered with it.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <set>
#include <string>

#include "integration/integration.h"

namespace {

using namespace std::chrono_literals;

std::uint32_t Get32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

class InfoServerTest : public it::IntegrationTest {};

TEST_F(InfoServerTest, BlocksShowTheServerAndTwoClients) {
  ASSERT_TRUE(StartServer(it::SizeArgs(it::kSmallWords)));
  // Two clients that stay registered until told to go.
  it::ChildReport report;
  qt::Signal ready, go;
  const auto client = [&](const char* name) {
    return [&, name] {
      QNA_REGREC record = it::Record(name);
      if (QNA_Open(&record) != 0) return report.Fail(std::string(name) + ": open failed");
      ready.Post();
      go.Take(30s);
      QNA_Close();
      return 0;
    };
  };
  qt::Child one(client("APPONE"));
  qt::Child two(client("APPTWO"));
  ASSERT_EQ(ready.Take(20s), 1) << report.Text();
  ASSERT_EQ(ready.Take(20s), 1) << report.Text();

  QNA_REGREC record = it::Record("READER");
  ASSERT_EQ(QNA_Open(&record), 0u);
  std::uint8_t cm[448];
  ASSERT_EQ(QNA_ReadCmInfo(cm), 0u);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(cm)), "QUONIX");
  EXPECT_EQ(Get32(cm + 8), 2u);                                    // layout
  // The version in the block is the one --version prints.
  const std::uint32_t version = Get32(cm + 12);
  const std::string version_log = root_.path() + "/version.log";
  qt::Process print("/bin/sh", {"-c", std::string(QUONIX_PATH) + " --version >&2"}, version_log);
  EXPECT_EQ(print.Wait(), 0);
  EXPECT_EQ(qt::ReadText(version_log), "quonix " + std::to_string(version >> 16) + "." +
                                           std::to_string(version >> 8 & 0xFF) + "." +
                                           std::to_string(version & 0xFF) + "\n");
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
  // Its count covers every request up to this read: two more since the last
  // block, the other read and this one.
  ASSERT_GE(reader_requests, 3u);
  ASSERT_EQ(QNA_ReadCmInfo(cm), 0u);
  ASSERT_EQ(QNA_ReadAppInfo(apps), 0u);
  for (std::uint32_t i = 0; i < 3; ++i) {
    if (std::string(reinterpret_cast<const char*>(apps + 8 + 32 * i)) == "READER") {
      EXPECT_EQ(Get32(apps + 8 + 32 * i + 28), reader_requests + 2);
    }
  }

  // The server counts the messages it holds.
  const char body[] = "kept";
  ASSERT_EQ(QNA_SendMsg(44, 0, 0, 0, 4, body, 0), 0u);
  ASSERT_EQ(QNA_ReadCmInfo(cm), 0u);
  EXPECT_EQ(Get32(cm + 60), 1u);  // channels
  EXPECT_EQ(Get32(cm + 64), 1u);  // messages
  EXPECT_EQ(Get32(cm + 68), 4u);  // bytes

  go.Post();
  go.Post();
  EXPECT_EQ(one.Wait(30s), 0) << report.Text();
  EXPECT_EQ(two.Wait(30s), 0) << report.Text();
}

}  // namespace
