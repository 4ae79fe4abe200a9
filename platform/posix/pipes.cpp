// pipes.cpp - Win32 named pipes over Unix stream sockets.
//
// Names.  A pipe is a socket file in a pipe folder of the platform root:
//   \\.\pipe\NAME     -> <root>/pipe/<name>
//   \\HOST\pipe\NAME  -> <root>/host/<host>/pipe/<name>
// with host and name in lower case, since Win32 pipe names are
// case-insensitive.  HOST "." or this machine's own name (its full name or
// its first label, any case) is the local folder.  '/' in a name is taken as
// '\', as Win32 does, so a name never leaves its folder.  Errors:
//   87  no name at all;
//   3   not a pipe path: no leading "\\", no host, no "pipe" component, an
//       empty name, "." or ".." (as Win32 says for a device or share that is
//       not there);
//   53  a host whose pipe folder does not exist;
//   2   no such pipe: no socket file, or nobody listening on it;
//   231 the pipe's listen queue is full, or (NpipeListen) a live server
//       already owns the name;
//   206 the socket path does not fit even through /proc (see below).
//
// Listeners.  Any program listening on a Unix stream socket at the path
// serves the pipe: a client needs nothing else.  Whether a socket file has a
// live listener is asked of the kernel (socket diagnostics, by the file's
// inode), never by connecting, since a probing connection would reach the
// server as a client.  A socket file nobody listens on is a dead server's
// leftover: no pipe (2).
//
// Owners.  A server made with NpipeListen also takes an owner lock: beside
// each pipe folder, a folder "pipelock" holds one lock file per pipe name,
// and the listener holds an open-file-description write lock on it for as
// long as it lives (the kernel drops it when the process dies).  It keeps
// two of our servers from taking the same name at once, and tells a dead
// one's socket file apart where the kernel gives no diagnostics.  Clients
// never demand it.
//
// Long paths.  A socket path longer than sun_path is reached through
// /proc/self/fd/<folder descriptor>/<name>.  A path that does not fit even so
// fails with 206; it is never cut off, since a cut-off path may name some
// other socket.
//
// Semantics kept from Win32 pipes: a read returns at least one byte or fails
// (109 once the peer has closed); a write to a closed peer fails with 232 and
// never raises SIGPIPE; a write is one send, so a short write shows as such.
//
// No locks of our own: the handle table (handles.h) keeps each object alive
// while a call works on it.
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/posix/handles.h"
#include "platform/posix/root.h"

namespace {

using win::DWORD;
using Clock = std::chrono::steady_clock;

// Connections a listener queues before its server accepts them; one more
// connect gets 231, like a pipe whose instances are all busy.
constexpr int kListenBacklog = 64;
// WaitNamedPipeA's time-out 0 (NMPWAIT_USE_DEFAULT_WAIT).
constexpr DWORD kDefaultPipeWaitMs = 50;
constexpr std::chrono::milliseconds kBusyPoll{10};

// An owned descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(other.release()) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = other.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

void SetError(DWORD error) { win::SetLastError(error); }

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

// Where a pipe name leads.
struct PipePath {
  std::string folder;  // the pipe folder
  std::string file;    // the socket file in it
  bool local = true;   // the local folder (a missing folder is then no pipe, not no host)
};

bool IsOwnHost(const std::string& host) {
  char buffer[HOST_NAME_MAX + 1] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0) return false;
  const std::string own = Lowered(buffer);
  if (host == own) return true;
  const auto dot = own.find('.');
  return dot != std::string::npos && host == own.substr(0, dot);
}

