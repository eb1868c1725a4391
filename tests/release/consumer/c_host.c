/* Starts crash reporting with the reporter beside the executable, then dereferences null. */
#include <windows.h>

#include "vessick.h"

static volatile int* volatile level = 0;

int main(void) {
  char folder[MAX_PATH];
  char* slash;
  GetModuleFileNameA(NULL, folder, MAX_PATH);
  slash = strrchr(folder, '\\');
  if (slash != NULL) *slash = '\0';
  InitOrlent("ReleaseCHost", "1.0", "test", "", 1, 0, 0, folder);
  *level = 1;
  return 0;
}
