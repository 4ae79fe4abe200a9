// exchange.h - the one request/reply exchange that every family runs, over
// any transport (a Link of any kind, link.h).
//
// A request goes out in one or more pieces, each with one write; the reply is
// u32 length, u32 first word, u32 result, payload (protocol.h).  The detail
// codes of a family count up in the order of the steps:
//
//   for each written piece      failed, short                  -> result 101
//   reply length                failed, short, wrong           -> result 102
//   reply head (word, result)   failed, short                  -> result 102
//   for each payload part       failed, short                  -> result 102
//
// so a family is described by its first code and the number of pieces and
// payload parts (CodesFrom), and its codes read as one table.
//
// Keeping the link in step.  A failed exchange must never hand a later one
// the tail of its own request or reply:
//   * the payload of a reply whose result is not 0, and whatever a reply
//     carries beyond the caller's buffer, is read to its end and dropped;
//   * when the position in the stream is unknown (a write that failed or was
//     short, a read that failed or was short, a length word that cannot
//     begin a reply of the family) the link is cut: every later exchange on
//     it fails at its first write (101) until the application opens it
//     again.
// A wrong length word is not a count of bytes to skip: a server that sends
// one and then nothing, or a stream that has lost its place, would hold the
// caller for good.  ReadLengthWord is the one place that decides this, for
// the replies here and for the event records of a queue's pipe.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>

#include "core/core.h"
#include "core/link.h"
#include "core/protocol.h"
#include "platform/platform.h"

// Word data travels straight between the caller's buffers and the link, which
// is the wire's byte order only on a little-endian host.
static_assert(std::endian::native == std::endian::little, "the wire carries little-endian words");

// A transport moves the bytes of one link (Link, link.h, for every kind;
// the tests' scripted peers):
//   Write    one write; 0 or -1, and the bytes written (possibly fewer);
//   ReadAll  reads exactly the count asked; 0 or -1, and the bytes that came;
//   Cut      ends the link so that every later write and read on it fails;
//   ReadAtLeast (where a reader has it) reads at least `least` and at most
//            `most` bytes, ending as ReadAll ends: lets a length word and the
//            rest of a reply come in one read when they are there together;
//   WaitsForAll (with ReadAtLeast) true when a read waits for every byte
//            asked, so that only bytes certain to come may be asked for.
// A reader has only ReadAll and Cut, and ReadAtLeast where it can.
template <typename T>
concept Reader = requires(T& t, std::uint8_t* in, std::uint32_t n, std::uint32_t* moved) {
  { t.ReadAll(in, n, moved) } -> std::same_as<int>;
  t.Cut();
};
template <typename T>
concept Transport = Reader<T> && requires(T& t, const std::uint8_t* out, std::uint32_t n,
                                          std::uint32_t* moved) {
  { t.Write(out, n, moved) } -> std::same_as<int>;
};

static_assert(Transport<Link>);

inline constexpr std::size_t kMaxPieces = 3;  // masked write: head, data, flags
inline constexpr std::size_t kMaxParts = 2;   // e.g. a message's header words, then its body
// The largest reply length the library reads to its end; a length beyond it
// is taken for a broken link, not for a reply.
inline constexpr std::uint32_t kMaxReplyLength = 16u << 20;
// The most payload bytes that come in the read of a reply's length word
// (RunSteps); a one-word read's reply is then one receive, as its bytes are
// one send.
inline constexpr std::uint32_t kEarlyPayload = 256;

struct StepCodes {
  std::int32_t failed = 0;
  std::int32_t short_read = 0;  // or short write
};

struct ExchangeCodes {
  std::array<StepCodes, kMaxPieces> write{};
  StepCodes length{};
  std::int32_t length_wrong = 0;
  StepCodes head{};
  std::array<StepCodes, kMaxParts> payload{};
};

// The codes of a family that writes `pieces` pieces and reads `parts`
// payload parts, counting up from `first`.
constexpr ExchangeCodes CodesFrom(std::int32_t first, std::size_t pieces, std::size_t parts) {
  ExchangeCodes codes{};
  std::int32_t next = first;
  const auto step = [&next] {
    const StepCodes s{next, next + 1};
    next += 2;
    return s;
  };
  for (std::size_t i = 0; i < pieces; ++i) codes.write[i] = step();
  codes.length = step();
  codes.length_wrong = next++;
  codes.head = step();
  for (std::size_t i = 0; i < parts; ++i) codes.payload[i] = step();
  return codes;
}

