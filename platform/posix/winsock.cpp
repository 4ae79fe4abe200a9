// winsock.cpp - Windows Sockets 1.1 over BSD sockets (IPv4 stream sockets
// only, which is all the library asks for), plus the server side the
// stand-in server needs.
//
// A SOCKET is the descriptor itself, but never 0, 1 or 2: the library keeps 0
// or -1 in a socket field that holds no socket and hands that field to
// closesocket when it cleans up, which must not close the process's standard
// input.  New descriptors that land there are moved up, and every call
// refuses them.
//
// Errors are Windows Sockets numbers behind win::GetLastError().  No send
// ever raises SIGPIPE.  Connected and accepted sockets have TCP_NODELAY set:
// a request goes out in two pieces, and Nagle's algorithm would hold the
// second one back until the first is acknowledged.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/resolve.h"

namespace {

using win::DWORD;
using win::SOCKET;
using Clock = std::chrono::steady_clock;

// Windows Sockets error numbers.
constexpr DWORD kWsaEbadf = 10009;
constexpr DWORD kWsaEfault = 10014;
constexpr DWORD kWsaEinval = 10022;
constexpr DWORD kWsaEmfile = 10024;
constexpr DWORD kWsaEwouldblock = 10035;
constexpr DWORD kWsaEinprogress = 10036;
constexpr DWORD kWsaEnotsock = 10038;
constexpr DWORD kWsaEprotonosupport = 10043;
constexpr DWORD kWsaEsocktnosupport = 10044;
constexpr DWORD kWsaEopnotsupp = 10045;
constexpr DWORD kWsaEafnosupport = 10047;
constexpr DWORD kWsaEaddrinuse = 10048;
constexpr DWORD kWsaEaddrnotavail = 10049;
constexpr DWORD kWsaEnetdown = 10050;
constexpr DWORD kWsaEnetunreach = 10051;
constexpr DWORD kWsaEconnaborted = 10053;
constexpr DWORD kWsaEconnreset = 10054;
constexpr DWORD kWsaEnobufs = 10055;
constexpr DWORD kWsaEisconn = 10056;
constexpr DWORD kWsaEnotconn = 10057;
constexpr DWORD kWsaEshutdown = 10058;
constexpr DWORD kWsaEtimedout = 10060;
constexpr DWORD kWsaEconnrefused = 10061;
constexpr DWORD kWsaEhostunreach = 10065;
constexpr DWORD kWsaHostNotFound = 11001;

struct ErrnoToWsa {
  int error;
  DWORD wsa;
};
constexpr ErrnoToWsa kErrors[] = {
    {EBADF, kWsaEbadf},
    {EFAULT, kWsaEfault},
    {EINVAL, kWsaEinval},
    {EMFILE, kWsaEmfile},
    {ENFILE, kWsaEmfile},
    {EAGAIN, kWsaEwouldblock},
    {EINPROGRESS, kWsaEinprogress},
    {EALREADY, kWsaEinprogress},
    {ENOTSOCK, kWsaEnotsock},
    {EPROTONOSUPPORT, kWsaEprotonosupport},
    {ESOCKTNOSUPPORT, kWsaEsocktnosupport},
    {EOPNOTSUPP, kWsaEopnotsupp},
    {EAFNOSUPPORT, kWsaEafnosupport},
    {EADDRINUSE, kWsaEaddrinuse},
    {EADDRNOTAVAIL, kWsaEaddrnotavail},
    {ENETDOWN, kWsaEnetdown},
    {ENETUNREACH, kWsaEnetunreach},
    {ECONNABORTED, kWsaEconnaborted},
    {ECONNRESET, kWsaEconnreset},
    {EPIPE, kWsaEconnreset},  // the peer is gone
    {ENOBUFS, kWsaEnobufs},
    {ENOMEM, kWsaEnobufs},
    {EISCONN, kWsaEisconn},
    {ENOTCONN, kWsaEnotconn},
    {ESHUTDOWN, kWsaEshutdown},
    {ETIMEDOUT, kWsaEtimedout},
    {ECONNREFUSED, kWsaEconnrefused},
    {EHOSTUNREACH, kWsaEhostunreach},
};

void SetSocketError(int error) {
  for (const auto& row : kErrors) {
    if (row.error == error) {
      win::SetLastError(row.wsa);
      return;
    }
  }
  win::SetLastError(kWsaEinval);
}

constexpr std::uint16_t Swap16(std::uint16_t value) {
  return static_cast<std::uint16_t>(((value & 0xFFu) << 8) | (value >> 8));
}
constexpr std::uint16_t NetOrder16(std::uint16_t value) {
  return std::endian::native == std::endian::little ? Swap16(value) : value;
}

// The descriptor behind a SOCKET, or -1 (WSAENOTSOCK) for values that are
// not ours to act on (see the top of the file).
int Descriptor(SOCKET s) {
  if (s <= 2 || s > INT_MAX) {
    win::SetLastError(kWsaEnotsock);
    return -1;
  }
  return static_cast<int>(s);
}

// Takes a new descriptor and keeps it away from 0, 1 and 2.
SOCKET Adopt(int fd) {
  if (fd < 0) {
    SetSocketError(errno);
    return win::INVALID_SOCKET;
  }
  if (fd <= 2) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int error = errno;
    close(fd);
    if (moved < 0) {
      SetSocketError(error);
      return win::INVALID_SOCKET;
    }
    fd = moved;
  }
  return fd;
}

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // a speed-up only
}

