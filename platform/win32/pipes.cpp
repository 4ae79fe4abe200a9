// pipes.cpp - named pipes of the Win32 backend: the client calls the library
// makes (CreateFileA, WaitNamedPipeA, PeekNamedPipe, ReadFile, WriteFile,
// CloseHandle), the raw reads and writes of the link, and the server side
// that the stand-in server listens with.
//
// Server side.  A listener is an event handle plus a few pipe instances that
// wait for clients, each with an overlapped ConnectNamedPipe under way.  An
// accept waits for any of them and can give up after its time-out without
// losing a client that comes later: the connects stay pending for the next
// accept.  An instance handed out is replaced at once, so clients arriving
// together or between two accepts find an instance to connect to instead of
// a busy pipe (231) or no pipe at all (2).
//
// Server instances are open for overlapped I/O: a thread blocked in a read
// must not hold up DisconnectNamedPipe (NpipeDisconnect), nor a write of
// another thread, which is what the I/O of a handle opened for plain I/O
// does.  A read or write on such a handle goes with its own OVERLAPPED record
// and an event of the calling thread, and waits for its outcome, so callers
// see the same blocking calls as on any other pipe handle.
//
// Cut pipes.  NpipeDisconnect ends a server instance's connection; a client
// end has no such call, so it is marked as cut instead: every later read or
// write on it fails with 233, and a read blocked on it is cancelled.
//
// Lock rules:
//   * g_marks_lock guards g_marks (server instances and cut pipes by handle);
//   * g_listeners_lock guards g_listeners (listeners by handle);
//   * Listener::lock serialises the accepts of one listener; it is held while
//     waiting for a client, and never taken while holding either table lock.
//     Closing a listener does not take it: it raises the listener's closed
//     flag and sets its wake event, and the waiting accept gives up.
//   No system call is made while holding either table lock.
#include "platform/win32/win32.h"

#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace {

constexpr ::DWORD kPipeBuffer = 64 * 1024;
// Instances a listener keeps waiting for clients, so that several clients
// arriving at once (or between two accepts) each find one.
constexpr std::size_t kWaitingInstances = 4;
// The default wait of the pipe, which WaitNamedPipeA's time-out 0 asks for.
constexpr ::DWORD kDefaultPipeWaitMs = 50;

// ---- Marks of pipe handles -----------------------------------------------------

struct Mark {
  bool overlapped = false;  // a server instance of ours
  bool cut = false;         // NpipeDisconnect was called on it
};

std::mutex g_marks_lock;
std::unordered_map<Handle, Mark> g_marks;

Mark MarkOf(Handle handle) {
  std::lock_guard guard(g_marks_lock);
  const auto found = g_marks.find(handle);
  return found == g_marks.end() ? Mark{} : found->second;
}

