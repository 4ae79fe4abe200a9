// objects.cpp - named kernel objects of the POSIX backend: mappings, mutexes,
// events, and closing a handle of any kind.
//
// A named object is the file <root>/obj/NAME.  Its first page holds a small
// header (magic, kind, data size) and, for a mutex or an event, the shared
// state itself; a mapping's data follows at the next page boundary.  Unnamed
// objects live on the heap (mutex, event) or in anonymous shared memory
// (mapping) and are reachable only through their handle.
//
// Lifetime.  An object exists while some process holds it, so its file
// carries open-file-description locks, which the kernel drops when the last
// descriptor goes, and therefore when a process dies:
//   * byte 0, the holder byte: every holding process keeps a read lock on it;
//   * byte 1, the guard: a creator or the last closer write-locks it, an
//     opener read-locks it, so a check for holders and the step that follows
//     (initialise, join, unlink) happen as one.
// A file without any holder is stale (its creator was killed): an open treats
// it as missing, a create takes it over and initialises it afresh.  The last
// closing process unlinks the file.  Each process opens a file once and
// shares it among all its handles, views and threads (NamedFile), so a
// process-shared mutex has one address per process, as its robust list needs.
//
// Lock rules:
//   * g_files_lock guards g_files (this process's object files by path).  It is
//     held across one open or create, including the short wait for a file's
//     guard byte; a NamedFile's destructor never takes it.
//   * g_views_lock guards g_views (mapped views); nothing is unmapped and no
//     other lock is taken while holding it.
//   * A file's guard byte is held only for the few steps above, never while
//     waiting for anything but another guard of the same file.
//   * KeepForever's lock guards only its list.
//   * fork() takes all four (files, views, kept, then the handle table, an
//     order no thread can hold them in the other way round) and frees them in
//     parent and child, so a child forked while another thread was opening,
//     mapping or looking up a handle can go on using objects.
#include <fcntl.h>
#include <linux/futex.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/handles.h"
#include "platform/posix/root.h"

#if defined(__SANITIZE_THREAD__)
#define QNAPI_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QNAPI_TSAN 1
#endif
#endif

