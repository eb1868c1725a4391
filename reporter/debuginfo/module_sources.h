// Function, source file and line for code addresses of one module, from its DWARF (in its own
// file or in a debug file found for it), with the chain of functions inlined at the address.
// Nothing is read until the first address is described, and the index is built once per
// module within a time limit: a crashed host waits while frames are named.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "debuginfo/debug_file_locator.h"

namespace orlent::debuginfo {

struct SourceFrame {
  std::wstring function;  // readable (demangled) name, without an offset; empty when unknown
  std::wstring file;      // as the line table names it, folder joined; empty when unknown
  uint32_t line = 0;      // 0 when unknown
};

struct SourceLookup {
  // Innermost first: each function inlined at the address at the line it was executing, then
  // the out-of-line function that holds them, at the line of its call into the outermost
  // inlined one (or at the address's own line when nothing is inlined there). Empty when the
  // debug data knows nothing of the address.
  std::vector<SourceFrame> frames;
  bool hasFunctionStart = false;
  uint32_t functionRva = 0;  // where frames.back()'s function starts (its "+0x12" base)
};

class ModuleSources {
 public:
  // Finds the module's DWARF as LocateDebugFile does; nothing is opened yet.
  ModuleSources(ModuleKey key, std::vector<std::wstring> symbolPath);
  // Uses an explicit store only (LocateInSymbolPath), for naming a report's frames later.
  static ModuleSources ForStore(ModuleKey key, std::vector<std::wstring> store);
  ~ModuleSources();
  ModuleSources(ModuleSources&&) noexcept;
  ModuleSources& operator=(ModuleSources&&) noexcept;

  // `rva` is the address minus the module's base. A return address (every frame but the
  // innermost) is looked up at the call before it, rva - 1.
  SourceLookup Describe(uint32_t rva, bool returnAddress);

  // After the first Describe: whether DWARF was found, where, and what was refused or failed.
  bool hasDwarf();
  const std::wstring& debugFilePath();
  const std::vector<std::wstring>& notes();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace orlent::debuginfo
