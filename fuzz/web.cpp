// web.cpp - fuzz target: qna web's reading of a request.  Input: a setting
// byte (bit 0 writes allowed, bit 1 loopback), method, path, query, Host and
// Origin each ended by a newline, then the body.  What passes holds: no write
// unless allowed, ranges in their areas, pages that exist, refusals listed.
#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "fuzz/fuzz_support.h"
#include "web.h"

namespace {

using fz::Check;

constexpr std::uint32_t kSizes[6] = {256, 1024, 256, 256, 128, 128};

bool IsWrite(qna::web::Call call) {
  using qna::web::Call;
  return call == Call::write || call == Call::tag_write || call == Call::post || call == Call::message;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  qna::web::Setting setting;
  std::copy(std::begin(kSizes), std::end(kSizes), setting.sizes);
  setting.writes = (data[0] & 1) != 0;
  setting.loopback = (data[0] & 2) != 0;
  std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view fields[5];
  for (std::string_view& field : fields) {
    const std::size_t end = rest.find('\n');
    field = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  const qna::web::Request request{fields[0], fields[1], fields[2], rest, fields[3], fields[4]};
  qna::web::Parsed call;
  qna::web::Answer refused;
  if (!qna::web::ParseRequest(request, setting, call, refused)) {
    constexpr int kStatuses[] = {400, 403, 404, 405, 413};
    Check(std::find(std::begin(kStatuses), std::end(kStatuses), refused.status) != std::end(kStatuses));
    Check(!refused.refusal.text.empty() && !qna::web::ErrorJson(refused.refusal).empty());
    return 0;
  }
  Check(setting.writes || !IsWrite(call.call));
  if (call.call == qna::web::Call::file) Check(qna::web::FindAsset(call.file) != nullptr);
  if (call.count > 0) {
    const std::uint64_t limit = std::uint64_t{kSizes[call.area]} * (call.bits ? 16 : 1);
    Check(call.area < 6 && call.start < limit && call.count <= limit - call.start);
  }
  Check(call.text.size() <= qna::web::kMaxText && call.tag_count <= qna::web::kMaxTags);
  return 0;
}
