// options.cpp - fuzz target: quonix's command line (NUL-ended arguments).  A
// line that parses keeps sizes in their limits and names in their folders.
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/options.h"

using fz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"quonix", ""};
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0)
      args.emplace_back();
    else
      args.back() += static_cast<char>(data[i]);
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  quonix::Options options;
  std::string error;
  const auto outcome = quonix::ParseOptions(static_cast<int>(argv.size()), argv.data(), options, error);
  Check((outcome == quonix::ParseOutcome::Error) == !error.empty());
  if (outcome != quonix::ParseOutcome::Run) return 0;
  for (std::uint32_t words : options.area_words) Check(words >= 1 && words <= (1u << 20));
  Check(options.area_words[3] >= 205 && options.mailbox_words >= 576);
  Check(options.project_name.find_first_of("/\\.:") == std::string::npos);
  Check(options.server_name.find_first_of("/\\") == std::string::npos &&
        options.host.find_first_of("/\\") == std::string::npos);
  Check(!options.tcp || !options.tcp_address.empty());
  Check(quonix::LocalPipeName(options).starts_with("\\\\.\\"));
  Check(options.host.empty() == quonix::HostPipeName(options).empty());
  return 0;
}
