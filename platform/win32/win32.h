// win32.h - what the files of the Win32 backend share: the Windows headers,
// handle conversions and the backend's own bookkeeping of handles.
//
// Include this header first, before any other header of the folder.  The win::
// constants of platform.h carry the names of the SDK's macros
// (ERROR_BROKEN_PIPE, WAIT_TIMEOUT, GENERIC_READ, ...), so platform.h must be
// read before <windows.h> defines them.  From here on the code of this folder
// uses the SDK's names and its ::DWORD (unsigned long, not win::DWORD).
#pragma once

#include "platform/platform.h"

// The platform's numbers, taken while their names are still free, to be
// checked against the SDK's below.
namespace win32::platform_values {
inline constexpr win::DWORD kErrors[] = {
    win::ERROR_SUCCESS,         win::ERROR_FILE_NOT_FOUND,    win::ERROR_PATH_NOT_FOUND,
    win::ERROR_ACCESS_DENIED,   win::ERROR_INVALID_HANDLE,    win::ERROR_NOT_ENOUGH_MEMORY,
    win::ERROR_BAD_NETPATH,     win::ERROR_INVALID_PARAMETER, win::ERROR_BROKEN_PIPE,
    win::ERROR_SEM_TIMEOUT,     win::ERROR_ALREADY_EXISTS,    win::ERROR_FILENAME_EXCED_RANGE,
    win::ERROR_PIPE_BUSY,       win::ERROR_NO_DATA,           win::ERROR_PIPE_NOT_CONNECTED,
    win::WAIT_TIMEOUT};
inline constexpr win::DWORD kFlags[] = {win::GENERIC_READ,   win::GENERIC_WRITE,
                                        win::FILE_SHARE_READ, win::FILE_SHARE_WRITE,
                                        win::OPEN_EXISTING,   win::FILE_ATTRIBUTE_NORMAL,
                                        win::STARTF_USESHOWWINDOW, win::GW_HWNDNEXT};
inline constexpr win::WORD kShow[] = {win::SW_HIDE, win::SW_SHOWMINNOACTIVE};
inline constexpr win::SOCKET kInvalidSocket = win::INVALID_SOCKET;
inline constexpr int kSocketError = win::SOCKET_ERROR;
}  // namespace win32::platform_values

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <cstdint>

namespace win32 {

namespace platform_values {
// Values the library hands to the system unchanged, or compares with the
// system's own: they must be the SDK's.
static_assert(kErrors[0] == ERROR_SUCCESS && kErrors[1] == ERROR_FILE_NOT_FOUND &&
              kErrors[2] == ERROR_PATH_NOT_FOUND && kErrors[3] == ERROR_ACCESS_DENIED &&
              kErrors[4] == ERROR_INVALID_HANDLE && kErrors[5] == ERROR_NOT_ENOUGH_MEMORY &&
              kErrors[6] == ERROR_BAD_NETPATH && kErrors[7] == ERROR_INVALID_PARAMETER &&
              kErrors[8] == ERROR_BROKEN_PIPE && kErrors[9] == ERROR_SEM_TIMEOUT &&
              kErrors[10] == ERROR_ALREADY_EXISTS && kErrors[11] == ERROR_FILENAME_EXCED_RANGE &&
              kErrors[12] == ERROR_PIPE_BUSY && kErrors[13] == ERROR_NO_DATA &&
              kErrors[14] == ERROR_PIPE_NOT_CONNECTED && kErrors[15] == WAIT_TIMEOUT);
static_assert(kFlags[0] == GENERIC_READ && kFlags[1] == GENERIC_WRITE &&
              kFlags[2] == FILE_SHARE_READ && kFlags[3] == FILE_SHARE_WRITE &&
              kFlags[4] == OPEN_EXISTING && kFlags[5] == FILE_ATTRIBUTE_NORMAL &&
              kFlags[6] == STARTF_USESHOWWINDOW && kFlags[7] == GW_HWNDNEXT);
static_assert(kShow[0] == SW_HIDE && kShow[1] == SW_SHOWMINNOACTIVE);
static_assert(static_cast<::SOCKET>(kInvalidSocket) == INVALID_SOCKET && kSocketError == SOCKET_ERROR);
static_assert(sizeof(win::OSVERSIONINFOA) == sizeof(::OSVERSIONINFOA));
}  // namespace platform_values

inline HANDLE ToHandle(Handle handle) { return reinterpret_cast<HANDLE>(handle); }
inline Handle FromHandle(HANDLE handle) { return reinterpret_cast<Handle>(handle); }

// A handle the layer hands out: neither 0 nor all bits set (which is also
// the pseudo-handle of the current process, and must never reach CloseHandle).
inline bool Usable(Handle handle) { return handle != 0 && handle != kInvalidHandle; }

// Counts the handles this layer gave out and that are still open
// (PlatformOpenHandles), so that tests can find a handle that leaked.
void CountOpened();
void CountClosed();

// Closes a handle of any kind the layer gave out, after forgetting what the
// layer keeps about it (a mapping's size, a listener, a cut pipe).
bool CloseAny(Handle handle);

// Called by CloseAny before the handle goes: pipes.cpp drops a listener (and
// closes its pending pipe instance) or a cut mark.  True when the handle was a
// listener, which that call has closed itself.
bool PipeForget(Handle handle);

// Raises the stop flag when the process installed a stop handler
// (SysInstallStopHandler); false when it did not.  A window asked to close
// takes this as a stop request.
bool RequestStop();

}  // namespace win32