bool SetMark(Handle handle, bool overlapped, bool cut) {
  try {
    std::lock_guard guard(g_marks_lock);
    Mark& mark = g_marks[handle];
    mark.overlapped = mark.overlapped || overlapped;
    mark.cut = mark.cut || cut;
    return true;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
}

// The event a thread waits on for its own overlapped transfers.  Each thread
// has one, so transfers of several threads on one handle never share a record.
struct ThreadEvent {
  HANDLE event = nullptr;
  ThreadEvent() = default;
  ThreadEvent(const ThreadEvent&) = delete;
  ThreadEvent& operator=(const ThreadEvent&) = delete;
  ~ThreadEvent() {
    if (event != nullptr) CloseHandle(event);
  }
  HANDLE get() {
    if (event == nullptr) event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return event;
  }
};
thread_local ThreadEvent t_event;

// One read or write on a pipe.  A read returns at least one byte or fails: a
// zero-length write of the peer completes a read with nothing, which is read
// past rather than handed on as a read of 0 bytes.
BOOL PipeTransfer(Handle handle, void* buffer, ::DWORD count, win::DWORD* moved, bool write) {
  const Mark mark = MarkOf(handle);
  if (mark.cut) {
    SetLastError(ERROR_PIPE_NOT_CONNECTED);
    return FALSE;
  }
  HANDLE pipe = win32::ToHandle(handle);
  for (;;) {
    ::DWORD done = 0;
    BOOL ok;
    if (mark.overlapped) {
      OVERLAPPED overlapped{};
      overlapped.hEvent = t_event.get();
      if (overlapped.hEvent == nullptr) return FALSE;
      ok = write ? WriteFile(pipe, buffer, count, nullptr, &overlapped)
                 : ReadFile(pipe, buffer, count, nullptr, &overlapped);
      if (ok || GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(pipe, &overlapped, &done, TRUE);
    } else {
      ok = write ? WriteFile(pipe, buffer, count, &done, nullptr)
                 : ReadFile(pipe, buffer, count, &done, nullptr);
    }
    if (!ok) return FALSE;
    if (write || done != 0 || count == 0) {
      if (moved != nullptr) *moved = static_cast<win::DWORD>(done);
      return TRUE;
    }
  }
}

// ---- Pipe names --------------------------------------------------------------

bool SameText(const std::string& a, const char* b) {
  return _stricmp(a.c_str(), b) == 0;
}

bool IsOwnHost(const std::string& host) {
  char name[MAX_COMPUTERNAME_LENGTH + 256];
  for (const auto format : {ComputerNameNetBIOS, ComputerNameDnsHostname,
                            ComputerNameDnsFullyQualified}) {
    ::DWORD size = sizeof name;
    if (GetComputerNameExA(format, name, &size) && SameText(host, name)) return true;
  }
  return false;
}

// The name a server creates its instances under: a pipe can only be made on
// this machine, so "\\HOST\pipe\NAME" is served as "\\.\pipe\NAME" when HOST
// is this machine, and refused (53) for any other host.
bool LocalPipeName(const char* name, std::string& local) {
  if (name == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
  }
  const std::string text(name);
  const std::size_t host_end = text.find('\\', 2);
  if (text.size() < 3 || text[0] != '\\' || text[1] != '\\' || host_end == std::string::npos ||
      host_end == 2) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return false;
  }
  const std::string host = text.substr(2, host_end - 2);
  if (host != "." && !IsOwnHost(host)) {
    SetLastError(ERROR_BAD_NETPATH);
    return false;
  }
  local = "\\\\." + text.substr(host_end);
  return true;
}

HANDLE NewInstance(const std::string& name, bool first) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = FALSE;
  const ::DWORD open_mode =
      PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (first ? FILE_FLAG_FIRST_PIPE_INSTANCE : 0);
  return CreateNamedPipeA(name.c_str(), open_mode, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                          PIPE_UNLIMITED_INSTANCES, kPipeBuffer, kPipeBuffer, kDefaultPipeWaitMs,
                          &attributes);
}

// ---- Listeners -----------------------------------------------------------------

// A pipe instance of a listener, waiting for a client.
struct Instance {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  HANDLE event = nullptr;  // signals the end of the pending connect
  OVERLAPPED overlapped{};
  bool pending = false;    // a ConnectNamedPipe is under way
  bool connected = false;  // a client is there, not yet handed out
};

struct Listener {
  std::string name;
  HANDLE wake = nullptr;  // the listener's handle; set when it is closed
  std::array<Instance, kWaitingInstances> instances;
  std::atomic<bool> closed{false};
  std::mutex lock;

  Listener() = default;
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;
  ~Listener() {
    for (Instance& instance : instances) {
      if (instance.pipe != INVALID_HANDLE_VALUE) {
        if (instance.pending) {
          // The record must outlive the connect: cancel it and wait for it.
          CancelIoEx(instance.pipe, &instance.overlapped);
          ::DWORD ignored = 0;
          GetOverlappedResult(instance.pipe, &instance.overlapped, &ignored, TRUE);
        }
        CloseHandle(instance.pipe);
      }
      if (instance.event != nullptr) CloseHandle(instance.event);
    }
    if (wake != nullptr) CloseHandle(wake);
  }
};

