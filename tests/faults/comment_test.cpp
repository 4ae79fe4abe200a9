// The comment file on a full disk and in a read-only folder: every failure
// is a result code, and what was written before stays readable.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "integration/integration.h"
#include "platform/platform.h"

namespace {

using namespace it;
namespace fs = std::filesystem;

bool MakeSystemFile() {
  return qt::WriteBytes(win::HostPath("C:\\quonix\\sys\\sbswcmnt.bin"),
                        std::vector<std::uint8_t>(32 + 512 * 32, 'S'));
}

std::string CommentFile(const char* user) {
  return win::HostPath((std::string("C:\\quonix\\usr\\") + user + "\\smemcmnt.bin").c_str());
}

// A full disk as a file size limit (SIGXFSZ ignored: writes past it fail).
TEST(CommentFaults, FullDisk) {
  qt::TempRoot root;
  ASSERT_TRUE(MakeSystemFile());
  qt::Child child([&] {
    signal(SIGXFSZ, SIG_IGN);
    if (const auto r = QNA_CreateCmnt('C', "full", 16, 16, 'C', 1); r != QNA_OK)
      return it::ChildFail("small create gave " + std::to_string(r));
    std::uint32_t header[4] = {};
    if (const auto r = QNA_OpenCmnt('C', "full", header); r != QNA_OK) return it::ChildFail("open " + std::to_string(r));
    char text[32] = "kept";
    if (QNA_PutCmnt(0, 3, 1, text) != QNA_OK) return it::ChildFail("put within the limit");
    // Full right behind the word comments.
    const rlimit full{16 + 32 * 16, 16 + 32 * 16};
    if (setrlimit(RLIMIT_FSIZE, &full) != 0) return it::ChildFail("setrlimit");
    char other[32] = "lost";
    if (const auto r = QNA_PutCmnt(3, 255, 1, other); r != QNA_E_CMNT_IO)
      return it::ChildFail("put past the limit gave " + std::to_string(r));
    char got[32] = {};
    if (QNA_GetCmnt(0, 3, 1, got) != QNA_OK || std::string(got) != "kept")
      return it::ChildFail("the comment written before is gone");
    QNA_CloseCmnt();
    return 0;
  });
  EXPECT_EQ(child.Wait(60s), 0);
}

// A folder nobody may write: 303 and nothing left; a file without write
// permission does not open.  As nobody when run as root.
TEST(CommentFaults, ReadOnlyFolder) {
  char dir[] = "/tmp/qnapi-ro-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown(dir, 65534, 65534), 0);
  }
  qt::Child child([&] {
    if (root && (setgid(65534) != 0 || setuid(65534) != 0)) return it::ChildFail("cannot drop to nobody");
    PlatformSetRoot(dir);
    if (!MakeSystemFile()) return it::ChildFail("system file");
    const fs::path user = fs::path(CommentFile("ro")).parent_path();
    std::error_code error;
    fs::create_directories(user, error);
    if (error || chmod(user.c_str(), 0555) != 0) return it::ChildFail("read-only folder");
    if (const auto r = QNA_CreateCmnt('C', "ro", 16, 16, 'C', 1); r != QNA_E_CMNT_CREATE)
      return it::ChildFail("create in a read-only folder gave " + std::to_string(r));
    if (fs::exists(CommentFile("ro"))) return it::ChildFail("a file was left");
    chmod(user.c_str(), 0755);
    if (QNA_CreateCmnt('C', "ro", 16, 16, 'C', 1) != QNA_OK) return it::ChildFail("create");
    chmod(CommentFile("ro").c_str(), 0444);
    std::uint32_t header[4] = {};
    const auto r = QNA_OpenCmnt('C', "ro", header);
    if (r != QNA_E_CMNT_OPEN) return it::ChildFail("open of a read-only file gave " + std::to_string(r));
    return 0;
  });
  EXPECT_EQ(child.Wait(60s), 0);
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
