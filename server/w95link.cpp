// w95link.cpp - the server's links over the pipe emulation (w95link.h).
//
// Lock rules: a listener's State::lock guards `pending` and `stopping`; it
// is never held across a connect.  Wake cuts the pending instance, which
// makes its connect return, so the accepting thread sees a stop at once.
#include "server/w95link.h"

#include <mutex>

#include "server/errors.h"
#include "server/transports.h"
#include "w95pipe/w95pipe.h"

namespace quonix {

struct W95Listener::State {
  std::string path;  // "\pipe\NAME"
  std::uint32_t instances = 1;
  std::mutex lock;
  // The next instance: made (and, by the make, offered) ahead of its accept,
  // so that the pipe always has an instance and never goes away between
  // two offers when the last served client closes.
  Handle pending = kInvalidHandle;
  enum class Stage { None, Made, Offered } stage = Stage::None;
  bool stopping = false;
};

namespace {

constexpr std::uint32_t kFullPauseMs = 1;

// "\\.\pipe\NAME" as the emulation takes it: without the local-machine part.
std::string EmulatedPath(const std::string& pipe_name) {
  return pipe_name.starts_with("\\\\.") ? pipe_name.substr(3) : pipe_name;
}

}  // namespace

static_assert(Transport<W95Link>);

bool W95Link::Read(std::uint8_t* at, std::uint32_t count, std::uint32_t& got) const {
  got = 0;
  // 0 bytes with 0: the client closed its end.
  return W95NpipeReadSome(pipe, at, count, &got) == 0 && got > 0 && got <= count;
}

bool W95Link::Write(const std::uint8_t* at, std::uint32_t count, std::uint32_t& put) const {
  put = 0;
  // A write takes what fits; while the client has not yet read the buffer
  // empty, nothing fits and the write is tried again.
  for (;;) {
    if (W95NpipeWrite(pipe, at, count, &put) != 0) return false;
    if (put > 0) return put <= count;
    SysSleep(kFullPauseMs);
  }
}

void W95Link::Wake() const { W95NpipeCut(pipe); }
void W95Link::Close() const { W95NpipeClose(pipe); }

namespace {

std::uint32_t CreateInstance(const W95Listener::State& state, Handle* pipe) {
  const auto mode = static_cast<std::uint16_t>(state.instances & 0xFFu);
  return W95NpipeCreate(state.path.c_str(), pipe, 0, mode, kW95ServerToClient,
                        kW95ClientToServer, kW95CloseMs);
}

}  // namespace

bool W95ListenerMake(const std::string& pipe_name, std::uint32_t instances,
                     W95Listener& listener, std::string& error) {
  listener.state = std::make_shared<W95Listener::State>();
  W95Listener::State& state = *listener.state;
  state.path = EmulatedPath(pipe_name);
  state.instances = instances;
  Handle pipe = 0;
  std::uint32_t result = CreateInstance(state, &pipe);
  if (result == 0) {
    result = W95NpipeOffer(pipe);
    if (result != 0) W95NpipeClose(pipe);
  }
  if (result != 0) {
    error = "cannot create the emulated pipe " + state.path + ": " +
            ErrorText(result == kW95WaitFailed ? win::GetLastError() : result);
    return false;
  }
  state.pending = pipe;
  state.stage = W95Listener::State::Stage::Offered;
  return true;
}

bool W95Listener::Accept(std::uint32_t timeout_ms, W95Link& link) const {
  using Stage = State::Stage;
  Handle pipe = 0;
  bool offered = false;
  bool made = true;
  {
    std::lock_guard guard(state->lock);
    if (state->stopping) {
      win::SetLastError(win::WAIT_TIMEOUT);
      return false;
    }
    if (state->stage == Stage::None) {
      made = CreateInstance(*state, &state->pending) == 0;
      if (made) state->stage = Stage::Made;
      else state->pending = kInvalidHandle;
    }
    pipe = state->pending;
    offered = state->stage == Stage::Offered;
  }
  if (!made) {
    // Every instance is taken, or a closed one's objects are still held by
    // its client: try again after a pause.
    SysSleep(timeout_ms);
    win::SetLastError(win::WAIT_TIMEOUT);
    return false;
  }
  const std::uint32_t connected = offered ? W95NpipeAwait(pipe) : W95NpipeConnect(pipe);
  bool stopping = false;
  {
    std::lock_guard guard(state->lock);
    state->pending = kInvalidHandle;
    state->stage = Stage::None;
    stopping = state->stopping;
    // The next instance comes before this one can be served and closed.
    if (connected == 0 && !stopping && CreateInstance(*state, &state->pending) == 0)
      state->stage = Stage::Made;
    else
      state->pending = kInvalidHandle;
  }
  if (connected != 0 || stopping) {
    W95NpipeClose(pipe);
    win::SetLastError(connected != 0 && !stopping ? connected : win::WAIT_TIMEOUT);
    return false;
  }
  link.pipe = pipe;
  return true;
}

void W95Listener::Wake() const {
  std::lock_guard guard(state->lock);
  state->stopping = true;
  if (state->pending != kInvalidHandle) W95NpipeCut(state->pending);
}

void W95Listener::Close() const {
  Wake();
  // An instance made ahead and never taken is this listener's.
  std::lock_guard guard(state->lock);
  if (state->stage != State::Stage::None) W95NpipeClose(state->pending);
  state->stage = State::Stage::None;
  state->pending = kInvalidHandle;
}

Handle W95QueuePipeCreate(const std::string& pipe_name) {
  Handle pipe = kInvalidHandle;
  // Events go one way: the client writes nothing, yet it gets a small
  // buffer of its own so that its close shows as a closed mark.
  const std::uint32_t made = W95NpipeCreate(EmulatedPath(pipe_name).c_str(), &pipe, 0, 1,
                                            kW95ServerToClient, 16, kW95CloseMs);
  if (made != 0) {
    win::SetLastError(made);
    return kInvalidHandle;
  }
  return pipe;
}

bool W95QueueAccept(Handle pipe) { return W95NpipeConnect(pipe) == 0; }

}  // namespace quonix
