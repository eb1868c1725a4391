/*
 * A minimal host application: it starts crash reporting the way a real program would, early in
 * main, and tells what it did. With --crash it then fails with an access violation, so that the
 * whole path (Vessick, orlent.exe, the report) can be seen working.
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "vessick.h"

int main(int argc, char** argv) {
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

  if (argc > 1 && strcmp(argv[1], "--crash") == 0) {
    printf("--crash: writing through a null pointer now\n");
    fflush(stdout); /* the reporter writes to the same output next */
    *(volatile int*)0 = 1;
  }
  return 0;
}
