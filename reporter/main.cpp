// orlent.exe: the crash reporter that Vessick.dll starts when its host crashes, or at the host's
// InitOrlent as a standby that waits for the fault. It shows no window and reads no input; see
// reporter.h and handoff/standby.h.
#include <windows.h>

#include <new>

#include "handoff/console_output.h"
#include "handoff/standby.h"
#include "exit_codes.h"
#include "protocol/standby_line.h"
#include "reporter.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // No system dialog may stop the reporter, whatever it meets.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  try {
    const wchar_t* commandLine = ::GetCommandLineW();
    if (vessick::IsStandbyCommandLine(commandLine))
      return orlent::RunStandby(commandLine, &orlent::RunReporter);
    return orlent::RunReporter(commandLine);
  } catch (const std::bad_alloc&) {
    orlent::PrintError(L"out of memory");
  } catch (...) {
    orlent::PrintError(L"internal error");
  }
  return orlent::kInternalError;
}