// One exchange as a family describes it.
struct Exchange {
  const ExchangeCodes& codes;
  // The pieces of the request, written in order; an empty piece is not
  // written at all (a message without a body).
  std::span<const std::span<const std::uint8_t>> pieces;
  // Options bit 0 of a write-type request: the exchange ends after the writes.
  bool no_reply = false;
  // The reply length demanded: exactly this value (8 for families without
  // payload), or, when 0, at least 8 with a payload.
  std::uint32_t exact_length = 8;
  // Where the payload of a successful reply lands, part after part; each part
  // takes at most its size, and what the reply carries beyond them is dropped.
  std::span<const std::span<std::uint8_t>> payload = {};
};

struct ExchangeResult {
  std::uint32_t result = 0;  // 0, 101, 102 or the server's result
  std::uint32_t payload = 0;  // payload bytes of a successful reply
  std::array<std::uint32_t, kMaxParts> delivered{};  // bytes that landed in each part
};

// The length word that begins a reply or a record, read and tested.
enum class LengthRead { Ok, Failed, Short, Wrong };
struct LengthWord {
  LengthRead how = LengthRead::Ok;
  std::uint32_t value = 0;
};

// Reads the u32 length word into the front of `in` and tests it against
// [least, most].  A read that failed or stopped short, or a length outside
// the range, leaves no known place in the stream: the link is cut at once
// and nothing more is read.
//
// A reader with ReadAtLeast takes what has come of the bytes after the word,
// up to the rest of `in`, in the same read, and `early` says how many that
// was (0 on failure); the word is still tested as soon as it is in, before
// anything more is waited for.  A reader whose reads wait for every byte
// asked (WaitsForAll, the emulated pipe) is asked for no more than every
// reply or record of the range has (least), nor is one that cannot tell.
template <Reader R>
LengthWord ReadLengthWord(R& link, std::uint32_t least, std::uint32_t most,
                          std::span<std::uint8_t> in, std::uint32_t* early) {
  std::uint32_t got = 0;
  int rc = 0;
  if constexpr (requires { link.ReadAtLeast(in.data(), 4u, 4u, &got); }) {
    auto room = static_cast<std::uint32_t>(in.size() - 4);
    bool waits = true;
    if constexpr (requires { link.WaitsForAll(); }) waits = link.WaitsForAll();
    if (waits) room = std::min(room, least);
    rc = link.ReadAtLeast(in.data(), 4, 4 + room, &got);
  } else {
    rc = link.ReadAll(in.data(), 4, &got);
  }
  LengthWord out;
  if (rc != 0) {
    out.how = LengthRead::Failed;
  } else if (got < 4) {
    out.how = LengthRead::Short;
  } else {
    out.value = proto::Get32(in.data());
    if (out.value < least || out.value > most) out.how = LengthRead::Wrong;
  }
  if (out.how != LengthRead::Ok) {
    link.Cut();
    got = 4;
  }
  *early = got - 4;
  return out;
}

// Reads and drops `count` bytes: 0, or the failed (-1) or short (1) read.
template <Reader R>
int DrainBytes(R& link, std::uint32_t count) {
  std::uint8_t sink[4096];
  while (count > 0) {
    const std::uint32_t n = std::min<std::uint32_t>(count, sizeof sink);
    std::uint32_t got = 0;
    if (link.ReadAll(sink, n, &got) != 0) return -1;
    if (got != n) return 1;
    count -= n;
  }
  return 0;
}

namespace exchange_detail {

inline ExchangeResult Failed(std::uint32_t result, std::int32_t detail) {
  SetDetail(detail);
  ExchangeResult failed;
  failed.result = result;
  return failed;
}

}  // namespace exchange_detail

