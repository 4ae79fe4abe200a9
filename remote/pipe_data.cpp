// pipe_data.cpp - the data requests of a pipe connection: QNA_ReadN,
// QNA_ReadBitN, QNA_ReadMuxN, QNA_WriteN and QNA_WriteBitN.  Reads of a
// server-less connection go straight to the mapped data areas; all other
// reads, and all writes, are exchanges on the connection's pipe.
//
// Lock rules: each exchange holds the connection's request lock (waited for
// with QNA_MtxTimeOut) from its first write to the last byte of its reply; a
// split transfer takes it once per request.  The lookup by id takes no lock
// of this file (remote.h).  Server-less reads hold only the area's mutex.
#include "remote/data.h"

#include "qnapi.h"
#include "remote/remote.h"

extern "C" {

std::uint32_t QNA_API QNA_ReadN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                std::uint16_t* buffer, std::uint32_t no_lock, std::uint32_t id) {
  return RemoteReadWords<ConnKind::Pipe>(area, start, count, buffer, no_lock, id);
}

std::uint32_t QNA_API QNA_ReadBitN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                   std::uint8_t* buffer, std::uint32_t no_lock, std::uint32_t id) {
  return RemoteReadBits<ConnKind::Pipe>(area, start, count, buffer, no_lock, id);
}

std::uint32_t QNA_API QNA_ReadMuxN(std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   std::uint16_t* buffer, std::uint32_t id) {
  return RemoteReadMux<ConnKind::Pipe>(n, areas, starts, counts, buffer, id);
}

std::uint32_t QNA_API QNA_WriteN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                 const std::uint16_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<ConnKind::Pipe>(area, start, count, data, options, id, 1);
}

std::uint32_t QNA_API QNA_WriteBitN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                    const std::uint8_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<ConnKind::Pipe>(area, start, count, data, options, id, 0);
}

}  // extern "C"
