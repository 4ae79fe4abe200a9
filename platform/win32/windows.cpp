// windows.cpp - top-level windows of the Win32 backend: the window walk over
// the desktop's real Z order, and the windows a program opens for others to
// find (the server's "QUONIX RUN" window, applications under test).
//
// A window opened here is a hidden top-level window: it has a place in the Z
// order and a title, which is all the launcher and the window lookup look
// at.  Each gets a thread of its own that creates it and runs its message
// loop, so the window answers the messages other programs send it (its title
// is read with one) whatever the opening thread does.  WindowClose asks that
// thread to destroy the window and waits for it to end.  A request to close
// the window from outside (WM_CLOSE) is a stop request when the program
// installed a stop handler, as on the server.
//
// Lock rules: g_windows_lock guards g_windows (our windows and their
// threads); no call into the system is made while holding it.
#include "platform/win32/win32.h"

#include <mutex>
#include <unordered_map>

namespace {

constexpr UINT kDestroyMessage = WM_APP + 0x51;  // our own: the thread destroys the window
constexpr const char* kClassName = "QnapiPlatformWindow";
constexpr ::DWORD kThreadEndWaitMs = 5000;

std::mutex g_windows_lock;
std::unordered_map<::HWND, HANDLE> g_windows;

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

LRESULT CALLBACK WindowProc(::HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kDestroyMessage:
      DestroyWindow(window);
      return 0;
    case WM_CLOSE:
      if (win32::RequestStop()) return 0;  // the program closes it as it stops
      break;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wparam, lparam);
}

bool RegisterWindowClass() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    WNDCLASSEXA window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.lpfnWndProc = WindowProc;
    window_class.hInstance = ThisModule();
    window_class.lpszClassName = kClassName;
    registered = RegisterClassExA(&window_class) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
  });
  return registered;
}

struct Opening {
  const char* title;
  HANDLE ready;        // set once `window` and `error` hold the outcome
  ::HWND window = nullptr;
  ::DWORD error = 0;
};

::DWORD WINAPI WindowThread(void* parameter) {
  auto* opening = static_cast<Opening*>(parameter);
  ::HWND window = CreateWindowExA(0, kClassName, opening->title != nullptr ? opening->title : "",
                                  WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                  CW_USEDEFAULT, nullptr, nullptr, ThisModule(), nullptr);
  opening->window = window;
  opening->error = window != nullptr ? 0 : GetLastError();
  SetEvent(opening->ready);  // the opener's record is not ours to touch after this
  if (window == nullptr) return 1;
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return 0;
}

}  // namespace

namespace win {

HWND GetTopWindow(HWND parent) {
  return reinterpret_cast<HWND>(::GetTopWindow(reinterpret_cast<::HWND>(parent)));
}

HWND GetWindow(HWND window, DWORD command) {
  return reinterpret_cast<HWND>(::GetWindow(reinterpret_cast<::HWND>(window), command));
}

int GetWindowTextA(HWND window, char* text, int max_count) {
  return ::GetWindowTextA(reinterpret_cast<::HWND>(window), text, max_count);
}

HWND WindowOpen(const char* title) {
  if (!RegisterWindowClass()) return 0;
  Opening opening{title, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  if (opening.ready == nullptr) return 0;
  HANDLE thread = CreateThread(nullptr, 0, WindowThread, &opening, 0, nullptr);
  if (thread == nullptr) {
    const ::DWORD error = GetLastError();
    ::CloseHandle(opening.ready);
    ::SetLastError(error);
    return 0;
  }
  WaitForSingleObject(opening.ready, INFINITE);
  ::CloseHandle(opening.ready);
  if (opening.window == nullptr) {
    WaitForSingleObject(thread, INFINITE);
    ::CloseHandle(thread);
    ::SetLastError(opening.error);
    return 0;
  }
  try {
    std::lock_guard guard(g_windows_lock);
    g_windows.emplace(opening.window, thread);
  } catch (...) {
    PostMessageA(opening.window, kDestroyMessage, 0, 0);
    WaitForSingleObject(thread, kThreadEndWaitMs);
    ::CloseHandle(thread);
    ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
  }
  return reinterpret_cast<HWND>(opening.window);
}

BOOL WindowClose(HWND window) {
  const auto handle = reinterpret_cast<::HWND>(window);
  HANDLE thread = nullptr;
  {
    std::lock_guard guard(g_windows_lock);
    const auto found = g_windows.find(handle);
    if (found != g_windows.end()) {
      thread = found->second;
      g_windows.erase(found);
    }
  }
  if (thread == nullptr) {
    // Only the program that opened a window closes it.
    ::SetLastError(IsWindow(handle) ? ERROR_ACCESS_DENIED : ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  // Gone already when a WM_CLOSE from outside destroyed it.
  const bool existed = IsWindow(handle) != FALSE;
  if (existed) PostMessageA(handle, kDestroyMessage, 0, 0);
  WaitForSingleObject(thread, kThreadEndWaitMs);
  ::CloseHandle(thread);
  if (!existed) {
    ::SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return 0;
  }
  return 1;
}

BOOL WindowToTop(HWND window) {
  const auto handle = reinterpret_cast<::HWND>(window);
  // The top of the Z order, without activating: that also works for a hidden
  // window and for windows of other programs.  Taking the foreground is the
  // system's to grant, and is only tried.
  if (!SetWindowPos(handle, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE))
    return 0;
  SetForegroundWindow(handle);
  return 1;
}

DWORD WindowProcessId(HWND window) {
  ::DWORD pid = 0;
  if (GetWindowThreadProcessId(reinterpret_cast<::HWND>(window), &pid) == 0) return 0;
  return static_cast<DWORD>(pid);
}

}  // namespace win
