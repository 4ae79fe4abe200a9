// What a hostile peer cannot do: read another user's platform root.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "integration/integration.h"

namespace {

using namespace it;
namespace fs = std::filesystem;

using Security = IntegrationTest;

// The root and everything in it: no access for group or others (connecting
// to a pipe's socket needs write permission).
TEST_F(Security, RootAndObjectsArePrivate) {
  const std::string made = root_.path() + "/made/root";
  setenv("QNAPI_ROOT", made.c_str(), 1);
  ASSERT_TRUE(StartServer(SizeArgs(kSmallWords)));
  const QNA_REGREC record = Record("PRIVATE");
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  std::uint16_t value = 1;
  ASSERT_EQ(QNA_WriteApp("PRIVATE", 0, 1, &value, 0), QNA_OK);
  struct stat st {};
  ASSERT_EQ(stat(made.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 077, 0u) << "root mode " << std::oct << st.st_mode;
  int checked = 0;
  for (const auto& entry : fs::recursive_directory_iterator(made)) {
    ASSERT_EQ(lstat(entry.path().c_str(), &st), 0);
    if (S_ISLNK(st.st_mode)) continue;
    const unsigned forbidden = S_ISSOCK(st.st_mode) ? 022 : 077;
    EXPECT_EQ(st.st_mode & forbidden, 0u) << entry.path() << " mode " << std::oct << st.st_mode;
    ++checked;
  }
  EXPECT_GT(checked, 10);  // areas, mutexes, the pipe, the window table...
  QNA_Close();
  server_->Stop();
  setenv("QNAPI_ROOT", root_.path().c_str(), 1);
}

}  // namespace
