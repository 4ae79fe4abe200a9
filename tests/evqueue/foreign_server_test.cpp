// A server of plain POSIX sockets, sharing none of our platform code, at the
// paths the platform names (<root>/pipe/NAME, <root>/host/HOST/pipe/NAME):
// the library finds it on every open path.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

#include "evqueue_peer.h"

namespace {

using namespace et;

// A listening socket running a script on its first client (waits: 10 s).
class PlainServer {
 public:
  PlainServer(const std::string& root, const std::string& folder, const std::string& name)
      : path_(root + "/" + folder + "/" + name) {
    for (std::size_t at = path_.find('/', 1); at != std::string::npos; at = path_.find('/', at + 1))
      mkdir(path_.substr(0, at).c_str(), 0700);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path_.size() >= sizeof address.sun_path) return;
    path_.copy(address.sun_path, path_.size());
    listener_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval bound{10, 0};
    if (setsockopt(listener_, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound) != 0 ||
        bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_, 8) != 0)
      Die();
  }
  ~PlainServer() {
    if (thread_.joinable()) thread_.join();
    Die();
    unlink(path_.c_str());
  }
  PlainServer(const PlainServer&) = delete;
  PlainServer& operator=(const PlainServer&) = delete;

  bool listening() const { return listener_ >= 0; }
  void Die() {
    if (listener_ >= 0) close(listener_);
    listener_ = -1;
  }
  void Serve(std::function<void(PlainServer&)> script) {
    thread_ = std::thread([this, script = std::move(script)] {
      client_ = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);  // inherits the bound
      if (client_ < 0) return;
      script(*this);
      close(client_);
    });
  }
  // The next request record; empty once the client has gone.
  Bytes ReadRequest() {
    Bytes request = Read(4);
    if (request.size() != 4) return {};
    const Bytes rest = Read(At32(request, 0));
    if (rest.size() != At32(request, 0)) return {};
    request.insert(request.end(), rest.begin(), rest.end());
    return request;
  }
  bool Send(const Bytes& bytes) {
    return send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  // Waits for the client to close its end.
  void WaitClosed() { Read(1); }

 private:
  Bytes Read(std::size_t n) {
    Bytes out(n);
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got = recv(client_, out.data() + done, n - done, 0);
      if (got <= 0) break;
      done += static_cast<std::size_t>(got);
    }
    out.resize(done);
    return out;
  }

  std::string path_;
  int listener_ = -1;
  int client_ = -1;
  std::thread thread_;
};

// Answers as a server does; queue opens get queue 7 on "evq7".
void Answering(PlainServer& server) {
  for (;;) {
    const Bytes request = server.ReadRequest();
    if (request.empty()) return;
    const std::uint32_t command = At32(request, 4);
    const Bytes reply = command == proto::kEvQueueOpen    ? Reply(0, OpenPayload(7, "evq7"))
                        : command == proto::kEvQueueClose ? Reply(0)
                                                          : *Answer(request);
    if (!server.Send(reply)) return;
  }
}

const QNA_REGREC kRecord{1, 0, {'P', 'L', 'A', 'I', 'N', 0, 0, 0}};

class ForeignServerTest : public EvQueueTest {};

TEST_F(ForeignServerTest, ServesTheLocalHostAndQueuePipes) {
  ServerObjects objects;  // the data areas are not pipes: ours serve
  ASSERT_TRUE(objects.ok());
  PlainServer local(root_.path(), "pipe", "qoxsmem");
  PlainServer host(root_.path(), "host/box/pipe", "qoxsmem");
  PlainServer queue(root_.path(), "host/box/pipe", "evq7");
  ASSERT_TRUE(local.listening() && host.listening() && queue.listening());
  local.Serve(Answering);
  host.Serve(Answering);
  queue.Serve([](PlainServer& pipe) {
    if (pipe.Send(EventRecord(3, "PLAIN", 42, {1, 2, 3}))) pipe.WaitClosed();
  });

  ASSERT_EQ(QNA_Open(&kRecord), QNA_OK) << QNA_InternalErr;
  QNA_Close();
  QNA_CONNPARAM params = Params(kHostName);
  std::uint32_t id = 0;
  ASSERT_EQ(QNA_OpenN(&params, &id), QNA_OK) << QNA_InternalErr;
  std::uint32_t handle = 0, number = 0;
  ASSERT_EQ(QNA_OpenEvQueue(id, QNA_EVQ_ANY, &number, "ALARMS", &handle, 0), QNA_OK);
  EXPECT_EQ(number, 7u);
  std::uint8_t data[8] = {};
  QNA_EVENT event{0, sizeof data, data};
  std::uint16_t kind = 0;
  char name[32] = {};
  EXPECT_EQ(QNA_ReadEvQueue(handle, &kind, name, &event, 0), QNA_OK);
  EXPECT_EQ(kind, 3u);
  EXPECT_STREQ(name, "PLAIN");
  EXPECT_EQ(event.value, 42u);
  EXPECT_EQ(event.length, 3u);
  EXPECT_EQ(QNA_CloseEvQueue(handle, 0), QNA_OK);
  QNA_CloseN(id);
}

}  // namespace
