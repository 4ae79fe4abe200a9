// dllmain.cpp - what qnapi.dll does when a process loads it: nothing but
// turning off the thread notifications, which it has no use for.  It opens
// nothing at load and closes nothing at unload; all state starts from its
// initial values, and an application that does not call QNA_Close leaves the
// server to notice the broken link.
#include "platform/win32/win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
  return TRUE;
}
