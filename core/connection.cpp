// connection.cpp - the connection to the local server: QNA_Open, QNA_Close,
// the registration, the operating-system probe and the small services.
//
// Lock rules: QNA_Open and QNA_Close take no lock of their own; the
// application calls them while no other thread uses the library.  The
// registration runs without the request lock (it precedes the lock's
// creation); an application that calls QNA_EntAppName itself keeps its other
// threads off the link meanwhile.
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "core/exchange.h"
#include "core/link.h"
#include "core/protocol.h"
#include "core/requests.h"
#include "platform/platform.h"
#include "qnapi.h"

Handle g_link = kInvalidHandle;
bool g_link_emulated = false;
Handle g_request_lock = 0;

namespace {

// The pipe of the remote connection that QNA_OpenN made the link, and that
// connection's request lock.  Kept apart from g_link so that the association
// lapses by itself once the link is anything else.
Handle g_link_conn_pipe = kInvalidHandle;
Handle g_link_conn_lock = 0;

bool LinkIsConnectionPipe() { return g_link != kInvalidHandle && g_link == g_link_conn_pipe; }

void LinkForget() {
  g_link = kInvalidHandle;
  g_link_emulated = false;
  g_link_conn_pipe = kInvalidHandle;
  g_link_conn_lock = 0;
}

}  // namespace

// The local request functions and the connection's own requests then take
// the same lock, so their exchanges never interleave on the one pipe.
Handle LinkRequestLock() { return LinkIsConnectionPipe() ? g_link_conn_lock : g_request_lock; }

void LinkTakeOver(const Link& pipe, Handle lock) {
  g_link = pipe.pipe;
  g_link_emulated = pipe.kind == LinkKind::Emulated;
  g_link_conn_pipe = pipe.pipe;
  g_link_conn_lock = lock;
}

void LinkDrop(Handle pipe) {
  if (g_link == pipe) LinkForget();
}

LinkState LinkSave() { return {g_link, g_link_emulated, g_link_conn_pipe, g_link_conn_lock}; }

void LinkRestore(const LinkState& state) {
  g_link = state.link;
  g_link_emulated = state.emulated;
  g_link_conn_pipe = state.conn_pipe;
  g_link_conn_lock = state.conn_lock;
}

void OsProbe() {
  win::OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  const std::uint32_t emulation = (win::GetVersionExA(&info) != 0 && info.dwPlatformId == 1) ? 1u : 0u;
  // The remote opens probe again while other threads open links, which read
  // the flag: it is written only when it changes.
  if (g_emulation != emulation) g_emulation = emulation;
}

void LinkPipeName(char* out, std::size_t size) {
  if (QNA_ServerName[0] != '\0') {
    // The setting is a 32-byte field that the application fills; it is read
    // no further than its end even when it holds no terminator.
    const auto length = static_cast<int>(strnlen(QNA_ServerName, sizeof QNA_ServerName));
    std::snprintf(out, size, "\\\\.\\%.*s\\qoxpipe", length, QNA_ServerName);
  } else {
    std::snprintf(out, size, "\\\\.\\pipe\\qoxsmem");
  }
  if (g_emulation != 0) LinkStripLocal(out);
}

namespace {

// Word 204 of area 3 as a locked one-word read; -1 when the read fails.  The
// value is taken as a signed 16-bit number: a server sets the top bit when a
// closing client need not wait.
std::int32_t HandshakeWord() {
  std::uint16_t word = 0;
  if (QNA_Read(proto::kHandshakeArea, proto::kHandshakeWord, 1, &word, 0) != QNA_OK) return -1;
  return static_cast<std::int16_t>(word);
}

// The server sets up the mailbox of a new application a little after its
// registration; the application's first requests should find it.  Polled
// through the mailbox family's exported read, at most 20 times, 50 ms apart.  Result 0
// means the server knows the mailbox; 6 means it refused the range, which
// counts as an answer when the record's first word is 0.
void AwaitMailbox(const QNA_REGREC* record) {
  char name[9] = {};
  std::memcpy(name, record->name, 8);  // the record's name may fill all 8 bytes
  for (int attempt = 0; attempt < 20; ++attempt) {
    SysSleep(50);
    std::uint16_t word = 0;
    const std::uint32_t result = QNA_ReadApp(name, 0, 1, &word);
    if (result == QNA_OK || (result == QNA_E_ARG && record->first == 0)) return;
  }
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_Open(const QNA_REGREC* record) {
  SetDetail(0);
  if (g_link != kInvalidHandle) return QNA_OK;  // connected already: not registered again
  OsProbe();
  // The areas come before the link, so a server that is not running shows here.
  if (AreaOpenAll() != 0) {
    QNA_Close();
    SetDetail(-1);
    return QNA_E_OPEN;
  }
  char name[64];
  LinkPipeName(name, sizeof name);
  Link pipe;
  const std::uint32_t error = LinkOpenPipe(name, PipeOpen::RetryBusy, &pipe);
  if (error != 0) {
    QNA_Close();
    SetDetail(static_cast<std::int32_t>(error));
    return QNA_E_OPEN;
  }
  g_link = pipe.pipe;
  g_link_emulated = pipe.kind == LinkKind::Emulated;
  const std::uint32_t registered = QNA_EntAppName(record);
  if (registered != QNA_OK) {
    // The handshake read of QNA_Close would overwrite the registration's own
    // detail code; the application is better served by knowing why it failed.
    const std::int32_t detail = Detail();
    QNA_Close();
    SetDetail(detail);
    return registered;
  }
  // Without a lock the library still works, for one thread at a time.
  Handle lock = 0;
  if (MtxCreate(nullptr, &lock, 0) == 0) g_request_lock = lock;
  AwaitMailbox(record);
  return QNA_OK;
}

void QNA_API QNA_Close(void) {
  if (LinkIsConnectionPipe()) {
    // The link is a remote connection's pipe (QNA_OpenN): that connection
    // still owns it and closes it with QNA_CloseN.  Closing it here would
    // leave the connection a dead handle, closed a second time later.
    LinkForget();
  } else if (g_link != kInvalidHandle) {
    const std::int32_t before = HandshakeWord();
    LocalLink().Close();
    // No unregistration request exists: the server sees the link close and
    // then changes the handshake word.  Wait for that about one second at
    // most, and go on in any case.
    AwaitHandshake(before, HandshakeWord);
    LinkForget();
  }
  AreaCloseAll();
  if (g_request_lock != 0) {
    HndClose(g_request_lock);
    g_request_lock = 0;
  }
}

std::uint32_t QNA_API QNA_EntAppName(const QNA_REGREC* record) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return RegisterExchange(link, record);
}

std::uint32_t QNA_API QNA_GetOsVersion(std::uint32_t* major, std::uint32_t* minor,
                                       std::uint32_t* build, std::uint32_t* platform) {
  win::OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (win::GetVersionExA(&info) == 0) return QNA_OK;
  if (major != nullptr) *major = info.dwMajorVersion;
  if (minor != nullptr) *minor = info.dwMinorVersion;
  if (build != nullptr) *build = info.dwBuildNumber;
  if (platform == nullptr) return QNA_E_NOPLATFORM;
  // Platform id 0 Win32s, 1 Windows 95/98, 2 NT become 1, 2, 3; others 0.
  *platform = info.dwPlatformId <= 2 ? info.dwPlatformId + 1 : 0;
  return QNA_OK;
}

std::uint32_t QNA_API QNA_Sleep(std::uint32_t ms) {
  SysSleep(ms);
  return QNA_OK;
}

}  // extern "C"
