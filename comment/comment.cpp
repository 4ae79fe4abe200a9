// comment.cpp - the comment file: fixed 32-byte texts for data words, data
// bits and two blocks of system words and bits, in
// "<drive>:\quonix\usr\<user>\smemcmnt.bin".  A new file takes its system
// comments from the installation's "<drive>:\quonix\sys\sbswcmnt.bin".
//
// File layout (u32 little-endian): W, B, S2, S3, then 32 x W word comments,
// 32 x B bit comments, 32 x S2 and 32 x S3 system comments.
//
// Lock rules: g_cmnt_lock guards the descriptor and the header copy for the
// whole of each call; nothing else is taken while it is held.
//
// Mended faults (each has a test in tests/comment/):
//   * A drive letter that is not a letter, or a user name that is empty or
//     holds a separator, a colon or "..", forms no path: QNA_CreateCmnt
//     answers 303 (the file cannot be created), QNA_OpenCmnt 300.  No file
//     outside the user's own folder is ever created, opened or deleted.
//   * A system comment file too short to give 512 comments is found out
//     before the comment file is created, so an existing comment file that
//     the caller asked to overwrite is not lost to a create that cannot
//     succeed (still 303).
//   * Ranges are tested as true sums and positions in 64 bits; a count of 0
//     in range moves nothing and needs no buffer; a null buffer for a count
//     above 0 is refused with 305.
//   * A transfer longer than one read or write call takes is made in pieces,
//     each of which must move every byte.
#include <climits>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "core/paths.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

constexpr const char* kCommentFormat = "%c:\\quonix\\usr\\%s\\smemcmnt.bin";
constexpr const char* kSystemFormat = "%c:\\quonix\\sys\\sbswcmnt.bin";
constexpr std::size_t kMaxPath = 260;  // MAX_PATH

constexpr std::uint32_t kCommentSize = 32;
constexpr std::uint32_t kHeaderSize = 16;
constexpr std::int32_t kMaxWordComments = 32768;
constexpr std::int32_t kMaxBitComments = 16 * 32768;
constexpr std::uint32_t kSystemComments = 256;  // in each of the two system blocks
// The system comment file: 32 bytes that are skipped, then 512 comments.
constexpr long kSystemSkip = 32;
constexpr std::uint32_t kSystemBytes = 2 * kSystemComments * kCommentSize;
// The copy buffer: this much if it can be had, halved while that fails.
constexpr std::size_t kBufferStart = 61440;
// Largest piece handed to one read or write call.
constexpr std::uint32_t kMaxPiece = 1u << 30;

std::mutex g_cmnt_lock;
int g_cmnt_fd = 0;  // above 0: the open comment file
std::uint32_t g_cmnt_header[4] = {};

void CloseComment() {
  if (g_cmnt_fd > 0) win::_close(g_cmnt_fd);
  g_cmnt_fd = 0;
}

// Moves exactly `count` bytes between the file and `data`, in pieces.
bool ReadExact(int fd, std::uint8_t* data, std::uint64_t count) {
  while (count > 0) {
    const auto piece = static_cast<std::uint32_t>(count < kMaxPiece ? count : kMaxPiece);
    if (win::_read(fd, data, piece) != static_cast<int>(piece)) return false;
    data += piece;
    count -= piece;
  }
  return true;
}

bool WriteExact(int fd, const std::uint8_t* data, std::uint64_t count) {
  while (count > 0) {
    const auto piece = static_cast<std::uint32_t>(count < kMaxPiece ? count : kMaxPiece);
    if (win::_write(fd, data, piece) != static_cast<int>(piece)) return false;
    data += piece;
    count -= piece;
  }
  return true;
}

// The copy buffer of the create: as large as memory allows up to 61440
// bytes, halved down to 60; at the last a buffer of 32 bytes of its own, so
// that the create never fails for want of memory.
struct CopyBuffer {
  CopyBuffer() {
    heap.reset(new (std::nothrow) std::uint8_t[size]);
    while (heap == nullptr && size / 2 > kCommentSize) {
      size /= 2;
      heap.reset(new (std::nothrow) std::uint8_t[size]);
    }
    if (heap == nullptr) size = sizeof fallback;
  }
  std::uint8_t* data() { return heap != nullptr ? heap.get() : fallback; }

  std::size_t size = kBufferStart;
  std::unique_ptr<std::uint8_t[]> heap;
  std::uint8_t fallback[kCommentSize];
};

