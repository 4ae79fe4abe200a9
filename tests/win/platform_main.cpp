// The test program of the Win32 platform layer.  Started with "--child MODE
// READY ARGUMENT" it plays one side of a test between processes instead.
#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace wt {

namespace {

constexpr DWORD kChildLifeMs = 60000;  // a child nobody stops ends by itself

// Names arrive without the library's prefixes; the child adds them.
std::string Sem(const std::string& name) { return "\\sem32\\" + name; }
std::string Mem(const std::string& name) { return "\\sharemem\\" + name; }

int WaitForStop() {
  for (DWORD waited = 0; waited < kChildLifeMs; waited += 10) {
    if (SysStopRequested()) return 0;
    SysSleep(10);
  }
  return 1;
}

}  // namespace

int RunChild(const std::string& mode, const std::string& ready, const std::string& argument) {
  if (mode == "own-objects") {
    // Creates a mapping, an owned mutex and a set event of one name and holds
    // them.  One namespace holds every kind of object: the names differ.
    std::string mapping = Mem(argument + "-MAP"), mutex = Sem(argument + "-MTX"),
                event = Sem(argument + "-EV");
    void* view = nullptr;
    Handle handles[3] = {};
    if (ShmCreate(&view, mapping.data(), 4096, 3, &handles[0]) != 0 ||
        MtxCreate(mutex.data(), &handles[1], 1) != 0 || EvCreate(event.data(), &handles[2], 1) != 0)
      return 3;
    static_cast<char*>(view)[0] = 'Q';
    SignalReady(ready);
    Sleep(kChildLifeMs);
    return 0;
  }
  if (mode == "stop-handler") {
    SysInstallStopHandler();
    SignalReady(ready);
    return WaitForStop() == 0 ? 7 : 1;
  }
  if (mode == "sleep") {
    SignalReady(ready);
    Sleep(kChildLifeMs);
    return 0;
  }
  if (mode == "window") {
    // A window of another program, closed by a stop request.
    SysInstallStopHandler();
    const win::HWND window = win::WindowOpen(argument.c_str());
    if (window == 0) return 3;
    SignalReady(ready);
    const int stopped = WaitForStop();
    win::WindowClose(window);
    return stopped == 0 ? 9 : 1;
  }
  if (mode == "exit") {
    ProcExit(1, static_cast<std::uint32_t>(std::atoi(argument.c_str())));
    return 1;
  }
  return 2;
}

}  // namespace wt

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0)
    return wt::RunChild(argv[2], argv[3], argc > 4 ? argv[4] : "");
  wt::TaskBar task_bar;
  win::WSADATA sockets{};  // as an application starts Windows Sockets
  if (win::WSAStartup(0x0101, &sockets) != 0) return 3;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
