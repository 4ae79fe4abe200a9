// Top-level windows over the real Win32 calls: windows a program opens are
// in the Z order below the task bar, the walk reads their titles, and they
// go away with WindowClose or with their program.  Messages go to the
// thread's own queue.
#include "support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../platform/other.h"

namespace {

// A window of another program, which a stop request closes.
PT_BODY(window) {
  SysInstallStopHandler();
  const win::HWND window = win::WindowOpen(argument.c_str());
  if (window == 0) return 3;
  pt::Ready();
  for (int i = 0; i < 6000 && !SysStopRequested(); ++i) SysSleep(10);
  win::WindowClose(window);
  return SysStopRequested() ? 9 : 1;
}

// The walk the library's window lookup makes: every window below the topmost.
std::vector<win::HWND> WindowsBelowTop() {
  std::vector<win::HWND> found;
  win::HWND window = win::GetTopWindow(0);
  for (int guard = 0; window != 0 && guard < 10000; ++guard) {
    window = win::GetWindow(window, GW_HWNDNEXT);
    if (window != 0) found.push_back(window);
  }
  return found;
}

std::string Title(win::HWND window) {
  char title[128] = {};
  win::GetWindowTextA(window, title, sizeof title);
  return title;
}

// Where a window stands in the walk, or -1.
int Place(win::HWND window) {
  const auto all = WindowsBelowTop();
  for (std::size_t i = 0; i < all.size(); ++i)
    if (all[i] == window) return static_cast<int>(i);
  return -1;
}

TEST(Windows, OpenedOnesAreFoundByTheWalkWithTitleAndOwner) {
  const std::string title = "QNA test " + wt::Unique("one");
  const win::HWND window = win::WindowOpen(title.c_str());
  ASSERT_NE(window, 0u);
  EXPECT_GE(Place(window), 0);
  EXPECT_EQ(Title(window), title);
  EXPECT_EQ(win::WindowProcessId(window), GetCurrentProcessId());
  char short_title[5];
  EXPECT_EQ(win::GetWindowTextA(window, short_title, sizeof short_title), 4);
  EXPECT_EQ(std::string(short_title), title.substr(0, 4));
  EXPECT_EQ(win::WindowClose(window), 1);
  EXPECT_EQ(Place(window), -1);
  EXPECT_EQ(win::WindowClose(window), 0);  // once
}

TEST(Windows, NewOnesGoOnTopAndToTopRaisesAnOlderOne) {
  const win::HWND older = win::WindowOpen(("QNA test " + wt::Unique("older")).c_str());
  const win::HWND newer = win::WindowOpen(("QNA test " + wt::Unique("newer")).c_str());
  ASSERT_NE(older, 0u);
  ASSERT_NE(newer, 0u);
  EXPECT_LT(Place(newer), Place(older));
  EXPECT_EQ(win::WindowToTop(older), 1);
  EXPECT_LT(Place(older), Place(newer));
  // The task bar stays the topmost window: nobody's window is skipped.
  EXPECT_EQ(win::GetTopWindow(0), reinterpret_cast<win::HWND>(wt::TaskBarWindow()));
  EXPECT_EQ(win::WindowClose(older), 1);
  EXPECT_EQ(win::WindowClose(newer), 1);
}

TEST(Windows, OfAnotherProgramAreSeenAndNotOursToClose) {
  const std::string title = "QNA test " + wt::Unique("other");
  pt::Other child("window", title);
  ASSERT_TRUE(child.WaitReady());
  win::HWND theirs = 0;
  for (win::HWND window : WindowsBelowTop())
    if (Title(window) == title) theirs = window;
  ASSERT_NE(theirs, 0u);
  EXPECT_EQ(win::WindowProcessId(theirs), child.pid());
  EXPECT_EQ(Failed(win::WindowClose(theirs) != 0), ERROR_ACCESS_DENIED);
  // Asked to close from outside, a program with a stop handler stops.
  PostMessageA(reinterpret_cast<HWND>(theirs), WM_CLOSE, 0, 0);
  EXPECT_EQ(child.Wait(), 9);
  EXPECT_EQ(Place(theirs), -1);
}

TEST(Messages, PostedToTheThreadAreGotInOrderWithinTheRange) {
  EXPECT_EQ(WndMsgPost(0, WM_APP + 1, 11, 12), 1);
  EXPECT_EQ(WndMsgPostParam(0, 21, static_cast<std::uint16_t>(WM_APP + 2), 22), 1);
  std::uint32_t message = 0;
  std::uintptr_t wparam = 0;
  std::intptr_t lparam = 0;
  ASSERT_EQ(WndMsgGet(0, WM_APP + 2, WM_APP + 2, &message, &wparam, &lparam), 1);
  EXPECT_EQ(message, WM_APP + 2u);
  EXPECT_EQ(wparam, 21u);
  EXPECT_EQ(lparam, 22);
  ASSERT_EQ(WndMsgGet(0, 0, 0, &message, &wparam, &lparam), 1);
  EXPECT_EQ(message, WM_APP + 1u);
  EXPECT_EQ(wparam, 11u);
  PostQuitMessage(3);
  EXPECT_EQ(WndMsgGet(0, 0, 0, &message, &wparam, &lparam), 0);
  EXPECT_EQ(WndMsgGet(0, 0, 0, nullptr, nullptr, nullptr), -1);
}

}  // namespace
