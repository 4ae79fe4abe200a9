// tagfile.cpp - the tag file writer and reader of the qna command.
//
// The writer lays a file out as the library's lookup expects it:
//   header   28 bytes: 12 zero bytes, i16 n, i16 c, u32 table offset (28),
//            u32 offset of record 0, 4 zero bytes;
//   index    n u16: position 0 holds record 0, positions 1 to n - 1 the
//            record numbers of the tags ordered by name;
//   second   n u16: for each record number, its position in the index;
//   records  76 bytes each, record 0 reserved ("<UNDEFINED>", class 0),
//            records 1 to n - 1 the tags in the order of the CSV lines.
// n = tags + 1 and c = n: the lookup's binary search covers positions 1 to
// c - 1, which are exactly the tags, and never reads past the n entries.
#include "tagfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/tags.h"

namespace {

// An i16 holds n = tags + 1, and record numbers above 32767 would read as
// negative.
constexpr std::size_t kMaxTags = 32766;
constexpr std::uint16_t kClassUsable = 1;
constexpr std::uint16_t kTypeDword = 1u << 7;  // data type 1 in bits 7 to 9
constexpr long kMaxFileSize = 64L << 20;

struct Tag {
  std::string name;     // upper case, 1 to 14 characters
  std::string address;  // upper case: CB, CW, SB or SW and a number
  bool dword = false;
  int line = 0;
};

void Put16(std::vector<std::uint8_t>& file, std::size_t at, std::uint16_t v) {
  file[at] = static_cast<std::uint8_t>(v);
  file[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& file, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) file[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}
std::uint16_t Get16(const std::vector<std::uint8_t>& file, std::size_t at) {
  return static_cast<std::uint16_t>(file[at] | file[at + 1] << 8);
}
std::uint32_t Get32(const std::vector<std::uint8_t>& file, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | file[at + static_cast<std::size_t>(i)];
  return v;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front())) != 0) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())) != 0) text.remove_suffix(1);
  return text;
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

bool ReadWhole(const std::string& path, std::vector<std::uint8_t>& data, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  data.clear();
  std::uint8_t chunk[65536];
  std::size_t got = 0;
  while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
    data.insert(data.end(), chunk, chunk + got);
    if (data.size() > static_cast<std::size_t>(kMaxFileSize)) break;
  }
  const bool failed = std::ferror(file) != 0;
  std::fclose(file);
  if (failed) {
    error = path + ": read error";
    return false;
  }
  if (data.size() > static_cast<std::size_t>(kMaxFileSize)) {
    error = path + ": larger than 64 MiB, not a tag file";
    return false;
  }
  return true;
}

// NAME: 1 to 14 printable characters without blanks or commas, not starting
// with '#' (the system tag names start so, and the library never looks such
// a name up).
bool NameOk(std::string_view name) {
  if (name.empty() || name.size() > kTagNameChars || name.front() == '#') return false;
  return std::all_of(name.begin(), name.end(), [](char c) { return c > ' ' && c < 0x7F && c != ','; });
}

// ADDRESS: C or S, B or W, a decimal number up to 2147483647.
bool AddressOk(std::string_view address) {
  if (address.size() < 3 || address.size() > 12) return false;
  const char area = address[0];
  const char unit = address[1];
  if ((area != 'C' && area != 'S') || (unit != 'B' && unit != 'W')) return false;
  std::uint64_t value = 0;
  for (char c : address.substr(2)) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value <= 2147483647u;
}

bool ParseCsv(const std::vector<std::uint8_t>& text, std::vector<Tag>& tags, std::string& error) {
  const std::string_view all(reinterpret_cast<const char*>(text.data()), text.size());
  std::map<std::string, int> seen;
  int line_number = 0;
  for (std::size_t start = 0; start < all.size();) {
    std::size_t end = all.find('\n', start);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view line = Trim(all.substr(start, end - start));
    start = end + 1;
    ++line_number;
    if (line.empty() || line.front() == '#') continue;
    const std::string where = "line " + std::to_string(line_number) + ": ";

    std::vector<std::string_view> fields;
    for (std::size_t at = 0;;) {
      const std::size_t comma = line.find(',', at);
      fields.push_back(Trim(line.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at)));
      if (comma == std::string_view::npos) break;
      at = comma + 1;
    }
    if (fields.size() != 3) {
      error = where + "expected NAME,ADDRESS,TYPE";
      return false;
    }
    Tag tag;
    tag.name = Upper(fields[0]);
    tag.address = Upper(fields[1]);
    tag.line = line_number;
    const std::string type = Upper(fields[2]);
    if (!NameOk(tag.name)) {
      error = where + "name '" + std::string(fields[0]) +
              "': expected 1 to 14 characters without blanks or commas, not starting with '#'";
      return false;
    }
    if (!AddressOk(tag.address)) {
      error = where + "address '" + std::string(fields[1]) +
              "': expected CB, CW, SB or SW and a number up to 2147483647";
      return false;
    }
    const bool bit_address = tag.address[1] == 'B';
    if (type == "BIT") {
      if (!bit_address) {
        error = where + "type bit needs a bit address (CB or SB)";
        return false;
      }
    } else if (type == "WORD" || type == "DWORD") {
      if (bit_address) {
        error = where + "type " + Upper(type) + " needs a word address (CW or SW)";
        return false;
      }
      tag.dword = type == "DWORD";
    } else {
      error = where + "type '" + std::string(fields[2]) + "': expected word, dword or bit";
      return false;
    }
    if (const auto it = seen.find(tag.name); it != seen.end()) {
      error = where + "name " + tag.name + " already on line " + std::to_string(it->second);
      return false;
    }
    seen.emplace(tag.name, line_number);
    tags.push_back(std::move(tag));
    if (tags.size() > kMaxTags) {
      error = where + "more than " + std::to_string(kMaxTags) + " tags";
      return false;
    }
  }
  return true;
}

