// messaging.cpp - qna mailbox read|write and qna msg send|recv: application
// mailboxes and messages on numbered channels.
#include <cstdio>
#include <string>
#include <vector>

#include "qna.h"
#include "qnapi.h"

namespace qna {

namespace {

// Mailboxes go over the library's link, which QNA_OpenN can take to a host;
// there is no TCP function for them.
const Offer kMailbox{true, false, "the library has no TCP function for mailboxes"};
const Offer kSend{};
const Offer kRecv{true, false, "the library has no TCP function to receive messages"};

struct MailboxArgs {
  LinkOptions link;
  std::string app;
  std::uint32_t index = 0;
  std::uint32_t count = 8;
  std::vector<std::string> values;
  bool no_reply = false;
};

bool CheckName(const std::string& name) { return !name.empty() && name.size() <= 8; }

int MailboxRead(const MailboxArgs& args) {
  if (!CheckName(args.app)) return Usage("mailbox read", "an application name has 1 to 8 characters");
  if (args.count == 0 || args.count > 262144) return Usage("mailbox read", "COUNT must be 1 to 262144");
  Link link;
  if (int failed = link.Open("mailbox read", args.link, kMailbox, Need::link)) return failed;
  std::vector<std::uint16_t> words(args.count);
  const std::uint32_t r = QNA_ReadApp(args.app.c_str(), args.index, args.count, words.data());
  if (r != 0) return Fail("mailbox read", "mailbox of " + args.app, r, QNA_InternalErr);
  if (args.link.json) {
    std::printf("{\"app\":%s,\"start\":%u,\"count\":%zu,\"words\":%s}\n", JsonString(args.app).c_str(), args.index,
                words.size(), JsonList(words.data(), words.size()).c_str());
    return 0;
  }
  Table table({"word", "value", "hex"});
  for (std::uint32_t i = 0; i < args.count; ++i) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%04X", words[i]);
    table.Row({std::to_string(args.index + i), std::to_string(words[i]), hex});
  }
  table.Print();
  return 0;
}

int MailboxWrite(const MailboxArgs& args) {
  if (!CheckName(args.app)) return Usage("mailbox write", "an application name has 1 to 8 characters");
  std::vector<std::uint16_t> words;
  for (const auto& v : args.values) {
    std::uint16_t w = 0;
    if (!ParseWord(v, w)) return Usage("mailbox write", "bad value '" + v + "': 0 to 65535, -32768 to -1, or 0x hex");
    words.push_back(w);
  }
  Link link;
  if (int failed = link.Open("mailbox write", args.link, kMailbox, Need::link)) return failed;
  const auto count = static_cast<std::uint32_t>(words.size());
  const std::uint32_t r = QNA_WriteApp(args.app.c_str(), args.index, count, words.data(), args.no_reply ? 1u : 0u);
  if (r != 0) return Fail("mailbox write", "mailbox of " + args.app, r, QNA_InternalErr);
  if (args.link.json)
    std::printf("{\"app\":%s,\"start\":%u,\"count\":%u,\"replied\":%s}\n", JsonString(args.app).c_str(),
                args.index, count, args.no_reply ? "false" : "true");
  else
    std::printf("%s %u word%s to the mailbox of %s from word %u%s\n", args.no_reply ? "sent" : "wrote", count,
                count == 1 ? "" : "s", args.app.c_str(), args.index, NoReplyNote(args.no_reply));
  return 0;
}

struct MsgArgs {
  LinkOptions link;
  std::uint32_t channel = 0;
  std::string text;
  std::uint32_t type = 0;
  std::uint32_t ref = 0;
  bool urgent = false;
  bool no_reply = false;
  std::uint32_t wait = 0;
  std::uint32_t room = 65536;
};

int MsgSend(const MsgArgs& args) {
  Link link;
  if (int failed = link.Open("msg send", args.link, kSend, Need::link)) return failed;
  const auto length = static_cast<std::uint32_t>(args.text.size());
  const std::uint32_t r = link.SendMsg(args.channel, args.type, args.ref, args.urgent ? 1u : 0u, args.text,
                                       args.no_reply ? QNA_MSG_NOREPLY : 0u);
  if (r != 0) return Fail("msg send", "channel " + std::to_string(args.channel), r, QNA_InternalErr);
  if (args.link.json)
    std::printf("{\"channel\":%u,\"bytes\":%u,\"replied\":%s}\n", args.channel, length,
                args.no_reply ? "false" : "true");
  else
    std::printf("sent %u byte%s on channel %u%s\n", length, length == 1 ? "" : "s", args.channel,
                NoReplyNote(args.no_reply));
  return 0;
}

int MsgRecv(const MsgArgs& args) {
  if (args.wait > 65535) return Usage("msg recv", "--wait is at most 65535 ms (the receive option has 16 bits)");
  if (args.room > 16u * 1024 * 1024) return Usage("msg recv", "--room is at most 16777216 bytes");
  Link link;
  if (int failed = link.Open("msg recv", args.link, kRecv, Need::link)) return failed;
  std::vector<std::uint8_t> body(args.room + 1);
  std::uint32_t type = 0, ref = 0, length = args.room;
  const std::uint32_t r = link.via() == Via::host
                              ? QNA_RecvMsgN(args.channel, &type, &ref, &length, body.data(), args.wait, link.id())
                              : QNA_RecvMsg(args.channel, &type, &ref, &length, body.data(), args.wait);
  if (r != 0) return Fail("msg recv", "channel " + std::to_string(args.channel), r, QNA_InternalErr);
  const std::string text = Printable(body.data(), length);
  if (args.link.json) {
    std::printf("{\"channel\":%u,\"type\":%u,\"ref\":%u,\"bytes\":%u,\"data\":%s}\n", args.channel, type, ref, length,
                JsonString(std::string(body.begin(), body.begin() + length)).c_str());
    return 0;
  }
  Table table({"channel", "type", "ref", "bytes", "body"});
  table.Row({std::to_string(args.channel), std::to_string(type), std::to_string(ref), std::to_string(length), text});
  table.Print();
  return 0;
}

}  // namespace

