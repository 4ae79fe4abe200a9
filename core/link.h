// link.h - one link to a server, of the kind chosen when it was opened: the
// server pipe, the Windows 95 family's emulated pipe, or a TCP socket.  Every
// exchange moves its bytes through a Link, whatever the kind; only the opens
// here (and OsProbe) look at the emulation flag.
//
// Lock rules: a Link has no lock of its own.  Whoever runs an exchange on it
// holds the request lock of the connection it belongs to; Cut may come from
// another thread (a close that wakes a blocked read).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

enum class LinkKind : std::uint8_t {
  None,      // not open: every operation fails
  Pipe,      // a real named pipe
  Emulated,  // the pipe emulation of the Windows 95 family
  Socket,    // a TCP connection
  // The link a family of one kind of connection finds in a connection of
  // the other kind: the request fails at its first write, as on a dead link.
  Foreign,
};

// The operations every exchange needs (they make it a Transport, exchange.h):
//   Write        one write; 0 or -1, and the bytes written (possibly fewer);
//   ReadAtLeast  reads at least `least` and at most `most` bytes; a read of
//                nothing (a closed peer) is a failure (109); 0 or -1, and the
//                bytes that came either way;
//   ReadAll      ReadAtLeast of exactly the count;
//   Cut          ends the link so that later writes and reads fail, and wakes
//                a read blocked on it; the handle stays open;
//   Close        closes the handle and leaves the link None.
// A failure leaves the system's error in win::GetLastError().
struct Link {
  LinkKind kind = LinkKind::None;
  Handle pipe = kInvalidHandle;              // Pipe and Emulated
  win::SOCKET socket = win::INVALID_SOCKET;  // Socket
  // The pipe's object while a LinkInUse, a connection or a queue holds it
  // (Pipe only), else nullptr: the reads and writes then skip the handle
  // table.
  void* held = nullptr;

  static Link OfPipe(Handle pipe, bool emulated) {
    return {emulated ? LinkKind::Emulated : LinkKind::Pipe, pipe, win::INVALID_SOCKET};
  }
  static Link OfSocket(win::SOCKET s) { return {LinkKind::Socket, kInvalidHandle, s}; }

  bool IsOpen() const { return kind != LinkKind::None; }
  bool IsPipe() const { return kind == LinkKind::Pipe || kind == LinkKind::Emulated; }

  int Write(const std::uint8_t* data, std::uint32_t size, std::uint32_t* written) const;
  // One read; from a pipe whose writer has gone it may bring 0 bytes.
  int Read(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) const;
  int ReadAtLeast(std::uint8_t* data, std::uint32_t least, std::uint32_t most,
                  std::uint32_t* got) const;
  int ReadAll(std::uint8_t* data, std::uint32_t size, std::uint32_t* got) const {
    return ReadAtLeast(data, size, size, got);
  }
  // The bytes that can be read now without waiting: 0 and the count, -1 on
  // failure, 1 when the kind cannot tell (then a read may wait).
  int Available(std::uint32_t* count) const;
  // The emulation's read waits until it has every byte asked (exchange.h).
  bool WaitsForAll() const { return kind == LinkKind::Emulated; }
  void Cut() const;
  void Close();
};

// A link for the length of one exchange: a real pipe's object is held
// (platform.h), so that the exchange's writes and reads take it from the
// handle table once, not at each call.  Other kinds are used as they are.
// The Link it gives must not outlive it.
class LinkInUse {
 public:
  explicit LinkInUse(const Link& link) : link_(link) {
    if (link_.kind != LinkKind::Pipe || link_.held != nullptr) return;  // held for longer
    object_ = PipeHold(link_.pipe);
    link_.held = object_.get();  // nullptr when the handle is not open: the calls fail on it
  }
  LinkInUse(const LinkInUse&) = delete;
  LinkInUse& operator=(const LinkInUse&) = delete;
  Link& link() { return link_; }

 private:
  Link link_;
  HeldObject object_;
};

// Set by OsProbe on the Windows 95 family: pipes are opened through the
// emulation instead of the system.
extern std::uint32_t g_emulation;

// One read or write on a pipe handle whose kind only the emulation flag
// tells (the handles of tools and tests); NpipeRead (qnapi.h) reads a whole
// record so.  Thin callers of Link.
int PipeRead(Handle pipe, void* buffer, std::uint32_t count, std::uint32_t* read);
int PipeWrite(Handle pipe, const void* buffer, std::uint32_t count, std::uint32_t* written);

// Drops the local machine's "\\." from the front of a pipe name, in place:
// the emulation knows its pipes without it.
void LinkStripLocal(char* name);

// How a real pipe is opened: waiting for a busy server's instance (the
// server pipe), or only when the system says an instance is free (a queue's
// pipe, which its server makes just for this client).
enum class PipeOpen : std::uint8_t { RetryBusy, WaitFree };
// Opens the client end of a pipe by its Win32 name, through the emulation
// when the flag is set (the name then loses its "\\."): 0 and the link, or
// the error.
std::uint32_t LinkOpenPipe(char* name, PipeOpen how, Link* out);

// Polls `word` every 50 ms, 20 times at most, until it differs from `before`
// (a negative `before` means the server will not change it: nothing waits).
// The close and open handshakes of the server pipe.
template <typename Word>
void AwaitHandshake(std::int32_t before, Word&& word) {
  if (before < 0) return;
  for (int attempt = 0; attempt < 20; ++attempt) {
    SysSleep(50);
    if (word() != before) return;
  }
}
