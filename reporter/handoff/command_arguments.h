// orlent's own switches (/upload, /grant, /decline, /symbolize), which a person or a script
// gives: split as Windows programs split their command lines. The hand-off line Vessick.dll
// writes is parsed apart, without shell32, which a crashed host must not wait for.
#pragma once

#include <string>
#include <vector>

namespace orlent {

// The command line's arguments, the program's name first; empty when it cannot be split.
std::vector<std::wstring> CommandArguments(const wchar_t* commandLine);

// Whether `argument` is the switch `name`, in any case.
bool IsSwitch(const std::wstring& argument, const wchar_t* name);

}  // namespace orlent
