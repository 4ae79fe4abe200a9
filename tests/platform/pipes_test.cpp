// Pipes; then what only the POSIX backend has, or only Windows.
#ifndef _WIN32
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/link.h"
#include "platform/platform.h"
#include "support/test_support.h"

#include "closer.h"
#include "other.h"

namespace {

using PipeServer = qt::RootedTest;
using PipeNames = qt::RootedTest;
using PipeIo = qt::RootedTest;

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

std::string Local(const std::string& name) { return "\\\\.\\pipe\\" + name; }

using Owned = Closer<Handle, kInvalidHandle, win::CloseHandle>;

Owned Open(const std::string& name) {
  return Owned(win::CreateFileA(name.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0));
}

// A listener, a client and the server end of their connection.
struct Link {
  Owned listener;
  Owned client;
  Owned server;
};

Link Connect(const std::string& name) {
  Link link;
  link.listener = Owned(NpipeListen(name.c_str()));
  if (!link.listener.valid()) return link;
  link.client = Open(name);
  if (link.client.valid()) link.server = Owned(NpipeAccept(link.listener.get(), 10000));
  return link;
}

bool Write(Handle h, const std::string& text) {
  win::DWORD written = 0;
  return win::WriteFile(h, text.data(), static_cast<win::DWORD>(text.size()), &written, nullptr) &&
         written == text.size();
}

// Exactly `size` bytes through NpipeRead, or what it gave before failing.
std::string ReadAll(Handle h, std::uint32_t size) {
  std::string got(size, '\0');
  std::uint32_t n = 0;
  if (NpipeRead(reinterpret_cast<void*>(h), got.data(), size, &n) != 0) got.resize(n);
  return got;
}

// The bytes waiting in a pipe, or -1 when the peek fails.
long long Available(Handle h) {
  win::DWORD available = 0;
  if (!win::PeekNamedPipe(h, nullptr, 0, nullptr, &available, nullptr)) return -1;
  return available;
}

// A private root and one connected pipe.
class PipeLink : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link.server.valid()) << win::GetLastError(); }
  qt::TempRoot root;
  Link link = Connect(Local("link"));
};

TEST_F(PipeServer, ClientAndServerTalkBothWaysAndCloseCleanly) {
  const std::size_t handles_before = PlatformOpenHandles();
  {
    Link link = Connect(Local("Echo"));
    ASSERT_TRUE(link.server.valid()) << win::GetLastError();
#ifndef _WIN32
    EXPECT_TRUE(fs::exists(fs::path(root.path()) / "pipe" / "echo"));
#endif
    for (const auto& [from, to] : {std::pair{link.client.get(), link.server.get()},
                                   std::pair{link.server.get(), link.client.get()}}) {
      ASSERT_TRUE(Write(from, "hello"));
      char got[5] = {};
      win::DWORD n = 0;
      ASSERT_TRUE(win::ReadFile(to, got, 5, &n, nullptr));
      ASSERT_GE(n, 1u);
      EXPECT_EQ(std::string(got, n) + ReadAll(to, 5 - n), "hello");
    }
    const Handle listener = link.listener.get();
    link.listener.reset();
#ifndef _WIN32
    EXPECT_FALSE(fs::exists(fs::path(root.path()) / "pipe" / "echo"));
#endif
    EXPECT_EQ(Failed(win::CloseHandle(listener)), win::ERROR_INVALID_HANDLE);  // closed once only
    // The accepted connection outlives its listener.
    EXPECT_TRUE(Write(link.client.get(), "x"));
  }
  EXPECT_EQ(PlatformOpenHandles(), handles_before);
}

// What the reads of a disconnected pipe report (Windows: "not connected").
#ifdef _WIN32
constexpr win::DWORD kDisconnected = win::ERROR_PIPE_NOT_CONNECTED;
#else
constexpr win::DWORD kDisconnected = win::ERROR_BROKEN_PIPE;
#endif

TEST_F(PipeLink, DisconnectWakesABlockedReaderAndKeepsTheHandle) {
  win::DWORD error = 0;
  const int outcome = EndedBy(
      [&] {
        char byte = 0;
        win::DWORD n = 0;
        const win::BOOL ok = win::ReadFile(link.server.get(), &byte, 1, &n, nullptr);
        error = win::GetLastError();
        return ok;
      },
      [&] { EXPECT_EQ(NpipeDisconnect(link.server.get()), 0); },
      [&] { NpipeDisconnect(link.client.get()); });
  EXPECT_EQ(outcome, 0);
  EXPECT_EQ(error, kDisconnected);
  // The client sees the pipe closed; the server's handle is still open.
  char byte = 0;
  win::DWORD n = 0;
  EXPECT_EQ(Failed(win::ReadFile(link.client.get(), &byte, 1, &n, nullptr)), kDisconnected);
  EXPECT_TRUE(win::CloseHandle(link.server.get()));
}

