// Small formatting helpers shared by the text and the JSON report.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "report/crash_report.h"
#include "text/hex.h"

namespace orlent {

std::wstring LocationText(const ModuleList& modules, uint32_t address);  // "host.exe+0x156A"
std::wstring FunctionText(const CrashReport& report, uint32_t address);  // "main+0x1A" or empty
std::wstring SourceText(const CrashReport& report, uint32_t address);   // "game.c:17" or empty
// The functions inlined at the address, innermost first: "Clamp at math.h:12" each.
std::vector<std::wstring> InlinedText(const CrashReport& report, uint32_t address);
std::wstring ModuleIdentityText(const ModuleIdentity& identity);  // stamp, size, CodeView
std::wstring SystemText(const SystemFacts& facts);                  // "Windows 10.0 build ..."
std::wstring ByteCountText(uint64_t bytes);                         // "1234 MiB"
std::wstring TimeText(const SYSTEMTIME& utc);            // "2024-01-31T10:15:30.123Z"
std::wstring VersionNumbersText(const vessick::BugInfoBlock& header);  // "1.0.42"
const wchar_t* DumpExceptionText(DumpException source);
const wchar_t* DumpStatusText(DumpStatus status);

// Text from the block as the report shows it: bounded in length, with a note when it was not
// terminated or could not be found.
std::wstring ShownText(const BlockText& text);

}  // namespace orlent