namespace exchange_detail {

template <Transport T>
ExchangeResult RunSteps(T& link, const Exchange& x) {
  const ExchangeCodes& codes = x.codes;
  // A family described beyond what its code table can name is a programming
  // error: refuse it before a byte is written rather than send it.
  if (x.pieces.size() > kMaxPieces || x.payload.size() > kMaxParts ||
      (x.exact_length != 0 && x.exact_length < 8))
    return Failed(QNA_E_INTERNAL, -1);

  for (std::size_t i = 0; i < x.pieces.size(); ++i) {
    const std::span<const std::uint8_t> piece = x.pieces[i];
    if (piece.empty()) continue;
    const auto size = static_cast<std::uint32_t>(piece.size());
    std::uint32_t written = 0;
    const int rc = link.Write(piece.data(), size, &written);
    if (rc != 0 || written != size) {
      link.Cut();  // part of a request is on the link: nothing may follow it
      return Failed(QNA_E_WRITE, rc != 0 ? codes.write[i].failed : codes.write[i].short_read);
    }
  }
  if (x.no_reply) return {};

  // The first word and the result follow the length word of every reply.
  // A reply whose payload fits in kEarlyPayload comes in the read of its
  // length word, as far as it has come: the bytes of the biggest reply the
  // exchange can take are asked for, and a shorter one (a refusal, a reply
  // with less data) is taken by its length word.  A larger payload is read
  // straight into the caller's parts.
  std::size_t capacity = 0;
  for (const std::span<std::uint8_t> part : x.payload) capacity += part.size();
  std::uint32_t bound = x.exact_length != 0 ? x.exact_length
                        : capacity <= kEarlyPayload ? 8 + static_cast<std::uint32_t>(capacity)
                                                    : 8;
  bound = std::min(bound, 8 + kEarlyPayload);
  std::uint8_t in[4 + 8 + kEarlyPayload];
  std::uint32_t early = 0;
  const std::span<std::uint8_t> first{in, 4 + bound};
  const LengthWord word = x.exact_length != 0
                               ? ReadLengthWord(link, x.exact_length, x.exact_length, first, &early)
                               : ReadLengthWord(link, 8, kMaxReplyLength, first, &early);
  switch (word.how) {
    case LengthRead::Ok: break;
    case LengthRead::Failed: return Failed(QNA_E_READ, codes.length.failed);
    case LengthRead::Short: return Failed(QNA_E_READ, codes.length.short_read);
    case LengthRead::Wrong: return Failed(QNA_E_READ, codes.length_wrong);
  }
  const std::uint32_t length = word.value;
  if (early > length) {
    // Bytes beyond the reply came with it: they belong to no request, and
    // where the next reply begins is unknown.  The reply is taken by its
    // length word; later exchanges fail at their first write.
    link.Cut();
    early = length;
  }

  std::uint8_t* const head = in + 4;
  std::uint32_t got = 0;
  int rc = 0;
  if (early < 8) {
    rc = link.ReadAll(head + early, 8 - early, &got);
    if (rc != 0 || got != 8 - early) {
      link.Cut();
      return Failed(QNA_E_READ, rc != 0 ? codes.head.failed : codes.head.short_read);
    }
    early = 8;
  }
  ExchangeResult out;
  out.result = proto::Get32(head + 4);
  std::uint32_t rest = length - 8;  // payload bytes of the reply not yet delivered or dropped
  std::uint32_t ahead = early - 8;  // of which these are in `in` already
  const std::uint8_t* from = head + 8;
  if (out.result != 0) {
    // The caller gets no payload with a refusal; it is read all the same so
    // that the next exchange starts at the next reply.
    if (DrainBytes(link, rest - ahead) != 0) link.Cut();
    return out;
  }

  out.payload = rest;
  StepCodes last = codes.head;
  for (std::size_t i = 0; i < x.payload.size() && rest > 0; ++i) {
    const std::span<std::uint8_t> part = x.payload[i];
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(rest, part.size()));
    last = codes.payload[i];
    if (n == 0) continue;
    const std::uint32_t taken = std::min(n, ahead);
    std::copy_n(from, taken, part.data());
    from += taken;
    ahead -= taken;
    if (taken < n) {
      rc = link.ReadAll(part.data() + taken, n - taken, &got);
      if (rc != 0 || got != n - taken) {
        link.Cut();
        return Failed(QNA_E_READ, rc != 0 ? last.failed : last.short_read);
      }
    }
    out.delivered[i] = n;
    rest -= n;
  }
  // Bytes beyond the caller's buffer are read and dropped, never written past it.
  if (rest > ahead) {
    const int drained = DrainBytes(link, rest - ahead);
    if (drained != 0) {
      link.Cut();
      return Failed(QNA_E_READ, drained < 0 ? last.failed : last.short_read);
    }
  }
  return out;
}

}  // namespace exchange_detail

// Runs one exchange.  The family has already set QNA_InternalErr to 0 and
// made its own tests; on failure this stores the step's code and returns 101
// or 102, else it returns the server's result with QNA_InternalErr left at 0.
// A Link is in use, its pipe held, for the whole exchange.
template <Transport T>
ExchangeResult RunExchange(T& link, const Exchange& x) {
  if constexpr (std::same_as<std::remove_const_t<T>, Link>) {
    LinkInUse in_use(link);
    return exchange_detail::RunSteps(in_use.link(), x);
  } else {
    return exchange_detail::RunSteps(link, x);
  }
}
