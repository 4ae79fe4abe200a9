// tags.cpp - tag access: the project's tag file, found through the RAVOWLD
// mailbox, turns tag names into area, offset and size for the data reads
// (straight from the areas) and the write requests (to the server).
//
// Lock rules: g_tag_lock guards the tag state (stream, header fields, the two
// tables, the record buffer).  It is held for one load, one release or one
// lookup, and never while a request or an area access runs: QNA_InitRavo asks
// the server before it takes the lock, QNA_ReadTag and QNA_WriteTag resolve
// the name under the lock and read or write after letting it go.
//
// Mended faults (each has a test in tests/tags/):
//   * A failed QNA_InitRavo closes the stream and frees the tables, so the
//     state is "not loaded" (202 at lookup) and no lookup can use a missing
//     or half-read table.  A new QNA_InitRavo first drops the old state.
//   * A header whose search bound c exceeds n would make the search read
//     index positions that were never loaded: refused at load with 201 and
//     6004 (the index is shorter than the search needs).  A header with
//     n <= 0 has no index either: 201 and 6004.
//   * An address whose number does not parse (no digits, junk after them,
//     out of the 32-bit range) is refused with 203 and 6016, the code of a
//     bad address after its area letter; the block 6010 to 6016 stays as
//     applications know it.
//   * A name longer than the 14 characters a record holds is never taken for
//     the tag whose name is its first 14 characters: it is not found (204).
//   * A record that the file does not hold whole reads as "<UNDEFINED>"
//     rather than leaving the record read before it in the buffer.
//   * The mailbox is server data: a drive byte that is not a letter, a
//     project name without a terminator in the 1152 bytes, or one that is
//     empty or holds a separator, a colon or "..", or a path that does not fit
//     is refused with 200 and 6000; no path is formed, no file opened.
//   * A null name or value pointer gives 6 (bad argument).
#include "core/tags.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "core/core.h"
#include "core/paths.h"
#include "platform/platform.h"
#include "qnapi.h"

