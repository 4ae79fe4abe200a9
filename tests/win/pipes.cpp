// Named pipes as only Windows has them: pipe instances between accepts, the
// listener's close, names of this machine and of others, zero-length
// writes and the disconnect of a client end.
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

std::string PipeName(const char* what) { return "\\\\.\\pipe\\" + wt::Unique(what); }

Handle Connect(const std::string& name) {
  return win::CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, 0);
}

// A listener with one connected client.
struct Connected {
  Handle listener = kInvalidHandle;
  Handle server = kInvalidHandle;
  Handle client = kInvalidHandle;

  explicit Connected(const std::string& name) {
    listener = NpipeListen(name.c_str());
    if (listener == kInvalidHandle) return;
    client = Connect(name);
    server = NpipeAccept(listener, 5000);
  }
  ~Connected() {
    for (Handle h : {client, server, listener})
      if (h != kInvalidHandle) HndClose(h);
  }
  bool ok() const {
    return listener != kInvalidHandle && server != kInvalidHandle && client != kInvalidHandle;
  }
};

TEST(Pipe, AReadReturnsAtLeastOneByte) {
  Connected pipe(PipeName("zero"));
  ASSERT_TRUE(pipe.ok());
  std::uint32_t moved = 0;
  // A zero-length write completes a waiting read with nothing; the read
  // waits on for real bytes.
  std::thread writer([&] {
    std::this_thread::sleep_for(50ms);
    std::uint32_t put = 0;
    PipeWriteRaw(pipe.client, "", 0, &put);
    std::this_thread::sleep_for(50ms);
    PipeWriteRaw(pipe.client, "xyz", 3, &put);
  });
  char got[8] = {};
  ASSERT_EQ(PipeReadRaw(pipe.server, got, sizeof got, &moved), 0);
  EXPECT_EQ(std::string(got, moved), "xyz");
  writer.join();
}

TEST(Pipe, AWriteToAClosedPeerGives232) {
  Connected other(PipeName("closed"));
  ASSERT_TRUE(other.ok());
  std::uint32_t moved = 0;
  char got[8] = {};
  ASSERT_EQ(HndClose(other.client), 0);
  other.client = kInvalidHandle;
  EXPECT_EQ(Failed(PipeWriteRaw(other.server, "late", 4, &moved) != -1), ERROR_NO_DATA);
  EXPECT_EQ(Failed(PipeReadRaw(other.server, got, sizeof got, &moved) != -1), ERROR_BROKEN_PIPE);
}

TEST(PipeServer, ClientsBetweenAcceptsAreKeptForTheNextOnes) {
  const std::string name = PipeName("between");
  const Handle listener = NpipeListen(name.c_str());
  ASSERT_NE(listener, kInvalidHandle);
  EXPECT_EQ(NpipeAccept(listener, 0), kInvalidHandle);  // none yet
  // Clients that come between accepts are connected by the next ones.
  const Handle first = Connect(name);
  ASSERT_NE(first, kInvalidHandle);
  const Handle second = Connect(name);
  ASSERT_NE(second, kInvalidHandle);
  const Handle one = NpipeAccept(listener, 0);
  const Handle two = NpipeAccept(listener, 1000);
  ASSERT_NE(one, kInvalidHandle);
  ASSERT_NE(two, kInvalidHandle);
  std::uint32_t moved = 0;
  char got[4] = {};
  ASSERT_EQ(PipeWriteRaw(second, "2", 1, &moved), 0);
  ASSERT_EQ(PipeReadRaw(two, got, 1, &moved), 0);
  EXPECT_EQ(got[0], '2');
  for (Handle h : {first, second, one, two, listener}) EXPECT_EQ(HndClose(h), 0);
}

TEST(PipeServer, ClosingTheListenerWakesAnAcceptAndFreesTheName) {
  const std::string name = PipeName("wake");
  const Handle listener = NpipeListen(name.c_str());
  ASSERT_NE(listener, kInvalidHandle);
  std::atomic<bool> returned{false};
  std::thread acceptor([&] {
    EXPECT_EQ(NpipeAccept(listener, kInfinite), kInvalidHandle);
    returned = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(HndClose(listener), 0);
  EXPECT_TRUE(wt::WaitFor([&] { return returned.load(); }, 5s));
  acceptor.join();
  const Handle again = NpipeListen(name.c_str());
  EXPECT_NE(again, kInvalidHandle);
  if (again != kInvalidHandle) HndClose(again);
}

TEST(PipeServer, ASecondServerOfTheNameGets231AndOtherHostsCannotBeServed) {
  const std::string name = PipeName("owned");
  const Handle listener = NpipeListen(name.c_str());
  ASSERT_NE(listener, kInvalidHandle);
  EXPECT_EQ(Failed(NpipeListen(name.c_str()) != kInvalidHandle), ERROR_PIPE_BUSY);
  EXPECT_EQ(HndClose(listener), 0);

  const std::string other_host = "\\\\qna-no-such-host\\pipe\\" + wt::Unique("x");
  EXPECT_EQ(Failed(NpipeListen(other_host.c_str()) != kInvalidHandle), ERROR_BAD_NETPATH);
  EXPECT_EQ(Failed(NpipeListen("pipe-without-host") != kInvalidHandle), ERROR_PATH_NOT_FOUND);

  // This machine under its own name is served as the local pipe.
  char own[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD size = sizeof own;
  ASSERT_TRUE(GetComputerNameA(own, &size));
  const std::string local = wt::Unique("own");
  const Handle served = NpipeListen(("\\\\" + std::string(own) + "\\pipe\\" + local).c_str());
  ASSERT_NE(served, kInvalidHandle);
  const Handle client = Connect("\\\\.\\pipe\\" + local);
  EXPECT_NE(client, kInvalidHandle);
  if (client != kInvalidHandle) HndClose(client);
  HndClose(served);
}

TEST(PipeClient, NoSuchPipeIs2AndWaitNamedPipeSeesAFreeInstance) {
  const std::string missing = PipeName("missing");
  EXPECT_EQ(Failed(Connect(missing) != kInvalidHandle), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Failed(win::WaitNamedPipeA(missing.c_str(), 0) != 0), ERROR_FILE_NOT_FOUND);

  const std::string name = PipeName("wait");
  const Handle listener = NpipeListen(name.c_str());
  ASSERT_NE(listener, kInvalidHandle);
  EXPECT_EQ(win::WaitNamedPipeA(name.c_str(), 0), 1);
  EXPECT_EQ(HndClose(listener), 0);
}

TEST(PipeDisconnect, EndsAClientEndForLaterTransfersAndRefusesOtherHandles) {
  Connected pipe(PipeName("cutclient"));
  ASSERT_TRUE(pipe.ok());
  EXPECT_EQ(NpipeDisconnect(pipe.client), 0);
  std::uint32_t moved = 0;
  char got[4];
  EXPECT_EQ(Failed(PipeWriteRaw(pipe.client, "x", 1, &moved) != -1), ERROR_PIPE_NOT_CONNECTED);
  EXPECT_EQ(PipeReadRaw(pipe.client, got, sizeof got, &moved), -1);

  Handle event = 0;
  ASSERT_EQ(EvCreate(nullptr, &event, 0), 0);
  EXPECT_EQ(NpipeDisconnect(event), -1);
  EXPECT_EQ(NpipeDisconnect(kInvalidHandle), -1);
  EXPECT_EQ(HndClose(event), 0);
}

}  // namespace
