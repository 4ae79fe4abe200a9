// pipe_dispatch.cpp - single reads and writes on the server link, sent to the
// real pipe or, on the Windows 95 family, to the pipe emulation; and
// NpipeRead, which reads a whole record from the link.
#include "platform/platform.h"
#include "w95pipe/w95pipe.h"

std::uint32_t g_emulation = 0;

namespace {

// The emulation answers with a Win32 error number in which 0 and 1 both mean
// success.
bool EmulationSucceeded(std::uint32_t result) { return result == 0 || result == 1; }

}  // namespace

int PipeRead(Handle link, void* buffer, std::uint32_t count, std::uint32_t* read) {
  if (g_emulation != 0) {
    const std::uint32_t result = W95NpipeRead(link, buffer, count, read);
    if (EmulationSucceeded(result)) return 0;
    win::SetLastError(result);
    return -1;
  }
  return PipeReadRaw(link, buffer, count, read);
}

int PipeWrite(Handle link, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  if (g_emulation != 0) {
    const std::uint32_t result = W95NpipeWrite(link, buffer, count, written);
    if (EmulationSucceeded(result)) return 0;
    win::SetLastError(result);
    return -1;
  }
  return PipeWriteRaw(link, buffer, count, written);
}

extern "C" QNA_EXPORT int32_t QNA_API NpipeRead(void* link, void* buffer, uint32_t count,
                                                uint32_t* read) {
  if (read == nullptr || (buffer == nullptr && count != 0)) {
    win::SetLastError(win::ERROR_INVALID_PARAMETER);
    return -1;
  }
  *read = 0;
  auto* bytes = static_cast<unsigned char*>(buffer);
  while (*read < count) {
    std::uint32_t got = 0;
    if (PipeRead(reinterpret_cast<Handle>(link), bytes + *read, count - *read, &got) != 0)
      return -1;  // the bytes read so far stay counted
    if (got == 0) {
      // The emulation reports a closed writer as a read of 0 bytes that
      // succeeded; taken as it comes, that would loop here for ever.
      win::SetLastError(win::ERROR_BROKEN_PIPE);
      return -1;
    }
    *read += got;
  }
  return 0;
}
