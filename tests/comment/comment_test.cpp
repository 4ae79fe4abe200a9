// The comment file in real files under the test's drive folders.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "support/peer.h"
#include "support/server.h"

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string Host(const std::string& win_path) { return win::HostPath(win_path.c_str()); }
std::string CommentPath(char drive, const std::string& user) {
  return Host(std::string(1, drive) + ":\\quonix\\usr\\" + user + "\\smemcmnt.bin");
}
std::string SystemPath(char drive) { return Host(std::string(1, drive) + ":\\quonix\\sys\\sbswcmnt.bin"); }

// A system comment file: 32 'H', comment i byte j = (7 i + j) % 251, `extra`.
Bytes SystemFile(std::size_t extra = 0) {
  Bytes file(32, 'H');
  for (std::size_t i = 0; i < 512; ++i)
    for (std::size_t j = 0; j < 32; ++j) file.push_back(static_cast<std::uint8_t>((7 * i + j) % 251));
  file.insert(file.end(), extra, 'T');
  return file;
}

Bytes Comments(std::size_t count, std::uint8_t first) {
  Bytes out(32 * count);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint8_t>(first + i);
  return out;
}


class CommentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(qt::WriteBytes(SystemPath('C'), SystemFile())); }
  void TearDown() override { QNA_CloseCmnt(); }
  qt::TempRoot root_;
};

TEST_F(CommentTest, NewFileLayout) {
  ASSERT_EQ(QNA_CreateCmnt('C', "bob", 16, 32, 'C', 0), QNA_OK);
  const Bytes file = qt::ReadBytes(CommentPath('C', "bob"));
  ASSERT_EQ(file.size(), 17936u);
  EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), qt::Le32({16, 32, 256, 256}));
  EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 1552), Bytes(1536, ' '));
  const Bytes system = SystemFile();
  EXPECT_EQ(Bytes(file.begin() + 1552, file.end()), Bytes(system.begin() + 32, system.begin() + 16416));

  // The new file is open: comments can be read straight away.
  std::uint8_t system_comment[32];
  ASSERT_EQ(QNA_GetCmnt(3, 255, 1, system_comment), QNA_OK);
  EXPECT_EQ(Bytes(system_comment, system_comment + 32),
            Bytes(system.begin() + 32 + 32 * 511, system.begin() + 32 + 32 * 512));
}

std::map<std::string, Bytes> Tree() {
  std::map<std::string, Bytes> tree;
  for (const auto& entry : fs::recursive_directory_iterator(Host("C:\\quonix")))
    tree[entry.path().string()] = entry.is_regular_file() ? qt::ReadBytes(entry.path().string()) : Bytes{};
  return tree;
}

