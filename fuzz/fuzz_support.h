// fuzz_support.h - what the fuzz targets share: a private platform root, a
// byte reader over the fuzzer's input, and a peer thread that plays the far
// end of a link with the fuzzer's bytes.
#pragma once

#include <poll.h>
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
#include <thread>

#include "platform/platform.h"
#include "platform/posix/handles.h"

namespace fz {

// A fresh root under /tmp for the whole run, so the targets never touch the
// user's own objects or files.  The folder is left behind (libFuzzer ends the
// process with _exit); it is small and named after the target.
inline void MakePrivateRoot(const char* target) {
  std::string pattern = std::string("/tmp/qnapi-fuzz-") + target + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    std::perror("mkdtemp");
    std::abort();
  }
  PlatformSetRoot(pattern);
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

// Writes `bytes` to fd, then ends that direction (the other end reads the
// end of the stream once the bytes are gone), and swallows what comes back
// until the other end closes.  Runs on a thread of its own, so neither end
// waits for the other: the far end's writes never fill up.
inline void PlayPeer(int fd, std::span<const std::uint8_t> bytes) {
  std::size_t sent = 0;
  bool writing = true;
  std::uint8_t sink[4096];
  for (;;) {
    pollfd p{fd, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0};
    if (poll(&p, 1, -1) < 0) continue;
    if (writing && (p.revents & POLLOUT) != 0) {
      const ssize_t n = sent < bytes.size()
                            ? send(fd, bytes.data() + sent, bytes.size() - sent,
                                   MSG_NOSIGNAL | MSG_DONTWAIT)
                            : 0;
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
      if (sent == bytes.size()) {
        shutdown(fd, SHUT_WR);
        writing = false;
      }
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = recv(fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) break;
    }
  }
  close(fd);
}

// A connected pair of stream sockets, both above the standard descriptors.
struct SocketPair {
  int near = -1;  // the end under test
  int far = -1;   // the peer's end
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    near = fds[0];
    far = fds[1];
  }
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
