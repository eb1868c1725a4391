#include "process/source_names.h"

#include <cstring>
#include <cwchar>

namespace orlent {
namespace {

std::wstring WithOffset(const std::wstring& name, uint32_t rva, uint32_t start) {
  wchar_t offset[24];
  if (rva >= start)
    std::swprintf(offset, 24, L"+0x%X", rva - start);
  else
    std::swprintf(offset, 24, L"-0x%X", start - rva);  // a cold part placed before it
  return name + offset;
}

}  // namespace

debuginfo::ModuleKey KeyOf(const Module& module) {
  debuginfo::ModuleKey key;
  key.path = module.path;
  key.timeDateStamp = module.identity.timeDateStamp;
  key.sizeOfImage = module.identity.sizeOfImage;
  key.hasCodeView = module.identity.hasCodeView;
  std::memcpy(key.guid, module.identity.guid, sizeof key.guid);
  key.age = module.identity.age;
  return key;
}

SourceNames::SourceNames(const ModuleList& modules, const DebugSymbols& symbols,
                         std::vector<std::wstring> symbolPath)
    : modules_(modules), symbols_(symbols), symbolPath_(std::move(symbolPath)), tables_(modules) {}

SourceNames::~SourceNames() = default;

debuginfo::ModuleSources& SourceNames::SourcesOf(const Module& module) {
  std::unique_ptr<debuginfo::ModuleSources>& sources = sources_[module.base];
  if (!sources) sources = std::make_unique<debuginfo::ModuleSources>(KeyOf(module), symbolPath_);
  return *sources;
}

SourceName SourceNames::Describe(uint32_t address, bool returnAddress, bool scanned) {
  SourceName name;
  const CodeLocation location = modules_.Locate(address);
  if (location.module == nullptr) return name;
  const Module& module = *location.module;
  // The system's own modules carry no debug data of the host's (under Wine, DWARF of Wine's
  // sources, which would cost time and tell a developer nothing): their exports name them.
  bool hasDwarf = false;
  if (!symbols_.IsSystemModule(module)) {
    debuginfo::ModuleSources& sources = SourcesOf(module);
    const debuginfo::SourceLookup lookup = sources.Describe(location.offset, returnAddress);
    hasDwarf = sources.hasDwarf();
    if (!lookup.frames.empty()) {
      const debuginfo::SourceFrame& outer = lookup.frames.back();
      name.file = outer.file;
      name.line = outer.line;
      for (size_t i = 0; i + 1 < lookup.frames.size(); ++i)
        name.inlined.push_back(
            {lookup.frames[i].function, lookup.frames[i].file, lookup.frames[i].line});
      if (lookup.hasFunctionStart) {
        // The symbol table's name at the function's start is the full one (namespaces and
        // parameters); DWARF gives a function with internal linkage only its plain name.
        std::wstring function = tables_.NameAt(module.base + lookup.functionRva);
        if (function.empty()) function = outer.function;
        if (!function.empty())
          name.function = WithOffset(function, location.offset, lookup.functionRva);
      }
    }
  }
  if (!hasDwarf && module.identity.hasCodeView && !module.identity.emptyPdbName &&
      !DbghelpSymbolsDisabled()) {
    SourceName fromPdb = symbols_.Describe(address, returnAddress);
    if (!fromPdb.function.empty() || !fromPdb.file.empty()) return fromPdb;
  }
  if (name.function.empty()) name.function = tables_.Describe(address, returnAddress, scanned);
  return name;
}

}  // namespace orlent