namespace {

using posix::Kind;
using posix::Object;

constexpr win::DWORD kErrorNotOwner = 288;  // ERROR_NOT_OWNER, as ReleaseMutex reports it
// Longest object name taken as a file name; longer ones are refused rather
// than cut, since a cut name would be another object.
constexpr std::size_t kMaxNameLength = 200;
constexpr std::uint32_t kMagic = 0x314F4E51u;  // "QNO1"
constexpr off_t kHolderByte = 0;
constexpr off_t kGuardByte = 1;
// Each retry means the file was unlinked between our open and our guard lock;
// the bound only turns a pathological race into a failure.
constexpr int kOpenAttempts = 64;

// ---- Object files -----------------------------------------------------------

struct FilePrefix {
  std::uint32_t magic;
  std::uint32_t kind;         // posix::Kind
  std::uint64_t size;         // mapping: bytes of data
  std::uint64_t data_offset;  // mapping: page-aligned start of the data
};

struct FileHeader {
  FilePrefix prefix;
  alignas(64) pthread_mutex_t mutex;  // mutex objects
  alignas(64) std::uint32_t event;    // event objects: a futex word, 0 reset, 1 set
};
static_assert(sizeof(FileHeader) <= 4096, "the header must fit in one page");

std::size_t PageSize() {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

bool LockByte(int fd, short type, off_t byte, bool wait) {
  struct flock lock {};
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  for (;;) {
    if (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return false;
  }
}

// 1 when another open file description holds the holder byte, 0 when none
// does, -1 on failure.  Our own lock never counts.
int OtherHolders(int fd) {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = kHolderByte;
  lock.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return -1;
  return lock.l_type == F_UNLCK ? 0 : 1;
}

// 1 when `path` still names the file open as `fd`, 0 when it was unlinked or
// replaced meanwhile, -1 on failure.
int StillNamed(int fd, const std::string& path, struct stat& own) {
  if (fstat(fd, &own) != 0) return -1;
  struct stat named {};
  if (lstat(path.c_str(), &named) != 0) return errno == ENOENT ? 0 : -1;
  return named.st_dev == own.st_dev && named.st_ino == own.st_ino ? 1 : 0;
}

void SetErrorFromErrno(int error) {
  // A full /dev/shm is memory that ran out, not a bad argument.
  if (error == ENOSPC || error == EFBIG)
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
  else
    posix::SetErrorFromErrno(error);
}

bool InitMutex(pthread_mutex_t* mutex, bool process_shared) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  // Win32 semantics: recursive for the owner, abandoned (not deadlocked) when
  // the owner thread or process ends while holding it.
  bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0;
  if (ok && process_shared)
    ok = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0;
  if (ok) ok = pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// True when a live thread of this process owns the mutex.  The futex word of a
// robust mutex holds its owner's thread id (the kernel's robust-futex ABI),
// marked FUTEX_OWNER_DIED once the kernel has released a dead owner's hold.
bool OwnedHere(pthread_mutex_t* mutex) {
  const auto word = static_cast<unsigned>(__atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE));
  if ((word & FUTEX_OWNER_DIED) != 0) return false;
  const auto tid = static_cast<pid_t>(word & FUTEX_TID_MASK);
  return tid != 0 && syscall(SYS_tgkill, getpid(), tid, 0) == 0;
}

// Keeps memory that must not be freed: a mutex still owned by a live thread of
// this process sits in that thread's robust list, which glibc and the kernel
// write to when the thread locks, unlocks or exits.  Freeing or unmapping it
// would let them write into whatever takes its place, so it stays (and, for a
// named mutex, stays held, as an owned Win32 mutex does) until the process ends.
std::mutex& KeptLock() {
  static auto* lock = new std::mutex;
  return *lock;
}

void KeepForever(const void* block) {
  static auto* kept = new std::vector<const void*>;
  std::lock_guard guard(KeptLock());
  try {
    kept->push_back(block);
  } catch (...) {
    // Still never freed; only no longer listed.
  }
}

// One object file as this process holds it: the descriptor with its holder
// lock and the mapped header page.
struct NamedFile {
  Kind kind = Kind::Mapping;
  int fd = -1;
  FileHeader* header = nullptr;
  std::uint64_t size = 0;         // mapping: data bytes
  std::uint64_t data_offset = 0;  // mapping: offset of the data in the file
  pid_t opener = 0;
  std::string path;

  NamedFile() = default;
  NamedFile(const NamedFile&) = delete;
  NamedFile& operator=(const NamedFile&) = delete;

  ~NamedFile() {
    if (header != nullptr) munmap(header, PageSize());
    if (fd < 0) return;
    // The last holder removes the name.  A forked child shares its parent's
    // descriptors and locks, so only the process that opened the file may
    // decide it is the last.
    if (opener == getpid() && LockByte(fd, F_WRLCK, kGuardByte, true)) {
      struct stat own {};
      if (OtherHolders(fd) == 0 && StillNamed(fd, path, own) == 1) unlink(path.c_str());
    }
    close(fd);
  }
};

void DropFile(NamedFile* file) {
  if (file->kind == Kind::Mutex && file->header != nullptr && OwnedHere(&file->header->mutex)) {
    KeepForever(file);
    return;
  }
  delete file;
}

std::mutex g_files_lock;
std::map<std::string, std::weak_ptr<NamedFile>> g_files;

struct FileRequest {
  Kind kind;
  bool create;
  std::uint64_t size = 0;  // create a mapping: data bytes
  bool initial = false;    // create: mutex owned by the caller / event set
};

bool ReadPrefix(int fd, FilePrefix& prefix) {
  return pread(fd, &prefix, sizeof prefix, 0) == static_cast<ssize_t>(sizeof prefix);
}

// Writes a fresh object into a file that no process holds.  Called with the
// guard write-locked.
bool InitialiseFile(int fd, const FileRequest& request, FileHeader*& header) {
  const std::size_t page = PageSize();
  const std::uint64_t total = page + (request.kind == Kind::Mapping ? request.size : 0);
  // Truncating first drops whatever a dead creator left, so the data reads as
  // zeros and the shared state starts clean.
  if (ftruncate(fd, 0) != 0 || ftruncate(fd, static_cast<off_t>(total)) != 0) {
    SetErrorFromErrno(errno);
    return false;
  }
  void* base = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    SetErrorFromErrno(errno);
    return false;
  }
  header = static_cast<FileHeader*>(base);
  header->prefix.kind = static_cast<std::uint32_t>(request.kind);
  header->prefix.size = request.kind == Kind::Mapping ? request.size : 0;
  header->prefix.data_offset = request.kind == Kind::Mapping ? page : 0;
  bool ok = true;
  if (request.kind == Kind::Mutex) {
    ok = InitMutex(&header->mutex, true);
    // Owned before any other process can open it, as CreateMutex does it.
    // Nobody else can reach it yet, so a try always succeeds (and never
    // waits while g_files_lock is held).
    if (ok && request.initial) ok = pthread_mutex_trylock(&header->mutex) == 0;
  } else if (request.kind == Kind::Event) {
    header->event = request.initial ? 1 : 0;
  }
  if (!ok) {
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    munmap(base, page);
    header = nullptr;
    return false;
  }
  header->prefix.magic = kMagic;
  return true;
}

// Checks that a held file is an object of the kind asked for and maps its
// header.  Called with the guard read-locked.
bool JoinFile(int fd, const struct stat& st, const FileRequest& request, FileHeader*& header) {
  const std::size_t page = PageSize();
  FilePrefix prefix{};
  if (!ReadPrefix(fd, prefix) || prefix.magic != kMagic ||
      prefix.kind != static_cast<std::uint32_t>(request.kind)) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);  // another kind of object
    return false;
  }
  if (request.kind == Kind::Mapping) {
    // The header decides how much gets mapped: it must describe data that the
    // file really has, or touching the view would fault.
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (prefix.size == 0 || prefix.data_offset != page || prefix.size > file_size ||
        prefix.data_offset > file_size - prefix.size) {
      win::SetLastError(win::ERROR_INVALID_HANDLE);
      return false;
    }
  } else if (static_cast<std::uint64_t>(st.st_size) < page) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return false;
  }
  void* base = mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) {
    SetErrorFromErrno(errno);
    return false;
  }
  header = static_cast<FileHeader*>(base);
  return true;
}

