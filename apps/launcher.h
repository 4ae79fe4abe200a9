// launcher.h - the window search that the server launcher shares with tests.
#pragma once

#include "platform/platform.h"

// The first top-level window below the topmost one (in Z order) whose title
// begins with `prefix` (case-sensitive), or 0.
win::HWND FindWindowByTitlePrefix(const char* prefix);
