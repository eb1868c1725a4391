// Finding orlent.exe. Done at InitOrlent, where memory is still there to do it: searching needs
// the process heap, which the crash path cannot count on.
#pragma once

#include "library_state.h"

namespace vessick {

// The full path of orlent.exe in `directory` (empty: the system's standard search order), or
// empty text when it is not there. Takes no heap of its own.
void FindReporter(const wchar_t* directory, wchar_t (&path)[kReporterPathCapacity]) noexcept;

}  // namespace vessick
