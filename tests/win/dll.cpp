// qnapi.dll as an application uses it: linked through its import library,
// first without a server, then against the stand-in server started with the
// library's own launcher, over the local pipe, a pipe connection and TCP.
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef QNAPI_SERVER_DIR_FROM_TEST
#error "QNAPI_SERVER_DIR_FROM_TEST: the folder of quonix.exe, relative to this test program"
#endif

namespace {

using namespace std::chrono_literals;

std::string FullPath(const std::string& path) {
  char full[MAX_PATH * 2] = {};
  const DWORD length = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  return std::string(full, length);
}

std::string ServerFolder() {
  std::string program = wt::ThisProgram();
  std::string relative = QNAPI_SERVER_DIR_FROM_TEST;
  for (char& c : relative)
    if (c == '/') c = '\\';
  return FullPath(program.substr(0, program.find_last_of('\\')) + "\\" + relative);
}

// The server's window, found the way an operator would: by its title.
HWND ServerWindow() {
  for (HWND window = GetTopWindow(nullptr); window != nullptr;
       window = GetWindow(window, GW_HWNDNEXT))
    if (wt::WindowTitle(window).rfind("QUONIX RUN", 0) == 0) return window;
  return nullptr;
}

bool ServerRuns() {
  char prefix[] = "QUONIX RUN";
  return QNA_FindAppTitle(prefix, QNA_TITLE_PREFIX) == 1;
}

// A port nobody listens on now, for the server's TCP link.
std::uint16_t FreePort() {
  WSADATA data{};
  if (WSAStartup(0x0202, &data) != 0) return 0;
  SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  std::uint16_t port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&address), &size) == 0)
    port = ntohs(address.sin_port);
  closesocket(s);
  WSACleanup();
  return port;
}

TEST(DllWithoutServer, SettingsResultsAndTheOsVersion) {
  ASSERT_FALSE(ServerRuns()) << "a QUONIX RUN window exists before the test";
  EXPECT_EQ(QNA_TimeOut, 5000u);
  EXPECT_EQ(QNA_MtxTimeOut, 1000u);
  QNA_TimeOut = 4000;  // the application's variable is the library's
  QNA_REGREC record{1, 0, "WINTEST"};
  EXPECT_EQ(QNA_Open(&record), QNA_E_OPEN);
  EXPECT_EQ(QNA_InternalErr, -1);
  std::uint16_t words[2];
  EXPECT_EQ(QNA_Read(1, 0, 2, words, 0), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_EntAppName(&record), QNA_E_NOTOPEN);
  QNA_Close();
  QNA_TimeOut = 5000;

  std::uint32_t major = 0, minor = 0, build = 0, platform = 0;
  EXPECT_EQ(QNA_GetOsVersion(&major, &minor, &build, &platform), QNA_OK);
  EXPECT_EQ(platform, 3u);  // the NT family
  EXPECT_GE(major, 5u);
  EXPECT_EQ(QNA_GetOsVersion(&major, nullptr, nullptr, nullptr), QNA_E_NOPLATFORM);
  EXPECT_EQ(QNA_Sleep(10), 0u);
  std::uint32_t read = 7;
  char buffer[4];
  EXPECT_EQ(NpipeRead(INVALID_HANDLE_VALUE, buffer, sizeof buffer, &read), -1);
}

TEST(DllWithoutServer, TheLauncherNeedsTheProgramFile) {
  char temp[MAX_PATH] = {};
  ASSERT_NE(GetTempPathA(sizeof temp, temp), 0u);
  std::string empty = temp;
  if (!empty.empty() && empty.back() == '\\') empty.pop_back();
  EXPECT_EQ(QNA_StartQuonixHide(empty.c_str(), nullptr), QNA_E_START_NOFILE);
  char pattern[] = "qna test no such window";
  EXPECT_EQ(QNA_FindAppTitle(pattern, QNA_TITLE_SUBSTRING | QNA_TITLE_UPPER), 0u);
  EXPECT_STREQ(pattern, "QNA TEST NO SUCH WINDOW");
}

