// orlent.exe: the crash reporter that Vessick.dll starts when its host crashes. It shows no
// window and reads no input; see reporter.h.
#include <windows.h>

#include <new>

#include "handoff/console_output.h"
#include "exit_codes.h"
#include "reporter.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  // No system dialog may stop the reporter, whatever it meets.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  try {
    return orlent::RunReporter(::GetCommandLineW());
  } catch (const std::bad_alloc&) {
    orlent::PrintError(L"out of memory");
  } catch (...) {
    orlent::PrintError(L"internal error");
  }
  return orlent::kInternalError;
}
