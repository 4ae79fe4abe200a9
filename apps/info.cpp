// info.cpp - the information blocks: QNA_ReadCmInfo (block 1000, 448 bytes)
// and QNA_ReadAppInfo (block 1001, 512 bytes).  The library does not look
// inside them.
//
// Lock rules: each read holds the link's request lock (LinkRequestLock,
// core.h) from its write to the last byte of its reply.
#include "apps/info.h"

#include "core/core.h"
#include "core/exchange.h"
#include "core/protocol.h"
#include "qnapi.h"
#include "remote/data.h"

// The request is the data read of the remote connections, byte for byte
// (remote/data.h), with its detail codes: one range, option 0, bit form.
std::uint32_t InfoBlockRead(std::uint32_t area, std::uint32_t count, void* buffer) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  const std::uint32_t start = 0;
  return DataReadExchange(link, 1, &area, &start, &count, buffer, 0, 0);
}

extern "C" {

std::uint32_t QNA_API QNA_ReadCmInfo(void* buffer) {
  return WithRequestLock(LinkRequestLock(), [&] {
    return InfoBlockRead(proto::kInfoBlockServer, QNA_CMINFO_SIZE, buffer);
  });
}

std::uint32_t QNA_API QNA_ReadAppInfo(void* buffer) {
  return WithRequestLock(LinkRequestLock(), [&] {
    return InfoBlockRead(proto::kInfoBlockApps, QNA_APPINFO_SIZE, buffer);
  });
}

}  // extern "C"
