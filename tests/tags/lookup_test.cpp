// Tag access against a scripted server and the test's own data areas: the
// load (6000 to 6005), the project named in the RAVOWLD mailbox, the lookup
// (6010 to 6016), the values read and the exact write requests sent.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/family.h"
#include "core/tags.h"
#include "tag_files.h"

namespace {

using qt::Bytes;
using qt::PeerConn;

// What the scripted server keeps in the RAVOWLD mailbox, changed by the
// tests between calls.
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
  tt::PatchAddress(file, 10, "DW5");
  tt::PatchAddress(file, 11, "CX5");
  tt::PatchAddress(file, 12, "CW");
  tt::PatchAddress(file, 13, "CW10X");
  tt::PatchAddress(file, 14, "CW99999999999");
  tt::PatchAddress(file, 15, "cw21");
  tt::PatchAddress(file, 16, "CW 22");
  tt::PatchAddress(file, 17, "CW+23");
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
  // Loads the plant's tag file as project C:PLANT.
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

// Changes the current folder for a scope.
class InFolder {
 public:
  explicit InFolder(const std::string& folder) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(folder);
  }
  ~InFolder() { std::filesystem::current_path(previous_); }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  std::filesystem::path previous_;
};

// Whether PUMP_SPEED can be looked up: 0, or 202 with 6010.
void ExpectLoaded(bool loaded) {
  char name[] = "PUMP_SPEED";
  std::int32_t value = 0;
  if (loaded) {
    EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_OK);
  } else {
    EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_E_TAG_NOTLOADED);
    EXPECT_EQ(QNA_InternalErr, QNA_TAG_NOT_LOADED);
  }
}

TEST(TagStateTest, NothingLoadedBeforeInitRavo) {
  qt::TempRoot root;
  char name[] = "pump";
  std::int32_t value = 7;
  EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_E_TAG_NOTLOADED);
  EXPECT_EQ(QNA_InternalErr, QNA_TAG_NOT_LOADED);
  EXPECT_EQ(QNA_WriteTag(name, 1, 0), QNA_E_TAG_NOTLOADED);
  EXPECT_EQ(QNA_InternalErr, QNA_TAG_NOT_LOADED);
  EXPECT_STREQ(name, "pump");  // the lookup never started
  EXPECT_EQ(value, 7);
  // Without a connection the project cannot be asked for.
  EXPECT_EQ(QNA_InitRavo(), QNA_E_NOTOPEN);
  QNA_EndRavo();
  QNA_EndRavo();
}

// Loading: every detail code of the load, each after a good load, and a
// failed load leaves nothing loaded.
TEST_F(TagTest, LoadDetailCodes) {
  const Bytes good = PlantFile();
  ASSERT_FALSE(good.empty());
  const std::size_t n = static_cast<std::size_t>(tt::FieldN(good));
  struct Case {
    const char* situation;
    std::function<void(Bytes&)> damage;  // null: no file at all
    std::uint32_t result;
    std::int32_t detail;
  };
  const std::vector<Case> cases = {
      {"good file", [](Bytes&) {}, 0, 0},
      {"no file", nullptr, 200, 6000},
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
  };
  const std::string path = tt::ProjectTagPath('C', "PLANT");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    ASSERT_TRUE(qt::WriteBytes(path, good));
    ASSERT_EQ(QNA_InitRavo(), QNA_OK);
    ExpectLoaded(true);
    if (c.damage) {
      Bytes file = good;
      c.damage(file);
      ASSERT_TRUE(qt::WriteBytes(path, file));
    } else {
      std::filesystem::remove(path);
    }
    EXPECT_EQ(QNA_InitRavo(), c.result);
    EXPECT_EQ(QNA_InternalErr, c.detail);
    ExpectLoaded(c.result == 0);
  }
  // The server's refusal of the mailbox read comes back as it is.
  ASSERT_TRUE(qt::WriteBytes(path, good));
  SetProject(Project('C', "PLANT"), 7);
  EXPECT_EQ(QNA_InitRavo(), 7u);
  EXPECT_EQ(QNA_InternalErr, 0);
  ExpectLoaded(false);
}

