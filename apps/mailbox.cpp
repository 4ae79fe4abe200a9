// mailbox.cpp - application mailboxes on the local link.
//
// Lock rules: each exchange holds the link's request lock (LinkRequestLock,
// core.h) from its first write until the last byte of its reply, or until
// the last write of a write without reply.
#include <cstring>

#include "apps/mailbox.h"
#include "core/core.h"
#include "core/exchange.h"
#include "qnapi.h"

namespace {

// One exchange each, without the request lock.
std::uint32_t AppMailboxRead(const char* name, std::uint32_t index, std::uint32_t count,
                             std::uint16_t* buffer) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return MailboxReadExchange(link, name, index, count, buffer);
}

std::uint32_t AppMailboxWrite(const char* name, std::uint32_t index, std::uint32_t count,
                              const std::uint16_t* data, std::uint32_t flags) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  Link link = LocalLink();
  return MailboxWriteExchange(link, name, index, count, data, flags);
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_ReadApp(const char* name, std::uint32_t index, std::uint32_t count,
                                  std::uint16_t* buffer) {
  return WithRequestLock(LinkRequestLock(),
                         [&] { return AppMailboxRead(name, index, count, buffer); });
}

std::uint32_t QNA_API QNA_WriteApp(const char* name, std::uint32_t index, std::uint32_t count,
                                   const std::uint16_t* data, std::uint32_t flags) {
  return WithRequestLock(LinkRequestLock(),
                         [&] { return AppMailboxWrite(name, index, count, data, flags); });
}

}  // extern "C"
