// windows.cpp - top-level windows of the POSIX backend: one small table that
// every process under the same root shares, holding each window's owner, its
// title and its place in the Z order.
//
// The table is the file <root>/windows, of a fixed size.  Every operation
// opens the file, takes an exclusive flock on it, maps it, works and closes
// it again.  Lock rules: the flock is the only lock; it is taken on a fresh
// open file description each time, so it excludes threads of this process as
// well as other processes, and it dies with a process that crashes holding
// it.  Nothing else is taken while it is held, except that WindowClose tells
// the message queues (services.cpp) only after it has let the table go.
//
// Windows of ended processes are not removed by anyone: an entry whose owner
// no longer runs is treated as absent and its slot is reused later.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/posix/root.h"
#include "platform/posix/window_table.h"

namespace {

using win::HWND;

constexpr win::DWORD kErrorInvalidWindowHandle = 1400;
constexpr std::size_t kSlots = 256;  // HWND keeps the slot in its low 8 bits
constexpr std::size_t kTitleSize = 128;
constexpr char kMagic[8] = {'Q', 'N', 'A', 'W', 'I', 'N', 'D', '1'};
constexpr std::uint64_t kShellZ = ~std::uint64_t{0};

struct Entry {
  std::uint32_t used;
  std::uint32_t generation;  // low 24 bits go into the HWND; never 0
  std::int32_t pid;          // 0: the shell, owned by nobody
  std::uint32_t reserved;
  std::uint64_t start_time;  // owner's start time (clock ticks since boot); 0: unknown
  std::uint64_t z;           // higher is nearer the top
  char title[kTitleSize];
};

struct Table {
  char magic[8];
  std::uint64_t z_counter;
  Entry entries[kSlots];
};

// The start time and state of a process from /proc/<pid>/stat.  Returns
// false when the file cannot be read.
bool ReadProcStat(std::int32_t pid, char& state, std::uint64_t& start_time) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  std::FILE* file = std::fopen(path, "re");
  if (file == nullptr) return false;
  char buffer[1024];
  const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
  std::fclose(file);
  buffer[n] = '\0';
  // The command name may hold blanks and parentheses: fields follow the last ')'.
  const char* p = std::strrchr(buffer, ')');
  if (p == nullptr) return false;
  ++p;
  while (*p == ' ') ++p;
  state = *p;
  // The start time is the 20th field after the state (field 22 overall).
  for (int field = 0; field < 19 && *p != '\0'; ++field) {
    p = std::strchr(p, ' ');
    if (p == nullptr) return false;
    ++p;
  }
  start_time = std::strtoull(p, nullptr, 10);
  return true;
}

std::uint64_t OwnStartTime() {
  char state = 0;
  std::uint64_t start = 0;
  return ReadProcStat(static_cast<std::int32_t>(getpid()), state, start) ? start : 0;
}

// Whether the owner still runs.  A process that ended but was not reaped yet
// (a zombie) counts as gone, and so does a later process that got the same id.
bool OwnerAlive(const Entry& e) {
  if (e.pid == 0) return true;  // the shell
  if (e.pid < 0) return false;
  if (kill(e.pid, 0) != 0 && errno == ESRCH) return false;
  char state = 0;
  std::uint64_t start = 0;
  if (!ReadProcStat(e.pid, state, start)) return true;  // no /proc: trust kill()
  if (state == 'Z' || state == 'X') return false;
  return e.start_time == 0 || start == e.start_time;
}

bool Live(const Entry& e) { return e.used != 0 && OwnerAlive(e); }

HWND Encode(std::size_t slot, std::uint32_t generation) {
  return (static_cast<HWND>(generation & 0xFFFFFFu) << 8) | static_cast<HWND>(slot);
}

void InitTable(Table& t) {
  std::memset(&t, 0, sizeof t);
  std::memcpy(t.magic, kMagic, sizeof kMagic);
  Entry& shell = t.entries[0];
  shell.used = 1;
  shell.generation = 1;
  shell.pid = 0;
  shell.z = kShellZ;
  std::memcpy(shell.title, "shell", 6);
}

