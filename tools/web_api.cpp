// web_api.cpp - reading a request of qna web: routes, query, body and
// ranges, and the error JSON.  Nothing here touches a socket, the library or
// a file.
#include <civetweb.h>

#include <algorithm>
#include <cctype>
#include <nlohmann/json.hpp>
#include <vector>

#include "qnapi.h"
#include "web.h"

namespace qna::web {

namespace {

using nlohmann::json;

struct Route {
  std::string_view pattern;  // segments after the first '/'; '*' takes any one
  std::string_view method;
  Call call;
  bool writes;  // changes the server's data: only with --allow-writes
};

constexpr Route kRoutes[] = {
    {"api/areas", "GET", Call::areas, false},
    {"api/areas/*", "GET", Call::read, false},
    {"api/areas/*/*", "POST", Call::write, true},
    {"api/tags", "GET", Call::tags, false},
    {"api/tags/*", "POST", Call::tag_write, true},
    {"api/info", "GET", Call::info, false},
    {"api/queues", "GET", Call::queues, false},
    {"api/queues", "POST", Call::queue_open, false},
    {"api/queues/*", "DELETE", Call::queue_close, false},
    {"api/queues/*/events", "POST", Call::post, true},
    {"api/messages", "POST", Call::message, true},
    {"api/stream", "GET", Call::stream, false},
};

std::vector<std::string_view> Split(std::string_view text) {
  std::vector<std::string_view> parts;
  for (std::size_t at = 0;;) {
    const std::size_t slash = text.find('/', at);
    parts.push_back(text.substr(at, slash == std::string_view::npos ? std::string_view::npos : slash - at));
    if (slash == std::string_view::npos) return parts;
    at = slash + 1;
  }
}

bool Matches(std::string_view pattern, const std::vector<std::string_view>& parts) {
  const std::vector<std::string_view> want = Split(pattern);
  if (want.size() != parts.size()) return false;
  for (std::size_t i = 0; i < want.size(); ++i)
    if (want[i] != "*" && want[i] != parts[i]) return false;
  return true;
}

bool Refuse(Answer& answer, int status, const std::string& text) {
  answer = {status, Refusal::Own(text)};
  return false;
}

// A range refusal carries result 6, as qna's own range checks do.
bool RefuseRange(Answer& answer, const std::string& text) {
  answer = {400, Refusal::Codes(text, QNA_E_ARG, 0)};
  return false;
}

std::string Lower(std::string_view text) {
  std::string s(text);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// The host name of a Host header: "[::1]:8080" gives "[::1]".
std::string_view HostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') return host.substr(0, host.find(']') + 1);
  return host.substr(0, host.find(':'));
}

bool LoopbackName(std::string_view host) {
  const std::string name = Lower(HostName(host));
  if (name == "localhost" || name == "[::1]") return true;
  return name.rfind("127.", 0) == 0 &&
         std::all_of(name.begin(), name.end(), [](char c) { return c == '.' || std::isdigit(static_cast<unsigned char>(c)) != 0; });
}

// A query parameter, percent-decoded: false when it is absent; a value
// longer than any parameter takes refuses the request.
bool Param(std::string_view query, const char* name, std::string& value, bool& too_long) {
  char buffer[512];
  const int n = mg_get_var2(query.data(), query.size(), name, buffer, sizeof buffer, 0);
  too_long = n == -2;
  if (n < 0) return false;
  value.assign(buffer, static_cast<std::size_t>(n));
  return true;
}

bool NumberParam(std::string_view query, const char* name, std::uint32_t& out, Answer& answer) {
  std::string text;
  bool too_long = false;
  if (!Param(query, name, text, too_long)) return !too_long || Refuse(answer, 400, std::string("parameter ") + name + " is too long");
  if (!ParseU32(text, out)) return Refuse(answer, 400, std::string("bad ") + name + " '" + text + "': a number from 0 to 4294967295");
  return true;
}

bool TextParam(std::string_view query, const char* name, std::string& out, Answer& answer) {
  bool too_long = false;
  if (!Param(query, name, out, too_long) && too_long)
    return Refuse(answer, 400, std::string("parameter ") + name + " is too long");
  return true;
}

bool FlagParam(std::string_view query, const char* name, bool& out, Answer& answer) {
  std::string text;
  if (!TextParam(query, name, text, answer)) return false;
  if (text.empty() || text == "0" || text == "false") return true;
  if (text != "1" && text != "true") return Refuse(answer, 400, std::string(name) + " takes 1 or 0");
  out = true;
  return true;
}

// An integer of a JSON value within lo..hi: a number, or a string in qna's
// forms (decimal, 0x hex, negative decimal).
bool Integer(const json& value, std::int64_t lo, std::int64_t hi, std::int64_t& out) {
  if (value.is_number_unsigned()) {
    const auto v = value.get<std::uint64_t>();
    if (v > static_cast<std::uint64_t>(hi)) return false;
    out = static_cast<std::int64_t>(v);
  } else if (value.is_number_integer()) {
    out = value.get<std::int64_t>();
  } else if (value.is_string()) {
    if (!ParseI64(value.get<std::string>(), out)) return false;
  } else {
    return false;
  }
  return out >= lo && out <= hi;
}

// The body as a JSON object.
bool Body(std::string_view text, json& body, Answer& answer) {
  if (text.size() > kMaxBody) return Refuse(answer, 413, "the body is longer than " + std::to_string(kMaxBody) + " bytes");
  body = json::parse(text.begin(), text.end(), nullptr, false);
  if (body.is_discarded() || !body.is_object()) return Refuse(answer, 400, "the body is not a JSON object");
  return true;
}

// Field `name` of a body: absent gives `fallback` (none: it is required).
bool IntegerField(const json& body, const char* name, std::int64_t lo, std::int64_t hi, std::int64_t& out,
                  Answer& answer, const std::int64_t* fallback = nullptr) {
  const auto it = body.find(name);
  if (it == body.end() && fallback != nullptr) {
    out = *fallback;
    return true;
  }
  if (it == body.end()) return Refuse(answer, 400, std::string("the body has no \"") + name + "\"");
  if (!Integer(*it, lo, hi, out))
    return Refuse(answer, 400, std::string("\"") + name + "\" takes a whole number from " + std::to_string(lo) + " to " +
                                   std::to_string(hi));
  return true;
}

bool TextField(const json& body, const char* name, std::size_t most, std::string& out, Answer& answer) {
  const auto it = body.find(name);
  if (it == body.end()) return true;
  if (!it->is_string()) return Refuse(answer, 400, std::string("\"") + name + "\" takes a string");
  out = it->get<std::string>();
  if (out.size() > most) return Refuse(answer, 400, std::string("\"") + name + "\" has more than " + std::to_string(most) + " bytes");
  return true;
}

bool QueueNumber(std::string_view text, std::uint32_t& queue, Answer& answer) {
  if (!ParseU32(std::string(text), queue)) return Refuse(answer, 404, "no queue '" + std::string(text) + "': a queue is a number");
  return true;
}

bool AreaParts(const std::vector<std::string_view>& parts, Parsed& call, Answer& answer) {
  if (!AreaNumber(parts[2], call.area)) return Refuse(answer, 404, "no area '" + std::string(parts[2]) + "': CB, CW, SB, SW, LGP or TMAN");
  return true;
}

// The arguments of each call, once its route is known.
bool Arguments(const Request& request, const Setting& setting, const std::vector<std::string_view>& parts,
               Parsed& call, Answer& answer) {
  json body;
  std::int64_t value = 0;
  const std::int64_t zero = 0;
  switch (call.call) {
    case Call::file:
    case Call::areas:
    case Call::info:
    case Call::queues:
      return true;
    case Call::read: {
      if (!AreaParts(parts, call, answer)) return false;
      call.count = 1;
      if (!NumberParam(request.query, "start", call.start, answer) || !NumberParam(request.query, "count", call.count, answer) ||
          !FlagParam(request.query, "bits", call.bits, answer))
        return false;
      if (call.count > kMaxReadWords)
        return RefuseRange(answer, "count " + std::to_string(call.count) + " is more than one read gives (" +
                                       std::to_string(kMaxReadWords) + ")");
      break;
    }
    case Call::write: {
      if (!AreaParts(parts, call, answer) || !FlagParam(request.query, "bits", call.bits, answer)) return false;
      if (!ParseU32(std::string(parts[3]), call.start))
        return Refuse(answer, 404, "no offset '" + std::string(parts[3]) + "': an offset is a number");
      call.count = 1;
      if (!Body(request.body, body, answer)) return false;
      if (call.bits) {
        const auto it = body.find("value");
        if (it != body.end() && it->is_boolean()) {
          call.value = it->get<bool>() ? 1 : 0;
          break;
        }
        if (!IntegerField(body, "value", 0, 1, call.value, answer)) return false;
        break;
      }
      // A word as qna write takes it: 0 to 65535, -32768 to -1, or 0x hex.
      if (!IntegerField(body, "value", -32768, 65535, call.value, answer)) return false;
      break;
    }
    case Call::tags:
    case Call::stream: {
      call.tag_count = call.call == Call::tags ? kMaxTags : 0;
      const char* start = call.call == Call::tags ? "start" : "tagstart";
      const char* count = call.call == Call::tags ? "count" : "tagcount";
      if (!TextParam(request.query, "search", call.search, answer) ||
          !NumberParam(request.query, start, call.tag_start, answer) ||
          !NumberParam(request.query, count, call.tag_count, answer))
        return false;
      if (call.tag_count > kMaxTags)
        return Refuse(answer, 400, std::string(count) + " is at most " + std::to_string(kMaxTags));
      if (call.call == Call::tags) return true;
      std::string area;
      if (!TextParam(request.query, "area", area, answer)) return false;
      if (area.empty()) return true;
      if (!AreaNumber(area, call.area)) return Refuse(answer, 404, "no area '" + area + "': CB, CW, SB, SW, LGP or TMAN");
      call.count = kViewWords;
      if (!NumberParam(request.query, "start", call.start, answer) || !NumberParam(request.query, "count", call.count, answer))
        return false;
      if (call.count > kViewWords)
        return RefuseRange(answer, "a view shows at most " + std::to_string(kViewWords) + " words");
      break;
    }
    case Call::tag_write:
      call.text = std::string(parts[2]);
      if (call.text.empty() || call.text.size() > 63) return Refuse(answer, 404, "a tag name has 1 to 14 characters");
      return Body(request.body, body, answer) &&
             IntegerField(body, "value", -2147483648LL, 4294967295LL, call.value, answer);
    case Call::queue_open: {
      if (!Body(request.body, body, answer) || !TextField(body, "name", kMaxQueueName, call.text, answer)) return false;
      const auto it = body.find("queue");
      if (it == body.end() || (it->is_string() && *it == "any")) {
        call.queue = QNA_EVQ_ANY;
        return true;
      }
      if (!IntegerField(body, "queue", 0, 0xFFFFFFFFLL, value, answer)) return false;
      call.queue = static_cast<std::uint32_t>(value);
      return true;
    }
    case Call::queue_close:
      return QueueNumber(parts[2], call.queue, answer);
    case Call::post:
      if (!QueueNumber(parts[2], call.queue, answer) || !Body(request.body, body, answer)) return false;
      return IntegerField(body, "value", 0, 0xFFFFFFFFLL, call.value, answer, &zero) &&
             TextField(body, "data", kMaxText, call.text, answer);
    case Call::message:
      if (!Body(request.body, body, answer) || !IntegerField(body, "channel", 0, 0xFFFFFFFFLL, value, answer)) return false;
      call.channel = static_cast<std::uint32_t>(value);
      if (!IntegerField(body, "type", 0, 0xFFFFFFFFLL, value, answer, &zero)) return false;
      call.type = static_cast<std::uint32_t>(value);
      if (!IntegerField(body, "ref", 0, 0xFFFFFFFFLL, value, answer, &zero)) return false;
      call.ref = static_cast<std::uint32_t>(value);
      if (const auto it = body.find("urgent"); it != body.end()) {
        if (!it->is_boolean()) return Refuse(answer, 400, "\"urgent\" takes true or false");
        call.urgent = it->get<bool>();
      }
      return TextField(body, "text", kMaxText, call.text, answer);
  }
  // The range against the area as the server announced it, in qna's words.
  const std::uint32_t size = setting.sizes[call.area];
  const std::uint64_t limit = call.bits ? std::uint64_t{size} * 16 : size;
  if (call.count == 0 || call.start >= limit || call.count > limit - call.start) {
    const std::string range = RangeText(call.area, call.start, call.count, call.bits);
    return RefuseRange(answer, range + (call.bits ? " do" : " does") + " not fit in " + AreaName(call.area) +
                                   ", which holds " + std::to_string(size) + " words");
  }
  return true;
}

}  // namespace