// After ann's file: a create that fails leaves every file as it was.
TEST_F(CommentTest, Creates) {
  const std::string bob = CommentPath('C', "bob");
  Bytes short_by_one = SystemFile();
  short_by_one.pop_back();
  const auto system_file = [](Bytes b) { return [b] { qt::WriteBytes(SystemPath('C'), b); }; };
  const auto existing = [bob] { qt::WriteBytes(bob, Bytes(16 + 32 * 512, 'o')); };
  // What names that escape the user's own folder would reach.
  const auto decoys = [] {
    qt::WriteBytes(Host("C:\\quonix\\sys\\smemcmnt.bin"), Bytes(16 + 32 * 512, 'd'));
    qt::WriteBytes(Host("C:\\quonix\\smemcmnt.bin"), Bytes(16 + 32 * 512, 'd'));
  };
  // A refused create may overwrite: only the row's fault stops it.
  struct Case {
    const char* situation;
    std::uint32_t result = 0;
    std::int32_t words = 16, bits = 0;
    std::function<void()> prepare = [] {};
    const char* user = "bob";
    char drive = 'C', system = 'C';
    std::uint32_t overwrite = result != 0;
  };
  const std::vector<Case> cases = {
      {"0 and 0", 0, 0, 0},
      {"16 and 32", 0, 16, 32},
      {"the most of both", 0, 32768, 524288},
      {"17 words", 305, 17, 0, {}, "bob", 'C', 'C', 0},
      {"too many words", 305, 32784, 0, {}, "bob", 'C', 'C', 0},
      {"-16 words", 305, -16, 0, {}, "bob", 'C', 'C', 0},
      {"8 bits", 305, 0, 8, {}, "bob", 'C', 'C', 0},
      {"too many bits", 305, 0, 524304, {}, "bob", 'C', 'C', 0},
      // Only the first 512 comments after byte 32 are copied.
      {"longer system file", 0, 0, 0, [] { qt::WriteBytes(SystemPath('D'), SystemFile(100)); },
       "bob", 'C', 'D'},
      {"system file missing", 300, 16, 32, [] { fs::remove(SystemPath('C')); }},
      {"system file on another drive", 300, 16, 32, {}, "bob", 'C', 'E'},
      {"system drive not a letter", 300, 16, 32, {}, "bob", 'C', '3'},
      {"system file of 16415 bytes", 303, 16, 32, system_file(short_by_one)},
      {"system file of only the skipped bytes", 303, 16, 32, system_file(Bytes(32, 'H'))},
      {"system file shorter than the skipped bytes", 303, 16, 32, system_file(Bytes(10, 'H'))},
      {"existing file kept", 304, 32, 32, existing, "bob", 'C', 'C', 0},
      {"existing file overwritten", 0, 32, 0, existing, "bob", 'C', 'C', 1},
      {"short system file, existing file to overwrite", 303, 16, 0, [existing] {
         existing();
         qt::WriteBytes(SystemPath('C'), Bytes(1000, 'S'));
       }},
      {"a file where the user's folder goes", 303, 16, 0,
       [] { qt::WriteBytes(Host("C:\\quonix\\usr\\bob"), Bytes{'x'}); }},
      {"a folder where the file goes", 303, 16, 0, [bob] { fs::create_directories(bob); }},
      {"user ..", 303, 16, 0, decoys, ".."},
      {"user ../sys", 303, 16, 0, decoys, "../sys"},
      {"empty user", 303, 16, 0, decoys, ""},
      {"no user", 303, 16, 0, decoys, nullptr},
      {"user eve.", 303, 16, 0, decoys, "eve."},
      {"user eve and a blank", 303, 16, 0, decoys, "eve "},
      {"user a..b", 303, 16, 0, decoys, "a..b"},
      {"drive 1", 303, 16, 0, decoys, "eve", '1'},
      {"drive 0", 303, 16, 0, decoys, "eve", '\0'},
      {"drive \\", 303, 16, 0, decoys, "eve", '\\'},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    QNA_CloseCmnt();
    fs::remove_all(Host("C:\\quonix\\usr"));
    ASSERT_TRUE(qt::WriteBytes(SystemPath('C'), SystemFile()));
    ASSERT_EQ(QNA_CreateCmnt('C', "ann", 0, 0, 'C', 0), QNA_OK);
    if (c.prepare) c.prepare();
    const auto before = Tree();
    EXPECT_EQ(QNA_CreateCmnt(c.drive, c.user, c.words, c.bits, c.system, c.overwrite), c.result);
    std::uint8_t last[32];
    if (c.result == 0) {
      EXPECT_EQ(fs::file_size(bob), 16u + 32u * static_cast<std::uint64_t>(c.words + c.bits + 512));
      EXPECT_EQ(QNA_GetCmnt(3, 255, 1, last), QNA_OK);
      continue;
    }
    EXPECT_EQ(Tree(), before);
    EXPECT_EQ(QNA_GetCmnt(3, 255, 1, last), QNA_E_CMNT_NOTOPEN);
    if (!fs::is_regular_file(bob)) {
      std::uint32_t header[4] = {};
      EXPECT_EQ(QNA_OpenCmnt(c.drive, c.user, header), QNA_E_CMNT_OPEN);
    }
  }
}

