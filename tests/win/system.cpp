// What only the Win32 layer has: files by real Win32 path, and starting and
// stopping programs of its own.
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    char temp[MAX_PATH] = {};
    ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
    folder_ = std::string(temp) + wt::Unique("files");
    ASSERT_EQ(win::_mkdir(folder_.c_str()), 0);
  }
  void TearDown() override { RemoveDirectoryA(folder_.c_str()); }
  std::string folder_;
};

TEST_F(Files, WorkByWin32PathWithTheRuntimeLibrarysCalls) {
  const std::string path = folder_ + "\\Data.Bin";
  EXPECT_EQ(win::HostPath(path.c_str()), path);  // Win32 paths are host paths
  const int fd = win::_open(path.c_str(),
                            win::O_RDWR_ | win::O_CREAT_ | win::O_EXCL_ | win::O_BINARY_, 0600);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(win::_write(fd, "line\n12345", 10), 10);
  EXPECT_EQ(win::_lseek(fd, 5, 0), 5);
  char got[8] = {};
  EXPECT_EQ(win::_read(fd, got, 5), 5);
  EXPECT_STREQ(got, "12345");
  EXPECT_EQ(win::_lseek(fd, 0, 2), 10);
  EXPECT_EQ(win::_close(fd), 0);

  // The case of a Windows path does not matter; binary mode keeps "\n".
  EXPECT_EQ(win::_access((folder_ + "\\DATA.BIN").c_str(), 0), 0);
  std::FILE* file = win::fopen((folder_ + "\\data.bin").c_str(), "rb");
  ASSERT_NE(file, nullptr);
  char all[16] = {};
  EXPECT_EQ(std::fread(all, 1, sizeof all, file), 10u);
  EXPECT_EQ(std::string(all, 5), "line\n");
  std::fclose(file);

  EXPECT_EQ(win::_open(path.c_str(), win::O_WRONLY_ | win::O_CREAT_ | win::O_EXCL_, 0600), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(win::_mkdir(folder_.c_str()), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(win::GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(win::_unlink(path.c_str()), 0);
  EXPECT_EQ(Failed(win::_access(path.c_str(), 0) != -1), ERROR_FILE_NOT_FOUND);
}

TEST_F(Files, RefuseBadArgumentsAsFailuresAndTellAMissingFolder) {
  EXPECT_EQ(win::fopen((folder_ + "\\x").c_str(), "q"), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(win::fopen(nullptr, "rb"), nullptr);
  EXPECT_EQ(win::_access(nullptr, 0), -1);
  const std::string missing = folder_ + "\\no\\such\\file";
  EXPECT_EQ(Failed(win::_open(missing.c_str(), win::O_RDONLY_) != -1), ERROR_PATH_NOT_FOUND);
  char byte;
  EXPECT_EQ(win::_read(-1, &byte, 1), -1);
  EXPECT_EQ(win::HostPath(nullptr), "");
}

TEST(Programs, StartAndStopWithAStopRequest) {
  std::string line = wt::Quoted(wt::ThisProgram()) + " --child stop-handler none";
  win::STARTUPINFOA startup{sizeof(win::STARTUPINFOA), STARTF_USESHOWWINDOW, SW_HIDE};
  win::PROCESS_INFORMATION info{};
  ASSERT_EQ(win::CreateProcessA(nullptr, line.data(), nullptr, nullptr, 0, 0, nullptr, nullptr,
                                &startup, &info),
            1);
  EXPECT_EQ(info.hProcess, 0u);  // programs are known by their id
  ASSERT_NE(info.dwProcessId, 0u);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                               info.dwProcessId);
  ASSERT_NE(process, nullptr);
  EXPECT_TRUE(SysProcessAlive(info.dwProcessId));
  // Until its handler is installed a stop would end it at once; wait for it.
  const std::string event = "QNAPI-STOP-" + std::to_string(info.dwProcessId);
  ASSERT_TRUE(wt::WaitFor([&] {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, event.c_str());
    if (h != nullptr) CloseHandle(h);
    return h != nullptr;
  }));
  EXPECT_EQ(SysProcessStop(info.dwProcessId), 0);
  ASSERT_EQ(WaitForSingleObject(process, 20000), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(process, &code);
  EXPECT_EQ(code, 7u);  // it saw the request and ended on its own
  CloseHandle(process);
  EXPECT_FALSE(SysProcessAlive(info.dwProcessId));
}

TEST(Programs, WithoutAStopHandlerAreEndedAndBadCommandsFail) {
  wt::Child child("sleep");
  ASSERT_TRUE(child.WaitReady());
  EXPECT_EQ(SysProcessStop(child.pid()), 0);
  EXPECT_EQ(child.Wait(), 143);
  EXPECT_FALSE(SysProcessAlive(0));
  EXPECT_EQ(SysProcessStop(0), -1);

  char missing[] = "C:\\qna-no-such-folder\\QUONIX.EXE";
  win::STARTUPINFOA startup{sizeof(win::STARTUPINFOA), 0, 0};
  win::PROCESS_INFORMATION info{};
  EXPECT_EQ(win::CreateProcessA(nullptr, missing, nullptr, nullptr, 0, 0, nullptr, nullptr,
                                &startup, &info),
            0);
  EXPECT_NE(win::GetLastError(), 0u);
}

TEST(Programs, ProcExitEndsTheProcessWithItsCode) {
  wt::Child child("exit", "5");
  EXPECT_EQ(child.Wait(), 5);
  EXPECT_EQ(SysProcessId(), GetCurrentProcessId());
}

}  // namespace
