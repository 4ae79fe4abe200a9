// remote_bench.cpp - the remote connections against their limits, and Modbus
// TCP for comparison.
//
// Every figure crosses a process boundary, so every one is real time.
//
// Pairs (ours / limit), measured in the same run:
//   WriteWordS / TcpRawPingPong      a one-word QNA_WriteS against the same
//                                    bytes over a bare loopback socket: the
//                                    24-byte head and 2 data bytes in two
//                                    sends, a 12-byte reply
//   ReadWordS  / TcpRawReadPingPong  a one-word QNA_ReadS against its bytes:
//                                    the 28-byte read request in one send, a
//                                    14-byte reply
//   ReadS1M    / TcpRawStream        1,048,576 words with QNA_ReadS (64
//                                    requests of 16384 words) against 64 bare
//                                    exchanges of the same sizes (28-byte
//                                    request, 32780-byte reply)
//   WriteWordN / PipeRawPingPong     the same three over the host pipe (a
//   ReadWordN  / PipeRawReadPingPong Unix stream socket on POSIX)
//   ReadN1M    / PipeRawStream
// Figures (absolute):
//   OpenN                            a host pipe connection's open (its
//                                    handshake wait ends at the server's
//                                    registration)
//   OpenS                            a TCP open, which sleeps one second by
//                                    design
// For comparison, the same work with libmodbus against its own server:
//   WriteWordS / ModbusWriteRegister one register written, round trip
//   ReadS1M    / ModbusRead1M        1,048,576 registers, 125 per request
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "bench_support.h"
#include "core/link.h"
#include "core/protocol.h"
#include "platform/platform.h"
#include "qnapi.h"

#if QNAPI_BENCH_MODBUS
#include <modbus.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace {

constexpr std::uint32_t kBigWords = 1u << 20;  // 1,048,576 words per big transfer
constexpr std::uint32_t kChunkWords = proto::kMaxWordsPerRequest;
constexpr std::uint32_t kChunks = kBigWords / kChunkWords;  // 64
constexpr unsigned kWriteHead = 24, kWriteData = 2, kWriteReply = 12;
constexpr unsigned kReadRequest = 28;  // length, command, options, n, option, one range
constexpr unsigned kReadWordReply = 14;
constexpr unsigned kChunkReply = 12 + 2 * kChunkWords;  // 32780

bench::Server* g_server = nullptr;
std::uint32_t g_tcp = 0;   // connection ids
std::uint32_t g_pipe = 0;

constexpr const char* kHost = "BENCHHOST";

bool TcpConnected() {
  static const bool ok = [] {
    if (!g_server->ok() || g_server->tcp_port() == 0) return false;
    QNA_CONNPARAM params{};
    std::strcpy(params.name, "BENCHS");
    std::strcpy(params.host, "127.0.0.1");
    params.port = g_server->tcp_port();
    params.attempts = 5;
    return QNA_OpenS(&params, &g_tcp) == 0;
  }();
  return ok;
}

bool PipeConnected() {
  static const bool ok = [] {
    if (!g_server->ok()) return false;
    QNA_CONNPARAM params{};
    std::strcpy(params.name, "BENCHN");
    std::strcpy(params.host, kHost);
    return QNA_OpenN(&params, &g_pipe) == 0;
  }();
  return ok;
}

// The bytes of the library's requests, for the bare exchanges.
std::vector<std::uint8_t> ReadRequestBytes(std::uint32_t count) {
  std::vector<std::uint8_t> bytes(kReadRequest, 0);
  proto::Put32(bytes.data(), kReadRequest - 4);
  proto::Put32(bytes.data() + 4, proto::kReadWords);
  proto::Put16(bytes.data() + 12, 1);
  proto::Put32(bytes.data() + 16, 1);       // area
  proto::Put32(bytes.data() + 24, count);   // count (start 0)
  return bytes;
}

std::vector<std::uint8_t> WriteHeadBytes() {
  std::vector<std::uint8_t> bytes(kWriteHead, 0);
  proto::Put32(bytes.data(), kWriteHead - 4 + kWriteData);
  proto::Put32(bytes.data() + 4, proto::kWriteWords);
  proto::Put32(bytes.data() + 12, 1);    // area
  proto::Put32(bytes.data() + 16, 100);  // offset
  proto::Put32(bytes.data() + 20, 1);    // count
  return bytes;
}

void SetBigBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * kBigWords);
}

// ---- TCP ----------------------------------------------------------------------

