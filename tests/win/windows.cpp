// What only the Win32 windows have: a task bar above them, a close from
// outside, and messages in the thread's own queue.
#include "support.h"

#include <gtest/gtest.h>

#include <string>

#include "../platform/other.h"

namespace {

// The task bar stays the topmost window: nobody's window is skipped.
TEST(Windows, TheTaskBarStaysOnTop) {
  const win::HWND window = win::WindowOpen(("QNA test " + wt::Unique("top")).c_str());
  ASSERT_NE(window, 0u);
  EXPECT_EQ(win::WindowToTop(window), 1);
  EXPECT_EQ(win::GetTopWindow(0), reinterpret_cast<win::HWND>(wt::TaskBarWindow()));
  EXPECT_EQ(win::WindowClose(window), 1);
}

// Asked to close from outside, a program with a stop handler stops.
TEST(Windows, ACloseFromOutsideIsAStopRequest) {
  const std::string title = "QNA test " + wt::Unique("other");
  pt::Other child("window", title);
  ASSERT_TRUE(child.WaitReady());
  HWND theirs = FindWindowA(nullptr, title.c_str());
  ASSERT_NE(theirs, nullptr);
  PostMessageA(theirs, WM_CLOSE, 0, 0);
  EXPECT_EQ(child.Wait(), 9);
  EXPECT_FALSE(IsWindow(theirs));
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
