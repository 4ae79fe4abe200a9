// info.cpp - what the server says about its event queues: the maximum, the
// usable, used and named counts with their lists, and a queue's name.  None
// of these touches the event queue table.
//
// Lock rules: each exchange holds the connection's request lock from its
// write to the last byte of its reply (evqueue.h); nothing else is taken.
#include "evqueue/evqueue.h"

std::uint32_t EvQueueRequestCount(std::uint32_t kind, std::uint32_t id, const char* name,
                                  std::uint32_t* count, std::uint32_t* list,
                                  std::uint32_t list_word) {
  SetDetail(0);
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOCONN;
  std::uint8_t field[12];
  if (!EvQueuePutName12(field, kind == 0 ? name : nullptr)) return QNA_E_ARG;
  return ConnExchange(*connection, connection->kind, LockFailure::EvQueue, [&](auto& link) {
    return EvQueueCountExchange(link, kind, field, count, list, list_word);
  });
}

std::uint32_t EvQueueRequestName(std::uint32_t id, std::uint32_t queue, char* name) {
  SetDetail(0);
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOCONN;
  return ConnExchange(*connection, connection->kind, LockFailure::EvQueue,
                             [&](auto& link) { return EvQueueNameExchange(link, queue, name); });
}

std::uint32_t EvQueueRequestMax(std::uint32_t id, std::uint32_t* max) {
  SetDetail(0);
  const ConnRecord* connection = ConnFindEntry(id);
  if (connection == nullptr) return QNA_E_NOCONN;
  return ConnExchange(*connection, connection->kind, LockFailure::EvQueue,
                             [&](auto& link) { return EvQueueMaxExchange(link, max); });
}

extern "C" {

std::uint32_t QNA_API QNA_GetMaxEvQueueNum(std::uint32_t id, std::uint32_t* max) {
  return EvQueueRequestMax(id, max);
}

std::uint32_t QNA_API QNA_GetUsableEvQueueNum(std::uint32_t id, std::uint32_t* count,
                                              std::uint32_t* list, std::uint32_t list_word) {
  return EvQueueRequestCount(1, id, nullptr, count, list, list_word);
}

std::uint32_t QNA_API QNA_GetUsedEvQueueNum(std::uint32_t id, std::uint32_t* count,
                                            std::uint32_t* list, std::uint32_t list_word) {
  return EvQueueRequestCount(2, id, nullptr, count, list, list_word);
}

std::uint32_t QNA_API QNA_GetNamedEvQueueNum(std::uint32_t id, const char* name,
                                             std::uint32_t* count, std::uint32_t* list,
                                             std::uint32_t list_word) {
  return EvQueueRequestCount(0, id, name, count, list, list_word);
}

std::uint32_t QNA_API QNA_GetEvQueueName(std::uint32_t id, std::uint32_t queue, char* name) {
  return EvQueueRequestName(id, queue, name);
}

}  // extern "C"
