// w95pipe.cpp - the pipe emulation for the Windows 95 family.
#include "w95pipe/w95pipe.h"

// The emulation arrives later; until then no emulated pipe is ever open.
std::uint32_t W95NpipeRead(Handle, void*, std::uint32_t, std::uint32_t* read) {
  if (read != nullptr) *read = 0;
  return win::ERROR_INVALID_HANDLE;
}

std::uint32_t W95NpipeWrite(Handle, const void*, std::uint32_t, std::uint32_t* written) {
  if (written != nullptr) *written = 0;
  return win::ERROR_INVALID_HANDLE;
}
