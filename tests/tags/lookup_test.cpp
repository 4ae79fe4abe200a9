// Tag access, and the qna command's tag file writer and reader.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/tags.h"
#include "support/family.h"
#include "support/holder.h"
#include "tagfile.h"

// Tag files built with the qna writer, byte patches, and project paths.
namespace tt {

using Bytes = std::vector<std::uint8_t>;

inline bool WriteText(const std::string& path, const std::string& text) {
  return qt::WriteBytes(path, Bytes(text.begin(), text.end()));
}

inline std::string Host(const std::string& win_path) { return win::HostPath(win_path.c_str()); }

inline std::string ProjectTagPath(char drive, const std::string& name) {
  return Host(std::string(1, drive) + ":\\RAVOWLD\\USR\\" + name + "\\" + name + ".TAG");
}

// The bytes of a tag file the qna writer builds from `csv` (empty on refusal).
inline Bytes BuildTagFile(const std::string& csv) {
  std::string pattern = PlatformRoot() + "/tagfile-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "no temporary folder";
    return {};
  }
  const std::string csv_path = pattern + "/tags.csv";
  const std::string tag_path = pattern + "/tags.tag";
  WriteText(csv_path, csv);
  std::string error;
  const int built = TagfileBuild(csv_path, tag_path, error);
  EXPECT_EQ(built, 0) << error;
  Bytes data = built == 0 ? qt::ReadBytes(tag_path) : Bytes{};
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return data;
}

using qt::At16;
using qt::At32;
inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::int16_t FieldN(const Bytes& b) { return static_cast<std::int16_t>(At16(b, 12)); }
inline std::int16_t FieldC(const Bytes& b) { return static_cast<std::int16_t>(At16(b, 14)); }
inline std::uint32_t Tables(const Bytes& b) { return At32(b, 16); }
inline std::uint32_t Records(const Bytes& b) { return At32(b, 20); }
inline std::size_t RecordAt(const Bytes& b, std::size_t k) { return Records(b) + 76 * k; }
inline std::size_t IndexAt(const Bytes& b, std::size_t p) { return Tables(b) + 2 * p; }

// A text field of record k (name at 0, 15 bytes; address at 52, 20 bytes).
inline void PatchText(Bytes& b, std::size_t k, std::size_t field, std::size_t size,
                      const std::string& text) {
  const std::size_t at = RecordAt(b, k) + field;
  for (std::size_t i = 0; i < size; ++i) b[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}
inline void PatchName(Bytes& b, std::size_t k, const std::string& name) { PatchText(b, k, 0, 15, name); }
inline void PatchAddress(Bytes& b, std::size_t k, const std::string& address) {
  PatchText(b, k, 52, 20, address);
}

}  // namespace tt

