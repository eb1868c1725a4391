/*
 * A minimal host application: it starts crash reporting the way a real program would, early in
 * main, and tells what it did.
 */
#include <stdio.h>
#include <windows.h>

#include "vessick.h"

int main(void) {
  wchar_t exePath[MAX_PATH];
  char reporterDir[MAX_PATH * 3];
  wchar_t* lastSlash;

  /* The reporter ships next to the host. */
  GetModuleFileNameW(NULL, exePath, MAX_PATH);
  lastSlash = wcsrchr(exePath, L'\\');
  if (lastSlash != NULL) *lastSlash = L'\0';
  WideCharToMultiByte(CP_UTF8, 0, exePath, -1, reporterDir, sizeof reporterDir, NULL, NULL);

  InitOrlent("ExampleHost", "1.0.0", "demo", "示例宿主", 1, 0, 42, reporterDir);
  printf("InitOrlent: crash reporting is on; reporter folder %s\n", reporterDir);

  SetOrlentUin(10482265);
  printf("SetOrlentUin: user number 10482265 recorded for reports\n");
  printf("error mode is now %u (no system fault dialog)\n", GetErrorMode());
  return 0;
}