namespace {

// What QNA_InitRavo reads from the RAVOWLD mailbox: 576 words, byte 0 the
// drive letter, from byte 2 the NUL-terminated project name.
constexpr const char* kProjectApp = "RAVOWLD";
constexpr std::uint32_t kProjectWords = 576;
constexpr const char* kTagPathFormat = "%c:\\RAVOWLD\\USR\\%s\\%s.TAG";
constexpr std::size_t kMaxPath = 260;  // MAX_PATH

// System tag names: "#" and one of these (any case) is never looked up.
constexpr const char* kSystemKeywords[] = {"LBUTTON", "INKEY",  "INDISP", "ERRNUM",
                                           "PROTECT", "PROTTIME", "SECURE"};

std::mutex g_tag_lock;
std::FILE* g_tag_file = nullptr;
std::uint8_t g_tag_header[kTagHeaderSize];
std::int16_t g_tag_n = 0;
std::int16_t g_tag_c = 0;
std::uint32_t g_tag_records = 0;  // file offset of record 0
std::uint16_t* g_tag_index = nullptr;
std::uint16_t* g_tag_second = nullptr;  // loaded and kept, not consulted
std::uint8_t g_tag_record[kTagRecordSize];

std::uint16_t Get16(const std::uint8_t* at) { return static_cast<std::uint16_t>(at[0] | at[1] << 8); }
std::uint32_t Get32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

char Upper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// The C locale's white space, which is what the runtime's names hold.
bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Drops the loaded state.  Called with the tag lock held.
void TagRelease() {
  if (g_tag_file != nullptr) {
    std::fclose(g_tag_file);
    g_tag_file = nullptr;
  }
  delete[] g_tag_index;
  g_tag_index = nullptr;
  delete[] g_tag_second;
  g_tag_second = nullptr;
  g_tag_n = 0;
  g_tag_c = 0;
}

// Reads `count` u16 values from the stream; false when fewer bytes came.
bool ReadTable(std::FILE* file, std::uint16_t* table, std::int16_t count) {
  const auto bytes = static_cast<std::size_t>(count) * 2;
  auto* raw = reinterpret_cast<std::uint8_t*>(table);
  if (std::fread(raw, 1, bytes, file) != bytes) return false;
  // In place: value i takes the bytes 2i and 2i+1 it lies on.
  for (std::size_t i = 0; i < static_cast<std::size_t>(count); ++i) {
    const std::uint8_t lo = raw[2 * i];
    const std::uint8_t hi = raw[2 * i + 1];
    table[i] = static_cast<std::uint16_t>(lo | hi << 8);
  }
  return true;
}

// Forms the tag file path from the mailbox bytes, or refuses them.
bool TagPath(const std::uint8_t* mailbox, std::size_t size, char* path) {
  const char drive = static_cast<char>(mailbox[0]);
  const auto* name = reinterpret_cast<const char*>(mailbox + 2);
  if (!DriveLetterOk(drive) || std::memchr(name, '\0', size - 2) == nullptr || !PathNameOk(name))
    return false;
  return FormatPath(path, kMaxPath, kTagPathFormat, drive, name, name);
}

// Loads the open tag file into the state: 0, or the result with the detail
// stored.  Called with the tag lock held and the state released; on failure
// the state stays released (the caller closes the stream).
std::uint32_t TagLoad(std::FILE* file) {
  if (std::fread(g_tag_header, 1, kTagHeaderSize, file) != kTagHeaderSize) {
    SetDetail(QNA_TAG_HEADER_SHORT);
    return QNA_E_TAG_FILE;
  }
  const auto n = static_cast<std::int16_t>(Get16(g_tag_header + 12));
  const auto c = static_cast<std::int16_t>(Get16(g_tag_header + 14));
  const std::uint32_t tables = Get32(g_tag_header + 16);
  if (n <= 0) {
    SetDetail(QNA_TAG_INDEX_SHORT);  // no index can be read
    return QNA_E_TAG_FILE;
  }
  g_tag_index = new (std::nothrow) std::uint16_t[static_cast<std::size_t>(n)];
  if (g_tag_index == nullptr) {
    SetDetail(QNA_TAG_INDEX_NOMEM);
    return QNA_E_NOMEM;
  }
  g_tag_second = new (std::nothrow) std::uint16_t[static_cast<std::size_t>(n)];
  if (g_tag_second == nullptr) {
    SetDetail(QNA_TAG_SECOND_NOMEM);
    return QNA_E_NOMEM;
  }
  // The search reads positions 1 to c - 1: an index of n entries must hold them.
  if (tables > static_cast<std::uint32_t>(LONG_MAX) ||
      std::fseek(file, static_cast<long>(tables), SEEK_SET) != 0 ||
      !ReadTable(file, g_tag_index, n) || c > n) {
    SetDetail(QNA_TAG_INDEX_SHORT);
    return QNA_E_TAG_FILE;
  }
  if (!ReadTable(file, g_tag_second, n)) {
    SetDetail(QNA_TAG_SECOND_SHORT);
    return QNA_E_TAG_FILE;
  }
  g_tag_n = n;
  g_tag_c = c;
  g_tag_records = Get32(g_tag_header + 20);
  g_tag_file = file;
  return QNA_OK;
}

// The signed decimal number of an address text after its two letters.
bool ParseNumber(const char* text, std::uint32_t* out) {
  const char* p = text;
  while (IsBlank(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  if (*p < '0' || *p > '9') return false;
  std::int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > std::int64_t{INT32_MAX} + 1) return false;
  }
  while (IsBlank(*p)) ++p;
  if (*p != '\0') return false;
  if (negative) value = -value;
  if (value > INT32_MAX) return false;
  // A negative offset goes on as the u32 it is; the area's range test refuses it.
  *out = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
  return true;
}

// Resolution under the lock; the caller holds it.
std::uint32_t TagResolveLocked(char* name, std::uint32_t* offset, std::uint16_t* size,
                               std::uint16_t* area) {
  if (g_tag_file == nullptr || g_tag_index == nullptr || g_tag_second == nullptr) {
    SetDetail(QNA_TAG_NOT_LOADED);
    return QNA_E_TAG_NOTLOADED;
  }
  if (TagSystemName(name) != 0) {
    SetDetail(QNA_TAG_SYSTEM_NAME);
    return QNA_E_TAG_UNUSABLE;
  }
  if (TagFind(name) <= 0) {
    SetDetail(QNA_TAG_NOT_FOUND);
    return QNA_E_TAG_NOTFOUND;
  }
  const std::uint8_t* record = g_tag_record;
  if ((Get32(record + kTagClassOffset) & 0xFu) != 1) {
    SetDetail(QNA_TAG_BAD_CLASS);
    return QNA_E_TAG_UNUSABLE;
  }
  const std::uint16_t attributes = Get16(record + kTagAttributeOffset);
  if ((attributes & 0x7Cu) != 0) {  // bits 2 to 6
    SetDetail(QNA_TAG_BAD_ATTRIBUTES);
    return QNA_E_TAG_UNUSABLE;
  }
  char address[kTagAddressSize + 1];
  std::memcpy(address, record + kTagAddressOffset, kTagAddressSize);
  address[kTagAddressSize] = '\0';
  const char first = Upper(address[0]);
  if (first != 'C' && first != 'S') {
    SetDetail(QNA_TAG_BAD_AREA_LETTER);
    return QNA_E_TAG_UNUSABLE;
  }
  const char second = Upper(address[1]);
  std::uint32_t number = 0;
  if ((second != 'B' && second != 'W') || !ParseNumber(address + 2, &number)) {
    SetDetail(QNA_TAG_BAD_ADDRESS);
    return QNA_E_TAG_UNUSABLE;
  }
  *offset = number;
  *size = ((attributes >> 7) & 0x7u) == 1 ? 2 : 1;
  *area = static_cast<std::uint16_t>((first == 'S' ? 2 : 0) + (second == 'W' ? 1 : 0));
  return QNA_OK;
}

}  // namespace

