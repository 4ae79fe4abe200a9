// demo.cpp - `qna demo`: a short tour of the library against a private
// stand-in server, told step by step.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qna.h"
#include "qnapi.h"

namespace qna {
namespace {

namespace fs = std::filesystem;

// The stand-in server, started in a private root and stopped at the end.
class PrivateServer {
 public:
  bool Start(const std::string& dir, bool verbose) {
    root_ = fs::temp_directory_path() / ("qna-demo-" + std::to_string(SysProcessId()));
    std::error_code ignored;
    fs::remove_all(root_, ignored);
    fs::create_directories(root_, ignored);
    PlatformSetRoot(root_.string());
    std::string command = (fs::path(dir) / "quonix").string() + " --project C:DEMO";
    command += verbose ? " -v" : " --quiet";
    win::STARTUPINFOA startup{sizeof(win::STARTUPINFOA), win::STARTF_USESHOWWINDOW, win::SW_HIDE};
    win::PROCESS_INFORMATION info{};
    if (!win::CreateProcessA(nullptr, command.data(), nullptr, nullptr, 0, 0, nullptr, nullptr,
                             &startup, &info))
      return false;
    pid_ = info.dwProcessId;
    return true;
  }
  ~PrivateServer() {
    if (pid_ != 0) {
      SysProcessStop(pid_);
      for (int i = 0; i < 500 && SysProcessAlive(pid_); ++i) SysSleep(10);
    }
    std::error_code ignored;
    if (!root_.empty()) fs::remove_all(root_, ignored);
  }
  std::uint32_t pid() const { return pid_; }

 private:
  fs::path root_;
  std::uint32_t pid_ = 0;
};

int g_failed = 0;
int g_steps = 0;

// Reports one step: what was done, and whether it came out as it should.
bool Step(bool ok, const char* what, std::uint32_t result = 0) {
  ++g_steps;
  if (ok) {
    std::printf("  ok    %s\n", what);
  } else {
    ++g_failed;
    std::printf("  FAIL  %s (result %u, detail %d)\n", what, result, QNA_InternalErr);
  }
  return ok;
}

std::string Words(const std::uint16_t* w, std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) s += ' ';
    s += std::to_string(w[i]);
  }
  return s;
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  std::string dir = options.server_dir;
  if (dir.empty()) dir = QUONIX_DIR;
  std::printf("qna demo: a private stand-in server, one application, the local link\n");
  PrivateServer server;
  if (!Step(server.Start(dir, options.verbose), "start quonix")) {
    std::printf("demo: could not start %s/quonix (use --server-dir)\n", dir.c_str());
    return 1;
  }

  // The server needs a moment to publish its areas; QNA_Open says 51 until then.
  QNA_REGREC me{0, 0, {'D', 'E', 'M', 'O', 0, 0, 0, 0}};
  std::uint32_t r = QNA_E_OPEN;
  const auto start = std::chrono::steady_clock::now();
  while ((r = QNA_Open(&me)) == QNA_E_OPEN &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(10))
    SysSleep(20);
  char line[200];
  std::snprintf(line, sizeof line, "QNA_Open as DEMO: areas of %u, %u, %u, %u, %u, %u words",
                QNA_SizeTb[0], QNA_SizeTb[1], QNA_SizeTb[2], QNA_SizeTb[3], QNA_SizeTb[4],
                QNA_SizeTb[5]);
  if (!Step(r == 0, line, r)) return 1;

  // Direct access: straight into shared memory under the area's mutex.
  const std::uint16_t direct[3] = {100, 200, 300};
  std::uint16_t back[3] = {};
  r = QNA_WriteSmem(1, 10, 3, direct, 0);
  if (r == 0) r = QNA_Read(1, 10, 3, back, 0);
  std::snprintf(line, sizeof line, "QNA_WriteSmem CW 10..12 = %s, QNA_Read gives %s",
                Words(direct, 3).c_str(), Words(back, 3).c_str());
  Step(r == 0 && back[0] == 100 && back[1] == 200 && back[2] == 300, line, r);

