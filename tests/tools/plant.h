// plant.h - project PLANT's stand-in server for the qna, web and bridge tests.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/server.h"
#include "support/test_support.h"

namespace plant {

// In the platform root `root`: the tag file of project PLANT, built by qna
// from the lines of `csv`, and a server for it (host PLANT, TCP on a free
// loopback port, its log in root/server.log).  Null when either fails.
inline std::unique_ptr<qt::Server> Serve(const std::string& root, const std::string& csv) {
  const std::filesystem::path project = std::filesystem::path(root) / "drive/c/ravowld/usr/plant";
  std::filesystem::create_directories(project);
  std::ofstream(root + "/plant.csv") << csv;
  qt::Process build(QNA_PATH,
                    {"tagfile", "build", root + "/plant.csv", (project / "plant.tag").string()});
  if (build.Wait() != 0) return nullptr;
  auto server = std::make_unique<qt::Server>(
      std::vector<std::string>{"--project", "C:PLANT", "--host", "PLANT", "--tcp", "127.0.0.1:0"},
      root + "/server.log");
  return server->ready() ? std::move(server) : nullptr;
}

// Where that server listens on TCP: "127.0.0.1:PORT" (empty: nowhere).
inline std::string Tcp(const std::string& root) {
  const std::string log = qt::ReadText(root + "/server.log");
  std::smatch at;
  const std::regex line("tcp listening on (127\\.0\\.0\\.1:[0-9]+)");
  return std::regex_search(log, at, line) ? at[1].str() : "";
}

// A socket connected to 127.0.0.1:port, or -1.
inline int Connect(int port) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<std::uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return s;
  close(s);
  return -1;
}

}  // namespace plant
