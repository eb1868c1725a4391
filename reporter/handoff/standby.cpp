#include "handoff/standby.h"

#include <windows.h>

#include <string>

#include "exit_codes.h"
#include "handoff/console_output.h"
#include "handoff/hand_off_event.h"
#include "measure/phase_times.h"
#include "protocol/hand_off_line.h"
#include "protocol/standby_line.h"
#include "win/error_text.h"
#include "win/unique_handle.h"

namespace orlent {
namespace {

bool IsEvent(HANDLE handle) {
  // Waiting with a zero time-out succeeds only on a waitable object; the kinds are not told
  // apart further: the host made these, and a wrong one only means no report.
  return IsOpenHandle(handle) && ::WaitForSingleObject(handle, 0) != WAIT_FAILED;
}

bool ReadMailbox(HANDLE process, uint32_t address, vessick::StandbyMailbox* mailbox) {
  SIZE_T read = 0;
  return ::ReadProcessMemory(process, reinterpret_cast<const void*>(static_cast<uintptr_t>(address)),
                             mailbox, sizeof *mailbox, &read) &&
         read == sizeof *mailbox;
}

// The standby was started without standard handles (it must not keep the host's pipes open);
// at the fault it takes the host's, so that its lines reach whoever reads the host's output.
void TakeStandardHandles(HANDLE process, const vessick::StandbyMailbox& mailbox) {
  const struct {
    DWORD which;
    uint32_t value;
  } standard[] = {{STD_INPUT_HANDLE, mailbox.stdInput},
                  {STD_OUTPUT_HANDLE, mailbox.stdOutput},
                  {STD_ERROR_HANDLE, mailbox.stdError}};
  for (const auto& [which, value] : standard) {
    HANDLE theirs = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(value));
    HANDLE ours = nullptr;
    if (theirs == nullptr || theirs == INVALID_HANDLE_VALUE ||
        !::DuplicateHandle(process, theirs, ::GetCurrentProcess(), &ours, 0, FALSE,
                           DUPLICATE_SAME_ACCESS))
      continue;
    // Held until the reporter ends, as inherited standard handles are.
    ::SetStdHandle(which, ours);
  }
}

}  // namespace

int RunStandby(const wchar_t* commandLine, int (*report)(const wchar_t* handOffLine)) {
  std::wstring error;
  const std::optional<vessick::StandbyArguments> arguments =
      vessick::ParseStandbyCommandLine(commandLine, &error);
  if (!arguments) {
    PrintError(L"malformed command line: " + error);
    return kUsage;
  }
  // Owned from here: every way out closes what was inherited. The done event and the process
  // handle go on to the report, which owns them in its turn.
  win::UniqueKernelHandle crash(arguments->crash), quit(arguments->quit),
      ready(arguments->ready), done(arguments->done), process(arguments->process);
  if (!IsEvent(crash.get()) || !IsEvent(quit.get()) || !IsEvent(ready.get()) ||
      !IsEvent(done.get()) || ::GetProcessId(process.get()) != arguments->processId) {
    PrintError(L"the standby's handles do not fit together; nothing was done");
    return kBadHandOff;
  }
  if (!::SetEvent(ready.get())) {
    PrintError(win::CallFailed(L"SetEvent"));
    return kBadHandOff;
  }

  const HANDLE waitFor[] = {crash.get(), quit.get(), process.get()};
  const DWORD woken = ::WaitForMultipleObjects(3, waitFor, FALSE, INFINITE);
  if (woken != WAIT_OBJECT_0) return kReportComplete;  // no fault: nothing to report

  // The first phase is the standby's whole wait; "startup" then measures only the wake-up.
  EndPhase(L"standby");
  vessick::StandbyMailbox mailbox = {};
  if (!ReadMailbox(process.get(), arguments->mailboxAddress, &mailbox)) {
    // Ending without setting DONE sends the host to a reporter of its own.
    PrintError(L"cannot read the crashed process's mailbox: " +
               win::CallFailed(L"ReadProcessMemory"));
    return kBadHandOff;
  }
  TakeStandardHandles(process.get(), mailbox);
  // The address came from the host's memory, not from a command line: zero means the host
  // signalled without a block, which the report's own checks turn down as they would a line's.
  wchar_t line[vessick::kHandOffLineCapacity];
  vessick::FormatHandOffLine(line, done.release(), process.release(),
                             reinterpret_cast<const void*>(
                                 static_cast<uintptr_t>(mailbox.blockAddress)),
                             arguments->processId);
  return report(line);
}

}  // namespace orlent