// The mailbox is the server's: a project that would put the tag file
// anywhere but in its own folder is refused with 200 and 6000, even when a
// good tag file waits where such a path would lead.
TEST_F(TagTest, ProjectNamedInTheMailbox) {
  const Bytes good = PlantFile();
  const std::string x118(118, 'X');
  const std::string x120(120, 'X');
  struct Case {
    const char* situation;
    Bytes mailbox;
    std::string decoy;  // host path of a good tag file put in place first
    std::uint32_t result;
  };
  const std::vector<Case> cases = {
      {"C:PLANT", Project('C', "PLANT"), tt::ProjectTagPath('C', "PLANT"), 0},
      {"lower case c:plant", Project('c', "plant"), tt::ProjectTagPath('C', "PLANT"), 0},
      {"drive D", Project('D', "PLANT"), tt::ProjectTagPath('D', "PLANT"), 0},
      {"longest path that fits", Project('C', x118), tt::ProjectTagPath('C', x118), 0},
      {"path too long", Project('C', x120), tt::ProjectTagPath('C', x120), 200},
      {"drive byte 0", Project('\0', "PLANT"), "", 200},
      {"drive '1'", Project('1', "PLANT"), "1:/RAVOWLD/USR/PLANT/PLANT.TAG", 200},
      {"empty name", Project('C', ""), tt::Host("C:\\RAVOWLD\\USR\\.TAG"), 200},
      {"name ..", Project('C', ".."), tt::Host("C:\\RAVOWLD\\...TAG"), 200},
      {"name ..\\PLANT", Project('C', "..\\PLANT"), tt::Host("C:\\RAVOWLD\\PLANT.TAG"), 200},
      {"name A/B", Project('C', "A/B"), tt::Host("C:\\RAVOWLD\\USR\\A\\B\\A\\B.TAG"), 200},
      {"name A\\B", Project('C', "A\\B"), tt::Host("C:\\RAVOWLD\\USR\\A\\B\\A\\B.TAG"), 200},
      {"name with a colon", Project('C', "A:B"), "", 200},
      {"name ending in a dot", Project('C', "PLANT."), "", 200},
      {"name without a terminator", Project('C', std::string(1150, 'A')), "", 200},
  };
  // Relative paths (a drive that is not a letter) land in the current folder.
  const InFolder in_root(root_.path());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    if (!c.decoy.empty()) {
      ASSERT_TRUE(qt::WriteBytes(c.decoy, good));
    }
    SetProject(c.mailbox);
    EXPECT_EQ(QNA_InitRavo(), c.result);
    EXPECT_EQ(QNA_InternalErr, c.result == 0 ? 0 : 6000);
    ExpectLoaded(c.result == 0);
    if (!c.decoy.empty()) std::filesystem::remove(c.decoy);
  }
}

// Every lookup outcome, with the caller's name upper-cased in place once
// the search has run.
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
      {"  #Secure", 203, 6011, "  #Secure"},
      {"\t#LBUTTON", 203, 6011, "\t#LBUTTON"},
      {"#PROTECT", 203, 6011, "#PROTECT"},
      {"x#inkey", 204, 6012, "X#INKEY"},
      {"#inkey ", 204, 6012, "#INKEY "},
      {"#secure2", 0, 0, "#SECURE2"},
      {"#secure9", 204, 6012, "#SECURE9"},
      {"#abcdefghijklmno", 204, 6012, "#ABCDEFGHIJKLMNO"},
      {"nosuchtag", 204, 6012, "NOSUCHTAG"},
      {"abcdefghijklmn", 0, 0, "ABCDEFGHIJKLMN"},
      {"abcdefghijklmno", 204, 6012, "ABCDEFGHIJKLMNO"},  // not the 14-character tag
      {"ABCDEFGHIJKLM", 204, 6012, "ABCDEFGHIJKLM"},
      {"<undefined>", 204, 6012, "<UNDEFINED>"},
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

// Values by tag come from the data areas as the address says, addresses
// written oddly too (the integration test has the plain ones).
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
  qt::Signal held;
  qt::Signal release;
  std::thread holder([&] {
    if (MtxWait(objects_.mutex(1), 5000) == kWaitOk) {
      held.Post();
      release.Take(std::chrono::seconds(30));
      MtxRelease(objects_.mutex(1));
    }
  });
  ASSERT_EQ(held.Take(), 1);
  QNA_TimeOut = 50;
  char name[] = "PUMP_SPEED";
  std::int32_t value = 0;
  EXPECT_EQ(QNA_ReadTag(name, &value, 0), QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
  EXPECT_EQ(QNA_ReadTag(name, &value, 1), QNA_OK);
  EXPECT_EQ(value, 5);
  release.Post();
  holder.join();
}

