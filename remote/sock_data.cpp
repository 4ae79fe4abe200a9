// sock_data.cpp - the data requests of a TCP connection: QNA_ReadS,
// QNA_ReadBitS, QNA_ReadMuxS, QNA_WriteS and QNA_WriteBitS.  They send the
// very requests of the pipe functions over the socket; every read is a
// request to the server (there is no server-less TCP connection).
//
// Lock rules: each exchange holds the connection's request lock (waited for
// with QNA_MtxTimeOut) from its first send to the last byte of its reply; a
// split transfer takes it once per request.  The lookup by id takes no lock
// of this file (remote.h).
#include "remote/data.h"

#include "core/core.h"
#include "core/exchange.h"
#include "core/requests.h"
#include "qnapi.h"
#include "remote/remote.h"

std::uint32_t SockDataReadExchange(std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   void* buffer, std::uint16_t option, std::uint16_t kind,
                                   win::SOCKET socket) {
  SetDetail(0);
  if (socket == win::INVALID_SOCKET) return QNA_E_NOTOPEN;
  SockTransport link{socket};
  return DataReadExchange(link, n, areas, starts, counts, buffer, option, kind);
}

std::uint32_t SockDataRead(std::uint32_t n, const std::uint32_t* areas, const std::uint32_t* starts,
                           const std::uint32_t* counts, void* buffer, std::uint16_t option,
                           std::uint16_t kind, win::SOCKET socket, Handle request_lock) {
  return WithRequestLock(request_lock, [&] {
    return SockDataReadExchange(n, areas, starts, counts, buffer, option, kind, socket);
  });
}

std::uint32_t SockDataWriteExchange(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                    const void* data, std::uint32_t options, std::uint16_t kind,
                                    win::SOCKET socket) {
  SetDetail(0);
  if (socket == win::INVALID_SOCKET) return QNA_E_NOTOPEN;
  SockTransport link{socket};
  return WordWriteExchange(link, area, start, count, data, options, kind);
}

std::uint32_t SockDataWrite(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                            const void* data, std::uint32_t options, std::uint16_t kind,
                            win::SOCKET socket, Handle request_lock) {
  return WithRequestLock(request_lock, [&] {
    return SockDataWriteExchange(area, start, count, data, options, kind, socket);
  });
}

namespace {

// How the data functions of a TCP connection reach its server.  A pipe
// connection's id reaches a socket field of 0, which no send accepts: its
// requests fail at the first send with 101.
struct SockSide {
  static constexpr bool kServerLess = false;
  static std::uint32_t Read(const ConnRecord& c, std::uint32_t area, std::uint32_t start,
                            std::uint32_t count, void* buffer, std::uint16_t kind) {
    return SockDataRead(1, &area, &start, &count, buffer, 0, kind, c.socket, c.request_lock);
  }
  static std::uint32_t Write(const ConnRecord& c, std::uint32_t area, std::uint32_t start,
                             std::uint32_t count, const void* data, std::uint32_t options,
                             std::uint16_t kind) {
    return SockDataWrite(area, start, count, data, options, kind, c.socket, c.request_lock);
  }
};

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_ReadS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                std::uint16_t* buffer, std::uint32_t unused, std::uint32_t id) {
  return RemoteReadWords<SockSide>(area, start, count, buffer, unused, id);
}

std::uint32_t QNA_API QNA_ReadBitS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                   std::uint8_t* buffer, std::uint32_t unused, std::uint32_t id) {
  return RemoteReadBits<SockSide>(area, start, count, buffer, unused, id);
}

std::uint32_t QNA_API QNA_ReadMuxS(std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   std::uint16_t* buffer, std::uint32_t id) {
  return RemoteReadMux<SockSide>(n, areas, starts, counts, buffer, id);
}

std::uint32_t QNA_API QNA_WriteS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                 const std::uint16_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<SockSide>(area, start, count, data, options, id, 1);
}

std::uint32_t QNA_API QNA_WriteBitS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                    const std::uint8_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<SockSide>(area, start, count, data, options, id, 0);
}

}  // extern "C"