void PutRecord(std::vector<std::uint8_t>& file, std::size_t at, const std::string& name,
               std::uint32_t record_class, const std::string& address, std::uint16_t attributes) {
  std::memcpy(file.data() + at, name.data(), std::min(name.size(), kTagNameChars));
  Put32(file, at + kTagClassOffset, record_class);
  std::memcpy(file.data() + at + kTagAddressOffset, address.data(),
              std::min(address.size(), kTagAddressSize - 1));
  Put16(file, at + kTagAttributeOffset, attributes);
}

std::vector<std::uint8_t> Layout(const std::vector<Tag>& tags) {
  const std::size_t n = tags.size() + 1;
  const std::size_t tables = kTagHeaderSize;
  const std::size_t records = tables + 4 * n;
  std::vector<std::uint8_t> file(records + kTagRecordSize * n, 0);
  Put16(file, 12, static_cast<std::uint16_t>(n));
  Put16(file, 14, static_cast<std::uint16_t>(n));  // c = n: positions 1 to n - 1
  Put32(file, 16, static_cast<std::uint32_t>(tables));
  Put32(file, 20, static_cast<std::uint32_t>(records));

  // Index position p (1 to n - 1) holds the record of the p-th name in byte
  // order, which is the order the lookup's comparison sees.
  std::vector<std::size_t> order(tags.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return tags[a].name < tags[b].name; });
  for (std::size_t p = 0; p < order.size(); ++p) {
    const std::size_t record = order[p] + 1;
    Put16(file, tables + 2 * (p + 1), static_cast<std::uint16_t>(record));
    Put16(file, tables + 2 * n + 2 * record, static_cast<std::uint16_t>(p + 1));
  }
  PutRecord(file, records, "<UNDEFINED>", 0, "", 0);
  for (std::size_t i = 0; i < tags.size(); ++i)
    PutRecord(file, records + kTagRecordSize * (i + 1), tags[i].name, kClassUsable, tags[i].address,
              tags[i].dword ? kTypeDword : 0);
  return file;
}

// A record's text field up to its first NUL.
std::string Field(const std::vector<std::uint8_t>& file, std::size_t at, std::size_t size) {
  const auto* p = reinterpret_cast<const char*>(file.data() + at);
  return std::string(p, strnlen(p, size));
}

}  // namespace

int TagfileBuild(const std::string& csv_path, const std::string& tag_path, std::string& error) {
  std::vector<std::uint8_t> csv;
  if (!ReadWhole(csv_path, csv, error)) return 1;
  std::vector<Tag> tags;
  if (!ParseCsv(csv, tags, error)) {
    error = csv_path + ": " + error;
    return 1;
  }
  const std::vector<std::uint8_t> file = Layout(tags);
  std::FILE* out = std::fopen(tag_path.c_str(), "wb");
  if (out == nullptr) {
    error = tag_path + ": cannot create: " + std::strerror(errno);
    return 1;
  }
  const bool written = std::fwrite(file.data(), 1, file.size(), out) == file.size();
  const bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    std::remove(tag_path.c_str());  // a cut-off tag file would mislead the lookup
    error = tag_path + ": write failed";
    return 1;
  }
  return 0;
}

namespace {

// A tag file read whole, its header checked as the library's load checks it.
struct Loaded {
  std::vector<std::uint8_t> file;
  std::int16_t n = 0, c = 0;
  std::uint32_t tables = 0, records = 0;

