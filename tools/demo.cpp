// demo.cpp - qna server, which starts the stand-in server as the launcher
// does, and qna demo: a plant and an operator panel around a private
// stand-in server, told step by step.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "qna.h"
#include "qnapi.h"
#include "qnapi_text.h"
#include "tagfile.h"

namespace qna {

namespace {

namespace fs = std::filesystem;

// ---- qna server -----------------------------------------------------------------

// The folder of the quonix that qna starts: the one beside this qna when there
// is one (an install puts both in its bin folder), else the one built with it.
std::string DefaultServerDir() {
  std::error_code failed;
  const fs::path self = fs::read_symlink("/proc/self/exe", failed);  // absent on Windows
  if (!failed && (fs::exists(self.parent_path() / "quonix", failed) ||
                  fs::exists(self.parent_path() / "QUONIX.EXE", failed)))
    return self.parent_path().string();
  return QUONIX_DIR;
}

struct ServerArgs {
  std::string dir = DefaultServerDir();
  std::vector<std::string> args;
  bool hide = false;
  bool log = false;
  bool json = false;
  std::uint32_t wait = 10000;
};

// The process of the server's QUONIX RUN window, 0 while there is none.
std::uint32_t ServerPid() {
  for (win::HWND w = win::GetTopWindow(0); w != 0; w = win::GetWindow(w, win::GW_HWNDNEXT)) {
    char title[128] = {};
    win::GetWindowTextA(w, title, sizeof title);
    if (std::strncmp(title, "QUONIX RUN", 10) == 0) return win::WindowProcessId(w);
  }
  return 0;
}

int Server(const ServerArgs& args) {
  std::string line = args.log ? "" : "--quiet";
  for (const auto& a : args.args) line += (line.empty() ? "" : " ") + a;
  const std::uint32_t r = args.hide ? QNA_StartQuonixHide(args.dir.c_str(), line.c_str())
                                    : QNA_StartQuonix(args.dir.c_str(), line.c_str());
  // The launcher's results share their numbers with tag access and come
  // without a detail, so the command names them itself.
  if (r != 0) {
    const std::string why = r == QNA_E_START_RUNNING ? "a server is running already (its QUONIX RUN window is up, pid " +
                                                           std::to_string(ServerPid()) + "): nothing started"
                            : r == QNA_E_START_NOFILE ? "no QUONIX.EXE in " + args.dir + " (give --dir)"
                                                      : std::string("the server process could not be created");
    return FailWith("server", why, r, 0);
  }
  // The server opens its window once it serves its pipes.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(args.wait);
  std::uint32_t pid = 0;
  while ((pid = ServerPid()) == 0) {
    if (std::chrono::steady_clock::now() >= deadline)
      return FailOwn("server", "started, but no QUONIX RUN window within " + std::to_string(args.wait) +
                                   " ms (run it with --log to see why)");
    QNA_Sleep(20);
  }
  if (args.json)
    std::printf("{\"pid\":%u}\n", pid);
  else
    std::printf("quonix is running as process %u (its window QUONIX RUN is up)\n", pid);
  return 0;
}

// ---- qna demo -----------------------------------------------------------------

// The stand-in server, started in a private root and stopped at the end.
class PrivateServer {
 public:
  bool Start(const std::string& dir, const std::string& args) {
    std::string command = (fs::path(dir) / "quonix").string() + " " + args;
    win::STARTUPINFOA startup{sizeof(win::STARTUPINFOA), win::STARTF_USESHOWWINDOW, win::SW_HIDE};
    win::PROCESS_INFORMATION info{};
    if (!win::CreateProcessA(nullptr, command.data(), nullptr, nullptr, 0, 0, nullptr, nullptr, &startup, &info))
      return false;
    pid_ = info.dwProcessId;
    return true;
  }
  ~PrivateServer() {
    if (pid_ == 0) return;
    SysProcessStop(pid_);
    for (int i = 0; i < 500 && SysProcessAlive(pid_); ++i) SysSleep(10);
  }
  bool alive() const { return pid_ != 0 && SysProcessAlive(pid_); }

