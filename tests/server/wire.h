// wire.h - the raw server protocol as the server tests speak it: request
// builders, a client link with bounded reads, and a view of a data area.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/link.h"
#include "core/protocol.h"
#include "platform/platform.h"

namespace wire {

using Bytes = std::vector<std::uint8_t>;
using std::chrono::milliseconds;
constexpr milliseconds kReplyLimit{20000};
constexpr std::uint32_t kNoReply = 0xDEADu;

// Little-endian byte building.
struct Builder {
  Bytes bytes;
  Builder& u32(std::uint32_t v) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 4);
    proto::Put32(bytes.data() + at, v);
    return *this;
  }
  Builder& u16(std::uint16_t v) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 2);
    proto::Put16(bytes.data() + at, v);
    return *this;
  }
  Builder& name(const char* text) {
    const std::size_t at = bytes.size();
    bytes.resize(at + 8);
    proto::PutName8(bytes.data() + at, text);
    return *this;
  }
  Builder& raw(const Bytes& more) {
    bytes.insert(bytes.end(), more.begin(), more.end());
    return *this;
  }
  Builder& words(const std::vector<std::uint16_t>& ws) {
    for (auto w : ws) u16(w);
    return *this;
  }
};

// A whole request record: length, command, options, body.
inline Bytes Record(std::uint32_t command, std::uint32_t options, const Bytes& body) {
  return Builder{}
      .u32(static_cast<std::uint32_t>(8 + body.size()))
      .u32(command)
      .u32(options)
      .raw(body)
      .bytes;
}

inline Bytes Register(const char* name, std::uint32_t first = 0, std::uint32_t second = 0) {
  return Record(proto::kRegister, 0, Builder{}.u32(first).u32(second).name(name).bytes);
}
inline Bytes MailboxRead(const char* name, std::uint32_t index, std::uint32_t count) {
  return Record(proto::kMailboxRead, 0, Builder{}.name(name).u32(index).u32(count).bytes);
}
inline Bytes MailboxWrite(const char* name, std::uint32_t index,
                          const std::vector<std::uint16_t>& data, std::uint32_t options = 0) {
  return Record(proto::kMailboxWrite, options,
                Builder{}.name(name).u32(index).u32(static_cast<std::uint32_t>(data.size()))
                    .words(data).bytes);
}
inline Bytes WordWrite(std::uint32_t area, std::uint32_t offset,
                       const std::vector<std::uint16_t>& data, std::uint32_t options = 0) {
  return Record(proto::kWriteWords, options,
                Builder{}.u32(area).u32(offset).u32(static_cast<std::uint32_t>(data.size()))
                    .words(data).bytes);
}
inline Bytes BitWrite(std::uint32_t area, std::uint32_t bit, const Bytes& bits,
                      std::uint32_t options = 0) {
  return Record(proto::kWriteBytes, options,
                Builder{}.u32(area).u32(bit).u32(static_cast<std::uint32_t>(bits.size()))
                    .raw(bits).bytes);
}
inline Bytes MaskedWrite(std::uint32_t area, std::uint32_t offset,
                         const std::vector<std::uint16_t>& data,
                         const std::vector<std::uint16_t>& flags, std::uint32_t options = 0) {
  return Record(proto::kWriteMasked, options,
                Builder{}.u32(area).u32(offset)
                    .u32(static_cast<std::uint32_t>(data.size() + flags.size()))
                    .words(data).words(flags).bytes);
}
struct Range {
  std::uint32_t area, start, count;
};
inline Bytes DataRead(std::uint32_t command, const std::vector<Range>& ranges,
                      std::uint16_t option = 0) {
  Builder b;
  b.u16(static_cast<std::uint16_t>(ranges.size())).u16(option);
  for (const auto& r : ranges) b.u32(r.area).u32(r.start).u32(r.count);
  return Record(command, 0, b.bytes);
}

struct Reply {
  std::uint32_t length = 0;
  std::uint32_t first = 0;
  std::uint32_t result = 0;
  Bytes payload;
  std::uint16_t word(std::size_t i) const { return proto::Get16(payload.data() + 2 * i); }
  std::uint32_t u32(std::size_t i) const { return proto::Get32(payload.data() + 4 * i); }
};

// ReadReply and Call for any link type with Send and ReadExact.
template <class Self>
struct Calls {
  std::optional<Reply> ReadReply(milliseconds limit = kReplyLimit) {
    auto& self = static_cast<Self&>(*this);
    std::uint8_t head[12];
    if (!self.ReadExact(head, 12, limit)) return std::nullopt;
    Reply reply;
    reply.length = proto::Get32(head);
    reply.first = proto::Get32(head + 4);
    reply.result = proto::Get32(head + 8);
    if (reply.length < 8 || reply.length > (2u << 20)) return std::nullopt;
    reply.payload.resize(reply.length - 8);
    if (!self.ReadExact(reply.payload.data(), reply.payload.size(), limit)) return std::nullopt;
    return reply;
  }
  std::optional<Reply> Call(const Bytes& request) {
    if (!static_cast<Self&>(*this).Send(request)) return std::nullopt;
    return ReadReply();
  }
  // The result its reply carries; kNoReply when none came.
  std::uint32_t Result(const Bytes& request) {
    const auto reply = Call(request);
    return reply ? reply->result : kNoReply;
  }
};

