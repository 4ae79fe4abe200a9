// objects.cpp - named kernel objects of the Win32 backend: mappings on the
// paging file, mutexes, manual-reset events, and closing a handle of any kind.
//
// The library names its objects "\sharemem\NAME" (mappings) and "\sem32\NAME"
// (mutexes; events take either).  Every create and open upper-cases the
// caller's text in place and gives the kernel what follows the prefix, so
// "\sharemem\qoxmemcb" is the mapping QOXMEMCB.  Kernel object names are
// case-sensitive, which is why a server publishes the upper-cased names.
//
// Every create passes its own security-attributes record (no descriptor,
// handle not inherited) sized for the running build: one shared record
// refilled by every create would be written by several threads at once.
// Opens do not make inheritable handles either: a program the application
// starts with inheritance would otherwise hold the server's area mutexes, and
// keep them alive after the server ended, so that a restarted server could
// not create them again.
//
// Lock rules: g_sizes_lock guards g_sizes (the data size of each open mapping
// handle) and nothing else; no other lock is taken while holding it.
#include "platform/win32/win32.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

namespace {

constexpr std::string_view kSharememPrefix = "\\SHAREMEM\\";
constexpr std::string_view kSem32Prefix = "\\SEM32\\";

enum class Family { Mapping, Mutex, Event };

std::atomic<long> g_open_handles{0};

std::mutex g_sizes_lock;
std::unordered_map<Handle, std::uint64_t> g_sizes;

// Upper-cases the caller's name in place and returns the kernel name behind
// the family's prefix; nullptr for a null name, a name without the prefix or
// an empty name after it (an unnamed object).
const char* TranslateName(char* name, Family family) {
  if (name == nullptr) return nullptr;
  for (char* c = name; *c != '\0'; ++c)
    if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
  const std::string_view full(name);
  auto after = [&](std::string_view prefix) -> const char* {
    const std::size_t at = full.find(prefix);
    return at == std::string_view::npos ? nullptr : name + at + prefix.size();
  };
  const char* rest = nullptr;
  if (family == Family::Mutex) {
    rest = after(kSem32Prefix);
  } else {
    rest = after(kSharememPrefix);
    if (rest == nullptr && family == Family::Event) rest = after(kSem32Prefix);
  }
  return rest != nullptr && *rest != '\0' ? rest : nullptr;
}

// An open needs a name: the kernel has nothing to find without one.
const char* TranslateOpenName(char* name, Family family) {
  const char* kernel_name = TranslateName(name, family);
  if (kernel_name == nullptr) SetLastError(ERROR_INVALID_PARAMETER);
  return kernel_name;
}

SECURITY_ATTRIBUTES NotInherited() {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.lpSecurityDescriptor = nullptr;
  attributes.bInheritHandle = FALSE;
  return attributes;
}

// After a create of a named object: an object that existed already is not
// ours to hand out, as the library's convention wants (its handle is closed
// again, and the error 183 stays for the caller).
bool CreatedAnew(HANDLE handle) {
  if (GetLastError() != ERROR_ALREADY_EXISTS) return true;
  CloseHandle(handle);
  SetLastError(ERROR_ALREADY_EXISTS);
  return false;
}

// The bytes a view may touch: the committed pages of the view, which is the
// mapping's size rounded up to whole pages.
std::uint64_t ViewSize(const void* view) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view, &info, sizeof info) != sizeof info) return 0;
  return static_cast<std::uint64_t>(info.RegionSize);
}

void NoteSize(Handle mapping, std::uint64_t size) {
  try {
    std::lock_guard guard(g_sizes_lock);
    g_sizes[mapping] = size;
  } catch (...) {
    // Without a note ShmSize reports 0, which callers take as "not mapped".
  }
}

