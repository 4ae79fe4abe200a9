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

// Another process of the contract tests: this program started again with
// the body's name (platform_main.cpp runs it).
namespace pt {

namespace {
std::string g_ready;
}  // namespace

struct Other::Impl {
  wt::Child child;
};

Other::Other(const std::string& body, const std::string& argument)
    : impl_(new Impl{wt::Child(body, argument)}) {}
Other::~Other() = default;
std::uint32_t Other::pid() const { return impl_->child.pid(); }
bool Other::WaitReady(std::chrono::milliseconds limit) { return impl_->child.WaitReady(limit); }
int Other::Wait(std::chrono::milliseconds limit) {
  return static_cast<int>(impl_->child.Wait(limit));
}
void Other::Kill() { impl_->child.Kill(); }

void Ready() { wt::SignalReady(g_ready); }

int RunBody(const std::string& name, const std::string& ready, const std::string& argument) {
  const auto body = Bodies().find(name);
  if (body == Bodies().end()) return 2;
  g_ready = ready;
  return body->second(argument);
}

}  // namespace pt

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

std::string Quoted(const std::string& text) {
  // Appended rather than concatenated: GCC 12 warns (-Wrestrict) about
  // "\"" + text at -O2, wrongly.
  std::string quoted(1, '"');
  quoted += text;
  quoted += '"';
  return quoted;
}

std::string ThisProgram() {
  char path[MAX_PATH * 2] = {};
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
  return std::string(path, length);
}

Child::Child(const std::string& mode, const std::string& argument) {
  const std::string ready = Unique("ready");
  ready_ = CreateEventA(nullptr, TRUE, FALSE, ready.c_str());
  std::string command = Quoted(ThisProgram()) + " --child " + mode + " " + ready;
  if (!argument.empty()) {
    command += ' ';
    command += Quoted(argument);
  }
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (ready_ != nullptr && CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                          nullptr, nullptr, &startup, &started)) {
    CloseHandle(started.hThread);
    process_ = started.hProcess;
    pid_ = started.dwProcessId;
  }
}

Child::~Child() {
  Kill();
  if (ready_ != nullptr) CloseHandle(ready_);
}

bool Child::WaitReady(std::chrono::milliseconds limit) const {
  if (process_ == nullptr) return false;
  HANDLE both[2] = {ready_, process_};
  // The child's end before it got ready is a failure, not a long wait.
  return WaitForMultipleObjects(2, both, FALSE, static_cast<DWORD>(limit.count())) == WAIT_OBJECT_0;
}

long Child::Wait(std::chrono::milliseconds limit) {
  if (process_ == nullptr) return -1;
  if (WaitForSingleObject(process_, static_cast<DWORD>(limit.count())) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(process_, &code);
  return static_cast<long>(code);
}

bool Child::running() const {
  return process_ != nullptr && WaitForSingleObject(process_, 0) == WAIT_TIMEOUT;
}

void Child::Kill() {
  if (process_ == nullptr) return;
  if (running()) {
    TerminateProcess(process_, 137);
    WaitForSingleObject(process_, 10000);
  }
  CloseHandle(process_);
  process_ = nullptr;
}

void SignalReady(const std::string& ready) {
  if (HANDLE event = OpenEventA(EVENT_MODIFY_STATE, FALSE, ready.c_str())) {
    SetEvent(event);
    CloseHandle(event);
  }
}

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

}  // namespace

namespace {
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
