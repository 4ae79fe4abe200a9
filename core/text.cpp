// text.cpp - QNA_ResultText: the one table of texts for every result code and
// detail value the library produces.
//
// A text is built from up to three parts: the result's text, the detail's text
// when the detail adds something, and "(result R, detail D)".  Everything is
// read from constant tables and written through a bounded writer, so the
// function allocates nothing and is safe from any thread.
#include <algorithm>
#include <cstdint>
#include <span>
#include <string_view>

#include "qnapi_text.h"

namespace {

struct CodeText {
  std::int64_t code;
  std::string_view text;
};

// Results the library returns.  200 to 202 mean one thing in tag access and
// another in the server launcher; they are settled below with the detail.
constexpr CodeText kResults[] = {
    {0, "success"},
    {2, "a mutex wait did not succeed"},
    {6, "bad argument or range"},
    {8, "not enough memory for an event queue request (or a refusal of the server)"},
    {50, "the link to the server is not open, or no connection has that id"},
    {51, "the server could not be reached: data areas or server link not opened"},
    {100, "memory could not be allocated"},
    {101, "writing a request to the server failed"},
    {102, "reading the server's reply failed"},
    {103, "no connection has that id"},
    {200, "the tag file cannot be opened, or (launcher) the server process could not be created"},
    {201, "the tag file is short or damaged, or (launcher) there is no QUONIX.EXE where it was looked for"},
    {202, "no tag file is loaded, or (launcher) a server is running already and nothing was started"},
    {203, "the tag cannot be used"},
    {204, "no tag of that name"},
    {300, "the comment file (or the system comment file) is missing or cannot be opened"},
    {301, "reading, writing or positioning the comment file failed"},
    {302, "no comment file is open"},
    {303, "the comment file cannot be created or written"},
    {304, "the comment file exists already"},
    {305, "bad count, kind or range for the comment file"},
    {400, "an event queue lock or entry could not be made"},
    {401, "no open event queue has that handle"},
    {406, "an event queue lock was not free in time"},
    {408, "reading the event queue's pipe failed"},
    {450, "no event is waiting"},
    {451, "the event's data did not fit the buffer: the event is lost"},
    {452, "the event has data and no buffer was given: the event is lost"},
    {453, "the queue is open on this connection already: its handle is returned"},
    {499, "waiting for an event queue lock failed"},
    {807, "request id 0 is not a request"},
    {9998, "no place was given for the platform value"},
    {9999, "internal failure: a mutex release failed, or an unknown request kind"},
};

// The same numbers in the launcher (QNA_StartQuonix, QNA_StartQuonixHide) and
// in tag access (detail 6000 to 6016).
constexpr CodeText kTagResults[] = {
    {200, "the tag file cannot be opened"},
    {201, "the tag file is short or damaged"},
    {202, "no tag file is loaded"},
};
constexpr std::int64_t kTagDetailFirst = 6000;
constexpr std::int64_t kTagDetailLast = 6016;

// Detail values: wait outcomes, the operating system's error numbers (of a
// pipe open, a lock, the pipe emulation), and the codes of each family, which
// count up in the order of an exchange's steps.
constexpr CodeText kDetails[] = {
    {-1, "the wait or the operation failed"},
    {2, "file or pipe not found (system error 2)"},
    {3, "path not found (system error 3)"},
    {5, "access denied (system error 5)"},
    {6, "invalid handle (system error 6)"},
    {8, "not enough memory (system error 8)"},
    {53, "no such host (system error 53, bad network path)"},
    {84, "no room for another emulated pipe (system error 84)"},
    {87, "invalid parameter (system error 87)"},
    {95, "the mutex was abandoned by a thread or process that ended holding it"},
    {109, "the pipe was closed (system error 109)"},
    {110, "the emulated pipe instance is open already (system error 110)"},
    {121, "the pipe stayed busy (system error 121)"},
    {123, "invalid pipe name (system error 123)"},
    {183, "the object exists already (system error 183)"},
    {206, "name too long (system error 206)"},
    {231, "all pipe instances are busy (system error 231)"},
    {232, "no data in the pipe (system error 232)"},
    {233, "no process at the other end of the pipe (system error 233)"},
    {640, "timed out"},
    // Requests whose reply carries data: remote reads, information blocks.
    {1000, "unknown read request kind"},
    {1001, "no memory for the read request"},
    {1002, "writing the read request failed"},
    {1003, "the read request was written short"},
    {1004, "reading the reply length failed"},
    {1005, "the reply length was read short"},
    {1006, "the reply length is below 8"},
    {1007, "reading the reply's result failed"},
    {1008, "the reply's result was read short"},
    {1009, "reading the reply's data failed"},
    {1010, "the reply's data was read short"},
    // Word and bit writes, application control.
    {1100, "unknown write request kind"},
    {1101, "writing the request failed"},
    {1102, "the request was written short"},
    {1103, "writing the request's data failed"},
    {1104, "the request's data was written short"},
    {1105, "reading the reply length failed"},
    {1106, "the reply length was read short"},
    {1107, "the reply length is not the expected one"},
    {1108, "reading the reply failed"},
    {1109, "the reply was read short"},
    // Mailbox read.
    {2000, "writing the mailbox read request failed"},
    {2001, "the mailbox read request was written short"},
    {2002, "reading the reply length failed"},
    {2003, "the reply length was read short"},
    {2004, "the reply length is below 8"},
    {2005, "reading the reply's result failed"},
    {2006, "the reply's result was read short"},
    {2007, "reading the mailbox words failed"},
    {2008, "the mailbox words were read short"},
    // Mailbox write.
    {2100, "writing the mailbox write request failed"},
    {2101, "the mailbox write request was written short"},
    {2102, "writing the mailbox words failed"},
    {2103, "the mailbox words were written short"},
    {2104, "reading the reply length failed"},
    {2105, "the reply length was read short"},
    {2106, "the reply length is not 8"},
    {2107, "reading the reply's result failed"},
    {2108, "the reply's result was read short"},
    // Message send.
    {3000, "writing the message head failed"},
    {3001, "the message head was written short"},
    {3002, "writing the message body failed"},
    {3003, "the message body was written short"},
    {3004, "reading the reply length failed"},
    {3005, "the reply length was read short"},
    {3006, "the reply length is not 8"},
    {3007, "reading the reply's result failed"},
    {3008, "the reply's result was read short"},
    // Message receive.
    {3100, "writing the receive request failed"},
    {3101, "the receive request was written short"},
    {3102, "reading the reply length failed"},
    {3103, "the reply length was read short"},
    {3104, "the reply length is below 8"},
    {3105, "reading the reply's result failed"},
    {3106, "the reply's result was read short"},
    {3107, "reading the message's header words failed"},
    {3108, "the message's header words were read short"},
    {3109, "reading the message body failed"},
    {3110, "the message body was read short"},
    // Application registration.
    {4000, "writing the registration failed"},
    {4001, "the registration was written short"},
    {4002, "reading the registration reply length failed"},
    {4003, "the registration reply length was read short"},
    {4004, "the registration reply length is below 8"},
    {4005, "reading the registration result failed"},
    {4006, "the registration result was read short"},
    {4007, "reading the area sizes failed"},
    {4008, "the area sizes were read short or are too many"},
    // Masked write.
    {5000, "writing the masked write head failed"},
    {5001, "the masked write head was written short"},
    {5002, "writing the data words failed"},
    {5003, "the data words were written short"},
    {5004, "writing the flag words failed"},
    {5005, "the flag words were written short"},
    {5006, "reading the reply length failed"},
    {5007, "the reply length was read short"},
    {5008, "the reply length is not 8"},
    {5009, "reading the reply's result failed"},
    {5010, "the reply's result was read short"},
    // Loading the tag file.
    {6000, "no tag file for the project, or the drive or project name was refused"},
    {6001, "the header is shorter than 28 bytes"},
    {6002, "no memory for the tag index"},
    {6003, "no memory for the second table"},
    {6004, "the tag index is short, or its counts are wrong"},
    {6005, "the second table is short"},
    // Tag lookup.
    {6010, "QNA_InitRavo has not loaded one"},
    {6011, "it is a system tag name"},
    {6012, "the name is not in the tag file"},
    {6013, "its record class is not 1"},
    {6014, "its attribute bits 2 to 6 are set"},
    {6015, "its address does not start with C or S"},
    {6016, "its address is not B or W and a number"},
    // Event queue open and close.
    {7000, "writing the request failed"},
    {7001, "the request was written short"},
    {7002, "reading the reply length failed"},
    {7003, "the reply length was read short"},
    {7004, "the reply length is below 8"},
    {7005, "reading the reply's result failed"},
    {7006, "the reply's result was read short"},
    {7007, "reading the queue's pipe name failed"},
    {7008, "the queue's pipe name was read short"},
    // Event queue read.
    {8001, "an event record is shorter than 44 bytes"},
    {8002, "the pipe ended inside an event record"},
    {8003, "an event record is longer than any event"},
    // Event queue post.
    {9000, "writing the post request failed"},
    {9001, "the post request was written short"},
    {9002, "reading the reply length failed"},
    {9003, "the reply length was read short"},
    {9004, "the reply length is below 8"},
    {9005, "reading the reply's result failed"},
    {9006, "the reply's result was read short"},
    // Event queue information: counts, a queue's name, the maximum.
    {10000, "writing the queue count request failed"},
    {10001, "the queue count request was written short"},
    {10002, "reading the reply length failed"},
    {10003, "the reply length was read short"},
    {10004, "the reply length is below 8"},
    {10005, "reading the reply's result failed"},
    {10006, "the reply's result was read short"},
    {10007, "reading the count failed"},
    {10008, "the count was read short"},
    {10009, "reading the list of queues failed"},
    {10010, "the list of queues was read short"},
    {10100, "writing the queue name request failed"},
    {10101, "the queue name request was written short"},
    {10102, "reading the reply length failed"},
    {10103, "the reply length was read short"},
    {10104, "the reply length is below 8"},
    {10105, "reading the reply's result failed"},
    {10106, "the reply's result was read short"},
    {10107, "reading the queue's name failed"},
    {10108, "the queue's name was read short"},
    {10200, "writing the maximum request failed"},
    {10201, "the maximum request was written short"},
    {10202, "reading the reply length failed"},
    {10203, "the reply length was read short"},
    {10204, "the reply length is below 8"},
    {10205, "reading the reply's result failed"},
    {10206, "the reply's result was read short"},
    {10207, "reading the maximum failed"},
    {10208, "the maximum was read short"},
};

// Pairs whose meaning reads better as one text than as result and detail.
struct PairText {
  std::uint32_t result;
  std::int64_t detail;
  std::string_view text;
};
constexpr PairText kPairs[] = {
    {2, -1, "a mutex wait failed"},
    {2, 95, "a mutex was abandoned by its owner (taken over, not released)"},
    {2, 640, "a mutex wait timed out"},
    {51, -1, "no server running: the data areas could not be opened"},
    {51, 0, "the server could not be reached: no connection was made (host not found or nothing listening)"},
    {51, 2, "no server running: its pipe was not found"},
    {51, 53, "no such host: no server pipe for that host name"},
    {51, 231, "the server's pipe stayed busy"},
    {9999, -1, "internal failure: releasing a mutex failed"},
    {9999, 1000, "internal failure: unknown read request kind"},
    {9999, 1100, "internal failure: unknown write request kind"},
};

constexpr bool SortedAndUnique(std::span<const CodeText> table) {
  for (std::size_t i = 1; i < table.size(); ++i)
    if (table[i - 1].code >= table[i].code) return false;
  return true;
}
static_assert(SortedAndUnique(kResults), "result texts: sorted, each code once");
static_assert(SortedAndUnique(kDetails), "detail texts: sorted, each code once");

const CodeText* Find(std::span<const CodeText> table, std::int64_t code) {
  const auto it = std::lower_bound(table.begin(), table.end(), code,
                                    [](const CodeText& e, std::int64_t c) { return e.code < c; });
  return it != table.end() && it->code == code ? &*it : nullptr;
}

// Appends to a caller's buffer like snprintf: counts every character, stores
// what fits and leaves room for the terminator.
struct Writer {
  char* buffer;
  std::uint32_t size;
  std::uint32_t length = 0;