// Maps all of a mapping with the mode's access; closes it on failure.
int MapAll(HANDLE mapping, int mode, void** view, Handle* out) {
  void* data = MapViewOfFile(mapping, mode == 1 ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (data == nullptr) {
    const ::DWORD error = GetLastError();
    CloseHandle(mapping);
    SetLastError(error);
    return -1;
  }
  const Handle handle = win32::FromHandle(mapping);
  NoteSize(handle, ViewSize(data));
  win32::CountOpened();
  *view = data;
  *out = handle;
  return 0;
}

int WaitResult(::DWORD outcome) {
  switch (outcome) {
    case WAIT_OBJECT_0: return kWaitOk;
    case WAIT_ABANDONED: return kWaitAbandoned;
    case WAIT_TIMEOUT: return kWaitTimeout;
    default: return kWaitFailed;
  }
}

bool BadOut(const void* out) {
  if (out != nullptr) return false;
  SetLastError(ERROR_INVALID_PARAMETER);
  return true;
}

}  // namespace

namespace win32 {

void CountOpened() { g_open_handles.fetch_add(1, std::memory_order_relaxed); }
void CountClosed() { g_open_handles.fetch_sub(1, std::memory_order_relaxed); }

bool CloseAny(Handle handle) {
  if (!Usable(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return false;
  }
  if (PipeForget(handle)) return true;
  {
    std::lock_guard guard(g_sizes_lock);
    g_sizes.erase(handle);
  }
  if (!CloseHandle(ToHandle(handle))) return false;
  CountClosed();
  return true;
}

}  // namespace win32

// ---- Mappings -----------------------------------------------------------------

int ShmCreate(void** view, char* name, std::uint32_t size, int mode, Handle* mapping) {
  if (BadOut(view) || BadOut(mapping)) return -1;
  const char* kernel_name = TranslateName(name, Family::Mapping);
  SECURITY_ATTRIBUTES attributes = NotInherited();
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateFileMappingA(INVALID_HANDLE_VALUE, &attributes,
                                     mode == 1 ? PAGE_READONLY : PAGE_READWRITE, 0, size,
                                     kernel_name);
  if (handle == nullptr || !CreatedAnew(handle)) return -1;
  return MapAll(handle, mode, view, mapping);
}

int ShmOpen(void** view, char* name, int mode, Handle* mapping) {
  if (BadOut(view) || BadOut(mapping)) return -1;
  const char* kernel_name = TranslateOpenName(name, Family::Mapping);
  if (kernel_name == nullptr) return -1;
  HANDLE handle = OpenFileMappingA(mode == 1 ? FILE_MAP_READ : FILE_MAP_ALL_ACCESS, FALSE,
                                   kernel_name);
  if (handle == nullptr) return -1;
  return MapAll(handle, mode, view, mapping);
}

int ShmClose(void* view, Handle mapping) {
  if (view != nullptr) UnmapViewOfFile(view);
  return HndClose(mapping);
}

std::uint64_t ShmSize(Handle mapping) {
  std::lock_guard guard(g_sizes_lock);
  const auto found = g_sizes.find(mapping);
  return found == g_sizes.end() ? 0 : found->second;
}

// Windows does not tell who else holds a mapping.
int ShmHeldElsewhere(Handle) { return -1; }

// ---- Mutexes -------------------------------------------------------------------

int MtxCreate(char* name, Handle* mutex, int initial_owner) {
  if (BadOut(mutex)) return -1;
  const char* kernel_name = TranslateName(name, Family::Mutex);
  SECURITY_ATTRIBUTES attributes = NotInherited();
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateMutexA(&attributes, initial_owner != 0 ? TRUE : FALSE, kernel_name);
  if (handle == nullptr) return -1;
  if (kernel_name != nullptr && !CreatedAnew(handle)) return -1;
  win32::CountOpened();
  *mutex = win32::FromHandle(handle);
  return 0;
}

int MtxOpen(char* name, Handle* mutex) {
  if (BadOut(mutex)) return -1;
  const char* kernel_name = TranslateOpenName(name, Family::Mutex);
  if (kernel_name == nullptr) return -1;
  HANDLE handle = OpenMutexA(MUTEX_ALL_ACCESS, FALSE, kernel_name);
  if (handle == nullptr) return -1;
  win32::CountOpened();
  *mutex = win32::FromHandle(handle);
  return 0;
}

int MtxWait(Handle mutex, std::uint32_t timeout_ms) {
  if (!win32::Usable(mutex)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  return WaitResult(WaitForSingleObject(win32::ToHandle(mutex), timeout_ms));
}

int MtxRelease(Handle mutex) {
  if (!win32::Usable(mutex)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return ReleaseMutex(win32::ToHandle(mutex)) ? 0 : -1;
}

// A kernel mutex has no wait outside the kernel: the pin is the handle, and
// a wait on an owned mutex is one system call, as MtxWait is.
MutexPin MtxPin(Handle mutex) {
  if (!win32::Usable(mutex)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return win32::ToHandle(mutex);
}

// The try is a wait of no time; WAIT_OBJECT_0 is 0.
int MtxPinTry(MutexPin mutex) {
  return static_cast<int>(WaitForSingleObject(static_cast<HANDLE>(mutex), 0));
}

int MtxPinWaitAfter(MutexPin mutex, int tried, std::uint32_t timeout_ms) {
  const auto outcome = static_cast<::DWORD>(tried);
  if (outcome == WAIT_TIMEOUT && timeout_ms != 0)
    return WaitResult(WaitForSingleObject(static_cast<HANDLE>(mutex), timeout_ms));
  return WaitResult(outcome);
}

int MtxPinRelease(MutexPin mutex) { return ReleaseMutex(static_cast<HANDLE>(mutex)) ? 0 : -1; }

// A kernel handle needs no holding: the hold is the handle, with no owner.
HeldObject MtxHold(Handle mutex) {
  if (!win32::Usable(mutex)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return {};
  }
  return HeldObject(HeldObject(), win32::ToHandle(mutex));
}

int MtxHeldWait(void* mutex, std::uint32_t timeout_ms) {
  return WaitResult(WaitForSingleObject(static_cast<HANDLE>(mutex), timeout_ms));
}

int MtxHeldRelease(void* mutex) { return ReleaseMutex(static_cast<HANDLE>(mutex)) ? 0 : -1; }

// ---- Events --------------------------------------------------------------------

int EvCreate(char* name, Handle* event, int initial_state) {
  if (BadOut(event)) return -1;
  const char* kernel_name = TranslateName(name, Family::Event);
  SECURITY_ATTRIBUTES attributes = NotInherited();
  SetLastError(ERROR_SUCCESS);
  HANDLE handle = CreateEventA(&attributes, TRUE, initial_state != 0 ? TRUE : FALSE, kernel_name);
  if (handle == nullptr) return -1;
  if (kernel_name != nullptr && !CreatedAnew(handle)) return -1;
  win32::CountOpened();
  *event = win32::FromHandle(handle);
  return 0;
}

int EvOpen(char* name, Handle* event) {
  if (BadOut(event)) return -1;
  const char* kernel_name = TranslateOpenName(name, Family::Event);
  if (kernel_name == nullptr) return -1;
  HANDLE handle = OpenEventA(EVENT_ALL_ACCESS, FALSE, kernel_name);
  if (handle == nullptr) return -1;
  win32::CountOpened();
  *event = win32::FromHandle(handle);
  return 0;
}

int EvSet(Handle event) {
  if (!win32::Usable(event)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return SetEvent(win32::ToHandle(event)) ? 0 : -1;
}

int EvReset(Handle event, std::uint32_t* out) {
  if (out != nullptr) *out = 0;
  if (!win32::Usable(event)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return -1;
  }
  return ResetEvent(win32::ToHandle(event)) ? 0 : -1;
}

int EvWait(Handle event, std::uint32_t timeout_ms) {
  if (!win32::Usable(event)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kWaitFailed;
  }
  return WaitResult(WaitForSingleObject(win32::ToHandle(event), timeout_ms));
}

// ---- Any handle -----------------------------------------------------------------

int HndClose(Handle handle) { return win32::CloseAny(handle) ? 0 : -1; }

std::size_t PlatformOpenHandles() {
  const long open = g_open_handles.load(std::memory_order_relaxed);
  return open > 0 ? static_cast<std::size_t>(open) : 0;
}
