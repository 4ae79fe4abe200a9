// info.cpp - qna info: the server's two information blocks and the area
// sizes it reported at registration.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "qna.h"
#include "qnapi.h"

namespace qna {

namespace {

const Offer kInfo{true, false, "the library reads the information blocks over the pipe link only"};

std::uint32_t U32(const std::uint8_t* block, std::size_t at) {
  return static_cast<std::uint32_t>(block[at] | block[at + 1] << 8 | block[at + 2] << 16) |
         static_cast<std::uint32_t>(block[at + 3]) << 24;
}

int Info(const LinkOptions& options) {
  Link link;
  if (int failed = link.Open("info", options, kInfo, Need::link)) return failed;
  std::uint8_t server[QNA_CMINFO_SIZE] = {}, apps[QNA_APPINFO_SIZE] = {};
  std::uint32_t r = QNA_ReadCmInfo(server);
  if (r != 0) return Fail("info", "server information block 1000", r, QNA_InternalErr);
  r = QNA_ReadAppInfo(apps);
  if (r != 0) return Fail("info", "application information block 1001", r, QNA_InternalErr);

  std::string sizes;
  for (std::uint32_t a = 0; a < 6; ++a) sizes += (a > 0 ? " " : "") + AreaName(a) + "=" + std::to_string(QNA_SizeTb[a]);
  // The blocks' layouts are the server's own; these are quonix's.
  if (std::memcmp(server, "QUONIX", 6) != 0) {
    if (options.json)
      std::printf("{\"server\":null,\"areas\":%s}\n", JsonList(QNA_SizeTb, 6).c_str());
    else
      std::printf("server: not quonix (its information blocks have another layout)\nareas (words): %s\n", sizes.c_str());
    return 0;
  }
  const std::uint32_t version = U32(server, 12);
  const std::string version_text = std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xFF) +
                                   "." + std::to_string(version & 0xFF);
  const std::uint32_t known = U32(apps, 0);
  const std::uint32_t entries = std::min<std::uint32_t>(U32(apps, 4), (QNA_APPINFO_SIZE - 8) / 32);
  Table table({"application", "kind", "link/request", "pid", "since (s)"});
  std::string json_apps;
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint8_t* e = apps + 8 + 32 * i;
    char name[9] = {};
    std::memcpy(name, e, 8);
    const bool started = U32(e, 8) == 2;
    table.Row({name, started ? "started" : "registered", std::to_string(U32(e, 12)), std::to_string(U32(e, 16)),
               std::to_string(U32(e, 20))});
    if (!json_apps.empty()) json_apps += ',';
    json_apps += "{\"app\":" + JsonString(name) + ",\"kind\":" + JsonString(started ? "started" : "registered") +
                 ",\"id\":" + std::to_string(U32(e, 12)) + ",\"pid\":" + std::to_string(U32(e, 16)) + "}";
  }
  if (options.json) {
    std::printf("{\"server\":\"quonix\",\"version\":%s,\"pid\":%u,\"uptime\":%u,\"links\":%u,\"registrations\":%u,"
                "\"areas\":%s,\"channels\":%u,\"messages\":%u,\"programs\":%u,\"applications\":[%s]}\n",
                JsonString(version_text).c_str(), U32(server, 16), U32(server, 24), U32(server, 28), U32(server, 32),
                JsonList(QNA_SizeTb, 6).c_str(), U32(server, 60), U32(server, 64), U32(server, 84), json_apps.c_str());
    return 0;
  }
  Table facts({"server", "quonix " + version_text});
  facts.Row({"process id", std::to_string(U32(server, 16))});
  facts.Row({"up (s)", std::to_string(U32(server, 24))});
  facts.Row({"links now", std::to_string(U32(server, 28))});
  facts.Row({"registrations", std::to_string(U32(server, 32))});
  facts.Row({"areas (words)", sizes});
  facts.Row({"messages queued", std::to_string(U32(server, 64)) + " in " + std::to_string(U32(server, 60)) + " channels"});
  facts.Row({"programs started", std::to_string(U32(server, 84)) + " running"});
  facts.Row({"applications", std::to_string(known) + " known"});
  facts.Print();
  if (entries > 0) {
    std::printf("\n");
    table.Print();
  }
  return 0;
}

}  // namespace

void AddInfoCommands(CLI::App& app, Runner& run) {
  auto options = std::make_shared<LinkOptions>();
  auto* c = app.add_subcommand("info", "What the server says about itself and its applications");
  AddLinkOptions(c, *options, kInfo);
  c->callback([&run, options] { run = [options] { return Info(*options); }; });
}

}  // namespace qna
