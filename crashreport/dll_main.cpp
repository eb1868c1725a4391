#include <windows.h>

#include "unload.h"

// Loading installs nothing: crash reporting starts with the host's first InitOrlent. A null
// lpReserved on detach means FreeLibrary, not process exit.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved == nullptr) vessick::UninstallForUnload();
  return TRUE;
}