// One stand-in server for the tests below, started by the library's launcher
// and asked to stop by closing its window, as an operator would.
class DllWithServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    port_ = FreePort();
    if (port_ == 0) return;
    const std::string folder = ServerFolder();
    const std::string arguments = "--project C:WINTEST --tcp 127.0.0.1:" + std::to_string(port_);
    started_ = QNA_StartQuonixHide(folder.c_str(), arguments.c_str());
    if (started_ == QNA_OK) wt::WaitFor(ServerRuns, 30s);
  }
  static void TearDownTestSuite() {
    HWND window = ServerWindow();
    if (window == nullptr) return;
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    PostMessageA(window, WM_CLOSE, 0, 0);
    if (process != nullptr) {
      const bool ended = WaitForSingleObject(process, 20000) == WAIT_OBJECT_0;
      DWORD code = 1;
      GetExitCodeProcess(process, &code);
      EXPECT_TRUE(ended);
      EXPECT_EQ(code, 0u);  // a clean stop
      CloseHandle(process);
    }
  }
  void SetUp() override {
    ASSERT_NE(port_, 0) << "no free TCP port";
    ASSERT_EQ(started_, QNA_OK) << "QUONIX.EXE in " << ServerFolder();
    ASSERT_TRUE(ServerRuns());
  }

  static inline std::uint32_t started_ = 0;
  static inline std::uint16_t port_ = 0;
};

TEST_F(DllWithServer, TheLauncherSeesTheRunningServer) {
  EXPECT_EQ(QNA_StartQuonix(ServerFolder().c_str(), nullptr), QNA_E_START_RUNNING);
  char pattern[] = "stand-in server";
  EXPECT_EQ(QNA_FindAppTitle(pattern, QNA_TITLE_SUFFIX), 1u);
}

// The local link, the mapped areas and a mailbox, through the DLL's exports
// and its exported variables.
TEST_F(DllWithServer, OpenReadWriteMailboxesAndClose) {
  QNA_REGREC record{1, 0, "WINTEST"};
  ASSERT_EQ(QNA_Open(&record), QNA_OK);
  EXPECT_EQ(QNA_SizeTb[1], 32768u);
  const std::uint16_t words[2] = {1234, 5678};
  EXPECT_EQ(QNA_Write(1, 20, 2, words, 0), QNA_OK);
  std::uint16_t got[2] = {};
  EXPECT_EQ(QNA_Read(1, 20, 2, got, 0), QNA_OK);
  EXPECT_EQ(std::memcmp(got, words, sizeof got), 0);
  EXPECT_EQ(QNA_WriteApp("WINTEST", 0, 2, words, 0), QNA_OK);
  std::memset(got, 0, sizeof got);
  EXPECT_EQ(QNA_ReadApp("WINTEST", 0, 2, got), QNA_OK);
  EXPECT_EQ(std::memcmp(got, words, sizeof got), 0);
  QNA_Close();
  EXPECT_EQ(QNA_Read(1, 20, 1, got, 0), QNA_E_NOTOPEN);
}

TEST_F(DllWithServer, PipeAndTcpConnections) {
  QNA_CONNPARAM pipe{};
  pipe.first = 1;
  std::strcpy(pipe.name, "WINPIPE");
  std::uint32_t pipe_id = 0;
  ASSERT_EQ(QNA_OpenN(&pipe, &pipe_id), QNA_OK);
  const std::uint16_t words[2] = {41, 42};
  EXPECT_EQ(QNA_WriteN(1, 300, 2, words, 0, pipe_id), QNA_OK);

  QNA_CONNPARAM tcp{};
  tcp.first = 1;
  std::strcpy(tcp.name, "WINTCP");
  std::strcpy(tcp.host, "127.0.0.1");
  tcp.port = port_;
  tcp.attempts = 3;
  std::uint32_t tcp_id = 0;
  ASSERT_EQ(QNA_OpenS(&tcp, &tcp_id), QNA_OK);
  std::uint16_t got[2] = {};
  EXPECT_EQ(QNA_ReadS(1, 300, 2, got, 0, tcp_id), QNA_OK);  // written over the pipe
  EXPECT_EQ(std::memcmp(got, words, sizeof got), 0);
  QNA_CloseS(tcp_id);
  QNA_CloseN(pipe_id);
  EXPECT_EQ(QNA_ReadS(1, 300, 1, got, 0, tcp_id), QNA_E_NOTOPEN);
}

}  // namespace

int main(int argc, char** argv) {
  wt::TaskBar task_bar;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
