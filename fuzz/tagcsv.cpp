// tagcsv.cpp - fuzz target: qna tagfile build's CSV reader.  A file that
// builds reads back whole: every tag usable, in order, found by the lookup.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "tagfile.h"

namespace {
std::string g_csv, g_tag;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::MakePrivateRoot("tagcsv");
  g_csv = PlatformRoot() + "/tags.csv";
  g_tag = PlatformRoot() + "/tags.tag";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fz::WriteFile(g_csv, std::span<const std::uint8_t>(data, size));
  std::string error;
  if (TagfileBuild(g_csv, g_tag, error) != 0) {
    if (error.empty()) std::abort();
    return 0;
  }
  std::vector<TagfileTag> tags;
  bool unordered = true;
  if (TagfileRead(g_tag, tags, unordered, error) != 0 || unordered) std::abort();
  // A few lookups spread over the index (each reads the file again).
  for (std::size_t i = 0; i < tags.size(); i += tags.size() / 8 + 1) {
    const TagfileTag& tag = tags[i];
    TagfileTag found;
    if (!tag.why.empty() || TagfileFind(g_tag, tag.name, found, error) != 0 ||
        found.record != tag.record)
      std::abort();
  }
  return 0;
}
