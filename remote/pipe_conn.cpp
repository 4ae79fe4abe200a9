// pipe_conn.cpp - connections through the pipe of a server: QNA_OpenN and
// QNA_CloseN.  A connection with an empty host name goes to the local server
// and maps the data areas; with a host name it goes to that machine's
// server.  The open makes the connection's pipe the library's link, so the
// local functions afterwards talk to that server.
//
// Lock rules: QNA_OpenN holds the connection table lock for its whole run,
// including the pipe's connect attempts, the registration and the handshake
// wait (remote.h).  From the moment the pipe becomes the link until the
// registration has its reply it also holds the connection's own request
// lock, which is the link's lock from then on: a local request of another
// thread waits instead of writing into the registration.
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "core/link.h"
#include "platform/platform.h"
#include "qnapi.h"
#include "remote/remote.h"

namespace {

// The host name field holds at most 15 characters and its terminator; false
// when the caller's 16 bytes hold no terminator.  A name cut to 15 characters
// could name another machine, so it is refused rather than cut.
bool HostFits(const char (&host)[16]) { return strnlen(host, sizeof host) < sizeof host; }

// Opens the pipe of "\\HOST\pipe\qoxsmem" ("\\.\pipe\qoxsmem" for the local
// server), of the kind the emulation flag says.
std::uint32_t OpenServerPipe(const char* host, Link* pipe) {
  char name[64];
  std::snprintf(name, sizeof name, "\\\\%s\\pipe\\qoxsmem", host[0] != '\0' ? host : ".");
  return LinkOpenPipe(name, PipeOpen::RetryBusy, pipe);
}

// The steps of the open after the record exists; the caller cleans up after
// a failure.  0, 51 or the registration's result.
std::uint32_t OpenPipeConnection(ConnRecord* record, const QNA_CONNPARAM* params) {
  if (!HostFits(params->host)) return QNA_E_OPEN;
  std::memcpy(record->host, params->host, sizeof record->host);
  OsProbe();
  if (record->host[0] == '\0' && g_remote_area_flag == 0) {
    if (AreaOpenAll() != 0) {
      SetDetail(-1);
      return QNA_E_OPEN;
    }
    g_remote_area_flag = 1;
  }
  const std::uint32_t error = OpenServerPipe(record->host, &record->link);
  if (error != 0) {
    SetDetail(static_cast<std::int32_t>(error));
    return QNA_E_OPEN;
  }

  // Made before the pipe becomes the link, so that the link never goes
  // without its lock; a connection whose lock could not be made works
  // unlocked.
  Handle lock = 0;
  if (MtxCreate(nullptr, &lock, 0) == 0) record->request_lock = lock;
  std::int32_t before = -1;
  {
    MutexHold hold(record->request_lock, kInfinite);
    LinkTakeOver(record->link, record->request_lock);
    before = ConnHandshakeWord(record->id);
    QNA_REGREC registration{params->first, params->second, {}};
    std::memcpy(registration.name, params->name, sizeof registration.name);
    const std::uint32_t registered = QNA_EntAppName(&registration);
    if (registered != QNA_OK) return registered;
  }
  // The server changes the word once it has set the new client up.
  AwaitHandshake(before, [record] { return ConnHandshakeWord(record->id); });
  return QNA_OK;
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_OpenN(const QNA_CONNPARAM* params, std::uint32_t* id) {
  if (params == nullptr || id == nullptr) {
    SetDetail(0);
    return QNA_E_ARG;
  }
  // A failed open gives the link back as it was: the local connection (or
  // the connection opened before) goes on as if nothing had happened.  The
  // link is saved under the table lock, which its changes are made under.
  LinkState link{};
  return ConnOpen(
      ConnKind::Pipe, id,
      [&](ConnRecord* record) {
        link = LinkSave();
        return OpenPipeConnection(record, params);
      },
      [&] { LinkRestore(link); });
}

void QNA_API QNA_CloseN(std::uint32_t id) { ConnClose(id); }

}  // extern "C"
