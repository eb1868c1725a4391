#include "process/debug_symbols.h"

#include <dbghelp.h>

#include <algorithm>
#include <cwchar>
#include <cwctype>
#include <vector>

#include "process/module_symbols.h"
#include "win/error_text.h"

namespace orlent {
namespace {

constexpr size_t kMaxSymbolName = 512;
constexpr DWORD kLoadWithoutSymbols = 0x4;  // SLMFLAG_NO_SYMBOLS, missing from mingw's dbghelp.h

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

std::wstring WindowsFolder() {
  wchar_t folder[MAX_PATH];
  const UINT length = ::GetSystemWindowsDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return {};
  std::wstring text = Lower(std::wstring(folder, length));
  if (text.back() != L'\\') text += L'\\';
  return text;
}

}  // namespace

bool DbghelpSymbolsDisabled() {
  static const bool disabled = [] {
    wchar_t value[8] = {};
    return ::GetEnvironmentVariableW(L"ORLENT_TEST_NO_DBGHELP_SYMBOLS", value, 8) == 1 &&
           value[0] == L'1';
  }();
  return disabled;
}

DebugSymbols::DebugSymbols(HANDLE process, const ModuleList& modules)
    : process_(process), modules_(modules), windowsFolder_(WindowsFolder()) {
  if (DbghelpSymbolsDisabled()) {
    error_ = L"dbghelp's symbol functions are off (ORLENT_TEST_NO_DBGHELP_SYMBOLS)";
    return;
  }
  // Deferred loads: only the modules an address falls in pay for their debug information.
  ::SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME |
                  SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
  // Wine's dbghelp, given a live process, first reads the ELF debug information of Wine's own
  // Unix loader (about 20 ms of every crash under Wine 8) to name frames in Wine's Unix side,
  // which no walk from a host's fault reaches and which tells a developer nothing. Its
  // variable DBGHELP_NOLIVE skips that; the PE modules are registered as before, and
  // Windows' dbghelp knows no such variable. Only for this call: a session that invades the
  // process (MiniDumpWriteDump's own, when there is none of ours) fails with it.
  ::SetEnvironmentVariableW(L"DBGHELP_NOLIVE", L"1");
  const BOOL started = ::SymInitializeW(process, nullptr, FALSE);
  const DWORD startError = ::GetLastError();
  ::SetEnvironmentVariableW(L"DBGHELP_NOLIVE", nullptr);
  if (!started) {
    error_ = win::CallFailed(L"SymInitializeW", startError);
    return;
  }
  session_.reset(process);
}

void DebugSymbols::Need(uint64_t address) const {
  if (!active() || address > 0xFFFFFFFFull) return;
  const Module* module = modules_.Find(static_cast<uint32_t>(address));
  if (module == nullptr || !registered_.insert(module->base).second) return;
  if (IsSystemModule(*module)) return;
  const DWORD flags = ReadsDebugInfo(module->base) ? 0 : kLoadWithoutSymbols;
  ::SymLoadModuleExW(process_, nullptr, module->path.c_str(), module->name.c_str(), module->base,
                     module->size, nullptr, flags);
}

bool DebugSymbols::ReadsDebugInfo(uint32_t address) const {
  const Module* module = modules_.Find(address);
  if (module == nullptr) return false;
  // Wine's dbghelp, given a CodeView record that names no debug file (GNU ld --build-id
  // writes one), tries every file in the module's and the current folder as that file and
  // corrupts its heap. Such a module is registered without symbols: the reporter's own
  // export and symbol-table names and its frame-pointer walk cover it.
  if (module->identity.hasCodeView && module->identity.emptyPdbName) return false;
  return !IsSystemModule(*module);
}

// The system's modules keep frame pointers (Windows' since XP SP2, Wine's builtins nearly
// all), and what debug information they carry names Wine's own sources: reading it cost about
// 110 ms per crash under Wine 8 (ntdll.dll's alone 75 ms) and told a developer nothing. They
// are not registered with dbghelp at all (Wine 8 loads a module's DWARF even when asked not
// to, SLMFLAG_NO_SYMBOLS): StackWalk64 then unwinds their frames by frame pointer, and the
// export tables name them.
bool DebugSymbols::IsSystemModule(const Module& module) const {
  return !windowsFolder_.empty() &&
         Lower(module.path).compare(0, windowsFolder_.size(), windowsFolder_) == 0;
}

SourceName DebugSymbols::Describe(uint32_t address, bool returnAddress) const {
  SourceName name;
  if (!active()) return name;
  const DWORD64 lookup = returnAddress && address > 0 ? address - 1 : address;
  Need(lookup);
  IMAGEHLP_LINEW64 line = {};
  line.SizeOfStruct = sizeof line;
  DWORD lineDisplacement = 0;
  if (!::SymGetLineFromAddrW64(process_, lookup, &lineDisplacement, &line)) return name;
  if (line.FileName != nullptr) name.file = line.FileName;
  name.line = line.LineNumber;

  std::vector<uint8_t> storage(sizeof(SYMBOL_INFOW) + kMaxSymbolName * sizeof(wchar_t));
  auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage.data());
  symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
  symbol->MaxNameLen = kMaxSymbolName;
  DWORD64 displacement = 0;
  if (::SymFromAddrW(process_, lookup, &displacement, symbol) && symbol->NameLen > 0) {
    std::wstring function(symbol->Name, std::min<size_t>(symbol->NameLen, kMaxSymbolName));
    wchar_t offset[24];
    std::swprintf(offset, 24, L"+0x%llX",
                  static_cast<unsigned long long>(address - symbol->Address));
    name.function = function + offset;
  }
  return name;
}

}  // namespace orlent
