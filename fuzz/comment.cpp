// comment.cpp - fuzz target: a user's comment file, read and written at the
// ends, the middle and beyond the sections its header announces, into
// buffers exactly as large as the count asked.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "qnapi.h"

namespace {
std::string g_path;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::MakePrivateRoot("comment");
  g_path = fz::MakeRootFolder("/drive/c/quonix/usr/fuzz") + "/smemcmnt.bin";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fz::WriteFile(g_path, std::span<const std::uint8_t>(data, size));
  std::uint32_t header[4] = {};
  if (QNA_OpenCmnt('C', "fuzz", header) != 0) return 0;
  for (std::uint32_t kind = 0; kind < 5; ++kind) {
    const std::uint32_t n = kind < 4 ? header[kind] : 1;
    const std::uint32_t firsts[] = {0, n / 2, n > 0 ? n - 1 : 0, n, n + 1, 0xFFFFFFFFu};
    for (std::uint32_t first : firsts) {
      for (std::uint32_t count : {0u, 1u, 3u}) {
        std::vector<std::uint8_t> buffer(32 * count);
        QNA_GetCmnt(kind, first, count, buffer.empty() ? nullptr : buffer.data());
        if (first == n / 2 && count == 1) QNA_PutCmnt(kind, first, count, buffer.data());
      }
    }
  }
  QNA_CloseCmnt();
  return 0;
}
