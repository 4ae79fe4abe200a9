// batch.cpp - qna batch FILE|-: many commands over one link, so that a
// script of remote commands pays the open (a second over TCP) once.
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "qna.h"

namespace qna {

namespace {

struct BatchArgs {
  LinkOptions link;
  std::string file;
  bool keep_going = false;
};

// Splits a line into words as a shell does for plain lines: blanks between
// words, '...' and "..." quote, a backslash takes the next character as it
// is (not inside '...'), and '#' at the start of a word begins a comment.
bool SplitLine(const std::string& line, std::vector<std::string>& words, std::string& error) {
  words.clear();
  std::string word;
  bool in_word = false;
  char quote = 0;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quote != 0) {
      if (c == quote)
        quote = 0;
      else if (c == '\\' && quote == '"' && i + 1 < line.size())
        word += line[++i];
      else
        word += c;
    } else if (c == ' ' || c == '\t' || c == '\r') {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else if (c == '#' && !in_word) {
      break;
    } else {
      in_word = true;
      if (c == '\'' || c == '"')
        quote = c;
      else if (c == '\\' && i + 1 < line.size())
        word += line[++i];
      else
        word += c;
    }
  }
  if (quote != 0) {
    error = std::string("a ") + quote + " is not closed";
    return false;
  }
  if (in_word) words.push_back(word);
  return true;
}

int RunLines(const BatchArgs& args, std::istream& in) {
  SharedLink shared;
  if (int failed = shared.Open("batch", args.link)) return failed;
  int status = 0;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::vector<std::string> words;
    std::string error;
    SetBatchLine(number);
    int r = 0;
    if (!SplitLine(line, words, error)) {
      r = Usage("batch", error);
    } else {
      if (!words.empty() && words.front() == "qna") words.erase(words.begin());
      if (words.empty()) continue;
      if (words.front() == "batch" || words.front() == "demo") {
        r = Usage("batch", "'" + words.front() + "' does not run inside a batch");
      } else {
        // Before a "--", after which the words are a program's arguments.
        const auto end = std::find(words.begin(), words.end(), "--");
        if (args.link.json && std::find(words.begin(), end, "--json") == end) words.insert(end, "--json");
        r = Dispatch(words);
      }
    }
    SetBatchLine(0);
    std::fflush(stdout);
    if (r != 0) {
      if (status == 0) status = r;
      if (!args.keep_going) break;
    }
  }
  return status;
}

int Batch(const BatchArgs& args) {
  if (args.file == "-") return RunLines(args, std::cin);
  std::ifstream in(args.file);
  if (!in) return FailOwn("batch", "cannot read " + args.file);
  return RunLines(args, in);
}

}  // namespace

void AddBatchCommand(CLI::App& app, Runner& run) {
  auto batch = std::make_shared<BatchArgs>();
  auto* c = app.add_subcommand("batch", "Run qna commands from a file (- for stdin), one a line, over one link");
  c->add_option("file", batch->file, "The commands, one a line, with or without the leading qna; # begins a comment")
      ->required();
  c->add_flag("-k,--keep-going", batch->keep_going, "Run every line even after one fails (default: stop there)");
  AddLinkOptions(c, batch->link, Offer{});
  c->callback([&run, batch] { run = [batch] { return Batch(*batch); }; });
}

}  // namespace qna
