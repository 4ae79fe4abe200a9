// appctl.cpp - application control (300100 start, 300101 close, 300102
// raise, 300103 status, 300104 cancel).
//
// Every request and reply is the 676-byte control record; every reply carries
// it whole, refusals too, because the client demands a reply of exactly 684
// bytes.  Start, close and raise are kept in a table under a request id that
// is never given twice while the server runs; they are carried out once their
// delay (value 2, ms) has passed: at once when it is 0, else by a worker
// thread.  Until then they are pending and can be cancelled.
//
// The record as this server reads it (texts zero-terminated in their fields):
//   start: text 1 the program, text 2 its arguments (appended to the command
//          line, split at blanks), text 3 its working directory (empty: the
//          server's), text 4 the application's name (empty: the program's
//          file name, without folder and extension, at most 8 characters);
//          value 1 the show state, value 2 the delay.
//   close, raise: text 4 the application's name, value 2 the delay.
//   status, cancel: the request id.
// An application is a running program started under that name (the latest
// one), or else a top-level window whose title begins with the name (case
// not counted) and that does not belong to this server.
//
// Lock rules: g_lock guards g_requests, g_next_id, g_accepted and the
// worker's fields.  It is held for one table operation, including the
// process start or stop and the window walk of a request carried out (all
// quick, none waits on a client), and released while the worker sleeps.
// Nothing else is taken under it.
#include "server/appctl.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#include "core/protocol.h"
#include "platform/platform.h"
#include "server/errors.h"
#include "server/log.h"