namespace {

using qt::Bytes;
using qt::PeerConn;

// The RAVOWLD mailbox of the scripted server.
struct Ravowld {
  std::mutex lock;
  Bytes bytes = Bytes(1152, 0);
  std::uint32_t result = 0;  // the reply's result to a RAVOWLD read
};

// Answers as a server does (qt::Answer), the RAVOWLD mailbox from `ravowld`.
std::function<void(PeerConn&)> TagServer(Bytes sizes, std::shared_ptr<Ravowld> ravowld) {
  return [sizes = std::move(sizes), ravowld](PeerConn& conn) {
    const Bytes ravowld_field = {'R', 'A', 'V', 'O', 'W', 'L', 'D', 0};
    for (;;) {
      const Bytes request = conn.ReadRequest();
      if (request.empty()) return;
      std::optional<Bytes> reply = qt::Answer(request, sizes);
      if (qt::At32(request, 4) == proto::kMailboxRead &&
          Bytes(request.begin() + 12, request.begin() + 20) == ravowld_field) {
        std::lock_guard guard(ravowld->lock);
        Bytes words(2 * qt::At32(request, 24), 0);
        std::copy_n(ravowld->bytes.begin(), std::min(words.size(), ravowld->bytes.size()), words.begin());
        reply = ravowld->result == 0 ? qt::Reply(0, words) : qt::Reply(ravowld->result);
      }
      if (reply && !conn.Send(*reply)) return;
    }
  };
}

// The mailbox bytes of a project: drive letter, NUL, the name, NUL.
Bytes Project(char drive, const std::string& name) {
  Bytes bytes(1152, 0);
  bytes[0] = static_cast<std::uint8_t>(drive);
  std::copy(name.begin(), name.end(), bytes.begin() + 2);
  return bytes;
}

// Tags of the plant used by most tests; records 1 to 20 in this order.
constexpr const char* kPlantCsv =
    "PUMP_SPEED,CW10,word\n"       // 1
    "LEVEL,SW20,dword\n"           // 2
    "ALARM,SB35,bit\n"             // 3
    "START,CB7,bit\n"              // 4
    "ABCDEFGHIJKLMN,CW12,word\n"   // 5: 14 characters, as long as a name gets
    "AAAA,CW13,word\n"             // 6: becomes #SECURE2
    "BADCLASS,CW14,word\n"         // 7: class 2
    "BADATTR,CW15,word\n"          // 8: attribute bit 2
    "BADATTR6,CW15,word\n"         // 9: attribute bit 6
    "AREA_D,CW16,word\n"           // 10: DW5
    "UNIT_X,CW17,word\n"           // 11: CX5
    "NONUMBER,CW18,word\n"         // 12: CW
    "JUNK,CW19,word\n"             // 13: CW10X
    "HUGE,CW20,word\n"             // 14: CW99999999999
    "LOWER,CW21,word\n"            // 15: cw21
    "SPACED,CW22,word\n"           // 16: "CW 22"
    "SIGNED,CW23,word\n"           // 17: CW+23
    "TYPE7,CW24,word\n"            // 18: data type 7, other attribute bits set
    "OUTSIDE,CW300,word\n"         // 19: past area 1 (300 words)
    "NEGATIVE,CW1,word\n";         // 20: CW-1

tt::Bytes PlantFile() {
  tt::Bytes file = tt::BuildTagFile(kPlantCsv);
  if (file.empty()) return file;
  tt::PatchName(file, 6, "#SECURE2");  // still sorts first: '#' < 'A'
  tt::Put32(file, tt::RecordAt(file, 7) + 48, 2);
  tt::Put16(file, tt::RecordAt(file, 8) + 72, 0x04);
  tt::Put16(file, tt::RecordAt(file, 9) + 72, 0x40);
  const char* const addresses[] = {"DW5",  "CX5",   "CW",   "CW10X", "CW99999999999",
                                   "cw21", "CW 22", "CW+23"};  // records 10 to 17
  for (std::size_t k = 0; k < std::size(addresses); ++k)
    tt::PatchAddress(file, 10 + k, addresses[k]);
  tt::Put16(file, tt::RecordAt(file, 18) + 72, 0x8383);  // type 7, bits 0, 1, 8, 9, 15
  tt::PatchAddress(file, 20, "CW-1");
  return file;
}

class TagTest : public qt::LibraryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(objects_.ok());
    ravowld_->bytes = Project('C', "PLANT");
    peer_.Serve(TagServer(objects_.SizesPayload(), ravowld_));
    ASSERT_EQ(QNA_Open(&record_), QNA_OK);
  }
  void TearDown() override {
    QNA_EndRavo();
    qt::LibraryTest::TearDown();
  }
  void SetProject(const Bytes& bytes, std::uint32_t result = 0) {
    std::lock_guard guard(ravowld_->lock);
    ravowld_->bytes = bytes;
    ravowld_->result = result;
  }
  void LoadPlant() {
    ASSERT_TRUE(qt::WriteBytes(tt::ProjectTagPath('C', "PLANT"), PlantFile()));
    ASSERT_EQ(QNA_InitRavo(), QNA_OK);
    ASSERT_EQ(QNA_InternalErr, 0);
  }

  qt::ServerObjects objects_;
  std::shared_ptr<Ravowld> ravowld_ = std::make_shared<Ravowld>();
  qt::Peer peer_;
  QNA_REGREC record_{0, 0, {'T', 'A', 'G', 'T', 'E', 'S', 'T', 0}};
};