void WriteWordS(benchmark::State& state) {
  if (!TcpConnected()) return state.SkipWithError("no TCP connection");
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    if (QNA_WriteS(1, 100, 1, &word, 0, g_tcp) != 0) return state.SkipWithError("write failed");
  }
}

void ReadWordS(benchmark::State& state) {
  if (!TcpConnected()) return state.SkipWithError("no TCP connection");
  std::uint16_t word = 0;
  for (auto _ : state) {
    if (QNA_ReadS(1, 100, 1, &word, 0, g_tcp) != 0) return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(word);
  }
}

void ReadS1M(benchmark::State& state) {
  if (!TcpConnected()) return state.SkipWithError("no TCP connection");
  std::vector<std::uint16_t> words(kBigWords);
  for (auto _ : state) {
    if (QNA_ReadS(1, 0, kBigWords, words.data(), 0, g_tcp) != 0)
      return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(words.data());
  }
  SetBigBytes(state);
}

void TcpRawPingPong(benchmark::State& state) {
  bench::TcpEchoPeer peer(kWriteHead + kWriteData, kWriteReply);
  const std::intptr_t s = bench::TcpConnect(peer.port());
  if (s < 0) return state.SkipWithError("no echo peer");
  const auto head = WriteHeadBytes();
  const std::uint8_t data[kWriteData] = {1, 0};
  std::uint8_t reply[kWriteReply];
  for (auto _ : state) {
    if (!bench::SendAll(s, head.data(), kWriteHead) || !bench::SendAll(s, data, kWriteData) ||
        !bench::RecvAll(s, reply, kWriteReply))
      return state.SkipWithError("echo failed");
  }
  bench::TcpClose(s);
}

void TcpRawReadPingPong(benchmark::State& state) {
  bench::TcpEchoPeer peer(kReadRequest, kReadWordReply);
  const std::intptr_t s = bench::TcpConnect(peer.port());
  if (s < 0) return state.SkipWithError("no echo peer");
  const auto request = ReadRequestBytes(1);
  std::uint8_t reply[kReadWordReply];
  for (auto _ : state) {
    if (!bench::SendAll(s, request.data(), kReadRequest) ||
        !bench::RecvAll(s, reply, kReadWordReply))
      return state.SkipWithError("echo failed");
  }
  bench::TcpClose(s);
}

void TcpRawStream(benchmark::State& state) {
  bench::TcpEchoPeer peer(kReadRequest, kChunkReply);
  const std::intptr_t s = bench::TcpConnect(peer.port());
  if (s < 0) return state.SkipWithError("no echo peer");
  const auto request = ReadRequestBytes(kChunkWords);
  // Replies land where the library puts them: head, then the caller's words.
  std::uint8_t head[12];
  std::vector<std::uint16_t> words(kBigWords);
  for (auto _ : state) {
    for (std::uint32_t chunk = 0; chunk < kChunks; ++chunk) {
      if (!bench::SendAll(s, request.data(), kReadRequest) || !bench::RecvAll(s, head, 12) ||
          !bench::RecvAll(s, words.data() + chunk * kChunkWords, 2 * kChunkWords))
        return state.SkipWithError("echo failed");
    }
    benchmark::DoNotOptimize(words.data());
  }
  SetBigBytes(state);
  bench::TcpClose(s);
}

// ---- Host pipe ----------------------------------------------------------------

void WriteWordN(benchmark::State& state) {
  if (!PipeConnected()) return state.SkipWithError("no pipe connection");
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    if (QNA_WriteN(1, 100, 1, &word, 0, g_pipe) != 0) return state.SkipWithError("write failed");
  }
}

void ReadWordN(benchmark::State& state) {
  if (!PipeConnected()) return state.SkipWithError("no pipe connection");
  std::uint16_t word = 0;
  for (auto _ : state) {
    if (QNA_ReadN(1, 100, 1, &word, 0, g_pipe) != 0) return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(word);
  }
}

void ReadN1M(benchmark::State& state) {
  if (!PipeConnected()) return state.SkipWithError("no pipe connection");
  std::vector<std::uint16_t> words(kBigWords);
  for (auto _ : state) {
    if (QNA_ReadN(1, 0, kBigWords, words.data(), 0, g_pipe) != 0)
      return state.SkipWithError("read failed");
    benchmark::DoNotOptimize(words.data());
  }
  SetBigBytes(state);
}

