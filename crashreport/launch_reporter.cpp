#include "launch_reporter.h"

#include <cstring>

#include "protocol/bug_info_block.h"
#include "protocol/crash_exit_code.h"
#include "protocol/hand_off_line.h"
#include "capture_context.h"
#include "crash_path_limits.h"
#include "emergency_reserve.h"
#include "library_state.h"
#include "report_guard.h"
#include "standby_reporter.h"
#include "thread_environment.h"
#include "win/unique_handle.h"

namespace vessick {

LaunchHook pfnBeforeLaunch = nullptr;
LaunchHook pfnAfterWait = nullptr;

namespace {

void RecordFault(BugInfoBlock* block, EXCEPTION_POINTERS* pointers, DWORD reportArgument) {
  block->crashThreadTeb = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(CurrentThreadTib()));
  block->exceptionPointers = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointers));
  if (pointers != nullptr && pointers->ExceptionRecord != nullptr)
    std::memcpy(&block->exceptionRecord, pointers->ExceptionRecord, sizeof(EXCEPTION_RECORD));
  if (pointers != nullptr && pointers->ContextRecord != nullptr)
    std::memcpy(&block->context, pointers->ContextRecord, sizeof(CONTEXT));
  block->reportArgument = reportArgument;
  block->crashThreadId = ::GetCurrentThreadId();
}

// Whichever way the report goes (standby or a reporter started here, or both when the standby
// fails), the hook runs once.
void CallBeforeLaunchOnce() {
  static bool called = false;  // only the reporting thread gets here
  if (called) return;
  called = true;
  if (pfnBeforeLaunch != nullptr) pfnBeforeLaunch();
}

// Starts the reporter and waits for it. Returns once the reporter has set the event or ended;
// returns at once when it cannot be started. Every handle opened here is closed on return.
void RunReporter(BugInfoBlock* block, const Configuration& configuration) {
  // The host may have used up its memory; starting a process needs some.
  ReleaseEmergencyAddressSpace();

  wchar_t reporterPath[MAX_PATH];
  wchar_t commandLine[kHandOffLineCapacity];
  std::memset(reporterPath, 0, sizeof reporterPath);
  std::memset(commandLine, 0, sizeof commandLine);

  SECURITY_ATTRIBUTES inheritable = {sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  win::UniqueKernelHandle doneEvent(::CreateEventW(&inheritable, TRUE, FALSE, nullptr));

  STARTUPINFOW startup;
  std::memset(&startup, 0, sizeof startup);
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started;
  std::memset(&started, 0, sizeof started);
  HANDLE self = ::GetCurrentProcess();
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;

  static_assert(sizeof reporterPath == sizeof configuration.reporterPath);
  std::memcpy(reporterPath, configuration.reporterPath, sizeof reporterPath);
  // Not there at InitOrlent: perhaps installed since. Searching needs the heap, which is why it
  // is done here only as a last resort.
  if (reporterPath[0] == L'\0' && configuration.searchAgainAtCrash)
    ::SearchPathW(configuration.reporterDir[0] != L'\0' ? configuration.reporterDir : nullptr,
                  kReporterFileName, nullptr, MAX_PATH, reporterPath, nullptr);
  reporterPath[MAX_PATH - 1] = L'\0';

  // Stays open until the process ends: the reporter holds its own copy.
  HANDLE inheritableSelf = nullptr;
  const bool duplicated = ::DuplicateHandle(self, self, self, &inheritableSelf, 0, TRUE,
                                            DUPLICATE_SAME_ACCESS) != FALSE;

  CallBeforeLaunchOnce();

  if (!duplicated || !doneEvent || reporterPath[0] == L'\0') return;
  FormatHandOffLine(commandLine, doneEvent.get(), inheritableSelf, block, ::GetCurrentProcessId());
  if (!::CreateProcessW(reporterPath, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &startup, &started))
    return;
  win::UniqueKernelHandle reporterProcess(started.hProcess);
  win::UniqueKernelHandle reporterThread(started.hThread);
  reporterThread.reset();
  // A reporter that dies without setting the event, or never finishes, must not leave the host
  // hanging.
  const HANDLE waitFor[] = {doneEvent.get(), reporterProcess.get()};
  ::WaitForMultipleObjects(2, waitFor, FALSE, reportTimeLimitMs);
}

}  // namespace

int __cdecl LaunchReporter(EXCEPTION_POINTERS* pointers, DWORD reportArgument) {
  if (!ClaimReport() && !TakeHandedClaim()) return LateEntry();

  const Configuration* configuration = CurrentConfiguration();
  if (configuration != nullptr && configuration->block != nullptr) {
    RecordFault(configuration->block, pointers, reportArgument);
    CallBeforeLaunchOnce();
    if (!ReportThroughStandby(configuration->block))
      RunReporter(configuration->block, *configuration);
  }
  if (pfnAfterWait != nullptr) pfnAfterWait();
  ::TerminateProcess(::GetCurrentProcess(), kCrashExitCode);
  return 0;
}

}  // namespace vessick
