// info.h - the information block reads on the local link.
#pragma once

#include <cstdint>

#include "qnapi.h"

// One read exchange of block `area` (1000 or 1001) on the local link,
// without the request lock: the bit-form data read of one range, start 0,
// `count` bytes.  Never more than `count` bytes land in buffer; a longer
// payload is read and dropped.
//   1001 no memory for the request (100)
//   1002 write failed    1003 written short
//   1004 length failed   1005 length short   1006 length below 8
//   1007 head failed     1008 head short
//   1009 block failed    1010 block short
std::uint32_t InfoBlockRead(std::uint32_t area, std::uint32_t count, void* buffer);
