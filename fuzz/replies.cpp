// replies.cpp - fuzz target: the library's handling of what a server sends.
// The first bytes choose up to four calls of any family; the rest is one
// stream that is at once the local link, a pipe and a TCP connection and an
// event queue's pipe.  Out-buffers are exactly as large as the calls are
// told, and a call that waits for more than the stream holds is a time-out.
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

ConnRecord* AddConn(std::uint32_t id, ConnKind kind) {
  ConnRecord* conn = ConnAddEntry();
  if (conn == nullptr) std::abort();
  conn->id = id;
  conn->kind = kind;
  conn->request_lock = fz::NewMutex();
  std::strcpy(conn->host, "FARHOST");
  return conn;
}

void Setup() {
  fz::ClientSetup("replies");
  g_pipe_conn = AddConn(kPipeConn, ConnKind::Pipe);
  g_tcp_conn = AddConn(kTcpConn, ConnKind::Tcp);
  // The table lock exists while a queue is open: the entry of each input.
  if (EvQueueTableMake() != 0 || EvQueueTableWait(1000, true) != kWaitOk) std::abort();
  EvQueueCountUp();
  EvQueueTableRelease();
}

// One family or variant each; `a` varies sizes and ids a little.
void Call(std::uint8_t which, std::uint8_t a) {
  std::uint16_t words[64] = {};
  std::uint8_t bits[64] = {};
  std::uint16_t flags[4] = {0xFFFF, 0xFFFF, 0xFFFF, 0xFFFF};
  const std::uint32_t count = 1u + a % 48;
  const bool tcp = (a & 0x80) != 0;
  const std::uint32_t id = tcp ? kTcpConn : kPipeConn;
  std::uint32_t out = 0, w2 = 0, length = count, list[8] = {};  // what the calls give back
  switch (which % 29) {
    case 0: QNA_Write(1, 0, count, words, 0); break;
    case 1: QNA_WriteBit(0, 3, count, bits, 0); break;
    case 2: QNA_WriteWithFlag(1, 0, 16, words, flags, 0); break;
    case 3: QNA_WriteWithFlag(0, 0, 32, words, flags, 0); break;
    case 4: QNA_ReadApp("FUZZ", 0, count, words); break;
    case 5: QNA_WriteApp("FUZZ", 1, count, words, 0); break;
    case 6: QNA_SendMsg(3, 1, 2, 0, count, bits, 0); break;
    case 7: QNA_RecvMsg(3, &out, &w2, &length, bits, 0); break;
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
    case 11: (tcp ? QNA_ReadS : QNA_ReadN)(1, 0, count, words, 0, id); break;
    case 12: (tcp ? QNA_ReadBitS : QNA_ReadBitN)(0, 0, count, bits, 0, id); break;
    case 13: {
      const std::uint32_t areas[2] = {1, 3}, starts[2] = {0, 5}, counts[2] = {count / 2 + 1, 3};
      (tcp ? QNA_ReadMuxS : QNA_ReadMuxN)(2, areas, starts, counts, words, id);
      break;
    }
    case 14: (tcp ? QNA_WriteS : QNA_WriteN)(1, 0, count, words, 0, id); break;
    case 15: (tcp ? QNA_WriteBitS : QNA_WriteBitN)(0, 0, count, bits, 0, id); break;
    case 16: (tcp ? QNA_SendMsgS : QNA_SendMsgN)(4, 1, 2, 3, count, bits, 0, id); break;
    case 17: QNA_RecvMsgN(4, &out, &w2, &length, bits, 0, kPipeConn); break;
    case 18: QNA_StartAPP(id, "prog", "args", "dir", "APP", 1, 2, 3, 4, &out); break;
    case 19: QNA_SendCloseMsg(id, "APP", 1, 2, 3, &out, 5); break;
    case 20: QNA_GetReqStatus(id, 1 + a, &out); break;
    case 21: QNA_CancelReq(id, 1 + a); break;
    case 22: QNA_GetMaxEvQueueNum(id, &out); break;
    case 23: QNA_GetUsableEvQueueNum(id, &out, list, a % 9); break;
    case 24: QNA_GetNamedEvQueueNum(id, "Q", &out, list, a % 9); break;
    case 25: QNA_GetUsedEvQueueNum(id, &out, list, a % 9); break;
    case 26: {
      char name[9] = {};
      QNA_GetEvQueueName(id, 1 + a % 4, name);
      break;
    }
    case 27: {
      QNA_EVENT event{7, count, bits};
      QNA_WriteEvQueue(id, 1, &event);
      break;
    }
    case 28: {
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

  fz::ClientLink client(input.Rest());
  const int queue_fd = dup(client.pair.near);
  if (queue_fd < 0) std::abort();
  g_pipe_conn->link = Link::OfPipe(client.link, false);
  g_tcp_conn->link = Link::OfSocket(client.pair.near);
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
  g_pipe_conn->link = {};
  g_tcp_conn->link = {};
  return 0;
}
