// qna - a command-line client of the QUONIX runtime, on the public API of
// the QNAPI library: one file per family of subcommands.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "qna.h"

#ifndef QNA_VERSION
#define QNA_VERSION "unknown"
#endif

namespace qna {

int Dispatch(const std::vector<std::string>& args) {
  // Errors are JSON as soon as the line asks for JSON, even a parse error
  // CLI11 reports before the flag is read.
  const auto end = std::find(args.begin(), args.end(), "--");  // after it: a program's arguments
  SetJsonErrors(std::find(args.begin(), end, "--json") != end);
  CLI::App app{"qna - talk to a QUONIX server from the command line"};
  app.require_subcommand(1);
  app.set_version_flag("--version", std::string("qna ") + QNA_VERSION, "Print the version and exit");
  app.footer(
      "Data commands reach the local server by default, a server's host pipe with --host NAME, or TCP with\n"
      "--tcp ADDR:PORT.  Tables are for people, --json (and --csv for reads and watches) for scripts.\n"
      "Exit status: 0 done, 1 the library or the server refused, or qna refused what could not work (one\n"
      "line on stderr with the result code, the detail code and what they mean), 2 a wrong command line.\n"
      "qna COMMAND --help tells more; docs/cli.md has examples.");
  // One line for a wrong command line, as for every other failure.  The help
  // to see is that of the deepest subcommand given.
  app.failure_message([](const CLI::App* top, const CLI::Error& e) {
    std::string name = "qna";
    const CLI::App* command = top;
    for (bool deeper = true; deeper;) {
      deeper = false;
      for (const CLI::App* sub : command->get_subcommands())
        if (sub->parsed()) {
          command = sub;
          name += " " + sub->get_name();
          deeper = true;
          break;
        }
    }
    std::string what = e.what();
    if (command == top && !top->remaining().empty()) what = "unknown command '" + top->remaining().front() + "'";
    Usage(name == "qna" ? "" : name.substr(4).c_str(), what + " (see " + name + " --help)");
    return std::string();
  });

  Runner run;
  AddDataCommands(app, run);
  AddTagCommands(app, run);
  AddMailboxCommands(app, run);
  AddMessageCommands(app, run);
  AddEvqCommands(app, run);
  AddAppCommands(app, run);
  AddInfoCommands(app, run);
  AddCommentCommands(app, run);
  AddTagfileCommands(app, run);
  AddServerCommands(app, run);
  AddBatchCommand(app, run);
#if QNA_WEB
  AddWebCommand(app, run);
#endif
#if QNA_BRIDGE
  AddBridgeCommand(app, run);
#endif

  try {
    // CLI11 takes the arguments last first.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
  } catch (const CLI::ParseError& e) {
    // --help and --version are ParseErrors that exit 0; every wrong line exits 2.
    return app.exit(e) == 0 ? 0 : kExitUsage;
  }
  try {
    return run ? run() : 0;
  } catch (const std::exception& e) {
    return FailOwn("", e.what());
  }
}

}  // namespace qna

int main(int argc, char** argv) {
  return qna::Dispatch(std::vector<std::string>(argv + 1, argv + argc));
}