  // Through the server: a write request, then a direct read of the result.
  const std::uint16_t served[2] = {1234, 5678};
  r = QNA_Write(1, 20, 2, served, 0);
  if (r == 0) r = QNA_Read(1, 20, 2, back, 0);
  std::snprintf(line, sizeof line, "QNA_Write (by the server) CW 20..21 = %s, read back %s",
                Words(served, 2).c_str(), Words(back, 2).c_str());
  Step(r == 0 && back[0] == 1234 && back[1] == 5678, line, r);

  // Bits, both ways.
  const std::uint8_t bits[4] = {1, 0, 1, 1};
  std::uint8_t bits_back[4] = {};
  r = QNA_WriteBit(0, 30, 4, bits, 0);
  if (r == 0) r = QNA_ReadBit(0, 30, 4, bits_back, 0);
  std::snprintf(line, sizeof line, "QNA_WriteBit CB bits 30..33 = 1 0 1 1, read back %u %u %u %u",
                bits_back[0], bits_back[1], bits_back[2], bits_back[3]);
  Step(r == 0 && bits_back[0] == 1 && bits_back[1] == 0 && bits_back[2] == 1 && bits_back[3] == 1,
       line, r);
  const std::uint8_t clear[1] = {0};
  r = QNA_WriteSmemBit(0, 32, 1, clear, 0);
  if (r == 0) r = QNA_ReadBit(0, 30, 4, bits_back, 0);
  std::snprintf(line, sizeof line, "QNA_WriteSmemBit clears bit 32: bits 30..33 now %u %u %u %u",
                bits_back[0], bits_back[1], bits_back[2], bits_back[3]);
  Step(r == 0 && bits_back[2] == 0 && bits_back[3] == 1, line, r);

  // A word of the whole CW area holds what went in word by word.
  std::vector<std::uint16_t> area(QNA_SizeTb[1]);
  r = area.empty() ? QNA_E_ARG : QNA_Read(1, 0, QNA_SizeTb[1], area.data(), 0);
  std::snprintf(line, sizeof line, "QNA_Read of the whole CW area (%u words) in one locked copy",
                QNA_SizeTb[1]);
  Step(r == 0 && area[10] == 100 && area[21] == 5678, line, r);

  // The application's own mailbox on the server.
  const std::uint16_t note[4] = {7, 8, 9, 10};
  std::uint16_t note_back[4] = {};
  r = QNA_WriteApp("DEMO", 0, 4, note, 0);
  if (r == 0) r = QNA_ReadApp("DEMO", 0, 4, note_back);
  std::snprintf(line, sizeof line, "QNA_WriteApp / QNA_ReadApp mailbox DEMO words 0..3: %s",
                Words(note_back, 4).c_str());
  Step(r == 0 && note_back[0] == 7 && note_back[3] == 10, line, r);

  // A range past the end of an area is refused, and nothing is copied.
  std::uint16_t untouched[2] = {0xAAAA, 0xAAAA};
  r = QNA_Read(1, QNA_SizeTb[1] - 1, 2, untouched, 0);
  Step(r == QNA_E_ARG && untouched[0] == 0xAAAA,
       "QNA_Read of two words at the last word of CW is refused with 6, nothing copied", r);

  const auto closing = std::chrono::steady_clock::now();
  QNA_Close();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - closing)
                      .count();
  std::snprintf(line, sizeof line, "QNA_Close: the server saw the link close within %lld ms",
                static_cast<long long>(ms));
  Step(ms < 1500, line);
  std::uint16_t after = 0;
  r = QNA_Read(1, 0, 1, &after, 0);
  Step(r == QNA_E_NOTOPEN, "after QNA_Close a read gives 50 (not open)", r);

  std::printf("demo: %d of %d steps passed%s\n", g_steps - g_failed, g_steps,
              g_failed ? "" : ", all good");
  return g_failed == 0 ? 0 : 1;
}

}  // namespace qna