void AddMailboxCommands(CLI::App& app, Runner& run) {
  auto* mailbox = app.add_subcommand("mailbox", "Read and write application mailboxes on the server");
  mailbox->require_subcommand(1);
  auto read = std::make_shared<MailboxArgs>();
  auto* c = mailbox->add_subcommand("read", "Read words of an application's mailbox");
  c->add_option("app", read->app, "Application name (case counts)")->required();
  c->add_option("index", read->index, "First word")->capture_default_str();
  c->add_option("count", read->count, "How many words")->capture_default_str();
  AddLinkOptions(c, read->link, kMailbox);
  c->callback([&run, read] { run = [read] { return MailboxRead(*read); }; });

  auto write = std::make_shared<MailboxArgs>();
  c = mailbox->add_subcommand("write", "Write words into an application's mailbox");
  c->add_option("app", write->app, "Application name (case counts)")->required();
  c->add_option("index", write->index, "First word")->required();
  c->add_option("values", write->values, "The words: 0 to 65535, -32768 to -1, or 0x hex")->required();
  c->add_flag("--no-reply", write->no_reply, "Do not wait for the server's reply (flags bit 0)");
  AddLinkOptions(c, write->link, kMailbox);
  c->callback([&run, write] { run = [write] { return MailboxWrite(*write); }; });
}

void AddMessageCommands(CLI::App& app, Runner& run) {
  auto* msg = app.add_subcommand("msg", "Send and receive messages on numbered channels");
  msg->require_subcommand(1);
  auto send = std::make_shared<MsgArgs>();
  auto* c = msg->add_subcommand("send", "Send a message with a text body");
  c->add_option("channel", send->channel, "Channel number")->required();
  c->add_option("text", send->text, "The body (may be empty)");
  c->add_option("--type", send->type, "Header word 1: the message's type")->capture_default_str();
  c->add_option("--ref", send->ref, "Header word 2: the sender's reference, as a channel to answer on")->capture_default_str();
  c->add_flag("--urgent", send->urgent, "Header word 3 = 1: ahead of the channel's normal messages");
  c->add_flag("--no-reply", send->no_reply, "Do not wait for the server's reply (flags bit 0)");
  AddLinkOptions(c, send->link, kSend);
  c->callback([&run, send] { run = [send] { return MsgSend(*send); }; });

  auto recv = std::make_shared<MsgArgs>();
  c = msg->add_subcommand("recv", "Receive the next message of a channel");
  c->add_option("channel", recv->channel, "Channel number")->required();
  c->add_option("--wait", recv->wait, "Milliseconds the server waits for a message (0 to 65535)")->capture_default_str();
  c->add_option("--room", recv->room, "Bytes of room for the body")->capture_default_str();
  AddLinkOptions(c, recv->link, kRecv);
  c->callback([&run, recv] { run = [recv] { return MsgRecv(*recv); }; });
}

}  // namespace qna
