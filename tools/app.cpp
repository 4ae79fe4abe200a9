// app.cpp - qna app start|close|top|status|cancel: application control
// requests, through a pipe connection (to the local server by default).
#include <cstdio>
#include <string>
#include <vector>

#include "qna.h"
#include "qnapi.h"

namespace qna {

namespace {

const Offer kApp{true, false, "application control goes over a pipe connection only"};

// What quonix means by a request's status (the values are the server's).
const char* StatusText(std::uint32_t status) {
  switch (status) {
    case 1: return "pending";
    case 2: return "running";
    case 3: return "done";
    case 4: return "failed";
    case 5: return "cancelled";
    default: return "unknown";
  }
}

struct AppArgs {
  LinkOptions link;
  std::string program;
  std::vector<std::string> args;
  std::string dir;
  std::string name;
  std::uint32_t delay = 0;
  std::uint32_t show = 1;
  std::uint32_t request = 0;
};

std::string Joined(const std::vector<std::string>& words) {
  std::string s;
  for (const auto& w : words) s += (s.empty() ? "" : " ") + w;
  return s;
}

// A request still pending when the command ends is told so; one the server
// acts on at once is waited for this long, so that a start that fails does
// not look like a success.
constexpr std::uint32_t kSettleMs = 3000;
constexpr std::uint32_t kStatusPending = 1;
constexpr std::uint32_t kStatusFailed = 4;

// Prints an accepted start, close or raise and the status it has: exit 1
// when the server could not carry it out.
int Accepted(const char* command, const AppArgs& args, Link& link, std::uint32_t request) {
  std::uint32_t status = 0;
  for (std::uint32_t waited = 0;; waited += 20) {
    const std::uint32_t r = QNA_GetReqStatus(link.id(), request, &status);
    if (r != 0) return Fail(command, "status of request " + std::to_string(request), r, QNA_InternalErr);
    if (status != kStatusPending || args.delay > 0 || waited >= kSettleMs) break;
    QNA_Sleep(20);
  }
  if (status == kStatusFailed)
    return FailOwn(command, "request " + std::to_string(request) + ": the server could not carry it out (status 4, " +
                                StatusText(status) + "; its log says why)");
  if (args.link.json)
    std::printf("{\"request\":%u,\"status\":%u,\"state\":%s}\n", request, status, JsonString(StatusText(status)).c_str());
  else
    std::printf("request %u accepted, status %u (%s)\n", request, status, StatusText(status));
  return 0;
}

int Check(const char* command, const std::string& text, std::size_t limit, const char* what) {
  if (text.size() > limit) return Usage(command, std::string(what) + " has at most " + std::to_string(limit) + " characters");
  return 0;
}

int AppStart(const AppArgs& args) {
  const std::string line = Joined(args.args);
  if (int bad = Check("app start", args.program, 127, "the program path")) return bad;
  if (int bad = Check("app start", line, 127, "the argument line")) return bad;
  if (int bad = Check("app start", args.dir, 127, "the directory")) return bad;
  if (int bad = Check("app start", args.name, 8, "the application name")) return bad;
  Link link;
  if (int failed = link.Open("app start", args.link, kApp, Need::connection)) return failed;
  std::uint32_t request = 0;
  const std::uint32_t r = QNA_StartAPP(link.id(), args.program.c_str(), line.c_str(), args.dir.c_str(),
                                       args.name.c_str(), args.show, args.delay, 0, 0, &request);
  if (r != 0) return Fail("app start", args.program, r, QNA_InternalErr);
  return Accepted("app start", args, link, request);
}

int AppCloseOrTop(const AppArgs& args, bool top) {
  const char* command = top ? "app top" : "app close";
  if (int bad = Check(command, args.name, 127, "the application name")) return bad;
  Link link;
  if (int failed = link.Open(command, args.link, kApp, Need::connection)) return failed;
  std::uint32_t request = 0;
  const std::uint32_t r = top ? QNA_WinTop(link.id(), args.name.c_str(), args.delay, 0, 0, &request, 0)
                              : QNA_SendCloseMsg(link.id(), args.name.c_str(), args.delay, 0, 0, &request, 0);
  if (r != 0) return Fail(command, "application " + args.name, r, QNA_InternalErr);
  return Accepted(command, args, link, request);
}

int AppStatus(const AppArgs& args, bool cancel) {
  const char* command = cancel ? "app cancel" : "app status";
  Link link;
  if (int failed = link.Open(command, args.link, kApp, Need::connection)) return failed;
  if (cancel) {
    const std::uint32_t r = QNA_CancelReq(link.id(), args.request);
    if (r != 0) return Fail(command, "request " + std::to_string(args.request), r, QNA_InternalErr);
  }
  std::uint32_t status = 0;
  const std::uint32_t r = QNA_GetReqStatus(link.id(), args.request, &status);
  if (r != 0) return Fail(command, "request " + std::to_string(args.request), r, QNA_InternalErr);
  if (args.link.json)
    std::printf("{\"request\":%u,\"status\":%u,\"state\":%s}\n", args.request, status,
                JsonString(StatusText(status)).c_str());
  else
    std::printf("request %u: status %u (%s)\n", args.request, status, StatusText(status));
  return 0;
}

}  // namespace

void AddAppCommands(CLI::App& app, Runner& run) {
  auto* group = app.add_subcommand("app", "Have the server start, close or raise applications");
  group->require_subcommand(1);
  auto start = std::make_shared<AppArgs>();
  auto* c = group->add_subcommand("start", "Ask the server to start a program");
  c->add_option("program", start->program, "The program: a path of the server's machine")->required();
  c->add_option("args", start->args, "Its arguments (after --)");
  c->add_option("--dir", start->dir, "Working directory (default: the server's)");
  c->add_option("--name", start->name, "Application name (default: the program's file name)");
  c->add_option("--delay", start->delay, "Milliseconds before the server acts (0 to 600000)")->capture_default_str();
  c->add_option("--show", start->show, "Show state for the program's window (value 1)")->capture_default_str();
  AddLinkOptions(c, start->link, kApp);
  c->callback([&run, start] { run = [start] { return AppStart(*start); }; });

  auto close = std::make_shared<AppArgs>();
  c = group->add_subcommand("close", "Ask the server to close an application");
  c->add_option("name", close->name, "Application name")->required();
  c->add_option("--delay", close->delay, "Milliseconds before the server acts")->capture_default_str();
  AddLinkOptions(c, close->link, kApp);
  c->callback([&run, close] { run = [close] { return AppCloseOrTop(*close, false); }; });

  auto top = std::make_shared<AppArgs>();
  c = group->add_subcommand("top", "Ask the server to bring an application's window to the top");
  c->add_option("name", top->name, "Application name")->required();
  c->add_option("--delay", top->delay, "Milliseconds before the server acts")->capture_default_str();
  AddLinkOptions(c, top->link, kApp);
  c->callback([&run, top] { run = [top] { return AppCloseOrTop(*top, true); }; });

  auto status = std::make_shared<AppArgs>();
  c = group->add_subcommand("status", "Show the status of a request");
  c->add_option("request", status->request, "Request id, as start, close and top print it")->required();
  AddLinkOptions(c, status->link, kApp);
  c->callback([&run, status] { run = [status] { return AppStatus(*status, false); }; });

  auto cancel = std::make_shared<AppArgs>();
  c = group->add_subcommand("cancel", "Cancel a request that is still pending");
  c->add_option("request", cancel->request, "Request id")->required();
  AddLinkOptions(c, cancel->link, kApp);
  c->callback([&run, cancel] { run = [cancel] { return AppStatus(*cancel, true); }; });
}

}  // namespace qna
