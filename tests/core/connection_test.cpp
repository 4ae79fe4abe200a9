// QNA_Open, QNA_Close, the registration and the small services.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "core/requests.h"
#include "support/family.h"

namespace {

using namespace qt;

using ConnectionTest = LibraryTest;

const QNA_REGREC kRecord{1, 0x22, {'T', 'E', 'S', 'T', 'A', 'P', 'P', 0}};

// The mailbox wait's read: the own mailbox, word 0, one word.
const Bytes kMailboxPoll =
    Cat({Le32({24, 200, 0}), {'T', 'E', 'S', 'T', 'A', 'P', 'P', 0}, Le32({0, 1})});

const Bytes kOwnSizes = Le32({16, 300, 32, 256, 8, 9});

TEST_F(ConnectionTest, RegistrationDetailCodes) {
  const Family family{.request = kRegistration,
                      .on_fake = [](FakeLink& link) { return RegisterExchange(link, &kRecord); },
                      .local = [] { return QNA_EntAppName(&kRecord); }};
  const std::vector<Row> rows = {
      {"server registers", {.reply = Reply(0, kOwnSizes)}, 0, 0, 28, After::InStep},
      {"server refuses", {.reply = Reply(7)}, 7, 0, 28, After::InStep},
  };
  RunFamily(family, Rows(rows, StepRows(4000, 28, kOwnSizes)));
}

// What a registration leaves in QNA_SizeTb: whole values, at most six.
TEST_F(ConnectionTest, RegistrationSizes) {
  struct Case {
    const char* what;
    Bytes reply;
    std::uint32_t result;
    std::vector<std::uint32_t> sizes;  // QNA_SizeTb afterwards, from all 5s
  };
  const std::vector<Case> cases = {
      {"six sizes", Reply(0, kOwnSizes), 0, {16, 300, 32, 256, 8, 9}},
      {"eight sizes", Reply(0, Le32({1, 2, 3, 4, 5, 6, 7, 8})), 0, {1, 2, 3, 4, 5, 6}},
      {"two and a half sizes", Reply(0, Cat({Le32({70, 71}), Bytes{1, 1}})), 0, {70, 71, 5, 5, 5, 5}},
      {"no sizes", Reply(0), 0, {5, 5, 5, 5, 5, 5}},
      {"refused", Reply(7, kOwnSizes), 7, {5, 5, 5, 5, 5, 5}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    for (std::uint32_t i = 0; i < 6; ++i) QNA_SizeTb[i] = 5;
    FakeLink link({.reply = c.reply});
    SetDetail(0);
    EXPECT_EQ(RegisterExchange(link, &kRecord), c.result);
    EXPECT_EQ(std::vector<std::uint32_t>(QNA_SizeTb, QNA_SizeTb + 6), c.sizes);
    EXPECT_EQ(link.at, c.reply.size());
  }
}

// Every pipe instance busy: a bounded wait, then 51, the areas closed.
TEST_F(ConnectionTest, PipeStaysBusy) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  const Handle listener = NpipeListen(kLocalPipe);
  ASSERT_NE(listener, kInvalidHandle);
  std::vector<Handle> queued;
  for (int i = 0; i < 1000; ++i) {
    const Handle h = win::CreateFileA(kLocalPipe, win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                                      win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL, 0);
    if (h == kInvalidHandle) break;
    queued.push_back(h);
  }
  ASSERT_EQ(win::GetLastError(), win::ERROR_PIPE_BUSY);
  const auto start = Clock::now();
  EXPECT_EQ(QNA_Open(&kRecord), QNA_E_OPEN);
  const auto took = Clock::now() - start;
  // 231 when a free instance was lost each time, 121 when none was seen.
  EXPECT_TRUE(QNA_InternalErr == 231 || QNA_InternalErr == 121) << QNA_InternalErr;
  EXPECT_LT(took, 20s);
  EXPECT_EQ(g_areas[0].view, nullptr);
  for (Handle h : queued) HndClose(h);
  HndClose(listener);
}

// The open and its mailbox wait; a failed registration keeps the old sizes.
TEST_F(ConnectionTest, Open) {
  struct Case {
    const char* what;
    Bytes registered;  // the reply to the registration; empty: the link closes
    std::uint32_t first;
    std::vector<std::uint32_t> answers;  // results to the polls, the last one repeated
    std::uint32_t result;
    std::int32_t detail;
    std::size_t polls;
  };
  const Bytes sizes = Reply(0, kOwnSizes);
  const Case cases[] = {
      {"answered at once", sizes, 1, {0}, 0, 0, 1},
      {"answered at the third poll", sizes, 1, {9, 6, 0}, 0, 0, 3},
      {"range refused, first word 0", sizes, 0, {6}, 0, 0, 1},
      {"range refused, first word 1", sizes, 1, {6}, 0, 0, 20},
      {"never answered", sizes, 0, {9}, 0, 0, 20},
      {"registration refused", Reply(7), 1, {0}, 7, 0, 0},
      {"reply length 6, then silence", Le32({6}), 1, {0}, 102, 4004, 0},
      {"link closes", {}, 1, {0}, 102, 4002, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ServerObjects objects;
    ASSERT_TRUE(objects.ok());
    Peer peer;
    peer.Serve([&c](PeerConn& conn) {
      if (conn.ReadRequest().empty()) return;
      if (c.registered.empty()) return conn.Close();
      if (!conn.Send(c.registered)) return;
      for (std::size_t polls = 0;;) {
        const Bytes r = conn.ReadRequest();
        if (r.empty()) return;
        const std::uint32_t result = r == kProbeRequest ? 0 : c.answers[std::min(polls++, c.answers.size() - 1)];
        if (!conn.Send(result == 0 && r != kProbeRequest ? Reply(0, {0, 0}) : Reply(result))) return;
      }
    });
    for (std::uint32_t i = 0; i < 6; ++i) QNA_SizeTb[i] = 400;  // as a previous registration left them
    QNA_REGREC record = kRecord;
    record.first = c.first;
    SetDetail(77);
    const auto start = Clock::now();
    EXPECT_EQ(QNA_Open(&record), c.result);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(50 * c.polls));
    EXPECT_EQ(QNA_InternalErr, c.detail);
    const std::vector<std::uint32_t> registered = {16, 300, 32, 256, 8, 9};
    EXPECT_EQ(std::vector<std::uint32_t>(QNA_SizeTb, QNA_SizeTb + 6),
              c.result == 0 ? registered : std::vector<std::uint32_t>(6, 400));
    std::vector<Bytes> expected = {kRegistration};
    expected[0][12] = static_cast<std::uint8_t>(c.first);
    if (c.result == 0) {
      EXPECT_EQ(QNA_Open(&record), QNA_OK);
      EXPECT_EQ(Probe(), QNA_OK);
      expected.insert(expected.end(), c.polls, kMailboxPoll);
      expected.push_back(kProbeRequest);
    }
    QNA_Close();
    peer.Finish();
    EXPECT_EQ(Records(peer.received()), expected);
    std::uint16_t word = 0;
    EXPECT_EQ(QNA_Read(1, 0, 1, &word, 0), QNA_E_NOTOPEN);
  }
}

TEST_F(ConnectionTest, PipeNames) {
  struct Case {
    const char* server_name;
    std::uint32_t emulation;
    std::string pipe;
  };
  const Case cases[] = {
      {"", 1, "\\pipe\\qoxsmem"},
      {"pipe", 1, "\\pipe\\qoxpipe"},
      // The setting is a 32-byte field: read no further than its end.
      {"0123456789abcdef0123456789ABCDEF", 0,
       "\\\\.\\0123456789abcdef0123456789ABCDEF\\qoxpipe"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pipe);
    std::memcpy(QNA_ServerName, c.server_name, std::min<std::size_t>(32, std::strlen(c.server_name) + 1));
    g_emulation = c.emulation;
    char name[64];
    LinkPipeName(name, sizeof name);
    EXPECT_EQ(std::string(name), c.pipe);
  }
}

// On the Windows 95 family the link is the emulated pipe.
TEST_F(ConnectionTest, EmulatedPipeOnWindows95) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  Peer peer;  // a real pipe exists, but the emulation does not use it
  win::SetVersionPlatformSeam(1);
  EXPECT_EQ(QNA_Open(&kRecord), QNA_E_OPEN);
  EXPECT_EQ(QNA_InternalErr, 2);
  EXPECT_EQ(g_emulation, 1u);
  EXPECT_EQ(g_link, kInvalidHandle);
  win::SetVersionPlatformSeam(0);
  OsProbe();
  EXPECT_EQ(g_emulation, 0u);
}

