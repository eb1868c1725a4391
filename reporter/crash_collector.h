// Gathers a crash from the waiting process: block, modules, stack and minidump. Everything
// here needs the crashed process alive; the hand-off event is set only after it returns.
#pragma once

#include <string>

#include "report/crash_report.h"
#include "protocol/hand_off_line.h"

namespace orlent {

// `handOff` has been checked: its process handle belongs to its process id. The dump is
// written into `folder`.
CrashReport CollectCrash(const vessick::HandOff& handOff, const std::wstring& folder,
                         const SYSTEMTIME& nowUtc);

}  // namespace orlent