// The header page of an object file while it is being opened: unmapped again,
// and a mutex created owned given back, unless a NamedFile takes it over.
class HeaderGuard {
 public:
  HeaderGuard(FileHeader* header, bool owns_mutex) : header_(header), owns_mutex_(owns_mutex) {}
  ~HeaderGuard() {
    if (header_ == nullptr) return;
    if (owns_mutex_) pthread_mutex_unlock(&header_->mutex);
    munmap(header_, PageSize());
  }
  HeaderGuard(const HeaderGuard&) = delete;
  HeaderGuard& operator=(const HeaderGuard&) = delete;
  FileHeader* get() const { return header_; }
  FileHeader* release() { return std::exchange(header_, nullptr); }

 private:
  FileHeader* header_;
  bool owns_mutex_;
};

// The file at `path` opened, its guard byte locked, and checked to be still
// named and a plain file.  -1 with the error set on failure; `unnamed` when the
// last holder unlinked it meanwhile, which is worth another try.
UniqueFd OpenGuarded(const std::string& path, const FileRequest& request, struct stat& st,
                     bool& unnamed) {
  const int flags = O_RDWR | O_CLOEXEC | O_NOFOLLOW | (request.create ? O_CREAT : 0);
  UniqueFd fd(open(path.c_str(), flags, 0600));
  if (fd.get() < 0) {
    SetErrorFromErrno(errno);  // ENOENT on open: error 2
    return fd;
  }
  if (!LockByte(fd.get(), request.create ? F_WRLCK : F_RDLCK, kGuardByte, true)) {
    SetErrorFromErrno(errno);
    return UniqueFd(-1);
  }
  const int named = StillNamed(fd.get(), path, st);
  if (named <= 0) {
    unnamed = named == 0;
    if (named < 0) SetErrorFromErrno(errno);
    return UniqueFd(-1);
  }
  if (!S_ISREG(st.st_mode)) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return UniqueFd(-1);
  }
  return fd;
}

