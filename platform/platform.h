// platform.h - the one interface between the library (and the stand-in
// server) and the operating system.
//
// Two groups of functions live here:
//   * the library's own object layer (Shm*, Mtx*, Ev*, Hnd*, Pipe*, SysSleep and
//     the services the library does not call itself), which folds every outcome
//     into 0 / -1 and, for waits, 95 (abandoned) and 640 (time-out);
//   * stand-ins for the Win32 calls the library makes directly, in namespace
//     `win`, named after the call they stand in for.  They report failures as
//     Win32 error numbers behind win::GetLastError().
//
// One backend per OS implements all of it: platform/posix/ or platform/win32/.
// Code outside platform/ never includes an OS header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "qnapi.h"

// A kernel handle: pointer-sized, all bits set is the invalid handle (-1), and
// 0 means "none" where the library keeps an optional handle.
using Handle = std::uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle{0};

// Wait outcomes of MtxWait and EvWait.
inline constexpr int kWaitOk = 0;
inline constexpr int kWaitAbandoned = 95;
inline constexpr int kWaitTimeout = 640;
inline constexpr int kWaitFailed = -1;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// ---- Named kernel objects -------------------------------------------------
// Names follow the library's convention: "\sharemem\NAME" for mappings,
// "\sem32\NAME" for mutexes, either for events.  Every create and open
// upper-cases the caller's name in place; a name without the prefix makes an
// unnamed object (create) or fails (open).  Out-pointers are written only on
// success.  All return 0 or -1 unless said otherwise.

// mode 1: read-only; any other mode: read/write.
int ShmCreate(void** view, char* name, std::uint32_t size, int mode, Handle* mapping);
int ShmOpen(void** view, char* name, int mode, Handle* mapping);
int ShmClose(void* view, Handle mapping);
// Bytes of data a mapping really holds (what a view of it may touch); 0 for
// a handle that is not an open mapping.
std::uint64_t ShmSize(Handle mapping);
// 1 when another process also holds the named mapping, 0 when only this one
// does, -1 when that is not known (an unnamed mapping, a system that does not
// tell).  Lets a peer that died without a word be noticed.
int ShmHeldElsewhere(Handle mapping);

int MtxCreate(char* name, Handle* mutex, int initial_owner);
int MtxOpen(char* name, Handle* mutex);
int MtxWait(Handle mutex, std::uint32_t timeout_ms);  // 0, 95, 640 or -1
int MtxRelease(Handle mutex);

// The pinned form of an open mutex handle: what a wait needs, without the
// handle table, so that an uncontended wait costs one try of the lock.  A pin
// stays valid while its handle is open; whoever closes the handle makes sure
// that no thread still uses the pin (the area table keeps each area's mutex
// open, and pinned, for the whole time the areas are open).
//
// A wait is split in two so that the uncontended one is a bare try: MtxPinTry
// gives 0 when it took the mutex at once, else a code that only
// MtxPinWaitAfter reads, which then waits as MtxWait does (0, 95, 640, -1).
// The release gives 0, or non-zero when the thread did not hold the mutex
// (no error is kept).
using MutexPin = void*;
MutexPin MtxPin(Handle mutex);  // nullptr when the handle is not an open mutex
int MtxPinTry(MutexPin mutex);
int MtxPinWaitAfter(MutexPin mutex, int tried, std::uint32_t timeout_ms);
int MtxPinRelease(MutexPin mutex);

// ---- Held handles ----------------------------------------------------------
// An exchange calls on the same two handles, its request lock and its pipe,
// several times.  It takes each one's object out of the handle table once,
// for its whole length, and calls on the object itself.  A hold keeps the
// object in memory while it lasts, so a thread that closes the handle
// meanwhile never frees what another still uses; a call through a hold
// whose handle has been closed since fails as a call on the handle would (6).
// A hold is empty (error 6) when the handle is not open as that kind; the
// calls take its get().
using HeldObject = std::shared_ptr<void>;
HeldObject MtxHold(Handle mutex);
int MtxHeldWait(void* mutex, std::uint32_t timeout_ms);  // as MtxWait
int MtxHeldRelease(void* mutex);                         // as MtxRelease
HeldObject PipeHold(Handle pipe);
int PipeHeldRead(void* pipe, void* buffer, std::uint32_t count, std::uint32_t* read);
int PipeHeldWrite(void* pipe, const void* buffer, std::uint32_t count, std::uint32_t* written);

