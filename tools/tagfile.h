// tagfile.h - writing and reading tag files for people (qna tagfile
// build|dump).  The layout is in docs/tagfile.md.
#pragma once

#include <string>

// Builds the tag file `tag_path` from the CSV file `csv_path`: one tag per
// line as NAME,ADDRESS,TYPE (TYPE word, dword or bit), blank lines and lines
// whose first non-blank character is '#' ignored.  Returns 0, or 1 with
// `error` saying which line is wrong and why; on failure no tag file is left.
int TagfileBuild(const std::string& csv_path, const std::string& tag_path, std::string& error);

// Reads the tag file `tag_path` back into the CSV form (records in record
// order) into `out`.  Records the library would not use come out as '#'
// lines that say why.  Returns 0, or 1 with `error`.
int TagfileDump(const std::string& tag_path, std::string& out, std::string& error);
