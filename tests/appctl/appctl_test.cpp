// appctl_test.cpp - application control against a scripted server on a pipe
// connection: the detail codes 1101 to 1109 with the 684 length rule, the
// exact record each function sends (every field it does not set is zero),
// 807 before the lookup, 103 for an id not in the table, and the outs.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "apps/appctl.h"
#include "support/family.h"

namespace {

using namespace std::chrono_literals;
using qt::Bytes;
using qt::Cat;
using qt::FakeLink;
using qt::Le32;
using qt::Reply;
using qt::Script;
using qt::Wire;

// A record with the kind and the given texts and values (index 0 to 4 for
// values 1 to 5), the rest zero.
struct Fields {
  std::uint16_t kind;
  std::string texts[4] = {};
  std::uint32_t values[5] = {};
  std::uint32_t request_id = 0;
  std::uint32_t status = 0;
};
Bytes Record(const Fields& f) {
  Bytes r(appctl::kRecordSize, 0);
  r[4] = static_cast<std::uint8_t>(f.kind);
  for (int t = 0; t < 4; ++t)
    std::memcpy(r.data() + appctl::kText[t], f.texts[t].data(), f.texts[t].size());
  for (int v = 0; v < 5; ++v)
    for (int i = 0; i < 4; ++i)
      r[appctl::kValue[v] + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(f.values[v] >> (8 * i));
  for (int i = 0; i < 4; ++i) {
    r[appctl::kRequestId + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(f.request_id >> (8 * i));
    r[appctl::kStatus + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(f.status >> (8 * i));
  }
  return r;
}
Bytes Request(const Fields& f) { return Cat({Le32({684, 300100u + f.kind, 0}), Record(f)}); }
// The server's reply: length 684 whatever the result, then the record.
Bytes ControlReply(std::uint32_t result, const Fields& f) {
  return Cat({Le32({684, 300100u + f.kind, result}), Record(f)});
}

const Fields kStart{0, {"prog.exe", "-a -b", "C:\\work", "PROG"}, {1, 2, 3, 4, 0}};
const Fields kStartReply{0, {}, {}, 4711, 2};

std::uint32_t StartOnFake(FakeLink& link) {
  const Bytes record = Record(kStart);
  std::uint8_t reply[appctl::kRecordSize];
  return AppControlExchange(link, 0, record.data(), reply);
}

const std::vector<qt::Row> kRows = {
    {"done", {ControlReply(0, kStartReply)}, 0, 0, 688, qt::After::InStep},
    {"server result returned", {ControlReply(7, kStartReply)}, 7, 0, 688, qt::After::InStep},
    {"request write failed", {.close_first = true}, 101, 1101, 0, qt::After::Cut},
    {"request written short", {.short_write = 0}, 101, 1102, 344, qt::After::Cut},
    {"reply length not read", {.close_after = true}, 102, 1105, 688, qt::After::Cut},
    {"reply length short", {.reply = ControlReply(0, kStartReply), .short_read = 0}, 102, 1106, 688, qt::After::Cut},
    // Not 684, whatever the result would have been: nothing more is read.
    {"reply length 8 with a refusal", {Reply(7)}, 102, 1107, 688, qt::After::Cut},
    {"head not read", {.reply = Le32({684}), .close_after = true}, 102, 1108, 688, qt::After::Cut},
    {"head short", {.reply = ControlReply(0, kStartReply), .short_read = 1}, 102, 1109, 688, qt::After::Cut},
    {"record not read", {.reply = Le32({684, 0, 0, 1}), .close_after = true}, 102, 1108, 688, qt::After::Cut},
    {"record short", {.reply = ControlReply(0, kStartReply), .short_read = 2}, 102, 1109, 688, qt::After::Cut},
};

class AppCtlTest : public qt::LibraryTest {};

TEST_F(AppCtlTest, StartCodesOnAPipeConnection) {
  qt::RunFamily({.request = Request(kStart),
                 .on_fake = StartOnFake,
                 .remote =
                     [](Wire, std::uint32_t id) {
                       std::uint32_t request_id = 0;
                       return QNA_StartAPP(id, "prog.exe", "-a -b", "C:\\work", "PROG", 1, 2, 3, 4,
                                           &request_id);
                     },
                 .tcp = false},
                qt::Rows(kRows, qt::BadLengthRows(1107, 688, 684)));
}

// Each function against a server that answers `reply`: what it sent, what it
// returned and stored.
struct Exchanged {
  std::uint32_t result;
  Bytes sent;
};
template <typename Call>
Exchanged Exchange(const Bytes& reply, Call call) {
  qt::Peer peer(Wire::Pipe, qt::kHostPipe);
  EXPECT_TRUE(peer.listening());
  peer.Serve([reply](qt::PeerConn& conn) {
    if (conn.Read(688)) conn.Send(reply);
    conn.WaitFinish();
  });
  qt::Session session(peer);
  EXPECT_TRUE(session.ok());
  SetDetail(77);
  Exchanged out{call(session.id()), {}};
  EXPECT_EQ(QNA_InternalErr, 0);
  peer.Finish();
  out.sent = peer.received();
  return out;
}

TEST_F(AppCtlTest, EachFunctionSendsItsFieldsAndZeros) {
  std::uint32_t id_out = 0;
  Exchanged x = Exchange(ControlReply(0, kStartReply), [&](std::uint32_t id) {
    return QNA_StartAPP(id, "prog.exe", "-a -b", "C:\\work", "PROG", 1, 2, 3, 4, &id_out);
  });
  EXPECT_EQ(x.result, 0u);
  EXPECT_EQ(x.sent, Request(kStart));
  EXPECT_EQ(id_out, 4711u);

  // Close and raise: text 4 and values 2 to 5; text 1 to 3 and value 1 zero.
  // The request id out comes before value 5.
  for (const std::uint16_t kind : {std::uint16_t{1}, std::uint16_t{2}}) {
    SCOPED_TRACE(kind);
    id_out = 0;
    const Fields sent{kind, {"", "", "", "VIEWER"}, {0, 22, 33, 44, 55}};
    x = Exchange(ControlReply(0, {kind, {}, {}, 99, 1}), [&](std::uint32_t id) {
      return kind == 1 ? QNA_SendCloseMsg(id, "VIEWER", 22, 33, 44, &id_out, 55)
                       : QNA_WinTop(id, "VIEWER", 22, 33, 44, &id_out, 55);
    });
    EXPECT_EQ(x.result, 0u);
    EXPECT_EQ(x.sent, Request(sent));
    EXPECT_EQ(id_out, 99u);
  }

  std::uint32_t status = 0;
  x = Exchange(ControlReply(0, {3, {}, {}, 12, 3}),
               [&](std::uint32_t id) { return QNA_GetReqStatus(id, 12, &status); });
  EXPECT_EQ(x.result, 0u);
  EXPECT_EQ(x.sent, Request({3, {}, {}, 12}));
  EXPECT_EQ(status, 3u);

  x = Exchange(ControlReply(0, {4, {}, {}, 12, 5}),
               [&](std::uint32_t id) { return QNA_CancelReq(id, 12); });
  EXPECT_EQ(x.result, 0u);
  EXPECT_EQ(x.sent, Request({4, {}, {}, 12}));
}

TEST_F(AppCtlTest, RefusalLeavesTheOutsUntouched) {
  std::uint32_t id_out = 555;
  Exchanged x = Exchange(ControlReply(7, {1, {}, {}, 99, 4}), [&](std::uint32_t id) {
    return QNA_SendCloseMsg(id, "NONE", 0, 0, 0, &id_out, 0);
  });
  EXPECT_EQ(x.result, 7u);
  EXPECT_EQ(id_out, 555u);
  std::uint32_t status = 555;
  x = Exchange(ControlReply(30, {3, {}, {}, 9, 4}),
               [&](std::uint32_t id) { return QNA_GetReqStatus(id, 9, &status); });
  EXPECT_EQ(x.result, 30u);
  EXPECT_EQ(status, 555u);
}

// 127 characters fill the field with its terminator in the last byte; a
// longer text is cut there and never written past the field.
TEST_F(AppCtlTest, TextsFitTheirFields) {
  const std::string exact(127, 'a');
  const std::string longer(300, 'b');
  std::uint32_t id_out = 0;
  const Exchanged x = Exchange(ControlReply(0, kStartReply), [&](std::uint32_t id) {
    return QNA_StartAPP(id, exact.c_str(), longer.c_str(), nullptr, "", 0, 0, 0, 0, &id_out);
  });
  EXPECT_EQ(x.result, 0u);
  EXPECT_EQ(x.sent, Request({0, {exact, std::string(127, 'b'), "", ""}}));
}

// Request id 0 gives 807 before the lookup; an id not in the table 103.
TEST_F(AppCtlTest, RefusedBeforeAnythingIsSent) {
  std::uint32_t out = 555;
  const auto check = [](std::uint32_t result, std::uint32_t expected) {
    EXPECT_EQ(result, expected);
    EXPECT_EQ(QNA_InternalErr, 0);
    SetDetail(77);
  };
  SetDetail(77);
  check(QNA_GetReqStatus(99, 0, &out), QNA_E_REQUEST_ID);
  check(QNA_CancelReq(99, 0), QNA_E_REQUEST_ID);
  check(QNA_StartAPP(99, "p", "", "", "", 0, 0, 0, 0, &out), QNA_E_NOCONN);
  check(QNA_SendCloseMsg(99, "A", 0, 0, 0, &out, 0), QNA_E_NOCONN);
  check(QNA_WinTop(99, "A", 0, 0, 0, &out, 0), QNA_E_NOCONN);
  check(QNA_GetReqStatus(99, 1, &out), QNA_E_NOCONN);
  check(QNA_CancelReq(99, 1), QNA_E_NOCONN);
  EXPECT_EQ(out, 555u);
}

TEST_F(AppCtlTest, BusyConnectionLockGives2) {
  qt::Peer peer(Wire::Pipe, qt::kHostPipe);
  ASSERT_TRUE(peer.listening());
  peer.Serve([](qt::PeerConn& conn) { conn.WaitFinish(); });
  qt::Session session(peer);
  ASSERT_TRUE(session.ok());
  const Handle lock = session.record()->request_lock;
  qt::Signal held, release;
  std::thread holder([&] {
    MtxWait(lock, 0xFFFFFFFFu);
    held.Post();
    release.Take(20s);
    MtxRelease(lock);
  });
  ASSERT_EQ(held.Take(), 1);
  QNA_MtxTimeOut = 50;
  std::uint32_t status = 0;
  EXPECT_EQ(QNA_GetReqStatus(session.id(), 5, &status), QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
  release.Post();
  holder.join();
}

}  // namespace