// A full disk at each stage of the create: no comment file left.
TEST_F(CommentTest, DiskFull) {
  // 17936 bytes in all: header 16, spaces to 1552, system comments after.
  const rlim_t limits[] = {0, 10, 16, 1000, 1552, 10000, 17935};
  const std::string path = CommentPath('C', "bob");
  for (const rlim_t limit : limits) {
    SCOPED_TRACE(testing::Message() << "limit " << limit);
    fs::remove(path);
    qt::Child child([limit, path] {
      signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
      const rlimit size{limit, limit};
      if (setrlimit(RLIMIT_FSIZE, &size) != 0) return 10;
      const std::uint32_t result = QNA_CreateCmnt('C', "bob", 16, 32, 'C', 0);
      std::uint8_t any[32];
      const bool closed = QNA_GetCmnt(0, 0, 1, any) == QNA_E_CMNT_NOTOPEN;
      return result == QNA_E_CMNT_CREATE && closed ? 0 : 11;
    });
    EXPECT_EQ(child.Wait(std::chrono::seconds(60)), 0);
    EXPECT_FALSE(fs::exists(path));
  }
  qt::Child roomy([] {
    const rlimit size{17936, 17936};
    if (setrlimit(RLIMIT_FSIZE, &size) != 0) return 10;
    return QNA_CreateCmnt('C', "bob", 16, 32, 'C', 0) == QNA_OK ? 0 : 11;
  });
  EXPECT_EQ(roomy.Wait(std::chrono::seconds(60)), 0);
  EXPECT_EQ(qt::ReadBytes(path).size(), 17936u);
}

TEST_F(CommentTest, Open) {
  std::uint32_t header[4] = {9, 9, 9, 9};
  EXPECT_EQ(QNA_OpenCmnt('C', "bob", header), QNA_E_CMNT_OPEN);
  ASSERT_EQ(QNA_CreateCmnt('C', "bob", 48, 16, 'C', 0), QNA_OK);
  QNA_CloseCmnt();
  EXPECT_EQ(QNA_OpenCmnt('c', "BOB", header), QNA_OK);  // drive paths ignore case
  EXPECT_EQ(header[0], 48u);
  EXPECT_EQ(header[1], 16u);
  EXPECT_EQ(header[2], 256u);
  EXPECT_EQ(header[3], 256u);
  EXPECT_EQ(QNA_OpenCmnt('C', "bob", nullptr), QNA_OK);

  // A header cut short: 301, and nothing stays open.
  ASSERT_TRUE(qt::WriteBytes(CommentPath('C', "cut"), Bytes(15, 0)));
  EXPECT_EQ(QNA_OpenCmnt('C', "cut", header), QNA_E_CMNT_IO);
  std::uint8_t any[32];
  EXPECT_EQ(QNA_GetCmnt(0, 0, 1, any), QNA_E_CMNT_NOTOPEN);

  // A header that promises more than the file holds: reads fail with 301.
  Bytes lying(16 + 32, ' ');
  lying[0] = 16;
  ASSERT_TRUE(qt::WriteBytes(CommentPath('C', "liar"), lying));
  ASSERT_EQ(QNA_OpenCmnt('C', "liar", header), QNA_OK);
  EXPECT_EQ(QNA_GetCmnt(0, 0, 1, any), QNA_OK);
  EXPECT_EQ(QNA_GetCmnt(0, 1, 1, any), QNA_E_CMNT_IO);
  EXPECT_EQ(QNA_GetCmnt(0, 15, 1, any), QNA_E_CMNT_IO);

  QNA_CloseCmnt();
  EXPECT_EQ(QNA_GetCmnt(0, 0, 1, any), QNA_E_CMNT_NOTOPEN);
  QNA_CloseCmnt();  // nothing open: nothing happens
  EXPECT_EQ(QNA_PutCmnt(0, 0, 1, any), QNA_E_CMNT_NOTOPEN);
}

