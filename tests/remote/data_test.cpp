// The data requests of both kinds of connection.
#include <gtest/gtest.h>

#include <future>
#include <vector>

#include "core/requests.h"
#include "remote/data.h"
#include "support/family.h"
#include "w95pipe/w95pipe.h"

namespace {

using namespace qt;

using DataTest = LibraryTest;

const Bytes kWordRead = ReadRequest(101, 1, 100, 3);

// QNA_ReadN / QNA_ReadS (1, 100, 3): QNA_InternalErr gets the result itself.
const std::vector<Row> kWordReadRows = Rows({
    {"server reads", {.reply = Reply(0, Bytes(6, 0x5A))}, 0, 0, 28, After::InStep},
    {"fewer words than asked", {.reply = Reply(0, Bytes(2, 1))}, 0, 0, 28, After::InStep},
    {"more words than asked", {.reply = Reply(0, Bytes(20, 1))}, 0, 0, 28, After::InStep},
    {"server refuses the range", {.reply = Reply(6)}, 6, 0, 28, After::InStep},
    {"server result 7, data follows", {.reply = Reply(7, Bytes(6, 1))}, 7, 0, 28, After::InStep},
    {"link closes in the head", {.reply = Le32({14, 0}), .close_after = true}, 102, 1007, 28,
     After::Cut},
    {"link closes in the data", {.reply = Cat({Le32({14, 0, 0}), Bytes{1, 2}}), .close_after = true},
     102, 1009, 28, After::Cut},
    {"link closes in the excess data",
     {.reply = Cat({Le32({28, 0, 0}), Bytes(10, 1)}), .close_after = true}, 102, 1009, 28, After::Cut},
}, StepRows(1002, 28, Bytes(6)));

std::uint32_t WordReadOnFake(FakeLink& link) {
  std::uint16_t words[3] = {};
  const std::uint32_t area = 1, start = 100, count = 3;
  return DataReadExchange(link, 1, &area, &start, &count, words, 0, 1);
}

TEST_F(DataTest, WordReadDetailCodes) {
  const Family exported{
      .request = kWordRead,
      .on_fake = WordReadOnFake,
      .remote = [](Wire w, std::uint32_t id) {
        std::uint16_t words[3] = {};
        return ReadWords(w, 1, 100, 3, words, id);
      },
      .detail_is_result = true};
  RunFamily(exported, kWordReadRows);
}

// QNA_ReadBitN / QNA_ReadBitS (0, 5, 3): one byte per bit.
TEST_F(DataTest, BitReadDetailCodes) {
  const Family family{
      .request = ReadRequest(100, 0, 5, 3),
      .on_fake = [](FakeLink& link) {
        std::uint8_t bits[3] = {};
        const std::uint32_t area = 0, start = 5, count = 3;
        return DataReadExchange(link, 1, &area, &start, &count, bits, 0, 0);
      },
      .remote = [](Wire w, std::uint32_t id) {
        std::uint8_t bits[3] = {};
        return ReadBits(w, 0, 5, 3, bits, id);
      },
      .detail_is_result = true};
  RunFamily(family, Rows({{"server reads", {.reply = Reply(0, {1, 0, 1})}, 0, 0, 28, After::InStep},
                          {"server refuses the range", {.reply = Reply(6)}, 6, 0, 28, After::InStep}},
                         StepRows(1002, 28, {1, 0, 1})));
}

// QNA_WriteBit and its twins (2, 5, 3, {1, 0, 7}, options 0x40).
TEST_F(DataTest, BitWriteDetailCodes) {
  static const std::uint8_t bits[3] = {1, 0, 7};
  const Bytes request = Cat({Le32({23, 100100, 0x40, 2, 5, 3}), Bytes{1, 0, 7}});
  const Family family{
      .request = request,
      .on_fake = [](FakeLink& link) { return WordWriteExchange(link, 2, 5, 3, bits, 0x40, 0); },
      .local = [] { return QNA_WriteBit(2, 5, 3, bits, 0x40); },
      .remote = [](Wire w, std::uint32_t id) { return WriteBits(w, 2, 5, 3, bits, 0x40, id); }};
  const std::vector<Row> rows = {
      {"server writes", {.reply = Reply(0)}, 0, 0, 27, After::InStep},
      {"server refuses the range", {.reply = Reply(6)}, 6, 0, 27, After::InStep},
  };
  RunFamily(family, Rows(rows, WriteRows(1101, {24, 3})));
}

// The exchanges' own refusals (behind the exported functions' checks).
TEST_F(DataTest, ExchangeRefusals) {
  std::uint16_t words[8] = {};
  const std::uint32_t one = 1, none = 0;
  const std::uint32_t ones[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  const struct {
    std::function<std::uint32_t(FakeLink&)> call;
    std::uint32_t result;
    std::int32_t detail;
  } cases[] = {
      {[&](FakeLink& l) { return DataReadExchange(l, 0, &one, &one, &one, words, 0, 1); }, 6, 0},
      {[&](FakeLink& l) { return DataReadExchange(l, 1, &one, &one, &one, words, 0, 2); }, 9999, 1000},
      {[&](FakeLink& l) { return DataReadExchange(l, 1, &one, &one, &none, words, 0, 1); }, 6, 0},
      {[&](FakeLink& l) {
         ConnFailNextAllocSeam();  // a request of many ranges is the one that takes memory
         return DataReadExchange(l, 8, ones, ones, ones, words, 0, 1);
       }, 100, 1001},
      {[](FakeLink& l) { return WordWriteExchange(l, 1, 0, 0, kProbeWords, 0, 1); }, 6, 0},
  };
  for (const auto& c : cases) {
    FakeLink link(Script{Reply(0)});
    SetDetail(0);
    EXPECT_EQ(c.call(link), c.result);
    EXPECT_EQ(Detail(), c.detail);
    EXPECT_TRUE(link.written.empty());
  }
  EXPECT_EQ(LinkDataReadExchange(Link{}, 1, &one, &one, &one, words, 0, 1), QNA_E_NOTOPEN);
  EXPECT_EQ(LinkDataWriteExchange(Link{}, 1, 0, 3, kProbeWords, 0, 1), QNA_E_NOTOPEN);
}

// Words go in requests of 16384, bits written 32768 at a time.
TEST_F(DataTest, TransfersAreSplit) {
  for (const Wire wire : {Wire::Pipe, Wire::Tcp}) {
    SCOPED_TRACE(WireName(wire));
    Peer peer(wire, kHostPipe, Answering());
    Session session(peer);
    ASSERT_TRUE(session.ok());
    const std::uint32_t id = session.id();

    std::vector<std::uint16_t> words(40001, 0xEEEE);
    EXPECT_EQ(ReadWords(wire, 1, 10, 40000, words.data(), id), QNA_OK);
    bool all = true;
    for (std::uint32_t i = 0; i < 40000; ++i) all = all && words[i] == WordAt(10 + i);
    EXPECT_TRUE(all);
    EXPECT_EQ(words[40000], 0xEEEE);

    EXPECT_EQ(ReadWords(wire, 1, 0, 16384, words.data(), id), QNA_OK);

    std::vector<std::uint16_t> out(40000);
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::uint16_t>(i * 7 + 3);
    EXPECT_EQ(WriteWords(wire, 4, 20, 40000, out.data(), 0, id), QNA_OK);

    std::vector<std::uint8_t> bits(32769, 0);
    bits[0] = 1;
    bits[32768] = 9;
    EXPECT_EQ(WriteBits(wire, 0, 7, 32769, bits.data(), 0, id), QNA_OK);

    std::vector<std::uint8_t> read_bits(100000, 0xEE);
    EXPECT_EQ(ReadBits(wire, 2, 3, 100000, read_bits.data(), id), QNA_OK);
    all = true;
    for (std::uint32_t i = 0; i < 100000; ++i) all = all && read_bits[i] == BitAt(3 + i);
    EXPECT_TRUE(all);
    peer.Finish();
    // Every request whole: the reads, then the writes with their data.
    const std::uint32_t counts[3] = {16384, 16384, 7232};
    std::vector<Bytes> expected;
    for (std::uint32_t i = 0; i < 3; ++i) expected.push_back(ReadRequest(101, 1, 10 + 16384 * i, counts[i]));
    expected.push_back(ReadRequest(101, 1, 0, 16384));
    for (std::uint32_t i = 0; i < 3; ++i) {
      Bytes r = Le32({20 + 2 * counts[i], 100101, 0, 4, 20 + 16384 * i, counts[i]});
      for (std::uint32_t k = 16384 * i; k < 16384 * i + counts[i]; ++k)
        r.insert(r.end(), {static_cast<std::uint8_t>(out[k]), static_cast<std::uint8_t>(out[k] >> 8)});
      expected.push_back(r);
    }
    expected.push_back(Cat({Le32({20 + 32768, 100100, 0, 0, 7, 32768}), Prefix(bits, 32768)}));
    expected.push_back(Cat({Le32({21, 100100, 0, 0, 7 + 32768, 1}), Bytes{9}}));
    expected.push_back(ReadRequest(100, 2, 3, 100000));
    const std::vector<Bytes> requests = Records(peer.received());
    EXPECT_TRUE(requests == expected) << requests.size() << " requests";
  }
}

// A small reply comes in one read with its length word: its words land in
// the buffer and not beyond it; bytes that come after a reply belong to no
// request, so the link is cut once the reply is taken.
TEST_F(DataTest, SmallRepliesComeWholeAndNothingAfterThem) {
  for (const Wire wire : {Wire::Pipe, Wire::Tcp}) {
    SCOPED_TRACE(WireName(wire));
    Peer peer(wire, kHostPipe);
    peer.Serve([](PeerConn& conn) {
      if (conn.ReadRequest().empty() || !conn.Send(Reply(0, Le32({0x22221111, 0x44443333, 0x66665555})))) return;
      if (conn.ReadRequest().empty() || !conn.Send(Cat({Reply(6), Bytes{9, 9, 9}}))) return;
      conn.WaitFinish();
    });
    Session session(peer);
    ASSERT_TRUE(session.ok());
    std::uint16_t words[4] = {0, 0, 0, 0xEEEE};
    EXPECT_EQ(ReadWords(wire, 1, 100, 3, words, session.id()), QNA_OK);
    EXPECT_EQ(words[0], 0x1111);
    EXPECT_EQ(words[2], 0x3333);
    EXPECT_EQ(words[3], 0xEEEE);
    EXPECT_EQ(ReadWords(wire, 1, 100, 3, words, session.id()), 6u);
    EXPECT_EQ(Probe(wire, session.id()), QNA_E_WRITE);
  }
}

// The emulated pipe's read waits for every byte asked: a refusal, shorter
// than the reply of the words asked, still ends the read at once.  The
// creating side is a child process, as a server is.
TEST_F(DataTest, EmulatedPipeTakesAShortReplyByItsLength) {
  qt::Signal to_child, to_parent;
  qt::Child child([&] {
    Handle server = 0;
    std::uint8_t request[28];
    std::uint32_t n = 0;
    const Bytes refusal = Reply(6);
    if (W95NpipeCreate("\\pipe\\shortreply", &server, 0, 1, 256, 256, 0) != 0) return 1;
    to_parent.Post('c');
    if (W95NpipeConnect(server) != 0 || W95NpipeRead(server, request, sizeof request, &n) != 0 ||
        W95NpipeWrite(server, refusal.data(), static_cast<std::uint32_t>(refusal.size()), &n) != 0)
      return 1;
    return to_child.Take(30s) == 'x' ? 0 : 2;
  });
  ASSERT_EQ(to_parent.Take(), 'c');
  Handle client = 0;
  // The instance is offered once the child's connect runs, a moment after its post.
  ASSERT_TRUE(qt::WaitFor([&] { return W95NpipeOpen("\\pipe\\shortreply", &client) == 0; }));
  auto read = std::async(std::launch::async, [client] {
    Link link = Link::OfPipe(client, true);
    std::uint16_t words[3] = {};
    const std::uint32_t area = 1, start = 100, count = 3;
    return DataReadExchange(link, 1, &area, &start, &count, words, 0, 1);
  });
  const bool prompt = read.wait_for(kPromptly) == std::future_status::ready;
  if (!prompt) W95NpipeCut(client);  // frees the waiting read
  EXPECT_TRUE(prompt);
  EXPECT_EQ(read.get(), 6u);
  W95NpipeClose(client);
  to_child.Post('x');
  EXPECT_EQ(child.Wait(), 0);
}

// A failed request ends a split read; the words before it stay.
TEST_F(DataTest, FailedRequestEndsASplitRead) {
  for (const Wire wire : {Wire::Pipe, Wire::Tcp}) {
    SCOPED_TRACE(WireName(wire));
    Peer peer(wire, kHostPipe);
    Bytes after;
    peer.Serve([&after](PeerConn& conn) {
      const Bytes first = conn.ReadRequest();
      if (first.empty() || !conn.Send(*Answer(first))) return;
      if (conn.ReadRequest().empty() || !conn.Send(Reply(9))) return;
      after = conn.ReadRequest();  // the probe, not a third piece
      conn.Send(Reply(0));
      conn.WaitFinish();
    });
    Session session(peer);
    ASSERT_TRUE(session.ok());
    std::vector<std::uint16_t> words(40000, 0xEEEE);
    EXPECT_EQ(ReadWords(wire, 1, 0, 40000, words.data(), session.id()), 9u);
    EXPECT_EQ(QNA_InternalErr, 9);
    EXPECT_EQ(words[16383], WordAt(16383));
    EXPECT_EQ(words[16384], 0xEEEE);
    EXPECT_EQ(Probe(wire, session.id()), QNA_OK);
    peer.Finish();
    EXPECT_EQ(after, kProbeRequest);
  }
}

// Refused before anything is sent.
TEST_F(DataTest, NothingToSend) {
  for (const Wire wire : {Wire::Pipe, Wire::Tcp}) {
    SCOPED_TRACE(WireName(wire));
    Peer peer(wire, kHostPipe, AnswerOne);
    Session session(peer);
    ASSERT_TRUE(session.ok());
    const std::uint32_t id = session.id();
    const std::uint32_t unknown = id + 100;
    std::uint16_t words[4] = {};
    std::uint8_t bits[4] = {};
    const std::uint32_t areas[2] = {1, 1}, starts[2] = {0, 0}, counts[2] = {1, 1};
    static std::vector<std::uint16_t> big(40000);
    struct Case {
      const char* what;
      std::function<std::uint32_t()> call;
      std::uint32_t result;
      std::int32_t detail;  // from 77
    };
    const std::vector<Case> cases = {
        {"read of 0 words, unknown id", [&] { return ReadWords(wire, 1, 0, 0, words, unknown); }, 6, 77},
        {"read of 0 words", [&] { return ReadWords(wire, 1, 0, 0, words, id); }, 6, 77},
        {"read, unknown id", [&] { return ReadWords(wire, 1, 0, 1, words, unknown); }, 50, 77},
        {"read into no buffer", [&] { return ReadWords(wire, 1, 0, 1, nullptr, id); }, 6, 77},
        {"read that wraps", [&] { return ReadWords(wire, 1, 0xFFFFFFFFu, 2, words, id); }, 6, 0},
        {"bit read of 0 bits", [&] { return ReadBits(wire, 0, 0, 0, bits, unknown); }, 6, 0},
        {"bit read, unknown id", [&] { return ReadBits(wire, 0, 0, 1, bits, unknown); }, 50, 0},
        {"bit read into no buffer", [&] { return ReadBits(wire, 0, 0, 1, nullptr, id); }, 6, 0},
        {"bit read that wraps", [&] { return ReadBits(wire, 0, 0xFFFFFFFFu, 2, bits, id); }, 6, 0},
        {"gathered read of no ranges", [&] { return ReadMux(wire, 0, nullptr, nullptr, nullptr, nullptr, unknown); }, 0, 77},
        {"gathered read, unknown id", [&] { return ReadMux(wire, 2, areas, starts, counts, words, unknown); }, 50, 77},
        {"gathered read without arrays", [&] { return ReadMux(wire, 2, nullptr, starts, counts, words, id); }, 6, 0},
        {"write of 0 words", [&] { return WriteWords(wire, 1, 0, 0, kProbeWords, 0, id); }, 0, 77},
        {"write of 0 words, unknown id", [&] { return WriteWords(wire, 1, 0, 0, kProbeWords, 0, unknown); }, 50, 77},
        {"write, unknown id", [&] { return WriteWords(wire, 1, 0, 3, kProbeWords, 0, unknown); }, 50, 77},
        {"write from no data", [&] { return WriteWords(wire, 1, 0, 3, nullptr, 0, id); }, 6, 0},
        {"write that wraps", [&] { return WriteWords(wire, 1, 0xFFFFC000u, 40000, big.data(), 0, id); }, 6, 0},
        {"bit write of 0 bits", [&] { return WriteBits(wire, 0, 0, 0, bits, 0, id); }, 0, 77},
        {"bit write, unknown id", [&] { return WriteBits(wire, 0, 0, 1, bits, 0, unknown); }, 50, 77},
        {"bit write that wraps", [&] { return WriteBits(wire, 0, 0xFFFFFFFFu, 2, bits, 0, id); }, 6, 0},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.what);
      SetDetail(77);
      EXPECT_EQ(c.call(), c.result);
      EXPECT_EQ(QNA_InternalErr, c.detail);
    }
    EXPECT_EQ(Probe(wire, id), QNA_OK);
    peer.Finish();
    EXPECT_EQ(peer.received(), kProbeRequest);
  }
}

// A gathered read: a request per range, packed; a failing range ends it.
TEST_F(DataTest, GatheredReads) {
  for (const Wire wire : {Wire::Pipe, Wire::Tcp}) {
    SCOPED_TRACE(WireName(wire));
    Peer peer(wire, kHostPipe, Answering());
    Session session(peer);
    ASSERT_TRUE(session.ok());
    const std::uint32_t areas[3] = {1, 3, 5}, starts[3] = {40, 7, 0}, counts[3] = {10, 2, 5};
    std::vector<std::uint16_t> words(18, 0xEEEE), expected;
    for (std::uint32_t i = 0; i < 3; ++i)
      for (std::uint32_t k = starts[i]; k < starts[i] + counts[i]; ++k) expected.push_back(WordAt(k));
    expected.push_back(0xEEEE);
    EXPECT_EQ(ReadMux(wire, 3, areas, starts, counts, words.data(), session.id()), QNA_OK);
    EXPECT_EQ(words, expected);

    // 10, 0 and 5 words: the second range stops it with 6, the first is read.
    const std::uint32_t stop_counts[3] = {10, 0, 5};
    std::fill(words.begin(), words.end(), 0xEEEE);
    std::fill(expected.begin() + 10, expected.end(), 0xEEEE);
    EXPECT_EQ(ReadMux(wire, 3, areas, starts, stop_counts, words.data(), session.id()), QNA_E_ARG);
    EXPECT_EQ(words, expected);
    peer.Finish();
    EXPECT_EQ(Records(peer.received()), (std::vector<Bytes>{ReadRequest(101, 1, 40, 10), ReadRequest(101, 3, 7, 2),
                                                            ReadRequest(101, 5, 0, 5), ReadRequest(101, 1, 40, 10)}));
  }
}

// Server-less: reads from the mapped areas, writes over the pipe.
TEST_F(DataTest, ServerLessReadsTheMappedAreas) {
  ServerObjects objects;
  ASSERT_TRUE(objects.ok());
  for (std::uint32_t i = 0; i < 6; ++i) AreaSetSize(i, objects.words(static_cast<int>(i)));
  ASSERT_EQ(AreaOpenAll(), 0);
  objects.area(1)[7] = 0x1234;
  objects.area(1)[8] = 0x5678;
  objects.area(0)[1] = 0x8001;  // bits 16 and 31
  Peer peer(Wire::Pipe, kHostPipe, AnswerOne);
  Session session(peer, "");
  ASSERT_TRUE(session.ok());
  std::uint16_t words[2] = {};
  SetDetail(77);
  EXPECT_EQ(QNA_ReadN(1, 7, 2, words, 0, session.id()), QNA_OK);
  EXPECT_EQ(QNA_InternalErr, 0);
  EXPECT_TRUE(words[0] == 0x1234 && words[1] == 0x5678);
  Bytes bits(17), expected_bits(17);
  expected_bits[1] = expected_bits[16] = 1;
  EXPECT_EQ(QNA_ReadBitN(0, 15, 17, bits.data(), 1, session.id()), QNA_OK);
  EXPECT_EQ(bits, expected_bits);
  EXPECT_EQ(QNA_ReadN(1, objects.words(1) - 1, 2, words, 0, session.id()), QNA_E_ARG);
  EXPECT_EQ(QNA_InternalErr, 0);
  EXPECT_EQ(QNA_ReadBitN(0, 16 * objects.words(0), 1, bits.data(), 0, session.id()), QNA_E_ARG);
  EXPECT_EQ(QNA_WriteN(1, 100, 3, kProbeWords, 0, session.id()), QNA_OK);
  peer.Finish();
  EXPECT_EQ(peer.received(), kProbeRequest);
  AreaCloseAll();
}

// The other kind's id finds no link of this kind: 101 at the first write.
TEST_F(DataTest, IdOfTheOtherKind) {
  Peer pipe_peer(Wire::Pipe, kHostPipe, [](PeerConn& conn) { conn.WaitFinish(); });
  Peer tcp_peer(Wire::Tcp, kHostPipe, [](PeerConn& conn) { conn.WaitFinish(); });
  Session pipe_session(pipe_peer), tcp_session(tcp_peer);
  ASSERT_TRUE(pipe_session.ok() && tcp_session.ok());
  std::uint16_t words[3];
  EXPECT_EQ(QNA_ReadS(1, 100, 3, words, 0, pipe_session.id()), QNA_E_WRITE);
  EXPECT_EQ(QNA_InternalErr, 101);
  EXPECT_EQ(QNA_WriteN(1, 100, 3, kProbeWords, 0, tcp_session.id()), QNA_E_WRITE);
  EXPECT_EQ(QNA_InternalErr, 1101);
  pipe_peer.Finish();
  tcp_peer.Finish();
  EXPECT_TRUE(pipe_peer.received().empty() && tcp_peer.received().empty());
}

}  // namespace