// Splits a Win32 pipe name; false with the error set when it names no pipe
// (see the top of the file for the numbers).
bool ParsePipeName(const char* text, PipePath& out) {
  if (text == nullptr) {
    SetError(win::ERROR_INVALID_PARAMETER);
    return false;
  }
  std::string_view rest(text);
  if (rest.size() < 2 || rest[0] != '\\' || rest[1] != '\\') {
    SetError(win::ERROR_PATH_NOT_FOUND);
    return false;
  }
  rest.remove_prefix(2);
  const auto host_end = rest.find('\\');
  if (host_end == std::string_view::npos || host_end == 0) {
    SetError(win::ERROR_PATH_NOT_FOUND);
    return false;
  }
  const std::string host = Lowered(rest.substr(0, host_end));
  rest.remove_prefix(host_end + 1);
  const auto kind_end = rest.find('\\');
  if (kind_end == std::string_view::npos || Lowered(rest.substr(0, kind_end)) != "pipe") {
    SetError(win::ERROR_PATH_NOT_FOUND);
    return false;
  }
  std::string file = Lowered(rest.substr(kind_end + 1));
  for (char& c : file) {
    if (c == '/') c = '\\';
  }
  if (file.empty() || file == "." || file == "..") {
    SetError(win::ERROR_PATH_NOT_FOUND);
    return false;
  }
  if (file.size() > NAME_MAX) {
    SetError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  if (host == "." || IsOwnHost(host)) {
    out.folder = posix::Root() + "/pipe";
    out.local = true;
  } else {
    // A host that cannot be a folder name cannot have a pipe folder either.
    if (host == ".." || host.find('/') != std::string::npos) {
      SetError(win::ERROR_BAD_NETPATH);
      return false;
    }
    out.folder = posix::Root() + "/host/" + host + "/pipe";
    out.local = false;
  }
  out.file = std::move(file);
  return true;
}

std::string LockFolder(const PipePath& path) { return path.folder + "lock"; }

// Opens a folder for the *at() calls; errors as open(2) gives them.
Fd OpenFolder(const std::string& folder) {
  return Fd(open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

// Opens the pipe folder a client looks in: a missing local folder means no
// such pipe (2), a missing host folder an unknown host (53).
Fd OpenPipeFolder(const PipePath& path) {
  Fd folder = OpenFolder(path.folder);
  if (!folder.valid()) {
    if (errno == ENOENT || errno == ENOTDIR)
      SetError(path.local ? win::ERROR_FILE_NOT_FOUND : win::ERROR_BAD_NETPATH);
    else
      posix::SetErrorFromErrno(errno);
  }
  return folder;
}

// Fills `address` with a path that reaches the socket file: the plain path
// when it fits, else the file through the folder's descriptor.
bool SocketAddress(const PipePath& path, int folder, sockaddr_un& address, socklen_t& length) {
  std::string name = path.folder + "/" + path.file;
  if (name.size() >= sizeof address.sun_path)
    name = "/proc/self/fd/" + std::to_string(folder) + "/" + path.file;
  if (name.size() >= sizeof address.sun_path) {
    SetError(win::ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  address = {};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, name.data(), name.size());
  length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size() + 1);
  return true;
}

// Whether `name` in `folder` is the file open as `fd`.
bool SameFile(int folder, const std::string& name, int fd) {
  struct stat named {}, own {};
  return fstatat(folder, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && fstat(fd, &own) == 0 &&
         named.st_dev == own.st_dev && named.st_ino == own.st_ino;
}

// The files of a listener: its owner lock, held while it lives, and its
// socket file.  Both are removed when it goes (a server that opens and
// closes pipe names all day must not leave a file per name), unless
// someone has put another file at the name meanwhile.
struct ListenerFiles {
  Fd folder;  // the pipe folder
  Fd locks;   // the lock folder
  Fd lock;    // the lock file, write-locked once `owner`
  std::string file;
  bool owner = false;
  bool bound = false;
  dev_t device = 0;
  ino_t inode = 0;

  ListenerFiles() = default;
  ListenerFiles(const ListenerFiles&) = delete;
  ListenerFiles& operator=(const ListenerFiles&) = delete;
  ~ListenerFiles() {
    // Unlinked before the lock goes, so a new owner's files are never ours
    // to remove; the inode checks guard against anyone else's.
    struct stat st {};
    if (bound && fstatat(folder.get(), file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == device && st.st_ino == inode)
      unlinkat(folder.get(), file.c_str(), 0);
    if (owner && SameFile(locks.get(), file, lock.get())) unlinkat(locks.get(), file.c_str(), 0);
  }
};

struct flock WholeFileLock() {
  struct flock lock {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  return lock;  // start 0, length 0: the whole file; l_pid 0 as OFD locks want
}

// What the kernel's socket diagnostics say of the socket file (device,
// inode): whether a socket listens on it, and whether its queue is full.
// nullopt when the kernel does not tell.
struct KernelListener {
  bool listening = false;
  bool full = false;
};
std::optional<KernelListener> AskKernel(dev_t device, ino_t inode) {
  const Fd netlink(::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
  if (!netlink.valid()) return std::nullopt;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = AF_UNIX;
  message.request.udiag_states = 1u << 10;  // TCP_LISTEN: listening sockets only
  message.request.udiag_show = UDIAG_SHOW_VFS | UDIAG_SHOW_RQLEN;
  if (::send(netlink.get(), &message, sizeof message, MSG_NOSIGNAL) < 0) return std::nullopt;
  // The kernel numbers devices as major << 20 | minor.
  const std::uint32_t kernel_device = (major(device) << 20) | minor(device);
  std::vector<char> buffer(32768);
  KernelListener answer;
  for (;;) {
    const ssize_t got = ::recv(netlink.get(), buffer.data(), buffer.size(), 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return std::nullopt;
    auto left = static_cast<unsigned>(got);
    for (auto* header = reinterpret_cast<nlmsghdr*>(buffer.data()); NLMSG_OK(header, left);
         header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return answer;
      if (header->nlmsg_type == NLMSG_ERROR) return std::nullopt;
      if (header->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) continue;
      const auto* entry = static_cast<const unix_diag_msg*>(NLMSG_DATA(header));
      auto attributes_left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *entry));
      bool ours = false;
      bool full = false;
      for (auto* attribute = reinterpret_cast<rtattr*>(const_cast<unix_diag_msg*>(entry) + 1);
           RTA_OK(attribute, attributes_left);
           attribute = RTA_NEXT(attribute, attributes_left)) {
        if (attribute->rta_type == UNIX_DIAG_VFS &&
            RTA_PAYLOAD(attribute) >= sizeof(unix_diag_vfs)) {
          unix_diag_vfs vfs{};
          std::memcpy(&vfs, RTA_DATA(attribute), sizeof vfs);
          ours = vfs.udiag_vfs_ino == inode && vfs.udiag_vfs_dev == kernel_device;
        } else if (attribute->rta_type == UNIX_DIAG_RQLEN &&
                   RTA_PAYLOAD(attribute) >= sizeof(unix_diag_rqlen)) {
          unix_diag_rqlen queue{};
          std::memcpy(&queue, RTA_DATA(attribute), sizeof queue);
          // For a listener: waiting connections and the backlog; a connect
          // fails once the waiting ones exceed the backlog.
          full = queue.udiag_rqueue > queue.udiag_wqueue;
        }
      }
      if (ours) answer = {true, full};
    }
  }
}

// The owner lock of a pipe name: true when its lock file exists and nobody
// holds it, i.e. one of our servers had the name and is gone.  Tests the
// lock without taking it, so a server starting at the same moment never
// sees it as taken.
bool OwnerGone(const PipePath& path) {
  const Fd locks = OpenFolder(LockFolder(path));
  if (!locks.valid()) return false;
  const Fd lock(openat(locks.get(), path.file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!lock.valid()) return false;
  struct flock probe = WholeFileLock();
  if (fcntl(lock.get(), F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type == F_UNLCK;
}

enum class Listener { None, Free, Busy };

// Whether a live listener is at the pipe's socket file, and whether its
// queue is full.  Where the kernel does not tell, a socket file counts as
// served unless our own owner lock shows its server gone; the connect then
// tells a stale file by its refusal.
Listener FindListener(const PipePath& path, int folder) {
  struct stat st {};
  if (fstatat(folder, path.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISSOCK(st.st_mode))
    return Listener::None;
  const std::optional<KernelListener> kernel = AskKernel(st.st_dev, st.st_ino);
  if (!kernel) return OwnerGone(path) ? Listener::None : Listener::Free;
  if (!kernel->listening) return Listener::None;
  return kernel->full ? Listener::Busy : Listener::Free;
}

std::shared_ptr<posix::Object> NewPipeObject(int fd, const char* name) {
  auto object = std::make_shared<posix::Object>(posix::Kind::Pipe);
  object->fd = fd;
  object->name = name;
  return object;
}

// Connects to the pipe's socket without ever blocking: a full listen queue is
// 231 at once, as for a pipe whose instances are all busy.
Fd ConnectPipe(const PipePath& path, int folder) {
  sockaddr_un address{};
  socklen_t length = 0;
  if (!SocketAddress(path, folder, address, length)) return Fd();
  Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock.valid()) {
    posix::SetErrorFromErrno(errno);
    return Fd();
  }
  if (::connect(sock.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    switch (errno) {
      case ENOENT:
      case ECONNREFUSED:  // a socket file nobody listens on
      case ENOTSOCK:
        SetError(win::ERROR_FILE_NOT_FOUND);
        break;
      case EAGAIN: SetError(win::ERROR_PIPE_BUSY); break;
      default: posix::SetErrorFromErrno(errno); break;
    }
    return Fd();
  }
  const int flags = fcntl(sock.get(), F_GETFL);
  if (flags < 0 || fcntl(sock.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    posix::SetErrorFromErrno(errno);
    return Fd();
  }
  return sock;
}

// Milliseconds left until `deadline` for poll(2): -1 without a deadline.
int PollTimeout(const std::optional<Clock::time_point>& deadline) {
  if (!deadline) return -1;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
  if (left.count() <= 0) return 0;
  return left.count() > INT_MAX ? INT_MAX : static_cast<int>(left.count());
}

std::optional<Clock::time_point> DeadlineAfter(DWORD timeout_ms) {
  if (timeout_ms == kInfinite) return std::nullopt;
  return Clock::now() + std::chrono::milliseconds(timeout_ms);
}

// Error of a failed recv: a reset peer is a broken pipe as much as a closed one.
void SetReadError(int error) {
  if (error == ECONNRESET || error == EPIPE)
    SetError(win::ERROR_BROKEN_PIPE);
  else
    posix::SetErrorFromErrno(error);
}

}  // namespace

// ---- Server side ------------------------------------------------------------

Handle NpipeListen(const char* pipe_name) {
  PipePath path;
  if (!ParsePipeName(pipe_name, path)) return kInvalidHandle;
  if (!posix::MakeDirs(path.folder) || !posix::MakeDirs(LockFolder(path))) return kInvalidHandle;

  auto files = std::make_shared<ListenerFiles>();
  files->file = path.file;
  files->folder = OpenFolder(path.folder);
  files->locks = OpenFolder(LockFolder(path));
  if (!files->folder.valid() || !files->locks.valid()) {
    posix::SetErrorFromErrno(errno);
    return kInvalidHandle;
  }
  // An owner that closes removes the lock file it held: a lock taken on a
  // file no longer at the name owns nothing, and the name is opened again.
  constexpr int kLockTries = 8;
  for (int tries = 1; !files->owner; ++tries) {
    files->lock = Fd(openat(files->locks.get(), path.file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!files->lock.valid()) {
      posix::SetErrorFromErrno(errno);
      return kInvalidHandle;
    }
    struct flock lock = WholeFileLock();
    if (fcntl(files->lock.get(), F_OFD_SETLK, &lock) != 0) {
      if (errno == EAGAIN || errno == EACCES)
        SetError(win::ERROR_PIPE_BUSY);  // a live server owns the name
      else
        posix::SetErrorFromErrno(errno);
      return kInvalidHandle;
    }
    files->owner = SameFile(files->locks.get(), path.file, files->lock.get());
    if (!files->owner && tries == kLockTries) {
      SetError(win::ERROR_PIPE_BUSY);  // owners come and go faster than we look
      return kInvalidHandle;
    }
  }

  // Holding the lock, whatever is at the name is a dead server's leftover,
  // unless a server that takes no owner lock listens there.
  struct stat st {};
  if (fstatat(files->folder.get(), path.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      SetError(win::ERROR_ACCESS_DENIED);  // not ours to remove
      return kInvalidHandle;
    }
    const std::optional<KernelListener> kernel = AskKernel(st.st_dev, st.st_ino);
    if (kernel && kernel->listening) {
      SetError(win::ERROR_PIPE_BUSY);
      return kInvalidHandle;
    }
    if (unlinkat(files->folder.get(), path.file.c_str(), 0) != 0 && errno != ENOENT) {
      posix::SetErrorFromErrno(errno);
      return kInvalidHandle;
    }
  }

  // Bind under a private name and listen before the socket takes the pipe's
  // name: a client that finds the name can connect at once, never in the gap
  // between bind and listen.
  PipePath staging = path;
  staging.file = ".bind-" + std::to_string(getpid()) + "-" + path.file;
  unlinkat(files->folder.get(), staging.file.c_str(), 0);
  sockaddr_un address{};
  socklen_t length = 0;
  if (!SocketAddress(staging, files->folder.get(), address, length)) return kInvalidHandle;
  Fd sock(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!sock.valid() || bind(sock.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) {
    posix::SetErrorFromErrno(errno);
    return kInvalidHandle;
  }
  if (listen(sock.get(), kListenBacklog) != 0 ||
      renameat(files->folder.get(), staging.file.c_str(), files->folder.get(), path.file.c_str()) != 0) {
    posix::SetErrorFromErrno(errno);
    unlinkat(files->folder.get(), staging.file.c_str(), 0);
    return kInvalidHandle;
  }
  if (fstatat(files->folder.get(), path.file.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    files->bound = true;
    files->device = st.st_dev;
    files->inode = st.st_ino;
  }

  auto object = std::make_shared<posix::Object>(posix::Kind::Listener);
  object->fd = sock.release();
  object->name = pipe_name;
  object->state = std::move(files);
  return posix::HandleAdd(std::move(object));
}

Handle NpipeAccept(Handle listener, std::uint32_t timeout_ms) {
  const auto object = posix::HandleGet(listener, posix::Kind::Listener);
  if (!object) return kInvalidHandle;
  const auto deadline = DeadlineAfter(timeout_ms);
  for (;;) {
    pollfd ready{object->fd, POLLIN, 0};
    const int polled = poll(&ready, 1, PollTimeout(deadline));
    if (polled < 0 && errno != EINTR) {
      posix::SetErrorFromErrno(errno);
      return kInvalidHandle;
    }
    if (polled > 0) {
      const int fd = accept4(object->fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) return posix::HandleAdd(NewPipeObject(fd, object->name.c_str()));
      // Another thread may have taken the client, or it left again: wait on.
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        posix::SetErrorFromErrno(errno);
        return kInvalidHandle;
      }
    }
    if (deadline && Clock::now() >= *deadline) {
      SetError(win::WAIT_TIMEOUT);
      return kInvalidHandle;
    }
  }
}

int NpipeDisconnect(Handle pipe) {
  const auto object = posix::HandleGet(pipe, posix::Kind::Pipe);
  if (!object) return -1;
  // Both directions: a reader blocked on this end wakes with 109, and the
  // peer sees the pipe closed.
  if (::shutdown(object->fd, SHUT_RDWR) != 0 && errno != ENOTCONN) {
    posix::SetErrorFromErrno(errno);
    return -1;
  }
  return 0;
}

// ---- Raw reads and writes ---------------------------------------------------

namespace {

// A buffer may be null only when nothing is asked of it.
bool BufferUsable(const void* buffer, DWORD count) {
  if (buffer != nullptr || count == 0) return true;
  SetError(win::ERROR_INVALID_PARAMETER);
  return false;
}

// The read and the write of ReadFile and WriteFile on the pipe's object.
win::BOOL ReadPipe(const posix::Object& pipe, void* buffer, DWORD count, DWORD* read) {
  if (!BufferUsable(buffer, count)) return 0;
  if (count == 0) return 1;
  ssize_t got;
  do {
    got = ::recv(pipe.fd, buffer, count, 0);
  } while (got < 0 && errno == EINTR);
  if (got == 0) {
    SetError(win::ERROR_BROKEN_PIPE);  // never a read that "succeeds" with nothing
    return 0;
  }
  if (got < 0) {
    SetReadError(errno);
    return 0;
  }
  if (read != nullptr) *read = static_cast<DWORD>(got);
  return 1;
}

win::BOOL WritePipe(const posix::Object& pipe, const void* buffer, DWORD count, DWORD* written) {
  if (!BufferUsable(buffer, count)) return 0;
  if (count == 0) return 1;
  // One send: callers compare the count written with the count asked, so a
  // write cut short (by a signal) must show, not be completed in a loop.
  ssize_t sent;
  do {
    sent = ::send(pipe.fd, buffer, count, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    if (errno == EPIPE || errno == ECONNRESET)
      SetError(win::ERROR_NO_DATA);
    else
      posix::SetErrorFromErrno(errno);
    return 0;
  }
  if (written != nullptr) *written = static_cast<DWORD>(sent);
  return 1;
}

// The pipe of a held object whose handle is still open, or nullptr (6).
const posix::Object* HeldPipe(void* held) {
  const auto* object = static_cast<const posix::Object*>(held);
  if (object->closed.load(std::memory_order_acquire)) {
    SetError(win::ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return object;
}

}  // namespace

HeldObject PipeHold(Handle pipe) { return posix::HandleGet(pipe, posix::Kind::Pipe); }

int PipeHeldRead(void* pipe, void* buffer, std::uint32_t count, std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  const posix::Object* const object = HeldPipe(pipe);
  return object != nullptr && ReadPipe(*object, buffer, count, read) ? 0 : -1;
}

int PipeHeldWrite(void* pipe, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  const posix::Object* const object = HeldPipe(pipe);
  return object != nullptr && WritePipe(*object, buffer, count, written) ? 0 : -1;
}

int PipeWriteNow(Handle pipe, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  *written = 0;
  const auto object = posix::HandleGet(pipe, posix::Kind::Pipe);
  if (!object) return -1;
  ssize_t sent;
  do {
    sent = ::send(object->fd, buffer, count, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (sent < 0 && errno == EINTR);
  if (sent >= 0) {
    *written = static_cast<std::uint32_t>(sent);
    return 0;
  }
  if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
  if (errno == EPIPE || errno == ECONNRESET)
    SetError(win::ERROR_NO_DATA);
  else
    posix::SetErrorFromErrno(errno);
  return -1;
}

// ---- Win32 stand-ins --------------------------------------------------------

namespace win {

Handle CreateFileA(const char* name, DWORD, DWORD, void*, DWORD, DWORD, Handle) {
  PipePath path;
  if (!ParsePipeName(name, path)) return kInvalidHandle;
  const Fd folder = OpenPipeFolder(path);
  if (!folder.valid()) return kInvalidHandle;
  Fd sock = ConnectPipe(path, folder.get());
  if (!sock.valid()) return kInvalidHandle;
  return posix::HandleAdd(NewPipeObject(sock.release(), name));
}

BOOL WaitNamedPipeA(const char* name, DWORD timeout_ms) {
  PipePath path;
  if (!ParsePipeName(name, path)) return 0;
  const Fd folder = OpenPipeFolder(path);
  if (!folder.valid()) return 0;
  // 0 is the pipe's default wait; 0xFFFFFFFF (NMPWAIT_WAIT_FOREVER) none.
  const auto deadline = DeadlineAfter(timeout_ms == 0 ? kDefaultPipeWaitMs : timeout_ms);
  for (;;) {
    // As on Win32, a pipe that does not exist is reported at once; only a
    // busy one is waited for.
    const Listener listener = FindListener(path, folder.get());
    if (listener == Listener::None) {
      SetError(ERROR_FILE_NOT_FOUND);
      return 0;
    }
    if (listener == Listener::Free) return 1;
    const auto now = Clock::now();
    if (deadline && now >= *deadline) {
      SetError(ERROR_SEM_TIMEOUT);
      return 0;
    }
    std::this_thread::sleep_for(
        deadline ? std::min<Clock::duration>(kBusyPoll, *deadline - now) : kBusyPoll);
  }
}

BOOL PeekNamedPipe(Handle pipe, void* buffer, DWORD size, DWORD* read, DWORD* available,
                   DWORD* left_this_message) {
  if (read != nullptr) *read = 0;
  if (available != nullptr) *available = 0;
  if (left_this_message != nullptr) *left_this_message = 0;  // byte mode: no messages
  const auto object = posix::HandleGet(pipe, posix::Kind::Pipe);
  if (!object) return 0;
  if (buffer == nullptr && size != 0) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  // Peek at least one byte, so that a closed peer shows even when the caller
  // wants only the count.
  char one = 0;
  void* into = size != 0 ? buffer : &one;
  const std::size_t want = size != 0 ? size : 1;
  ssize_t got;
  do {
    got = ::recv(object->fd, into, want, MSG_PEEK | MSG_DONTWAIT);
  } while (got < 0 && errno == EINTR);
  if (got == 0) {
    // Nothing left and the peer gone: a caller polling for data would
    // otherwise wait for ever.
    SetError(ERROR_BROKEN_PIPE);
    return 0;
  }
  if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
    SetReadError(errno);
    return 0;
  }
  const auto peeked = static_cast<DWORD>(got < 0 ? 0 : got);
  if (read != nullptr && size != 0) *read = peeked;
  if (available != nullptr) {
    int queued = 0;
    *available = ioctl(object->fd, FIONREAD, &queued) == 0 && queued > 0
                     ? static_cast<DWORD>(queued)
                     : peeked;
    if (*available < peeked) *available = peeked;
  }
  return 1;
}

BOOL ReadFile(Handle file, void* buffer, DWORD count, DWORD* read, void* overlapped) {
  if (read != nullptr) *read = 0;
  const auto object = posix::HandleGet(file, posix::Kind::Pipe);
  if (!object) return 0;
  if (overlapped != nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return ReadPipe(*object, buffer, count, read);
}

BOOL WriteFile(Handle file, const void* buffer, DWORD count, DWORD* written, void* overlapped) {
  if (written != nullptr) *written = 0;
  const auto object = posix::HandleGet(file, posix::Kind::Pipe);
  if (!object) return 0;
  if (overlapped != nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  return WritePipe(*object, buffer, count, written);
}

BOOL CloseHandle(Handle handle) { return posix::HandleRemove(handle) ? 1 : 0; }

}  // namespace win
