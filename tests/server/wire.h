// wire.h - the raw server protocol as the server tests speak it: request
// builders, a client link with bounded reads, and a view of a data area.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/link.h"
#include "core/protocol.h"
#include "platform/platform.h"
#include "support/peer.h"

namespace wire {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kReplyLimit{20000};
constexpr std::uint32_t kNoReply = 0xDEADu;

struct Builder {
  Bytes bytes;
  Builder& u32(std::uint32_t v) {
    bytes.resize(bytes.size() + 4);
    proto::Put32(bytes.data() + bytes.size() - 4, v);
    return *this;
  }
  Builder& u16(std::uint16_t v) {
    bytes.resize(bytes.size() + 2);
    proto::Put16(bytes.data() + bytes.size() - 2, v);
    return *this;
  }
  Builder& name(const char* text) {
    bytes.resize(bytes.size() + 8);
    proto::PutName8(bytes.data() + bytes.size() - 8, text);
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
  return Builder{}.u32(static_cast<std::uint32_t>(8 + body.size())).u32(command).u32(options)
      .raw(body).bytes;
}
inline std::uint32_t Count(std::size_t n) { return static_cast<std::uint32_t>(n); }

inline Bytes Register(const char* name, std::uint32_t first = 0, std::uint32_t second = 0) {
  return Record(proto::kRegister, 0, Builder{}.u32(first).u32(second).name(name).bytes);
}
inline Bytes MailboxRead(const char* name, std::uint32_t index, std::uint32_t count) {
  return Record(proto::kMailboxRead, 0, Builder{}.name(name).u32(index).u32(count).bytes);
}
inline Bytes MailboxWrite(const char* name, std::uint32_t index,
                          const std::vector<std::uint16_t>& data, std::uint32_t options = 0) {
  return Record(proto::kMailboxWrite, options,
                Builder{}.name(name).u32(index).u32(Count(data.size())).words(data).bytes);
}
inline Bytes WordWrite(std::uint32_t area, std::uint32_t offset,
                       const std::vector<std::uint16_t>& data, std::uint32_t options = 0) {
  return Record(proto::kWriteWords, options,
                Builder{}.u32(area).u32(offset).u32(Count(data.size())).words(data).bytes);
}
inline Bytes BitWrite(std::uint32_t area, std::uint32_t bit, const Bytes& bits,
                      std::uint32_t options = 0) {
  return Record(proto::kWriteBytes, options,
                Builder{}.u32(area).u32(bit).u32(Count(bits.size())).raw(bits).bytes);
}
inline Bytes MaskedWrite(std::uint32_t area, std::uint32_t offset,
                         const std::vector<std::uint16_t>& data,
                         const std::vector<std::uint16_t>& flags, std::uint32_t options = 0) {
  return Record(proto::kWriteMasked, options,
                Builder{}.u32(area).u32(offset).u32(Count(data.size() + flags.size()))
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

// The calls of any link whose Some(at, n, end) reads what has come (0: nothing
// yet, -1: the link ended) and whose Send writes everything.
template <class Self>
struct Calls {
  // Exactly n bytes within `limit`; false when the link broke or time ran out.
  bool ReadExact(std::uint8_t* at, std::size_t n, milliseconds limit = kReplyLimit) {
    const auto end = Clock::now() + limit;
    while (n > 0) {
      const long got = static_cast<Self&>(*this).Some(at, n, end);
      if (got < 0 || (got == 0 && Clock::now() >= end)) return false;
      at += got;
      n -= static_cast<std::size_t>(got);
    }
    return true;
  }
  // True once the server has ended the link within `limit`; bytes still
  // coming are dropped.
  bool Ended(milliseconds limit = kReplyLimit) {
    const auto end = Clock::now() + limit;
    std::uint8_t sink[4096];
    for (;;) {
      const long got = static_cast<Self&>(*this).Some(sink, sizeof sink, end);
      if (got < 0) return true;
      if (got == 0 && Clock::now() >= end) return false;
    }
  }
  std::optional<Reply> ReadReply(milliseconds limit = kReplyLimit) {
    std::uint8_t head[12];
    if (!ReadExact(head, 12, limit)) return std::nullopt;
    Reply reply{proto::Get32(head), proto::Get32(head + 4), proto::Get32(head + 8), {}};
    if (reply.length < 8 || reply.length > (2u << 20)) return std::nullopt;
    reply.payload.resize(reply.length - 8);
    if (!ReadExact(reply.payload.data(), reply.payload.size(), limit)) return std::nullopt;
    return reply;
  }
  std::optional<Reply> Call(const Bytes& request) {
    if (!static_cast<Self&>(*this).Send(request)) return std::nullopt;
    return ReadReply();
  }
  std::uint32_t Result(const Bytes& request) {
    const auto reply = Call(request);
    return reply ? reply->result : kNoReply;
  }
};

// The client end of one pipe link.
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
    for (std::size_t done = 0; done < bytes.size();) {
      std::uint32_t put = 0;
      if (PipeWrite(handle_, bytes.data() + done, static_cast<std::uint32_t>(bytes.size() - done),
                    &put) != 0 || put == 0)
        return false;
      done += put;
    }
    return true;
  }
  long Some(std::uint8_t* at, std::size_t n, Clock::time_point) {
    win::DWORD available = 0;
    if (!win::PeekNamedPipe(handle_, nullptr, 0, nullptr, &available, nullptr)) return -1;
    if (available == 0) {
      std::this_thread::sleep_for(milliseconds(1));
      return 0;
    }
    std::uint32_t got = 0;
    const auto want = static_cast<std::uint32_t>(std::min<std::size_t>(n, available));
    return PipeRead(handle_, at, want, &got) != 0 || got == 0 ? -1 : static_cast<long>(got);
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

// One data area as a client maps it; every access holds the area's mutex.
class AreaView {
 public:
  explicit AreaView(std::uint32_t area) {
    char mapping_name[32];
    char mutex_name[32];
    std::strcpy(mapping_name, qt::kAreaNames[area]);
    std::strcpy(mutex_name, qt::kMutexNames[area]);
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

 private:
  struct Locked {
    Handle m;
    explicit Locked(Handle mutex) : m(mutex) { EXPECT_EQ(MtxWait(m, 20000), kWaitOk); }
    ~Locked() { MtxRelease(m); }
  };
  void* view_ = nullptr;
  Handle mapping_ = 0;
  Handle mutex_ = 0;
};

inline bool MappingExists(std::uint32_t area) { return AreaView(area).ok(); }

}  // namespace wire
