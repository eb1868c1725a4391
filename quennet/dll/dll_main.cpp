#include <windows.h>

// Loading starts nothing; threads exist only while a task or request object runs, and each
// object's Release joins them.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) ::DisableThreadLibraryCalls(instance);
  return TRUE;
}
