// The least a reporter can do: set the host's event and end. The crash-to-exit benchmark sets
// orlent.exe against it; it writes no report. Started at the fault (/buginfo:) it sets the
// event at once; started as a standby (/standby:) it says it is ready, waits for the fault
// and then sets the event. With ORLENT_PHASE_TIMES it prints, after the host is released, its
// own start-up as orlent.exe does: what any process costs under Wine before its code runs, the
// floor under orlent's "startup" phase.
#include <windows.h>

#include <cstdio>

#include "protocol/hand_off_line.h"
#include "protocol/standby_line.h"
#include "win/process_age.h"

namespace {

int Standby(const wchar_t* commandLine) {
  std::wstring error;
  const auto standby = vessick::ParseStandbyCommandLine(commandLine, &error);
  if (!standby || !::SetEvent(standby->ready)) return 1;
  const HANDLE waitFor[] = {standby->crash, standby->quit, standby->process};
  if (::WaitForMultipleObjects(3, waitFor, FALSE, INFINITE) != WAIT_OBJECT_0) return 0;
  return ::SetEvent(standby->done) ? 0 : 2;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const double startup = win::MsSinceProcessCreated();
  if (vessick::IsStandbyCommandLine(::GetCommandLineW())) return Standby(::GetCommandLineW());
  std::wstring error;
  const auto handOff = vessick::ParseHandOffCommandLine(::GetCommandLineW(), &error);
  if (!handOff) return 1;
  if (!::SetEvent(handOff->event)) return 2;
  if (::GetEnvironmentVariableW(L"ORLENT_PHASE_TIMES", nullptr, 0) != 0) {
    char line[64];
    const int length = std::snprintf(line, sizeof line, "orlent: phases startup=%.2f (ms)\n",
                                     startup);
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), line, length, &written, nullptr);
  }
  return 0;
}
