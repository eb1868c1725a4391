// The test double's two files beside its own DLL: the script a test writes before running the
// console (quennet_script.txt) and the record the double keeps of what it was given and what it
// saw (quennet_record.txt). Both are UTF-8.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace quennet_double {

// Set once from DllMain, before anything else of the double runs.
void SetOwnModule(HMODULE module);

// The full path of the file NAME in the DLL's folder.
std::wstring BesideModule(const wchar_t* name);

// The script's lines, without line ends; empty when there is no script.
std::vector<std::string> ReadScriptLines();

// Appends one record line made of tab-separated fields. Each field is escaped (backslash,
// tab, CR and LF as \\, \t, \r, \n) so that any text survives; the file is written through at
// once, so a hung or crashed console still leaves its record.
void Record(const std::vector<std::string>& fields);

std::string ToUtf8(const wchar_t* text);  // "(null)" for null
std::wstring FromUtf8(const std::string& text);

}  // namespace quennet_double
