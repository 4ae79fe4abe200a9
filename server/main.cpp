// main.cpp - quonix, the stand-in QUONIX server: starts the areas, the
// mailboxes, the links and the window, serves until a stop request, and takes
// everything down again in the reverse order.
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "server/areas.h"
#include "server/evqueues.h"
#include "server/faults.h"
#include "server/info.h"
#include "server/install.h"
#include "server/links.h"
#include "server/log.h"
#include "server/mailboxes.h"
#include "server/messages.h"
#include "server/options.h"

namespace {

// Launchers and clients recognise a running server by a top-level window
// whose title begins with "QUONIX RUN".
constexpr const char* kWindowTitle = "QUONIX RUN - quonix stand-in server";
constexpr std::uint32_t kIdleSliceMs = 100;

int Run(const quonix::Options& options) {
  using namespace quonix;
  LogInit(options.verbose, options.quiet);
  InfoSetVersion(QUONIX_VERSION_NUMBER);
  // Before anything is created, so a stop during start-up still ends cleanly.
  SysInstallStopHandler();

  std::string error;
  const AreasOutcome areas = AreasCreate(options.area_words, options.lock_timeout_ms, error);
  if (areas != AreasOutcome::Ok) {
    std::fprintf(stderr, "quonix: cannot start: %s (root %s)\n", error.c_str(),
                 PlatformRoot().c_str());
    return 1;
  }
  FaultsInit(options.faults);
  if (FaultsActive()) Log("fault knobs are on: this server misbehaves on purpose");
  EvQueuesInit(options.evqueues, std::size_t{options.evqueue_mib} << 20, options.host);
  MailboxesInit(options.mailbox_words, options.max_mailboxes, options.project_drive,
                options.project_name);
  // The installation's files on drive C, before any client can come.
  InstallSystemFiles();
  if (!LinksStart(options, error)) {
    std::fprintf(stderr, "quonix: cannot start: %s (root %s)\n", error.c_str(),
                 PlatformRoot().c_str());
    MailboxesClear();
    AreasClose();
    return 1;
  }
  // Last, once everything it announces is ready to serve.
  const win::HWND window = win::WindowOpen(kWindowTitle);
  if (window == 0) Log("the window \"%s\" could not be opened", kWindowTitle);

  Log("serving %s in %s; areas CB %u CW %u SB %u SW %u LGP %u TMAN %u words; pid %u",
      LinksServed().c_str(), PlatformRoot().c_str(), AreaSize(0), AreaSize(1),
      AreaSize(2), AreaSize(3), AreaSize(4), AreaSize(5), SysProcessId());
  while (!SysStopRequested()) {
    SysSleep(kIdleSliceMs);
    LinksReap();
  }

  Log("stop requested, closing");
  // First the receives that wait for a message, so their links can end.
  MessagesStop();
  LinksStop();
  EvQueuesStop();
  if (window != 0) win::WindowClose(window);
  MailboxesClear();
  AreasClose();
  Log("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  quonix::Options options;
  std::string error;
  switch (quonix::ParseOptions(argc, argv, options, error)) {
    case quonix::ParseOutcome::Help:
      quonix::PrintUsage(stdout);
      return 0;
    case quonix::ParseOutcome::Version:
      std::printf("quonix %s\n", QUONIX_VERSION);
      return 0;
    case quonix::ParseOutcome::Error:
      std::fprintf(stderr, "quonix: %s\n", error.c_str());
      return 2;
    case quonix::ParseOutcome::Run:
      break;
  }
  return Run(options);
}
