// info_test.cpp - the information block reads against a scripted server on
// the local link: the detail codes 1001 to 1010, the exact request, and the
// block never written past its size.
#include <gtest/gtest.h>

#include <cstring>

#include "apps/info.h"
#include "remote/data.h"
#include "support/family.h"
#include "remote/remote.h"

namespace {

using qt::Bytes;
using qt::Cat;
using qt::FakeLink;
using qt::Le32;
using qt::Reply;

const Bytes kCmRequest = Cat({Le32({24, 100, 0}), Bytes{1, 0, 0, 0}, Le32({1000, 0, 448})});
const Bytes kAppRequest = Cat({Le32({24, 100, 0}), Bytes{1, 0, 0, 0}, Le32({1001, 0, 512})});

Bytes Block(std::size_t size) {
  Bytes b(size);
  for (std::size_t i = 0; i < size; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return b;
}

std::uint8_t g_block[448 + 64];

std::uint32_t CmOnFake(FakeLink& link) {
  // InfoBlockRead works on the link; play it through the same exchange.
  const std::uint32_t area = 1000, start = 0, count = 448;
  return DataReadExchange(link, 1, &area, &start, &count, g_block, 0, 0);
}

const std::vector<qt::Row> kRows = {
    {"block", {Reply(0, Block(448))}, 0, 0, 28, qt::After::InStep},
    {"server result returned", {Reply(6, Block(448))}, 6, 0, 28, qt::After::InStep},
    {"payload beyond the block", {Reply(0, Block(600))}, 0, 0, 28, qt::After::InStep},
};

class InfoTest : public qt::LibraryTest {};

TEST_F(InfoTest, CodesOfTheServerBlock) {
  qt::RunFamily({.request = kCmRequest, .on_fake = CmOnFake, .local = [] { return QNA_ReadCmInfo(g_block); }},
                qt::Rows(kRows, qt::StepRows(1002, 28, Block(448))));
}

// A server that answers one information read with `reply`, then the probe.
template <typename Call>
std::uint32_t ReadWith(const Bytes& reply, const Bytes& request, Call call) {
  qt::Peer peer;
  EXPECT_TRUE(peer.listening());
  peer.Serve([reply](qt::PeerConn& conn) {
    if (conn.Read(28)) conn.Send(reply);
    conn.WaitFinish();
  });
  qt::LinkSession session;
  EXPECT_TRUE(session.ok());
  const std::uint32_t result = call();
  peer.Finish();
  EXPECT_EQ(peer.received(), request);
  return result;
}

// The application block is read 512 bytes and never written past; a short
// or refused reply leaves the buffer as it was.
TEST_F(InfoTest, BlocksLandWholeAndNeverBeyond) {
  std::uint8_t buffer[600];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(ReadWith(Reply(0), kCmRequest, [&] { return QNA_ReadCmInfo(buffer); }), 0u);
  EXPECT_EQ(ReadWith(Reply(6, Block(448)), kCmRequest, [&] { return QNA_ReadCmInfo(buffer); }), 6u);
  EXPECT_EQ(buffer[0], 0xEE);
  EXPECT_EQ(ReadWith(Reply(0, Block(700)), kAppRequest, [&] { return QNA_ReadAppInfo(buffer); }), 0u);
  EXPECT_EQ(Bytes(buffer, buffer + 512), Block(512));
  EXPECT_EQ(buffer[512], 0xEE);
}

TEST_F(InfoTest, NoMemoryForTheRequestGives100With1001) {
  qt::Peer peer;
  ASSERT_TRUE(peer.listening());
  peer.Serve([](qt::PeerConn& conn) { conn.WaitFinish(); });
  qt::LinkSession session;
  ASSERT_TRUE(session.ok());
  std::uint8_t buffer[448];
  ConnFailNextAllocSeam();
  EXPECT_EQ(QNA_ReadCmInfo(buffer), QNA_E_NOMEM);
  EXPECT_EQ(QNA_InternalErr, 1001);
  peer.Finish();
  EXPECT_TRUE(peer.received().empty());
}

TEST_F(InfoTest, BeforeOpenBothGive50) {
  std::uint8_t buffer[512];
  SetDetail(77);
  EXPECT_EQ(QNA_ReadCmInfo(buffer), QNA_E_NOTOPEN);
  EXPECT_EQ(QNA_InternalErr, 0);
  EXPECT_EQ(QNA_ReadAppInfo(buffer), QNA_E_NOTOPEN);
}

}  // namespace