// The Windows Sockets flags of send and recv (MSG_OOB 1, MSG_PEEK 2,
// MSG_DONTROUTE 4) as the local ones; nullopt for any other bit.
std::optional<int> SocketFlags(int flags) {
  if ((flags & ~7) != 0) return std::nullopt;
  return ((flags & 1) != 0 ? MSG_OOB : 0) | ((flags & 2) != 0 ? MSG_PEEK : 0) |
         ((flags & 4) != 0 ? MSG_DONTROUTE : 0);
}

// What gethostbyname hands out: one entry per thread, valid until that
// thread's next call, as with Windows Sockets.
struct HostEntry {
  win::HOSTENT entry{};
  std::string name;
  std::vector<std::array<char, 4>> addresses;
  std::vector<char*> address_list;
  char* aliases[1] = {nullptr};
};
thread_local HostEntry t_host;

}  // namespace

namespace win {

int WSAStartup(WORD, WSADATA* data) {
  if (data != nullptr) {
    *data = {};
    data->wVersion = 0x0101;
    data->wHighVersion = 0x0101;
    std::strcpy(data->szDescription, "QNAPI sockets over BSD sockets");
    std::strcpy(data->szSystemStatus, "Running");
  }
  return 0;
}

SOCKET socket(int family, int type, int protocol) {
  if (family != AF_INET_) {
    SetLastError(kWsaEafnosupport);
    return INVALID_SOCKET;
  }
  if (type != SOCK_STREAM_) {
    SetLastError(kWsaEsocktnosupport);
    return INVALID_SOCKET;
  }
  if (protocol != 0 && protocol != IPPROTO_TCP) {
    SetLastError(kWsaEprotonosupport);
    return INVALID_SOCKET;
  }
  return Adopt(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, protocol));
}

HOSTENT* gethostbyname(const char* name) {
  if (name == nullptr) {
    SetLastError(kWsaEfault);
    return nullptr;
  }
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* found = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &found) != 0 || found == nullptr) {
    SetLastError(kWsaHostNotFound);
    return nullptr;
  }
  HostEntry& host = t_host;
  host.name = found->ai_canonname != nullptr ? found->ai_canonname : name;
  host.addresses.clear();
  for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
    std::array<char, 4> address{};
    std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr,
                address.size());
    // getaddrinfo lists an address once per socket type it could serve.
    bool seen = false;
    for (const auto& known : host.addresses) seen = seen || known == address;
    if (!seen) host.addresses.push_back(address);
  }
  freeaddrinfo(found);
  if (host.addresses.empty()) {
    SetLastError(kWsaHostNotFound);
    return nullptr;
  }
  host.address_list.clear();
  for (auto& address : host.addresses) host.address_list.push_back(address.data());
  host.address_list.push_back(nullptr);
  host.entry.h_name = host.name.data();
  host.entry.h_aliases = host.aliases;
  host.entry.h_addrtype = AF_INET_;
  host.entry.h_length = 4;
  host.entry.h_addr_list = host.address_list.data();
  return &host.entry;
}

std::uint16_t (htons)(std::uint16_t value) { return NetOrder16(value); }

int connect(SOCKET s, const SOCKADDR_IN* address, int length) {
  const int fd = Descriptor(s);
  if (fd < 0) return SOCKET_ERROR;
  if (address == nullptr || length != static_cast<int>(sizeof(SOCKADDR_IN))) {
    SetLastError(kWsaEfault);
    return SOCKET_ERROR;
  }
  if (address->sin_family != AF_INET_) {
    SetLastError(kWsaEafnosupport);
    return SOCKET_ERROR;
  }
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = address->sin_port;
  target.sin_addr.s_addr = address->sin_addr;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0) {
    if (errno != EINTR) {
      SetSocketError(errno);
      return SOCKET_ERROR;
    }
    // Interrupted: the connection goes on in the background; wait for its
    // outcome instead of reporting a failure that did not happen.
    pollfd done{fd, POLLOUT, 0};
    while (poll(&done, 1, -1) < 0) {
      if (errno != EINTR) {
        SetSocketError(errno);
        return SOCKET_ERROR;
      }
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    if (error != 0) {
      SetSocketError(error);
      return SOCKET_ERROR;
    }
  }
  SetNoDelay(fd);
  return 0;
}

