// tagfile.cpp - fuzz target: the tag file reader.  The bytes are project
// C:FUZZ's tag file, loaded by QNA_InitRavo; fixed, system and the file's own
// names are then resolved, so that the index search reaches real records.
#include <cstring>
#include <string>
#include <vector>

#include "core/core.h"
#include "core/tags.h"
#include "fuzz/fuzz_support.h"
#include "qnapi.h"

namespace {

std::string g_tag_path;
std::vector<std::uint8_t> g_mailbox_reply;

// The reply to the 576-word mailbox read: drive C, project FUZZ.
std::vector<std::uint8_t> MailboxReply() {
  constexpr std::uint32_t kBytes = 2 * 576;
  std::vector<std::uint8_t> reply(12 + kBytes, 0);
  const std::uint32_t head[3] = {8 + kBytes, 200, 0};
  std::memcpy(reply.data(), head, sizeof head);
  std::memcpy(reply.data() + 12, "C\0FUZZ", 7);
  return reply;
}

void Resolve(const char* text) {
  char name[64] = {};
  std::strncpy(name, text, sizeof name - 1);
  std::uint32_t offset = 0;
  std::uint16_t size = 0, area = 0;
  TagResolve(name, &offset, &size, &area);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::ClientSetup("tagfile");
  g_tag_path = fz::MakeRootFolder("/drive/c/ravowld/usr/fuzz") + "/fuzz.tag";
  g_mailbox_reply = MailboxReply();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fz::WriteFile(g_tag_path, std::span<const std::uint8_t>(data, size));
  {
    fz::ClientLink client{std::span<const std::uint8_t>(g_mailbox_reply)};
    if (QNA_InitRavo() != QNA_OK) return 0;
  }
  for (const char* name : {"A", "TAG", "ZZZZZZZZZZZZZZ", "#ERRNUM", "#LBUTTON", "", "0",
                           "AAAAAAAAAAAAAAAAAAAA"})
    Resolve(name);
  // A 76-byte record begins with its name, wherever records might start.
  for (std::size_t at = 28; at + 14 <= size && at < 28 + 16 * 76; at += 38) {
    char name[15] = {};
    std::memcpy(name, data + at, 14);
    Resolve(name);
  }
  for (std::int16_t k : {std::int16_t{-1}, std::int16_t{0}, std::int16_t{1}, std::int16_t{2},
                         std::int16_t{32767}})
    TagReadRecord(k);
  char name[16] = "TAG";
  std::int32_t value = 0;
  QNA_ReadTag(name, &value, 1);
  QNA_EndRavo();
  return 0;
}