// A bare pipe to an echo peer; the pipe lives in the benchmark's private root.
struct RawPipe {
  bench::EchoPeer peer;
  Handle link;
  RawPipe(unsigned request_bytes, unsigned reply_bytes)
      : peer("\\\\.\\pipe\\benchecho", request_bytes, reply_bytes),
        link(win::CreateFileA("\\\\.\\pipe\\benchecho", win::GENERIC_READ | win::GENERIC_WRITE,
                              0, nullptr, win::OPEN_EXISTING, 0, 0)) {}
  ~RawPipe() {
    if (link != kInvalidHandle) HndClose(link);
  }
  bool Write(const void* bytes, std::uint32_t count) {
    std::uint32_t put = 0;
    return PipeWrite(link, bytes, count, &put) == 0 && put == count;
  }
  bool Read(void* bytes, std::uint32_t count) {
    std::uint32_t got = 0;
    return NpipeRead(reinterpret_cast<void*>(link), bytes, count, &got) == 0 && got == count;
  }
};

void PipeRawPingPong(benchmark::State& state) {
  RawPipe pipe(kWriteHead + kWriteData, kWriteReply);
  if (pipe.link == kInvalidHandle) return state.SkipWithError("no echo peer");
  const auto head = WriteHeadBytes();
  const std::uint8_t data[kWriteData] = {1, 0};
  std::uint8_t reply[kWriteReply];
  for (auto _ : state) {
    if (!pipe.Write(head.data(), kWriteHead) || !pipe.Write(data, kWriteData) ||
        !pipe.Read(reply, kWriteReply))
      return state.SkipWithError("echo failed");
  }
}

void PipeRawReadPingPong(benchmark::State& state) {
  RawPipe pipe(kReadRequest, kReadWordReply);
  if (pipe.link == kInvalidHandle) return state.SkipWithError("no echo peer");
  const auto request = ReadRequestBytes(1);
  std::uint8_t reply[kReadWordReply];
  for (auto _ : state) {
    if (!pipe.Write(request.data(), kReadRequest) || !pipe.Read(reply, kReadWordReply))
      return state.SkipWithError("echo failed");
  }
}

void PipeRawStream(benchmark::State& state) {
  RawPipe pipe(kReadRequest, kChunkReply);
  if (pipe.link == kInvalidHandle) return state.SkipWithError("no echo peer");
  const auto request = ReadRequestBytes(kChunkWords);
  std::uint8_t head[12];
  std::vector<std::uint16_t> words(kBigWords);
  for (auto _ : state) {
    for (std::uint32_t chunk = 0; chunk < kChunks; ++chunk) {
      if (!pipe.Write(request.data(), kReadRequest) || !pipe.Read(head, 12) ||
          !pipe.Read(words.data() + chunk * kChunkWords, 2 * kChunkWords))
        return state.SkipWithError("echo failed");
    }
    benchmark::DoNotOptimize(words.data());
  }
  SetBigBytes(state);
}

// ---- Opens ----------------------------------------------------------------------

// One open, timed alone; its close runs outside the timing.
void TimeOpen(benchmark::State& state, QNA_CONNPARAM params, bool tcp) {
  for (auto _ : state) {
    std::uint32_t id = 0;
    if ((tcp ? QNA_OpenS(&params, &id) : QNA_OpenN(&params, &id)) != 0)
      return state.SkipWithError("open failed");
    state.PauseTiming();
    tcp ? QNA_CloseS(id) : QNA_CloseN(id);
    state.ResumeTiming();
  }
}

void OpenN(benchmark::State& state) {
  if (!g_server->ok()) return state.SkipWithError("no server");
  QNA_CONNPARAM params{};
  std::strcpy(params.name, "BENCHON");
  std::strcpy(params.host, kHost);
  TimeOpen(state, params, false);
}

void OpenS(benchmark::State& state) {
  if (!g_server->ok() || g_server->tcp_port() == 0) return state.SkipWithError("no server");
  QNA_CONNPARAM params{};
  std::strcpy(params.name, "BENCHOS");
  std::strcpy(params.host, "127.0.0.1");
  params.port = g_server->tcp_port();
  params.attempts = 5;
  TimeOpen(state, params, true);
}

// ---- Modbus TCP, for comparison ---------------------------------------------

