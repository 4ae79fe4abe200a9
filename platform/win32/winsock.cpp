// winsock.cpp - Windows Sockets for the library (version 1.1 calls on IPv4
// stream sockets) and the server side the stand-in server listens with.
//
// The library's own calls go to Winsock as they are; only the records differ
// from the system's (WSADATA, HOSTENT, SOCKADDR_IN are the platform's own), so
// they are copied across.  The server side starts Winsock itself, once, since
// the server never calls WSAStartup.
//
// Connected and accepted sockets have TCP_NODELAY set: a request goes out in
// two pieces, and Nagle's algorithm would hold the second one back until the
// first is acknowledged.
//
// Lock rules: no locks; the host entry handed out is per thread, as the one
// Winsock keeps behind it.
#include "platform/win32/win32.h"

#include "platform/resolve.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <mutex>
#include <optional>

namespace {

constexpr WORD kServerVersion = 0x0202;
// The SDK's INVALID_SOCKET is a macro over its own SOCKET type; these name the
// system's and the platform's "no socket" apart.
constexpr ::SOCKET kNoSystemSocket = INVALID_SOCKET;
constexpr win::SOCKET kNoSocket = -1;

// The server side needs Winsock started; the process keeps it for its life.
bool StartWinsock() {
  static std::once_flag once;
  static int result = 0;
  std::call_once(once, [] {
    WSADATA data{};
    result = WSAStartup(kServerVersion, &data);
  });
  if (result != 0) WSASetLastError(result);
  return result == 0;
}

void SetNoDelay(SOCKET s) {
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

SOCKET ToSocket(win::SOCKET s) { return static_cast<SOCKET>(s); }
win::SOCKET FromSocket(SOCKET s) {
  return s == kNoSystemSocket ? kNoSocket : static_cast<win::SOCKET>(s);
}

// What gethostbyname hands out: the platform's record over the system's
// entry, which stays valid until the thread's next call, as with Winsock.
thread_local win::HOSTENT t_host{};

}  // namespace

namespace win {

int WSAStartup(WORD version, WSADATA* data) {
  ::WSADATA real{};
  const int result = ::WSAStartup(version, &real);
  if (result == 0 && data != nullptr) {
    *data = WSADATA{};
    data->wVersion = real.wVersion;
    data->wHighVersion = real.wHighVersion;
    std::memcpy(data->szDescription, real.szDescription,
                std::min(sizeof data->szDescription, sizeof real.szDescription));
    std::memcpy(data->szSystemStatus, real.szSystemStatus,
                std::min(sizeof data->szSystemStatus, sizeof real.szSystemStatus));
  }
  return result;
}

SOCKET socket(int family, int type, int protocol) {
  return FromSocket(::socket(family, type, protocol));
}

HOSTENT* gethostbyname(const char* name) {
  const hostent* found = ::gethostbyname(name);
  if (found == nullptr) return nullptr;
  t_host.h_name = found->h_name;
  t_host.h_aliases = found->h_aliases;
  t_host.h_addrtype = found->h_addrtype;
  t_host.h_length = found->h_length;
  t_host.h_addr_list = found->h_addr_list;
  return &t_host;
}

std::uint16_t (htons)(std::uint16_t value) { return ::htons(value); }

int connect(SOCKET s, const SOCKADDR_IN* address, int length) {
  if (address == nullptr || length != static_cast<int>(sizeof(SOCKADDR_IN))) {
    WSASetLastError(WSAEFAULT);
    return SOCKET_ERROR;
  }
  sockaddr_in target{};
  target.sin_family = static_cast<ADDRESS_FAMILY>(address->sin_family);
  target.sin_port = address->sin_port;
  target.sin_addr.s_addr = address->sin_addr;
  if (::connect(ToSocket(s), reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
    return SOCKET_ERROR;
  SetNoDelay(ToSocket(s));
  return 0;
}

int send(SOCKET s, const char* buffer, int length, int flags) {
  return ::send(ToSocket(s), buffer, length, flags);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
  return ::recv(ToSocket(s), buffer, length, flags);
}

int closesocket(SOCKET s) { return ::closesocket(ToSocket(s)); }

SOCKET TcpListen(const char* address, std::uint16_t port) {
  if (!StartWinsock()) return kNoSocket;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = ::htons(port);
  local.sin_addr.s_addr = INADDR_ANY;  // no address: every interface
  if (address != nullptr && address[0] != '\0') {
    const std::optional<std::uint32_t> found = ResolveIpv4(address);
    if (!found) {
      WSASetLastError(WSAHOST_NOT_FOUND);
      return kNoSocket;
    }
    local.sin_addr.s_addr = *found;
  }
  const ::SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == kNoSystemSocket) return kNoSocket;
  // Exclusive: on Windows a plain SO_REUSEADDR would let another program
  // take over the port.  Non-blocking, so that an accept after select never
  // blocks on a client that went away again.
  const BOOL one = TRUE;
  u_long non_blocking = 1;
  if (setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
                 sizeof one) != 0 ||
      bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(s, SOMAXCONN) != 0 || ioctlsocket(s, FIONBIO, &non_blocking) != 0) {
    const int error = WSAGetLastError();
    ::closesocket(s);
    WSASetLastError(error);
    return kNoSocket;
  }
  return FromSocket(s);
}

std::uint16_t TcpLocalPort(SOCKET s) {
  sockaddr_in local{};
  int size = sizeof local;
  if (getsockname(ToSocket(s), reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET)
    return 0;
  return ::ntohs(local.sin_port);
}

SOCKET TcpAccept(SOCKET listener, DWORD timeout_ms) {
  const ::SOCKET s = ToSocket(listener);
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    timeval wait{};
    timeval* limit = nullptr;
    if (timeout_ms != kInfinite) {
      const ULONGLONG spent = GetTickCount64() - start;
      const ULONGLONG left = spent >= timeout_ms ? 0 : timeout_ms - spent;
      wait.tv_sec = static_cast<long>(left / 1000);
      wait.tv_usec = static_cast<long>((left % 1000) * 1000);
      limit = &wait;
    }
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(s, &ready);
    const int selected = select(0, &ready, nullptr, nullptr, limit);
    if (selected == SOCKET_ERROR) return kNoSocket;
    if (selected > 0) {
      const ::SOCKET client = accept(s, nullptr, nullptr);
      if (client != kNoSystemSocket) {
        // An accepted socket takes the listener's non-blocking mode; the
        // links read and write blocking.
        u_long blocking = 0;
        ioctlsocket(client, FIONBIO, &blocking);
        SetNoDelay(client);
        return FromSocket(client);
      }
      const int error = WSAGetLastError();
      if (error != WSAEWOULDBLOCK && error != WSAECONNRESET && error != WSAEINTR)
        return kNoSocket;
    }
    if (timeout_ms != kInfinite && GetTickCount64() - start >= timeout_ms) {
      ::SetLastError(WAIT_TIMEOUT);
      return kNoSocket;
    }
  }
}

int TcpShutdown(SOCKET s) {
  if (::shutdown(ToSocket(s), SD_BOTH) != 0) return SOCKET_ERROR;
  // A receive blocked on the socket is not always woken by the shutdown
  // alone; cancelling it is.
  CancelIoEx(reinterpret_cast<HANDLE>(ToSocket(s)), nullptr);
  return 0;
}

}  // namespace win
