// The reporter started before the fault: at InitOrlent, orlent.exe is started once per process
// with /standby: (protocol/standby_line.h) and waits. At the fault the crash path only fills in
// the mailbox, sets an event and waits; no heap, no lock, no process creation. Whatever goes
// wrong with the standby (never started, ended, an orlent.exe that does not know /standby:,
// one that does not answer) sends the crash path back to starting a reporter itself.
#pragma once

#include <windows.h>

#include "protocol/bug_info_block.h"

namespace vessick {

// Starts the standby from `reporterPath` unless one was started already (or `reporterPath` is
// empty). Does not wait for it: InitOrlent costs the host only the process creation. It hands
// the standby only its own handles (none of the host's, its standard handles included), so
// that no pipe of the host's is held open by it.
void StartStandbyOnce(const wchar_t* reporterPath) noexcept;

// The crash path: hands `block` to the standby and waits for its report. True when the
// standby took the fault (its report is done, or the report time limit has passed); false when
// there is no standby able to take it, and the caller must start a reporter itself. Takes no
// heap and no lock.
bool ReportThroughStandby(const BugInfoBlock* block) noexcept;

// Unloading: asks the standby to end without a report and waits a little for it.
void EndStandby() noexcept;

// Whether InitOrlent starts a standby; for the library's own tests and benchmarks, which
// measure the other path too. A host using Vessick.dll cannot reach it.
extern volatile bool standbyAllowed;

// The standby's process, or null; for the library's own tests.
HANDLE StandbyProcess() noexcept;

}  // namespace vessick