// QNA_WriteTag sends exactly the write request of the tag's address, with
// the caller's options word, and nothing for a tag it refuses.
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
    for (char* p = name; *p != '\0'; ++p) EXPECT_FALSE(*p >= 'a' && *p <= 'z') << name;
  }
  const char* refused[] = {"badclass", "#INKEY", "nosuchtag", "area_d"};
  for (const char* r : refused) {
    char name[32];
    std::snprintf(name, sizeof name, "%s", r);
    EXPECT_NE(QNA_WriteTag(name, 1, 0), QNA_OK) << r;
  }
  QNA_Close();
  peer_.Finish();
  // Every request the server saw, in order; keep the writes.
  std::vector<Bytes> writes;
  for (const Bytes& one : qt::Records(peer_.received())) {
    const std::uint32_t command = qt::At32(one, 4);
    if (command == 100100 || command == 100101) writes.push_back(one);
  }
  ASSERT_EQ(writes.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(writes[i], cases[i].request) << cases[i].name;
}

// Three tags ALPHA, BRAVO, CHARLIE on CW1 to CW3 (index positions and records
// 1 to 3), searched in a file damaged as each row says: the word found, or
// -1 for a name not found (204 with 6012).
TEST_F(TagTest, SearchOfDamagedIndexes) {
  using Damage = std::function<void(Bytes&)>;
  const Damage whole = [](Bytes&) {};
  // Record 0 at the first probe (position 2) compares as "<UNDEFINED>",
  // which sorts before letters: the search goes on to the right.
  const Damage record_zero = [](Bytes& b) { tt::Put16(b, tt::IndexAt(b, 2), 0); };
  // A search bound below n searches positions 1 to c - 1 only.
  const Damage bound = [](Bytes& b) { tt::Put16(b, 14, 2); };
  // A record cut off by the end of the file is not there: it never lends
  // the rest of the record read before it (BRAVO's CW2) to CHARLIE.
  const Damage cut = [](Bytes& b) { b.resize(tt::RecordAt(b, 3) + 20); };
  const struct {
    const Damage& damage;
    const char* name;
    std::int32_t value;
  } cases[] = {
      {whole, "ALPHA", 0x1111},      {whole, "bravo", 0x2222},      {whole, "CHARLIE", 0x3333},
      {whole, "!", -1},              {whole, "B", -1},              {whole, "ZULU", -1},
      {record_zero, "CHARLIE", 0x3333}, {record_zero, "BRAVO", -1}, {record_zero, "ALPHA", -1},
      {record_zero, "<undefined>", -1}, {bound, "ALPHA", 0x1111},   {bound, "BRAVO", -1},
      {bound, "CHARLIE", -1},        {cut, "CHARLIE", -1},          {cut, "BRAVO", 0x2222},
  };
  for (std::size_t i = 1; i <= 3; ++i) objects_.area(1)[i] = static_cast<std::uint16_t>(0x1111 * i);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes file = tt::BuildTagFile("ALPHA,CW1,word\nBRAVO,CW2,word\nCHARLIE,CW3,word\n");
    c.damage(file);
    ASSERT_TRUE(qt::WriteBytes(tt::ProjectTagPath('C', "PLANT"), file));
    ASSERT_EQ(QNA_InitRavo(), QNA_OK);
    char name[32];
    std::snprintf(name, sizeof name, "%s", c.name);
    std::int32_t value = 0;
    EXPECT_EQ(QNA_ReadTag(name, &value, 0), c.value < 0 ? QNA_E_TAG_NOTFOUND : QNA_OK);
    EXPECT_EQ(QNA_InternalErr, c.value < 0 ? QNA_TAG_NOT_FOUND : 0);
    EXPECT_EQ(value, c.value < 0 ? 0 : c.value);
  }
  // Ending releases the file: lookups answer 202 until the next load.
  QNA_EndRavo();
  ExpectLoaded(false);
}

}  // namespace
