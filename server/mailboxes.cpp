// mailboxes.cpp - application mailboxes (commands 200 and 100200).
//
// A mailbox is random access: a read returns the words stored at an index, a
// write replaces them.  Mailboxes are made at registration and live until the
// server stops; their number is capped so that clients registering ever new
// names cannot make the server grow without bound.
//
// Lock rules: g_lock guards the mailbox table and every mailbox's words; it
// is held for one lookup and copy and nothing else is taken under it.
#include "server/mailboxes.h"

#include <map>
#include <mutex>
#include <vector>

#include "core/protocol.h"
#include "server/server.h"

namespace quonix {
namespace {

std::mutex g_lock;
std::map<std::string, std::vector<std::uint16_t>> g_boxes;
std::uint32_t g_words = 2048;
std::uint32_t g_max = 4096;

constexpr const char* kRavoName = "RAVOWLD";

// Both requests start with: name[8], u32 first word index, u32 word count.
constexpr std::size_t kHeadBytes = 16;

struct Range {
  std::string name;
  std::uint32_t index;
  std::uint32_t count;
};

Range RangeOf(const Request& request) {
  return {NameOf(request.body.data()), proto::Get32(request.body.data() + 8),
          proto::Get32(request.body.data() + 12)};
}

bool Fits(const Range& range, std::size_t size) {
  return range.count != 0 && std::uint64_t{range.index} + range.count <= size;
}

std::string Describe(const char* what, const Range& range) {
  return std::string(what) + " '" + range.name + "' index " + std::to_string(range.index) +
         " count " + std::to_string(range.count);
}

}  // namespace

void MailboxesInit(std::uint32_t words, std::uint32_t max_mailboxes, char project_drive,
                   const std::string& project_name) {
  std::lock_guard guard(g_lock);
  g_words = words;
  g_max = max_mailboxes;
  g_boxes.clear();
  std::vector<std::uint16_t>& ravo = g_boxes[kRavoName];
  ravo.assign(words, 0);
  if (project_drive == 0) return;
  // Byte 0 the drive letter, byte 1 NUL, the project name from byte 2 with its
  // terminator.  Words go little-endian on the wire, so byte 2k is the low
  // half of word k.  The option parser keeps the name far below the mailbox.
  std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(project_drive), 0};
  for (char c : project_name) bytes.push_back(static_cast<std::uint8_t>(c));
  bytes.push_back(0);
  for (std::size_t i = 0; i < bytes.size() && i / 2 < ravo.size(); ++i)
    ravo[i / 2] = static_cast<std::uint16_t>(ravo[i / 2] | bytes[i] << (8 * (i % 2)));
}

void MailboxesClear() {
  std::lock_guard guard(g_lock);
  g_boxes.clear();
}

bool MailboxEnsure(const std::string& name) {
  std::lock_guard guard(g_lock);
  if (g_boxes.count(name) != 0) return true;
  if (g_boxes.size() >= g_max) return false;
  g_boxes[name].assign(g_words, 0);
  return true;
}

Reply HandleMailboxRead(const Request& request) {
  if (request.body.size() != kHeadBytes) return Refuse(kRange, "mailbox read: layout");
  const Range range = RangeOf(request);
  Reply reply;
  {
    std::lock_guard guard(g_lock);
    const auto box = g_boxes.find(range.name);
    if (box == g_boxes.end()) return Refuse(kUnknownApp, Describe("mailbox read: unknown", range));
    if (!Fits(range, box->second.size()))
      return Refuse(kRange, Describe("mailbox read: range", range));
    reply.payload.resize(std::size_t{range.count} * 2u);
    for (std::uint32_t i = 0; i < range.count; ++i)
      proto::Put16(reply.payload.data() + 2u * i, box->second[range.index + i]);
  }
  return reply;
}

Reply HandleMailboxWrite(const Request& request) {
  if (request.body.size() < kHeadBytes) return Refuse(kRange, "mailbox write: layout");
  const Range range = RangeOf(request);
  if (request.body.size() != kHeadBytes + std::uint64_t{range.count} * 2u)
    return Refuse(kRange, Describe("mailbox write: length does not match", range));
  const std::uint8_t* data = request.body.data() + kHeadBytes;
  std::lock_guard guard(g_lock);
  const auto box = g_boxes.find(range.name);
  if (box == g_boxes.end()) return Refuse(kUnknownApp, Describe("mailbox write: unknown", range));
  if (!Fits(range, box->second.size()))
    return Refuse(kRange, Describe("mailbox write: range", range));
  for (std::uint32_t i = 0; i < range.count; ++i)
    box->second[range.index + i] = proto::Get16(data + 2u * i);
  return Reply{};
}

}  // namespace quonix
