// paths.h - the checks that stand between a name from outside (a project
// name out of a server mailbox, a user name from the caller) and a file path
// that the library forms with it.
//
// The runtime's files live at fixed places: "%c:\RAVOWLD\USR\%s\%s.TAG",
// "%c:\quonix\usr\%s\smemcmnt.bin".  A name that holds a separator, a drive
// colon or a ".." would put the file somewhere else, so such a name is
// refused and no path is formed with it.
#pragma once

#include <cstddef>
#include <cstdio>

// A drive letter: A to Z in either case, nothing else.
inline bool DriveLetterOk(char letter) {
  return (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
}

// A name that is one plain folder or file name component: not empty, no
// separator, none of the characters Windows refuses in a name (the colon
// would also open an alternate stream), no control character, no "..", and
// not ending in a dot or blank, which Windows drops (so "..." would be "..").
inline bool PathNameOk(const char* name) {
  if (name == nullptr || name[0] == '\0') return false;
  std::size_t length = 0;
  for (const char* p = name; *p != '\0'; ++p, ++length) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x20 || c == 0x7F) return false;
    switch (c) {
      case '\\': case '/': case ':': case '*': case '?': case '"': case '<': case '>': case '|':
        return false;
      default:
        break;
    }
    if (c == '.' && p[1] == '.') return false;
  }
  const char last = name[length - 1];
  return last != '.' && last != ' ';
}

// Formats a path into `out`; false when it does not fit (a cut-off path
// would name another file).
template <typename... Args>
bool FormatPath(char* out, std::size_t size, const char* format, Args... args) {
  const int n = std::snprintf(out, size, format, args...);
  return n >= 0 && static_cast<std::size_t>(n) < size;
}
