// `orlent /symbolize REPORT_FOLDER [STORE]`: names the frames of a report that was written
// where the modules' debug information was not (a player's machine running a stripped
// build), from debug files found now: in STORE when given, else through orlent.ini's
// symbol_path. report.json and report.txt are rewritten in place, each atomically; the dump
// is not touched.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace orlent::symbolize {

struct SymbolizeResult {
  int renamed = 0;                  // frames (and the exception's address) named anew
  std::vector<std::wstring> notes;  // modules whose debug file was not found, and why
};

// False with `error` when the report cannot be read or rewritten.
bool SymbolizeReport(const std::wstring& folder, const std::optional<std::wstring>& store,
                     SymbolizeResult* result, std::wstring* error);

// The /symbolize switch of the command line; nothing when the line is not that switch.
std::optional<int> RunSymbolizeSwitch(const wchar_t* commandLine);

}  // namespace orlent::symbolize
