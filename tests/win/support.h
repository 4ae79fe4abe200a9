// support.h - helpers of the Windows tests: unique names, waiting, child
// processes of the test program itself, and a stand-in task bar.
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

// A name no other test (nor another run of this program) uses:
// "qnatest-<process id>-<counter>-<what>".  Kernel object names are global
// to the session, so tests keep them apart by name.
std::string Unique(const std::string& what);

// Polls `condition` every few milliseconds until it holds or `limit` passes.
bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s);

// The full path of this program.
std::string ThisProgram();
// A command-line argument in double quotes.
std::string Quoted(const std::string& text);

// This program started again as "PROGRAM --child BODY READY ARGUMENT": it
// runs one body of the tests (tests/platform/other.h) and sets the named
// event READY when it has reached the state the test waits for.  Killed by
// the destructor if it still runs, so a failing test leaves no process behind.
class Child {
 public:
  Child(const std::string& mode, const std::string& argument = {});
  ~Child();
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return process_ != nullptr; }
  DWORD pid() const { return pid_; }
  bool WaitReady(std::chrono::milliseconds limit = 20s) const;
  // Waits at most `limit` for the end; the exit code, or -1 while it runs.
  long Wait(std::chrono::milliseconds limit = 20s);
  bool running() const;
  void Kill();

 private:
  HANDLE process_ = nullptr;
  HANDLE ready_ = nullptr;
  DWORD pid_ = 0;
};

// Sets the event a parent waits for.
void SignalReady(const std::string& ready);

// A hidden topmost window for as long as the object lives, on a thread of its
// own.  A desktop always has a topmost window above every program's (its task
// bar), and the window lookup of the library skips the topmost window: under
// a bare Wine there is none, so the tests put one there.
class TaskBar {
 public:
  TaskBar();  // the one of the test program is reachable by TaskBarWindow()
  ~TaskBar();
  TaskBar(const TaskBar&) = delete;
  TaskBar& operator=(const TaskBar&) = delete;
  HWND window() const { return window_; }

 private:
  HANDLE thread_ = nullptr;
  HWND window_ = nullptr;
};

// The task bar of this test program (0 when it has none).
HWND TaskBarWindow();

// The title of a window, read directly from the system.
std::string WindowTitle(HWND window);

}  // namespace wt
