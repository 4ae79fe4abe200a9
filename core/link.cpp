// link.cpp - the operations of a Link for each kind, and the opens that
// choose the kind.
//
// Lock rules: none of its own (link.h).
#include "core/link.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include "qnapi.h"
#include "w95pipe/w95pipe.h"

std::uint32_t g_emulation = 0;

namespace {

// The emulation answers with a Win32 error number in which 0 and 1 both mean
// success.
int Emulated(std::uint32_t result) {
  if (result == 0 || result == 1) return 0;
  win::SetLastError(result);
  return -1;
}

int Refused(std::uint32_t* moved) {
  *moved = 0;
  win::SetLastError(win::ERROR_INVALID_HANDLE);
  return -1;
}

// A length beyond what one send or recv takes is asked for in part: the
// caller sees fewer bytes moved, as with any short send or receive.
int SocketLength(std::uint32_t length) {
  return length > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(length);
}

// One send; the bytes sent may be fewer than asked.  The socket's own error
// is not kept.
int SockSend(win::SOCKET s, const void* buffer, std::uint32_t length, std::uint32_t* sent) {
  const int n = win::send(s, static_cast<const char*>(buffer), SocketLength(length), 0);
  if (n < 0) {
    *sent = 0;
    return -1;
  }
  *sent = static_cast<std::uint32_t>(n);
  return 0;
}

// One recv.
int SockRecv(win::SOCKET s, void* buffer, std::uint32_t length, std::uint32_t* received) {
  const int n = win::recv(s, static_cast<char*>(buffer), SocketLength(length), 0);
  // 0 bytes is the peer's close: a failure, so that no caller waits for more.
  if (n <= 0) {
    *received = 0;
    return -1;
  }
  *received = static_cast<std::uint32_t>(n);
  return 0;
}

// An open that finds every instance busy waits for one (the server's default
// time-out) and tries again, five times at most.
std::uint32_t OpenRetryingBusy(const char* name, Handle* out) {
  constexpr win::DWORD kAccess = win::GENERIC_READ | win::GENERIC_WRITE;
  constexpr win::DWORD kShare = win::FILE_SHARE_READ | win::FILE_SHARE_WRITE;
  Handle pipe = win::CreateFileA(name, kAccess, kShare, nullptr, win::OPEN_EXISTING,
                                 win::FILE_ATTRIBUTE_NORMAL, 0);
  std::uint32_t error = 0;
  for (int attempt = 0; pipe == kInvalidHandle && attempt < 5; ++attempt) {
    error = win::GetLastError();
    if (error != win::ERROR_PIPE_BUSY) break;
    if (win::WaitNamedPipeA(name, 0) != 0)
      pipe = win::CreateFileA(name, kAccess, kShare, nullptr, win::OPEN_EXISTING,
                              win::FILE_ATTRIBUTE_NORMAL, 0);
  }
  if (pipe == kInvalidHandle) return error != 0 ? error : win::ERROR_FILE_NOT_FOUND;
  *out = pipe;
  return 0;
}

// The system's error of a failed step, never 0: a failure must not read as
// success.
std::uint32_t LastError() {
  const win::DWORD error = win::GetLastError();
  return error != 0 ? error : win::ERROR_INVALID_HANDLE;
}

std::uint32_t OpenWhenFree(const char* name, Handle* out) {
  if (win::WaitNamedPipeA(name, 0) == 0) return LastError();
  const Handle opened = win::CreateFileA(name, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                         win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0);
  if (opened == kInvalidHandle) return LastError();
  *out = opened;
  return 0;
}

}  // namespace

int Link::Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) const {
  switch (kind) {
    case LinkKind::Pipe:
      return held != nullptr ? PipeHeldWrite(held, data, size, written)
                             : PipeWriteRaw(pipe, data, size, written);
    case LinkKind::Emulated: return Emulated(W95NpipeWrite(pipe, data, size, written));
    // There is no send-all: every piece goes out in one send, and fewer
    // bytes sent count as a short write.
    case LinkKind::Socket: return SockSend(socket, data, size, written);
    case LinkKind::None:
    case LinkKind::Foreign: break;
  }
  return Refused(written);
}

