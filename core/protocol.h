// protocol.h - the request/reply records on the server link, shared by the
// library and the stand-in server.
//
// Request: u32 length of what follows, u32 command, u32 options, body.
// Reply:   u32 length of what follows (8 + payload), u32 first word, u32 result,
//          payload.  All integers little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace proto {

// Command codes.
inline constexpr std::uint32_t kReadBytes = 100;        // data read, one byte per unit
inline constexpr std::uint32_t kReadWords = 101;        // data read, words
inline constexpr std::uint32_t kMailboxRead = 200;
inline constexpr std::uint32_t kRegister = 100000;
inline constexpr std::uint32_t kWriteBytes = 100100;    // bit write, message send
inline constexpr std::uint32_t kWriteWords = 100101;
inline constexpr std::uint32_t kWriteMasked = 100120;
inline constexpr std::uint32_t kMailboxWrite = 100200;
inline constexpr std::uint32_t kEvQueueOpen = 200100;
inline constexpr std::uint32_t kEvQueueClose = 200101;
inline constexpr std::uint32_t kEvQueuePost = 200102;
inline constexpr std::uint32_t kEvQueueInfoFirst = 200105;
inline constexpr std::uint32_t kEvQueueInfoLast = 200109;
inline constexpr std::uint32_t kAppControlFirst = 300100;
inline constexpr std::uint32_t kAppControlLast = 300104;

inline constexpr std::uint32_t kOptNoReply = 1;  // options bit 0: no reply is read

inline constexpr std::size_t kRequestHead = 12;  // length, command, options
inline constexpr std::size_t kReplyHead = 12;    // length, first word, result

// Largest single transfers the library makes.
inline constexpr std::uint32_t kMaxWordsPerRequest = 16384;
inline constexpr std::uint32_t kMaxBitsPerRequest = 32768;

// Message channels and information blocks use area numbers above the six
// data areas.
inline constexpr std::uint32_t kChannelAreaBase = 100;
inline constexpr std::uint32_t kInfoBlockServer = 1000;  // 448 bytes
inline constexpr std::uint32_t kInfoBlockApps = 1001;    // 512 bytes

// The close handshake word: area 3, word 204.
inline constexpr std::uint32_t kHandshakeArea = 3;
inline constexpr std::uint32_t kHandshakeWord = 204;

// Little-endian field access, independent of the host's byte order.
inline void Put32(std::uint8_t* at, std::uint32_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
  at[2] = static_cast<std::uint8_t>(v >> 16);
  at[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void Put16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v);
  at[1] = static_cast<std::uint8_t>(v >> 8);
}
inline std::uint32_t Get32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}
inline std::uint16_t Get16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | at[1] << 8);
}

// The 8-byte application name field: the first 8 characters, zero-padded,
// unterminated when the name has 8 or more.
inline void PutName8(std::uint8_t* at, const char* name) {
  std::memset(at, 0, 8);
  if (name == nullptr) return;
  for (int i = 0; i < 8 && name[i] != '\0'; ++i) at[i] = static_cast<std::uint8_t>(name[i]);
}

}  // namespace proto
