#include "support.h"

#include <atomic>
#include <thread>

#include "../platform/other.h"
#include "support/test_support.h"

// What the contract tests of tests/platform use.  Kernel object names are
// global to the session, so a root has nothing to keep apart here: the tests
// of one program run one after another, and each closes what it made.
namespace qt {

TempRoot::TempRoot() = default;
TempRoot::~TempRoot() = default;

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  return wt::WaitFor(condition, limit);
}

}  // namespace qt

namespace wt {

std::string Unique(const std::string& what) {
  static std::atomic<unsigned> counter{0};
  return "qnatest-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter) + "-" +
         what;
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
}

std::string ThisProgram() {
  char path[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

}  // namespace wt

// Another process of the contract tests: this program started again as
// "PROGRAM --child BODY READY ARGUMENT" (platform_main.cpp runs the body),
// which sets the named event READY once it is ready.
namespace pt {

namespace {
std::string g_ready;

std::string Quoted(const std::string& text) {
  // Appended rather than concatenated: GCC 12 warns (-Wrestrict) about
  // "\"" + text at -O2, wrongly.
  std::string quoted(1, '"');
  quoted += text;
  quoted += '"';
  return quoted;
}
}  // namespace

struct Other::Impl {
  HANDLE process = nullptr;
  HANDLE ready = nullptr;
  DWORD pid = 0;
};

Other::Other(const std::string& body, const std::string& argument) : impl_(new Impl) {
  const std::string ready = wt::Unique("ready");
  impl_->ready = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
  std::string command = Quoted(wt::ThisProgram()) + " --child " + body + " " + ready + " " +
                        Quoted(argument);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (impl_->ready != nullptr && CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                                nullptr, nullptr, &startup, &started)) {
    CloseHandle(started.hThread);
    impl_->process = started.hProcess;
    impl_->pid = started.dwProcessId;
  }
}

Other::~Other() {
  Kill();
  if (impl_->process != nullptr) CloseHandle(impl_->process);
  if (impl_->ready != nullptr) CloseHandle(impl_->ready);
}

std::uint32_t Other::pid() const { return impl_->pid; }

bool Other::WaitReady(std::chrono::milliseconds limit) {
  if (impl_->process == nullptr) return false;
  // The end of the process before it got ready is a failure, not a long wait.
  HANDLE both[2] = {impl_->ready, impl_->process};
  return WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

int Other::Wait(std::chrono::milliseconds limit) {
  if (impl_->process == nullptr ||
      WaitForSingleObject(impl_->process, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0)
    return -1;
  DWORD code = 0;
  GetExitCodeProcess(impl_->process, &code);
  return static_cast<int>(code);
}

void Other::Kill() {
  if (impl_->process == nullptr) return;
  if (WaitForSingleObject(impl_->process, 0) == WAIT_TIMEOUT) {
    TerminateProcess(impl_->process, 137);
    WaitForSingleObject(impl_->process, 10000);
  }
}

void Ready() {
  if (HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, g_ready.c_str())) {
    SetEvent(event);
    CloseHandle(event);
  }
}

int RunBody(const std::string& name, const std::string& ready, const std::string& argument) {
  const auto body = Bodies().find(name);
  if (body == Bodies().end()) return 2;
  g_ready = ready;
  return body->second(argument);
}

}  // namespace pt

namespace wt {

namespace {

struct TaskBarStart {
  HANDLE ready;
  HWND window = nullptr;
};

DWORD WINAPI TaskBarThread(void* parameter) {
  auto* start = static_cast<TaskBarStart*>(parameter);
  HWND window = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "STATIC", "test task bar",
                                WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, GetModuleHandleA(nullptr),
                                nullptr);
  start->window = window;
  SetEvent(start->ready);
  if (window == nullptr) return 1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
  return 0;
}

std::atomic<HWND> g_task_bar{nullptr};

}  // namespace

HWND TaskBarWindow() { return g_task_bar.load(); }

TaskBar::TaskBar() {
  TaskBarStart start{CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  thread_ = CreateThread(nullptr, 0, TaskBarThread, &start, 0, nullptr);
  if (thread_ != nullptr) WaitForSingleObject(start.ready, INFINITE);
  CloseHandle(start.ready);
  window_ = start.window;
  g_task_bar.store(window_);
}

TaskBar::~TaskBar() {
  g_task_bar.store(nullptr);
  if (thread_ == nullptr) return;
  if (window_ != nullptr) PostMessageA(window_, WM_QUIT, 0, 0);
  WaitForSingleObject(thread_, 5000);
  CloseHandle(thread_);
}

std::string WindowTitle(HWND window) {
  char title[256] = {};
  GetWindowTextA(window, title, sizeof title);
  return title;
}

}  // namespace wt