// Writes the new file's header, spaces for every word and bit comment, and
// the 512 system comments from the system file (positioned at byte 32).
bool FillComment(int fd, int system_fd, std::uint32_t words, std::uint32_t bits) {
  CopyBuffer buffer;
  std::uint8_t header[kHeaderSize];
  const std::uint32_t sizes[4] = {words, bits, kSystemComments, kSystemComments};
  for (int i = 0; i < 4; ++i) {
    header[4 * i] = static_cast<std::uint8_t>(sizes[i]);
    header[4 * i + 1] = static_cast<std::uint8_t>(sizes[i] >> 8);
    header[4 * i + 2] = static_cast<std::uint8_t>(sizes[i] >> 16);
    header[4 * i + 3] = static_cast<std::uint8_t>(sizes[i] >> 24);
  }
  if (!WriteExact(fd, header, sizeof header)) return false;

  std::memset(buffer.data(), ' ', buffer.size);
  for (std::uint64_t left = std::uint64_t{kCommentSize} * (words + bits); left > 0;) {
    const std::uint64_t piece = left < buffer.size ? left : buffer.size;
    if (!WriteExact(fd, buffer.data(), piece)) return false;
    left -= piece;
  }
  for (std::uint32_t left = kSystemBytes; left > 0;) {
    const std::uint32_t piece = left < buffer.size ? left : static_cast<std::uint32_t>(buffer.size);
    if (!ReadExact(system_fd, buffer.data(), piece) || !WriteExact(fd, buffer.data(), piece))
      return false;
    left -= piece;
  }
  return true;
}

std::uint32_t CreateComment(char drive, const char* user, std::int32_t words, std::int32_t bits,
                            char system_drive, std::uint32_t overwrite) {
  CloseComment();
  if (words < 0 || bits < 0 || words % 16 != 0 || bits % 16 != 0 || words > kMaxWordComments ||
      bits > kMaxBitComments)
    return QNA_E_CMNT_ARG;
  char path[kMaxPath];
  if (!DriveLetterOk(drive) || !PathNameOk(user) ||
      !FormatPath(path, sizeof path, kCommentFormat, drive, user))
    return QNA_E_CMNT_CREATE;
  if (overwrite == 0 && win::_access(path, 0) == 0) return QNA_E_CMNT_EXISTS;

  char system_path[kMaxPath];
  if (!DriveLetterOk(system_drive) ||
      !FormatPath(system_path, sizeof system_path, kSystemFormat, system_drive) ||
      win::_access(system_path, 0) != 0)
    return QNA_E_CMNT_OPEN;
  const int system_fd = win::_open(system_path, win::O_RDONLY_ | win::O_BINARY_);
  if (system_fd < 0) return QNA_E_CMNT_OPEN;
  const long system_end = win::_lseek(system_fd, 0, 2);
  if (system_end < 0 || win::_lseek(system_fd, kSystemSkip, 0) != kSystemSkip) {
    win::_close(system_fd);
    return QNA_E_CMNT_OPEN;
  }
  if (system_end < kSystemSkip + static_cast<long>(kSystemBytes)) {
    win::_close(system_fd);
    return QNA_E_CMNT_CREATE;
  }

  // The folders, each only when missing; a failure shows at the create.
  char folder[kMaxPath];
  if (FormatPath(folder, sizeof folder, "%c:\\quonix", drive) && win::_access(folder, 0) != 0)
    win::_mkdir(folder);
  if (FormatPath(folder, sizeof folder, "%c:\\quonix\\usr", drive) && win::_access(folder, 0) != 0)
    win::_mkdir(folder);
  if (FormatPath(folder, sizeof folder, "%c:\\quonix\\usr\\%s", drive, user) &&
      win::_access(folder, 0) != 0)
    win::_mkdir(folder);

  const int fd = win::_open(path, win::O_RDWR_ | win::O_CREAT_ | win::O_TRUNC_ | win::O_BINARY_, 0600);
  if (fd <= 0) {
    if (fd == 0) {  // 0 cannot stand for an open file here
      win::_close(fd);
      win::_unlink(path);
    }
    win::_close(system_fd);
    return QNA_E_CMNT_CREATE;
  }
  const bool filled = FillComment(fd, system_fd, static_cast<std::uint32_t>(words),
                                  static_cast<std::uint32_t>(bits));
  win::_close(system_fd);
  if (!filled) {
    // A half-written comment file would read as comments that nobody wrote.
    win::_close(fd);
    win::_unlink(path);
    return QNA_E_CMNT_CREATE;
  }
  g_cmnt_fd = fd;
  g_cmnt_header[0] = static_cast<std::uint32_t>(words);
  g_cmnt_header[1] = static_cast<std::uint32_t>(bits);
  g_cmnt_header[2] = kSystemComments;
  g_cmnt_header[3] = kSystemComments;
  return QNA_OK;
}