  bool Load(const std::string& path, std::string& error) {
    if (!ReadWhole(path, file, error)) return false;
    const auto fail = [&](const std::string& why) {
      error = path + ": " + why;
      return false;
    };
    if (file.size() < kTagHeaderSize) return fail("shorter than the 28-byte header");
    n = static_cast<std::int16_t>(Get16(file, 12));
    c = static_cast<std::int16_t>(Get16(file, 14));
    tables = Get32(file, 16);
    records = Get32(file, 20);
    if (n <= 0) return fail("header: n = " + std::to_string(n) + ", no index");
    if (c > n) return fail("header: search bound c = " + std::to_string(c) + " above n = " + std::to_string(n));
    if (std::uint64_t{tables} + 4u * static_cast<std::uint64_t>(n) > file.size())
      return fail("index and second table run past the end of the file");
    return true;
  }
  // The record number at index position p.
  std::int16_t At(int p) const { return static_cast<std::int16_t>(Get16(file, tables + 2u * static_cast<unsigned>(p))); }
  // Where record k lies, or 0 when the file does not hold it whole.
  std::uint64_t Record(std::int16_t k) const {
    if (k <= 0) return 0;
    const std::uint64_t at = records + std::uint64_t{kTagRecordSize} * static_cast<std::uint64_t>(k);
    return at + kTagRecordSize <= file.size() ? at : 0;
  }
  // Record k's name; "<UNDEFINED>" for a record that is not there, as the
  // library's lookup compares it.
  std::string Name(std::int16_t k) const {
    const std::uint64_t at = Record(k);
    return at == 0 ? "<UNDEFINED>" : Field(file, static_cast<std::size_t>(at), kTagNameChars);
  }
  TagfileTag Describe(std::int16_t k) const {
    const auto at = static_cast<std::size_t>(Record(k));
    TagfileTag tag;
    tag.record = k;
    tag.name = Field(file, at, kTagNameChars);
    tag.address = Field(file, at + kTagAddressOffset, kTagAddressSize);
    const std::uint32_t record_class = Get32(file, at + kTagClassOffset) & 0xFu;
    const std::uint16_t attributes = Get16(file, at + kTagAttributeOffset);
    const std::string upper = Upper(tag.address);
    if (!NameOk(tag.name))
      tag.why = "name not representable";
    else if (record_class != kClassUsable) {
      // Appended, not joined with +: GCC 12 at -O3 warns falsely of an overlap in the join.
      tag.why = "record class ";
      tag.why += std::to_string(record_class);
    } else if ((attributes & 0x7Cu) != 0)
      tag.why = "attribute bits 2 to 6 set";
    else if (!AddressOk(upper))
      tag.why = "address not CB, CW, SB or SW and a number";
    if (!tag.why.empty()) return tag;
    tag.address = upper;
    tag.type = upper[1] == 'B' ? "bit" : (((attributes >> 7) & 0x7u) == 1 ? "dword" : "word");
    tag.area = (upper[0] == 'S' ? 2u : 0u) + (upper[1] == 'W' ? 1u : 0u);
    tag.offset = static_cast<std::uint32_t>(std::stoul(upper.substr(2)));
    return tag;
  }
};

}  // namespace

int TagfileRead(const std::string& tag_path, std::vector<TagfileTag>& tags, bool& unordered, std::string& error) {
  Loaded loaded;
  if (!loaded.Load(tag_path, error)) return 1;
  std::set<std::int16_t> numbers;
  unordered = false;
  std::string previous;
  for (int p = 1; p < loaded.c; ++p) {
    const std::int16_t k = loaded.At(p);
    if (k <= 0) {
      unordered = true;  // a reserved record in the searched positions
      continue;
    }
    if (loaded.Record(k) == 0) {
      error = tag_path + ": index position " + std::to_string(p) + ": record " + std::to_string(k) +
              " lies past the end of the file";
      return 1;
    }
    const std::string name = loaded.Name(k);
    if (p > 1 && !(previous < name)) unordered = true;
    previous = name;
    numbers.insert(k);
  }
  tags.clear();
  for (const std::int16_t k : numbers) tags.push_back(loaded.Describe(k));
  return 0;
}

int TagfileFind(const std::string& tag_path, const std::string& name, TagfileTag& tag, std::string& error) {
  Loaded loaded;
  if (!loaded.Load(tag_path, error)) return 1;
  const std::string wanted = Upper(name);
  // The library's search: positions 1 to c - 1, names compared over their
  // 14 characters; a longer name is never found.
  int lo = 1;
  int hi = loaded.c - 1;
  while (wanted.size() <= kTagNameChars && lo <= hi) {
    const int mid = (lo + hi) / 2;
    const std::int16_t k = loaded.At(mid);
    const int order = loaded.Name(k).compare(wanted);
    if (order == 0 && loaded.Record(k) != 0) {
      tag = loaded.Describe(k);
      return 0;
    }
    if (order <= 0)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  error = tag_path + ": no tag " + wanted;
  return 1;
}

int TagfileDump(const std::string& tag_path, std::string& out, std::string& error) {
  std::vector<TagfileTag> tags;
  bool unordered = false;
  if (TagfileRead(tag_path, tags, unordered, error) != 0) return 1;
  out = "# tag file " + tag_path + ": " + std::to_string(tags.size()) + " tags\n";
  if (unordered) out += "# the index is not in name order: the lookup may miss tags\n";
  for (const TagfileTag& tag : tags) {
    if (tag.why.empty()) {
      out += tag.name + "," + tag.address + "," + tag.type + "\n";
    } else {
      char line[160];
      std::snprintf(line, sizeof line, "# record %d not usable (%s): name '%s' address '%s'\n", tag.record,
                    tag.why.c_str(), tag.name.c_str(), tag.address.c_str());
      out += line;
    }
  }
  return 0;
}