// No tag file is loaded: a lookup answers 202 with 6010.
void ExpectNotLoaded() {
  char name[] = "PUMP_SPEED";
  std::int32_t value = 0;
  EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_E_TAG_NOTLOADED);
  EXPECT_EQ(QNA_InternalErr, QNA_TAG_NOT_LOADED);
}

TEST(TagStateTest, NothingLoadedBeforeInitRavo) {
  qt::TempRoot root;
  char name[] = "pump";
  ExpectNotLoaded();
  EXPECT_EQ(QNA_WriteTag(name, 1, 0), QNA_E_TAG_NOTLOADED);
  EXPECT_EQ(QNA_InternalErr, QNA_TAG_NOT_LOADED);
  EXPECT_STREQ(name, "pump");  // the lookup never started
  // Without a connection the project cannot be asked for.
  EXPECT_EQ(QNA_InitRavo(), QNA_E_NOTOPEN);
  QNA_EndRavo();
  QNA_EndRavo();
}

// Loads and searches after a good load of ALPHA, BRAVO, CHARLIE on CW1 to CW3;
// project paths out of their folder are refused (200, 6000); -1: not found.
TEST_F(TagTest, LoadAndSearchTable) {
  using Damage = std::function<void(Bytes&)>;
  using Lookups = std::vector<std::pair<const char*, std::int32_t>>;
  const Bytes abc = tt::BuildTagFile("ALPHA,CW1,word\nBRAVO,CW2,word\nCHARLIE,CW3,word\n");
  ASSERT_FALSE(abc.empty());
  const std::size_t n = static_cast<std::size_t>(tt::FieldN(abc));
  const std::string plant = tt::ProjectTagPath('C', "PLANT");
  const std::string x118(118, 'X'), x120(120, 'X');
  const auto ravowld = [](const std::string& rest) { return tt::Host("C:\\RAVOWLD\\" + rest); };
  struct Case {
    const char* situation;
    Damage damage = [](Bytes&) {};
    std::uint32_t result = 0;
    std::int32_t detail = 0;
    Lookups lookups = {{"ALPHA", 0x1111}, {"bravo", 0x2222}, {"CHARLIE", 0x3333}};
    Bytes mailbox = Project('C', "PLANT");
    std::string path = tt::ProjectTagPath('C', "PLANT");  // of the file; "": none
  };
  const Case cases[] = {
      {"good file", {}, 0, 0, {{"ALPHA", 0x1111}, {"bravo", 0x2222}, {"CHARLIE", 0x3333}, {"!", -1},
                               {"B", -1}, {"ZULU", -1}}},
      {"no file", {}, 200, 6000, {}, Project('C', "PLANT"), ""},
      {"empty file", [](Bytes& b) { b.clear(); }, 201, 6001},
      {"header of 27 bytes", [](Bytes& b) { b.resize(27); }, 201, 6001},
      {"n = 0", [](Bytes& b) { tt::Put16(b, 12, 0); }, 201, 6004},
      {"n negative", [](Bytes& b) { tt::Put16(b, 12, 0xFFFD); }, 201, 6004},
      {"index cut short", [n](Bytes& b) { b.resize(28 + 2 * n - 1); }, 201, 6004},
      {"tables past the end", [](Bytes& b) { tt::Put32(b, 16, 100000); }, 201, 6004},
      {"search bound c above n", [n](Bytes& b) { tt::Put16(b, 14, static_cast<std::uint16_t>(n + 1)); },
       201, 6004},
      {"second table cut short", [n](Bytes& b) { b.resize(28 + 4 * n - 1); }, 201, 6005},
      {"second table cut at its start", [n](Bytes& b) { b.resize(28 + 2 * n); }, 201, 6005},
      // Record 0 compares as "<UNDEFINED>": the search goes right.
      {"record 0 at the first probe", [](Bytes& b) { tt::Put16(b, tt::IndexAt(b, 2), 0); }, 0, 0,
       {{"CHARLIE", 0x3333}, {"BRAVO", -1}, {"ALPHA", -1}, {"<undefined>", -1}}},
      {"search bound below n", [](Bytes& b) { tt::Put16(b, 14, 2); }, 0, 0,
       {{"ALPHA", 0x1111}, {"BRAVO", -1}, {"CHARLIE", -1}}},
      // A record cut by the end lends nothing of the one before.
      {"last record cut", [](Bytes& b) { b.resize(tt::RecordAt(b, 3) + 20); }, 0, 0,
       {{"CHARLIE", -1}, {"BRAVO", 0x2222}}},
      {"lower case c:plant", {}, 0, 0, {{"ALPHA", 0x1111}}, Project('c', "plant")},
      {"drive D", {}, 0, 0, {{"ALPHA", 0x1111}}, Project('D', "PLANT"),
       tt::ProjectTagPath('D', "PLANT")},
      {"longest path that fits", {}, 0, 0, {{"ALPHA", 0x1111}}, Project('C', x118),
       tt::ProjectTagPath('C', x118)},
      {"path too long", {}, 200, 6000, {}, Project('C', x120), tt::ProjectTagPath('C', x120)},
      {"drive byte 0", {}, 200, 6000, {}, Project('\0', "PLANT")},
      {"drive '1'", {}, 200, 6000, {}, Project('1', "PLANT"), "1:/RAVOWLD/USR/PLANT/PLANT.TAG"},
      {"empty name", {}, 200, 6000, {}, Project('C', ""), ravowld("USR\\.TAG")},
      {"name ..", {}, 200, 6000, {}, Project('C', ".."), ravowld("...TAG")},
      {"name ..\\PLANT", {}, 200, 6000, {}, Project('C', "..\\PLANT"), ravowld("PLANT.TAG")},
      {"name A/B", {}, 200, 6000, {}, Project('C', "A/B"), ravowld("USR\\A\\B\\A\\B.TAG")},
      {"name A\\B", {}, 200, 6000, {}, Project('C', "A\\B"), ravowld("USR\\A\\B\\A\\B.TAG")},
      {"name with a colon", {}, 200, 6000, {}, Project('C', "A:B")},
      {"name ending in a dot", {}, 200, 6000, {}, Project('C', "PLANT.")},
      {"name without a terminator", {}, 200, 6000, {}, Project('C', std::string(1150, 'A'))},
  };
  for (std::size_t i = 1; i <= 3; ++i) objects_.area(1)[i] = static_cast<std::uint16_t>(0x1111 * i);
  // Relative paths (a drive that is not a letter) land in the current folder.
  const qt::InFolder in_root(root_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    SetProject(Project('C', "PLANT"));
    ASSERT_TRUE(qt::WriteBytes(plant, abc));
    ASSERT_EQ(QNA_InitRavo(), QNA_OK);
    std::filesystem::remove(plant);
    Bytes file = abc;
    if (c.damage) c.damage(file);
    if (!c.path.empty()) {
      ASSERT_TRUE(qt::WriteBytes(c.path, file));
    }
    SetProject(c.mailbox);
    EXPECT_EQ(QNA_InitRavo(), c.result);
    EXPECT_EQ(QNA_InternalErr, c.detail);
    if (c.result != 0) ExpectNotLoaded();
    for (const auto& [lookup, value] : c.result == 0 ? c.lookups : Lookups{}) {
      SCOPED_TRACE(lookup);
      char name[32];
      std::snprintf(name, sizeof name, "%s", lookup);
      std::int32_t got = 0;
      EXPECT_EQ(QNA_ReadTag(name, &got, 0), value < 0 ? QNA_E_TAG_NOTFOUND : QNA_OK);
      EXPECT_EQ(QNA_InternalErr, value < 0 ? QNA_TAG_NOT_FOUND : 0);
      EXPECT_EQ(got, value < 0 ? 0 : value);
    }
    if (!c.path.empty()) std::filesystem::remove(c.path);
  }
  // The server's refusal of the mailbox read comes back as it is.
  SetProject(Project('C', "PLANT"), 7);
  EXPECT_EQ(QNA_InitRavo(), 7u);
  EXPECT_EQ(QNA_InternalErr, 0);
  ExpectNotLoaded();
  // Ending releases the file: lookups answer 202 until the next load.
  SetProject(Project('C', "PLANT"));
  ASSERT_TRUE(qt::WriteBytes(plant, abc));
  ASSERT_EQ(QNA_InitRavo(), QNA_OK);
  QNA_EndRavo();
  ExpectNotLoaded();
}

