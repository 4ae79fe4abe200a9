// window_table.h - what the window table and the message queues of the POSIX
// backend tell each other (windows.cpp, services.cpp).
#pragma once

#include "platform/platform.h"

namespace posix {

// True when the window exists and belongs to this process.
bool WindowIsOwn(win::HWND window);
// Called by WindowClose after the window left the table: drops the window's
// pending messages and wakes anyone waiting for one.
void MsgWindowClosed(win::HWND window);

}  // namespace posix