// The table, open and locked for the lifetime of this object.
class LockedTable {
 public:
  LockedTable() {
    const std::string root = posix::RootDir("");
    if (root.empty()) return;
    const std::string path = root + "/windows";
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      posix::SetErrorFromErrno(errno);
      return;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        posix::SetErrorFromErrno(errno);
        return;
      }
    }
    struct stat st {};
    if (fstat(fd_, &st) != 0) {
      posix::SetErrorFromErrno(errno);
      return;
    }
    const bool fresh = static_cast<std::size_t>(st.st_size) != sizeof(Table);
    if (fresh && ftruncate(fd_, static_cast<off_t>(sizeof(Table))) != 0) {
      posix::SetErrorFromErrno(errno);
      return;
    }
    void* view = mmap(nullptr, sizeof(Table), PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
    if (view == MAP_FAILED) {
      posix::SetErrorFromErrno(errno);
      return;
    }
    table_ = static_cast<Table*>(view);
    // A new file, or one that is not ours (wrong size or marker), starts over.
    if (fresh || std::memcmp(table_->magic, kMagic, sizeof kMagic) != 0) InitTable(*table_);
  }
  ~LockedTable() {
    if (table_ != nullptr) munmap(table_, sizeof(Table));
    if (fd_ >= 0) ::close(fd_);  // releases the flock
  }
  LockedTable(const LockedTable&) = delete;
  LockedTable& operator=(const LockedTable&) = delete;

  bool ok() const { return table_ != nullptr; }
  Table& operator*() const { return *table_; }
  Table* operator->() const { return table_; }

  // The slot of a live window, or -1 (error 1400) for a stale or bad handle.
  int Find(HWND window) const {
    const std::size_t slot = window & 0xFFu;
    const HWND generation = window >> 8;
    if (table_ == nullptr || window == 0 || generation > 0xFFFFFFu) {
      win::SetLastError(kErrorInvalidWindowHandle);
      return -1;
    }
    const Entry& e = table_->entries[slot];
    if ((e.generation & 0xFFFFFFu) != generation || !Live(e)) {
      win::SetLastError(kErrorInvalidWindowHandle);
      return -1;
    }
    return static_cast<int>(slot);
  }

  // The live window next to height z: the highest one below it, or with
  // `upward` the lowest one above it; 0 when there is none.
  HWND Neighbour(std::uint64_t z, bool upward) const {
    int best = -1;
    for (std::size_t i = 0; i < kSlots; ++i) {
      const Entry& e = table_->entries[i];
      if (e.used == 0) continue;
      const bool beyond = upward ? e.z > z : e.z < z;
      if (!beyond) continue;
      if (best >= 0) {
        const std::uint64_t best_z = table_->entries[best].z;
        if (upward ? e.z >= best_z : e.z <= best_z) continue;
      }
      if (!Live(e)) continue;
      best = static_cast<int>(i);
    }
    return best < 0 ? 0 : Encode(static_cast<std::size_t>(best), table_->entries[best].generation);
  }

  // Moves a window to the top of the programs, just below the shell.
  void Raise(Entry& e) const {
    if (e.z == kShellZ) return;
    if (table_->z_counter < kShellZ - 1) ++table_->z_counter;
    e.z = table_->z_counter;
  }

 private:
  int fd_ = -1;
  Table* table_ = nullptr;
};

}  // namespace

namespace posix {

bool WindowIsOwn(HWND window) {
  LockedTable table;
  if (!table.ok()) return false;
  const int slot = table.Find(window);
  return slot >= 0 && table->entries[slot].pid == getpid();
}

}  // namespace posix

namespace win {

HWND GetTopWindow(HWND parent) {
  if (parent != 0) return 0;  // top-level windows have no child windows here
  LockedTable table;
  if (!table.ok()) return 0;
  return Encode(0, table->entries[0].generation);  // the shell is always on top
}

HWND GetWindow(HWND window, DWORD command) {
  constexpr DWORD kFirst = 0, kLast = 1, kNext = GW_HWNDNEXT, kPrev = 3;
  LockedTable table;
  if (!table.ok()) return 0;
  const int slot = table.Find(window);
  if (slot < 0) return 0;
  switch (command) {
    case kFirst: return Encode(0, table->entries[0].generation);
    case kLast: return table.Neighbour(0, true);  // live windows all have z >= 1
    case kNext: return table.Neighbour(table->entries[slot].z, false);
    case kPrev: return table.Neighbour(table->entries[slot].z, true);
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
  }
}

int GetWindowTextA(HWND window, char* text, int max_count) {
  if (text == nullptr || max_count <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  text[0] = '\0';
  LockedTable table;
  if (!table.ok()) return 0;
  const int slot = table.Find(window);
  if (slot < 0) return 0;
  const Entry& e = table->entries[slot];
  std::size_t length = strnlen(e.title, kTitleSize - 1);
  if (length > static_cast<std::size_t>(max_count - 1)) length = static_cast<std::size_t>(max_count - 1);
  std::memcpy(text, e.title, length);
  text[length] = '\0';
  return static_cast<int>(length);
}

HWND WindowOpen(const char* title) {
  LockedTable table;
  if (!table.ok()) return 0;
  for (std::size_t i = 1; i < kSlots; ++i) {
    Entry& e = table->entries[i];
    if (e.used != 0 && OwnerAlive(e)) continue;
    std::uint32_t generation = e.generation + 1;
    if ((generation & 0xFFFFFFu) == 0) ++generation;  // an HWND is never 0
    std::memset(&e, 0, sizeof e);
    e.used = 1;
    e.generation = generation;
    e.pid = static_cast<std::int32_t>(getpid());
    e.start_time = OwnStartTime();
    if (title != nullptr) std::memcpy(e.title, title, strnlen(title, kTitleSize - 1));
    table.Raise(e);
    return Encode(i, generation);
  }
  SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return 0;
}

BOOL WindowClose(HWND window) {
  {
    LockedTable table;
    if (!table.ok()) return 0;
    const int slot = table.Find(window);
    if (slot < 0) return 0;
    Entry& e = table->entries[slot];
    // Only the owner closes a window, and the shell stays.
    if (e.pid != getpid()) {
      SetLastError(ERROR_ACCESS_DENIED);
      return 0;
    }
    e.used = 0;
    e.title[0] = '\0';
  }
  posix::MsgWindowClosed(window);
  return 1;
}

BOOL WindowToTop(HWND window) {
  LockedTable table;
  if (!table.ok()) return 0;
  const int slot = table.Find(window);
  if (slot < 0) return 0;
  table.Raise(table->entries[slot]);
  return 1;
}

DWORD WindowProcessId(HWND window) {
  LockedTable table;
  if (!table.ok()) return 0;
  const int slot = table.Find(window);
  if (slot < 0) return 0;
  return static_cast<DWORD>(table->entries[slot].pid);
}

}  // namespace win
