#include "process/debug_symbols.h"

#include <dbghelp.h>

#include <algorithm>
#include <cwchar>
#include <vector>

#include "process/module_symbols.h"
#include "win/error_text.h"

namespace orlent {
namespace {

constexpr size_t kMaxSymbolName = 512;
constexpr DWORD kLoadWithoutSymbols = 0x4;  // SLMFLAG_NO_SYMBOLS, missing from mingw's dbghelp.h

}  // namespace

DebugSymbols::DebugSymbols(HANDLE process, const ModuleList& modules) : process_(process) {
  // Deferred loads: only the modules an address falls in pay for their debug information.
  ::SymSetOptions(SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES | SYMOPT_UNDNAME |
                  SYMOPT_FAIL_CRITICAL_ERRORS | SYMOPT_NO_PROMPTS);
  if (!::SymInitializeW(process, nullptr, FALSE)) {
    error_ = win::CallFailed(L"SymInitializeW");
    return;
  }
  session_.reset(process);
  for (const Module& module : modules.modules()) {
    // Wine's dbghelp, given a CodeView record that names no debug file (GNU ld --build-id
    // writes one), tries every file in the module's and the current folder as that file and
    // corrupts its heap. Such a module is registered without symbols: the reporter's own
    // export and symbol-table names and its frame-pointer walk cover it.
    const DWORD flags = module.identity.hasCodeView && module.identity.emptyPdbName
                            ? kLoadWithoutSymbols
                            : 0;
    ::SymLoadModuleExW(process, nullptr, module.path.c_str(), module.name.c_str(), module.base,
                       module.size, nullptr, flags);
  }
}

SourceName DebugSymbols::Describe(uint32_t address, bool returnAddress) const {
  SourceName name;
  if (!active()) return name;
  const DWORD64 lookup = returnAddress && address > 0 ? address - 1 : address;
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