// Comments go to and come from their exact place, raw; bad ranges move none.
TEST_F(CommentTest, GetAndPutRanges) {
  ASSERT_EQ(QNA_CreateCmnt('C', "bob", 16, 32, 'C', 0), QNA_OK);
  const std::string path = CommentPath('C', "bob");
  const Bytes before = qt::ReadBytes(path);
  struct Case {
    const char* situation;
    std::uint32_t kind, first, count;
    std::uint32_t result = 0;
    std::size_t offset = 0;  // where in the file
    bool buffer = true;
  };
  const Case cases[] = {
      {"first word", 0, 0, 1, 0, 16},
      {"words up to the end", 0, 14, 2, 0, 16 + 32 * 14},
      {"first bits", 1, 0, 2, 0, 16 + 32 * 16},
      {"last bit", 1, 31, 1, 0, 16 + 32 * (16 + 31)},
      {"first system comments", 2, 0, 3, 0, 16 + 32 * 48},
      {"system block 2 whole", 2, 0, 256, 0, 16 + 32 * 48},
      {"system block 2, last", 2, 255, 1, 0, 16 + 32 * (48 + 255)},
      {"system block 3, first", 3, 0, 1, 0, 16 + 32 * (48 + 256)},
      {"last system comments", 3, 250, 6, 0, 16 + 32 * (48 + 256 + 250)},
      {"one word past", 0, 15, 2, 305},
      {"first past the end", 0, 16, 1, 305},
      {"one bit past", 1, 31, 2, 305},
      {"one system comment past", 2, 1, 256, 305},
      {"kind 4", 4, 0, 1, 305},
      {"kind 0xFFFFFFFF", 0xFFFFFFFFu, 0, 1, 305},
      {"count 0 at the end", 1, 32, 0, 0},
      {"count 0 without a buffer", 0, 0, 0, 0, 0, false},
      {"count 0 past the end", 1, 33, 0, 305},
      {"range wraps", 0, 0xFFFFFFFFu, 2, 305},
      {"count wraps", 0, 1, 0xFFFFFFFFu, 305},
      {"no buffer", 0, 0, 1, 305, 0, false},
  };
  std::uint8_t seed = 1;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    const bool moves = c.result == 0 && c.count > 0;
    Bytes text = Comments(moves ? c.count : 1, seed);
    text[0] = 0;  // no terminator is added or looked for: bytes are bytes
    seed = static_cast<std::uint8_t>(seed + 40);
    EXPECT_EQ(QNA_PutCmnt(c.kind, c.first, c.count, c.buffer ? text.data() : nullptr), c.result);
    const Bytes file = qt::ReadBytes(path);
    ASSERT_EQ(file.size(), before.size());
    if (!moves) {
      EXPECT_EQ(file, before);
    } else {
      const auto at = file.begin() + static_cast<long>(c.offset);
      EXPECT_EQ(Bytes(at, at + static_cast<long>(text.size())), text);
    }
    Bytes back(text.size() + 1, 0xEE);
    EXPECT_EQ(QNA_GetCmnt(c.kind, c.first, c.count, c.buffer ? back.data() : nullptr), c.result);
    if (moves) {
      EXPECT_EQ(Bytes(back.begin(), back.end() - 1), text);
    }
    EXPECT_EQ(back.back(), 0xEE);
    ASSERT_TRUE(qt::WriteBytes(path, before));
  }
}

// The server writes a system comment file when there is none, keeps one.
TEST(CommentInstallTest, ServerWritesTheSystemFile) {
  qt::TempRoot root;
  {
    qt::Server server;
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(server.Stop(), 0);
  }
  const Bytes system = qt::ReadBytes(SystemPath('C'));
  ASSERT_EQ(system.size(), 32u + 32 * 512);
  ASSERT_EQ(QNA_CreateCmnt('C', "bob", 0, 0, 'C', 0), QNA_OK);
  char text[33] = {};
  ASSERT_EQ(QNA_GetCmnt(3, 204, 1, text), QNA_OK);
  EXPECT_EQ(std::string(text), "SW0204 link close handshake     ");
  QNA_CloseCmnt();
  EXPECT_FALSE(fs::exists(Host("C:\\quonix\\sys\\sbswcmnt.new")));

  const Bytes edited = SystemFile(7);
  ASSERT_TRUE(qt::WriteBytes(SystemPath('C'), edited));
  {
    qt::Server server;
    ASSERT_TRUE(server.ready());
    EXPECT_EQ(server.Stop(), 0);
  }
  EXPECT_EQ(qt::ReadBytes(SystemPath('C')), edited);
}

}  // namespace
