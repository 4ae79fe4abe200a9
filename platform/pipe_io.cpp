// pipe_io.cpp - the pipe reads and writes of the platform, written once over
// the Win32 calls that each backend provides.
#include "platform/platform.h"

int PipeReadRaw(Handle link, void* buffer, std::uint32_t count, std::uint32_t* read) {
  return win::ReadFile(link, buffer, count, read, nullptr) ? 0 : -1;
}

int PipeWriteRaw(Handle link, const void* buffer, std::uint32_t count, std::uint32_t* written) {
  return win::WriteFile(link, buffer, count, written, nullptr) ? 0 : -1;
}
