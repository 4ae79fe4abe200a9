// qna.h - the subcommands of the qna command.
#pragma once

#include <string>

namespace qna {

struct DemoOptions {
  std::string server_dir;  // where quonix is; empty: the one built beside qna
  bool verbose = false;
};

// Runs the tour against a private stand-in server; the process exit status.
int RunDemo(const DemoOptions& options);

}  // namespace qna