bool AreaNumber(std::string_view name, std::uint32_t& area) {
  if (name.size() == 1 && name[0] >= '0' && name[0] <= '5') {
    area = static_cast<std::uint32_t>(name[0] - '0');
    return true;
  }
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (std::uint32_t a = 0; a < 6; ++a)
    if (upper == AreaName(a)) {
      area = a;
      return true;
    }
  return false;
}

bool ParseRequest(const Request& request, const Setting& setting, Parsed& call, Answer& answer) {
  call = {};
  if (setting.loopback && !request.host.empty() && !LoopbackName(request.host))
    return Refuse(answer, 403, "this view answers on loopback only, not to the host name '" + std::string(request.host) + "'");
  const bool get = request.method == "GET";
  if (!get && request.method != "POST" && request.method != "DELETE")
    return Refuse(answer, 405, "the method " + std::string(request.method.substr(0, 16)) + " is not served");
  // What a page of another site asks for carries its Origin.  A GET does no
  // harm (the answer is not shared with that page); anything else must come
  // from this view's own page.
  if (!get && !request.origin.empty() && Lower(request.origin) != "http://" + Lower(request.host))
    return Refuse(answer, 403, "a request from the page of another origin is refused");
  if (request.path.empty() || request.path[0] != '/') return Refuse(answer, 404, "no such path");
  const std::vector<std::string_view> parts = Split(request.path.substr(1));
  if (parts[0] != "api") {
    // Page files by their name alone: no folders, nothing hidden.
    const std::string_view name = request.path == "/" ? "index.html" : request.path.substr(1);
    if (parts.size() != 1 || FindAsset(name) == nullptr) return Refuse(answer, 404, "no such page file");
    if (!get) return Refuse(answer, 405, "page files are read with GET");
    call.call = Call::file;
    call.file = std::string(name);
    return true;
  }
  const Route* found = nullptr;
  bool path_known = false;
  for (const Route& route : kRoutes) {
    if (!Matches(route.pattern, parts)) continue;
    path_known = true;
    if (route.method == request.method) found = &route;
  }
  if (found == nullptr)
    return Refuse(answer, path_known ? 405 : 404, path_known ? "that method is not served on this path" : "no such path");
  if (found->writes && !setting.writes)
    return Refuse(answer, 403, "writes are off: qna web was started without --allow-writes");
  call.call = found->call;
  return Arguments(request, setting, parts, call, answer);
}

std::string ErrorJson(const Refusal& refusal) {
  const std::string codes = refusal.kind == Refusal::Kind::codes ? "\"result\":" + std::to_string(refusal.result) +
                                                ",\"detail\":" + std::to_string(refusal.detail)
                                          : std::string("\"result\":null,\"detail\":null");
  return "{" + codes + ",\"text\":" + JsonString(refusal.text) + "}";
}

}  // namespace qna::web