int Link::Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) const {
  switch (kind) {
    case LinkKind::Pipe:
      return held != nullptr ? PipeHeldRead(held, data, size, got)
                             : PipeReadRaw(pipe, data, size, got);
    case LinkKind::Emulated: return Emulated(W95NpipeRead(pipe, data, size, got));
    case LinkKind::Socket: return SockRecv(socket, data, size, got);
    case LinkKind::None:
    case LinkKind::Foreign: break;
  }
  return Refused(got);
}

int Link::ReadAtLeast(std::uint8_t* data, std::uint32_t least, std::uint32_t most,
                      std::uint32_t* got) const {
  *got = 0;
  while (*got < least) {
    std::uint32_t n = 0;
    if (Read(data + *got, most - *got, &n) != 0) return -1;  // what came stays counted
    if (n == 0) {
      // A closed writer as the emulation reports it; taken as it comes, that
      // would loop here for ever.
      win::SetLastError(win::ERROR_BROKEN_PIPE);
      return -1;
    }
    *got += std::min(n, most - *got);
  }
  return 0;
}

int Link::Available(std::uint32_t* count) const {
  *count = 0;
  if (kind != LinkKind::Pipe) return 1;
  win::DWORD available = 0;
  if (win::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) == 0) return -1;
  *count = available;
  return 0;
}

void Link::Cut() const {
  switch (kind) {
    case LinkKind::Pipe: NpipeDisconnect(pipe); break;
    // An emulated pipe is not the platform's pipe: the emulation ends its
    // instance itself (the server sees the closed mark).
    case LinkKind::Emulated: W95NpipeCut(pipe); break;
    // Both directions: later sends fail at once and later receives see the end.
    case LinkKind::Socket: win::TcpShutdown(socket); break;
    case LinkKind::None:
    case LinkKind::Foreign: break;
  }
}

void Link::Close() {
  switch (kind) {
    case LinkKind::Pipe:
      if (pipe != kInvalidHandle) HndClose(pipe);
      break;
    case LinkKind::Emulated: W95NpipeClose(pipe); break;
    case LinkKind::Socket:
      if (socket != win::INVALID_SOCKET) win::closesocket(socket);
      break;
    case LinkKind::None:
    case LinkKind::Foreign: break;
  }
  *this = Link{};
}

void LinkStripLocal(char* name) {
  if (std::strncmp(name, "\\\\.", 3) == 0) std::memmove(name, name + 3, std::strlen(name + 3) + 1);
}

std::uint32_t LinkOpenPipe(char* name, PipeOpen how, Link* out) {
  Handle pipe = kInvalidHandle;
  if (g_emulation != 0) {
    LinkStripLocal(name);
    const std::uint32_t error = W95NpipeOpen(name, &pipe);
    if (error == 0) *out = Link::OfPipe(pipe, true);
    return error;
  }
  const std::uint32_t error =
      how == PipeOpen::RetryBusy ? OpenRetryingBusy(name, &pipe) : OpenWhenFree(name, &pipe);
  if (error == 0) *out = Link::OfPipe(pipe, false);
  return error;
}

int PipeRead(Handle pipe, void* buffer, std::uint32_t count, std::uint32_t* read) {
  return Link::OfPipe(pipe, g_emulation != 0).Read(static_cast<std::uint8_t*>(buffer), count, read);
}

int PipeWrite(Handle pipe, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  return Link::OfPipe(pipe, g_emulation != 0)
      .Write(static_cast<const std::uint8_t*>(buffer), count, written);
}

extern "C" QNA_EXPORT int32_t QNA_API NpipeRead(void* link, void* buffer, uint32_t count,
                                                uint32_t* read) {
  if (read == nullptr || (buffer == nullptr && count != 0)) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  const Link pipe = Link::OfPipe(reinterpret_cast<Handle>(link), g_emulation != 0);
  return pipe.ReadAll(static_cast<std::uint8_t*>(buffer), count, read);
}
