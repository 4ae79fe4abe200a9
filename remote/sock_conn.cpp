// sock_conn.cpp - connections to a server over TCP: the registration over
// the socket, QNA_OpenS and QNA_CloseS.  The socket carries exactly the
// request and reply records of the pipe; it adds no framing of its own.
//
// Lock rules: QNA_OpenS holds the connection table lock for its whole run,
// including the connect attempts, the registration and the one-second pause
// (remote.h).
#include <algorithm>
#include <cstring>

#include "core/core.h"
#include "core/exchange.h"
#include "core/requests.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "remote/remote.h"

std::uint32_t SockRegister(const QNA_CONNPARAM* params, const Link& socket) {
  SetDetail(0);
  QNA_REGREC registration{params->first, params->second, {}};
  std::memcpy(registration.name, params->name, sizeof registration.name);
  Link link = socket;
  return RegisterExchange(link, &registration);
}

namespace {

// The host name ends at its first space, in the caller's record as well: the
// first space among its 16 characters becomes a zero.  false when no
// terminator is left within them: a name longer than 15 characters, which is
// refused rather than cut (a cut name could name another machine).
bool TakeHostName(QNA_CONNPARAM* params, char (&host)[16]) {
  for (char& c : params->host) {
    if (c == ' ') {
      c = '\0';
      break;
    }
  }
  if (strnlen(params->host, sizeof params->host) >= sizeof host) return false;
  std::memcpy(host, params->host, sizeof host);
  return true;
}

// Closes a socket that the record does not hold yet.
void DropSocket(win::SOCKET s) { win::closesocket(s); }

// The steps of the open after the record exists; the caller cleans up after
// a failure.  0, 51, 101, 102 or the server's result.
std::uint32_t OpenTcpConnection(ConnRecord* record, QNA_CONNPARAM* params) {
  if (params->host[0] == '\0') return QNA_E_OPEN;
  // A name that starts with a space is empty once cut: no host either.
  if (!TakeHostName(params, record->host) || record->host[0] == '\0') return QNA_E_OPEN;
  // Not offered where the link is the pipe emulation (the Windows 95 family).
  OsProbe();
  if (g_emulation != 0) return QNA_E_OPEN;
  win::WSADATA data{};
  if (win::WSAStartup(0x0101, &data) != 0) return QNA_E_OPEN;
  const win::SOCKET s = win::socket(win::AF_INET_, win::SOCK_STREAM_, 0);
  if (s == win::INVALID_SOCKET) return QNA_E_OPEN;
  const win::HOSTENT* host = win::gethostbyname(record->host);
  if (host == nullptr || host->h_addr_list == nullptr || host->h_addr_list[0] == nullptr ||
      host->h_length <= 0) {
    DropSocket(s);
    return QNA_E_OPEN;
  }
  win::SOCKADDR_IN address{};
  address.sin_family = win::AF_INET_;
  address.sin_port = win::htons(static_cast<std::uint16_t>(params->port & 0xFFFFu));
  // No more address bytes than the field holds, whatever the entry says.
  std::memcpy(&address.sin_addr, host->h_addr_list[0],
              std::min(sizeof address.sin_addr, static_cast<std::size_t>(host->h_length)));
  bool connected = false;
  for (int attempt = 0; attempt < params->attempts && !connected; ++attempt) {
    connected = win::connect(s, &address, sizeof address) == 0;
    if (!connected) SysSleep(10);
  }
  if (!connected) {
    DropSocket(s);
    return QNA_E_OPEN;
  }
  record->link = Link::OfSocket(s);
  const std::uint32_t registered = SockRegister(params, record->link);
  if (registered != QNA_OK) return registered;
  Handle lock = 0;
  if (MtxCreate(nullptr, &lock, 0) == 0) record->request_lock = lock;
  // The server sets the new client up (its mailbox) after the registration;
  // the client's first requests should find it, as after the local open.
  SysSleep(1000);
  return QNA_OK;
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_OpenS(QNA_CONNPARAM* params, std::uint32_t* id) {
  if (params == nullptr || id == nullptr) {
    SetDetail(0);
    return QNA_E_ARG;
  }
  return ConnOpen(
      ConnKind::Tcp, id, [&](ConnRecord* record) { return OpenTcpConnection(record, params); },
      [] {});
}

void QNA_API QNA_CloseS(std::uint32_t id) { ConnClose(id); }

}  // extern "C"
