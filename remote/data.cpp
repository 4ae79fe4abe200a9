// data.cpp - the data requests of both kinds of connection on their link:
// one read and one write request, each one exchange.
//
// Lock rules: each locked request holds the connection's request lock
// (waited for with QNA_MtxTimeOut) from its first write to the last byte of
// its reply; a split transfer takes it once per request (data.h).
#include "remote/data.h"

#include "core/core.h"
#include "core/exchange.h"
#include "core/requests.h"
#include "qnapi.h"
#include "remote/remote.h"

std::uint32_t LinkDataReadExchange(const Link& link, std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   void* buffer, std::uint16_t option, std::uint16_t kind) {
  SetDetail(0);
  if (!link.IsOpen()) return QNA_E_NOTOPEN;
  Link on = link;
  return DataReadExchange(on, n, areas, starts, counts, buffer, option, kind);
}

std::uint32_t LinkDataWriteExchange(const Link& link, std::uint32_t area, std::uint32_t start,
                                    std::uint32_t count, const void* data, std::uint32_t options,
                                    std::uint16_t kind) {
  SetDetail(0);
  if (!link.IsOpen()) return QNA_E_NOTOPEN;
  Link on = link;
  return WordWriteExchange(on, area, start, count, data, options, kind);
}

std::uint32_t ConnDataRead(const ConnRecord& connection, ConnKind family, std::uint32_t area,
                           std::uint32_t start, std::uint32_t count, void* buffer,
                           std::uint16_t kind) {
  return ConnExchange(connection, family, LockFailure::Request, [&](Link& link) {
    return LinkDataReadExchange(link, 1, &area, &start, &count, buffer, 0, kind);
  });
}

std::uint32_t ConnDataWrite(const ConnRecord& connection, ConnKind family, std::uint32_t area,
                            std::uint32_t start, std::uint32_t count, const void* data,
                            std::uint32_t options, std::uint16_t kind) {
  return ConnExchange(connection, family, LockFailure::Request, [&](Link& link) {
    return LinkDataWriteExchange(link, area, start, count, data, options, kind);
  });
}