TEST_F(ConnectionTest, OsVersion) {
  const std::uint32_t unset = 0xDEADBEEF;
  std::uint32_t major = unset, minor = unset, build = unset, platform = unset;
  SetDetail(77);
  ASSERT_EQ(QNA_GetOsVersion(&major, &minor, &build, &platform), QNA_OK);
  EXPECT_EQ(platform, 3u);  // the NT family
  EXPECT_NE(major, unset);

  // Without a platform out the others are still filled in.
  std::uint32_t again[3] = {unset, unset, unset};
  EXPECT_EQ(QNA_GetOsVersion(&again[0], &again[1], &again[2], nullptr), QNA_E_NOPLATFORM);
  EXPECT_TRUE(again[0] == major && again[1] == minor && again[2] == build);
  EXPECT_EQ(QNA_GetOsVersion(nullptr, nullptr, nullptr, nullptr), QNA_E_NOPLATFORM);
  EXPECT_EQ(QNA_GetOsVersion(nullptr, nullptr, nullptr, &platform), QNA_OK);

  win::SetVersionPlatformSeam(1);
  EXPECT_EQ(QNA_GetOsVersion(nullptr, nullptr, nullptr, &platform), QNA_OK);
  EXPECT_EQ(platform, 2u);  // the Windows 95 family
  EXPECT_EQ(QNA_InternalErr, 77);
}

}  // namespace
