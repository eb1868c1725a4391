// Names for the code addresses of a report: function, source file, line and the functions
// inlined there. A module's own DWARF (or its debug file's) comes first; dbghelp only for a
// module without DWARF whose CodeView record names a PDB (an MSVC build); then the export and
// COFF symbol tables. Each module's debug data is opened when one of its addresses is named.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "debuginfo/module_sources.h"
#include "process/debug_symbols.h"
#include "process/module_symbols.h"
#include "process/modules.h"

namespace orlent {

class SourceNames {
 public:
  // `symbolPath`: the folders and stores where debug files are looked for beyond the modules'
  // own folders. `modules` and `symbols` must outlive this object.
  SourceNames(const ModuleList& modules, const DebugSymbols& symbols,
              std::vector<std::wstring> symbolPath);
  ~SourceNames();

  // A return address (every frame but a context's) is named by the call before it; the name's
  // offset is still counted to the address itself. A frame found by scanning the stack is
  // never named after an export that may be another function.
  SourceName Describe(uint32_t address, bool returnAddress, bool scanned);

 private:
  debuginfo::ModuleSources& SourcesOf(const Module& module);

  const ModuleList& modules_;
  const DebugSymbols& symbols_;
  std::vector<std::wstring> symbolPath_;
  SymbolResolver tables_;
  std::map<uint32_t, std::unique_ptr<debuginfo::ModuleSources>> sources_;  // by module base
};

// The key a module's debug file is found and checked by.
debuginfo::ModuleKey KeyOf(const Module& module);

}  // namespace orlent
