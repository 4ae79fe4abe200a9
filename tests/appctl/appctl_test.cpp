// Application control against a scripted server and through quonix.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/stat.h>

#include "apps/appctl.h"
#include "support/family.h"
#include "support/holder.h"
#include "integration/integration.h"

namespace {

using namespace std::chrono_literals;
using namespace qt;

// A record of the kind, texts and values (1 to 5); the rest zero.
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
// A request (result 0) or a reply: length 684 whatever the result, the record.
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
  qt::RunFamily({.request = ControlReply(0, kStart),
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

// Each function's exact record (texts cut to 127), result and out.
TEST_F(AppCtlTest, EachFunctionSendsItsFieldsAndZeros) {
  using Call = std::uint32_t (*)(std::uint32_t id, std::uint32_t* out);
  struct Case {
    const char* what;
    Call call;
    Fields sent;
    std::uint32_t result;
    Fields reply;
    std::uint32_t out;  // from 555
  };
  static const std::string exact(127, 'a'), longer(300, 'b');
  const Case cases[] = {
      {"start", [](std::uint32_t id, std::uint32_t* out) {
         return QNA_StartAPP(id, "prog.exe", "-a -b", "C:\\work", "PROG", 1, 2, 3, 4, out); },
       kStart, 0, kStartReply, 4711},
      {"texts that fill their fields", [](std::uint32_t id, std::uint32_t* out) {
         return QNA_StartAPP(id, exact.c_str(), longer.c_str(), nullptr, "", 0, 0, 0, 0, out); },
       {0, {exact, std::string(127, 'b'), "", ""}}, 0, kStartReply, 4711},
      // Close and raise: text 4, values 2 to 5; the out comes before value 5.
      {"close", [](std::uint32_t id, std::uint32_t* out) { return QNA_SendCloseMsg(id, "VIEWER", 22, 33, 44, out, 55); },
       {1, {"", "", "", "VIEWER"}, {0, 22, 33, 44, 55}}, 0, {1, {}, {}, 99, 1}, 99},
      {"raise", [](std::uint32_t id, std::uint32_t* out) { return QNA_WinTop(id, "VIEWER", 22, 33, 44, out, 55); },
       {2, {"", "", "", "VIEWER"}, {0, 22, 33, 44, 55}}, 0, {2, {}, {}, 99, 1}, 99},
      {"status", [](std::uint32_t id, std::uint32_t* out) { return QNA_GetReqStatus(id, 12, out); },
       {3, {}, {}, 12}, 0, {3, {}, {}, 12, 3}, 3},
      {"cancel", [](std::uint32_t id, std::uint32_t*) { return QNA_CancelReq(id, 12); },
       {4, {}, {}, 12}, 0, {4, {}, {}, 12, 5}, 555},
      {"close refused", [](std::uint32_t id, std::uint32_t* out) { return QNA_SendCloseMsg(id, "NONE", 0, 0, 0, out, 0); },
       {1, {"", "", "", "NONE"}}, 7, {1, {}, {}, 99, 4}, 555},
      {"status refused", [](std::uint32_t id, std::uint32_t* out) { return QNA_GetReqStatus(id, 9, out); },
       {3, {}, {}, 9}, 30, {3, {}, {}, 9, 4}, 555},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    qt::Peer peer(Wire::Pipe, qt::kHostPipe);
    ASSERT_TRUE(peer.listening());
    const Bytes reply = ControlReply(c.result, c.reply);
    peer.Serve([reply](qt::PeerConn& conn) {
      if (conn.Read(688)) conn.Send(reply);
      conn.WaitFinish();
    });
    std::uint32_t out = 555;
    {
      qt::Session session(peer);
      ASSERT_TRUE(session.ok());
      SetDetail(77);
      EXPECT_EQ(c.call(session.id(), &out), c.result);
      EXPECT_EQ(QNA_InternalErr, 0);
    }
    EXPECT_EQ(peer.received(), ControlReply(0, c.sent));
    EXPECT_EQ(out, c.out);
  }
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
  qt::Peer peer(Wire::Pipe, qt::kHostPipe, [](qt::PeerConn& conn) { conn.WaitFinish(); });
  qt::Session session(peer);
  ASSERT_TRUE(session.ok());
  const qt::MutexHolder holder(session.record()->request_lock);
  ASSERT_TRUE(holder.taken());
  QNA_MtxTimeOut = 50;
  std::uint32_t status = 0;
  EXPECT_EQ(QNA_GetReqStatus(session.id(), 5, &status), QNA_E_MUTEX);
  EXPECT_EQ(QNA_InternalErr, QNA_WAIT_TIMEOUT);
}

constexpr std::uint32_t kPending = 1, kRunning = 2, kDone = 3, kFailed = 4, kCancelled = 5;
constexpr std::uint32_t kUnknownApp = 7, kUnknownRequest = 30, kNotPending = 31;

class AppCtlServerTest : public it::IntegrationTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(StartServer());
    const QNA_CONNPARAM params = it::Connection("CONTROL");
    ASSERT_EQ(QNA_OpenN(&params, &id_), 0u) << ServerLog();
  }
  void TearDown() override {
    // A program the server started is stopped whatever the test did.
    std::ifstream pid_file(PidPath());
    long pid = 0;
    if (pid_file >> pid && pid > 0) kill(static_cast<pid_t>(pid), SIGKILL);
    if (id_ != 0) QNA_CloseN(id_);
    IntegrationTest::TearDown();
  }
  std::string PidPath() const { return root_.path() + "/program.pid"; }
  // A program that notes its process id and then sleeps: SIGTERM ends it.
  std::string WriteProgram() {
    const std::string path = root_.path() + "/program.sh";
    std::ofstream(path) << "#!/bin/sh\necho $$ > " << PidPath() << "\nexec sleep 120\n";
    chmod(path.c_str(), 0700);
    return path;
  }
  std::uint32_t Status(std::uint32_t request) {
    std::uint32_t status = 0;
    const std::uint32_t result = QNA_GetReqStatus(id_, request, &status);
    return result == 0 ? status : 1000 + result;
  }
  bool StatusBecomes(std::uint32_t request, std::uint32_t wanted) {
    return qt::WaitFor([&] { return Status(request) == wanted; }, 15s);
  }
  std::uint32_t id_ = 0;
};

// A delayed start is pending until its time: cancelled, it never runs; left
// alone, it runs, cannot be cancelled, and a close by its name (in any case)
// ends it; its name is unknown then.
TEST_F(AppCtlServerTest, StartFollowCloseEnd) {
  const std::string program = WriteProgram();
  std::uint32_t later = 0, start = 0;
  ASSERT_EQ(QNA_StartAPP(id_, program.c_str(), "", "", "LATER", 0, 60000, 0, 0, &later), 0u);
  EXPECT_EQ(Status(later), kPending);
  EXPECT_EQ(QNA_CancelReq(id_, later), 0u);
  EXPECT_EQ(Status(later), kCancelled);
  EXPECT_EQ(QNA_CancelReq(id_, later), kNotPending);
  const char* folder = root_.path().c_str();
  ASSERT_EQ(QNA_StartAPP(id_, program.c_str(), "", folder, "SLEEPER", 0, 300, 0, 0, &start), 0u)
      << ServerLog();
  EXPECT_EQ(Status(start), kPending);
  ASSERT_TRUE(StatusBecomes(start, kRunning)) << Status(start) << ServerLog();
  EXPECT_EQ(QNA_CancelReq(id_, start), kNotPending);
  long pid = 0;
  ASSERT_TRUE(qt::WaitFor([&] { return (std::ifstream(PidPath()) >> pid) && pid > 0; }));
  EXPECT_TRUE(SysProcessAlive(static_cast<std::uint32_t>(pid)));

  std::uint32_t close = 0;
  ASSERT_EQ(QNA_SendCloseMsg(id_, "sleeper", 0, 0, 0, &close, 0), 0u) << ServerLog();
  EXPECT_GT(close, start) << "ids are never given twice";
  EXPECT_TRUE(StatusBecomes(close, kDone)) << Status(close);
  EXPECT_TRUE(StatusBecomes(start, kDone)) << Status(start);
  EXPECT_FALSE(SysProcessAlive(static_cast<std::uint32_t>(pid)));
  std::uint32_t again = 0;
  EXPECT_EQ(QNA_SendCloseMsg(id_, "SLEEPER", 0, 0, 0, &again, 0), kUnknownApp);
  EXPECT_EQ(again, 0u);
}

TEST_F(AppCtlServerTest, UnknownNamesAndIdsAndAMissingProgram) {
  std::uint32_t start = 0, out = 0;
  const std::string missing = root_.path() + "/no-such-program";
  ASSERT_EQ(QNA_StartAPP(id_, missing.c_str(), "", "", "", 0, 0, 0, 0, &start), 0u);
  EXPECT_EQ(Status(start), kFailed);
  EXPECT_EQ(QNA_SendCloseMsg(id_, "NOBODY", 0, 0, 0, &out, 0), kUnknownApp);
  EXPECT_EQ(QNA_WinTop(id_, "NOBODY", 0, 0, 0, &out, 0), kUnknownApp);
  EXPECT_EQ(QNA_GetReqStatus(id_, 123456, &out), kUnknownRequest);
  EXPECT_EQ(QNA_CancelReq(id_, 123456), kUnknownRequest);
  EXPECT_EQ(QNA_StartAPP(id_, "", "", "", "", 0, 0, 0, 0, &out), 6u);
  EXPECT_EQ(out, 0u);
  // The server never closes itself, whatever its window is called.
  EXPECT_EQ(QNA_SendCloseMsg(id_, "QUONIX RUN", 0, 0, 0, &out, 0), kUnknownApp);
  EXPECT_TRUE(server_->running());
}

// The test's own windows: the one named is raised above the other.
TEST_F(AppCtlServerTest, WindowToTop) {
  const win::HWND mine = win::WindowOpen("MYVIEW - test window");
  const win::HWND other = win::WindowOpen("OTHER - test window");
  ASSERT_NE(mine, 0u);
  ASSERT_NE(other, 0u);
  const auto first = [] { return win::GetWindow(win::GetTopWindow(0), win::GW_HWNDNEXT); };
  EXPECT_EQ(first(), other);
  std::uint32_t top = 0;
  EXPECT_EQ(QNA_WinTop(id_, "myview", 0, 0, 0, &top, 0), 0u) << ServerLog();
  EXPECT_TRUE(StatusBecomes(top, kDone));
  EXPECT_EQ(first(), mine);
  win::WindowClose(other);
  win::WindowClose(mine);
}

}  // namespace