// Events are manual-reset.
int EvCreate(char* name, Handle* event, int initial_state);
int EvOpen(char* name, Handle* event);
int EvSet(Handle event);
int EvReset(Handle event, std::uint32_t* out);  // writes 0 through out, then resets
int EvWait(Handle event, std::uint32_t timeout_ms);  // 0, 640 or -1

int HndClose(Handle handle);

// ---- The server link -----------------------------------------------------
// One read or write on a pipe; a successful call may move fewer bytes than
// asked.  (The library's links choose between these and the pipe emulation:
// core/link.h.)
int PipeReadRaw(Handle link, void* buffer, std::uint32_t count, std::uint32_t* read);
int PipeWriteRaw(Handle link, const void* buffer, std::uint32_t count, std::uint32_t* written);
// One write on a pipe that never waits: the bytes that fit now, possibly
// none (0 written is no failure); 0 or -1.  Where the system cannot tell
// without waiting it writes nothing, and the caller writes as it would have.
int PipeWriteNow(Handle pipe, const void* buffer, std::uint32_t count, std::uint32_t* written);
// NpipeRead (exported) is declared in qnapi.h.

int SysSleep(std::uint32_t ms);

// ---- Services the library itself does not call ----------------------------
// 11-byte time record: hour, minute, second, low 8 bits of the milliseconds,
// day, month, u16 year, 2 bytes untouched, day of the week.
int TimeGet(std::uint8_t* record);
int TimeSet(const std::uint8_t* record);
void ProcExit(int whole_process, std::uint32_t exit_code);
int SysBeep(std::uint32_t frequency, std::uint32_t duration_ms);
int MemAlloc(void** out, std::size_t size);
int MemFree(void* block);
int CsEnter();
int CsLeave();
int CsDelete();
// Window messages (the applications' own messages are QNA_SendMsg's).
int WndMsgPost(std::uintptr_t window, std::uint32_t message, std::uintptr_t wparam,
               std::intptr_t lparam);
int WndMsgPostParam(std::uintptr_t window, std::uintptr_t wparam, std::uint16_t message,
                    std::intptr_t lparam);
// Fills message/wparam/lparam of the first message for the window within
// [first, last] (0, 0: any); returns 1, or 0 on a quit message, -1 on failure.
int WndMsgGet(std::uintptr_t window, std::uint32_t first, std::uint32_t last, std::uint32_t* message,
              std::uintptr_t* wparam, std::intptr_t* lparam);
int TimerStart(std::uint32_t interval_ms, Handle event, Handle* thread_out);
int TimerStop(Handle thread);
int HndWait(const Handle* handle, int test_only);
int Nop();

// ---- Extras for the stand-in server and the tests ------------------------
std::string PlatformRoot();          // the folder every named thing lives under
// Makes `path` the root of this process and of the programs it starts from
// now on (a private world for a demo or a test); no effect on Windows.
void PlatformSetRoot(const std::string& path);
std::uint32_t SysTickMs();           // milliseconds from a monotonic clock
std::uint32_t SysProcessId();
std::size_t PlatformOpenHandles();   // handles of this process still open (tests)
// Server side of a pipe: listen under a Win32 pipe name ("\\.\pipe\NAME" or
// "\\HOST\pipe\NAME"), then accept clients one at a time.  NpipeAccept
// returns kInvalidHandle with error 258 (WAIT_TIMEOUT) when no client came.
Handle NpipeListen(const char* pipe_name);
Handle NpipeAccept(Handle listener, std::uint32_t timeout_ms);
// Ends the connection of a pipe handle so that a thread blocked in a read on
// it wakes up with a failure (DisconnectNamedPipe); the handle stays open.
int NpipeDisconnect(Handle pipe);
// Stop requests (SIGINT/SIGTERM, or console control events on Windows).  Call
// it from the main thread before starting others, which inherit its signal mask.
void SysInstallStopHandler();
bool SysStopRequested();
// A program started with win::CreateProcessA, by its process id: whether it
// still runs, and a request that it stop as on SIGTERM (0, or -1).
bool SysProcessAlive(std::uint32_t pid);
int SysProcessStop(std::uint32_t pid);
// Lets this process hold at least `wanted` open handles where the system
// limits them per process (as far as the hard limit allows); returns how
// many it may hold now.  A server with a link per client needs one each.
std::uint32_t SysRaiseHandleLimit(std::uint32_t wanted);