// Every exchange moves its bytes through holds.  A cut from another thread
// wakes a read on one; once the handle is closed, every call through the
// hold fails with 6, as the handle would, while the object stays.
TEST_F(PipeLink, CallsThroughAHoldFailOnceItsHandleIsClosed) {
  Handle mutex = 0;
  ASSERT_EQ(MtxCreate(nullptr, &mutex, 0), 0);
  const HeldObject pipe = PipeHold(link.client.get());
  const HeldObject lock = MtxHold(mutex);
  ASSERT_TRUE(pipe && lock);
  std::uint32_t n = 0;
  EXPECT_EQ(PipeHeldWrite(pipe.get(), "ab", 2, &n), 0);
  EXPECT_EQ(ReadAll(link.server.get(), 2), "ab");
  char buffer[1];
  // A cut from another thread wakes a read blocked on the hold.
  EXPECT_EQ(EndedBy([&] { return PipeHeldRead(pipe.get(), buffer, 1, &n); },
                    [&] { NpipeDisconnect(link.client.get()); }, [&] { link.server.reset(); }),
            -1);

  const Handle stale = link.client.get();
  link.client.reset();
  ASSERT_EQ(HndClose(mutex), 0);
  EXPECT_EQ(Failed(PipeHeldWrite(pipe.get(), "ab", 2, &n) == 0), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(Failed(PipeHeldRead(pipe.get(), buffer, 1, &n) == 0), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(MtxHeldWait(lock.get(), 0), kWaitFailed);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(MtxHeldRelease(lock.get()), -1);
#ifndef _WIN32  // a Windows handle is held as it is: its calls tell
  EXPECT_EQ(Failed(static_cast<bool>(PipeHold(stale))), win::ERROR_INVALID_HANDLE);
  EXPECT_EQ(Failed(static_cast<bool>(MtxHold(link.server.get()))), win::ERROR_INVALID_HANDLE);
#else
  (void)stale;
#endif
}

TEST_F(PipeLink, NpipeReadGathersARecordWrittenInSmallPieces) {
  std::string record(1000, '\0');
  for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<char>(i * 7);
  std::thread writer([&] {
    for (std::size_t at = 0; at < record.size(); at += 7) {
      Write(link.server.get(), record.substr(at, 7));
      std::this_thread::sleep_for(1ms);
    }
  });
  EXPECT_EQ(ReadAll(link.client.get(), static_cast<std::uint32_t>(record.size())), record);
  writer.join();
}

// A peer's close ends a blocked NpipeRead, which counts what came before it;
// every later read fails with 109, never an empty success.
TEST_F(PipeLink, ClosedPeerFailsWithBrokenPipeNeverAnEmptySuccess) {
  std::uint32_t n = 0;
  char buffer[10] = {};
  win::DWORD error = 0;
  ASSERT_TRUE(Write(link.server.get(), "abc"));
  const int result = EndedBy(
      [&] {
        const int r = NpipeRead(reinterpret_cast<void*>(link.client.get()), buffer, 10, &n);
        error = win::GetLastError();
        return r;
      },
      [&] { link.server.reset(); }, [&] { NpipeDisconnect(link.client.get()); });
  EXPECT_EQ(result, -1);
  EXPECT_EQ(n, 3u);  // what came before the close stays counted
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_EQ(error, win::ERROR_BROKEN_PIPE);
  const auto start = Clock::now();
  for (int i = 0; i < 3; ++i) {
    n = 99;
    EXPECT_EQ(Failed(PipeRead(link.client.get(), buffer, 10, &n) == 0), win::ERROR_BROKEN_PIPE);
    EXPECT_EQ(n, 0u);
  }
  EXPECT_EQ(Failed(Available(link.client.get()) >= 0), win::ERROR_BROKEN_PIPE);
  EXPECT_LT(Clock::now() - start, 5s);
}

TEST_F(PipeLink, PeekShowsWaitingBytesWithoutTakingThem) {
  EXPECT_EQ(Available(link.server.get()), 0);  // an open, empty pipe
  ASSERT_TRUE(Write(link.client.get(), "12345"));
  ASSERT_TRUE(qt::WaitFor([&] { return Available(link.server.get()) == 5; }));
  win::DWORD read = 99, available = 99, left = 99;
  char peeked[3] = {};
  ASSERT_TRUE(win::PeekNamedPipe(link.server.get(), peeked, 3, &read, &available, &left));
  EXPECT_EQ(read, 3u);
  EXPECT_EQ(available, 5u);
#ifndef _WIN32  // not a message pipe: Windows leaves it undefined
  EXPECT_EQ(left, 0u);
#endif
  EXPECT_EQ(std::string(peeked, 3), "123");

  // Still all there after the peer has gone.
  link.client.reset();
  EXPECT_EQ(Available(link.server.get()), 5);
  EXPECT_EQ(ReadAll(link.server.get(), 5), "12345");
}

TEST_F(PipeLink, BadHandlesFailWith6AndMissingBuffersWith87) {
  Owned closed = Open(Local("link"));
  [[maybe_unused]] const Handle stale = closed.get();
  closed.reset();

  struct HandleCase {
    const char* what;
    Handle h;
  };
  const HandleCase handles[] = {{"zero", 0},
                                {"invalid", kInvalidHandle},
#ifndef _WIN32  // Windows gives a closed handle's value to the next object at once
                                {"closed", stale},
#endif
                                {"never issued", static_cast<Handle>(0x7654321012345678u)},
                                {"a listener", link.listener.get()}};
  for (const auto& c : handles) {
    SCOPED_TRACE(c.what);
    char buffer[4] = {};
    win::DWORD n = 0;
    std::uint32_t n32 = 0;
    EXPECT_EQ(PipeReadRaw(c.h, buffer, 4, &n32), -1);
    EXPECT_EQ(PipeWriteRaw(c.h, buffer, 4, &n32), -1);
    win::SetLastError(0);
    const win::DWORD errors[] = {
        Failed(win::ReadFile(c.h, buffer, 4, &n, nullptr)),
        Failed(win::WriteFile(c.h, buffer, 4, &n, nullptr)),
        Failed(win::PeekNamedPipe(c.h, buffer, 4, &n, &n, &n)),
        Failed(NpipeRead(reinterpret_cast<void*>(c.h), buffer, 4, &n32) == 0),
        Failed(NpipeDisconnect(c.h) == 0)};
    for (win::DWORD error : errors) EXPECT_EQ(error, win::ERROR_INVALID_HANDLE);
  }
  // Accepting works on listeners only; closing twice fails the second time.
  EXPECT_EQ(Failed(NpipeAccept(link.server.get(), 0) != kInvalidHandle), win::ERROR_INVALID_HANDLE);
#ifndef _WIN32
  EXPECT_EQ(Failed(win::CloseHandle(stale)), win::ERROR_INVALID_HANDLE);
#endif
  EXPECT_FALSE(win::CloseHandle(kInvalidHandle));
  // Missing buffers of a good handle.
  void* pipe = reinterpret_cast<void*>(link.server.get());
  std::uint32_t n = 99;
  char buffer[5];
  EXPECT_EQ(Failed(NpipeRead(pipe, nullptr, 5, &n) == 0), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Failed(NpipeRead(pipe, buffer, 5, nullptr) == 0), win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(NpipeRead(pipe, nullptr, 0, &n), 0);  // nothing asked, nothing read
  EXPECT_EQ(n, 0u);
  win::DWORD got = 99;
  EXPECT_FALSE(win::ReadFile(link.server.get(), nullptr, 5, &got, nullptr));
#ifndef _WIN32  // Windows says 998
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_PARAMETER);
#endif
  EXPECT_EQ(Failed(NpipeListen(nullptr) != kInvalidHandle), win::ERROR_INVALID_PARAMETER);
#ifndef _WIN32  // Windows' own calls say 3 and 2
  EXPECT_EQ(Failed(win::CreateFileA(nullptr, 0, 0, nullptr, win::OPEN_EXISTING, 0, 0) !=
                   kInvalidHandle),
            win::ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Failed(win::WaitNamedPipeA(nullptr, 0)), win::ERROR_INVALID_PARAMETER);
#endif
  // The pipe itself is untouched by all that.
  EXPECT_TRUE(Write(link.client.get(), "ok"));
}

// With the emulation flag set, the link's reads and writes go to the pipe
// emulation, never to the real pipe; the raw calls still reach it.
TEST_F(PipeLink, EmulationFlagSendsReadsAndWritesToTheEmulation) {
  ASSERT_TRUE(Write(link.client.get(), "data"));
  struct Restore {
    ~Restore() { g_emulation = 0; }
  } restore;
  g_emulation = 1;
  char buffer[4] = {};
  std::uint32_t n = 0;
  // Each ASSERT stops a read that went to the real pipe before the next one
  // waits for data that is no longer there.
  ASSERT_EQ(PipeRead(link.server.get(), buffer, 4, &n), -1);
  EXPECT_EQ(win::GetLastError(), win::ERROR_INVALID_HANDLE);  // no emulated pipe of that handle
  EXPECT_EQ(PipeWrite(link.server.get(), "x", 1, &n), -1);
  ASSERT_EQ(NpipeRead(reinterpret_cast<void*>(link.server.get()), buffer, 4, &n), -1);
  EXPECT_EQ(n, 0u);
  g_emulation = 0;
  ASSERT_EQ(Available(link.server.get()), 4);  // nothing was taken from the real pipe
  EXPECT_EQ(ReadAll(link.server.get(), 4), "data");
  ASSERT_EQ(PipeWrite(link.server.get(), "back", 4, &n), 0);
  EXPECT_EQ(n, 4u);
}

std::string OfHost(const std::string& host, const std::string& name) {
  return "\\\\" + host + "\\pipe\\" + name;
}

// A raw listening Unix socket at `path`, bound with the whole of sun_path
// when the path fills it (no terminating NUL).
#ifdef _WIN32
extern "C" __declspec(dllimport) int __stdcall GetComputerNameA(char* name, unsigned long* size);
#endif

// This machine's name, upper-cased.
std::string OwnHostName() {
  char buffer[256] = {};
#ifdef _WIN32
  unsigned long size = sizeof buffer;
  GetComputerNameA(buffer, &size);
#else
  gethostname(buffer, sizeof buffer - 1);
#endif
  std::string name = buffer;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

struct NameCase {
  const char* what;
  std::string listen;  // empty: no listener
  std::string open;
  win::DWORD error;  // 0: the open reaches the listener
  bool posix;        // the root's host folders, or a rule of its own
};

TEST_F(PipeNames, OpenAndWaitFollowTheNameRules) {
  std::string own = OwnHostName();
  const NameCase cases[] = {
      {"local pipe", Local("plain"), Local("plain"), 0, false},
      {"names differ in case", Local("MixedCase"), Local("mIXEDcASE"), 0, false},
      {"'pipe' in any case", Local("k"), "\\\\.\\PIPE\\K", 0, false},
      {"own host name means local", Local("own"), OfHost(own, "own"), 0, true},
      {"nobody serves it", "", Local("nobody"), win::ERROR_FILE_NOT_FOUND, false},
      {"host pipe, host in any case", OfHost("H1", "x"), OfHost("h1", "X"), 0, true},
      {"'/' is a separator as in Win32", Local("a\\b"), Local("A/B"), 0, true},
      {"unknown host", "", OfHost("H9", "x"), win::ERROR_BAD_NETPATH, true},
      {"other host's pipe", OfHost("H1", "x"), OfHost("H2", "x"), win::ERROR_BAD_NETPATH, true},
      {"host pipe is not local", OfHost("H1", "x"), Local("x"), win::ERROR_FILE_NOT_FOUND, true},
      {"local pipe is not the host's", Local("x"), OfHost("H1", "x"), win::ERROR_BAD_NETPATH, true},
      {"not a pipe path", "", "\\\\.\\share\\x", win::ERROR_PATH_NOT_FOUND, true},
      {"no leading backslashes", "", "pipe\\x", win::ERROR_PATH_NOT_FOUND, true},
      {"no host", "", "\\\\\\pipe\\x", win::ERROR_PATH_NOT_FOUND, true},
      {"empty name", "", Local(""), win::ERROR_PATH_NOT_FOUND, true},
      {"dot-dot name", "", Local(".."), win::ERROR_PATH_NOT_FOUND, true},
  };
  for (const auto& c : cases) {
#ifdef _WIN32
    if (c.posix) continue;
#endif
    SCOPED_TRACE(c.what);
    qt::TempRoot row_root;
    Owned listener;
    if (!c.listen.empty()) {
      listener = Owned(NpipeListen(c.listen.c_str()));
      ASSERT_TRUE(listener.valid()) << win::GetLastError();
    }
    win::SetLastError(0);
    const win::BOOL waited = win::WaitNamedPipeA(c.open.c_str(), 2000);
    const win::DWORD wait_error = win::GetLastError();
    Owned client = Open(c.open);
    if (c.error == 0) {
      EXPECT_TRUE(waited) << wait_error;
      ASSERT_TRUE(client.valid()) << win::GetLastError();
      Owned server(NpipeAccept(listener.get(), 10000));
      EXPECT_TRUE(server.valid());
    } else {
      EXPECT_FALSE(waited);
      EXPECT_EQ(wait_error, c.error);
      EXPECT_FALSE(client.valid());
      EXPECT_EQ(win::GetLastError(), c.error);
    }
  }
}

// Listens under the argument's name, or exits with the low byte of the error.
PT_BODY(listen_too) {
  if (NpipeListen(argument.c_str()) == kInvalidHandle)
    return static_cast<int>(win::GetLastError() & 0xFF);
  pt::Ready();
  return pt::Hold();
}

// A name has one server, here or in another process, until it goes; and only
// this machine's pipes can be served.
TEST_F(PipeServer, ASecondServerIsRefusedWhileTheFirstLives) {
  Owned first(NpipeListen(Local("one").c_str()));
  ASSERT_TRUE(first.valid());
  EXPECT_EQ(Failed(NpipeListen(Local("ONE").c_str()) != kInvalidHandle), win::ERROR_PIPE_BUSY);
  pt::Other other("listen_too", Local("one"));
  EXPECT_EQ(other.Wait(), static_cast<int>(win::ERROR_PIPE_BUSY));
  EXPECT_TRUE(Open(Local("one")).valid());  // the first one still serves
  first.reset();
  Owned again(NpipeListen(Local("one").c_str()));
  EXPECT_TRUE(again.valid()) << win::GetLastError();
  Owned own(NpipeListen(OfHost(OwnHostName(), "own").c_str()));
  EXPECT_TRUE(own.valid()) << win::GetLastError();
  EXPECT_EQ(Failed(NpipeListen("pipe-without-host") != kInvalidHandle), win::ERROR_PATH_NOT_FOUND);
#ifdef _WIN32  // POSIX serves other hosts' pipes from folders of the root
  EXPECT_EQ(Failed(NpipeListen("\\\\qna-no-such-host\\pipe\\x") != kInvalidHandle),
            win::ERROR_BAD_NETPATH);
#endif
}

// Owners of one name come and go from two threads: never two at once, and
// nothing is left behind (a server makes a pipe name per event queue open;
// a file per name would fill the file system in time).  POSIX only: on
// Windows the system keeps a name to one owner (the first-instance flag),
// which Wine does not enforce.
#ifndef _WIN32
TEST_F(PipeServer, OwnersComeAndGoOneAtATimeAndLeaveNoFiles) {
  std::atomic<int> owners{0}, doubled{0}, turns{0};
  const auto churn = [&] {
    for (int i = 0; i < 300; ++i) {
      Owned listener(NpipeListen(Local("churn").c_str()));
      if (!listener.valid()) continue;
      doubled += ++owners > 1;
      ++turns;
      std::this_thread::yield();
      --owners;
    }
  };
  std::thread other(churn);
  churn();
  other.join();
  EXPECT_EQ(doubled.load(), 0);
  EXPECT_GT(turns.load(), 0);
  for (char last = 'a'; last <= 'z'; ++last) {
    const std::string name = Local(std::string("queue-") + last);
    EXPECT_TRUE(Owned(NpipeListen(name.c_str())).valid());
  }
  EXPECT_TRUE(fs::is_empty(root.path() + "/pipe"));
  EXPECT_TRUE(fs::is_empty(root.path() + "/pipelock"));
}
#endif

// Clients that come between accepts are connected by the next ones.
TEST_F(PipeServer, ClientsBetweenAcceptsAreKeptForTheNextOnes) {
  Owned listener(NpipeListen(Local("between").c_str()));
  ASSERT_TRUE(listener.valid());
  EXPECT_EQ(NpipeAccept(listener.get(), 0), kInvalidHandle);  // none yet
  Owned first = Open(Local("between")), second = Open(Local("between"));
  ASSERT_TRUE(first.valid() && second.valid()) << win::GetLastError();
  Owned one(NpipeAccept(listener.get(), 10000)), two(NpipeAccept(listener.get(), 10000));
  ASSERT_TRUE(one.valid() && two.valid());
  ASSERT_TRUE(Write(second.get(), "2"));
  EXPECT_EQ(ReadAll(two.get(), 1), "2");
}

// Writes to a pipe whose client has gone; SIGPIPE stays at its default, so a
// write that raised it would end the process with 128 + 13.
PT_BODY(write_to_gone) {
#ifndef _WIN32
  signal(SIGPIPE, SIG_DFL);
#endif
  Link link = Connect(Local("gone"));
  if (!link.server.valid()) return 10;
  link.client.reset();
  win::DWORD written = 99;
  if (win::WriteFile(link.server.get(), "x", 1, &written, nullptr)) return 11;
  if (win::GetLastError() != win::ERROR_NO_DATA || written != 0) return 12;
  std::uint32_t n = 0;
  if (PipeWriteRaw(link.server.get(), "y", 1, &n) != -1) return 13;
  if (PipeWrite(link.server.get(), "z", 1, &n) != -1) return 14;
  char got[8] = {};
  if (PipeReadRaw(link.server.get(), got, sizeof got, &n) != -1) return 15;
  return win::GetLastError() == win::ERROR_BROKEN_PIPE ? 0 : 16;
}

TEST_F(PipeIo, WriteToAClosedPeerFailsWith232AndRaisesNoSignal) {
  pt::Other other("write_to_gone");
  EXPECT_EQ(other.Wait(), 0);
}

// ---- One backend's own: Unix sockets, folders of the root and signals; the
// pipe instances and listener closes of Windows ----------------------------------
#ifndef _WIN32

int RawListener(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() > sizeof address.sun_path) return -1;
  std::memcpy(address.sun_path, path.data(), path.size());
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(fd, 8) != 0) {
    if (fd >= 0) close(fd);
    return -1;
  }
  return fd;
}

bool HasPendingClient(int listener) {
  pollfd ready{listener, POLLIN, 0};
  return poll(&ready, 1, 0) == 1;
}

// Whether the kernel reports the queue lengths of listening Unix sockets
// (socket diagnostics); without them a busy pipe cannot be told from a free one.
bool KernelReportsListenQueues() {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return false;
  struct {
    nlmsghdr header;
    unix_diag_req request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  message.request.sdiag_family = AF_UNIX;
  message.request.udiag_states = ~0u;
  message.request.udiag_show = UDIAG_SHOW_RQLEN;
  alignas(nlmsghdr) char reply[8192];
  const bool ok = send(fd, &message, sizeof message, 0) > 0 &&
                  recv(fd, reply, sizeof reply, 0) >= static_cast<ssize_t>(sizeof(nlmsghdr)) &&
                  reinterpret_cast<nlmsghdr*>(reply)->nlmsg_type != NLMSG_ERROR;
  close(fd);
  return ok;
}

TEST_F(PipeNames, NameNeverLeavesThePipeFolder) {
  Owned listener(NpipeListen(Local("..\\../escape").c_str()));
  ASSERT_TRUE(listener.valid()) << win::GetLastError();
  EXPECT_TRUE(fs::exists(fs::path(root.path()) / "pipe" / "..\\..\\escape"));
  EXPECT_FALSE(fs::exists(fs::path(root.path()) / "escape"));
  EXPECT_FALSE(fs::exists(fs::path(root.path()).parent_path() / "escape"));
  Owned client = Open(Local("..\\..\\ESCAPE"));
  EXPECT_TRUE(client.valid()) << win::GetLastError();
}

// A root longer than sun_path still works, and never through a cut-off path:
// decoy listeners wait at the paths a cut would give.
TEST_F(PipeNames, LongRootWorksAndNeverUsesACutOffPath) {
  const std::string long_root = root.path() + "/" + std::string(120, 'r');
  setenv("QNAPI_ROOT", long_root.c_str(), 1);  // the fixture's root puts the old value back
  const std::string socket_path = long_root + "/pipe/long";
  int decoys[2] = {-1, -1};
  const std::size_t cuts[2] = {sizeof(sockaddr_un::sun_path) - 1, sizeof(sockaddr_un::sun_path)};
  for (int i = 0; i < 2; ++i) {
    decoys[i] = RawListener(socket_path.substr(0, cuts[i]));
    ASSERT_GE(decoys[i], 0) << "decoy " << cuts[i];
  }

  Link link = Connect(Local("long"));
  ASSERT_TRUE(link.listener.valid()) << win::GetLastError();
  ASSERT_TRUE(link.client.valid()) << win::GetLastError();
  ASSERT_TRUE(link.server.valid());
  EXPECT_TRUE(fs::exists(socket_path));
  EXPECT_TRUE(win::WaitNamedPipeA(Local("long").c_str(), 1000));
  ASSERT_TRUE(Write(link.client.get(), "ping"));
  EXPECT_EQ(ReadAll(link.server.get(), 4), "ping");

  // A name too long even through the folder's descriptor fails cleanly.
  const std::string too_long = Local(std::string(100, 'n'));
  EXPECT_EQ(Failed(NpipeListen(too_long.c_str()) != kInvalidHandle), win::ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(Failed(Open(too_long).valid()), win::ERROR_FILENAME_EXCED_RANGE);

  for (int fd : decoys) {
    EXPECT_FALSE(HasPendingClient(fd));
    close(fd);
  }
  link.listener.reset();
  EXPECT_FALSE(fs::exists(socket_path));  // a closed listener takes its file along
}

// A live server, ours or one sharing none of our code, keeps its name; a dead
// one leaves a socket file that is no pipe and goes to the next server.
TEST_F(PipeServer, LiveServersServeAndDeadOnesLeaveNoPipe) {
  ASSERT_TRUE(fs::create_directories(fs::path(root.path()) / "host" / "box" / "pipe"));
  ASSERT_TRUE(fs::create_directories(fs::path(root.path()) / "pipe"));
  for (const std::string& name : {Local("ours"), Local("plain"), OfHost("box", "plain")}) {
    SCOPED_TRACE(name);
    const std::string folder = name == OfHost("box", "plain") ? "/host/box/pipe" : "/pipe";
    const std::string path = root.path() + folder + (name == Local("ours") ? "/ours" : "/plain");
    int plain = -1;
    std::unique_ptr<qt::Child> server;
    qt::Signal listening;
    if (name == Local("ours")) {
      server = std::make_unique<qt::Child>([&] {
        if (NpipeListen(name.c_str()) == kInvalidHandle) return 1;
        listening.Post();
        for (;;) pause();
      });
      ASSERT_EQ(listening.Take(), 1);
    } else {
      ASSERT_GE(plain = RawListener(path), 0);
    }
    EXPECT_TRUE(win::WaitNamedPipeA(name.c_str(), 1000)) << win::GetLastError();
    EXPECT_TRUE(Open(name).valid()) << win::GetLastError();
    EXPECT_TRUE(plain < 0 || HasPendingClient(plain));
    EXPECT_EQ(Failed(Owned(NpipeListen(name.c_str())).valid()), win::ERROR_PIPE_BUSY);
    if (server) server->Kill();
    if (plain >= 0) close(plain);
    ASSERT_TRUE(fs::exists(path)) << "a dead server leaves its socket file";
    EXPECT_EQ(Failed(win::WaitNamedPipeA(name.c_str(), 1000)), win::ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Failed(Open(name).valid()), win::ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(Connect(name).server.valid()) << win::GetLastError();
  }
}

TEST_F(PipeServer, ClosingAListenerLeavesAReplacedSocketFileAlone) {
  Owned listener(NpipeListen(Local("mine").c_str()));
  ASSERT_TRUE(listener.valid());
  const std::string path = root.path() + "/pipe/mine";
  ASSERT_EQ(unlink(path.c_str()), 0);
  const int other = RawListener(path);
  ASSERT_GE(other, 0);
  listener.reset();
  EXPECT_TRUE(fs::exists(path));
  EXPECT_TRUE(Open(Local("mine")).valid());
  EXPECT_TRUE(HasPendingClient(other));
  close(other);
}

TEST_F(PipeServer, FullListenQueueIsBusyAndWaitingForItTimesOut) {
  Owned listener(NpipeListen(Local("crowded").c_str()));
  ASSERT_TRUE(listener.valid());
  std::vector<Owned> clients;
  win::DWORD error = 0;
  for (int i = 0; i < 1000 && error == 0; ++i) {
    Owned c = Open(Local("crowded"));
    if (c.valid()) {
      clients.push_back(std::move(c));
    } else {
      error = win::GetLastError();
    }
  }
  ASSERT_EQ(error, win::ERROR_PIPE_BUSY) << clients.size() << " clients got in";
  ASSERT_FALSE(clients.empty());

  if (KernelReportsListenQueues()) {
    const auto start = Clock::now();
    EXPECT_EQ(Failed(win::WaitNamedPipeA(Local("crowded").c_str(), 300)), win::ERROR_SEM_TIMEOUT);
    EXPECT_GE(Clock::now() - start, 290ms);
  }
  Owned a(NpipeAccept(listener.get(), 10000));
  Owned b(NpipeAccept(listener.get(), 10000));
  ASSERT_TRUE(a.valid() && b.valid());
  EXPECT_TRUE(win::WaitNamedPipeA(Local("crowded").c_str(), 10000));
  EXPECT_TRUE(Open(Local("crowded")).valid()) << win::GetLastError();
}

// A signal without SA_RESTART interrupts the calls: a read goes on waiting,
// and a write that moved some bytes reports exactly those.
TEST_F(PipeLink, InterruptedReadKeepsWaitingForData) {
  const Interrupts interrupts;
  std::atomic<bool> done{false};
  win::BOOL ok = 0;
  char byte = 0;
  std::thread reader([&] {
    win::DWORD n = 0;
    ok = win::ReadFile(link.client.get(), &byte, 1, &n, nullptr);
    done = true;
  });
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(20ms);
    pthread_kill(reader.native_handle(), SIGUSR1);
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(done.load());  // no interrupted read came back as a failure
  ASSERT_TRUE(Write(link.server.get(), "k"));
  const bool ended = qt::WaitFor([&] { return done.load(); }, 10s);
  if (!ended) NpipeDisconnect(link.client.get());
  reader.join();
  EXPECT_TRUE(ok);
  EXPECT_EQ(byte, 'k');
}

TEST_F(PipeLink, InterruptedWriteReportsTheShortCount) {
  const Interrupts interrupts;
  const std::vector<char> big(64u << 20, 'w');  // far more than a socket holds
  std::atomic<bool> done{false};
  win::BOOL ok = 0;
  win::DWORD written = 0;
  std::thread writer([&] {
    ok = win::WriteFile(link.client.get(), big.data(), static_cast<win::DWORD>(big.size()),
                        &written, nullptr);
    done = true;
  });
  qt::WaitFor([&] { return Available(link.server.get()) > 0; });
  const bool ended = Interrupts::Until(writer.native_handle(), done);
  if (!ended) link.server.reset();  // a write that loops would wait for ever
  writer.join();
  ASSERT_TRUE(ended) << "the write did not come back when interrupted";
  EXPECT_TRUE(ok);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, big.size());
}

#else  // What only Windows has.

// A zero-length write completes a waiting read with nothing; the read must
// wait on for real bytes.
TEST_F(PipeLink, AReadReturnsAtLeastOneByte) {
  std::thread writer([&] {
    std::uint32_t put = 0;
    std::this_thread::sleep_for(50ms);
    PipeWriteRaw(link.client.get(), "", 0, &put);
    std::this_thread::sleep_for(50ms);
    PipeWriteRaw(link.client.get(), "xyz", 3, &put);
  });
  char got[8] = {};
  std::uint32_t moved = 0;
  const int result = PipeReadRaw(link.server.get(), got, sizeof got, &moved);
  writer.join();
  EXPECT_EQ(result, 0);
  EXPECT_EQ(std::string(got, moved), "xyz");
}

TEST_F(PipeServer, ClosingTheListenerWakesAnAcceptAndFreesTheName) {
  const Handle listener = NpipeListen(Local("freed").c_str());
  ASSERT_NE(listener, kInvalidHandle);
  std::atomic<bool> returned{false};
  std::thread acceptor([&] {
    EXPECT_EQ(NpipeAccept(listener, kInfinite), kInvalidHandle);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(HndClose(listener), 0);
  EXPECT_TRUE(qt::WaitFor([&] { return returned.load(); }, 5s));
  acceptor.join();
  EXPECT_TRUE(Owned(NpipeListen(Local("freed").c_str())).valid());
}

TEST_F(PipeLink, DisconnectEndsAClientEndAndRefusesAnEvent) {
  EXPECT_EQ(NpipeDisconnect(link.client.get()), 0);
  std::uint32_t moved = 0;
  char got[4];
  EXPECT_EQ(Failed(PipeWriteRaw(link.client.get(), "x", 1, &moved) != -1),
            win::ERROR_PIPE_NOT_CONNECTED);
  EXPECT_EQ(PipeReadRaw(link.client.get(), got, sizeof got, &moved), -1);
  Handle event = 0;
  ASSERT_EQ(EvCreate(nullptr, &event, 0), 0);
  EXPECT_EQ(NpipeDisconnect(event), -1);
  EXPECT_EQ(HndClose(event), 0);
}

#endif  // _WIN32

}  // namespace