std::mutex g_listeners_lock;
std::unordered_map<Handle, std::shared_ptr<Listener>> g_listeners;

std::shared_ptr<Listener> FindListener(Handle handle) {
  std::lock_guard guard(g_listeners_lock);
  const auto found = g_listeners.find(handle);
  if (found == g_listeners.end()) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return found->second;
}

// Makes the instance wait for a client: creates its pipe when it has none and
// starts the connect.  False with the error set when that fails.
bool Prepare(const std::string& name, Instance& instance, bool first) {
  if (instance.pending || instance.connected) return true;
  if (instance.event == nullptr) {
    instance.event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (instance.event == nullptr) return false;
  }
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (instance.pipe == INVALID_HANDLE_VALUE) {
      instance.pipe = NewInstance(name, first);
      if (instance.pipe == INVALID_HANDLE_VALUE) return false;
    }
    instance.overlapped = OVERLAPPED{};
    instance.overlapped.hEvent = instance.event;
    ResetEvent(instance.event);
    if (ConnectNamedPipe(instance.pipe, &instance.overlapped)) {
      instance.connected = true;
      return true;
    }
    switch (GetLastError()) {
      case ERROR_IO_PENDING:
        instance.pending = true;
        return true;
      case ERROR_PIPE_CONNECTED:  // the client came before the connect
        instance.connected = true;
        return true;
      case ERROR_NO_DATA:  // it came and went again: free the instance
        DisconnectNamedPipe(instance.pipe);
        break;
      default: {
        const ::DWORD error = GetLastError();
        CloseHandle(instance.pipe);
        instance.pipe = INVALID_HANDLE_VALUE;
        SetLastError(error);
        return false;
      }
    }
  }
  return true;  // tried again at the next accept
}

// Hands a connected instance out and puts a new one in its place.
Handle TakeConnected(const std::string& name, Instance& instance) {
  HANDLE pipe = instance.pipe;
  instance.pipe = INVALID_HANDLE_VALUE;
  instance.connected = false;
  const Handle handle = win32::FromHandle(pipe);
  if (!SetMark(handle, true, false)) {
    CloseHandle(pipe);
    return kInvalidHandle;
  }
  win32::CountOpened();
  // If this fails, the next accept tries again.
  Prepare(name, instance, false);
  return handle;
}

// Takes the outcome of a finished connect.
void Finish(Instance& instance) {
  ::DWORD ignored = 0;
  if (GetOverlappedResult(instance.pipe, &instance.overlapped, &ignored, FALSE)) {
    instance.pending = false;
    instance.connected = true;
    return;
  }
  if (GetLastError() == ERROR_IO_INCOMPLETE) {
    ResetEvent(instance.event);  // its completion sets the event again
    return;
  }
  // The client came and went, or the connect failed: the instance waits
  // again from the next round.
  instance.pending = false;
  DisconnectNamedPipe(instance.pipe);
}

}  // namespace

namespace win32 {

bool PipeForget(Handle handle) {
  {
    std::lock_guard guard(g_marks_lock);
    g_marks.erase(handle);
  }
  std::shared_ptr<Listener> listener;
  {
    std::lock_guard guard(g_listeners_lock);
    const auto found = g_listeners.find(handle);
    if (found == g_listeners.end()) return false;
    listener = std::move(found->second);
    g_listeners.erase(found);
  }
  // An accept waiting for a client wakes up and sees the listener closed; the
  // handles go with the last user of the listener.
  listener->closed = true;
  SetEvent(listener->wake);
  CountClosed();
  return true;
}

}  // namespace win32

// ---- Server side ------------------------------------------------------------