// Every lookup outcome; the name is upper-cased in place once searched.
TEST_F(TagTest, LookupDetailCodes) {
  LoadPlant();
  struct Case {
    const char* name;
    std::uint32_t result;
    std::int32_t detail;
    const char* after;  // the caller's text afterwards
  };
  const Case cases[] = {
      {"pump_speed", 0, 0, "PUMP_SPEED"},
      {"#inkey", 203, 6011, "#inkey"},
      {"\t#LBUTTON", 203, 6011, "\t#LBUTTON"},
      {"x#inkey", 204, 6012, "X#INKEY"},
      {"#inkey ", 204, 6012, "#INKEY "},
      {"#secure2", 0, 0, "#SECURE2"},
      {"#secure9", 204, 6012, "#SECURE9"},
      {"nosuchtag", 204, 6012, "NOSUCHTAG"},
      {"abcdefghijklmn", 0, 0, "ABCDEFGHIJKLMN"},
      {"abcdefghijklmno", 204, 6012, "ABCDEFGHIJKLMNO"},  // not the 14-character tag
      {"ABCDEFGHIJKLM", 204, 6012, "ABCDEFGHIJKLM"},
      {"", 204, 6012, ""},
      {"badclass", 203, 6013, "BADCLASS"},
      {"badattr", 203, 6014, "BADATTR"},
      {"badattr6", 203, 6014, "BADATTR6"},
      {"area_d", 203, 6015, "AREA_D"},
      {"unit_x", 203, 6016, "UNIT_X"},
      {"nonumber", 203, 6016, "NONUMBER"},
      {"junk", 203, 6016, "JUNK"},
      {"huge", 203, 6016, "HUGE"},
      {"lower", 0, 0, "LOWER"},
      {"spaced", 0, 0, "SPACED"},
      {"signed", 0, 0, "SIGNED"},
      {"outside", 6, 0, "OUTSIDE"},
      {"negative", 6, 0, "NEGATIVE"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char read_name[32];
    std::snprintf(read_name, sizeof read_name, "%s", c.name);
    std::int32_t value = 0x5A5A;
    EXPECT_EQ(QNA_ReadTag(read_name, &value, 0), c.result);
    EXPECT_EQ(QNA_InternalErr, c.detail);
    EXPECT_STREQ(read_name, c.after);
    if (c.result != 0) {
      EXPECT_EQ(value, 0x5A5A);  // untouched when the read did not happen
    }
  }
  char name[] = "pump_speed";
  EXPECT_EQ(QNA_ReadTag(name, nullptr, 0), QNA_E_ARG);
  EXPECT_EQ(QNA_ReadTag(nullptr, nullptr, 0), QNA_E_ARG);
  EXPECT_EQ(QNA_WriteTag(nullptr, 0, 0), QNA_E_ARG);
}

// Values by tag, addresses written oddly too.
TEST_F(TagTest, ValuesRead) {
  LoadPlant();
  struct Case {
    const char* name;
    int area;
    std::size_t word;
    std::vector<std::uint16_t> words;  // put at area[word...] first
    std::int32_t value;
  };
  const std::vector<Case> cases = {
      {"LEVEL", 3, 20, {0x0000, 0x8000}, INT32_MIN},
      {"ALARM", 2, 2, {0xFFF7}, 0},  // SB35: bit 3 of word 2
      {"LOWER", 1, 21, {0x1234}, 0x1234},
      {"SPACED", 1, 22, {0x0022}, 0x22},
      {"SIGNED", 1, 23, {0x0023}, 0x23},
      {"TYPE7", 1, 24, {0xFFFE, 0x1111}, -2},  // a single word whatever the other bits
      {"#SECURE2", 1, 13, {0x0042}, 0x42},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.name << " = " << c.value);
    for (std::size_t i = 0; i < c.words.size(); ++i) objects_.area(c.area)[c.word + i] = c.words[i];
    char name[32];
    std::snprintf(name, sizeof name, "%s", c.name);
    std::int32_t value = 0x5A5A5A5A;
    EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_OK);
    EXPECT_EQ(QNA_InternalErr, 0);
    EXPECT_EQ(value, c.value);
  }
}