// The client end of one link.  Reads are bounded in time, so a server that
// does not answer fails the test instead of hanging it.
class Link : public Calls<Link> {
 public:
  explicit Link(const std::string& pipe = "\\\\.\\pipe\\qoxsmem") {
    handle_ = win::CreateFileA(pipe.c_str(), win::GENERIC_READ | win::GENERIC_WRITE,
                               win::FILE_SHARE_READ | win::FILE_SHARE_WRITE, nullptr,
                               win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0);
    error_ = handle_ == kInvalidHandle ? win::GetLastError() : 0;
  }
  ~Link() { Close(); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  bool ok() const { return handle_ != kInvalidHandle; }
  win::DWORD error() const { return error_; }
  void Close() {
    if (handle_ != kInvalidHandle) HndClose(handle_);
    handle_ = kInvalidHandle;
  }

  bool Send(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      std::uint32_t put = 0;
      if (PipeWrite(handle_, bytes.data() + done, static_cast<std::uint32_t>(bytes.size() - done),
                    &put) != 0 || put == 0)
        return false;
      done += put;
    }
    return true;
  }

  // Exactly n bytes within `limit`; false when the link broke or time ran out.
  bool ReadExact(std::uint8_t* at, std::size_t n, milliseconds limit = kReplyLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (n > 0) {
      win::DWORD available = 0;
      if (!win::PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr)) return false;
      if (available == 0) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(milliseconds(1));
        continue;
      }
      std::uint32_t got = 0;
      const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(n, available));
      if (PipeRead(handle_, at, want, &got) != 0 || got == 0) return false;
      at += got;
      n -= got;
    }
    return true;
  }

  // True once the server has ended the link (a read fails) within `limit`;
  // bytes that still arrive are dropped.
  bool Ended(milliseconds limit = kReplyLimit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      win::DWORD available = 0;
      if (!win::PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr)) return true;
      if (available > 0) {
        std::uint8_t sink[4096];
        std::uint32_t got = 0;
        if (PipeRead(handle_, sink, std::min<win::DWORD>(available, sizeof sink), &got) != 0)
          return true;
      } else {
        std::this_thread::sleep_for(milliseconds(2));
      }
    }
    return false;
  }

 private:
  Handle handle_ = kInvalidHandle;
  win::DWORD error_ = 0;
};

// Registration of a fresh link of either kind, checked.
template <class AnyLink>
void Registered(AnyLink& link, const char* name) {
  ASSERT_TRUE(link.ok()) << "link open failed, error " << link.error();
  ASSERT_EQ(link.Result(Register(name)), 0u);
}

inline const char* kAreaNames[6] = {"\\sharemem\\qoxmemcb", "\\sharemem\\qoxmemcw",
                                    "\\sharemem\\qoxmemsb", "\\sharemem\\qoxmemsw",
                                    "\\sharemem\\qoxlgp",   "\\sharemem\\qoxtman"};
inline const char* kMutexNames[6] = {"\\sem32\\qoxsemcb", "\\sem32\\qoxsemcw", "\\sem32\\qoxsemsb",
                                     "\\sem32\\qoxsemsw", "\\sem32\\qoxslgp",  "\\sem32\\qoxstman"};

inline bool MappingExists(std::uint32_t area) {
  char name[32];
  std::strcpy(name, kAreaNames[area]);
  void* view = nullptr;
  Handle mapping = 0;
  if (ShmOpen(&view, name, 3, &mapping) != 0) return false;
  ShmClose(view, mapping);
  return true;
}

// One data area as a client maps it; every access holds the area's mutex.
class AreaView {
 public:
  explicit AreaView(std::uint32_t area) {
    char mapping_name[32];
    char mutex_name[32];
    std::strcpy(mapping_name, kAreaNames[area]);
    std::strcpy(mutex_name, kMutexNames[area]);
    if (ShmOpen(&view_, mapping_name, 3, &mapping_) != 0) view_ = nullptr;
    if (MtxOpen(mutex_name, &mutex_) != 0) mutex_ = 0;
  }
  ~AreaView() {
    if (view_ != nullptr) ShmClose(view_, mapping_);
    if (mutex_ != 0) HndClose(mutex_);
  }
  AreaView(const AreaView&) = delete;
  AreaView& operator=(const AreaView&) = delete;

  bool ok() const { return view_ != nullptr && mutex_ != 0; }
  Handle mutex() const { return mutex_; }
  std::uint16_t Get(std::uint32_t word) {
    Locked lock(mutex_);
    return static_cast<std::uint16_t*>(view_)[word];
  }
  void Set(std::uint32_t word, std::uint16_t value) {
    Locked lock(mutex_);
    static_cast<std::uint16_t*>(view_)[word] = value;
  }
  bool Bit(std::uint32_t bit) { return (Get(bit / 16) >> (bit % 16) & 1u) != 0; }

 private:
  struct Locked {
    Handle m;
    explicit Locked(Handle mutex) : m(mutex) {
      EXPECT_EQ(MtxWait(m, 20000), kWaitOk);
    }
    ~Locked() { MtxRelease(m); }
  };
  void* view_ = nullptr;
  Handle mapping_ = 0;
  Handle mutex_ = 0;
};

}  // namespace wire