// Positions the open file at comment `first` of `kind` after the range
// tests: 0, or the result.
std::uint32_t SeekComment(std::uint32_t kind, std::uint32_t first, std::uint32_t count,
                          const void* buffer) {
  if (g_cmnt_fd <= 0) return QNA_E_CMNT_NOTOPEN;
  if (kind > 3) return QNA_E_CMNT_ARG;
  if (std::uint64_t{first} + count > g_cmnt_header[kind]) return QNA_E_CMNT_ARG;
  if (count > 0 && buffer == nullptr) return QNA_E_CMNT_ARG;
  std::uint64_t at = kHeaderSize;
  for (std::uint32_t k = 0; k < kind; ++k) at += std::uint64_t{kCommentSize} * g_cmnt_header[k];
  at += std::uint64_t{kCommentSize} * first;
  if (at > static_cast<std::uint64_t>(LONG_MAX) ||
      win::_lseek(g_cmnt_fd, static_cast<long>(at), 0) != static_cast<long>(at))
    return QNA_E_CMNT_IO;
  return QNA_OK;
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_CreateCmnt(char drive, const char* user, std::int32_t words,
                                     std::int32_t bits, char system_drive,
                                     std::uint32_t overwrite) {
  std::lock_guard guard(g_cmnt_lock);
  return CreateComment(drive, user, words, bits, system_drive, overwrite);
}

std::uint32_t QNA_API QNA_OpenCmnt(char drive, const char* user, std::uint32_t header[4]) {
  std::lock_guard guard(g_cmnt_lock);
  CloseComment();
  char path[kMaxPath];
  if (!DriveLetterOk(drive) || !PathNameOk(user) ||
      !FormatPath(path, sizeof path, kCommentFormat, drive, user))
    return QNA_E_CMNT_OPEN;
  const int fd = win::_open(path, win::O_RDWR_ | win::O_BINARY_);
  if (fd <= 0) {
    if (fd == 0) win::_close(fd);  // 0 cannot stand for an open file here
    return QNA_E_CMNT_OPEN;
  }
  std::uint8_t raw[kHeaderSize];
  if (!ReadExact(fd, raw, sizeof raw)) {
    win::_close(fd);
    return QNA_E_CMNT_IO;
  }
  g_cmnt_fd = fd;
  for (int i = 0; i < 4; ++i) {
    g_cmnt_header[i] = static_cast<std::uint32_t>(raw[4 * i]) |
                       static_cast<std::uint32_t>(raw[4 * i + 1]) << 8 |
                       static_cast<std::uint32_t>(raw[4 * i + 2]) << 16 |
                       static_cast<std::uint32_t>(raw[4 * i + 3]) << 24;
    if (header != nullptr) header[i] = g_cmnt_header[i];
  }
  return QNA_OK;
}

void QNA_API QNA_CloseCmnt(void) {
  std::lock_guard guard(g_cmnt_lock);
  CloseComment();
}

std::uint32_t QNA_API QNA_GetCmnt(std::uint32_t kind, std::uint32_t first, std::uint32_t count,
                                  void* buffer) {
  std::lock_guard guard(g_cmnt_lock);
  const std::uint32_t placed = SeekComment(kind, first, count, buffer);
  if (placed != QNA_OK || count == 0) return placed;
  return ReadExact(g_cmnt_fd, static_cast<std::uint8_t*>(buffer), std::uint64_t{kCommentSize} * count)
             ? QNA_OK
             : QNA_E_CMNT_IO;
}

std::uint32_t QNA_API QNA_PutCmnt(std::uint32_t kind, std::uint32_t first, std::uint32_t count,
                                  const void* buffer) {
  std::lock_guard guard(g_cmnt_lock);
  const std::uint32_t placed = SeekComment(kind, first, count, buffer);
  if (placed != QNA_OK || count == 0) return placed;
  return WriteExact(g_cmnt_fd, static_cast<const std::uint8_t*>(buffer),
                    std::uint64_t{kCommentSize} * count)
             ? QNA_OK
             : QNA_E_CMNT_IO;
}

}  // extern "C"
