// w95pipe_open.cpp - opening and closing the client end of an emulated pipe.
#include "w95pipe/w95pipe.h"

// The emulation arrives later; until then no emulated pipe exists, and no
// handle can be one.
std::uint32_t W95NpipeOpen(const char*, Handle*) { return win::ERROR_FILE_NOT_FOUND; }

std::uint32_t W95NpipeClose(Handle) { return win::ERROR_INVALID_HANDLE; }
