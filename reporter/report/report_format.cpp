#include "report/report_format.h"

#include "process/module_identity.h"
#include "text/hex.h"

#include <cwchar>

namespace orlent {
namespace {

constexpr size_t kMaxShownText = 4096;

}  // namespace

std::wstring LocationText(const ModuleList& modules, uint32_t address) {
  const CodeLocation location = modules.Locate(address);
  if (location.module == nullptr) return text::Hex32W(address);
  wchar_t offset[16];
  std::swprintf(offset, 16, L"+0x%X", location.offset);
  return location.module->name + offset;
}

std::wstring FunctionText(const CrashReport& report, uint32_t address) {
  auto found = report.functions.find(address);
  return found == report.functions.end() ? std::wstring() : found->second;
}

std::wstring SourceText(const CrashReport& report, uint32_t address) {
  auto found = report.sources.find(address);
  if (found == report.sources.end() || found->second.file.empty()) return {};
  return found->second.file + L":" + std::to_wstring(found->second.line);
}

std::vector<std::wstring> InlinedText(const CrashReport& report, uint32_t address) {
  std::vector<std::wstring> lines;
  auto found = report.sources.find(address);
  if (found == report.sources.end()) return lines;
  for (const InlinedFunction& inlined : found->second.inlined)
    lines.push_back(inlined.function +
                    (inlined.file.empty() ? L""
                                          : L" at " + inlined.file + L":" +
                                                std::to_wstring(inlined.line)));
  return lines;
}

std::wstring ModuleIdentityText(const ModuleIdentity& identity) {
  if (!identity.found) return L"headers not readable";
  std::wstring text = L"timestamp " + text::Hex32W(identity.timeDateStamp) + L", image size " +
                      text::Hex32W(identity.sizeOfImage);
  if (identity.hasCodeView)
    text += L", CodeView " + GuidText(identity.guid) + L" age " + std::to_wstring(identity.age) +
            (identity.pdbName.empty() ? L", no debug file named"
                                      : L", debug file " + DebugFileName(identity.pdbName));
  else
    text += L", no CodeView record";
  return text;
}

std::wstring SystemText(const SystemFacts& facts) {
  std::wstring text = L"Windows " + (facts.windowsVersion.empty() ? L"?" : facts.windowsVersion) +
                      L" build " + std::to_wstring(facts.windowsBuild);
  if (!facts.servicePack.empty()) text += L" " + facts.servicePack;
  if (!facts.wineVersion.empty()) text += L" (Wine " + facts.wineVersion + L")";
  return text;
}

std::wstring ByteCountText(uint64_t bytes) {
  return std::to_wstring(bytes / (1024 * 1024)) + L" MiB";
}

std::wstring TimeText(const SYSTEMTIME& utc) {
  wchar_t text[40];
  std::swprintf(text, 40, L"%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", utc.wYear, utc.wMonth, utc.wDay,
                utc.wHour, utc.wMinute, utc.wSecond, utc.wMilliseconds);
  return text;
}

std::wstring VersionNumbersText(const vessick::BugInfoBlock& header) {
  return std::to_wstring(header.number1) + L"." + std::to_wstring(header.number2) + L"." +
         std::to_wstring(header.number3);
}

const wchar_t* DumpExceptionText(DumpException source) {
  switch (source) {
    case DumpException::kNone: return L"none";
    case DumpException::kCrashedPair: return L"the crashed process's exception pointers";
    case DumpException::kBlockCopy: return L"the block's copy of record and context";
  }
  return L"";
}

const wchar_t* DumpStatusText(DumpStatus status) {
  switch (status) {
    case DumpStatus::kWritten: return L"written";
    case DumpStatus::kFailed: return L"failed";
    case DumpStatus::kNotRequested: return L"not requested";
  }
  return L"";
}

std::wstring ShownText(const BlockText& text) {
  if (!text.found) return L"(not found)";
  std::wstring shown = text.text.substr(0, kMaxShownText);
  if (text.text.size() > kMaxShownText) shown += L"...";
  if (!text.complete) shown += L" (not terminated)";
  return shown;
}

std::wstring LanguageName(uint32_t lcid) {
  wchar_t name[LOCALE_NAME_MAX_LENGTH] = {};
  if (lcid == 0 || ::LCIDToLocaleName(lcid, name, LOCALE_NAME_MAX_LENGTH, 0) == 0) return {};
  return name;
}

}  // namespace orlent
