// messages.cpp - messages between applications: QNA_SendMsg and QNA_RecvMsg
// on the local link, QNA_SendMsgN and QNA_RecvMsgN on a pipe connection,
// QNA_SendMsgS on a TCP connection.
//
// Lock rules: each exchange holds one request lock from its first write to
// the last byte of its reply (or to its last write, for a send without
// reply).  The local functions take the link's lock (LinkRequestLock): after
// QNA_OpenN that is the lock of the connection whose pipe is the link, so a
// local and a connection exchange on that one pipe never interleave.  The
// connection functions take their connection's lock; the lookup by id takes
// no lock of this file (remote.h).  A receive holds its lock while the server
// waits for a message: every other exchange on that pipe waits behind it.
#include "apps/messages.h"

#include "core/core.h"
#include "core/exchange.h"
#include "qnapi.h"
#include "remote/remote.h"

namespace {

std::uint32_t MsgSendLocal(std::uint32_t channel, std::uint32_t word1, std::uint32_t word2,
                           std::uint32_t word3, std::uint32_t length, const void* body,
                           std::uint32_t flags) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return MsgSendExchange(link, channel, word1, word2, word3, length, body, flags);
}

std::uint32_t MsgRecvLocal(std::uint32_t channel, std::uint32_t* word1, std::uint32_t* word2,
                           std::uint32_t* length, std::uint8_t* buffer, std::uint32_t option) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return MsgRecvExchange(link, channel, word1, word2, length, buffer, option);
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_SendMsg(std::uint32_t channel, std::uint32_t word1, std::uint32_t word2,
                                  std::uint32_t word3, std::uint32_t length, const void* body,
                                  std::uint32_t flags) {
  return WithRequestLock(LinkRequestLock(), [&] {
    return MsgSendLocal(channel, word1, word2, word3, length, body, flags);
  });
}

std::uint32_t QNA_API QNA_RecvMsg(std::uint32_t channel, std::uint32_t* word1, std::uint32_t* word2,
                                  std::uint32_t* length, std::uint8_t* buffer,
                                  std::uint32_t option) {
  return WithRequestLock(LinkRequestLock(), [&] {
    return MsgRecvLocal(channel, word1, word2, length, buffer, option);
  });
}

std::uint32_t QNA_API QNA_SendMsgN(std::uint32_t channel, std::uint32_t word1, std::uint32_t word2,
                                   std::uint32_t word3, std::uint32_t length, const void* body,
                                   std::uint32_t flags, std::uint32_t id) {
  return ConnExchangeById(id, ConnKind::Pipe, QNA_E_NOTOPEN, [&](Link& link) {
    SetDetail(0);
    return MsgSendExchange(link, channel, word1, word2, word3, length, body, flags);
  });
}

std::uint32_t QNA_API QNA_RecvMsgN(std::uint32_t channel, std::uint32_t* word1,
                                   std::uint32_t* word2, std::uint32_t* length,
                                   std::uint8_t* buffer, std::uint32_t option, std::uint32_t id) {
  return ConnExchangeById(id, ConnKind::Pipe, QNA_E_NOTOPEN, [&](Link& link) {
    SetDetail(0);
    return MsgRecvExchange(link, channel, word1, word2, length, buffer, option);
  });
}

std::uint32_t QNA_API QNA_SendMsgS(std::uint32_t channel, std::uint32_t word1, std::uint32_t word2,
                                   std::uint32_t word3, std::uint32_t length, const void* body,
                                   std::uint32_t flags, std::uint32_t id) {
  return ConnExchangeById(id, ConnKind::Tcp, QNA_E_NOTOPEN, [&](Link& link) {
    SetDetail(0);
    return MsgSendExchange(link, channel, word1, word2, word3, length, body, flags);
  });
}

}  // extern "C"
