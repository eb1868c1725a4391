#include <windows.h>

// Loading installs nothing: crash reporting starts with the host's first InitOrlent.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }
