// Function names for code addresses, from what a module's file carries without a debugger:
// its export table, and the COFF symbol table that GCC-built modules keep unless stripped.
// The files are read as untrusted input: every offset and count is checked.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "process/modules.h"

namespace orlent {

class ModuleSymbols {
 public:
  // Reads `size` bytes at `offset` of the file; false if they are not all there.
  using Reader = std::function<bool(uint64_t offset, void* buffer, size_t size)>;

  // The symbols of the PE file behind `read` (size `fileSize`); none on any fault.
  static ModuleSymbols Parse(const Reader& read, uint64_t fileSize);
  static ModuleSymbols Load(const std::wstring& path);

  // "name+0x12" for an address given as an offset from the module's base, or empty when no
  // function symbol precedes it closely in the same section. A return address is named by the
  // call before it.
  // A frame found by scanning the stack is named only by a symbol that marks every function
  // (the COFF table): the export table leaves a DLL's internal functions out, and the nearest
  // export before one of them is another function.
  std::wstring Describe(uint32_t rva, bool returnAddress = false, bool scanned = false) const;

  // The readable name of a function symbol that starts exactly at `rva`, or empty.
  std::wstring NameAt(uint32_t rva) const;

  size_t size() const { return symbols_.size(); }

 private:
  struct Symbol {
    uint32_t rva;
    uint32_t sectionEnd;  // the symbol's section ends here: no function runs past it
    std::string name;     // as stored (mangled for C++)
    bool exported;        // from the export table, not the COFF symbol table
  };
  std::vector<Symbol> symbols_;  // sorted by rva
};

// Names for many addresses, loading each module's symbols once.
class SymbolResolver {
 public:
  explicit SymbolResolver(const ModuleList& modules) : modules_(modules) {}
  // "function+0x12", or empty.
  std::wstring Describe(uint32_t address, bool returnAddress, bool scanned = false);
  // The name of the function symbol at exactly `address`, or empty.
  std::wstring NameAt(uint32_t address);

 private:
  const ModuleList& modules_;
  const ModuleSymbols* SymbolsOf(const Module& module);
  std::map<uint32_t, ModuleSymbols> loaded_;  // by module base
};

// A symbol's name as a developer reads it: one leading underscore dropped (32-bit C names
// carry one), C++ names demangled.
std::wstring ReadableSymbolName(const std::string& stored);

}  // namespace orlent
