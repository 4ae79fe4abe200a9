// tag_files.h - helpers of the tag tests: tag files built with the qna
// writer from CSV text, byte patches for hand-corrupted ones, and the paths
// of a project under the test's platform root.
#pragma once

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/test_support.h"
#include "tagfile.h"

namespace tt {

using Bytes = std::vector<std::uint8_t>;

inline bool WriteText(const std::string& path, const std::string& text) {
  return qt::WriteBytes(path, Bytes(text.begin(), text.end()));
}

// The host file a Win32 path stands for in the current platform root.
inline std::string Host(const std::string& win_path) { return win::HostPath(win_path.c_str()); }

// Where QNA_InitRavo looks for project `name` on drive `drive`.
inline std::string ProjectTagPath(char drive, const std::string& name) {
  return Host(std::string(1, drive) + ":\\RAVOWLD\\USR\\" + name + "\\" + name + ".TAG");
}

// Builds a tag file from CSV text with the qna writer (in a folder of the
// test's platform root) and returns its bytes (empty, with a test failure,
// when the writer refuses).
inline Bytes BuildTagFile(const std::string& csv) {
  std::string pattern = PlatformRoot() + "/tagfile-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    ADD_FAILURE() << "no temporary folder";
    return {};
  }
  const std::string csv_path = pattern + "/tags.csv";
  const std::string tag_path = pattern + "/tags.tag";
  WriteText(csv_path, csv);
  std::string error;
  const int built = TagfileBuild(csv_path, tag_path, error);
  EXPECT_EQ(built, 0) << error;
  Bytes data = built == 0 ? qt::ReadBytes(tag_path) : Bytes{};
  std::error_code ignored;
  std::filesystem::remove_all(pattern, ignored);
  return data;
}

// Fields of a tag file.
inline std::uint16_t Get16(const Bytes& b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
inline std::uint32_t Get32(const Bytes& b, std::size_t at) { return qt::Word32(b, at); }
inline void Put16(Bytes& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void Put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (std::size_t i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline std::int16_t FieldN(const Bytes& b) { return static_cast<std::int16_t>(Get16(b, 12)); }
inline std::int16_t FieldC(const Bytes& b) { return static_cast<std::int16_t>(Get16(b, 14)); }
inline std::uint32_t Tables(const Bytes& b) { return Get32(b, 16); }
inline std::uint32_t Records(const Bytes& b) { return Get32(b, 20); }
// Offset of record k and of index position p.
inline std::size_t RecordAt(const Bytes& b, std::size_t k) { return Records(b) + 76 * k; }
inline std::size_t IndexAt(const Bytes& b, std::size_t p) { return Tables(b) + 2 * p; }

// Replaces a text field of record k (name at 0, 15 bytes; address at 52,
// 20 bytes) with `text`, zero-padded.
inline void PatchText(Bytes& b, std::size_t k, std::size_t field, std::size_t size,
                      const std::string& text) {
  const std::size_t at = RecordAt(b, k) + field;
  for (std::size_t i = 0; i < size; ++i) b[at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
}
inline void PatchName(Bytes& b, std::size_t k, const std::string& name) { PatchText(b, k, 0, 15, name); }
inline void PatchAddress(Bytes& b, std::size_t k, const std::string& address) {
  PatchText(b, k, 52, 20, address);
}

}  // namespace tt
