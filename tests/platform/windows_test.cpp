// Top-level windows; then what only the POSIX window table has.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "other.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using TopWindows = qt::RootedTest;

using namespace std::chrono_literals;
using win::HWND;

// The windows below the topmost one, top first, as the window walk sees them.
std::vector<HWND> Walk() {
  std::vector<HWND> found;
  const HWND top = win::GetTopWindow(0);
  for (HWND w = win::GetWindow(top, win::GW_HWNDNEXT); w != 0 && found.size() < 1000;
       w = win::GetWindow(w, win::GW_HWNDNEXT))
    found.push_back(w);
  return found;
}

std::string Title(HWND w) {
  char text[128];
  std::memset(text, 'x', sizeof text);
  win::GetWindowTextA(w, text, sizeof text);
  return text;
}

// The titles of the tests' windows ("w:..."; Windows has windows of its own
// too) in the walk's order.
std::vector<std::string> Titles() {
  std::vector<std::string> titles;
  for (HWND w : Walk())
    if (Title(w).rfind("w:", 0) == 0) titles.push_back(Title(w));
  return titles;
}

// A window of another program, which a stop request closes.
PT_BODY(window) {
  SysInstallStopHandler();
  const HWND window = win::WindowOpen(argument.c_str());
  if (window == 0) return 3;
  pt::Ready();
  for (int i = 0; i < 6000 && !SysStopRequested(); ++i) SysSleep(10);
  win::WindowClose(window);
  return SysStopRequested() ? 9 : 1;
}

using Names = std::vector<std::string>;

TEST_F(TopWindows, NewAndRaisedWindowsGoOnTop) {
  const HWND a = win::WindowOpen("w:A");
  const HWND b = win::WindowOpen("w:B");
  const HWND c = win::WindowOpen("w:C");
  ASSERT_NE(a, 0u);
  ASSERT_NE(b, 0u);
  ASSERT_NE(c, 0u);
  EXPECT_EQ(Titles(), (Names{"w:C", "w:B", "w:A"}));
  EXPECT_EQ(win::WindowToTop(a), 1);
  EXPECT_EQ(Titles(), (Names{"w:A", "w:C", "w:B"}));
  EXPECT_EQ(win::WindowToTop(b), 1);
  EXPECT_EQ(Titles(), (Names{"w:B", "w:A", "w:C"}));
  EXPECT_EQ(win::WindowClose(a), 1);
  EXPECT_EQ(Titles(), (Names{"w:B", "w:C"}));
  EXPECT_EQ(win::WindowProcessId(b), SysProcessId());
#ifndef _WIN32  // Windows may have windows of its own between them
  // Walking upwards and to the ends.
  EXPECT_EQ(win::GetWindow(c, 3), b);  // GW_HWNDPREV
  EXPECT_EQ(win::GetWindow(b, 3), win::GetTopWindow(0));
  EXPECT_EQ(win::GetWindow(b, 1), c);  // GW_HWNDLAST
  EXPECT_EQ(win::GetWindow(c, 0), win::GetTopWindow(0));  // GW_HWNDFIRST
#endif
  EXPECT_EQ(win::GetWindow(c, 99), 0u);
  EXPECT_EQ(win::WindowClose(b), 1);
  EXPECT_EQ(win::WindowClose(c), 1);
}

TEST_F(TopWindows, ClosedHandlesAreStale) {
  const HWND a = win::WindowOpen("w:A");
  ASSERT_NE(a, 0u);
  ASSERT_EQ(win::WindowClose(a), 1);
  EXPECT_EQ(Title(a), "");
  EXPECT_EQ(win::GetWindow(a, win::GW_HWNDNEXT), 0u);
  EXPECT_EQ(win::WindowProcessId(a), 0u);
  EXPECT_EQ(win::WindowToTop(a), 0);
  EXPECT_EQ(win::WindowClose(a), 0);
#ifndef _WIN32
  const HWND again = win::WindowOpen("w:A");
  EXPECT_NE(again, a);  // the same slot, a new handle
  EXPECT_EQ(Title(a), "");
#endif
  for (const HWND bogus : {HWND{0}, HWND{1}, HWND{0xFFFFFFFF}, ~HWND{0}}) {
    EXPECT_EQ(win::GetWindow(bogus, win::GW_HWNDNEXT), 0u) << bogus;
    EXPECT_EQ(win::WindowProcessId(bogus), 0u) << bogus;
  }
}

TEST_F(TopWindows, TitlesAreCutAt127AndCopiedToSmallBuffers) {
  const std::string long_title(200, 'L');
  const HWND cut = win::WindowOpen(long_title.c_str());
  EXPECT_EQ(Title(cut), std::string(127, 'L'));
  const HWND none = win::WindowOpen(nullptr);
  EXPECT_EQ(Title(none), "");

  const HWND w = win::WindowOpen("QUONIX RUN 1");
  ASSERT_NE(w, 0u);
  struct Case {
    int max_count;
    int result;
    const char* text;
  };
  const Case cases[] = {
      {1, 0, ""}, {2, 1, "Q"}, {4, 3, "QUO"}, {12, 11, "QUONIX RUN "},
      {13, 12, "QUONIX RUN 1"}, {128, 12, "QUONIX RUN 1"},
  };
  for (const auto& c : cases) {
    char text[130];
    std::memset(text, '#', sizeof text);
    EXPECT_EQ(win::GetWindowTextA(w, text, c.max_count), c.result) << c.max_count;
    EXPECT_STREQ(text, c.text) << c.max_count;
    EXPECT_EQ(text[c.max_count], '#') << "wrote past the buffer, max " << c.max_count;
  }
  char text[4] = "abc";
  EXPECT_EQ(win::GetWindowTextA(w, text, 0), 0);
  EXPECT_STREQ(text, "abc");
#ifndef _WIN32
  EXPECT_EQ(win::GetWindowTextA(w, nullptr, 10), 0);
#endif
  for (const HWND own : {cut, none, w}) EXPECT_EQ(win::WindowClose(own), 1);
}

