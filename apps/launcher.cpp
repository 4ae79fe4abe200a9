// launcher.cpp - starting the server program and finding top-level windows
// by title.  No connection, no lock, no detail code: these work before
// QNA_Open and leave QNA_InternalErr alone.
//
// Mended faults:
//   * A program path or command line that does not fit the 1024-character
//     buffer is refused (201 for the path, 200 for the command line) instead
//     of being cut off and running, or testing, some other program.
//   * A null pattern matches no window.
//   * The window walk is bounded, so windows raised while it runs cannot
//     keep it going forever.
#include "apps/launcher.h"

#include <cstdio>
#include <cstring>

#include "core/paths.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

// A running server shows a top-level window whose title begins so.
constexpr const char* kServerTitle = "QUONIX RUN";
constexpr const char* kProgram = "QUONIX.EXE";
constexpr std::size_t kCommandSize = 1024;  // what the formatting call writes at most
constexpr int kTitleSize = 128;
constexpr int kMaxWindows = 65536;

void Upper(char* text) {
  for (; *text != '\0'; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 'a' + 'A');
}

// The window walk: every top-level window below the topmost, in Z order,
// until `match` takes one.  The topmost window itself is never examined.
template <typename Match>
win::HWND WalkWindows(Match&& match) {
  win::HWND window = win::GetTopWindow(0);
  for (int step = 0; window != 0 && step < kMaxWindows; ++step) {
    window = win::GetWindow(window, win::GW_HWNDNEXT);
    if (window == 0) break;
    char title[kTitleSize] = {};
    win::GetWindowTextA(window, title, kTitleSize);
    if (match(title)) return window;
  }
  return 0;
}

std::uint32_t StartServer(const char* directory, const char* arguments, win::WORD show) {
  if (FindWindowByTitlePrefix(kServerTitle) != 0) return QNA_E_START_RUNNING;
  char command[kCommandSize];
  const bool path_fits = directory != nullptr
                             ? FormatPath(command, sizeof command, "%s\\%s", directory, kProgram)
                             : FormatPath(command, sizeof command, "%s", kProgram);
  if (!path_fits || win::_access(command, 0) != 0) return QNA_E_START_NOFILE;
  // No quotes around the path: the platform splits the line at blanks.
  bool line_fits = true;
  if (arguments != nullptr) {
    const std::size_t used = std::strlen(command);
    line_fits = FormatPath(command + used, sizeof command - used, " %s", arguments);
  }
  if (!line_fits) return QNA_E_START_PROCESS;

  win::STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = win::STARTF_USESHOWWINDOW;
  startup.wShowWindow = show;
  win::PROCESS_INFORMATION info{};
  if (win::CreateProcessA(nullptr, command, nullptr, nullptr, 0, 0, nullptr, directory, &startup,
                          &info) == 0)
    return QNA_E_START_PROCESS;
  return QNA_OK;  // the server comes up on its own time
}

}  // namespace

win::HWND FindWindowByTitlePrefix(const char* prefix) {
  if (prefix == nullptr) return 0;
  const std::size_t length = std::strlen(prefix);
  return WalkWindows([&](const char* title) { return std::strncmp(prefix, title, length) == 0; });
}

extern "C" {

std::uint32_t QNA_API QNA_StartQuonix(const char* directory, const char* arguments) {
  return StartServer(directory, arguments, win::SW_SHOWMINNOACTIVE);
}

std::uint32_t QNA_API QNA_StartQuonixHide(const char* directory, const char* arguments) {
  return StartServer(directory, arguments, win::SW_HIDE);
}

std::uint32_t QNA_API QNA_FindAppTitle(char* pattern, std::int32_t mode) {
  if (pattern == nullptr) return 0;
  const auto bits = static_cast<std::uint32_t>(mode);
  const win::HWND found = WalkWindows([&](char* title) {
    if ((bits & QNA_TITLE_UPPER) != 0) {
      Upper(pattern);
      Upper(title);
    }
    const std::size_t p = std::strlen(pattern);
    if ((bits & (QNA_TITLE_PREFIX | QNA_TITLE_PREFIX2)) != 0) return std::strncmp(pattern, title, p) == 0;
    if ((bits & QNA_TITLE_SUFFIX) != 0) {
      const std::size_t t = std::strlen(title);
      return t >= p && std::strcmp(title + (t - p), pattern) == 0;
    }
    if ((bits & QNA_TITLE_SUBSTRING) != 0) return std::strstr(title, pattern) != nullptr;
    return false;
  });
  return found != 0 ? 1u : 0u;
}

}  // extern "C"