 private:
  std::uint32_t pid_ = 0;
};

// A private platform root, removed at the end.
class PrivateRoot {
 public:
  PrivateRoot() {
    path_ = fs::temp_directory_path() / ("qna-demo-" + std::to_string(SysProcessId()));
    std::error_code ignored;
    fs::remove_all(path_, ignored);
    fs::create_directories(path_, ignored);
    PlatformSetRoot(path_.string());
  }
  ~PrivateRoot() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// The tag file of project PLANT, where QNA_InitRavo looks for it.
constexpr const char* kTagPath = "C:\\RAVOWLD\\USR\\PLANT\\PLANT.TAG";
constexpr const char* kDemoTags =
    "# the plant's tags\n"
    "LEVEL,    CW10, word\n"
    "TEMP,     CW11, word\n"
    "FLOW,     CW12, dword\n"
    "SETPOINT, CW20, word\n"
    "PUMP,     CB5,  bit\n"
    "HIGH,     SB3,  bit\n";

int g_steps = 0;
int g_failed = 0;
bool g_json = false;
std::string g_json_steps;  // with --json: the steps, told at the end

// Tells one step: what was done, and whether it came out as it should.
bool Step(bool ok, const std::string& what, std::uint32_t result = 0, std::int32_t detail = 0) {
  ++g_steps;
  if (g_json) {
    char text[200] = {};
    if (!ok) QNA_ResultText(result, detail, text, sizeof text);
    g_failed += ok ? 0 : 1;
    g_json_steps += (g_json_steps.empty() ? "" : ",") + std::string("{\"step\":") + JsonString(what) +
                    ",\"ok\":" + (ok ? "true" : "false") + (ok ? "" : ",\"text\":" + JsonString(text)) + "}";
    return ok;
  }
  if (ok) {
    std::printf("  ok    %s\n", what.c_str());
  } else {
    ++g_failed;
    char text[200];
    QNA_ResultText(result, detail, text, sizeof text);
    std::printf("  FAIL  %s: %s\n", what.c_str(), text);
  }
  std::fflush(stdout);
  return ok;
}

// Reads a tag by name; the value, or -99999 when it cannot be read.
std::int32_t Tag(const char* name, std::uint32_t& r) {
  char buffer[16] = {};
  std::strncpy(buffer, name, sizeof buffer - 1);
  std::int32_t value = -99999;
  r = QNA_ReadTag(buffer, &value, 0);
  return r == 0 ? value : -99999;
}

bool WriteTagFile(const PrivateRoot& root, std::string& error) {
  const fs::path tag_path = win::HostPath(kTagPath);
  std::error_code ignored;
  fs::create_directories(tag_path.parent_path(), ignored);
  const fs::path csv = root.path() / "plant.csv";
  std::ofstream(csv) << kDemoTags;
  return TagfileBuild(csv.string(), tag_path.string(), error) == 0;
}

// What the two applications hold; whatever a step leaves open goes at the
// end of the demo, also when a step stops it early.
struct Plant {
  std::uint32_t plant = 0, panel = 0;  // pipe connections
  std::uint32_t queue = 0, handle = 0;  // the panel's event queue
  bool queue_opened = false;  // its open was asked for (what it said aside)
  bool tags = false;          // QNA_InitRavo was asked for
  Plant() = default;
  Plant(const Plant&) = delete;
  Plant& operator=(const Plant&) = delete;
  ~Plant() { Close(); }
  // 0, or the result of the queue's close.
  std::uint32_t Close() {
    std::uint32_t r = 0;
    if (queue_opened) r = QNA_CloseEvQueue(handle, 0);
    if (tags) QNA_EndRavo();
    if (panel != 0) QNA_CloseN(panel);
    if (plant != 0) QNA_CloseN(plant);
    panel = plant = 0;
    queue_opened = tags = false;
    return r;
  }
};

// Two applications, each with its own pipe connection and registration, the
// panel with the tag file and an event queue.  The server needs a moment to
// publish its areas; the open says 51 until then.
bool Connect(const PrivateServer& server, Plant& p) {
  QNA_CONNPARAM plant_params{0, 0, "PLANT", "", 0, 0};
  QNA_CONNPARAM panel_params{0, 0, "PANEL", "", 0, 0};
  std::uint32_t r = QNA_E_OPEN;
  const auto start = std::chrono::steady_clock::now();
  while ((r = QNA_OpenN(&plant_params, &p.plant)) == QNA_E_OPEN && server.alive() &&
         std::chrono::steady_clock::now() - start < std::chrono::seconds(20))
    QNA_Sleep(20);
  if (!Step(r == 0, "plant: connects as PLANT (pipe connection " + std::to_string(p.plant) + ")", r, QNA_InternalErr))
    return false;
  r = QNA_OpenN(&panel_params, &p.panel);
  if (!Step(r == 0, "panel: connects as PANEL (pipe connection " + std::to_string(p.panel) + ")", r, QNA_InternalErr))
    return false;
  r = QNA_InitRavo();
  p.tags = true;
  Step(r == 0, "panel: loads the tag file of the server's project (QNA_InitRavo)", r, QNA_InternalErr);
  r = QNA_OpenEvQueue(p.panel, QNA_EVQ_ANY, &p.queue, "ALARMS", &p.handle, 0);
  p.queue_opened = true;
  Step(r == 0, "panel: opens event queue " + std::to_string(p.queue) + " as ALARMS", r, QNA_InternalErr);
  return true;
}

// The plant writes its process values through the server; the panel reads
// them straight from shared memory, by address and by tag.
void ProcessValues(const Plant& p) {
  const std::uint16_t values[2] = {420, 73};
  const std::uint16_t flow[2] = {0x86A0, 0x0001};  // 100000, low half first
  const std::uint8_t on[1] = {1};
  std::uint32_t r = QNA_WriteN(1, 10, 2, values, 0, p.plant);
  if (r == 0) r = QNA_WriteN(1, 12, 2, flow, 0, p.plant);
  if (r == 0) r = QNA_WriteBitN(0, 5, 1, on, 0, p.plant);
  Step(r == 0, "plant: level 420 and temperature 73 to CW10..11, flow 100000 to CW12..13, pump bit CB5 on", r,
       QNA_InternalErr);

  std::uint16_t back[2] = {};
  r = QNA_Read(1, 10, 2, back, 0);
  Step(r == 0 && back[0] == 420 && back[1] == 73,
       "panel: reads CW10..11 by address: " + std::to_string(back[0]) + " " + std::to_string(back[1]), r,
       QNA_InternalErr);
  std::uint32_t r1 = 0, r2 = 0, r3 = 0, r4 = 0;
  const std::int32_t level = Tag("level", r1), temp = Tag("TEMP", r2), rate = Tag("Flow", r3), pump = Tag("PUMP", r4);
  Step(r1 == 0 && r2 == 0 && r3 == 0 && r4 == 0 && level == 420 && temp == 73 && rate == 100000 && pump == 1,
       "panel: reads by tag LEVEL " + std::to_string(level) + ", TEMP " + std::to_string(temp) + ", FLOW " +
           std::to_string(rate) + ", PUMP " + std::to_string(pump),
       r1 | r2 | r3 | r4, QNA_InternalErr);
}

// The level rises: the plant raises its alarm bit and posts an event, which
// the panel waits for, without blocking for ever.
void Alarm(const Plant& p) {
  const std::uint16_t high[1] = {950};
  const std::uint8_t on[1] = {1};
  QNA_EVENT alarm{950, 10, const_cast<char*>("LEVEL HIGH")};
  std::uint32_t r = QNA_WriteN(1, 10, 1, high, 0, p.plant);
  if (r == 0) r = QNA_WriteBitN(2, 3, 1, on, 0, p.plant);
  if (r == 0) r = QNA_WriteEvQueue(p.plant, p.queue, &alarm);
  Step(r == 0, "plant: level rises to 950, alarm bit SB3 set, event 950 \"LEVEL HIGH\" posted", r, QNA_InternalErr);

  std::uint16_t kind = 0;
  char from[33] = {};
  char data[64] = {};
  QNA_EVENT got{0, sizeof data, data};
  const auto wait_until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while ((r = QNA_ReadEvQueue(p.handle, &kind, from, &got, QNA_EVQ_NOWAIT)) == QNA_E_EVQ_EMPTY &&
         std::chrono::steady_clock::now() < wait_until) {
    got.length = sizeof data;
    QNA_Sleep(10);
  }
  const std::string event_text(data, got.length);
  Step(r == 0 && got.value == 950 && event_text == "LEVEL HIGH" && std::strcmp(from, "PLANT") == 0,
       "panel: event from " + std::string(from) + ": value " + std::to_string(got.value) + ", \"" + event_text + "\"",
       r, QNA_InternalErr);
  std::uint32_t r5 = 0;
  const std::int32_t alarm_bit = Tag("HIGH", r5);
  Step(r5 == 0 && alarm_bit == 1, "panel: reads tag HIGH: " + std::to_string(alarm_bit), r5, QNA_InternalErr);
}

// A message from the plant, and the panel's answer on another channel.
void Messages(const Plant& p) {
  const char note[] = "level 950 above 900, pump at full speed";
  std::uint32_t r = QNA_SendMsgN(7, 1, 8, 0, sizeof note - 1, note, 0, p.plant);
  Step(r == 0, "plant: message on channel 7: \"" + std::string(note) + "\"", r, QNA_InternalErr);
  std::uint32_t type = 0, reply_to = 0, length = 63;
  std::uint8_t body[64] = {};
  r = QNA_RecvMsg(7, &type, &reply_to, &length, body, 2000);
  const std::string received(reinterpret_cast<char*>(body), r == 0 ? length : 0);
  Step(r == 0 && received == note && reply_to == 8,
       "panel: receives on channel 7 (type " + std::to_string(type) + ", answer on " + std::to_string(reply_to) +
           "): \"" + received + "\"",
       r, QNA_InternalErr);
  char setpoint_name[] = "setpoint";
  r = QNA_WriteTag(setpoint_name, 500, 0);
  const char answer[] = "setpoint lowered to 500";
  if (r == 0) r = QNA_SendMsg(reply_to, 2, 0, 0, sizeof answer - 1, answer, 0);
  Step(r == 0, "panel: writes tag SETPOINT = 500 and answers on channel 8", r, QNA_InternalErr);
  std::uint16_t setpoint = 0;
  length = 63;
  r = QNA_ReadN(1, 20, 1, &setpoint, 0, p.plant);
  if (r == 0) r = QNA_RecvMsgN(8, &type, &reply_to, &length, body, 2000, p.plant);
  Step(r == 0 && setpoint == 500 && std::string(reinterpret_cast<char*>(body), length) == answer,
       "plant: reads its setpoint CW20 = " + std::to_string(setpoint) + " and gets the panel's answer", r,
       QNA_InternalErr);
}

// What the server knows of them.
void ServerInfo() {
  std::uint8_t apps[QNA_APPINFO_SIZE] = {};
  const std::uint32_t r = QNA_ReadAppInfo(apps);
  std::string names;
  const std::uint32_t entries = r == 0 ? std::min<std::uint32_t>(apps[4], 15) : 0;
  for (std::uint32_t i = 0; i < entries; ++i) {
    char name[9] = {};
    std::memcpy(name, apps + 8 + 32 * i, 8);
    names += (names.empty() ? "" : ", ") + std::string(name);
  }
  Step(r == 0 && names.find("PLANT") != std::string::npos && names.find("PANEL") != std::string::npos,
       "panel: the server lists the applications " + names, r, QNA_InternalErr);
}

// Both go; the library's texts say what a refusal means.
void Close(Plant& p) {
  std::uint32_t r = p.Close();
  Step(r == 0, "panel and plant close their queue and connections", r, QNA_InternalErr);
  std::uint16_t after = 0;
  r = QNA_Read(1, 10, 1, &after, 0);
  char text[200];
  QNA_ResultText(r, QNA_InternalErr, text, sizeof text);
  Step(r == QNA_E_NOTOPEN, std::string("a read after closing is refused: ") + text, r, QNA_InternalErr);
}

}  // namespace

int RunDemo(const DemoOptions& options) {
  const std::string dir = options.server_dir.empty() ? DefaultServerDir() : options.server_dir;
  g_json = options.json;
  if (!g_json) std::printf("qna demo: a plant and an operator panel around a private stand-in server\n");
  PrivateRoot root;
  std::string error;
  if (!Step(WriteTagFile(root, error), "tag file of project PLANT: LEVEL CW10, TEMP CW11, FLOW CW12 (dword), "
                                       "SETPOINT CW20, PUMP CB5, HIGH SB3")) {
    if (g_json) return FailOwn("demo", error);
    std::printf("demo: %s\n", error.c_str());
    return 1;
  }
  PrivateServer server;
  if (!Step(server.Start(dir, std::string("--project C:PLANT ") + (options.verbose ? "-v" : "--quiet")),
            "start quonix in a private root, serving project PLANT")) {
    if (g_json) return FailOwn("demo", "could not start " + dir + "/quonix (use --server-dir)");
    std::printf("demo: could not start %s/quonix (use --server-dir)\n", dir.c_str());
    return 1;
  }
  {
    Plant plant;
    if (!Connect(server, plant)) return 1;
    ProcessValues(plant);
    Alarm(plant);
    Messages(plant);
    ServerInfo();
    Close(plant);
  }

  std::error_code ignored;
  fs::remove(win::HostPath(kTagPath), ignored);
  if (g_json)
    std::printf("{\"count\":%d,\"passed\":%d,\"steps\":[%s]}\n", g_steps, g_steps - g_failed, g_json_steps.c_str());
  else
    std::printf("demo: %d of %d steps passed%s\n", g_steps - g_failed, g_steps, g_failed ? "" : ", all good");
  return g_failed == 0 ? 0 : 1;
}

void AddServerCommands(CLI::App& app, Runner& run) {
  auto server = std::make_shared<ServerArgs>();
  auto* c = app.add_subcommand("server", "Start the stand-in server quonix as the launcher does (QNA_StartQuonix)");
  c->add_option("--dir", server->dir, "Folder of QUONIX.EXE (default: the quonix built with qna)");
  c->add_option("args", server->args, "quonix options, after -- (quonix --help lists them)");
  c->add_flag("--hide", server->hide, "Start it hidden (QNA_StartQuonixHide)");
  c->add_flag("--log", server->log, "Keep the server's log on this terminal (default: --quiet)");
  c->add_option("--wait", server->wait, "Milliseconds to wait for its window")->capture_default_str();
  c->add_flag("--json", server->json, "Print JSON for scripts");
  c->callback([&run, server] { run = [server] { return Server(*server); }; });

  auto demo = std::make_shared<DemoOptions>();
  c = app.add_subcommand("demo", "A plant and an operator panel around a private stand-in server, step by step");
  c->add_option("--server-dir", demo->server_dir, "Folder that holds the quonix program (default: the one beside qna, else the one built with it)");
  c->add_flag("-v,--verbose", demo->verbose, "Show the server's log");
  c->add_flag("--json", demo->json, "Print one JSON object with every step at the end");
  c->callback([&run, demo] { run = [demo] { return RunDemo(*demo); }; });
}

}  // namespace qna
