// replies.cpp - fuzz target: the library's handling of what a server sends.
//
// Every iteration connects the library to a fresh link whose far end has
// sent the fuzzer's bytes and ended the stream.  The link is the local link
// (g_link), the pipe of a remote connection and the socket of a TCP
// connection at once (all three are one stream), and the per-queue pipe of
// an open event queue.  The first bytes of the input choose up to four calls
// of any family; the rest is the stream.  Out-buffers are exactly as large as
// the calls are told, so an overrun is an ASan finding, and every call must
// return: the stream ends, so a call that waits for more than a reply
// announced hangs the iteration, which libFuzzer reports as a time-out.
// Several calls on one stream reach the code that keeps a link in step (or
// cuts it) after a bad reply.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "core/core.h"
#include "evqueue/evqueue.h"
#include "fuzz/fuzz_support.h"
#include "qnapi.h"
#include "remote/remote.h"

namespace {

constexpr std::uint32_t kPipeConn = 1;
constexpr std::uint32_t kTcpConn = 2;
constexpr std::uint32_t kQueueHandle = 77;

ConnRecord* g_pipe_conn = nullptr;
ConnRecord* g_tcp_conn = nullptr;

void Setup() {
  fz::MakePrivateRoot("replies");
  g_request_lock = fz::NewMutex();
  g_pipe_conn = ConnAddEntry();
  g_tcp_conn = ConnAddEntry();
  if (g_pipe_conn == nullptr || g_tcp_conn == nullptr) std::abort();
  g_pipe_conn->id = kPipeConn;
  g_pipe_conn->kind = ConnKind::Pipe;
  g_pipe_conn->request_lock = fz::NewMutex();
  std::strcpy(g_pipe_conn->host, "FARHOST");
  g_tcp_conn->id = kTcpConn;
  g_tcp_conn->kind = ConnKind::Tcp;
  g_tcp_conn->request_lock = fz::NewMutex();
  std::strcpy(g_tcp_conn->host, "FARHOST");
  // The event queue table lock exists while a queue is open; the one entry
  // added per iteration counts as that.
  if (EvQueueTableMake() != 0 || EvQueueTableWait(1000, true) != kWaitOk) std::abort();
  EvQueueCountUp();
  EvQueueTableRelease();
}

// The calls, one family or variant each.  `a` is a byte of the input that
// varies sizes and ids a little.
void Call(std::uint8_t which, std::uint8_t a) {
  std::uint16_t words[64] = {};
  std::uint8_t bits[64] = {};
  std::uint16_t flags[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  const std::uint32_t count = 1u + a % 48;
  const std::uint32_t id = (a & 0x80) != 0 ? kTcpConn : kPipeConn;
  switch (which % 34) {
    case 0: QNA_Write(1, 0, count, words, 0); break;
    case 1: QNA_WriteBit(0, 3, count, bits, 0); break;
    case 2: QNA_WriteWithFlag(1, 0, 16, words, flags, 0); break;
    case 3: QNA_WriteWithFlag(0, 0, 32, words, flags, 0); break;
    case 4: QNA_ReadApp("FUZZ", 0, count, words); break;
    case 5: QNA_WriteApp("FUZZ", 1, count, words, 0); break;
    case 6: QNA_SendMsg(3, 1, 2, 0, count, bits, 0); break;
    case 7: {
      std::uint32_t w1 = 0, w2 = 0, length = count;
      QNA_RecvMsg(3, &w1, &w2, &length, bits, 0);
      break;
    }
    case 8: {
      std::array<std::uint8_t, QNA_CMINFO_SIZE> block{};
      QNA_ReadCmInfo(block.data());
      break;
    }
    case 9: {
      std::array<std::uint8_t, QNA_APPINFO_SIZE> block{};
      QNA_ReadAppInfo(block.data());
      break;
    }
    case 10: {
      const QNA_REGREC record{0, 0, {'F', 'U', 'Z', 'Z'}};
      QNA_EntAppName(&record);
      break;
    }
    case 11: QNA_ReadN(1, 0, count, words, 0, kPipeConn); break;
    case 12: QNA_ReadBitN(0, 0, count, bits, 0, kPipeConn); break;
    case 13: {
      const std::uint32_t areas[2] = {1, 3}, starts[2] = {0, 5}, counts[2] = {count / 2 + 1, 3};
      QNA_ReadMuxN(2, areas, starts, counts, words, kPipeConn);
      break;
    }
    case 14: QNA_WriteN(1, 0, count, words, 0, kPipeConn); break;
    case 15: QNA_WriteBitN(0, 0, count, bits, 0, kPipeConn); break;
    case 16: QNA_SendMsgN(4, 1, 2, 3, count, bits, 0, kPipeConn); break;
    case 17: {
      std::uint32_t w1 = 0, w2 = 0, length = count;
      QNA_RecvMsgN(4, &w1, &w2, &length, bits, 0, kPipeConn);
      break;
    }
    case 18: QNA_ReadS(1, 0, count, words, 0, kTcpConn); break;
    case 19: QNA_ReadBitS(0, 0, count, bits, 0, kTcpConn); break;
    case 20: {
      const std::uint32_t areas[2] = {1, 3}, starts[2] = {0, 5}, counts[2] = {count / 2 + 1, 3};
      QNA_ReadMuxS(2, areas, starts, counts, words, kTcpConn);
      break;
    }
    case 21: QNA_WriteS(1, 0, count, words, 0, kTcpConn); break;
    case 22: QNA_WriteBitS(0, 0, count, bits, 0, kTcpConn); break;
    case 23: QNA_SendMsgS(5, 1, 2, 3, count, bits, 0, kTcpConn); break;
    case 24: {
      std::uint32_t request = 0;
      QNA_StartAPP(id, "prog", "args", "dir", "APP", 1, 2, 3, 4, &request);
      break;
    }
    case 25: {
      std::uint32_t request = 0;
      QNA_SendCloseMsg(id, "APP", 1, 2, 3, &request, 5);
      break;
    }
    case 26: {
      std::uint32_t status = 0;
      QNA_GetReqStatus(id, 1 + a, &status);
      break;
    }
    case 27: QNA_CancelReq(id, 1 + a); break;
    case 28: {
      std::uint32_t max = 0;
      QNA_GetMaxEvQueueNum(id, &max);
      break;
    }
    case 29: {
      std::uint32_t n = 0, list[8] = {};
      const std::uint32_t room = a % 9;
      if ((a & 1) != 0)
        QNA_GetUsableEvQueueNum(id, &n, list, room);
      else
        QNA_GetNamedEvQueueNum(id, "Q", &n, list, room);
      break;
    }
    case 30: {
      std::uint32_t n = 0, list[8] = {};
      QNA_GetUsedEvQueueNum(id, &n, list, a % 9);
      break;
    }
    case 31: {
      char name[9] = {};
      QNA_GetEvQueueName(id, 1 + a % 4, name);
      break;
    }
    case 32: {
      QNA_EVENT event{7, count, bits};
      QNA_WriteEvQueue(id, 1, &event);
      break;
    }
    case 33: {
      std::uint16_t kind = 0;
      char name[33] = {};
      QNA_EVENT event{0, count, (a & 0x40) != 0 ? nullptr : bits};
      QNA_ReadEvQueue(kQueueHandle, &kind, name, &event, QNA_EVQ_NOWAIT);
      break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  Setup();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fz::Input input(data, size);
  const int calls = 1 + input.Byte() % 4;
  std::uint8_t which[4], arg[4];
  for (int i = 0; i < calls; ++i) {
    which[i] = input.Byte();
    arg[i] = input.Byte();
  }

  fz::SocketPair pair(input.Rest());
  const int queue_fd = dup(pair.near);
  if (queue_fd < 0) std::abort();
  const Handle link = fz::PipeHandleOf(pair.near);
  g_link = link;
  g_pipe_conn->link = Link::OfPipe(link, false);
  g_tcp_conn->link = Link::OfSocket(pair.near);
  EvQueueEntry entry{};
  entry.handle = kQueueHandle;
  entry.connection = kPipeConn;
  entry.link = Link::OfPipe(fz::PipeHandleOf(queue_fd), false);
  entry.lock = fz::NewMutex();
  entry.queue = 1;
  if (EvQueueAddEntry(entry) == nullptr) std::abort();

  for (int i = 0; i < calls; ++i) Call(which[i], arg[i]);

  // The entry closes its pipe and lock with its last reference.
  EvQueueRemoveEntry(kQueueHandle);
  g_link = kInvalidHandle;
  g_pipe_conn->link = {};
  g_tcp_conn->link = {};
  HndClose(link);
  return 0;
}