// ---- Win32 stand-ins ------------------------------------------------------
namespace win {

using DWORD = std::uint32_t;
using WORD = std::uint16_t;
using BOOL = int;

inline constexpr DWORD ERROR_SUCCESS = 0;
inline constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
inline constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
inline constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr DWORD ERROR_ACCESS_DENIED = 5;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_BAD_NETPATH = 53;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_BROKEN_PIPE = 109;
inline constexpr DWORD ERROR_SEM_TIMEOUT = 121;  // WaitNamedPipeA: the pipe stayed busy
inline constexpr DWORD ERROR_ALREADY_EXISTS = 183;
inline constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr DWORD ERROR_PIPE_BUSY = 231;
inline constexpr DWORD ERROR_NO_DATA = 232;
inline constexpr DWORD ERROR_PIPE_NOT_CONNECTED = 233;
inline constexpr DWORD WAIT_TIMEOUT = 258;

DWORD GetLastError();
void SetLastError(DWORD error);

// Makes every thread of this process pass a full memory barrier before the
// call returns: what the caller stored before it is seen by the loads that
// every other thread makes afterwards, and what they stored before it by the
// caller's loads after it.  Lets a rare writer pair a compiler-only fence of
// frequent readers with this one costly call.
void FlushProcessWriteBuffers();

inline constexpr DWORD GENERIC_READ = 0x80000000u;
inline constexpr DWORD GENERIC_WRITE = 0x40000000u;
inline constexpr DWORD FILE_SHARE_READ = 1;
inline constexpr DWORD FILE_SHARE_WRITE = 2;
inline constexpr DWORD OPEN_EXISTING = 3;
inline constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;

// Opens the client end of a pipe: "\\.\pipe\NAME" or "\\HOST\pipe\NAME".
// Returns kInvalidHandle on failure: 2 no such pipe, 53 unknown host, 231 busy.
Handle CreateFileA(const char* name, DWORD access, DWORD share, void* security,
                   DWORD disposition, DWORD attributes, Handle template_file);
// Waits until an instance of the pipe can be connected to; 0: a short default.
BOOL WaitNamedPipeA(const char* name, DWORD timeout_ms);
// Bytes waiting on a pipe, without taking them.
BOOL PeekNamedPipe(Handle pipe, void* buffer, DWORD size, DWORD* read, DWORD* available,
                   DWORD* left_this_message);
BOOL ReadFile(Handle file, void* buffer, DWORD count, DWORD* read, void* overlapped);
BOOL WriteFile(Handle file, const void* buffer, DWORD count, DWORD* written, void* overlapped);
BOOL CloseHandle(Handle handle);

struct OSVERSIONINFOA {
  DWORD dwOSVersionInfoSize;  // must be 148 (or 156 for the extended record)
  DWORD dwMajorVersion;
  DWORD dwMinorVersion;
  DWORD dwBuildNumber;
  DWORD dwPlatformId;  // 0 Win32s, 1 Windows 95/98, 2 NT
  char szCSDVersion[128];
};
static_assert(sizeof(OSVERSIONINFOA) == 148);
BOOL GetVersionExA(OSVERSIONINFOA* info);
// Test seam: a nonzero platform id makes GetVersionExA report it (1: the
// Windows 95 family); 0 restores the real value.  Not in the public header.
void SetVersionPlatformSeam(DWORD platform_id);

inline constexpr DWORD STARTF_USESHOWWINDOW = 1;
inline constexpr WORD SW_HIDE = 0;
inline constexpr WORD SW_SHOWMINNOACTIVE = 7;
struct STARTUPINFOA {
  DWORD cb;
  DWORD dwFlags;
  WORD wShowWindow;
};
struct PROCESS_INFORMATION {
  Handle hProcess;
  Handle hThread;
  DWORD dwProcessId;
  DWORD dwThreadId;
};
// Starts a program.  The command line is split at blanks (no quoting); its
// first token is the program, resolved against the directory when relative.
BOOL CreateProcessA(const char* application, char* command_line, void* process_security,
                    void* thread_security, BOOL inherit_handles, DWORD flags, void* environment,
                    const char* directory, STARTUPINFOA* startup, PROCESS_INFORMATION* info);

// Files by Win32 path ("X:\dir\file" through the drive mapping).
int _access(const char* path, int mode);  // 0 when the file exists (mode 0)
std::FILE* fopen(const char* path, const char* mode);
inline constexpr int O_RDONLY_ = 0, O_WRONLY_ = 1, O_RDWR_ = 2, O_CREAT_ = 0x100,
                     O_TRUNC_ = 0x200, O_EXCL_ = 0x400, O_BINARY_ = 0x8000;
int _open(const char* path, int flags, int permission = 0600);  // flags: the O_*_ above
int _read(int fd, void* buffer, unsigned count);
int _write(int fd, const void* buffer, unsigned count);
long _lseek(int fd, long offset, int origin);  // origin: 0 set, 1 current, 2 end
int _close(int fd);
// Folders and removal by Win32 path: 0, or -1 with errno and the Win32 error
// set (_mkdir of an existing folder: EEXIST, 183).  _mkdir makes one folder;
// its parent must exist.
int _mkdir(const char* path);
int _unlink(const char* path);
// The host path a Win32 path stands for (for tools and tests).
std::string HostPath(const char* path);

// Top-level windows in Z order (the topmost first).  The table always holds
// a permanent topmost "shell" window, as a desktop's task bar is.
using HWND = std::uintptr_t;
inline constexpr DWORD GW_HWNDNEXT = 2;
HWND GetTopWindow(HWND parent);  // parent 0: the topmost top-level window
HWND GetWindow(HWND window, DWORD command);
int GetWindowTextA(HWND window, char* text, int max_count);
// Opens and closes a top-level window of this process (the server's
// "QUONIX RUN" window, applications under test).  New windows go to the top of
// the Z order, just below the shell window.
HWND WindowOpen(const char* title);
BOOL WindowClose(HWND window);
BOOL WindowToTop(HWND window);  // SetForegroundWindow
DWORD WindowProcessId(HWND window);

// Windows Sockets 1.1 over BSD sockets.
using SOCKET = std::intptr_t;
inline constexpr SOCKET INVALID_SOCKET = -1;
inline constexpr int SOCKET_ERROR = -1;
inline constexpr int AF_INET_ = 2;
inline constexpr int SOCK_STREAM_ = 1;
struct WSADATA {
  WORD wVersion;
  WORD wHighVersion;
  char szDescription[257];
  char szSystemStatus[129];
};
struct HOSTENT {
  char* h_name;
  char** h_aliases;
  std::int16_t h_addrtype;
  std::int16_t h_length;
  char** h_addr_list;
};
struct SOCKADDR_IN {
  std::int16_t sin_family;
  std::uint16_t sin_port;     // network byte order
  std::uint32_t sin_addr;     // network byte order
  char sin_zero[8];
};
static_assert(sizeof(SOCKADDR_IN) == 16);
int WSAStartup(WORD version, WSADATA* data);
SOCKET socket(int family, int type, int protocol);
// IPv4 only; the entry belongs to the calling thread until its next call.
HOSTENT* gethostbyname(const char* name);
// Parenthesised: the C library may define htons as a macro.
std::uint16_t (htons)(std::uint16_t value);
int connect(SOCKET s, const SOCKADDR_IN* address, int length);
int send(SOCKET s, const char* buffer, int length, int flags);  // never raises SIGPIPE
int recv(SOCKET s, char* buffer, int length, int flags);
int closesocket(SOCKET s);
// Server side: listen on ADDR:PORT (IPv4), accept with a time-out
// (INVALID_SOCKET with 258 when none came), shut a socket down to wake a
// thread blocked on it.
SOCKET TcpListen(const char* address, std::uint16_t port);
// The local port a socket is bound to (the one chosen for port 0); 0 on failure.
std::uint16_t TcpLocalPort(SOCKET s);
SOCKET TcpAccept(SOCKET listener, DWORD timeout_ms);
int TcpShutdown(SOCKET s);

}  // namespace win
