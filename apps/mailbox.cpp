// mailbox.cpp - application mailboxes on the local link, and the mailbox
// wait that ends QNA_Open.
//
// Lock rules: each exchange holds the link's request lock (LinkRequestLock,
// core.h) from its first write until the last byte of its reply, or until
// the last write of a write without reply.
#include <cstring>

#include "apps/mailbox.h"
#include "core/core.h"
#include "core/exchange.h"
#include "qnapi.h"

std::uint32_t AppMailboxRead(const char* name, std::uint32_t index, std::uint32_t count,
                             std::uint16_t* buffer) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  PipeTransport link{g_link};
  return MailboxReadExchange(link, name, index, count, buffer);
}

std::uint32_t AppMailboxWrite(const char* name, std::uint32_t index, std::uint32_t count,
                              const std::uint16_t* data, std::uint32_t flags) {
  SetDetail(0);
  if (g_link == kInvalidHandle) return QNA_E_NOTOPEN;
  PipeTransport link{g_link};
  return MailboxWriteExchange(link, name, index, count, data, flags);
}

// The server sets up the mailbox of a new application a little after its
// registration; the application's first requests should find it.  Result 0
// means the server knows the mailbox; 6 means it refused the range, which
// counts as an answer when the record's first word is 0.
void AppMailboxWait(const QNA_REGREC* record) {
  char name[9] = {};
  std::memcpy(name, record->name, 8);  // the record's name may fill all 8 bytes
  for (int attempt = 0; attempt < 20; ++attempt) {
    SysSleep(50);
    std::uint16_t word = 0;
    const std::uint32_t result = QNA_ReadApp(name, 0, 1, &word);
    if (result == QNA_OK || (result == QNA_E_ARG && record->first == 0)) return;
  }
}

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