int TagSystemName(const char* name) {
  if (name == nullptr) return 0;
  while (IsBlank(*name)) ++name;
  if (*name != '#') return 0;
  const char* text = name + 1;
  const std::size_t length = strnlen(text, 15);
  if (length >= 15) return 0;
  char upper[15];
  for (std::size_t i = 0; i <= length; ++i) upper[i] = Upper(text[i]);
  for (int k = 0; k < 7; ++k)
    if (std::strcmp(upper, kSystemKeywords[k]) == 0) return -(k + 1);
  return 0;
}

const std::uint8_t* TagReadRecord(std::int16_t k) {
  if (k > 0 && g_tag_file != nullptr) {
    const std::uint64_t at = std::uint64_t{g_tag_records} + kTagRecordSize * static_cast<std::uint64_t>(k);
    if (at <= static_cast<std::uint64_t>(LONG_MAX) &&
        std::fseek(g_tag_file, static_cast<long>(at), SEEK_SET) == 0 &&
        std::fread(g_tag_record, 1, kTagRecordSize, g_tag_file) == kTagRecordSize)
      return g_tag_record;
  }
  // A record that is not there compares as "<UNDEFINED>" and never passes
  // the class test, so the search goes on and never uses stale bytes.
  std::memset(g_tag_record, 0, sizeof g_tag_record);
  std::memcpy(g_tag_record, "<UNDEFINED>", 11);
  return g_tag_record;
}