TEST_F(TopWindows, WalkSeesOtherProcessesUntilTheyEnd) {
  pt::Other other("window", "w:theirs");
  ASSERT_TRUE(other.WaitReady());
  const HWND mine = win::WindowOpen("w:mine");
  EXPECT_EQ(Titles(), (Names{"w:mine", "w:theirs"}));
  HWND theirs = 0;
  for (HWND w : Walk())
    if (Title(w) == "w:theirs") theirs = w;
  ASSERT_NE(theirs, 0u);
  EXPECT_EQ(win::WindowProcessId(theirs), other.pid());
  win::SetLastError(0);
  EXPECT_EQ(win::WindowClose(theirs), 0);  // not ours to close
  EXPECT_EQ(win::GetLastError(), win::ERROR_ACCESS_DENIED);
#ifndef _WIN32  // Windows lets only the foreground program raise windows
  EXPECT_EQ(win::WindowToTop(theirs), 1);  // but any window can be raised
  EXPECT_EQ(Titles(), (Names{"w:theirs", "w:mine"}));
#endif
  other.Kill();
  EXPECT_TRUE(qt::WaitFor([] { return Titles() == Names{"w:mine"}; }));
  EXPECT_EQ(Title(theirs), "");
  EXPECT_EQ(win::WindowProcessId(theirs), 0u);
  EXPECT_EQ(win::WindowClose(mine), 1);
}

// ---- What only the POSIX window table has ---------------------------------------
#ifndef _WIN32

TEST_F(TopWindows, ShellIsTopmostAndOwnedByNobody) {
  const HWND shell = win::GetTopWindow(0);
  ASSERT_NE(shell, 0u);
  EXPECT_EQ(Title(shell), "shell");
  EXPECT_EQ(win::WindowProcessId(shell), 0u);
  EXPECT_EQ(win::GetWindow(shell, win::GW_HWNDNEXT), 0u);
  EXPECT_EQ(win::GetTopWindow(shell), 0u);  // no child windows
  // The shell stays on top and cannot be closed.
  EXPECT_EQ(win::WindowClose(shell), 0);
  const HWND w = win::WindowOpen("w:app");
  EXPECT_EQ(win::WindowToTop(shell), 1);
  EXPECT_EQ(win::GetTopWindow(0), shell);
  EXPECT_EQ(win::GetWindow(shell, win::GW_HWNDNEXT), w);
}

TEST_F(TopWindows, EndedButUnreapedOwnerHasNoWindows) {
  qt::Signal opened;
  qt::Child child([&] {
    if (win::WindowOpen("QUONIX RUN zombie") == 0) return 1;
    opened.Post();
    return 0;  // ends at once; nobody reaps it until Wait below
  });
  ASSERT_EQ(opened.Take(30s), 1);
  EXPECT_TRUE(qt::WaitFor([] { return Titles().empty(); }, 30s));
  EXPECT_EQ(child.Wait(30s), 0);
}

TEST_F(TopWindows, SlotsOfEndedProcessesAreReused) {
  // Fill the table from a child, which then ends.
  qt::Child filler([] {
    while (win::WindowOpen("filler") != 0) {
    }
    return win::GetLastError() == win::ERROR_NOT_ENOUGH_MEMORY ? 0 : 1;
  });
  ASSERT_EQ(filler.Wait(60s), 0);
  std::vector<HWND> mine;
  for (;;) {
    const HWND w = win::WindowOpen("mine");
    if (w == 0) break;
    mine.push_back(w);
  }
  EXPECT_EQ(win::GetLastError(), win::ERROR_NOT_ENOUGH_MEMORY);
  ASSERT_GE(mine.size(), 100u);
  EXPECT_EQ(Walk().size(), mine.size());
  ASSERT_EQ(win::WindowClose(mine.back()), 1);
  EXPECT_NE(win::WindowOpen("one more"), 0u);
}

TEST_F(TopWindows, ThreadsOpeningAtOnceGetDistinctWindows) {
  std::mutex lock;
  std::set<HWND> opened;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const HWND w = win::WindowOpen(std::string("t").append(std::to_string(t)).c_str());
        std::lock_guard guard(lock);
        opened.insert(w);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(opened.size(), 40u);
  EXPECT_EQ(opened.count(0), 0u);
  const std::vector<HWND> walk = Walk();
  EXPECT_EQ(std::set<HWND>(walk.begin(), walk.end()), opened);
}

TEST_F(TopWindows, AForeignFileInThePlaceOfTheTableIsReplaced) {
  std::ofstream(root.path() + "/windows") << "not a window table";
  const HWND shell = win::GetTopWindow(0);
  EXPECT_EQ(Title(shell), "shell");
  const HWND w = win::WindowOpen("after");
  EXPECT_EQ(Walk(), std::vector<HWND>{w});
}

#endif  // _WIN32

}  // namespace
