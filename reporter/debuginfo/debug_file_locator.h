// Where a module's DWARF is: in the module's own file, or in a separate debug file (objcopy
// --only-keep-debug) kept beside it, named by its .gnu_debuglink, or filed in a symbol store.
//
// A symbol store is laid out as Windows symbol servers lay theirs: NAME\ID\NAME, where NAME is
// the module's debug file name (the CodeView record's file name, else the .gnu_debuglink
// name, else the module's own name) and ID is the CodeView GUID (32 upper-case hex digits in
// the order debuggers print it) followed by the age in hex, or, for a module without a
// CodeView record, its TimeDateStamp (8 hex digits) followed by its SizeOfImage in hex.
//
// A candidate is used only when it is the same build as the module: the same CodeView GUID
// and age when the module has a record, else the CRC-32 that its .gnu_debuglink names, else
// the same TimeDateStamp and the same code sections (strip shrinks SizeOfImage, so a debug
// file made before stripping keeps the larger one).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "debuginfo/mapped_file.h"
#include "debuginfo/pe_image.h"

namespace orlent::debuginfo {

// What identifies one build of a module, as the crashed process's headers (or a report) tell
// it. The module's file itself need not exist any more.
struct ModuleKey {
  std::wstring path;  // the module's file as it was loaded
  uint32_t timeDateStamp = 0;
  uint32_t sizeOfImage = 0;
  bool hasCodeView = false;
  uint8_t guid[16] = {};
  uint32_t age = 0;
  std::string pdbName;  // the CodeView record's file name; empty when unknown or none
};

// One place a store files a debug file under: NAME\ID\NAME.
struct StoreEntry {
  std::wstring name;
  std::wstring id;
};

// The store entries a module's debug file may be filed under, most specific first. `module`
// is the module's own file when it can be read (its CodeView name and .gnu_debuglink name
// count), else null. A tool that fills a store files each debug file under the first entry.
std::vector<StoreEntry> StoreEntriesFor(const ModuleKey& key, const PeImage* module);

// "C:\symbols;D:\store" from orlent.ini: folders and stores in order, blanks around each
// removed, empty ones dropped.
std::vector<std::wstring> ParseSymbolPath(std::wstring_view text);

// The symbol_path setting of orlent.ini beside the running program (section [symbols]);
// empty when there is none. A file that cannot be read gives no search path, not a failure:
// naming frames never stops a report.
std::vector<std::wstring> SymbolPathFromConfig();

// CRC-32 (IEEE, as .gnu_debuglink uses it) of `bytes`.
uint32_t DebugLinkCrc(ByteSpan bytes);

// A file with DWARF for the module, opened and parsed.
struct DebugFile {
  std::wstring path;
  MappedFile file;
  PeImage image;
};

struct LocateResult {
  std::optional<DebugFile> found;
  std::vector<std::wstring> refused;  // candidates that exist but are another build, and why
};

// The module's own file when it carries DWARF; otherwise the first matching debug file beside
// it (NAME.debug, NAME.dbg, the debuglink name in its folder and in its .debug subfolder),
// then in each folder or store of `symbolPath`.
LocateResult LocateDebugFile(const ModuleKey& key, const std::vector<std::wstring>& symbolPath);

// Only the folders and stores of `symbolPath` (the module's file and folder are not looked
// at): for naming a report's frames after the fact with an explicit store. `module` as for
// StoreEntriesFor.
LocateResult LocateInSymbolPath(const ModuleKey& key, const PeImage* module,
                                const std::vector<std::wstring>& symbolPath);

// Whether `candidate` is the build `key` names (see the top of this file).
bool SameBuild(const ModuleKey& key, const PeImage* module, const PeImage& candidate,
               ByteSpan candidateBytes, std::wstring* why);

}  // namespace orlent::debuginfo
