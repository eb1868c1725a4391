// The library's process-wide state: the current bug-info block and the reporter's folder.
#pragma once

#include <string>

#include "protocol/bug_info_block.h"

namespace vessick {

// Null until the first successful initialisation. Read by the crash path without a lock: a
// block is published only once it is completely filled.
BugInfoBlock* CurrentBlock() noexcept;
void PublishBlock(BugInfoBlock* block) noexcept;

// Where orlent.exe is looked for; empty means the system's standard search order.
const std::wstring& ReporterDir() noexcept;
void SetReporterDir(const wchar_t* directory);

}  // namespace vessick