#if QNAPI_BENCH_MODBUS
// libmodbus's own server in a forked child, on loopback at a port the
// system picks, with 65535 holding registers; and one client for the run.
class ModbusPeer {
 public:
  ModbusPeer() {
    modbus_t* server = modbus_new_tcp("127.0.0.1", 0);
    if (server == nullptr) return;
    int listener = modbus_tcp_listen(server, 1);
    sockaddr_in local{};
    socklen_t size = sizeof local;
    if (listener < 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&local), &size) != 0) {
      modbus_free(server);
      return;
    }
    const int port = ntohs(local.sin_port);
    pid_ = fork();
    if (pid_ == 0) Serve(server, listener);
    close(listener);
    modbus_free(server);
    if (pid_ < 0) return;
    client_ = modbus_new_tcp("127.0.0.1", port);
    if (client_ != nullptr && modbus_connect(client_) != 0) {
      modbus_free(client_);
      client_ = nullptr;
    }
  }
  ~ModbusPeer() {
    if (client_ != nullptr) {
      modbus_close(client_);
      modbus_free(client_);
    }
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  ModbusPeer(const ModbusPeer&) = delete;
  ModbusPeer& operator=(const ModbusPeer&) = delete;
  modbus_t* client() const { return client_; }

 private:
  [[noreturn]] static void Serve(modbus_t* server, int listener) {
    modbus_mapping_t* mapping = modbus_mapping_new(0, 0, 65535, 0);
    if (mapping == nullptr || modbus_tcp_accept(server, &listener) < 0) _exit(1);
    std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
      const int length = modbus_receive(server, query);
      if (length > 0) {
        modbus_reply(server, query, length, mapping);
      } else if (length < 0) {
        break;
      }
    }
    _exit(0);
  }

  pid_t pid_ = -1;
  modbus_t* client_ = nullptr;
};

ModbusPeer& Modbus() {
  static ModbusPeer peer;
  return peer;
}

void ModbusWriteRegister(benchmark::State& state) {
  modbus_t* client = Modbus().client();
  if (client == nullptr) return state.SkipWithError("no Modbus server");
  std::uint16_t word = 0;
  for (auto _ : state) {
    ++word;
    if (modbus_write_register(client, 100, word) != 1) return state.SkipWithError("write failed");
  }
}

void ModbusRead1M(benchmark::State& state) {
  modbus_t* client = Modbus().client();
  if (client == nullptr) return state.SkipWithError("no Modbus server");
  // 125 registers is the most one Modbus read carries; the 65535 registers
  // of the server are read round and round.
  constexpr std::uint32_t kPerRead = 125;
  std::vector<std::uint16_t> words(kBigWords);
  for (auto _ : state) {
    for (std::uint32_t done = 0; done < kBigWords;) {
      const std::uint32_t count = std::min(kPerRead, kBigWords - done);
      const int address = static_cast<int>(done % (65536 - 2 * kPerRead));
      if (modbus_read_registers(client, address, static_cast<int>(count), words.data() + done) !=
          static_cast<int>(count))
        return state.SkipWithError("read failed");
      done += count;
    }
    benchmark::DoNotOptimize(words.data());
  }
  SetBigBytes(state);
}
#endif

BENCHMARK(WriteWordS)->UseRealTime();
BENCHMARK(TcpRawPingPong)->UseRealTime();
BENCHMARK(ReadWordS)->UseRealTime();
BENCHMARK(TcpRawReadPingPong)->UseRealTime();
BENCHMARK(ReadS1M)->UseRealTime();
BENCHMARK(TcpRawStream)->UseRealTime();
BENCHMARK(WriteWordN)->UseRealTime();
BENCHMARK(PipeRawPingPong)->UseRealTime();
BENCHMARK(ReadWordN)->UseRealTime();
BENCHMARK(PipeRawReadPingPong)->UseRealTime();
BENCHMARK(ReadN1M)->UseRealTime();
BENCHMARK(PipeRawStream)->UseRealTime();
// A TCP open takes its second whatever happens: one a repetition will do.
BENCHMARK(OpenN)->UseRealTime()->Iterations(5);
BENCHMARK(OpenS)->UseRealTime()->Iterations(1);
#if QNAPI_BENCH_MODBUS
BENCHMARK(ModbusWriteRegister)->UseRealTime();
BENCHMARK(ModbusRead1M)->UseRealTime();
#endif

}  // namespace

int main(int argc, char** argv) {
  // Area 1 holds the 1,048,576 words of the big reads; the host pipe and the
  // TCP port serve the two kinds of remote connection.
  bench::Server server({"--cw", "1048576", "--host", kHost, "--tcp", "127.0.0.1:0"});
  g_server = &server;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (g_tcp != 0) QNA_CloseS(g_tcp);
  if (g_pipe != 0) QNA_CloseN(g_pipe);
  return 0;
}
