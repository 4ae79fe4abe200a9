// w95pipe.h - the pipe emulation for the Windows 95 family: a two-way byte
// stream between processes built from named shared memory, mutexes and events.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// One read or write on an emulated pipe.  Both return a Win32 error number
// where 0 and 1 mean success.  A read that finds the writer closed succeeds
// with 0 bytes; a write never waits for room and may move fewer bytes.
std::uint32_t W95NpipeRead(Handle pipe, void* buffer, std::uint32_t size, std::uint32_t* read);
std::uint32_t W95NpipeWrite(Handle pipe, const void* bytes, std::uint32_t size,
                            std::uint32_t* written);

// Opens the client end of the emulated pipe `name` ("\pipe\qoxsmem"): 0 and a
// handle that PipeRead and PipeWrite accept, or a Win32 error number.
std::uint32_t W95NpipeOpen(const char* name, Handle* handle);
// Closes an emulated pipe handle: 0 or a Win32 error number.
std::uint32_t W95NpipeClose(Handle handle);
