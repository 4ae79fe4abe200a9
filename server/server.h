// server.h - what the families of the stand-in server share: a request as it
// came off a link, the reply it gets, the state of one link, and the result
// codes the server answers with.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace quonix {

// Result codes of the server's replies.  0 and 6 carry the meaning the
// library gives them; the others are this server's own and reach the
// application unchanged.
inline constexpr std::uint32_t kOk = 0;
inline constexpr std::uint32_t kUnknownCommand = 1;  // command not served
inline constexpr std::uint32_t kLockTimeout = 2;     // area mutex not had in time
inline constexpr std::uint32_t kRange = 6;           // range, count or layout refused
inline constexpr std::uint32_t kUnknownApp = 7;      // no mailbox of that name
inline constexpr std::uint32_t kNoRoom = 8;          // mailbox table full

// Largest request the server takes: the length word (the bytes after it) may
// not exceed 1 MiB of data plus a head.  A longer announcement ends the link
// before anything is allocated.  The library splits word and bit transfers
// into requests of at most 32 KiB of data; masked and mailbox writes carry
// what the caller gives, and this cap bounds them.
inline constexpr std::uint32_t kMaxRequestLength = (1u << 20) + 64;
// Largest payload of one reply (data reads, mailbox reads).
inline constexpr std::uint32_t kMaxReplyPayload = 1u << 20;

// One request, whole: the length word has been checked against the cap and
// exactly that many bytes have been read.
struct Request {
  std::uint32_t command = 0;
  std::uint32_t options = 0;
  std::span<const std::uint8_t> body;  // what follows the options word
};

struct Reply {
  std::uint32_t result = kOk;
  // The payload, after `head_room` bytes that a handler may keep free at the
  // front for the reply's head (data reads do): the reply writer then puts
  // the head there and sends the record in one write, without copying a
  // large payload behind it.  Read the payload through Payload().
  std::vector<std::uint8_t> payload;
  std::uint32_t head_room = 0;  // 0, or kReplyHeadRoom
  bool send = true;  // false: a write with options bit 0, the client reads nothing
  std::string refusal;  // why the request was refused, for the log; empty when not
  // Gives back what the request took (a received message) when its reply
  // could not be sent: a client that died while it waited loses nothing.
  std::function<void()> unsent;

  std::span<const std::uint8_t> Payload() const {
    return std::span<const std::uint8_t>(payload).subspan(head_room);
  }
};
// The head of a reply record: length, first word, result.
inline constexpr std::uint32_t kReplyHeadRoom = 12;

// How a link came in; the numbers are those of the information blocks.
enum class LinkKind : std::uint32_t { pipe = 1, host_pipe = 2, tcp = 3, emulated = 4 };

// What the server knows about one link.
struct LinkState {
  std::uint32_t id = 0;
  std::string app;  // application name of the last registration, "" before it
  // Counted by the link's thread, read by any thread that builds an
  // information block.
  std::atomic<std::uint64_t> requests{0};
  LinkKind kind = LinkKind::pipe;
  bool emulated = false;  // came over the emulated pipe (Windows 95 family)
};

// Builds a refusal: the result and a line for the log.
Reply Refuse(std::uint32_t result, std::string why);

// The application name of an 8-byte name field: up to the first NUL, at most
// 8 characters.  Bytes after a terminator are ignored, so a registration
// record with garbage behind a short name still names the same mailbox.
std::string NameOf(const std::uint8_t* field);

// A payload buffer of `size` bytes for a large reply, and its return once the
// reply is written (requests.cpp).  Each link thread keeps the buffer of its
// last reply, so a stream of large reads (16384 words each) reuses one
// buffer instead of allocating and zero-filling a new one for every reply.
// The contents of a taken buffer are unspecified.
std::vector<std::uint8_t> TakeReplyBuffer(std::size_t size);
void GiveBackReplyBuffer(std::vector<std::uint8_t>&& buffer);

// Request handlers, one family per file.  Each checks the body against its
// command's layout and every range before it touches anything.
Reply HandleRegister(const Request& request, LinkState& link);  // registration.cpp
Reply HandleMailboxRead(const Request& request);                // mailboxes.cpp
Reply HandleMailboxWrite(const Request& request);
Reply HandleWrite(const Request& request);                      // writes.cpp
Reply HandleMaskedWrite(const Request& request);
Reply HandleRead(const Request& request);                       // reads.cpp

// Runs one request and gives its reply (requests.cpp).
Reply Dispatch(const Request& request, LinkState& link);

}  // namespace quonix
