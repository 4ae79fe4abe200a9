// install.cpp - the installation files the server lays out: the system
// comment file "C:\quonix\sys\sbswcmnt.bin".
//
// Layout (what the library's QNA_CreateCmnt reads): 32 bytes that readers
// skip (here a title padded with blanks), then 512 comments of 32 bytes,
// blank-padded and unterminated.  Comments 0 to 255 are those of the system
// bits SB 0 to 255 (area 2), comments 256 to 511 those of the system words
// SW 0 to 255 (area 3): the two system blocks of every comment file, in the
// order of the file's name.
//
// The file is made only when it does not exist, so an installation that
// someone edited is kept.  It is written under a name of its own and only
// then given its place, so a client never copies a half-written file; what a
// failed write leaves is removed.
#include "server/install.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "server/errors.h"
#include "server/log.h"

namespace quonix {
namespace {

constexpr const char* kFolders[] = {"C:\\quonix", "C:\\quonix\\sys"};
constexpr const char* kSystemComments = "C:\\quonix\\sys\\sbswcmnt.bin";
constexpr const char* kPartFile = "C:\\quonix\\sys\\sbswcmnt.new";
constexpr std::size_t kCommentSize = 32;
constexpr std::size_t kBlock = 256;
constexpr const char* kTitle = "QUONIX system comments SB SW";

// What this server does with its system words and bits; every other one is
// reserved.
struct Known {
  char area;  // 'B' system bit, 'W' system word
  unsigned number;
  const char* text;
};
constexpr Known kKnown[] = {
    {'W', 204, "SW0204 link close handshake"},
};

// One comment: the text, blank-padded to 32 bytes, no terminator.
void PutComment(unsigned char* at, const char* text) {
  std::memset(at, ' ', kCommentSize);
  std::memcpy(at, text, strnlen(text, kCommentSize));
}

void FillComments(unsigned char* file) {
  PutComment(file, kTitle);
  unsigned char* comments = file + kCommentSize;
  char text[kCommentSize + 1];
  for (unsigned i = 0; i < 2 * kBlock; ++i) {
    const char area = i < kBlock ? 'B' : 'W';
    const unsigned number = i % kBlock;
    std::snprintf(text, sizeof text, "S%c%04u reserved", area, number);
    for (const Known& known : kKnown)
      if (known.area == area && known.number == number) std::snprintf(text, sizeof text, "%s", known.text);
    PutComment(comments + kCommentSize * i, text);
  }
}

bool WriteFile(const char* path, const unsigned char* data, unsigned size) {
  const int fd = win::_open(path, win::O_WRONLY_ | win::O_CREAT_ | win::O_TRUNC_ | win::O_BINARY_, 0600);
  if (fd < 0) return false;
  const bool written = win::_write(fd, data, size) == static_cast<int>(size);
  const bool closed = win::_close(fd) == 0;
  return written && closed;
}

}  // namespace

void InstallSystemFiles() {
  if (win::_access(kSystemComments, 0) == 0) return;
  for (const char* folder : kFolders)
    if (win::_access(folder, 0) != 0) win::_mkdir(folder);

  std::vector<unsigned char> file(kCommentSize * (1 + 2 * kBlock));
  FillComments(file.data());
  const std::string part = win::HostPath(kPartFile);
  const std::string final_path = win::HostPath(kSystemComments);
  if (!WriteFile(kPartFile, file.data(), static_cast<unsigned>(file.size())) ||
      std::rename(part.c_str(), final_path.c_str()) != 0) {
    win::_unlink(kPartFile);
    Log("the system comment file %s could not be written: %s", kSystemComments,
        ErrorText(win::GetLastError()).c_str());
    return;
  }
  Log("wrote the system comment file %s", kSystemComments);
}

}  // namespace quonix