Handle NpipeListen(const char* pipe_name) {
  try {
    std::string name;
    if (!LocalPipeName(pipe_name, name)) return kInvalidHandle;
    // A pipe of that name is another server's.  The first instance claims
    // the name and is refused when another server owns it; the look before
    // also catches a system that does not enforce that flag (Wine).
    if (WaitNamedPipeA(name.c_str(), NMPWAIT_NOWAIT) || GetLastError() == ERROR_SEM_TIMEOUT ||
        GetLastError() == ERROR_PIPE_BUSY) {
      SetLastError(ERROR_PIPE_BUSY);
      return kInvalidHandle;
    }
    auto listener = std::make_shared<Listener>();
    listener->name = name;
    if (!Prepare(name, listener->instances[0], true)) {
      if (GetLastError() == ERROR_ACCESS_DENIED) SetLastError(ERROR_PIPE_BUSY);
      return kInvalidHandle;
    }
    for (std::size_t i = 1; i < listener->instances.size(); ++i)
      Prepare(name, listener->instances[i], false);  // the accepts make up for a failure
    listener->wake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (listener->wake == nullptr) return kInvalidHandle;
    const Handle handle = win32::FromHandle(listener->wake);
    {
      std::lock_guard guard(g_listeners_lock);
      g_listeners.emplace(handle, listener);
    }
    win32::CountOpened();
    return handle;
  } catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return kInvalidHandle;
  }
}

Handle NpipeAccept(Handle handle, std::uint32_t timeout_ms) {
  const std::shared_ptr<Listener> listener = FindListener(handle);
  if (!listener) return kInvalidHandle;
  std::lock_guard guard(listener->lock);
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (listener->closed) {
      SetLastError(ERROR_INVALID_HANDLE);
      return kInvalidHandle;
    }
    HANDLE events[1 + kWaitingInstances];
    Instance* waiting[1 + kWaitingInstances];
    ::DWORD count = 0;
    events[count++] = listener->wake;
    ::DWORD failure = ERROR_SUCCESS;
    for (Instance& instance : listener->instances) {
      if (!Prepare(listener->name, instance, false)) {
        failure = GetLastError();
        continue;
      }
      if (instance.connected) return TakeConnected(listener->name, instance);
      if (instance.pending) {
        waiting[count] = &instance;
        events[count++] = instance.event;
      }
    }
    if (count == 1) {
      SetLastError(failure != ERROR_SUCCESS ? failure : ERROR_PIPE_BUSY);
      return kInvalidHandle;  // no instance could be made
    }
    ::DWORD wait = INFINITE;
    if (timeout_ms != kInfinite) {
      const ULONGLONG spent = GetTickCount64() - start;
      wait = spent >= timeout_ms ? 0 : static_cast<::DWORD>(timeout_ms - spent);
    }
    const ::DWORD outcome = WaitForMultipleObjects(count, events, FALSE, wait);
    if (outcome == WAIT_TIMEOUT) {
      // The connects stay pending: a client coming later is the next
      // accept's.
      SetLastError(WAIT_TIMEOUT);
      return kInvalidHandle;
    }
    if (outcome < WAIT_OBJECT_0 || outcome >= WAIT_OBJECT_0 + count) return kInvalidHandle;
    const ::DWORD index = outcome - WAIT_OBJECT_0;
    if (index == 0) continue;  // woken by the close
    Finish(*waiting[index]);
    if (waiting[index]->connected) return TakeConnected(listener->name, *waiting[index]);
  }
}

int NpipeDisconnect(Handle pipe) {
  if (!win32::Usable(pipe) || GetFileType(win32::ToHandle(pipe)) != FILE_TYPE_PIPE) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (!SetMark(pipe, false, true)) return -1;
  // A server instance ends its connection (the client sees a broken pipe); a
  // client end has no such call and keeps only the mark.  Either way a
  // transfer blocked on the handle is woken.
  if (MarkOf(pipe).overlapped) DisconnectNamedPipe(win32::ToHandle(pipe));
  CancelIoEx(win32::ToHandle(pipe), nullptr);
  return 0;
}