// The no-lock flag reaches the area read.
TEST_F(TagTest, NoLockFlagPassedOn) {
  LoadPlant();
  objects_.area(1)[10] = 5;
  const qt::MutexHolder holder(objects_.mutex(1));
  ASSERT_TRUE(holder.taken());
  QNA_TimeOut = 50;
  char name[] = "PUMP_SPEED";
  std::int32_t value = 0;
  EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
  EXPECT_EQ(QNA_ReadTag(name, &value, 1), QNA_OK);
  EXPECT_EQ(value, 5);
}

// QNA_WriteTag sends the address's write with the caller's options.
TEST_F(TagTest, WriteRequestsSent) {
  LoadPlant();
  struct Case {
    const char* name;
    std::int32_t value;
    std::uint32_t options;
    Bytes request;
  };
  auto request = [](std::uint32_t command, std::uint32_t options, std::uint32_t area,
                    std::uint32_t first, std::uint32_t count, const Bytes& data) {
    return qt::Cat({qt::Le32({static_cast<std::uint32_t>(20 + data.size()), command, options, area,
                              first, count}),
                    data});
  };
  const std::vector<Case> cases = {
      {"alarm", 1, 0, request(100100, 0, 2, 35, 1, {0x01})},
      {"ALARM", 0x1FF, 0, request(100100, 0, 2, 35, 1, {0xFF})},
      {"ALARM", 0x100, 0, request(100100, 0, 2, 35, 1, {0x00})},
      {"start", 0, 1, request(100100, 1, 0, 7, 1, {0x00})},
      {"pump_speed", -2, 0, request(100101, 0, 1, 10, 1, {0xFE, 0xFF})},
      {"PUMP_SPEED", 0x12345, 1, request(100101, 1, 1, 10, 1, {0x45, 0x23})},
      {"level", 0x00020001, 0, request(100101, 0, 3, 20, 2, {0x01, 0x00, 0x02, 0x00})},
      {"LEVEL", -1, 0x10, request(100101, 0x10, 3, 20, 2, {0xFF, 0xFF, 0xFF, 0xFF})},
      {"#secure2", 7, 0, request(100101, 0, 1, 13, 1, {0x07, 0x00})},
  };
  for (const Case& c : cases) {
    char name[32];
    std::snprintf(name, sizeof name, "%s", c.name);
    EXPECT_EQ(QNA_WriteTag(name, c.value, c.options), QNA_OK) << c.name;
    EXPECT_EQ(QNA_InternalErr, 0);
  }
  const char* refused[] = {"badclass", "#INKEY", "nosuchtag", "area_d"};
  for (const char* r : refused) {
    char name[32];
    std::snprintf(name, sizeof name, "%s", r);
    EXPECT_NE(QNA_WriteTag(name, 1, 0), QNA_OK) << r;
  }
  QNA_Close();
  peer_.Finish();
  std::vector<Bytes> writes;
  for (const Bytes& one : qt::Records(peer_.received())) {
    const std::uint32_t command = qt::At32(one, 4);
    if (command == 100100 || command == 100101) writes.push_back(one);
  }
  ASSERT_EQ(writes.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(writes[i], cases[i].request) << cases[i].name;
}

constexpr const char* kLayoutCsv =
    "# pumps and levels\n"
    "pump_speed, CW10, word\n"
    "LEVEL,SW20,dword\r\n"
    "  ALARM,sb35,bit\n"
    "\n"
    "START,CB7,BIT\n";

TEST(TagfileTest, DumpGivesTheCsvBack) {
  qt::TempRoot root;
  const std::string tag_path = root.path() + "/plant.tag";
  ASSERT_TRUE(qt::WriteBytes(tag_path, tt::BuildTagFile(kLayoutCsv)));
  std::string csv;
  std::string error;
  ASSERT_EQ(TagfileDump(tag_path, csv, error), 0) << error;
  EXPECT_EQ(csv,
            "# tag file " + tag_path + ": 4 tags\n"
            "PUMP_SPEED,CW10,word\n"
            "LEVEL,SW20,dword\n"
            "ALARM,SB35,bit\n"
            "START,CB7,bit\n");
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

// Lines the writer refuses, and damaged files the reader reports.
TEST(TagfileTest, RefusedLinesAndDamagedFiles) {
  const std::pair<const char*, const char*> lines[] = {
      {"A,CW1\n", "line 1:"},
      {"# x\nA,CW1,word,more\n", "line 2:"},
      {"ABCDEFGHIJKLMNO,CW1,word\n", "line 1:"},
      {"A B,CW1,word\n", "line 1:"},
      {"A,DW1,word\n", "line 1:"},
      {"A,CW,word\n", "line 1:"},
      {"A,CW1x,word\n", "line 1:"},
      {"A,CW2147483648,word\n", "line 1:"},
      {"A,CW1,float\n", "line 1:"},
      {"A,CB1,word\n", "line 1:"},
      {"A,SW1,bit\n", "line 1:"},
      {"pump,CW1,word\n\nPUMP,CW2,word\n", "line 3:"},
  };
  qt::TempRoot root;
  const std::string csv_path = root.path() + "/tags.csv";
  const std::string tag_path = root.path() + "/tags.tag";
  std::string error;
  for (const auto& [csv, where] : lines) {
    SCOPED_TRACE(csv);
    ASSERT_TRUE(tt::WriteText(csv_path, csv));
    EXPECT_EQ(TagfileBuild(csv_path, tag_path, error), 1);
    EXPECT_NE(error.find(where), std::string::npos) << error;
    EXPECT_FALSE(std::filesystem::exists(tag_path));
  }
  EXPECT_EQ(TagfileBuild(root.path() + "/none.csv", tag_path, error), 1);

  const Bytes good = tt::BuildTagFile("ALPHA,CW1,word\nBRAVO,CW2,word\nCHARLIE,SB3,bit\n");
  ASSERT_FALSE(good.empty());
  const std::pair<std::function<void(Bytes&)>, int> damaged[] = {
      {[](Bytes& b) { b.resize(20); }, 1},
      {[](Bytes& b) { tt::Put16(b, 12, 0); }, 1},
      {[](Bytes& b) { tt::Put16(b, 14, 5); }, 1},
      {[](Bytes& b) { tt::Put32(b, 16, 1000); }, 1},
      {[](Bytes& b) { tt::Put16(b, tt::IndexAt(b, 2), 40); }, 1},
      // Usable files with unusable records: the dump says which.
      {[](Bytes& b) { tt::Put32(b, tt::RecordAt(b, 2) + 48, 2); }, 0},
      {[](Bytes& b) { tt::PatchAddress(b, 3, "DW5"); }, 0},
  };
  for (const auto& [damage, result] : damaged) {
    Bytes file = good;
    damage(file);
    ASSERT_TRUE(qt::WriteBytes(tag_path, file));
    std::string out;
    EXPECT_EQ(TagfileDump(tag_path, out, error), result) << error;
    if (result == 0) {
      EXPECT_NE(out.find("not usable"), std::string::npos) << out;
    }
  }
}

}  // namespace
