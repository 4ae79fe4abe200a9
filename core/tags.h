// tags.h - the internal steps of tag access (core/tags.cpp): resolving a tag
// name to an area, an offset and a size through the project's tag file.
#pragma once

#include <cstddef>
#include <cstdint>

// Layout of the tag file (little-endian), as other programs of the runtime
// write it: a 28-byte header, the tag index and a second table of n u16
// each, and 76-byte records.
inline constexpr std::size_t kTagHeaderSize = 28;
inline constexpr std::size_t kTagRecordSize = 76;
inline constexpr std::size_t kTagNameChars = 14;       // compared characters of a name
inline constexpr std::size_t kTagAddressOffset = 52;
inline constexpr std::size_t kTagAddressSize = 20;
inline constexpr std::size_t kTagClassOffset = 48;     // u32, bits 0 to 3
inline constexpr std::size_t kTagAttributeOffset = 72; // u16

// Resolves a tag name (upper-cased in place): 0, 202, 203 or 204 with the
// detail code in QNA_InternalErr.  Area: 0 CB, 1 CW, 2 SB, 3 SW; size in
// words (1, or 2 for a double word).
std::uint32_t TagResolve(char* name, std::uint32_t* offset, std::uint16_t* size,
                         std::uint16_t* area);
// 0, or -k when the name is the system tag name of keyword k (1 to 7).
int TagSystemName(const char* name);

// The two steps below work on the loaded tag state and are called with the
// tag lock held (TagResolve takes it); tests call them single-threaded.
// Upper-cases the name in place and searches the index: the record number
// (> 0) when found, else 0 or minus the position where the search ended.
int TagFind(char* name);
// Reads record k into the record buffer and returns it; k <= 0 (and a
// record the file does not hold whole) gives the "<UNDEFINED>" record.
const std::uint8_t* TagReadRecord(std::int16_t k);
