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

#include "qnapi.h"
#include "remote/remote.h"

extern "C" {

std::uint32_t QNA_API QNA_ReadS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                std::uint16_t* buffer, std::uint32_t unused, std::uint32_t id) {
  return RemoteReadWords<ConnKind::Tcp>(area, start, count, buffer, unused, id);
}

std::uint32_t QNA_API QNA_ReadBitS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                   std::uint8_t* buffer, std::uint32_t unused, std::uint32_t id) {
  return RemoteReadBits<ConnKind::Tcp>(area, start, count, buffer, unused, id);
}

std::uint32_t QNA_API QNA_ReadMuxS(std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   std::uint16_t* buffer, std::uint32_t id) {
  return RemoteReadMux<ConnKind::Tcp>(n, areas, starts, counts, buffer, id);
}

std::uint32_t QNA_API QNA_WriteS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                 const std::uint16_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<ConnKind::Tcp>(area, start, count, data, options, id, 1);
}

std::uint32_t QNA_API QNA_WriteBitS(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                    const std::uint8_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<ConnKind::Tcp>(area, start, count, data, options, id, 0);
}

}  // extern "C"