int send(SOCKET s, const char* buffer, int length, int flags) {
  const int fd = Descriptor(s);
  if (fd < 0) return SOCKET_ERROR;
  const auto local_flags = SocketFlags(flags);
  if (!local_flags) {
    SetLastError(kWsaEopnotsupp);
    return SOCKET_ERROR;
  }
  if (length < 0 || (buffer == nullptr && length > 0)) {
    SetLastError(kWsaEfault);
    return SOCKET_ERROR;
  }
  ssize_t sent;
  do {
    sent = ::send(fd, buffer, static_cast<std::size_t>(length), *local_flags | MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) {
    SetSocketError(errno);
    return SOCKET_ERROR;
  }
  return static_cast<int>(sent);
}

int recv(SOCKET s, char* buffer, int length, int flags) {
  const int fd = Descriptor(s);
  if (fd < 0) return SOCKET_ERROR;
  const auto local_flags = SocketFlags(flags);
  if (!local_flags) {
    SetLastError(kWsaEopnotsupp);
    return SOCKET_ERROR;
  }
  if (length < 0 || (buffer == nullptr && length > 0)) {
    SetLastError(kWsaEfault);
    return SOCKET_ERROR;
  }
  ssize_t got;
  do {
    got = ::recv(fd, buffer, static_cast<std::size_t>(length), *local_flags);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    SetSocketError(errno);
    return SOCKET_ERROR;
  }
  return static_cast<int>(got);
}

int closesocket(SOCKET s) {
  const int fd = Descriptor(s);
  if (fd < 0) return SOCKET_ERROR;
  // Only sockets: a stray value must not close some file of the application.
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) {
    SetLastError(kWsaEnotsock);
    return SOCKET_ERROR;
  }
  // On Linux the descriptor is gone even when close reports EINTR.
  if (close(fd) != 0 && errno != EINTR) {
    SetSocketError(errno);
    return SOCKET_ERROR;
  }
  return 0;
}

SOCKET TcpListen(const char* address, std::uint16_t port) {
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = NetOrder16(port);
  local.sin_addr.s_addr = INADDR_ANY;  // no address: every interface
  if (address != nullptr && address[0] != '\0') {
    const std::optional<std::uint32_t> found = ResolveIpv4(address);
    if (!found) {
      SetLastError(kWsaHostNotFound);
      return INVALID_SOCKET;
    }
    local.sin_addr.s_addr = *found;
  }
  // Non-blocking, so that an accept after poll never blocks on a client that
  // another thread took or that went away again.
  const SOCKET s = Adopt(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (s == INVALID_SOCKET) return INVALID_SOCKET;
  const int fd = static_cast<int>(s);
  const int one = 1;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    const int error = errno;
    close(fd);
    SetSocketError(error);
    return INVALID_SOCKET;
  }
  return s;
}

std::uint16_t TcpLocalPort(SOCKET s) {
  const int fd = Descriptor(s);
  if (fd < 0) return 0;
  sockaddr_in local{};
  socklen_t size = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 ||
      local.sin_family != AF_INET) {
    SetSocketError(errno);
    return 0;
  }
  return NetOrder16(local.sin_port);  // the swap is its own inverse
}

SOCKET TcpAccept(SOCKET listener, DWORD timeout_ms) {
  const int fd = Descriptor(listener);
  if (fd < 0) return INVALID_SOCKET;
  std::optional<Clock::time_point> deadline;
  if (timeout_ms != kInfinite) deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    int wait = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
      wait = left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count(), INT_MAX));
    }
    pollfd ready{fd, POLLIN, 0};
    const int polled = poll(&ready, 1, wait);
    if (polled < 0 && errno != EINTR) {
      SetSocketError(errno);
      return INVALID_SOCKET;
    }
    if (polled > 0) {
      const int client = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (client >= 0) {
        const SOCKET s = Adopt(client);
        if (s != INVALID_SOCKET) SetNoDelay(static_cast<int>(s));
        return s;
      }
      if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
        SetSocketError(errno);
        return INVALID_SOCKET;
      }
    }
    if (deadline && Clock::now() >= *deadline) {
      SetLastError(WAIT_TIMEOUT);
      return INVALID_SOCKET;
    }
  }
}

int TcpShutdown(SOCKET s) {
  const int fd = Descriptor(s);
  if (fd < 0) return SOCKET_ERROR;
  if (::shutdown(fd, SHUT_RDWR) != 0) {
    SetSocketError(errno);
    return SOCKET_ERROR;
  }
  return 0;
}

}  // namespace win
