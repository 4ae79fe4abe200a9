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

#include "core/core.h"
#include "core/exchange.h"
#include "core/requests.h"
#include "qnapi.h"
#include "remote/remote.h"

std::uint32_t PipeDataReadExchange(std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   void* buffer, std::uint16_t option, std::uint16_t kind,
                                   Handle pipe) {
  SetDetail(0);
  if (pipe == kInvalidHandle) return QNA_E_NOTOPEN;
  PipeTransport link{pipe};
  return DataReadExchange(link, n, areas, starts, counts, buffer, option, kind);
}

std::uint32_t PipeDataRead(std::uint32_t n, const std::uint32_t* areas, const std::uint32_t* starts,
                           const std::uint32_t* counts, void* buffer, std::uint16_t option,
                           std::uint16_t kind, Handle pipe, Handle request_lock) {
  return WithRequestLock(request_lock, [&] {
    return PipeDataReadExchange(n, areas, starts, counts, buffer, option, kind, pipe);
  });
}

std::uint32_t PipeDataWriteExchange(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                    const void* data, std::uint32_t options, std::uint16_t kind,
                                    Handle pipe) {
  SetDetail(0);
  if (pipe == kInvalidHandle) return QNA_E_NOTOPEN;
  PipeTransport link{pipe};
  return WordWriteExchange(link, area, start, count, data, options, kind);
}

std::uint32_t PipeDataWrite(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                            const void* data, std::uint32_t options, std::uint16_t kind,
                            Handle pipe, Handle request_lock) {
  return WithRequestLock(request_lock, [&] {
    return PipeDataWriteExchange(area, start, count, data, options, kind, pipe);
  });
}

namespace {

// How the data functions of a pipe connection reach its server.
struct PipeSide {
  static constexpr bool kServerLess = true;  // an empty host name reads the mapped areas
  static std::uint32_t Read(const ConnRecord& c, std::uint32_t area, std::uint32_t start,
                            std::uint32_t count, void* buffer, std::uint16_t kind) {
    return PipeDataRead(1, &area, &start, &count, buffer, 0, kind, c.pipe, c.request_lock);
  }
  static std::uint32_t Write(const ConnRecord& c, std::uint32_t area, std::uint32_t start,
                             std::uint32_t count, const void* data, std::uint32_t options,
                             std::uint16_t kind) {
    return PipeDataWrite(area, start, count, data, options, kind, c.pipe, c.request_lock);
  }
};

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_ReadN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                std::uint16_t* buffer, std::uint32_t no_lock, std::uint32_t id) {
  return RemoteReadWords<PipeSide>(area, start, count, buffer, no_lock, id);
}

std::uint32_t QNA_API QNA_ReadBitN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                   std::uint8_t* buffer, std::uint32_t no_lock, std::uint32_t id) {
  return RemoteReadBits<PipeSide>(area, start, count, buffer, no_lock, id);
}

std::uint32_t QNA_API QNA_ReadMuxN(std::uint32_t n, const std::uint32_t* areas,
                                   const std::uint32_t* starts, const std::uint32_t* counts,
                                   std::uint16_t* buffer, std::uint32_t id) {
  return RemoteReadMux<PipeSide>(n, areas, starts, counts, buffer, id);
}

std::uint32_t QNA_API QNA_WriteN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                 const std::uint16_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<PipeSide>(area, start, count, data, options, id, 1);
}

std::uint32_t QNA_API QNA_WriteBitN(std::uint32_t area, std::uint32_t start, std::uint32_t count,
                                    const std::uint8_t* data, std::uint32_t options, std::uint32_t id) {
  return RemoteWrite<PipeSide>(area, start, count, data, options, id, 0);
}

}  // extern "C"