// The header of the object in a guarded file: written fresh by a create of a
// name nobody holds, joined by an open of one somebody holds.  nullptr with
// the error set otherwise.
FileHeader* MapObject(int fd, const std::string& path, const struct stat& st,
                      const FileRequest& request) {
  const int holders = OtherHolders(fd);
  if (holders < 0) {
    SetErrorFromErrno(errno);
    return nullptr;
  }
  FileHeader* header = nullptr;
  if (!request.create) {
    if (holders == 0) {
      win::SetLastError(win::ERROR_FILE_NOT_FOUND);  // left by a dead process
      return nullptr;
    }
    return JoinFile(fd, st, request, header) ? header : nullptr;
  }
  if (holders > 0) {
    // Win32 reports a name taken by an object of another kind as 6.
    FilePrefix prefix{};
    const bool same_kind = ReadPrefix(fd, prefix) && prefix.magic == kMagic &&
                           prefix.kind == static_cast<std::uint32_t>(request.kind);
    win::SetLastError(same_kind ? win::ERROR_ALREADY_EXISTS : win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (!InitialiseFile(fd, request, header)) {
    unlink(path.c_str());  // safe: no holder, and we hold the guard
    return nullptr;
  }
  return header;
}

// The NamedFile that takes over a guarded file and its header, now holding
// the file's holder byte; the guard byte is let go.
std::shared_ptr<NamedFile> AdoptFile(const std::string& path, const FileRequest& request,
                                     UniqueFd& fd, HeaderGuard& header) {
  std::shared_ptr<NamedFile> file;
  try {
    file = std::shared_ptr<NamedFile>(new NamedFile, DropFile);
    file->path = path;
  } catch (...) {
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  // A read lock on the holder byte never conflicts: nobody write-locks it.
  if (!LockByte(fd.get(), F_RDLCK, kHolderByte, false)) {
    SetErrorFromErrno(errno);
    return nullptr;
  }
  file->kind = request.kind;
  file->header = header.release();
  file->size = file->header->prefix.size;
  file->data_offset = file->header->prefix.data_offset;
  file->opener = getpid();
  file->fd = fd.release();
  LockByte(file->fd, F_UNLCK, kGuardByte, false);
  return file;
}

// Creates or opens the object file at `path` (see the lifetime rules above).
// Called with g_files_lock held.
std::shared_ptr<NamedFile> OpenObjectFile(const std::string& path, const FileRequest& request) {
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    struct stat st {};
    bool unnamed = false;
    UniqueFd fd = OpenGuarded(path, request, st, unnamed);
    if (unnamed) continue;
    if (fd.get() < 0) return nullptr;
    HeaderGuard header(MapObject(fd.get(), path, st, request),
                       request.create && request.initial && request.kind == Kind::Mutex);
    if (header.get() == nullptr) return nullptr;
    return AdoptFile(path, request, fd, header);
  }
  win::SetLastError(win::ERROR_ACCESS_DENIED);
  return nullptr;
}

// The object file of a named object, shared with this process's other handles
// to it.  nullptr with the error set on failure: 183 (create of a name that is
// held), 6 (held as another kind), 2 (open of a name nobody holds).
std::shared_ptr<NamedFile> AcquireFile(const std::string& name, const FileRequest& request) {
  const std::string dir = posix::RootDir("obj");
  if (dir.empty()) return nullptr;
  const std::string path = dir + "/" + name;
  std::shared_ptr<NamedFile> file;  // outlives the guard below
  std::lock_guard guard(g_files_lock);
  if (auto it = g_files.find(path); it != g_files.end()) file = it->second.lock();
  if (file) {
    if (file->kind != request.kind) {
      win::SetLastError(win::ERROR_INVALID_HANDLE);
      return nullptr;
    }
    if (request.create) {
      win::SetLastError(win::ERROR_ALREADY_EXISTS);
      return nullptr;
    }
    return file;
  }
  file = OpenObjectFile(path, request);
  if (!file) return nullptr;
  for (auto it = g_files.begin(); it != g_files.end();) it = it->second.expired() ? g_files.erase(it) : std::next(it);
  g_files[path] = file;
  return file;
}

// ---- Names ------------------------------------------------------------------

enum class Family { Mapping, Mutex, Event };

constexpr std::string_view kSharememPrefix = "\\SHAREMEM\\";
constexpr std::string_view kSem32Prefix = "\\SEM32\\";

struct ObjectName {
  bool named = false;
  std::string text;
};

// Upper-cases the caller's name in place (callers rely on seeing it changed)
// and takes the object name from behind the family's prefix.  A null name, one
// without the prefix, or an empty one after it names no object.  The name
// becomes a file name, so one that could reach outside the object folder, or
// is too long to be a file name, is refused.
bool TranslateName(char* name, Family family, ObjectName& out) {
  out = ObjectName{};
  if (name == nullptr) return true;
  for (char* c = name; *c != '\0'; ++c)
    if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
  const std::string_view full(name);
  std::string_view rest;
  bool found = false;
  auto find = [&](std::string_view prefix) {
    const std::size_t at = full.find(prefix);
    if (at == std::string_view::npos) return false;
    rest = full.substr(at + prefix.size());
    found = true;
    return true;
  };
  if (family == Family::Mutex)
    find(kSem32Prefix);
  else if (!find(kSharememPrefix) && family == Family::Event)
    find(kSem32Prefix);
  if (!found || rest.empty()) return true;
  if (rest.size() > kMaxNameLength) {
    win::SetLastError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (rest == "." || rest == ".." || rest.find('/') != std::string_view::npos) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return false;
  }
  out.named = true;
  out.text.assign(rest);
  return true;
}

// An open of an object needs a name: OpenMutexA and its kin refuse none.
bool TranslateOpenName(char* name, Family family, ObjectName& out) {
  if (!TranslateName(name, family, out)) return false;
  if (!out.named) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return false;
  }
  return true;
}

std::shared_ptr<Object> NewObject(Kind kind, const std::string& name) {
  auto object = std::make_shared<Object>(kind);
  object->name = name;
  return object;
}

int OutOfMemory() {
  win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
  return -1;
}

// ---- Views ------------------------------------------------------------------

struct View {
  std::size_t length;
  std::shared_ptr<NamedFile> file;  // keeps a named mapping held while mapped
};

std::mutex g_views_lock;
std::map<void*, View> g_views;

void LockForFork() {
  g_files_lock.lock();
  g_views_lock.lock();
  KeptLock().lock();
  posix::HandleTableLockForFork();
}

void UnlockAfterFork() {
  posix::HandleTableUnlockAfterFork();
  KeptLock().unlock();
  g_views_lock.unlock();
  g_files_lock.unlock();
}

[[maybe_unused]] const bool g_fork_handlers = pthread_atfork(LockForFork, UnlockAfterFork, UnlockAfterFork) == 0;

// Maps `length` bytes of a mapping (anonymous when `file` is null) and
// records the view.  nullptr with the error set on failure.
void* MapView(const std::shared_ptr<NamedFile>& file, std::size_t length, int mode) {
  const int protection = mode == 1 ? PROT_READ : PROT_READ | PROT_WRITE;
  void* data = file ? mmap(nullptr, length, protection, MAP_SHARED, file->fd,
                           static_cast<off_t>(file->data_offset))
                    : mmap(nullptr, length, protection, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) {
    SetErrorFromErrno(errno);
    return nullptr;
  }
  try {
    std::lock_guard guard(g_views_lock);
    g_views.emplace(data, View{length, file});
  } catch (...) {
    munmap(data, length);
    win::SetLastError(win::ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return data;
}

// Unmaps a view made by MapView; other addresses are left alone.
void UnmapView(void* data) {
  std::map<void*, View>::node_type node;
  {
    std::lock_guard guard(g_views_lock);
    node = g_views.extract(data);
  }
  if (!node.empty()) munmap(data, node.mapped().length);
  // The node, and with it possibly the last hold of the file, goes here.
}

// ---- Waits ------------------------------------------------------------------

timespec DeadlineAfter(clockid_t clock, std::uint32_t ms) {
  timespec at{};
  clock_gettime(clock, &at);
  at.tv_sec += static_cast<time_t>(ms / 1000u);
  at.tv_nsec += static_cast<long>(ms % 1000u) * 1'000'000L;
  if (at.tv_nsec >= 1'000'000'000L) {
    at.tv_sec += 1;
    at.tv_nsec -= 1'000'000'000L;
  }
  return at;
}

int TimedLock(pthread_mutex_t* mutex, std::uint32_t timeout_ms) {
#ifdef QNAPI_TSAN
  // The thread sanitizer has no interceptor for pthread_mutex_clocklock, and
  // its timed-lock one drops the abandoned outcome of a robust mutex, so it
  // would lose track of the owner.  Its builds poll with trylock instead,
  // which it models fully.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const int result = pthread_mutex_trylock(mutex);
    if (result != EBUSY) return result;
    if (std::chrono::steady_clock::now() >= deadline) return ETIMEDOUT;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
#else
  // A monotonic deadline, so a change of the wall clock neither cuts nor
  // stretches the wait.
  const timespec deadline = DeadlineAfter(CLOCK_MONOTONIC, timeout_ms);
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
#endif
}

struct EventRef {
  std::uint32_t* word;
  bool shared;  // in an object file: the futex must work across processes

  std::atomic_ref<std::uint32_t> state() const { return std::atomic_ref<std::uint32_t>(*word); }
  int op(int base) const { return shared ? base : base | FUTEX_PRIVATE_FLAG; }
};

std::shared_ptr<Object> EventObject(Handle event, EventRef& ref) {
  auto object = posix::HandleGet(event, Kind::Event);
  if (object) ref = EventRef{static_cast<std::uint32_t*>(object->state.get()), object->extra != 0};
  return object;
}

}  // namespace

// ---- Mappings -----------------------------------------------------------------

int ShmCreate(void** view, char* name, std::uint32_t size, int mode, Handle* mapping) {
  try {
    if (view == nullptr || mapping == nullptr) {
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
      return -1;
    }
    ObjectName translated;
    if (!TranslateName(name, Family::Mapping, translated)) return -1;
    if (size == 0) {  // a mapping backed by memory needs a size
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
      return -1;
    }
    std::shared_ptr<NamedFile> file;
    if (translated.named) {
      file = AcquireFile(translated.text, FileRequest{Kind::Mapping, true, size});
      if (!file) return -1;
    }
    void* data = MapView(file, size, mode);
    if (data == nullptr) return -1;
    Handle handle;
    try {
      auto object = NewObject(Kind::Mapping, translated.text);
      object->state = file;
      object->size = size;
      handle = posix::HandleAdd(object);
    } catch (...) {
      UnmapView(data);
      throw;
    }
    *view = data;
    *mapping = handle;
    return 0;
  } catch (...) {
    return OutOfMemory();
  }
}

int ShmOpen(void** view, char* name, int mode, Handle* mapping) {
  try {
    if (view == nullptr || mapping == nullptr) {
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
      return -1;
    }
    ObjectName translated;
    if (!TranslateOpenName(name, Family::Mapping, translated)) return -1;
    auto file = AcquireFile(translated.text, FileRequest{Kind::Mapping, false});
    if (!file) return -1;
    const auto length = static_cast<std::size_t>(file->size);
    void* data = MapView(file, length, mode);
    if (data == nullptr) return -1;
    Handle handle;
    try {
      auto object = NewObject(Kind::Mapping, translated.text);
      object->state = file;
      object->size = file->size;
      handle = posix::HandleAdd(object);
    } catch (...) {
      UnmapView(data);
      throw;
    }
    *view = data;
    *mapping = handle;
    return 0;
  } catch (...) {
    return OutOfMemory();
  }
}

int ShmClose(void* view, Handle mapping) {
  UnmapView(view);
  return HndClose(mapping);
}

std::uint64_t ShmSize(Handle mapping) {
  const auto object = posix::HandleGet(mapping, Kind::Mapping);
  return object ? object->size : 0;
}

int ShmHeldElsewhere(Handle mapping) {
  const auto object = posix::HandleGet(mapping, Kind::Mapping);
  const auto* file = object ? static_cast<const NamedFile*>(object->state.get()) : nullptr;
  return file != nullptr && file->fd >= 0 ? OtherHolders(file->fd) : -1;
}

// ---- Mutexes -------------------------------------------------------------------

namespace {

struct LocalMutex {
  pthread_mutex_t mutex;
};

void DropLocalMutex(LocalMutex* local) {
  if (OwnedHere(&local->mutex)) {
    KeepForever(local);
    return;
  }
  pthread_mutex_destroy(&local->mutex);
  delete local;
}

}  // namespace

int MtxCreate(char* name, Handle* mutex, int initial_owner) {
  try {
    if (mutex == nullptr) {
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
      return -1;
    }
    ObjectName translated;
    if (!TranslateName(name, Family::Mutex, translated)) return -1;
    // Made first, so that nothing can fail between taking an initial
    // ownership and handing the object out, except the table's own growth.
    auto object = NewObject(Kind::Mutex, translated.text);
    pthread_mutex_t* raw = nullptr;
    if (translated.named) {
      auto file = AcquireFile(translated.text, FileRequest{Kind::Mutex, true, 0, initial_owner != 0});
      if (!file) return -1;
      raw = &file->header->mutex;
      object->state = std::shared_ptr<void>(file, raw);
    } else {
      auto local = std::make_unique<LocalMutex>();
      if (!InitMutex(&local->mutex, false)) return OutOfMemory();
      raw = &local->mutex;
      object->state = std::shared_ptr<LocalMutex>(local.release(), DropLocalMutex);
      if (initial_owner != 0 && pthread_mutex_trylock(raw) != 0) return OutOfMemory();
    }
    try {
      *mutex = posix::HandleAdd(object);
    } catch (...) {
      if (initial_owner != 0) pthread_mutex_unlock(raw);
      throw;
    }
    return 0;
  } catch (...) {
    return OutOfMemory();
  }
}

namespace {

// The steps every open of a named mutex or event shares; `bind` points the
// new object at its state inside the file's header.
template <typename Bind>
int OpenNamed(char* name, Family family, Kind kind, Handle* out, Bind bind) {
  try {
    if (out == nullptr) {
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
      return -1;
    }
    ObjectName translated;
    if (!TranslateOpenName(name, family, translated)) return -1;
    auto file = AcquireFile(translated.text, FileRequest{kind, false});
    if (!file) return -1;
    auto object = NewObject(kind, translated.text);
    bind(*object, file);
    *out = posix::HandleAdd(object);
    return 0;
  } catch (...) {
    return OutOfMemory();
  }
}

}  // namespace

int MtxOpen(char* name, Handle* mutex) {
  return OpenNamed(name, Family::Mutex, Kind::Mutex, mutex,
                   [](Object& object, const std::shared_ptr<NamedFile>& file) {
                     object.state = std::shared_ptr<void>(file, &file->header->mutex);
                   });
}

namespace {

// What a wait found when its try did not take the mutex at once.
[[gnu::noinline]] int WaitOutcome(pthread_mutex_t* raw, int result, std::uint32_t timeout_ms) {
  if (result == EBUSY && timeout_ms != 0)
    result = timeout_ms == kInfinite ? pthread_mutex_lock(raw) : TimedLock(raw, timeout_ms);
  switch (result) {
    case 0:
      return kWaitOk;
    case EOWNERDEAD:
      // The owner ended while holding it: the mutex is ours now, and marked
      // usable again so later waits succeed normally.
      pthread_mutex_consistent(raw);
      return kWaitAbandoned;
    case EBUSY:
    case ETIMEDOUT:
      return kWaitTimeout;
    default:
      posix::SetErrorFromErrno(result);
      return kWaitFailed;
  }
}

// The wait of MtxWait on the mutex itself.  A try comes first: an uncontended
// wait then costs one atomic operation, where the timed lock would read the
// clock and set up a deadline before trying.
int WaitRaw(pthread_mutex_t* raw, std::uint32_t timeout_ms) {
  const int result = pthread_mutex_trylock(raw);
  return result == 0 ? kWaitOk : WaitOutcome(raw, result, timeout_ms);
}

// pthread's own release: 0, or its error when this thread is not the owner.
int UnlockRaw(pthread_mutex_t* raw) {
#ifdef QNAPI_TSAN
  // pthread refuses a release by a non-owner (EPERM), but the thread
  // sanitizer reports the attempt as misuse before pthread sees it; its
  // builds refuse it here first.
  const auto word = static_cast<unsigned>(__atomic_load_n(&raw->__data.__lock, __ATOMIC_ACQUIRE));
  if ((word & FUTEX_TID_MASK) != static_cast<unsigned>(gettid())) return EPERM;
#endif
  return pthread_mutex_unlock(raw);
}

int ReleaseRaw(pthread_mutex_t* raw) {
  if (UnlockRaw(raw) != 0) {
    win::SetLastError(kErrorNotOwner);
    return -1;
  }
  return 0;
}

}  // namespace

int MtxWait(Handle mutex, std::uint32_t timeout_ms) {
  const auto object = posix::HandleGet(mutex, Kind::Mutex);
  if (!object) return kWaitFailed;
  return WaitRaw(static_cast<pthread_mutex_t*>(object->state.get()), timeout_ms);
}

int MtxRelease(Handle mutex) {
  const auto object = posix::HandleGet(mutex, Kind::Mutex);
  if (!object) return -1;
  return ReleaseRaw(static_cast<pthread_mutex_t*>(object->state.get()));
}

// The handle's slot keeps the object, and with it the mutex's memory, for as
// long as the handle is open.
MutexPin MtxPin(Handle mutex) {
  const auto object = posix::HandleGet(mutex, Kind::Mutex);
  return object ? object->state.get() : nullptr;
}

// The try and the release are pthread's calls as they are, so that each
// compiles to a jump.
int MtxPinTry(MutexPin mutex) { return pthread_mutex_trylock(static_cast<pthread_mutex_t*>(mutex)); }

int MtxPinWaitAfter(MutexPin mutex, int tried, std::uint32_t timeout_ms) {
  return WaitOutcome(static_cast<pthread_mutex_t*>(mutex), tried, timeout_ms);
}

int MtxPinRelease(MutexPin mutex) { return UnlockRaw(static_cast<pthread_mutex_t*>(mutex)); }

// A hold is the handle's Object itself, kept alive by the shared pointer.
HeldObject MtxHold(Handle mutex) { return posix::HandleGet(mutex, Kind::Mutex); }

namespace {

// The mutex of a held object whose handle is still open, or nullptr (6).
pthread_mutex_t* HeldMutex(void* held) {
  const auto* object = static_cast<const Object*>(held);
  if (object->closed.load(std::memory_order_acquire)) {
    win::SetLastError(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<pthread_mutex_t*>(object->state.get());
}

}  // namespace

int MtxHeldWait(void* mutex, std::uint32_t timeout_ms) {
  pthread_mutex_t* const raw = HeldMutex(mutex);
  return raw != nullptr ? WaitRaw(raw, timeout_ms) : kWaitFailed;
}

int MtxHeldRelease(void* mutex) {
  pthread_mutex_t* const raw = HeldMutex(mutex);
  return raw != nullptr ? ReleaseRaw(raw) : -1;
}

// ---- Events --------------------------------------------------------------------

int EvCreate(char* name, Handle* event, int initial_state) {
  try {
    if (event == nullptr) {
      win::SetLastError(win::ERROR_INVALID_PARAMETER);
      return -1;
    }
    ObjectName translated;
    if (!TranslateName(name, Family::Event, translated)) return -1;
    auto object = NewObject(Kind::Event, translated.text);
    if (translated.named) {
      auto file = AcquireFile(translated.text, FileRequest{Kind::Event, true, 0, initial_state != 0});
      if (!file) return -1;
      object->state = std::shared_ptr<void>(file, &file->header->event);
      object->extra = 1;  // shared futex
    } else {
      object->state = std::make_shared<std::uint32_t>(initial_state != 0 ? 1u : 0u);
    }
    *event = posix::HandleAdd(object);
    return 0;
  } catch (...) {
    return OutOfMemory();
  }
}

int EvOpen(char* name, Handle* event) {
  return OpenNamed(name, Family::Event, Kind::Event, event,
                   [](Object& object, const std::shared_ptr<NamedFile>& file) {
                     object.state = std::shared_ptr<void>(file, &file->header->event);
                     object.extra = 1;  // shared futex
                   });
}

int EvSet(Handle event) {
  EventRef ref{};
  const auto object = EventObject(event, ref);
  if (!object) return -1;
  ref.state().store(1, std::memory_order_release);
  syscall(SYS_futex, ref.word, ref.op(FUTEX_WAKE), INT_MAX, nullptr, nullptr, 0);
  return 0;
}

int EvReset(Handle event, std::uint32_t* out) {
  EventRef ref{};
  const auto object = EventObject(event, ref);
  if (!object) return -1;
  if (out != nullptr) *out = 0;
  ref.state().store(0, std::memory_order_release);
  return 0;
}

int EvWait(Handle event, std::uint32_t timeout_ms) {
  EventRef ref{};
  const auto object = EventObject(event, ref);
  if (!object) return kWaitFailed;
  if (ref.state().load(std::memory_order_acquire) != 0) return kWaitOk;
  if (timeout_ms == 0) return kWaitTimeout;
  const bool forever = timeout_ms == kInfinite;
  // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so waking
  // early and waiting again never stretches the time-out.
  const timespec deadline = forever ? timespec{} : DeadlineAfter(CLOCK_MONOTONIC, timeout_ms);
  for (;;) {
    const long rc = syscall(SYS_futex, ref.word, ref.op(FUTEX_WAIT_BITSET), 0u,
                            forever ? nullptr : &deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    const int error = rc == 0 ? 0 : errno;
    if (ref.state().load(std::memory_order_acquire) != 0) return kWaitOk;
    if (error == ETIMEDOUT) return kWaitTimeout;
    if (error != 0 && error != EAGAIN && error != EINTR) {
      posix::SetErrorFromErrno(error);
      return kWaitFailed;
    }
  }
}

// ---- Any handle -----------------------------------------------------------------

int HndClose(Handle handle) {
  // Each kind frees what it holds when its last user lets go (the Object's
  // destructor and its state); a view keeps its mapping alive on its own.
  return posix::HandleRemove(handle) ? 0 : -1;
}

std::size_t PlatformOpenHandles() { return posix::HandleCount(); }
