// The test program of the Win32 platform layer.  Started with "--child BODY
// READY ARGUMENT" it runs one body of the tests in a process of its own instead
// (tests/platform/other.h).
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>

#include "../platform/other.h"

int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[1], "--child") == 0)
    return pt::RunBody(argv[2], argv[3], argc > 4 ? argv[4] : "");
  wt::TaskBar task_bar;
  win::WSADATA sockets{};  // as an application starts Windows Sockets
  if (win::WSAStartup(0x0101, &sockets) != 0) return 3;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