// ---- Raw reads and writes ---------------------------------------------------

// A byte-mode pipe opened for blocking writes cannot be asked whether a
// write would wait: nothing is written now.
int PipeWriteNow(Handle, const void*, std::uint32_t, std::uint32_t* written) {
  *written = 0;
  return 0;
}

// A kernel handle needs no holding: the hold is the handle, with no owner.
HeldObject PipeHold(Handle pipe) {
  if (!win32::Usable(pipe)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return {};
  }
  return HeldObject(HeldObject(), win32::ToHandle(pipe));
}

int PipeHeldRead(void* pipe, void* buffer, std::uint32_t count, std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  return PipeTransfer(win32::FromHandle(static_cast<HANDLE>(pipe)), buffer, count, read, false)
             ? 0
             : -1;
}

int PipeHeldWrite(void* pipe, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  return PipeTransfer(win32::FromHandle(static_cast<HANDLE>(pipe)), const_cast<void*>(buffer),
                      count, written, true)
             ? 0
             : -1;
}

// ---- Win32 calls ---------------------------------------------------------------

namespace win {

Handle CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                   DWORD disposition, DWORD attributes, Handle template_file) {
  HANDLE file = ::CreateFileA(name, access, share, static_cast<LPSECURITY_ATTRIBUTES>(security),
                              disposition, attributes,
                              win32::Usable(template_file) ? win32::ToHandle(template_file)
                                                           : nullptr);
  if (file == INVALID_HANDLE_VALUE) return kInvalidHandle;
  win32::CountOpened();
  return win32::FromHandle(file);
}

BOOL WaitNamedPipeA(const char* name, DWORD timeout_ms) {
  return ::WaitNamedPipeA(name, timeout_ms) ? 1 : 0;
}

BOOL PeekNamedPipe(Handle pipe, void* buffer, DWORD size, DWORD* read, DWORD* available,
                   DWORD* left_this_message) {
  ::DWORD got = 0, waiting = 0, left = 0;
  const BOOL ok = ::PeekNamedPipe(win32::ToHandle(pipe), buffer, size, &got, &waiting, &left);
  if (read != nullptr) *read = ok ? static_cast<DWORD>(got) : 0;
  if (available != nullptr) *available = ok ? static_cast<DWORD>(waiting) : 0;
  if (left_this_message != nullptr) *left_this_message = ok ? static_cast<DWORD>(left) : 0;
  return ok ? 1 : 0;
}

BOOL ReadFile(Handle file, void* buffer, DWORD count, DWORD* read, void* overlapped) {
  if (read != nullptr) *read = 0;
  if (overlapped != nullptr) {
    ::DWORD got = 0;
    const BOOL ok = ::ReadFile(win32::ToHandle(file), buffer, count, &got,
                               static_cast<LPOVERLAPPED>(overlapped));
    if (read != nullptr) *read = static_cast<DWORD>(got);
    return ok ? 1 : 0;
  }
  return PipeTransfer(file, buffer, count, read, false) ? 1 : 0;
}

BOOL WriteFile(Handle file, const void* buffer, DWORD count, DWORD* written, void* overlapped) {
  if (written != nullptr) *written = 0;
  if (overlapped != nullptr) {
    ::DWORD put = 0;
    const BOOL ok = ::WriteFile(win32::ToHandle(file), buffer, count, &put,
                                static_cast<LPOVERLAPPED>(overlapped));
    if (written != nullptr) *written = static_cast<DWORD>(put);
    return ok ? 1 : 0;
  }
  return PipeTransfer(file, const_cast<void*>(buffer), count, written, true) ? 1 : 0;
}

BOOL CloseHandle(Handle handle) { return win32::CloseAny(handle) ? 1 : 0; }

}  // namespace win
