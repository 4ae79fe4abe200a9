// The tag file writer and reader of the qna command: the layout the lookup
// expects, the CSV form back, and the CSV lines it refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/test_support.h"
#include "tag_files.h"

namespace {

using tt::Bytes;

constexpr const char* kPlantCsv =
    "# pumps and levels\n"
    "pump_speed, CW10, word\n"
    "LEVEL,SW20,dword\r\n"
    "  ALARM,sb35,bit\n"
    "\n"
    "START,CB7,BIT\n";

std::string Name(const Bytes& b, std::size_t k) {
  const auto* p = reinterpret_cast<const char*>(b.data() + tt::RecordAt(b, k));
  return std::string(p, strnlen(p, 15));
}
std::string Address(const Bytes& b, std::size_t k) {
  const auto* p = reinterpret_cast<const char*>(b.data() + tt::RecordAt(b, k) + 52);
  return std::string(p, strnlen(p, 20));
}

TEST(TagfileTest, LayoutThatTheLookupSearches) {
  qt::TempRoot root;
  const Bytes file = tt::BuildTagFile(kPlantCsv);
  ASSERT_FALSE(file.empty());
  // Four tags: n = 5 entries (position 0 is record 0), c = n.
  EXPECT_EQ(tt::FieldN(file), 5);
  EXPECT_EQ(tt::FieldC(file), 5);
  EXPECT_EQ(tt::Tables(file), 28u);
  EXPECT_EQ(tt::Records(file), 28u + 4 * 5);
  EXPECT_EQ(file.size(), 28u + 4 * 5 + 76 * 5);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 12), Bytes(12, 0));
  EXPECT_EQ(Bytes(file.begin() + 24, file.begin() + 28), Bytes(4, 0));

  // Index: record 0, then ALARM (3), LEVEL (2), PUMP_SPEED (1), START (4);
  // second table: the index position of each record.
  const std::vector<std::uint16_t> index = {0, 3, 2, 1, 4};
  const std::vector<std::uint16_t> second = {0, 3, 2, 1, 4};
  for (std::size_t p = 0; p < 5; ++p) {
    EXPECT_EQ(tt::Get16(file, tt::IndexAt(file, p)), index[p]) << "index position " << p;
    EXPECT_EQ(tt::Get16(file, tt::IndexAt(file, 5 + p)), second[p]) << "second table " << p;
  }

  struct Record {
    const char* name;
    std::uint32_t record_class;
    const char* address;
    std::uint16_t attributes;
  };
  const Record records[] = {
      {"<UNDEFINED>", 0, "", 0},      {"PUMP_SPEED", 1, "CW10", 0}, {"LEVEL", 1, "SW20", 0x80},
      {"ALARM", 1, "SB35", 0},        {"START", 1, "CB7", 0},
  };
  for (std::size_t k = 0; k < 5; ++k) {
    SCOPED_TRACE(records[k].name);
    const std::size_t at = tt::RecordAt(file, k);
    EXPECT_EQ(Name(file, k), records[k].name);
    EXPECT_EQ(file[at + 14], 0);
    EXPECT_EQ(Bytes(file.begin() + static_cast<long>(at) + 15, file.begin() + static_cast<long>(at) + 48),
              Bytes(33, 0));
    EXPECT_EQ(tt::Get32(file, at + 48), records[k].record_class);
    EXPECT_EQ(Address(file, k), records[k].address);
    EXPECT_EQ(tt::Get16(file, at + 72), records[k].attributes);
    EXPECT_EQ(tt::Get16(file, at + 74), 0);
  }
}

TEST(TagfileTest, DumpGivesTheCsvBack) {
  qt::TempRoot root;
  const std::string tag_path = root.path() + "/plant.tag";
  ASSERT_TRUE(qt::WriteBytes(tag_path, tt::BuildTagFile(kPlantCsv)));
  std::string csv;
  std::string error;
  ASSERT_EQ(TagfileDump(tag_path, csv, error), 0) << error;
  EXPECT_EQ(csv,
            "# tag file " + tag_path + ": 4 tags\n"
            "PUMP_SPEED,CW10,word\n"
            "LEVEL,SW20,dword\n"
            "ALARM,SB35,bit\n"
            "START,CB7,bit\n");
  // And that CSV builds the same file again.
  EXPECT_EQ(tt::BuildTagFile(csv), qt::ReadBytes(tag_path));
}

TEST(TagfileTest, EmptyAndLargestFiles) {
  qt::TempRoot root;
  const Bytes empty = tt::BuildTagFile("# nothing yet\n");
  ASSERT_EQ(empty.size(), 28u + 4 + 76);
  EXPECT_EQ(tt::FieldN(empty), 1);
  EXPECT_EQ(tt::FieldC(empty), 1);

  std::string csv;
  for (int i = 0; i < 32766; ++i)
    csv.append("T").append(std::to_string(i)).append(",CW").append(std::to_string(i)).append(",word\n");
  const Bytes largest = tt::BuildTagFile(csv);
  ASSERT_FALSE(largest.empty());
  EXPECT_EQ(tt::FieldN(largest), 32767);
  EXPECT_EQ(tt::FieldC(largest), 32767);

  const std::string csv_path = root.path() + "/more.csv";
  const std::string tag_path = root.path() + "/more.tag";
  ASSERT_TRUE(tt::WriteText(csv_path, csv + "ONEMORE,CW1,word\n"));
  std::string error;
  EXPECT_EQ(TagfileBuild(csv_path, tag_path, error), 1);
  EXPECT_NE(error.find("more than 32766 tags"), std::string::npos) << error;
  EXPECT_FALSE(std::filesystem::exists(tag_path));
}

