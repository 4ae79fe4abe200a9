// qna - a command-line client of the QUONIX runtime, on the public API of
// the QNAPI library: one file per family of subcommands.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <exception>
#include <string>

#include "qna.h"

int main(int argc, char** argv) {
  CLI::App app{"qna - talk to a QUONIX server from the command line"};
  app.require_subcommand(1);
  app.footer(
      "Data commands reach the local server by default, a server's host pipe with --host NAME, or TCP with\n"
      "--tcp ADDR:PORT.  Tables are for people, --json for scripts.  Exit status: 0 done, 1 the library or\n"
      "the server refused (one line on stderr with the result code, the detail code and what they mean),\n"
      "2 a wrong command line.  qna COMMAND --help tells more; docs/cli.md has examples.");
  // One line for a wrong command line, as for every other failure.
  // The error is the top command's; the help to see is that of the deepest
  // subcommand given.
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
    return "qna: " + what + " (see " + name + " --help)\n";
  });

  qna::Runner run;
  qna::AddDataCommands(app, run);
  qna::AddTagCommands(app, run);
  qna::AddMailboxCommands(app, run);
  qna::AddMessageCommands(app, run);
  qna::AddEvqCommands(app, run);
  qna::AddAppCommands(app, run);
  qna::AddInfoCommands(app, run);
  qna::AddCommentCommands(app, run);
  qna::AddTagfileCommands(app, run);
  qna::AddServerCommands(app, run);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    // --help is a ParseError that exits 0; every wrong line exits 2.
    return app.exit(e) == 0 ? 0 : qna::kExitUsage;
  }
  try {
    return run ? run() : 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qna: %s\n", e.what());
    return qna::kExitFailed;
  }
}
