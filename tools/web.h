// web.h - qna web: what a browser or a script may ask of the live view, read
// from a request without a socket (so that tests and the fuzz target run
// the very code that serves), the page's files built into qna, and the
// command itself.
//
// Every request is read here before anything is done for it: its Host (a
// view on loopback answers only to loopback names, so that a web page of
// another site cannot reach it through a DNS name turned to 127.0.0.1), its
// method and path, the Origin of anything but a GET, whether writes are
// allowed, the body's size and JSON, and every range against the area sizes
// the server announced.  What passes is a Parsed call with its arguments
// checked; what does not is an HTTP status with a JSON error.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "qna.h"

namespace qna::web {

// Bounds of what one client may send or be sent.
constexpr std::size_t kMaxBody = 16384;             // bytes of a request body
constexpr std::uint32_t kMaxReadWords = 65536;      // words (or bits) of one GET of an area
constexpr std::uint32_t kViewWords = 256;           // words of one grid page, and of one watched piece
constexpr std::uint32_t kMaxTags = 200;             // tags of one GET of the tag table, or of one view
constexpr std::size_t kMaxText = 4096;              // bytes of a message body or an event's data
constexpr std::size_t kMaxQueueName = 11;           // characters of an event queue's name

// A request as the HTTP library hands it over: the path already
// percent-decoded, the query string not.
struct Request {
  std::string_view method, path, query, body;
  std::string_view host, origin;  // headers; empty when absent
};

// What the view that answers knows of itself.
struct Setting {
  std::uint32_t sizes[6] = {};  // area sizes in words, as the server announced them
  bool writes = false;          // --allow-writes
  bool loopback = true;         // listening on loopback only
};

enum class Call {
  file,         // GET / or a page file
  areas,        // GET /api/areas
  read,         // GET /api/areas/NAME?start=S&count=N[&bits=1]
  write,        // POST /api/areas/NAME/OFFSET[?bits=1] {"value": V}
  tags,         // GET /api/tags[?search=TEXT&start=S&count=N]
  tag_write,    // POST /api/tags/NAME {"value": V}
  info,         // GET /api/info
  queues,       // GET /api/queues
  queue_open,   // POST /api/queues {"queue": N or "any", "name": TEXT}
  queue_close,  // DELETE /api/queues/N
  post,         // POST /api/queues/N/events {"value": V, "data": TEXT}
  message,      // POST /api/messages {"channel": C, "text": TEXT, "type": T, "ref": R, "urgent": B}
  stream,       // GET /api/stream[?area=NAME&start=S&count=N&search=TEXT&tagstart=S&tagcount=N]
};

struct Parsed {
  Call call = Call::file;
  std::string file;                              // file: the page file's name
  std::uint32_t area = 0, start = 0, count = 0;  // read, write (count 1), stream (count 0: no grid)
  bool bits = false;                             // read, write: bits instead of words
  std::int64_t value = 0;                        // write, tag_write, post
  std::string text;                              // tag_write: the tag; queue_open: the name; post, message: the data
  std::string search;                            // tags, stream
  std::uint32_t tag_start = 0, tag_count = 0;    // tags, stream
  std::uint32_t queue = 0;                       // queue_open (QNA_EVQ_ANY for any), queue_close, post
  std::uint32_t channel = 0, type = 0, ref = 0;  // message
  bool urgent = false;
};

// A request refused: the HTTP status and what the JSON error says.
struct Answer {
  int status = 400;
  Refusal refusal;
};

// Reads one request: true with the call, else false with the refusal.
bool ParseRequest(const Request& request, const Setting& setting, Parsed& call, Answer& refused);

// The JSON of an error: {"result": R, "detail": D, "text": T} (result and
// detail null for a refusal of qna's own).
std::string ErrorJson(const Refusal& refusal);

// One of the page's files, built into qna (tools/web/).  Nothing else is
// ever served as a file: no path reaches the file system.
struct Asset {
  std::string_view name, type, bytes;
};
const Asset* FindAsset(std::string_view name);

// An area's number from its name (CB, CW, SB, SW, LGP, TMAN in any case, or
// 0 to 5); false for any other.
bool AreaNumber(std::string_view name, std::uint32_t& area);

}  // namespace qna::web
