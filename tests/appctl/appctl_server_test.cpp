// appctl_server_test.cpp - application control through a real quonix: a
// program started by the server (a script in the test's root) is followed to
// running, asked to close and seen to end; a delayed request is cancelled;
// a window is raised; unknown names and ids get their documented results.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <string>

#include "integration/integration.h"
#include "platform/platform.h"
#include "remote/remote.h"

namespace {

using namespace std::chrono_literals;

constexpr std::uint32_t kPending = 1, kRunning = 2, kDone = 3, kFailed = 4, kCancelled = 5;
constexpr std::uint32_t kUnknownApp = 7, kUnknownRequest = 30, kNotPending = 31;

class AppCtlServerTest : public it::IntegrationTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartServer());
    QNA_CONNPARAM params{};
    std::strncpy(params.name, "CONTROL", 8);
    ASSERT_EQ(QNA_OpenN(&params, &id_), 0u) << ServerLog();
  }
  void TearDown() override {
    // A program the server started is stopped whatever the test did.
    std::ifstream pid_file(PidPath());
    long pid = 0;
    if (pid_file >> pid && pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    if (id_ != 0) QNA_CloseN(id_);
    IntegrationTest::TearDown();
  }
  std::string PidPath() const { return root_.path() + "/program.pid"; }
  // A program that notes its process id and then sleeps: SIGTERM ends it.
  std::string WriteProgram() {
    const std::string path = root_.path() + "/program.sh";
    std::ofstream(path) << "#!/bin/sh\necho $$ > " << PidPath() << "\nexec sleep 120\n";
    chmod(path.c_str(), 0700);
    return path;
  }
  std::uint32_t Status(std::uint32_t request) {
    std::uint32_t status = 0;
    const std::uint32_t result = QNA_GetReqStatus(id_, request, &status);
    return result == 0 ? status : 1000 + result;
  }
  bool StatusBecomes(std::uint32_t request, std::uint32_t wanted) {
    return qt::WaitFor([&] { return Status(request) == wanted; }, 15s);
  }
  std::uint32_t id_ = 0;
};

TEST_F(AppCtlServerTest, StartFollowCloseEnd) {
  const std::string program = WriteProgram();
  std::uint32_t start = 0;
  ASSERT_EQ(QNA_StartAPP(id_, program.c_str(), "", root_.path().c_str(), "SLEEPER", 0, 0, 0, 0, &start),
            0u) << ServerLog();
  EXPECT_NE(start, 0u);
  ASSERT_TRUE(StatusBecomes(start, kRunning)) << Status(start) << ServerLog();
  ASSERT_TRUE(qt::WaitFor([&] { return std::ifstream(PidPath()).good(); }));
  long pid = 0;
  ASSERT_TRUE(qt::WaitFor([&] { return (std::ifstream(PidPath()) >> pid) && pid > 0; }));
  EXPECT_TRUE(SysProcessAlive(static_cast<std::uint32_t>(pid)));

  std::uint32_t close = 0;
  ASSERT_EQ(QNA_SendCloseMsg(id_, "sleeper", 0, 0, 0, &close, 0), 0u) << ServerLog();
  EXPECT_GT(close, start) << "ids are never given twice";
  EXPECT_TRUE(StatusBecomes(close, kDone)) << Status(close);
  EXPECT_TRUE(StatusBecomes(start, kDone)) << Status(start);
  EXPECT_FALSE(SysProcessAlive(static_cast<std::uint32_t>(pid)));
  // Gone: a second close finds no such application.
  std::uint32_t again = 0;
  EXPECT_EQ(QNA_SendCloseMsg(id_, "SLEEPER", 0, 0, 0, &again, 0), kUnknownApp);
  EXPECT_EQ(again, 0u);
}

// A delayed start is pending until its time: cancelled, it never runs; left
// alone, it runs then and can no longer be cancelled.
TEST_F(AppCtlServerTest, DelayedStartIsPendingUntilCancelledOrRun) {
  const std::string program = WriteProgram();
  std::uint32_t later = 0, soon = 0;
  ASSERT_EQ(QNA_StartAPP(id_, program.c_str(), "", "", "LATER", 0, 60000, 0, 0, &later), 0u);
  EXPECT_EQ(Status(later), kPending);
  EXPECT_EQ(QNA_CancelReq(id_, later), 0u);
  EXPECT_EQ(Status(later), kCancelled);
  EXPECT_EQ(QNA_CancelReq(id_, later), kNotPending);
  SysSleep(300);
  EXPECT_FALSE(std::ifstream(PidPath()).good()) << "the program never ran";
  ASSERT_EQ(QNA_StartAPP(id_, program.c_str(), "", "", "SOON", 0, 300, 0, 0, &soon), 0u);
  EXPECT_EQ(Status(soon), kPending);
  EXPECT_TRUE(StatusBecomes(soon, kRunning)) << Status(soon);
  EXPECT_EQ(QNA_CancelReq(id_, soon), kNotPending);
  std::uint32_t close = 0;
  ASSERT_EQ(QNA_SendCloseMsg(id_, "SOON", 0, 0, 0, &close, 0), 0u);
  EXPECT_TRUE(StatusBecomes(soon, kDone));
}

TEST_F(AppCtlServerTest, UnknownNamesAndIdsAndAMissingProgram) {
  std::uint32_t start = 0, out = 0;
  const std::string missing = root_.path() + "/no-such-program";
  ASSERT_EQ(QNA_StartAPP(id_, missing.c_str(), "", "", "", 0, 0, 0, 0, &start), 0u);
  EXPECT_EQ(Status(start), kFailed);
  EXPECT_EQ(QNA_SendCloseMsg(id_, "NOBODY", 0, 0, 0, &out, 0), kUnknownApp);
  EXPECT_EQ(QNA_WinTop(id_, "NOBODY", 0, 0, 0, &out, 0), kUnknownApp);
  EXPECT_EQ(QNA_GetReqStatus(id_, 123456, &out), kUnknownRequest);
  EXPECT_EQ(QNA_CancelReq(id_, 123456), kUnknownRequest);
  EXPECT_EQ(QNA_StartAPP(id_, "", "", "", "", 0, 0, 0, 0, &out), 6u);
  EXPECT_EQ(out, 0u);
  // The server never closes itself, whatever its window is called.
  EXPECT_EQ(QNA_SendCloseMsg(id_, "QUONIX RUN", 0, 0, 0, &out, 0), kUnknownApp);
  EXPECT_TRUE(server_->running());
}

// The test's own windows: the one named is raised above the other.
TEST_F(AppCtlServerTest, WindowToTop) {
  const win::HWND mine = win::WindowOpen("MYVIEW - test window");
  const win::HWND other = win::WindowOpen("OTHER - test window");
  ASSERT_NE(mine, 0u);
  ASSERT_NE(other, 0u);
  const auto first = [] { return win::GetWindow(win::GetTopWindow(0), win::GW_HWNDNEXT); };
  EXPECT_EQ(first(), other);
  std::uint32_t top = 0;
  EXPECT_EQ(QNA_WinTop(id_, "myview", 0, 0, 0, &top, 0), 0u) << ServerLog();
  EXPECT_TRUE(StatusBecomes(top, kDone));
  EXPECT_EQ(first(), mine);
  win::WindowClose(other);
  win::WindowClose(mine);
}

}  // namespace
