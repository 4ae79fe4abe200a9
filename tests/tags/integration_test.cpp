// Tag access against the stand-in server: the project comes from quonix
// --project, and reads and writes by tag name agree with reads and writes by
// address.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "qnapi.h"
#include "support/server.h"
#include "support/test_support.h"
#include "tag_files.h"

namespace {

constexpr const char* kCsv =
    "MOTOR_RUN,CB17,bit\n"
    "VALVE,SB3,bit\n"
    "SETPOINT,CW100,word\n"
    "COUNTER,CW200,dword\n"
    "STATUS,SW30,word\n"
    "TOTAL,SW40,dword\n";

struct Tag {
  const char* name;
  std::uint32_t area;
  std::uint32_t at;  // bit number for areas 0 and 2, word offset otherwise
  std::uint16_t words;
};
const Tag kTags[] = {
    {"MOTOR_RUN", 0, 17, 1}, {"VALVE", 2, 3, 1},  {"SETPOINT", 1, 100, 1},
    {"COUNTER", 1, 200, 2},  {"STATUS", 3, 30, 1}, {"TOTAL", 3, 40, 2},
};

// The value a tag of the given kind reads after `value` was written by tag.
std::int32_t AsRead(const Tag& tag, std::int32_t value) {
  if (tag.area == 0 || tag.area == 2) return (value & 0xFF) != 0 ? 1 : 0;
  if (tag.words == 1) return static_cast<std::int16_t>(value & 0xFFFF);
  return value;
}

// What the address holds, read by address.
std::int32_t ByAddress(const Tag& tag) {
  if (tag.area == 0 || tag.area == 2) {
    std::uint8_t bit = 0xEE;
    EXPECT_EQ(QNA_ReadBit(tag.area, tag.at, 1, &bit, 0), QNA_OK);
    return bit;
  }
  std::uint16_t words[2] = {};
  EXPECT_EQ(QNA_Read(tag.area, tag.at, tag.words, words, 0), QNA_OK);
  return tag.words == 1 ? static_cast<std::int16_t>(words[0])
                        : static_cast<std::int32_t>(words[0] | std::uint32_t{words[1]} << 16);
}

// The library's state is released before the server goes, also when a test
// fails half-way.
class TagIntegrationTest : public ::testing::Test {
 protected:
  void StartServer(const std::vector<std::string>& args) {
    server_ = std::make_unique<qt::Server>(args);
    ASSERT_TRUE(server_->ready());
    const QNA_REGREC record{0, 0, {'T', 'A', 'G', 'S', 0, 0, 0, 0}};
    ASSERT_EQ(QNA_Open(&record), QNA_OK);
  }
  void TearDown() override {
    QNA_EndRavo();
    QNA_Close();
    if (server_) {
      EXPECT_EQ(server_->Stop(), 0);
    }
  }
  qt::TempRoot root_;
  std::unique_ptr<qt::Server> server_;
};

TEST_F(TagIntegrationTest, TagsAndAddressesAgree) {
  ASSERT_TRUE(qt::WriteBytes(tt::ProjectTagPath('C', "PLANT"), tt::BuildTagFile(kCsv)));
  StartServer({"--project", "C:PLANT"});
  ASSERT_EQ(QNA_InitRavo(), QNA_OK);

  const std::int32_t values[] = {1, 0, -1, 0x12345678, 0x7FFF, -32768, 0x100, 0x00010000};
  for (const Tag& tag : kTags) {
    for (const std::int32_t value : values) {
      SCOPED_TRACE(testing::Message() << tag.name << " = " << value);
      // Written by name, read by address and by name.
      char name[16];
      std::snprintf(name, sizeof name, "%s", tag.name);
      ASSERT_EQ(QNA_WriteTag(name, value, 0), QNA_OK);
      EXPECT_EQ(ByAddress(tag), AsRead(tag, value));
      std::int32_t read = 0;
      ASSERT_EQ(QNA_ReadTag(name, &read, 0), QNA_OK);
      EXPECT_EQ(read, AsRead(tag, value));
    }
    // Written by address, read by name (lower case finds it too).
    char lower[16];
    std::snprintf(lower, sizeof lower, "%s", tag.name);
    for (char* p = lower; *p != '\0'; ++p) *p = static_cast<char>(std::tolower(static_cast<unsigned char>(*p)));
    if (tag.area == 0 || tag.area == 2) {
      const std::uint8_t one = 1;
      ASSERT_EQ(QNA_WriteBit(tag.area, tag.at, 1, &one, 0), QNA_OK);
    } else {
      const std::uint16_t words[2] = {0xFFFE, 0x0003};
      ASSERT_EQ(QNA_Write(tag.area, tag.at, tag.words, words, 0), QNA_OK);
    }
    std::int32_t read = 0;
    ASSERT_EQ(QNA_ReadTag(lower, &read, 0), QNA_OK);
    EXPECT_STREQ(lower, tag.name);
    EXPECT_EQ(read, ByAddress(tag));
    EXPECT_EQ(read, tag.area == 0 || tag.area == 2 ? 1 : (tag.words == 1 ? -2 : 0x0003FFFE));
  }

  // A write without a reply reaches the area all the same.
  char setpoint[] = "SETPOINT";
  ASSERT_EQ(QNA_WriteTag(setpoint, 4321, 1), QNA_OK);
  EXPECT_TRUE(qt::WaitFor([&] { return ByAddress(kTags[2]) == 4321; }));
}

// Without --project the RAVOWLD mailbox is empty: no path is formed.
TEST_F(TagIntegrationTest, NoProject) {
  StartServer({});
  EXPECT_EQ(QNA_InitRavo(), QNA_E_TAG_OPEN);
  EXPECT_EQ(QNA_InternalErr, QNA_TAG_CANT_OPEN);
}

}  // namespace
