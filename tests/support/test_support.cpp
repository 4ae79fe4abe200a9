#include "support/test_support.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

extern char** environ;

namespace qt {

TempRoot::TempRoot() {
  char pattern[] = "/tmp/qnapi-test-XXXXXX";
  const char* made = mkdtemp(pattern);
  if (made == nullptr) std::abort();
  path_ = made;
  if (const char* old = std::getenv("QNAPI_ROOT")) {
    previous_ = old;
    had_previous_ = true;
  }
  setenv("QNAPI_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
  if (had_previous_)
    setenv("QNAPI_ROOT", previous_.c_str(), 1);
  else
    unsetenv("QNAPI_ROOT");
}

static int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

static int WaitPid(pid_t pid, int& status, std::chrono::milliseconds limit) {
  if (pid <= 0) return status;
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    int raw = 0;
    const pid_t got = waitpid(pid, &raw, WNOHANG);
    if (got == pid) {
      status = StatusOf(raw);
      return status;
    }
    if (got < 0) return status;
    if (std::chrono::steady_clock::now() >= end) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

Child::Child(const std::function<int()>& body) {
  pid_ = fork();
  if (pid_ == 0) {
    int code = 1;
    try {
      code = body();
    } catch (...) {
      code = 99;
    }
    _exit(code);
  }
}

static int Reap(pid_t& pid, int& status, std::chrono::milliseconds limit) {
  const int result = WaitPid(pid, status, limit);
  if (result != -1) pid = -1;
  return result;
}

static void KillAndReap(pid_t& pid, int& status) {
  if (pid <= 0) return;
  kill(pid, SIGKILL);
  WaitPid(pid, status, std::chrono::seconds(10));
  pid = -1;
}

Child::~Child() { Kill(); }
int Child::Wait(std::chrono::milliseconds limit) { return Reap(pid_, status_, limit); }
void Child::Kill() { KillAndReap(pid_, status_); }

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::string& stderr_path, const std::string& stdout_path, bool own_group) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!stderr_path.empty())
    posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  if (!stdout_path.empty())
    posix_spawn_file_actions_addopen(&actions, 1, stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (own_group) {
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  if (posix_spawn(&pid_, program.c_str(), &actions, &attributes, argv.data(), environ) != 0) pid_ = -1;
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() { Kill(); }

bool Process::running() { return pid_ > 0 && Reap(pid_, status_, std::chrono::milliseconds(0)) == -1; }
int Process::Wait(std::chrono::milliseconds limit) { return Reap(pid_, status_, limit); }
void Process::Kill() { KillAndReap(pid_, status_); }

void Process::Signal(int signal) {
  if (pid_ > 0) kill(pid_, signal);
}

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

Signal::Signal() {
  if (pipe(fds_) != 0) std::abort();
}

Signal::~Signal() {
  close(fds_[0]);
  close(fds_[1]);
}

void Signal::Post(char value) {
  if (write(fds_[1], &value, 1) != 1) std::abort();
}

int Signal::Take(std::chrono::milliseconds limit) {
  pollfd p{fds_[0], POLLIN, 0};
  if (poll(&p, 1, static_cast<int>(limit.count())) != 1) return -1;
  char value = 0;
  if (read(fds_[0], &value, 1) != 1) return -1;
  return static_cast<unsigned char>(value);
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::uint8_t> ReadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool WriteBytes(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  return static_cast<bool>(out);
}

long RssKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return 0;
}

}  // namespace qt
