// The server launcher and the window lookup.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "apps/launcher.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class Window {
 public:
  explicit Window(const char* title) : handle_(win::WindowOpen(title)) {}
  ~Window() {
    if (handle_ != 0) win::WindowClose(handle_);
  }
  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

 private:
  win::HWND handle_;
};

// A program that records its path, its folder and each argument in [].
void PutRecorder(const std::string& folder, const std::string& name, const std::string& record) {
  fs::create_directories(folder);
  const std::string path = folder + "/" + name;
  std::ofstream script(path);
  script << "#!/bin/sh\n"
         << "{ printf '%s\\n' \"$0\"; pwd -P; for a in \"$@\"; do printf '[%s]\\n' \"$a\"; done; } > '"
         << record << ".part' && mv '" << record << ".part' '" << record << "'\n";
  script.close();
  chmod(path.c_str(), 0755);
}

// The topmost window (the shell) is never examined.
TEST(WindowWalkTest, TopmostIsNeverExamined) {
  qt::TempRoot root;
  char pattern[] = "shell", empty[] = "", small[] = "abc";
  EXPECT_EQ(QNA_FindAppTitle(pattern, QNA_TITLE_PREFIX), 0u);
  EXPECT_EQ(QNA_FindAppTitle(pattern, QNA_TITLE_SUBSTRING), 0u);
  EXPECT_EQ(QNA_FindAppTitle(empty, QNA_TITLE_PREFIX), 0u);
  EXPECT_EQ(QNA_FindAppTitle(small, QNA_TITLE_UPPER), 0u);
  EXPECT_STREQ(small, "abc");
  const Window second("shell two");
  EXPECT_EQ(QNA_FindAppTitle(pattern, QNA_TITLE_PREFIX), 1u);
}

TEST(WindowWalkTest, TitleMatchModes) {
  qt::TempRoot root;
  const Window w1("Alpha Control");
  const Window w2("Plant Monitor - Line 2");
  const Window w3("mixed Case Title");
  struct Case {
    const char* pattern;
    std::int32_t mode;
    std::uint32_t found;
    const char* after;  // the caller's pattern afterwards
  };
  const Case cases[] = {
      {"Plant", 0x01, 1, "Plant"},
      {"plant", 0x01, 0, "plant"},
      {"plant", 0x11, 1, "PLANT"},
      {"Plant", 0x02, 1, "Plant"},
      {"Line 2", 0x04, 1, "Line 2"},
      {"Line", 0x04, 0, "Line"},
      {"Alpha Control and more", 0x04, 0, "Alpha Control and more"},
      {"Monitor", 0x08, 1, "Monitor"},
      {"monitor", 0x08, 0, "monitor"},
      {"monitor", 0x18, 1, "MONITOR"},
      {"Line 2", 0x01 | 0x04, 0, "Line 2"},       // prefix decides
      {"Line 2", 0x04 | 0x08, 1, "Line 2"},       // suffix decides
      {"Alpha", 0x10, 0, "ALPHA"},                // no comparison bit: nothing matches
      {"Alpha", 0x00, 0, "Alpha"},
      {"", 0x01, 1, ""},
      {"", 0x00, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.pattern << "\" mode 0x" << std::hex << c.mode);
    char pattern[64];
    std::snprintf(pattern, sizeof pattern, "%s", c.pattern);
    EXPECT_EQ(QNA_FindAppTitle(pattern, c.mode), c.found);
    EXPECT_STREQ(pattern, c.after);
  }
  EXPECT_EQ(QNA_FindAppTitle(nullptr, 0x01), 0u);
}

class LauncherTest : public ::testing::Test {
 protected:
  std::string Folder(const std::string& name) {
    const std::string folder = root_.path() + "/" + name;
    fs::create_directories(folder);
    return fs::canonical(folder).string();
  }
  std::string Record() const { return root_.path() + "/record"; }
  std::string Recorded(std::chrono::milliseconds limit) {
    if (!qt::WaitFor([&] { return fs::exists(Record()); }, limit)) return {};
    const std::string text = qt::ReadText(Record());
    fs::remove(Record());
    return text;
  }
  qt::TempRoot root_;
};

using Launch = std::uint32_t(QNA_API*)(const char*, const char*);
const Launch kLaunchers[] = {QNA_StartQuonix, QNA_StartQuonixHide};

