// The reporter's few lines of output. orlent is a GUI-subsystem program (it must never open a
// console window for a windowed host), so its standard handles may be missing: then the
// parent's console, if it has one, is used.
#pragma once

#include <string>

namespace orlent {

void PrintLine(const std::wstring& line);  // standard output
void PrintError(const std::wstring& line);  // standard error, "orlent: " in front

}  // namespace orlent
