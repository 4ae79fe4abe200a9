// tagfile.h - writing and reading tag files for people (qna tagfile
// build|dump).  The layout is in docs/tagfile.md.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Builds the tag file `tag_path` from the CSV file `csv_path`: one tag per
// line as NAME,ADDRESS,TYPE (TYPE word, dword or bit), blank lines and lines
// whose first non-blank character is '#' ignored.  Returns 0, or 1 with
// `error` saying which line is wrong and why; on failure no tag file is left.
int TagfileBuild(const std::string& csv_path, const std::string& tag_path, std::string& error);

// A tag as a tag file holds it.  `why` is empty for a record the library
// would use, else the reason it would not.
struct TagfileTag {
  int record = 0;
  std::string name;
  std::string address;  // as written in the record (upper-cased when usable)
  std::string type;     // "word", "dword" or "bit"; empty when unusable
  std::string why;
  std::uint32_t area = 0;    // 0 CB, 1 CW, 2 SB, 3 SW
  std::uint32_t offset = 0;  // word offset, or bit number for a bit tag
};

// The tags of the tag file `tag_path` that the lookup's index reaches, in
// record order.  `unordered` tells that the index is not in name order (the
// lookup may then miss tags).  0, or 1 with `error`.
int TagfileRead(const std::string& tag_path, std::vector<TagfileTag>& tags, bool& unordered, std::string& error);

// Looks `name` up as the library's lookup does (upper-cased, the binary
// search over the index).  0 with the tag, or 1 with `error` when the file
// cannot be read or does not reach the name.
int TagfileFind(const std::string& tag_path, const std::string& name, TagfileTag& tag, std::string& error);

// Reads the tag file `tag_path` back into the CSV form (records in record
// order) into `out`.  Records the library would not use come out as '#'
// lines that say why.  Returns 0, or 1 with `error`.
int TagfileDump(const std::string& tag_path, std::string& out, std::string& error);