namespace quonix {
namespace {

using Clock = std::chrono::steady_clock;

// The control record.
constexpr std::size_t kRecordSize = 676;
constexpr std::size_t kKind = 4;
constexpr std::size_t kTextSize = 128;
constexpr std::size_t kText[4] = {6, 134, 262, 390};
constexpr std::size_t kValue[5] = {648, 652, 656, 660, 672};
constexpr std::size_t kRequestId = 664;
constexpr std::size_t kStatus = 668;
constexpr std::size_t kNameMax = 8;

enum Kind : std::uint32_t { kStart = 0, kClose = 1, kTop = 2, kStatusOf = 3, kCancel = 4 };
constexpr const char* kKindNames[] = {"start", "close", "raise", "status", "cancel"};

struct Entry {
  Kind kind;
  std::string program, arguments, directory, name;
  std::uint16_t show = 0;
  Clock::time_point due;
  std::uint32_t status = kStatusPending;
  std::uint32_t pid = 0;    // start: the program; close: the process asked to end
  std::uint32_t error = 0;  // start: the system's error when it failed
  std::uint32_t started_s = 0;
};

std::mutex g_lock;
std::condition_variable g_wake;
std::map<std::uint32_t, Entry> g_requests;
std::uint32_t g_next_id = 1;
std::uint32_t g_accepted = 0;

const Clock::time_point g_epoch = Clock::now();

std::string TextOf(const std::uint8_t* record, int which) {
  const char* field = reinterpret_cast<const char*>(record + kText[which]);
  return std::string(field, strnlen(field, kTextSize));
}

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// Refreshes a request whose process has ended since it was last looked at.
void Refresh(Entry& entry) {
  if (entry.status == kStatusRunning && !SysProcessAlive(entry.pid)) entry.status = kStatusDone;
}

bool Finished(const Entry& entry) {
  return entry.status == kStatusDone || entry.status == kStatusFailed ||
         entry.status == kStatusCancelled;
}

// The process of the application `name`, or 0.
std::uint32_t ProgramOf(const std::string& name) {
  for (auto it = g_requests.rbegin(); it != g_requests.rend(); ++it) {
    Entry& entry = it->second;
    Refresh(entry);
    if (entry.kind == kStart && entry.status == kStatusRunning && Upper(entry.name) == Upper(name))
      return entry.pid;
  }
  return 0;
}

// The first top-level window, below the topmost one, whose title begins with
// `name` or that belongs to `pid`; never one of this server's own.
win::HWND WindowOf(const std::string& name, std::uint32_t pid) {
  const std::string wanted = Upper(name);
  const win::HWND top = win::GetTopWindow(0);
  for (win::HWND w = top == 0 ? 0 : win::GetWindow(top, win::GW_HWNDNEXT); w != 0;
       w = win::GetWindow(w, win::GW_HWNDNEXT)) {
    const std::uint32_t owner = win::WindowProcessId(w);
    if (owner == SysProcessId()) continue;
    if (pid != 0) {
      if (owner == pid) return w;
      continue;
    }
    char title[128] = {};
    win::GetWindowTextA(w, title, sizeof title);
    if (Upper(title).rfind(wanted, 0) == 0) return w;
  }
  return 0;
}

// The application exists now: a program of ours under that name, or a window.
bool AppExists(const std::string& name) {
  return ProgramOf(name) != 0 || WindowOf(name, 0) != 0;
}

void CarryOut(std::uint32_t id, Entry& entry) {
  switch (entry.kind) {
    case kStart: {
      std::string line = entry.program;
      if (!entry.arguments.empty()) line += " " + entry.arguments;
      std::vector<char> command(line.begin(), line.end());
      command.push_back('\0');
      win::STARTUPINFOA startup{sizeof(win::STARTUPINFOA), win::STARTF_USESHOWWINDOW, entry.show};
      win::PROCESS_INFORMATION info{};
      if (win::CreateProcessA(nullptr, command.data(), nullptr, nullptr, 0, 0, nullptr,
                              entry.directory.empty() ? nullptr : entry.directory.c_str(),
                              &startup, &info) == 0) {
        entry.status = kStatusFailed;
        entry.error = win::GetLastError();
        Log("control request %u: start of '%s' failed: %s", id, line.c_str(),
            ErrorText(entry.error).c_str());
        return;
      }
      entry.pid = info.dwProcessId;
      entry.started_s = ServerSeconds();
      entry.status = kStatusRunning;
      Log("control request %u: started '%s' as '%s', pid %u", id, line.c_str(),
          entry.name.c_str(), entry.pid);
      return;
    }
    case kClose: {
      std::uint32_t pid = ProgramOf(entry.name);
      if (pid == 0) {
        const win::HWND window = WindowOf(entry.name, 0);
        if (window != 0) pid = win::WindowProcessId(window);
      }
      // Never this server itself, whatever its window is called.
      if (pid == 0 || pid == SysProcessId() || SysProcessStop(pid) != 0) {
        entry.status = kStatusFailed;
        Log("control request %u: no application '%s' to close", id, entry.name.c_str());
        return;
      }
      entry.pid = pid;
      entry.status = kStatusRunning;
      Log("control request %u: asked '%s' (pid %u) to close", id, entry.name.c_str(), pid);
      return;
    }
    case kTop: {
      win::HWND window = WindowOf(entry.name, 0);
      if (window == 0) {
        const std::uint32_t pid = ProgramOf(entry.name);
        if (pid != 0) window = WindowOf(entry.name, pid);
      }
      entry.status = window != 0 && win::WindowToTop(window) != 0 ? kStatusDone : kStatusFailed;
      return;
    }
    default:
      return;
  }
}

// ---- The worker: carries out requests whose delay has passed ----------------
class Worker {
 public:
  ~Worker() {
    {
      std::lock_guard guard(g_lock);
      stop_ = true;
    }
    g_wake.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  // Under g_lock: makes sure the worker runs, and wakes it for a new due time.
  void Kick() {
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    g_wake.notify_all();
  }

 private:
  void Run() {
    std::unique_lock lock(g_lock);
    while (!stop_) {
      Clock::time_point next = Clock::time_point::max();
      const Clock::time_point now = Clock::now();
      for (auto& [id, entry] : g_requests) {
        if (entry.status != kStatusPending) continue;
        if (entry.due <= now)
          CarryOut(id, entry);
        else
          next = std::min(next, entry.due);
      }
      if (next == Clock::time_point::max())
        g_wake.wait(lock);
      else
        g_wake.wait_until(lock, next);
    }
  }
  bool stop_ = false;
  std::thread thread_;
};

Worker g_worker;

// Makes room for one more request: drops the oldest finished one when the
// table is full.  false: every request kept is still under way.
bool MakeRoom() {
  if (g_requests.size() < kMaxControlRequests) return true;
  for (auto it = g_requests.begin(); it != g_requests.end(); ++it) {
    Refresh(it->second);
    if (Finished(it->second)) {
      g_requests.erase(it);
      return true;
    }
  }
  return false;
}

std::uint32_t NextId() {
  const std::uint32_t id = g_next_id++;
  if (g_next_id == 0) g_next_id = 1;
  return id;
}

Reply Answer(std::uint32_t result, const std::uint8_t* record, std::string why = {}) {
  Reply reply;
  reply.result = result;
  reply.refusal = std::move(why);
  reply.payload.assign(record, record + kRecordSize);
  return reply;
}

}  // namespace

std::uint32_t ServerSeconds() {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - g_epoch).count());
}

