// qna - a command-line client of the QUONIX runtime.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

#include "qna.h"
#include "tagfile.h"

int main(int argc, char** argv) {
  CLI::App app{"qna - talk to a QUONIX server from the command line"};
  app.require_subcommand(1);

  qna::DemoOptions demo;
  auto* demo_cmd = app.add_subcommand(
      "demo", "Start a private stand-in server and take a short tour of the library against it");
  demo_cmd->add_option("--server-dir", demo.server_dir,
                       "Folder that holds the quonix program (default: the one built with qna)");
  demo_cmd->add_flag("-v,--verbose", demo.verbose, "Show the server's log");

  auto* tagfile_cmd = app.add_subcommand("tagfile", "Build a project's tag file or read one back");
  tagfile_cmd->require_subcommand(1);
  std::string csv, tag;
  auto* build_cmd = tagfile_cmd->add_subcommand(
      "build", "Build a tag file from CSV lines NAME,ADDRESS,TYPE (TYPE: word, dword or bit)");
  build_cmd->add_option("csv", csv, "The CSV source")->required();
  build_cmd->add_option("tagfile", tag, "The tag file to write")->required();
  auto* dump_cmd = tagfile_cmd->add_subcommand("dump", "Print a tag file in the CSV form");
  dump_cmd->add_option("tagfile", tag, "The tag file to read")->required();

  CLI11_PARSE(app, argc, argv);
  if (demo_cmd->parsed()) return qna::RunDemo(demo);
  std::string error;
  if (build_cmd->parsed()) {
    if (TagfileBuild(csv, tag, error) != 0) {
      std::fprintf(stderr, "qna tagfile build: %s\n", error.c_str());
      return 1;
    }
    return 0;
  }
  if (dump_cmd->parsed()) {
    std::string out;
    if (TagfileDump(tag, out, error) != 0) {
      std::fprintf(stderr, "qna tagfile dump: %s\n", error.c_str());
      return 1;
    }
    std::fputs(out.c_str(), stdout);
    return 0;
  }
  return 0;
}