  void Add(std::string_view text) {
    for (char c : text) {
      if (buffer != nullptr && length + 1u < size) buffer[length] = c;
      ++length;
    }
  }
  void AddNumber(std::int64_t value) {
    char digits[24];
    int n = 0;
    const bool negative = value < 0;
    std::uint64_t magnitude = negative ? 0u - static_cast<std::uint64_t>(value)
                                       : static_cast<std::uint64_t>(value);
    do {
      digits[n++] = static_cast<char>('0' + magnitude % 10u);
      magnitude /= 10u;
    } while (magnitude != 0u);
    if (negative) Add("-");
    while (n > 0) Add(std::string_view(&digits[--n], 1));
  }
  void Finish() {
    if (buffer != nullptr && size > 0u) buffer[std::min(length, size - 1u)] = '\0';
  }
};

}  // namespace

std::uint32_t QNA_API QNA_ResultText(std::uint32_t result, std::int32_t detail, char* buffer,
                                     std::uint32_t size) {
  Writer out{size > 0u ? buffer : nullptr, size};
  const std::int64_t d = detail;
  const bool tag_detail = d >= kTagDetailFirst && d <= kTagDetailLast;

  const auto pair = std::find_if(std::begin(kPairs), std::end(kPairs), [&](const PairText& p) {
    return p.result == result && p.detail == d;
  });
  if (pair != std::end(kPairs)) {
    out.Add(pair->text);
  } else {
    const CodeText* text = tag_detail ? Find(kTagResults, result) : nullptr;
    if (text == nullptr) text = Find(kResults, result);
    const CodeText* os_error = text == nullptr ? Find(kDetails, result) : nullptr;
    if (text != nullptr) {
      out.Add(text->text);
    } else if (os_error != nullptr && result < 1000u) {
      // QNA_OpenEvQueue returns the system's error when the queue's pipe
      // cannot be connected; a server may use the same number for its own.
      out.Add("the server's own result, or the queue's pipe could not be connected: ");
      out.Add(os_error->text);
    } else {
      out.Add("the server's own result (not a code of the library)");
    }
    // A detail equal to the result is what the remote reads leave after a
    // failed request: it adds nothing.
    const CodeText* detail_text =
        d != 0 && d != static_cast<std::int64_t>(result) ? Find(kDetails, d) : nullptr;
    if (detail_text != nullptr) {
      out.Add(": ");
      out.Add(detail_text->text);
    }
  }
  out.Add(" (result ");
  out.AddNumber(result);
  out.Add(", detail ");
  out.AddNumber(d);
  out.Add(")");
  out.Finish();
  return out.length;
}
