// dbghelp's view of the crashed process: one symbol session for the whole report. It gives
// the stack walk the modules' unwind tables (under Wine, the DWARF call frame information of
// mingw-built modules), names functions with file and line where a module has debug
// information, and lets MiniDumpWriteDump skip loading every module's symbols itself.
#pragma once

#include <windows.h>

#include <dbghelp.h>

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "process/modules.h"
#include "win/unique_handle.h"

namespace orlent {

// dbghelp's per-process state is released with SymCleanup, never with CloseHandle: the handle
// is the crashed process's, owned elsewhere.
struct SymbolSessionTraits {
  using Handle = HANDLE;
  static Handle Empty() noexcept { return nullptr; }
  static void Close(Handle process) noexcept { ::SymCleanup(process); }
};
using UniqueSymbolSession = win::UniqueHandle<SymbolSessionTraits>;

// A function inlined at a code address, at the line it was executing.
struct InlinedFunction {
  std::wstring function;  // "Clamp" or "std::vector<int>::size() const", without an offset
  std::wstring file;
  uint32_t line = 0;
};

struct SourceName {
  std::wstring function;  // "LoadLevel+0x12", empty when unknown
  std::wstring file;      // the source file, empty without line information
  uint32_t line = 0;
  // Innermost first: the functions inlined at the address, each at its own line. `function`
  // holds them all, and `line` is then where it calls the outermost of them.
  std::vector<InlinedFunction> inlined;
};

class DebugSymbols {
 public:
  // Starts the session without letting dbghelp invade the process (that would load every
  // module's symbols at once). Modules are registered only when an address falls in them
  // (Need): registering one costs dbghelp a mapping of its file, and a host loads dozens that
  // no frame is in. `modules` must outlive this object. `error` says why there is no session.
  DebugSymbols(HANDLE process, const ModuleList& modules);

  // Registers the module that holds `address` with dbghelp, once; its symbols load on first
  // use. Before StackWalk64 unwinds from an address, its module must have been needed.
  void Need(uint64_t address) const;

  // Whether dbghelp reads debug information (and so call frame information) for the module
  // that holds `address`: not for the system's own modules (see Need) nor for those whose
  // CodeView record Wine's dbghelp cannot survive.
  bool ReadsDebugInfo(uint32_t address) const;

  bool active() const { return session_.valid(); }
  // SymCleanup now rather than at the end of the object's life.
  void End() { session_.reset(); }
  HANDLE process() const { return process_; }
  const std::wstring& error() const { return error_; }

  // Function, file and line for a code address, from the module's debug information. A
  // return address is looked up at the call before it. Empty when the module has none: names
  // from export and symbol tables are left to ModuleSymbols, which checks their distance.
  SourceName Describe(uint32_t address, bool returnAddress) const;

  // Whether the module is one of the system's own (under the Windows folder).
  bool IsSystemModule(const Module& module) const;

 private:

  HANDLE process_;
  const ModuleList& modules_;
  mutable std::set<uint32_t> registered_;  // module bases
  std::wstring windowsFolder_;             // lower case, with a trailing backslash
  UniqueSymbolSession session_;
  std::wstring error_;
};

// For tests only (ORLENT_TEST_NO_DBGHELP_SYMBOLS=1, read once): the reporter calls none of
// dbghelp's symbol or stack-walk functions, as on a Windows machine whose dbghelp reads no
// DWARF; the report must come out the same. MiniDumpWriteDump still runs.
bool DbghelpSymbolsDisabled();

}  // namespace orlent