TEST(TagfileTest, CsvLinesRefused) {
  struct Case {
    const char* csv;
    const char* error;  // part of the message
  };
  const Case cases[] = {
      {"A,CW1\n", "line 1: expected NAME,ADDRESS,TYPE"},
      {"# x\nA,CW1,word,more\n", "line 2: expected NAME,ADDRESS,TYPE"},
      {"ABCDEFGHIJKLMNO,CW1,word\n", "line 1: name 'ABCDEFGHIJKLMNO'"},
      {",CW1,word\n", "line 1: name ''"},
      {"A B,CW1,word\n", "line 1: name 'A B'"},
      {"#INKEY ,CW1,word\n", ""},  // a comment line: nothing to refuse
      {"A,DW1,word\n", "line 1: address 'DW1'"},
      {"A,CX1,word\n", "line 1: address 'CX1'"},
      {"A,CW,word\n", "line 1: address 'CW'"},
      {"A,CW1x,word\n", "line 1: address 'CW1x'"},
      {"A,CW-1,word\n", "line 1: address 'CW-1'"},
      {"A,CW2147483648,word\n", "line 1: address 'CW2147483648'"},
      {"A,CW1,float\n", "line 1: type 'float'"},
      {"A,CB1,word\n", "line 1: type WORD needs a word address"},
      {"A,SB1,dword\n", "line 1: type DWORD needs a word address"},
      {"A,SW1,bit\n", "line 1: type bit needs a bit address"},
      {"pump,CW1,word\n\nPUMP,CW2,word\n", "line 3: name PUMP already on line 1"},
  };
  qt::TempRoot root;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.csv);
    const std::string csv_path = root.path() + "/tags.csv";
    const std::string tag_path = root.path() + "/tags.tag";
    std::filesystem::remove(tag_path);
    ASSERT_TRUE(tt::WriteText(csv_path, c.csv));
    std::string error;
    const int built = TagfileBuild(csv_path, tag_path, error);
    if (c.error[0] == '\0') {
      EXPECT_EQ(built, 0) << error;
      continue;
    }
    EXPECT_EQ(built, 1);
    EXPECT_NE(error.find(c.error), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(tag_path));
  }
  std::string error;
  EXPECT_EQ(TagfileBuild(root.path() + "/none.csv", root.path() + "/none.tag", error), 1);
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

// Files that other programs (or damage) made: the reader says what it finds
// instead of reading past the file.
TEST(TagfileTest, DumpOfDamagedFiles) {
  qt::TempRoot root;
  const Bytes good = tt::BuildTagFile("ALPHA,CW1,word\nBRAVO,CW2,word\nCHARLIE,SB3,bit\n");
  ASSERT_FALSE(good.empty());
  struct Case {
    const char* situation;
    std::function<void(Bytes&)> damage;
    int result;
    const char* text;  // part of the error, or of the dump
  };
  const std::vector<Case> cases = {
      {"header cut", [](Bytes& b) { b.resize(20); }, 1, "shorter than the 28-byte header"},
      {"n = 0", [](Bytes& b) { tt::Put16(b, 12, 0); }, 1, "n = 0"},
      {"c above n", [](Bytes& b) { tt::Put16(b, 14, 5); }, 1, "search bound c = 5 above n = 4"},
      {"tables past the end", [](Bytes& b) { tt::Put32(b, 16, 1000); }, 1, "past the end of the file"},
      {"record past the end", [](Bytes& b) { tt::Put16(b, tt::IndexAt(b, 2), 40); }, 1,
       "index position 2: record 40"},
      {"record class 2", [](Bytes& b) { tt::Put32(b, tt::RecordAt(b, 2) + 48, 2); }, 0,
       "# record 2 not usable (record class 2): name 'BRAVO' address 'CW2'"},
      {"attribute bit 4", [](Bytes& b) { tt::Put16(b, tt::RecordAt(b, 1) + 72, 0x10); }, 0,
       "# record 1 not usable (attribute bits 2 to 6 set)"},
      {"address DW5", [](Bytes& b) { tt::PatchAddress(b, 3, "DW5"); }, 0,
       "# record 3 not usable (address not CB, CW, SB or SW and a number)"},
      {"index out of order",
       [](Bytes& b) {
         tt::Put16(b, tt::IndexAt(b, 1), 3);
         tt::Put16(b, tt::IndexAt(b, 3), 1);
       },
       0, "# the index is not in name order"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    Bytes file = good;
    c.damage(file);
    const std::string path = root.path() + "/damaged.tag";
    ASSERT_TRUE(qt::WriteBytes(path, file));
    std::string out;
    std::string error;
    EXPECT_EQ(TagfileDump(path, out, error), c.result);
    EXPECT_NE((c.result == 0 ? out : error).find(c.text), std::string::npos) << out << error;
  }
}

}  // namespace