bool IsAppControl(std::uint32_t command) {
  return command >= proto::kAppControlFirst && command <= proto::kAppControlLast;
}

Reply HandleAppControl(const Request& request) {
  std::uint8_t record[kRecordSize] = {};
  const Kind kind = static_cast<Kind>(request.command - proto::kAppControlFirst);
  const std::string what = std::string("control ") + kKindNames[kind];
  if (request.body.size() != kRecordSize) return Answer(kRange, record, what + ": layout");
  std::memcpy(record, request.body.data(), kRecordSize);
  if (proto::Get16(record + kKind) != kind)
    return Answer(kRange, record, what + ": request kind does not match the command");
  for (int t = 0; t < 4; ++t)
    if (std::memchr(record + kText[t], 0, kTextSize) == nullptr)
      return Answer(kRange, record, what + ": text " + std::to_string(t + 1) + " not terminated");

  std::lock_guard guard(g_lock);
  if (kind == kStatusOf || kind == kCancel) {
    const std::uint32_t id = proto::Get32(record + kRequestId);
    const auto found = g_requests.find(id);
    if (found == g_requests.end())
      return Answer(kUnknownRequest, record, what + ": no request " + std::to_string(id));
    Entry& entry = found->second;
    Refresh(entry);
    if (kind == kCancel) {
      if (entry.status != kStatusPending)
        return Answer(kNotPending, record, what + ": request " + std::to_string(id) +
                                               " is no longer pending");
      entry.status = kStatusCancelled;
    }
    proto::Put32(record + kStatus, entry.status);
    proto::Put32(record + kValue[0], entry.pid);
    proto::Put32(record + kValue[4], entry.error);
    return Answer(kOk, record);
  }

  Entry entry;
  entry.kind = kind;
  entry.name = TextOf(record, 3);
  const std::uint32_t delay = proto::Get32(record + kValue[1]);
  if (delay > kMaxControlDelayMs)
    return Answer(kRange, record, what + ": delay " + std::to_string(delay) + " ms");
  entry.due = Clock::now() + std::chrono::milliseconds(delay);
  if (kind == kStart) {
    entry.program = TextOf(record, 0);
    entry.arguments = TextOf(record, 1);
    entry.directory = TextOf(record, 2);
    entry.show = static_cast<std::uint16_t>(proto::Get32(record + kValue[0]));
    if (entry.program.empty()) return Answer(kRange, record, what + ": no program");
    if (entry.name.empty()) {
      std::string base = entry.program.substr(entry.program.find_last_of("\\/:") + 1);
      base = base.substr(0, base.find('.'));
      entry.name = base.substr(0, kNameMax);
    }
  } else {
    if (entry.name.empty()) return Answer(kRange, record, what + ": no application name");
    if (!AppExists(entry.name))
      return Answer(kUnknownApp, record, what + ": no application '" + entry.name + "'");
  }
  if (!MakeRoom()) return Answer(kNoRoom, record, what + ": too many requests under way");
  const std::uint32_t id = NextId();
  ++g_accepted;
  Entry& kept = g_requests.emplace(id, std::move(entry)).first->second;
  if (delay == 0)
    CarryOut(id, kept);
  else
    g_worker.Kick();
  proto::Put32(record + kRequestId, id);
  proto::Put32(record + kStatus, kept.status);
  return Answer(kOk, record);
}

std::vector<StartedProgram> AppCtlRunning() {
  std::lock_guard guard(g_lock);
  std::vector<StartedProgram> running;
  for (auto& [id, entry] : g_requests) {
    Refresh(entry);
    if (entry.kind == kStart && entry.status == kStatusRunning)
      running.push_back({entry.name, id, entry.pid, entry.started_s});
  }
  return running;
}

std::uint32_t AppCtlRequestCount() {
  std::lock_guard guard(g_lock);
  return g_accepted;
}

}  // namespace quonix
