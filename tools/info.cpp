// info.cpp - qna info: the server's two information blocks and the area
// sizes it reported at registration.  The blocks' reading is shared with
// qna web.
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

constexpr const char* kLinkKinds[] = {"", "pipe", "host pipe", "tcp", "emulated pipe"};

}  // namespace

const char* LinkKindName(std::uint32_t kind) { return kind < std::size(kLinkKinds) ? kLinkKinds[kind] : ""; }

bool ParseQuonixBlocks(const std::uint8_t* server, const std::uint8_t* apps, QuonixFacts& facts) {
  facts = {};
  // The blocks' layouts are the server's own; these are quonix's.
  if (std::memcmp(server, "QUONIX", 6) != 0) return false;
  const std::uint32_t version = U32(server, 12);
  facts.version = std::to_string(version >> 16) + "." + std::to_string((version >> 8) & 0xFF) + "." +
                  std::to_string(version & 0xFF);
  facts.pid = U32(server, 16);
  facts.uptime = U32(server, 24);
  facts.links = U32(server, 28);
  facts.registrations = U32(server, 32);
  facts.channels = U32(server, 60);
  facts.messages = U32(server, 64);
  facts.programs = U32(server, 84);
  for (std::size_t k = 0; k < 4; ++k) facts.links_by_kind[k] = U32(server, 88 + 4 * k);
  facts.known = U32(apps, 0);
  const std::uint32_t entries = std::min<std::uint32_t>(U32(apps, 4), (QNA_APPINFO_SIZE - 8) / 32);
  for (std::uint32_t i = 0; i < entries; ++i) {
    const std::uint8_t* e = apps + 8 + 32 * i;
    QuonixApp app;
    app.name.assign(reinterpret_cast<const char*>(e), strnlen(reinterpret_cast<const char*>(e), 8));
    app.started = U32(e, 8) == 2;
    app.id = U32(e, 12);
    app.pid = U32(e, 16);
    app.since = U32(e, 20);
    app.link = LinkKindName(U32(e, 24));
    app.requests = U32(e, 28);
    facts.apps.push_back(app);
  }
  return true;
}

std::string QuonixFactsJson(const QuonixFacts& facts, const std::uint32_t sizes[6]) {
  std::string apps;
  for (const QuonixApp& a : facts.apps) {
    if (!apps.empty()) apps += ',';
    apps += "{\"app\":" + JsonString(a.name) + ",\"kind\":" + JsonString(a.started ? "started" : "registered") +
            ",\"id\":" + std::to_string(a.id) + ",\"pid\":" + std::to_string(a.pid) +
            ",\"since\":" + std::to_string(a.since) + ",\"link\":" + JsonString(a.link) +
            ",\"requests\":" + std::to_string(a.requests) + "}";
  }
  return "{\"server\":\"quonix\",\"version\":" + JsonString(facts.version) + ",\"pid\":" + std::to_string(facts.pid) +
         ",\"uptime\":" + std::to_string(facts.uptime) + ",\"links\":" + std::to_string(facts.links) +
         ",\"links_by_kind\":{\"pipe\":" + std::to_string(facts.links_by_kind[0]) +
         ",\"host pipe\":" + std::to_string(facts.links_by_kind[1]) + ",\"tcp\":" + std::to_string(facts.links_by_kind[2]) +
         ",\"emulated pipe\":" + std::to_string(facts.links_by_kind[3]) + "}" +
         ",\"registrations\":" + std::to_string(facts.registrations) + ",\"areas\":" + JsonList(sizes, 6) +
         ",\"channels\":" + std::to_string(facts.channels) + ",\"messages\":" + std::to_string(facts.messages) +
         ",\"programs\":" + std::to_string(facts.programs) + ",\"known\":" + std::to_string(facts.known) +
         ",\"applications\":[" + apps + "]}";
}

namespace {

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
  QuonixFacts facts;
  if (!ParseQuonixBlocks(server, apps, facts)) {
    if (options.json)
      std::printf("{\"server\":null,\"areas\":%s}\n", JsonList(QNA_SizeTb, 6).c_str());
    else
      std::printf("server: not quonix (its information blocks have another layout)\nareas (words): %s\n", sizes.c_str());
    return 0;
  }
  if (options.json) {
    std::printf("%s\n", QuonixFactsJson(facts, QNA_SizeTb).c_str());
    return 0;
  }
  Table table({"application", "kind", "link/request", "via", "requests", "pid", "since (s)"});
  for (const QuonixApp& a : facts.apps)
    table.Row({a.name, a.started ? "started" : "registered", std::to_string(a.id), a.started ? "" : a.link,
               a.started ? "" : std::to_string(a.requests), std::to_string(a.pid), std::to_string(a.since)});
  std::string by_kind;
  for (std::uint32_t k = 0; k < 4; ++k)
    if (facts.links_by_kind[k] > 0)
      by_kind += (by_kind.empty() ? " (" : ", ") + std::to_string(facts.links_by_kind[k]) + " " + LinkKindName(k + 1);
  Table lines({"server", "quonix " + facts.version});
  lines.Row({"process id", std::to_string(facts.pid)});
  lines.Row({"up (s)", std::to_string(facts.uptime)});
  lines.Row({"links now", std::to_string(facts.links) + by_kind + (by_kind.empty() ? "" : ")")});
  lines.Row({"registrations", std::to_string(facts.registrations)});
  lines.Row({"areas (words)", sizes});
  lines.Row({"messages queued", std::to_string(facts.messages) + " in " + std::to_string(facts.channels) + " channels"});
  lines.Row({"programs started", std::to_string(facts.programs) + " running"});
  lines.Row({"applications", std::to_string(facts.known) + " known"});
  lines.Print();
  if (!facts.apps.empty()) {
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
