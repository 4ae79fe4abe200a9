// fuzz_support.h - what the fuzz targets share: a private platform root, a
// byte reader over the input, and a client link whose far end sent it.
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

#include "core/core.h"
#include "platform/platform.h"
#include "platform/posix/handles.h"

namespace fz {

// A fresh root for the whole run, on the memory file system where there is
// one (most inputs create and remove files).  libFuzzer ends with _exit, so
// the small folder named after the target is left behind.
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

// Makes `relative` (like "/drive/c/x") and the folders above it under the root.
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

// A property every input must keep; a finding when it does not.
inline void Check(bool holds) {
  if (!holds) std::abort();
}

// Bytes off the front of the input; zeros past its end.
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

// A socket pair whose far end has sent `bytes` and ended that direction: no
// peer thread is needed, since what the near end writes waits in the (large)
// buffers.  The near end is the caller's to close.
struct SocketPair {
  int near = -1;  // the end under test
  int far = -1;   // the peer's end
  SocketPair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    near = fds[0];
    far = fds[1];
    const int room = 4 << 20;
    for (int fd : fds) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &room, sizeof room);
  }
  explicit SocketPair(std::span<const std::uint8_t> bytes) : SocketPair() {
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

// The client side of a target: a private root and the request lock.
inline void ClientSetup(const char* target) {
  MakePrivateRoot(target);
  g_request_lock = NewMutex();
}

// g_link on a socket pair whose far end has sent `bytes`, for one scope.
struct ClientLink {
  SocketPair pair;
  Handle link;
  explicit ClientLink(std::span<const std::uint8_t> bytes)
      : pair(bytes), link(PipeHandleOf(pair.near)) {
    g_link = link;
  }
  ~ClientLink() {
    g_link = kInvalidHandle;
    HndClose(link);
  }
};

inline void WriteFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) ||
      std::fclose(f) != 0)
    std::abort();
}

}  // namespace fz
