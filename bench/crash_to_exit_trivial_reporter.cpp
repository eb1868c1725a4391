// The least a reporter can do: set the host's event and end. The crash-to-exit benchmark sets
// orlent.exe against it; it writes no report.
#include <windows.h>

#include "protocol/hand_off_line.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::wstring error;
  const auto handOff = vessick::ParseHandOffCommandLine(::GetCommandLineW(), &error);
  if (!handOff) return 1;
  return ::SetEvent(handOff->event) ? 0 : 2;
}
