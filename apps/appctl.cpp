// appctl.cpp - application control requests: QNA_StartAPP,
// QNA_SendCloseMsg, QNA_WinTop, QNA_GetReqStatus and QNA_CancelReq, each one
// exchange of the control record on a pipe connection's pipe.
//
// Lock rules: each exchange holds the connection's request lock (waited for
// with QNA_MtxTimeOut) from its write to the last byte of its reply, so
// control, data and message requests on one connection never interleave.
// The lookup by id takes no lock of this file (remote.h).
#include "apps/appctl.h"

#include <cstring>

#include "core/core.h"
#include "core/exchange.h"
#include "core/protocol.h"
#include "qnapi.h"
#include "remote/remote.h"

namespace {

using namespace appctl;

// Steps 3 to 8 of every control function: the lookup (103), the lock (2),
// the exchange on the connection's pipe.  `fill` sets the function's fields
// of the zeroed record; `take` reads the reply's record after a result of 0.
template <typename Fill, typename Take>
std::uint32_t Control(std::uint32_t id, Kind kind, Fill&& fill, Take&& take) {
  return ConnExchangeById(id, ConnKind::Pipe, QNA_E_NOCONN, [&](Link& link) {
    std::uint8_t record[kRecordSize] = {};
    std::uint8_t reply[kRecordSize] = {};
    proto::Put16(record + kKind, kind);
    fill(record);
    const std::uint32_t result = AppControlExchange(link, kind, record, reply);
    if (result == QNA_OK) take(reply);
    return result;
  });
}

// QNA_SendCloseMsg and QNA_WinTop: text 4 and values 2 to 5.
std::uint32_t NamedRequest(Kind kind, std::uint32_t id, const char* text4, std::uint32_t value2,
                           std::uint32_t value3, std::uint32_t value4, std::uint32_t* request_id,
                           std::uint32_t value5) {
  SetDetail(0);
  return Control(
      id, kind,
      [&](std::uint8_t* record) {
        PutText(record, 3, text4);
        proto::Put32(record + kValue[1], value2);
        proto::Put32(record + kValue[2], value3);
        proto::Put32(record + kValue[3], value4);
        proto::Put32(record + kValue[4], value5);
      },
      [&](const std::uint8_t* reply) {
        if (request_id != nullptr) *request_id = proto::Get32(reply + kRequestId);
      });
}

}  // namespace

extern "C" {

std::uint32_t QNA_API QNA_StartAPP(std::uint32_t id, const char* text1, const char* text2,
                                   const char* text3, const char* text4, std::uint32_t value1,
                                   std::uint32_t value2, std::uint32_t value3,
                                   std::uint32_t value4, std::uint32_t* request_id) {
  SetDetail(0);
  return Control(
      id, kStart,
      [&](std::uint8_t* record) {
        PutText(record, 0, text1);
        PutText(record, 1, text2);
        PutText(record, 2, text3);
        PutText(record, 3, text4);
        proto::Put32(record + kValue[0], value1);
        proto::Put32(record + kValue[1], value2);
        proto::Put32(record + kValue[2], value3);
        proto::Put32(record + kValue[3], value4);
      },
      [&](const std::uint8_t* reply) {
        if (request_id != nullptr) *request_id = proto::Get32(reply + kRequestId);
      });
}

std::uint32_t QNA_API QNA_SendCloseMsg(std::uint32_t id, const char* text4, std::uint32_t value2,
                                       std::uint32_t value3, std::uint32_t value4,
                                       std::uint32_t* request_id, std::uint32_t value5) {
  return NamedRequest(kClose, id, text4, value2, value3, value4, request_id, value5);
}

std::uint32_t QNA_API QNA_WinTop(std::uint32_t id, const char* text4, std::uint32_t value2,
                                 std::uint32_t value3, std::uint32_t value4,
                                 std::uint32_t* request_id, std::uint32_t value5) {
  return NamedRequest(kTop, id, text4, value2, value3, value4, request_id, value5);
}

std::uint32_t QNA_API QNA_GetReqStatus(std::uint32_t id, std::uint32_t request_id,
                                       std::uint32_t* status) {
  SetDetail(0);
  if (request_id == 0) return QNA_E_REQUEST_ID;
  return Control(
      id, kStatusOf, [&](std::uint8_t* record) { proto::Put32(record + kRequestId, request_id); },
      [&](const std::uint8_t* reply) {
        if (status != nullptr) *status = proto::Get32(reply + kStatus);
      });
}

std::uint32_t QNA_API QNA_CancelReq(std::uint32_t id, std::uint32_t request_id) {
  SetDetail(0);
  if (request_id == 0) return QNA_E_REQUEST_ID;
  return Control(
      id, kCancel, [&](std::uint8_t* record) { proto::Put32(record + kRequestId, request_id); },
      [](const std::uint8_t*) {});
}

}  // extern "C"
