// support.h - helpers of the Windows tests: unique names, waiting, the path of
// the test program and a stand-in task bar.
//
// Include this header before any other: platform.h must be read before
// <windows.h> defines macros under the names of its constants, so after this
// header the tests use the SDK's names (ERROR_BROKEN_PIPE, WAIT_TIMEOUT, ...).
#pragma once

#include "platform/platform.h"
#include "../platform/closer.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <string>

namespace wt {

using namespace std::chrono_literals;

// "qnatest-<process id>-<counter>-<what>": kernel object names and window
// titles are global to the session, so tests keep them apart by name.
std::string Unique(const std::string& what);

// Polls `condition` every few milliseconds until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s);

std::string ThisProgram();

// A hidden topmost window for as long as the object lives, on a thread of its
// own.  A desktop always has a topmost window above every program's (its task
// bar), and the window lookup of the library skips the topmost window: under
// a bare Wine there is none, so the tests put one there.
class TaskBar {
 public:
  TaskBar();
  ~TaskBar();
  TaskBar(const TaskBar&) = delete;
  TaskBar& operator=(const TaskBar&) = delete;

 private:
  HANDLE thread_ = nullptr;
  HWND window_ = nullptr;
};

// The task bar of this test program (0 when it has none).
HWND TaskBarWindow();

std::string WindowTitle(HWND window);

}  // namespace wt