// What the started program saw, or the refusal; run in "cwd" (or "empty").
TEST_F(LauncherTest, CommandLinesAndRefusals) {
  const std::string bin = Folder("bin"), cwd = Folder("cwd"), empty = Folder("empty");
  const std::string blank = Folder("with blank"), plain = Folder("plain");
  const std::string folder_exe = Folder("folder");
  const std::string drive_bin = win::HostPath("C:\\bin");
  for (const std::string& f : {bin, cwd, blank, plain}) PutRecorder(f, "QUONIX.EXE", Record());
  PutRecorder(drive_bin, "quonix.exe", Record());  // drive paths are lower case on the host
  fs::create_directories(folder_exe + "/QUONIX.EXE");
  chmod((plain + "/QUONIX.EXE").c_str(), 0644);
  // The line holds 1023 characters: ~1000 leave room for the path only.
  std::string deep = fs::canonical(root_.path()).string();
  while (deep.size() < 990)
    deep.append("/").append(std::min<std::size_t>(200, 995 - deep.size()), 'd');
  std::string deeper = deep + "/" + std::string(1015 - deep.size(), 'e');
  PutRecorder(deep, "QUONIX.EXE", Record());
  PutRecorder(deeper, "QUONIX.EXE", Record());
  const std::string long_arguments(100, 'a');
  // What the program in `folder` records: its path, its folder, `arguments`.
  const auto seen = [](const std::string& folder, const std::string& arguments = "") {
    return folder + "/QUONIX.EXE\n" + folder + "\n" + arguments;
  };
  struct Case {
    const char* situation;
    std::string directory;  // "": none
    const char* arguments;
    std::string expected;  // "": nothing started
    std::uint32_t result = 0;
    const char* window = nullptr;  // a window open meanwhile
    bool elsewhere = false;
  };
  const std::vector<Case> cases = {
      {"directory and arguments", bin, "--cw 100 -v", seen(bin, "[--cw]\n[100]\n[-v]\n")},
      {"directory alone", bin, nullptr, seen(bin)},
      {"directory, empty arguments", bin, "", seen(bin)},
      {"arguments alone", "", "a b", seen(cwd, "[a]\n[b]\n")},
      {"neither", "", nullptr, seen(cwd)},
      {"drive directory", "C:\\bin", "x", drive_bin + "/quonix.exe\n" + drive_bin + "\n[x]\n"},
      {"path fills the buffer, short arguments", deep, "-v", seen(deep, "[-v]\n")},
      {"a window of another case", bin, nullptr, seen(bin), 0, "quonix run"},
      {"a window of a shorter title", bin, nullptr, seen(bin), 0, "QUONIX RU"},
      {"a server runs", bin, nullptr, "", QNA_E_START_RUNNING, "QUONIX RUNNING"},
      {"a server runs, named at length", bin, nullptr, "", QNA_E_START_RUNNING, "QUONIX RUN b"},
      {"no QUONIX.EXE there", empty, nullptr, "", 201},
      {"no QUONIX.EXE in the current folder", "", nullptr, "", 201, nullptr, true},
      {"QUONIX.EXE is a folder", folder_exe, nullptr, "", 200},
      {"QUONIX.EXE cannot run", plain, nullptr, "", 200},
      {"a blank in the folder: no quotes", blank, nullptr, "", 200},
      {"path fills the buffer, arguments do not fit", deep, long_arguments.c_str(), "", 200},
      {"path does not fit", deeper, nullptr, "", 201},
  };
  for (const Launch launch : kLaunchers) {
    SCOPED_TRACE(launch == kLaunchers[0] ? "shown" : "hidden");
    for (const Case& c : cases) {
      SCOPED_TRACE(c.situation);
      const qt::InFolder in(c.elsewhere ? empty : cwd);
      std::optional<Window> window;
      if (c.window != nullptr) window.emplace(c.window);
      QNA_InternalErr = 4242;
      EXPECT_EQ(launch(c.directory.empty() ? nullptr : c.directory.c_str(), c.arguments), c.result);
      EXPECT_EQ(QNA_InternalErr, 4242);
      EXPECT_EQ(Recorded(c.result == 0 ? 20s : 300ms), c.expected);
    }
  }
  QNA_InternalErr = 0;
}

}  // namespace