int TagFind(char* name) {
  for (char* p = name; *p != '\0'; ++p) *p = Upper(*p);
  const bool longer = std::strlen(name) > kTagNameChars;
  int lo = 1;
  int hi = g_tag_c - 1;
  if (hi > g_tag_n - 1) hi = g_tag_n - 1;  // never past the loaded index
  if (g_tag_index == nullptr) hi = 0;
  while (lo <= hi) {
    const int mid = (lo + hi) / 2;
    const auto k = static_cast<std::int16_t>(g_tag_index[mid]);
    const auto* record = reinterpret_cast<const char*>(TagReadRecord(k));
    int order = std::strncmp(record, name, kTagNameChars);
    // A record's name has at most 14 characters; a longer name sorts after
    // the record that holds its first 14.
    if (order == 0 && longer) order = -1;
    if (order == 0) return k;
    if (order < 0)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  return -lo;
}

std::uint32_t TagResolve(char* name, std::uint32_t* offset, std::uint16_t* size,
                         std::uint16_t* area) {
  SetDetail(0);
  std::lock_guard guard(g_tag_lock);
  return TagResolveLocked(name, offset, size, area);
}

extern "C" {

std::uint32_t QNA_API QNA_InitRavo(void) {
  SetDetail(0);
  {
    std::lock_guard guard(g_tag_lock);
    TagRelease();
  }
  std::uint16_t words[kProjectWords] = {};
  const std::uint32_t asked = QNA_ReadApp(kProjectApp, 0, kProjectWords, words);
  if (asked != QNA_OK) return asked;
  std::uint8_t mailbox[2 * kProjectWords];
  for (std::size_t i = 0; i < kProjectWords; ++i) {
    mailbox[2 * i] = static_cast<std::uint8_t>(words[i] & 0xFFu);
    mailbox[2 * i + 1] = static_cast<std::uint8_t>(words[i] >> 8);
  }
  char path[kMaxPath];
  std::FILE* file = TagPath(mailbox, sizeof mailbox, path) ? win::fopen(path, "rb") : nullptr;
  if (file == nullptr) {
    SetDetail(QNA_TAG_CANT_OPEN);
    return QNA_E_TAG_OPEN;
  }
  std::lock_guard guard(g_tag_lock);
  TagRelease();  // another thread's load in between is replaced, not leaked
  const std::uint32_t result = TagLoad(file);
  if (result != QNA_OK) {
    const std::int32_t detail = Detail();
    std::fclose(file);
    TagRelease();
    SetDetail(detail);
  }
  return result;
}

void QNA_API QNA_EndRavo(void) {
  std::lock_guard guard(g_tag_lock);
  TagRelease();
}

std::uint32_t QNA_API QNA_ReadTag(char* name, std::int32_t* value, std::uint32_t no_lock) {
  if (name == nullptr || value == nullptr) {
    SetDetail(0);
    return QNA_E_ARG;
  }
  std::uint32_t offset = 0;
  std::uint16_t size = 0;
  std::uint16_t area = 0;
  const std::uint32_t resolved = TagResolve(name, &offset, &size, &area);
  if (resolved != QNA_OK) return resolved;
  if (area == 0 || area == 2) {
    std::uint8_t bit = 0;
    const std::uint32_t result = QNA_ReadBit(area, offset, 1, &bit, no_lock);
    if (result == QNA_OK) *value = bit;
    return result;
  }
  std::uint16_t words[2] = {};
  const std::uint32_t result = QNA_Read(area, offset, size, words, no_lock);
  if (result != QNA_OK) return result;
  if (size == 1)
    *value = static_cast<std::int16_t>(words[0]);
  else
    *value = static_cast<std::int32_t>(std::uint32_t{words[0]} | std::uint32_t{words[1]} << 16);
  return QNA_OK;
}

std::uint32_t QNA_API QNA_WriteTag(char* name, std::int32_t value, std::uint32_t options) {
  if (name == nullptr) {
    SetDetail(0);
    return QNA_E_ARG;
  }
  std::uint32_t offset = 0;
  std::uint16_t size = 0;
  std::uint16_t area = 0;
  const std::uint32_t resolved = TagResolve(name, &offset, &size, &area);
  if (resolved != QNA_OK) return resolved;
  const auto bits = static_cast<std::uint32_t>(value);
  if (area == 0 || area == 2) {
    const auto byte = static_cast<std::uint8_t>(bits & 0xFFu);
    return QNA_WriteBit(area, offset, 1, &byte, options);
  }
  const std::uint16_t words[2] = {static_cast<std::uint16_t>(bits & 0xFFFFu),
                                  static_cast<std::uint16_t>(bits >> 16)};
  return QNA_Write(area, offset, size, words, options);
}

}  // extern "C"
