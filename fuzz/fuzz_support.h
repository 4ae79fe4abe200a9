// fuzz_support.h - what the fuzz targets share: a private platform root, a
// byte reader over the fuzzer's input, and a link whose far end has sent the
// fuzzer's bytes.
#pragma once

#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "platform/platform.h"
#include "platform/posix/handles.h"

namespace fz {

// A fresh root for the whole run, so the targets never touch the user's own
// objects or files: on the memory file system, where there is one, since
// most inputs create and remove files.  The folder is left behind (libFuzzer
// ends the process with _exit); it is small and named after the target.
inline void MakePrivateRoot(const char* target) {
  for (const char* base : {"/dev/shm", "/tmp"}) {
    std::string pattern = std::string(base) + "/qnapi-fuzz-" + target + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) {
      PlatformSetRoot(pattern);
      return;
    }
  }
  std::perror("mkdtemp");
  std::abort();
}

// Makes the folder `relative` (like "/drive/c/x") and those above it under
// the root; returns its full path.
inline std::string MakeRootFolder(const std::string& relative) {
  const std::string root = PlatformRoot();
  for (std::size_t at = relative.find('/', 1);; at = relative.find('/', at + 1)) {
    mkdir((root + relative.substr(0, at)).c_str(), 0700);
    if (at == std::string::npos) break;
  }
  return root + relative;
}

// A platform pipe handle over a descriptor of ours.
inline Handle PipeHandleOf(int fd) {
  auto object = std::make_shared<posix::Object>(posix::Kind::Pipe);
  object->fd = fd;
  object->name = "fuzz";
  return posix::HandleAdd(std::move(object));
}

inline Handle NewMutex() {
  Handle mutex = 0;
  if (MtxCreate(nullptr, &mutex, 0) != 0) std::abort();
  return mutex;
}

// Takes bytes off the front of the input; past the end it gives zeros.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  std::uint32_t Word() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(Byte()) << (8 * i);
    return v;
  }
  std::span<const std::uint8_t> Rest() const {
    return at_ < size_ ? std::span<const std::uint8_t>(data_ + at_, size_ - at_)
                       : std::span<const std::uint8_t>();
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// A connected pair of stream sockets, both above the standard descriptors,
// with the peer's bytes already on the far end and that direction ended: the
// end under test reads them, then the end of the stream.  No peer thread is
// needed, since what the end under test writes waits in the socket buffers
// (made as large as the system allows) until the far end closes, with the
// pair.  The near end is the caller's to close.
struct SocketPair {
  int near = -1;  // the end under test
  int far = -1;   // the peer's end
  explicit SocketPair(std::span<const std::uint8_t> bytes) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    near = fds[0];
    far = fds[1];
    const int room = 4 << 20;
    for (int fd : fds) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
    for (std::size_t sent = 0; sent < bytes.size();) {
      const ssize_t n = send(far, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) std::abort();
      sent += static_cast<std::size_t>(n);
    }
    shutdown(far, SHUT_WR);
  }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  ~SocketPair() { close(far); }
};

// Writes a whole file; aborts on failure (the harness cannot go on).
inline void WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    std::abort();
  }
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

}  // namespace fz
